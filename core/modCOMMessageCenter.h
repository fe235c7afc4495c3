#pragma once
// modCOMMessageCenter: the message center's work on the logged-in account's
// messages: recalling sent messages, deleting old ones, and the display
// names of a message's recipients. Errors are reported and raised again.
// UI thread only.
#include <cstdint>
#include <string>
#include <vector>

class clsGenObject;

namespace modCOMMessageCenter {

// Recalls the sent messages whose UIDs `messageUIDs` holds; the list is
// emptied. For each recipient of a message found among the sent messages
// (and not itself in status 400), the deliveries of that message to that
// recipient still waiting in the action queue are withdrawn (the running one
// stays); a recipient who may have received it gets a recall (action 1500,
// started at once), one who cannot have got it is marked 400 at once (his
// deliveries go only once that mark is on disk: when the disk refuses it,
// nothing is withdrawn and the marks are taken back before this raises). A
// recipient who may have received it but has no address
// (modCOMFunctions::RecipientsWithoutAddress) gets no recall, which would be
// given up at once: his status stays and his UID is added to `unreachable`
// (once) for the caller to tell.
// The sent messages and the queue are on disk before this returns.
// Returns the number of messages recalled from at least one recipient;
// messages not found (moved to the history, say) are not counted.
int32_t RecallMessage(std::vector<std::string>& messageUIDs,
                      std::vector<std::string>& unreachable);

// Deletes, when the options ask for it, the opened received messages
// (counted from "RTS") and the delivered sent messages (counted from "TS")
// older than DeleteInterval units of DeleteIntervalType (1 days by calendar
// date, 2 hours by hour boundaries); strictly older goes. Nothing at all
// for a negative interval or another unit. A row whose status or date
// cannot be read is passed over. The history is never touched.
void DeleteExpiredMessages();

// The recipients of the current message row of `messages`, "||" between
// items: their UIDs when identifiersOnly; else their names ("LN, FN" of the
// local account, else of the users directory), with " - " and the status
// name after each when withStatus and the row is a sent one ("MT" 2).
// Recipients without a name are left out and, unless identifiersOnly,
// counted in a last item (resource message 20530 with the count). "" without
// a current row.
std::string GetRecipientNames(clsGenObject& messages, bool withStatus, bool identifiersOnly);

}  // namespace modCOMMessageCenter
