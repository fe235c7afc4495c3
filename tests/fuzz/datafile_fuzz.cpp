// Reads arbitrary bytes as a record collection's data file, enciphered or
// plain, owner-checked or not. An enciphered file is mostly the input
// enciphered (so that what the reader deciphers is the mutated text), else
// the input as it is (a damaged cipher text). Whatever the file holds,
// loading gives a loaded collection under a root. A new row made from the
// class's template (as the collection factory sets it) is then saved, which
// must go through, since whatever loaded is this owner's or owned by nobody
// checked; what was saved must load back to the same text without being
// taken for damaged. Any error raised is a finding. Every input starts from
// the same data folder.
#include <QDir>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "clsGenObject.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

constexpr const char* kFileName = "D900.dat";
constexpr const char* kOwner = "OWNER";

void configure(clsGenObject& records, bool encrypted, bool ownerChecked) {
  records.ClassType(modGlobalVariables::User);
  records.XMLElementBaseName("U");
  records.XMLPrimaryTemplate(modGlobalFunctions::BuildXMLTemplate("U", modGlobalVariables::User));
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
  QDir folder(QString::fromStdString(fuzzDataFolder()));
  for (const QString& name : folder.entryList({"*.bad-*"}, QDir::Files)) folder.remove(name);
}

// Adds a row to the loaded collection and saves it; returns its UID.
std::string addRowAndSave(clsGenObject& records) {
  records.PC_Init(true);
  if (records.PC_Count() > 0) records.GetField(0);
  const std::string uid = records.CreateNewRow(true, 0);
  records.AddCurrentRow();
  records.SaveXMLDoc();
  return uid;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  fuzzStartingDataFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzStartingDataFolder().restore();
  const bool encrypted = size % 2 == 0;
  const bool encipherInput = encrypted && size % 4 == 0;
  const bool ownerChecked = size % 3 != 0;
  modGenFunctionsFile::SaveFileContent(fuzzDataFolder(), kFileName, fuzzText(data, size),
                                       encipherInput, false, false);
  clsGenObject records;
  configure(records, encrypted, ownerChecked);
  records.LoadXMLDoc(true);
  require(records.IsLoaded() && records.XMLDocLinked()->rootElement());
  const std::string added = addRowAndSave(records);
  require(records.XMLDocLinked()->firstRowWhere("U", "UID", added));
  removeDamagedCopies();

  clsGenObject again;
  configure(again, encrypted, ownerChecked);
  again.LoadXMLDoc(true);
  require(!damagedCopyKept(fuzzDataFolder()));
  require(documentText(again) == documentText(records));
  return 0;
}
