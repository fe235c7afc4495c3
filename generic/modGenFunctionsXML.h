#pragma once
// modGenFunctionsXML: the small XML procedures the whole program uses instead
// of repeating document calls: set an attribute, append an element, load a
// document from text with a parse check, remove a document's root, prepare a
// document with a fresh root, and write a node out as text.
//
// A document variable is an XMLDocumentRef; an empty one means "no document".
// Procedures that take it by reference create the document when it is empty.
// Element and attribute names must be XML names (ASCII rules; the bytes of
// multi-byte UTF-8 characters count as name characters); every value is
// UTF-8 text.
#include <string>
#include <string_view>

#include "clsGenXMLDocument.h"

namespace modGenFunctionsXML {

// Root element name of every data file and of documents prepared "by default".
inline constexpr const char* kDefaultRootName = "TVR";

// Sets attribute `name` of `node` to `value`, replacing a same-named one in
// place. Does nothing for a null node or an empty name. Raises 5 (invalid
// call) for a name that is no XML name or a node that is not an element.
void XMLSetAttribute(pugi::xml_node node, const std::string& name, std::string_view value);

// Appends element `name` as the last child of `parent` (a document node or
// an element), with `value` as its text when not empty, and returns it.
// Raises 91 without a parent, 5 for a name that is no XML name or for a
// second top-level element of a document.
pugi::xml_node XMLAppendElement(pugi::xml_node parent, const std::string& name,
                                std::string_view value);

// Replaces `document`'s content by the parse of `text` (creating the document
// when empty). False, with the document left without a root, when the text
// does not parse. Never raises.
bool XMLLoadFromString(XMLDocumentRef& document, std::string_view text);

// Removes the root element of `document` when there is one; other top-level
// nodes stay. Nothing for an empty variable.
void XMLClearDocument(const XMLDocumentRef& document);

// Empties `document` (as XMLClearDocument) or creates it, then appends a root
// element named `rootName`; an empty name becomes kDefaultRootName when
// `useDefault` is set, otherwise the document stays without a root.
void XMLInitDocument(XMLDocumentRef& document, const std::string& rootName, bool useDefault);

// The XML text of `node` and everything below it (the whole document for a
// document node), without declaration, indentation or line breaks.
std::string XMLToString(pugi::xml_node node);

}  // namespace modGenFunctionsXML
