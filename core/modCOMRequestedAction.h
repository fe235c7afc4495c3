#pragma once
// modCOMRequestedAction: the receiving side of a conversation. A request
// text completed on an accepted connection is read as an "A" record and
// answered with an "R" record.
//
// A text that is not XML, whose root is not "A", or whose request code has
// no handler, gets no answer (an empty reply: nothing is sent). A request
// code that is not a number, or any other error of the dispatcher, gets the
// fixed reply FallbackResponseText. Nothing here throws, and nothing here
// shows a message box: a peer drives these paths, so errors go to the error
// log.
//
// Every request but 1000 names an account of this computer in "RUID"; any
// other RUID is answered 100200, as request 200 answers it. What a handler
// stores (a message, a read notice, a recall, an identity) is on disk
// before its reply is sent: a read notice, a recall and an identity before
// the reply is returned; a delivered message is written and its reply must
// go through TurnCommit::after, so that the deliveries of one turn share
// one sync.
//
// A UID in a request is a claim: a person whose row in RUID's users
// directory has an address speaks for himself only from that address (the
// connection's PeerAddress). From elsewhere his sender check is not passed,
// his read notices and recalls are answered with their failure codes (so
// that a real sender tries again) and change nothing, and his identity
// moves his row only once the address on file no longer answers for him
// (IdentityChecks).
//
// UI thread only.
#include <cstdint>
#include <string>

#include "ConnectionState.h"
#include "clsGenXMLDocument.h"

namespace modCOMRequestedAction {

// The reply to `requestText`; empty: send nothing. `state` is the
// connection's record: it remembers which sender the check of request 300
// accepted for which account, and a file offer fills it for the file that
// follows.
std::string ProcessRequestedAction(const std::string& requestText, ConnectionState& state);

// The reply record: <R SD="..." RE="..." ST="..." OUID="..." CO="..." V="..."/>
// with SD the logged-in account, RE, OUID and CO only when not empty, ST and
// V always. With `omit`, only <R V="..."/>. Every value is escaped for a
// double-quoted attribute (&, <, >, ", and the control characters), so any
// text, a whole XML document in CO included, reads back unchanged.
std::string BuildResponse(const std::string& RE, const std::string& ST, const std::string& OUID,
                          int32_t V, const std::string& CO, bool omit);

// The handlers, one per request code; each takes the parsed request and
// returns the reply text (codes in parentheses: success / refusals).
//
// 200 (200 / 100200): RUID is an account of this computer.
std::string ProcessCheckRecipient(const XMLDocumentRef& request);
// 300 (300 known with the same "CS", 100300 accepted / 100301 refused):
// a sender whose row is in RUID's users directory is accepted whatever its
// "CS"; an unknown one only when RUID accepts messages from anybody; an
// empty SUID only then too. An accepted sender is noted in `state`. A
// listed sender from another address than his own gets 100300, so that
// his identity follows, but is not noted.
std::string ProcessCheckSender(const XMLDocumentRef& request, ConnectionState& state);
// 400 (400 / 401, 101300 for an empty RUID or V): stores the identity in V
// (in either form, IdentityElementText) in RUID's users directory, only
// when its "UID" is the requester's SUID, and, while RUID accepts only
// people of its list, only for a person already in it. A listed person's
// identity from another address than his own is answered 101300 (try again
// later) and, when it names the address it comes from, held for the check
// of the address on file.
std::string ProcessUserIdentity(const XMLDocumentRef& request, const ConnectionState& state);
// 1000 (1000): CO = <TVR> with the identity element of every account.
std::string ProcessListLocalUsers();
// 1100 (1100 / 101100 when RUID does not share it): CO = <TVR> with the
// identity element of every row of RUID's users directory.
std::string ProcessGetUserDirectory(const XMLDocumentRef& request);
// 1200 (1200 / 100301 without an accepted sender check on this connection,
// 101200 for a message that is not one of SUID's or any error): stores the
// message "M" in V among RUID's received messages (status 60, an automatic
// reply's -1 kept) and writes them; once that is on disk (TurnCommit) it
// boards, answers automatically and logs the arrival. A message whose UID
// RUID already holds (received or in the history) is answered 1200 again
// and nothing else happens; one that could not be written, or whose sync
// failed, is not held, so that it arrives whole when it comes again.
std::string ProcessDeliverMessage(const XMLDocumentRef& request, const ConnectionState& state);
// 1300 (1300 / 101300): CO = <R .../> carrying RUID's identity attributes.
std::string ProcessGetUserInfo(const XMLDocumentRef& request);
// 1400 (1400 / 100001, also from another address than SUID's own): the
// recipient SUID has opened the message OUID that RUID sent, among RUID's
// sent messages or else in RUID's history: its recipient status becomes 100
// (V must read 100), never lower than it was; saved. Any other V, or a
// requester who is no recipient of it, changes nothing.
std::string ProcessMessageStatus(const XMLDocumentRef& request, const ConnectionState& state);
// 1500 (1500 / 101500, also from another address than SUID's own): the
// message OUID that SUID sent is deleted from RUID's received messages,
// else from RUID's history, and saved. A message of another sender, or
// none, is left alone; the reply is 1500 all the same.
std::string ProcessRecallMessage(const XMLDocumentRef& request, const ConnectionState& state);

// 2000 (2000 / 100301 without an accepted sender check on this connection,
// 100001 for a second offer on the connection or a sub-folder that is
// absolute or climbs out): notes the offered file (V: its path, optionally
// "||" and a sub-folder) in `state` for the file frames that follow, with a
// safe name and sub-folder (modFileTransfer).
std::string ProcessFileOffer(const XMLDocumentRef& request, ConnectionState& state);

// Whether RUID's users directory has a row for SUID whose "CS" is
// senderCS (any "CS" when senderCS is empty). False for an empty UID.
// Errors are reported and raised again.
bool IsKnownSender(const std::string& RUID, const std::string& SUID, const std::string& senderCS);
// Whether RUID takes messages and files from people outside its users
// directory (its option AcceptMessFileFromUserInMyUserList is off). False
// for an empty RUID. Errors are reported and raised again.
bool IsSenderAcceptedByOptions(const std::string& RUID);

}  // namespace modCOMRequestedAction
