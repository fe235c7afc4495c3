// Reads arbitrary bytes as the journal beside a data file of three rows,
// enciphered or plain. Whatever the journal holds, loading gives a loaded
// collection and a second load reads the same rows (replay is idempotent);
// in a plain journal, a row whose UID the bytes never name comes through
// unchanged. Then one save of several changes is cut at a byte of its
// append that the input chooses: the next load reads the rows before the
// save or the rows after it, never a mix. Every input starts from the same
// data folder.
#include <QDir>
#include <cstdlib>
#include <string>
#include <vector>

#include "DataJournal.h"
#include "FuzzSupport.h"
#include "TvrError.h"
#include "clsGenObject.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalVariables.h"

namespace {

constexpr const char* kFileName = "D900.dat";
constexpr const char* kOwner = "OWNER";
constexpr const char* kRows =
    "<TVR OU=\"OWNER\"><U UID=\"ROW-1\" FN=\"one\"/><U UID=\"ROW-2\" FN=\"two\"/>"
    "<U UID=\"ROW-3\" FN=\"three\"/></TVR>";

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

void load(clsGenObject& records, bool encrypted) {
  records.ClassType(modGlobalVariables::User);
  records.XMLElementBaseName("U");
  records.ClassOwner(kOwner);
  records.FileName(kFileName);
  records.FileContentEncrypted(encrypted);
  records.XMLDocLinked(clsGenXMLDocument::create());
  records.LoadXMLDoc(true);
  require(records.IsLoaded() && records.XMLDocLinked()->rootElement());
}

std::vector<std::string> rowsOf(const clsGenObject& records) {
  std::vector<std::string> rows;
  for (const pugi::xml_node row : records.XMLDocLinked()->rootElement().children()) {
    rows.push_back(modGenFunctionsXML::XMLToString(row));
  }
  return rows;
}

std::vector<std::string> loadedRows(bool encrypted) {
  clsGenObject records;
  load(records, encrypted);
  return rowsOf(records);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  startingFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  startingFolder().restore();
  const bool encrypted = size % 2 == 1;
  const std::string input = fuzzText(data, size);
  modGenFunctionsFile::SaveFileContent(dataFolder(), kFileName, kRows, encrypted, false, false);
  const DataJournal journal(dataFolder() + "/" + kFileName, encrypted, kOwner);
  modGenFunctionsFile::SaveFileContent(dataFolder(), "." + std::string(kFileName) + ".jnl", input, false,
                                       false, false);

  clsGenObject records;
  load(records, encrypted);
  require(loadedRows(encrypted) == rowsOf(records));
  if (!encrypted) {
    pugi::xml_document stored;
    stored.load_string(kRows);
    const std::vector<std::string> now = rowsOf(records);
    for (const pugi::xml_node row : stored.document_element().children()) {
      if (input.find(row.attribute("UID").value()) != std::string::npos) continue;
      const std::string text = modGenFunctionsXML::XMLToString(row);
      require(std::count(now.begin(), now.end(), text) == 1);
    }
  }

  const std::vector<std::string> before = rowsOf(records);
  const std::string journalBefore = modGenFunctionsFile::ReadFileContent(journal.path(), false);
  try {
    records.SetRowFieldByKey(0, "ROW-1", 1, "renamed");
    records.Delete(false, 0, "ROW-2", false);
    records.CreateNewRow(true, 0);
    records.SetField(1, "added");
    records.AddCurrentRow();
    records.SaveXMLDoc();
  } catch (const TvrError&) {
    return 0;  // no row of that UID: nothing to save
  }
  const std::vector<std::string> after = rowsOf(records);
  const std::string journalAfter = modGenFunctionsFile::ReadFileContent(journal.path(), false);
  if (journalAfter.size() <= journalBefore.size()) return 0;  // the save rewrote the file
  const std::size_t cut = journalBefore.size() + size % (journalAfter.size() - journalBefore.size() + 1);
  modGenFunctionsFile::SaveFileContent(dataFolder(), "." + std::string(kFileName) + ".jnl",
                                       journalAfter.substr(0, cut), false, false, false);
  const std::vector<std::string> cutRows = loadedRows(encrypted);
  require(cutRows == (cut == journalAfter.size() ? after : before));
  return 0;
}
