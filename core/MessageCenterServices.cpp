#include "MessageCenterServices.h"

#include "TvrError.h"
#include "clsGenErrorHandler.h"

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

Displays& displays() {
  static Displays installedDisplays;
  return installedDisplays;
}

}  // namespace

void InstallDisplays(Displays newDisplays) { displays() = std::move(newDisplays); }

void AddBoardItem(int32_t kind, const std::string& identifier) {
  if (displays().AddBoardItem) displays().AddBoardItem(kind, identifier);
}

void SynchronizeDisplays(int32_t listType, bool fullReload) {
  if (displays().SynchronizeDisplays) displays().SynchronizeDisplays(listType, fullReload);
}

bool AutoReplyOn() { return displays().AutoReplyOn && displays().AutoReplyOn(); }

std::string AutoReplyText() {
  return displays().AutoReplyText ? displays().AutoReplyText() : std::string();
}

void StartDeleteMessageTimer() {
  if (displays().StartDeleteMessageTimer) displays().StartDeleteMessageTimer();
}

bool ReserveProgressBar(bool take) {
  return !displays().ReserveProgressBar || displays().ReserveProgressBar(take);
}

void SetProgress(int32_t label, int32_t minimum, int32_t maximum, bool keepReserved,
                 const std::string& tooltip) {
  if (displays().SetProgress) displays().SetProgress(label, minimum, maximum, keepReserved, tooltip);
}

void SetProgressValue(int32_t value, const std::string& tooltip) {
  if (displays().SetProgressValue) displays().SetProgressValue(value, tooltip);
}

void Install(Implementation implementation) {
  installed() = std::move(implementation);
  // What the generic layer reports without a box lands in the events list.
  if (installed().AddActivity) {
    SetEventsList([](const std::string& text) { AddActivity(kEvents, text, kNoItem, "", ""); });
  } else {
    SetEventsList({});
  }
}

void AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                 const std::string& itemKey, const std::string& ownerUID) {
  require(installed().AddActivity, "AddActivity")(kind, text, itemType, itemKey, ownerUID);
}

void ExitProgram() { require(installed().ExitProgram, "ExitProgram")(); }

}  // namespace MessageCenterServices
