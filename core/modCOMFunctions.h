#pragma once
// modCOMFunctions: the procedures that keep sent messages in step with what
// their recipients' copies answer. Errors are reported and raised again.
// UI thread only.
#include <cstdint>
#include <string>

class clsGenObject;

namespace modCOMFunctions {

// Sets the status of one recipient of a sent message: the recipient's sub
// row gets `status`, and so does the message row itself when it has only
// that one recipient. `collection` is the sent-message collection to work
// on, or null for the pooled one of the logged-in account. Saved when
// `save`. Nothing when either UID is empty or no such message or
// recipient exists.
void UpdateRecipientStatus(const std::string& messageUID, const std::string& recipientUID,
                           int32_t status, clsGenObject* collection, bool save);

}  // namespace modCOMFunctions
