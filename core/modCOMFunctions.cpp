#include "modCOMFunctions.h"

#include "PoolLoan.h"
#include "clsGenErrorHandler.h"
#include "modGlobalVariables.h"

namespace modCOMFunctions {
namespace {

constexpr int32_t kMessageUID = 0;
constexpr int32_t kMessageST = 2;
constexpr int32_t kRecipientUID = 0;
constexpr int32_t kRecipientST = 1;

void updateIn(clsGenObject& messages, const std::string& messageUID,
              const std::string& recipientUID, int32_t status, bool save) {
  messages.PC_SelectSingleNode(kMessageUID, messageUID);
  if (!messages.IsRowSelected()) return;
  messages.SC_SelectSingleNode(kRecipientUID, recipientUID);
  if (!messages.IsSubRowSelected()) return;
  messages.SubRowSetField(kRecipientST, status);
  const auto recipients = std::distance(messages.GetCurrent().children().begin(),
                                        messages.GetCurrent().children().end());
  if (recipients < 2) messages.SetField(kMessageST, status);
  if (save) messages.SaveXMLDoc();
}

}  // namespace

void UpdateRecipientStatus(const std::string& messageUID, const std::string& recipientUID,
                           int32_t status, clsGenObject* collection, bool save) {
  try {
    if (messageUID.empty() || recipientUID.empty()) return;
    if (collection != nullptr) {
      updateIn(*collection, messageUID, recipientUID, status, save);
      return;
    }
    PoolLoan messages(modGlobalVariables::MessSent);
    updateIn(*messages, messageUID, recipientUID, status, save);
  } catch (...) {
    raiseAgain("modCOMFunctions.UpdateRecipientStatus");
  }
}

}  // namespace modCOMFunctions
