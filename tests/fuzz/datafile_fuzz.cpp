// Reads arbitrary bytes as a record collection's data file, enciphered or
// plain, owner-checked or not. Whatever the file holds, loading gives a
// loaded collection under a root; what it then saves must load back to the
// same text without being taken for damaged.
#include <QDir>
#include <cstdlib>

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

// Leaves only the data file's folder empty for the next input.
void removeDamagedCopies() {
  QDir folder(QString::fromStdString(dataFolder()));
  for (const QString& name : folder.entryList({"*.bad-*"}, QDir::Files)) folder.remove(name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool encrypted = size % 2 == 0;
  const bool ownerChecked = size % 3 != 0;
  modGenFunctionsFile::SaveFileContent(dataFolder(), kFileName, fuzzText(data, size), false, false,
                                       false);
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
  removeDamagedCopies();
  return 0;
}
