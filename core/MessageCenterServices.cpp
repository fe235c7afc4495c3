#include "MessageCenterServices.h"

#include "TvrError.h"

namespace MessageCenterServices {
namespace {

Implementation& installed() {
  static Implementation implementation;
  return implementation;
}

template <typename Function>
const Function& require(const Function& function, const char* name) {
  if (!function) {
    throw TvrError(kErrObjectNotSet, std::string("MessageCenterServices.") + name,
                   "The message center is not running");
  }
  return function;
}

}  // namespace

void Install(Implementation implementation) { installed() = std::move(implementation); }

void AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                 const std::string& itemKey, const std::string& ownerUID) {
  require(installed().AddActivity, "AddActivity")(kind, text, itemType, itemKey, ownerUID);
}

void ExitProgram() { require(installed().ExitProgram, "ExitProgram")(); }

}  // namespace MessageCenterServices
