#pragma once
// modCOMFunctions: the procedures that keep sent messages in step with what
// their recipients' copies answer. Errors are reported and raised again.
// UI thread only.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

class clsGenObject;

namespace modCOMFunctions {

// A send refused because a recipient has no address (RecipientsWithoutAddress).
inline constexpr int kErrNoRecipientAddress = 1001;

// The recipients among `recipients` (account UIDs) that no delivery could
// reach: the logged-in account's users directory holds no row for them, or
// a row without an address. In the order given; empty items are passed over.
std::vector<std::string> RecipientsWithoutAddress(const std::vector<std::string>& recipients);

// Stores a new sent message of the logged-in person and queues one delivery
// (action 1200) per recipient, then starts the queue. `content` may hold
// CR LF line breaks; the signature is appended when the options say so.
// `recipients` is a "||" list of account UIDs (empty and repeated items are
// dropped). When one of them has no address nothing is stored or queued
// and kErrNoRecipientAddress is raised. The message row ("ST" 1, each
// recipient 1) and then the deliveries, each holding that row, are written
// before this returns (a write the disk refuses raises, and nothing of the
// send is kept), and are on disk once the turn's commit is done
// (TurnCommit): the sends of one turn share its syncs. The queue takes up
// no delivery before that commit; a caller that tells a person the message
// is sent commits first (TurnCommit::now()). A send whose sync fails is
// taken back whole, as one the disk refused. Until the commit the row and
// the deliveries are marked as a send under way, so that a send cut short
// by a kill, a crash or a full disk is taken back when the queue next
// starts (SettleInterruptedSends, clsActionManager). An automatic reply
// ("ST" -1) is not kept among the sent messages. Answering a received
// message in status 100 marks it 220. Returns the new message's UID.
std::string SendMessageToRecipients(const std::string& content, int32_t priority,
                                    int32_t responseType, const std::string& recipients,
                                    const std::string& answeredUID, bool RA, bool automaticReply);

// Settles the sends that a kill or a full disk cut short, as the queue
// starts and before anything is sent: a sent row still marked as a send
// under way goes when none of its deliveries is queued (`queued`: the
// message UIDs of the queue's deliveries); with one queued it only loses
// the mark. Raises when the sent messages cannot be read or written; the
// rows that went stay gone from the collection until a later save writes it.
void SettleInterruptedSends(const std::set<std::string>& queued);

// Sets the status of one recipient of a sent message: the recipient's sub
// row gets `status`, and so does the message row itself when it has only
// that one recipient. A status never goes back: one not above the stored
// status (1 < 50 < 100 < 400) changes nothing, yet what the collection
// holds unsaved (a status whose save failed) is saved. `collection` is the
// sent-message collection to work on, or null for the pooled one of the
// logged-in account, and then the history when the message was moved
// there. Written to its file (WriteXMLDoc: the next SaveXMLDoc of the
// collection or DataJournal::flushWritten syncs it) or made durable
// (SaveXMLDoc), as `save` says. Nothing when either UID is empty or no such
// message or recipient exists.
enum class StatusSave { kWritten, kDurable };
void UpdateRecipientStatus(const std::string& messageUID, const std::string& recipientUID,
                           int32_t status, clsGenObject* collection, StatusSave save);

}  // namespace modCOMFunctions
