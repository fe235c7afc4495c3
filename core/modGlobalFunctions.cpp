#include "modGlobalFunctions.h"

#include "clsGenErrorHandler.h"
#include "modGenGlobals.h"

namespace modGlobalFunctions {

std::string BuildXMLTemplate(const std::string& elementName, int32_t classType) {
  try {
    std::string xml = "<" + elementName + " ";
    for (int32_t field = 0; field < modGenGlobals::kFieldCount; ++field) {
      const std::string& name = modGenGlobals::FieldName(classType, field);
      if (field > 0 && name.empty()) break;
      xml += name + "='' ";
    }
    return xml + "/>";
  } catch (...) {
    raiseAgain("");
  }
}

}  // namespace modGlobalFunctions
