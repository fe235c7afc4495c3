#include "modGenFunctionsXML.h"

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace modGenFunctionsXML {
namespace {

bool isNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool isNameChar(unsigned char c) {
  return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

bool isXMLName(std::string_view name) {
  if (name.empty() || !isNameStart(static_cast<unsigned char>(name.front()))) return false;
  for (const char c : name) {
    if (!isNameChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void requireName(std::string_view name) {
  if (!isXMLName(name)) {
    throw TvrError(kErrInvalidCall, "", "Invalid XML name: " + std::string(name));
  }
}

}  // namespace

void XMLSetAttribute(pugi::xml_node node, const std::string& name, std::string_view value) {
  if (!node || name.empty()) return;
  requireName(name);
  if (node.type() != pugi::node_element) {
    throw TvrError(kErrInvalidCall, "", "Attributes belong to elements only");
  }
  clsGenXMLDocument::setAttribute(node, name.c_str(), value);
}

pugi::xml_node XMLAppendElement(pugi::xml_node parent, const std::string& name,
                                std::string_view value) {
  try {
    if (!parent) {
      throw TvrError(kErrObjectNotSet, "", "Object variable or With block variable not set");
    }
    requireName(name);
    const bool toDocument = parent.type() == pugi::node_document;
    if (!toDocument && parent.type() != pugi::node_element) {
      throw TvrError(kErrInvalidCall, "", "Elements can be appended to elements only");
    }
    if (toDocument && parent.find_child([](pugi::xml_node n) {
          return n.type() == pugi::node_element;
        })) {
      throw TvrError(kErrInvalidCall, "", "The document already has a root element");
    }
    clsGenXMLDocument* owner = clsGenXMLDocument::owning(parent);
    pugi::xml_node element =
        owner ? owner->appendElement(parent, name.c_str()) : parent.append_child(name.c_str());
    if (!value.empty()) {
      element.append_child(pugi::node_pcdata).set_value(value.data(), value.size());
    }
    return element;
  } catch (...) {
    raiseAgain("modGenFunctionsXML.XMLAppendElement");
  }
}

bool XMLLoadFromString(XMLDocumentRef& document, std::string_view text) {
  try {
    if (!document) document = clsGenXMLDocument::create();
    return document->load(std::string(text));
  } catch (...) {
    return false;
  }
}

void XMLClearDocument(const XMLDocumentRef& document) {
  if (!document) return;
  const pugi::xml_node root = document->rootElement();
  if (root) document->remove(root);
}

void XMLInitDocument(XMLDocumentRef& document, const std::string& rootName, bool useDefault) {
  if (document) {
    XMLClearDocument(document);
  } else {
    document = clsGenXMLDocument::create();
  }
  const std::string name = rootName.empty() && useDefault ? kDefaultRootName : rootName;
  if (!name.empty()) XMLAppendElement(document->documentNode(), name, "");
}

std::string XMLToString(pugi::xml_node node) {
  std::string out;
  if (!node) return out;
  StringWriter writer(out);
  node.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return out;
}

}  // namespace modGenFunctionsXML
