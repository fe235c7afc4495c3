#include "modCOMRequestedAction.h"

#include "clsGenErrorHandler.h"
#include "clsGenXMLDocument.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace modCOMRequestedAction {
namespace {

constexpr int32_t kFieldAT = 1;

std::string escaped(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\r': out += "&#13;"; break;
      case '\n': out += "&#10;"; break;
      case '\t': out += "&#9;"; break;
      default: out += c;
    }
  }
  return out;
}

void appendAttribute(std::string& out, const char* name, const std::string& value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += escaped(value);
  out += '"';
}

// The request code of a text that has one: a whole number, else error 13.
int32_t requestCode(const std::string& text) {
  std::size_t used = 0;
  const long code = std::stol(text, &used);
  if (used != text.size() || code < INT32_MIN || code > INT32_MAX) {
    throw TvrError(kErrTypeMismatch, "", "Type mismatch");
  }
  return static_cast<int32_t>(code);
}

}  // namespace

std::string ProcessRequestedAction(const std::string& requestText, ConnectionState& /*state*/) {
  try {
    if (requestText.empty()) return {};
    const XMLDocumentRef request = clsGenXMLDocument::create();
    if (!request->load(requestText)) return {};
    const pugi::xml_node root = request->rootElement();
    if (std::string_view(root.name()) != "A") return {};
    const std::string at =
        modGlobalFunctions::GetFieldValue(modGlobalVariables::Action, root, kFieldAT, false);
    requestCode(at);
    // No request code has a handler yet: nothing is answered.
    return {};
  } catch (...) {
    endError("modCOMRequestedAction.ProcessRequestedAction");
    return modGlobalVariables::FallbackResponseText;
  }
}

std::string BuildResponse(const std::string& RE, const std::string& ST, const std::string& OUID,
                          int32_t V, const std::string& CO, bool omit) {
  std::string reply = "<R";
  if (!omit) {
    appendAttribute(reply, "SD", modGlobalVariables::CurrentLocalUserUID);
    if (!RE.empty()) appendAttribute(reply, "RE", RE);
    appendAttribute(reply, "ST", ST);
    if (!OUID.empty()) appendAttribute(reply, "OUID", OUID);
    if (!CO.empty()) appendAttribute(reply, "CO", CO);
  }
  appendAttribute(reply, "V", std::to_string(V));
  return reply + "/>";
}

}  // namespace modCOMRequestedAction
