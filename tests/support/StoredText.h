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
  // The journal of the owner the file names, whatever its rows are named.
  const auto replay = [&](pugi::xml_node root) {
    DataJournal(path, encrypted, root.attribute("OU").value()).replayOnto(root, "", false);
  };
  if (text.empty() || !document->load(text, replay)) {
    return text;
  }
  return modGenFunctionsXML::XMLToString(document->documentNode());
}
