#pragma once
// storedText: a data file's text as the program's load reads it, deciphered
// when `encrypted`, with the rows of its journal replayed; "" for a missing
// file, the bare text when it does not parse. Leaves the journal as it is,
// so it may read the files of a running copy.
#include <string>

#include "DataJournal.h"
#include "clsGenXMLDocument.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"

inline std::string storedText(const std::string& path, bool encrypted) {
  const std::string text = modGenFunctionsFile::ReadFileContent(path, encrypted);
  const XMLDocumentRef document = clsGenXMLDocument::create();
  const DataJournal journal(path, encrypted);
  if (text.empty() || !document->load(text, [&](pugi::xml_node root) { journal.replayOnto(root, false); })) {
    return text;
  }
  return modGenFunctionsXML::XMLToString(document->documentNode());
}
