#pragma once
// modCOMExecuteAction: what the requester does with the useful content of a
// reply: users found by a search, a delivered or recalled message, a
// person's identity. Errors are reported and raised again.
#include <cstdint>
#include <string>

#include "clsGenXMLDocument.h"

namespace modCOMExecuteAction {

// The most identity elements taken from one list of users.
inline constexpr int kMaxUsersFromOneReply = 1000;

// The users of a computer (reply 1000) or a person's users directory (reply
// 1100) in "CO" go to the user search, at most kMaxUsersFromOneReply of them.
void ExecuteResponse1000(const XMLDocumentRef& reply);
void ExecuteResponse1100(const XMLDocumentRef& reply);
// The recipient's copy of the sent message is delivered, or recalled
// (1500): the mark is written, not synced; the action queue keeps the
// settled action until the mark is on disk.
void ExecuteResponse1200(const std::string& messageUID, const std::string& recipientUID);
void ExecuteResponse1500(const std::string& messageUID, const std::string& recipientUID);
// The identity in "CO" (in either form, IdentityElementText) updates the
// users directory of ownerUID, but only when it is the identity of
// expectedUID: no peer may answer for somebody else. The result of
// UpdateUserFromRemoteElement, or 0 when the element was not taken.
int32_t ExecuteResponse1300(const XMLDocumentRef& reply, const std::string& ownerUID,
                            const std::string& expectedUID);

}  // namespace modCOMExecuteAction
