// Reads arbitrary bytes as a record collection's data file, enciphered or
// plain, owner-checked or not. An enciphered file is mostly the input
// enciphered (so that what the reader deciphers is the mutated text), else
// the input as it is (a damaged cipher text). Whatever the file holds,
// loading gives a loaded collection under a root; what it then saves must
// load back to the same text without being taken for damaged. Every input
// starts from the same data folder.
#include <QDir>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "TvrError.h"
#include "clsGenObject.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalVariables.h"

namespace {

constexpr const char* kFileName = "D900.dat";
constexpr const char* kOwner = "OWNER";

const std::string& dataFolder() {
  static const std::string folder = [] {
    const std::string path = std::getenv("TAVINOR_DATA_ROOT");
    QDir().mkpath(QString::fromStdString(path));
    return path;
  }();
  return folder;
}

InstallationSnapshot& startingFolder() {
  static InstallationSnapshot snapshot(dataFolder());
  return snapshot;
}

void configure(clsGenObject& records, bool encrypted, bool ownerChecked) {
  records.ClassType(modGlobalVariables::User);
  records.XMLElementBaseName("U");
  records.ClassOwner(kOwner);
  records.FileName(kFileName);
  records.FileContentEncrypted(encrypted);
  records.ValidateOwnershipOnLoadingXMLDoc(ownerChecked);
}

std::string documentText(const clsGenObject& records) {
  return modGenFunctionsXML::XMLToString(records.XMLDocLinked()->documentNode());
}

// Removes the copies that loading a damaged file kept aside.
void removeDamagedCopies() {
  QDir folder(QString::fromStdString(dataFolder()));
  for (const QString& name : folder.entryList({"*.bad-*"}, QDir::Files)) folder.remove(name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  startingFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  startingFolder().restore();
  const bool encrypted = size % 2 == 0;
  const bool encipherInput = encrypted && size % 4 == 0;
  const bool ownerChecked = size % 3 != 0;
  modGenFunctionsFile::SaveFileContent(dataFolder(), kFileName, fuzzText(data, size),
                                       encipherInput, false, false);
  clsGenObject records;
  configure(records, encrypted, ownerChecked);
  records.LoadXMLDoc(true);
  if (!records.IsLoaded() || !records.XMLDocLinked()->rootElement()) std::abort();
  try {
    records.PC_Init(true);
    if (records.PC_Count() > 0) records.GetField(0);
    records.CreateNewRow(true, 0);
    records.AddCurrentRow();
    records.SaveXMLDoc();
  } catch (const TvrError&) {
    // A save refused for a document of another owner writes nothing.
  }
  removeDamagedCopies();

  clsGenObject again;
  configure(again, encrypted, ownerChecked);
  again.LoadXMLDoc(true);
  const bool keptAside =
      !QDir(QString::fromStdString(dataFolder())).entryList({"*.bad-*"}, QDir::Files).isEmpty();
  if (keptAside || documentText(again) != documentText(records)) std::abort();
  return 0;
}
