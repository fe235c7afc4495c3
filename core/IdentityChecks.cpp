#include "IdentityChecks.h"

#include <QDateTime>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "Clock.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace IdentityChecks {
namespace {

constexpr int32_t kUserUID = 0;
constexpr int32_t kUserIP = 7;

struct Held {
  std::string owner;
  std::string addressOnFile;
  std::string claimant;
  std::string identity;
  QDateTime since;
};

// By person UID. Only the logged-in account's queue settles checks, and a
// check taken out of the queue by hand never settles: what another account
// left, or what waited kRecheckSeconds, is dropped when the next is held.
std::map<std::string, Held>& held() {
  static std::map<std::string, Held> all;
  return all;
}

// When the address on file last answered for the person (owner, person).
std::map<std::pair<std::string, std::string>, QDateTime>& lastAnswered() {
  static std::map<std::pair<std::string, std::string>, QDateTime> all;
  return all;
}

bool answeredLately(const std::pair<std::string, std::string>& person, const QDateTime& now) {
  auto& answered = lastAnswered();
  for (auto it = answered.begin(); it != answered.end();) {
    const bool stale = it->second > now || it->second.secsTo(now) >= kRecheckSeconds;
    it = stale ? answered.erase(it) : std::next(it);
  }
  return answered.count(person) != 0;
}

// Statuses of a settled action whose recipient is still at its address.
bool stillThere(int32_t status) { return status == Done || status == ConnectionRefused; }

// Statuses that leave the action in the store to be tried or reported.
bool stillWaiting(int32_t status) {
  return status == RetryPlanned || status == ReportedToServer || status == NotReachable ||
         status == RecipientNotFound;
}

// The UIDs of the checks queued here, oldest first. A check leaves the
// queue when it settles or is taken out by hand; its UID is then forgotten
// at the next count.
std::vector<std::string>& queued() {
  static std::vector<std::string> all;
  return all;
}

// Checks queued here that are still in the queue: at most kMaxHeld look-ups
// by UID, whatever the queue holds.
std::size_t queuedChecks() {
  const XMLDocumentRef& document = ActionManager().Actions().XMLDocLinked();
  auto& checks = queued();
  std::erase_if(checks, [&](const std::string& uid) {
    return !document || !document->firstRowWhere("A", "UID", uid);
  });
  return checks.size();
}

// Notes the check just queued for personUID: the queue appends its rows.
void noteQueued(const std::string& personUID) {
  const XMLDocumentRef& document = ActionManager().Actions().XMLDocLinked();
  const pugi::xml_node row = document ? document->rootElement().last_child() : pugi::xml_node();
  if (personUID != row.attribute("RUID").value()) return;
  queued().emplace_back(row.attribute("UID").value());
}

bool claimedFrom(const std::map<std::string, Held>& waiting, const std::string& claimant) {
  return std::any_of(waiting.begin(), waiting.end(),
                     [&](const auto& entry) { return entry.second.claimant == claimant; });
}

void follow(const std::string& personUID, const Held& move) {
  const std::string address = modGlobalFunctions::GetObjectFieldValue(
      modGlobalVariables::User, kUserUID, personUID, kUserIP, false);
  if (address != move.addressOnFile) return;
  modGlobalFunctions::UpdateUserFromRemoteElement(move.owner, move.identity, true);
}

}  // namespace

void HoldMove(const std::string& owner, const std::string& personUID,
              const std::string& addressOnFile, const std::string& claimant,
              const std::string& identity) {
  try {
    if (owner.empty() || owner != modGlobalVariables::CurrentLocalUserUID || personUID.empty() ||
        addressOnFile.empty() || claimant.empty() || identity.size() > kMaxIdentityBytes) {
      return;
    }
    const QDateTime now = platform::now();
    auto& waiting = held();
    std::erase_if(waiting, [&](const auto& entry) {
      const Held& move = entry.second;
      return move.owner != owner || move.since > now || move.since.secsTo(now) >= kRecheckSeconds;
    });
    if (waiting.count(personUID) != 0 || waiting.size() >= kMaxHeld ||
        claimedFrom(waiting, claimant) || queuedChecks() >= kMaxHeld ||
        answeredLately({owner, personUID}, now)) {
      return;
    }
    waiting[personUID] = {owner, addressOnFile, claimant, identity, now};
    try {
      ActionManager().AddAction(modGlobalVariables::kRequestUserInformation, "", personUID, "",
                                false, addressOnFile, true, false, false);
      noteQueued(personUID);
    } catch (...) {
      waiting.erase(personUID);
      throw;
    }
  } catch (...) {
    logError("IdentityChecks.HoldMove");
  }
}

void CheckSettled(const std::string& personUID, const std::string& address, int32_t status) {
  try {
    auto& waiting = held();
    const auto found = waiting.find(personUID);
    if (found == waiting.end() || found->second.addressOnFile != address || stillWaiting(status)) {
      return;
    }
    const Held move = found->second;
    waiting.erase(found);
    if (move.owner != modGlobalVariables::CurrentLocalUserUID) return;
    if (stillThere(status)) {
      lastAnswered()[{move.owner, personUID}] = platform::now();
    } else {
      follow(personUID, move);
    }
  } catch (...) {
    logError("IdentityChecks.CheckSettled");
  }
}

}  // namespace IdentityChecks
