#pragma once
// IdentityChecks: following a person of the logged-in account's users
// directory to a new address without letting anybody else take his place.
//
// A UID is only a claim. An identity that arrives for a person of the
// directory from another address than the one on file is held, and one
// request 1300 for that person goes through the action queue to the address
// on file. When the queue settles that action:
//   - the address on file answered with that person's identity (which the
//     queue stores as it stores any answer 1300), or a copy there refused
//     the connection: he is still there. The held identity is dropped, and
//     for kRecheckSeconds no further identity of his from elsewhere starts
//     a check;
//   - anything else (nobody answers, no such account there, another
//     person, an error): he has moved. His row takes the held identity,
//     provided it is still at the address that was checked; his change
//     counter "CS" never goes down.
// One identity per person and one per claiming address is held at a time,
// for at most kRecheckSeconds, at most kMaxHeld in all, each at most
// kMaxIdentityBytes long; others are dropped without a check. The queue
// holds at most kMaxHeld checks made here, and a check ends (with its row) within the
// queue's bound for one conversation with an address that may be hostile:
// claims against people whose address on file never answers cannot hold
// back a real move for long.
// Accounts that are not logged in have no queue: their rows are never
// moved this way. Nothing is kept on disk: after a restart a person is
// followed when his identity arrives again.
//
// The work per identity is bounded by kMaxHeld, whatever the queue and the
// directory hold. UI thread only. Nothing here throws: errors go to the error log.
#include <cstddef>
#include <cstdint>
#include <string>

namespace IdentityChecks {

inline constexpr int kMaxHeld = 16;
inline constexpr std::size_t kMaxIdentityBytes = 4096;
inline constexpr int kRecheckSeconds = 600;

// `identity` (the text of an element "U" whose "UID" is personUID) arrived
// from `claimant`, another address than addressOnFile, the address of
// personUID's row in the users directory of `owner`. Holds it and queues
// the check.
void HoldMove(const std::string& owner, const std::string& personUID,
              const std::string& addressOnFile, const std::string& claimant,
              const std::string& identity);

// The queue settled an action 1300 for personUID sent to `address`, with
// the action's final status (ResActionStatus). A status that leaves the
// action waiting changes nothing.
void CheckSettled(const std::string& personUID, const std::string& address, int32_t status);

}  // namespace IdentityChecks
