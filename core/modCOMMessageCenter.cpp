#include "modCOMMessageCenter.h"

#include <QDateTime>
#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <string_view>

#include "Clock.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "modCOMFunctions.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace modCOMMessageCenter {
namespace {

using modGlobalVariables::kMessageST;

constexpr int32_t kUIDField = 0;
constexpr int32_t kRecalled = 400;
constexpr int32_t kDelivered = 50;
constexpr int32_t kOpened = 100;
constexpr int32_t kQueued = 1;
constexpr int32_t kNameField = 50000;  // "LN, FN"
constexpr int kStatusList = 203;
constexpr int kUnknownRecipientsMessage = 20530;
constexpr const char* kDateFormat = "yyyy-MM-dd hh:mm:ss";

// The display name of a status; a code the list lacks shows as itself.
std::string statusName(const std::string& code) {
  const auto& list = modGenFunctionsResource::GetResourceSection(kStatusList);
  if (!list.contains(modGenFunctions::MakeCollectionKey(code))) return code;
  return modGenFunctionsResource::GetResourceListText(kStatusList, code);
}

// The 1200 deliveries of one message to one recipient waiting in the queue.
struct Deliveries {
  std::vector<std::string> waiting;
  bool triedOrRunning = false;
};

Deliveries deliveriesOf(clsActionManager& queue, const std::string& messageUID,
                        const std::string& recipientUID) {
  Deliveries found;
  const XMLDocumentRef& store = queue.Actions().XMLDocLinked();
  if (!store) return found;
  for (pugi::xml_node row : store->rootElement().children()) {
    if (modGenFunctions::ParseWholeNumber(row.attribute("AT").value()) != modGlobalVariables::kRequestDeliverMessage ||
        messageUID != row.attribute("OUID").value() ||
        recipientUID != row.attribute("RUID").value()) {
      continue;
    }
    const std::string uid = row.attribute("UID").value();
    const bool untried = modGenFunctions::ParseWholeNumber(row.attribute("AS").value()) == NotTried &&
                         modGenFunctions::ParseWholeNumber(row.attribute("AZ").value()).value_or(0) == 0;
    if (uid == queue.Current().ID || !untried) found.triedOrRunning = true;
    if (uid != queue.Current().ID) found.waiting.push_back(uid);
  }
  return found;
}

// What a recall does for one recipient of one message.
struct RecallStep {
  std::string message;
  std::string recipient;
  Deliveries found;
  // The message may have reached him: he gets a recall. Otherwise he is
  // marked recalled, and `before` is his status until then.
  bool recall = false;
  std::string before;
};

RecallStep recallStepFor(clsActionManager& queue, const std::string& messageUID,
                         const std::string& recipientUID, const std::string& recipientStatus) {
  const Deliveries found = deliveriesOf(queue, messageUID, recipientUID);
  const bool neverSent = !found.waiting.empty() && !found.triedOrRunning &&
                         modGenFunctions::ParseWholeNumber(recipientStatus) == kQueued;
  return {messageUID, recipientUID, found, !neverSent, recipientStatus};
}

// Sets the status of the recipient of `step`, and of its message when he is
// its only recipient, back to what it was before the recall.
void restoreStatus(clsGenObject& messages, const RecallStep& step) {
  messages.PC_SelectSingleNode(kUIDField, step.message);
  if (!messages.IsRowSelected()) return;
  messages.SC_SelectSingleNode(kUIDField, step.recipient);
  if (!messages.IsSubRowSelected()) return;
  messages.SubRowSetField(modGlobalVariables::kRecipientST, step.before);
  const auto recipients = std::distance(messages.GetCurrent().children().begin(),
                                        messages.GetCurrent().children().end());
  if (recipients < 2) messages.SetField(kMessageST, step.before);
}

// Marks recalled, on disk, the recipients of `steps` whose delivery never
// left; when the disk refuses, takes the marks back in memory and raises.
void markNeverSent(clsGenObject& messages, const std::vector<RecallStep>& steps) {
  try {
    for (const RecallStep& step : steps) {
      if (step.recall) continue;
      modCOMFunctions::UpdateRecipientStatus(step.message, step.recipient, kRecalled, &messages,
                                             modCOMFunctions::StatusSave::kWritten);
    }
    messages.SaveXMLDoc();
  } catch (...) {
    for (const RecallStep& step : steps) {
      if (!step.recall) restoreStatus(messages, step);
    }
    throw;
  }
}

// Age of `then` in `unit` (1 days, 2 hours) at `now`.
int64_t ageOf(const QDateTime& then, const QDateTime& now, int32_t unit) {
  const int64_t days = then.date().daysTo(now.date());
  if (unit == 1) return days;
  return days * 24 + (now.time().hour() - then.time().hour());
}

void deleteExpiredIn(int32_t classType, int32_t minimumStatus, const QDateTime& now) {
  const auto& options = modLocalUserFunctions::LocalUserOptions;
  PoolLoan messages(classType);
  std::vector<std::string> expired;
  messages->PC_Init(true);
  const std::string dateName = classType == modGlobalVariables::MessRec ? "RTS" : "TS";
  for (messages->PC_MoveFirst(); !messages->PC_EndOfList(); messages->PC_MoveNext()) {
    const pugi::xml_node row = messages->PC_Current();
    if (!row) continue;
    const std::optional<int32_t> status = modGenFunctions::ParseWholeNumber(row.attribute("ST").value());
    if (!status || *status < minimumStatus) continue;
    const QDateTime then = QDateTime::fromString(QString::fromUtf8(row.attribute(dateName.c_str()).value()),
                                                 kDateFormat);
    if (!then.isValid()) continue;
    if (ageOf(then, now, options.DeleteIntervalType) > options.DeleteInterval) {
      expired.push_back(row.attribute("UID").value());
    }
  }
  messages->PC_Close();
  for (const std::string& uid : expired) messages->Delete(false, kUIDField, uid, false);
}

}  // namespace

// A recipient whose delivery never left is marked recalled on disk before
// that delivery goes: a disk that refuses the mark leaves him as he was,
// with his delivery still queued, never shown as queued with nothing left
// to send it.
int32_t RecallMessage(std::vector<std::string>& messageUIDs, std::vector<std::string>& unreachable) {
  try {
    if (messageUIDs.empty()) return 0;
    PoolLoan messages(modGlobalVariables::MessSent);
    clsActionManager& queue = ActionManager();
    std::vector<RecallStep> steps;
    std::set<std::string> recalled;
    while (!messageUIDs.empty()) {
      const std::string uid = messageUIDs.front();
      messageUIDs.erase(messageUIDs.begin());
      messages->PC_SelectSingleNode(kUIDField, uid);
      if (!messages->IsRowSelected() ||
          modGenFunctions::ParseWholeNumber(messages->GetField(kMessageST)) == kRecalled) {
        continue;
      }
      for (pugi::xml_node recipient :
           messages->GetCurrent().children(messages->XMLSubElementBaseName().c_str())) {
        const std::string recipientUID = recipient.attribute("UID").value();
        if (!recipientUID.empty()) {
          steps.push_back(recallStepFor(queue, uid, recipientUID, recipient.attribute("ST").value()));
        }
      }
    }
    markNeverSent(*messages, steps);
    for (const RecallStep& step : steps) {
      for (const std::string& action : step.found.waiting) queue.DeleteAction(action, true);
      if (!step.recall) {
        recalled.insert(step.message);
      } else if (!modCOMFunctions::RecipientsWithoutAddress({step.recipient}).empty()) {
        // A recall to him would be given up at once.
        if (std::find(unreachable.begin(), unreachable.end(), step.recipient) == unreachable.end()) {
          unreachable.push_back(step.recipient);
        }
      } else {
        queue.AddAction(modGlobalVariables::kRequestRecallMessage, step.message, step.recipient, "", true,
                        "", true, true, true);
        recalled.insert(step.message);
      }
    }
    queue.SaveStore();
    return static_cast<int32_t>(recalled.size());
  } catch (...) {
    raiseAgain("modCOMMessageCenter.RecallMessage");
  }
}

void DeleteExpiredMessages() {
  try {
    const auto& options = modLocalUserFunctions::LocalUserOptions;
    if (!options.DeleteMessageOlderThan || options.DeleteInterval < 0) return;
    if (options.DeleteIntervalType != 1 && options.DeleteIntervalType != 2) return;
    const QDateTime now = platform::now();
    deleteExpiredIn(modGlobalVariables::MessRec, kOpened, now);
    deleteExpiredIn(modGlobalVariables::MessSent, kDelivered, now);
  } catch (...) {
    raiseAgain("modCOMMessageCenter.DeleteExpiredMessages");
  }
}

std::string GetRecipientNames(clsGenObject& messages, bool withStatus, bool identifiersOnly) {
  try {
    const pugi::xml_node row = messages.GetCurrent();
    if (!row) return {};
    const bool showStatus =
        withStatus && !identifiersOnly && std::string_view(row.attribute("MT").value()) == "2";
    std::string names;
    int32_t unknown = 0;
    for (pugi::xml_node recipient : row.children(messages.XMLSubElementBaseName().c_str())) {
      const std::string uid = recipient.attribute("UID").value();
      std::string name = uid;
      if (!identifiersOnly && !uid.empty()) {
        name = modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::LocalUser, kUIDField, uid,
                                                       kNameField, false);
        if (name.empty()) {
          name = modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUIDField, uid,
                                                         kNameField, false);
        }
      }
      if (name.empty()) {
        ++unknown;
        continue;
      }
      if (showStatus) {
        name += " - " + statusName(recipient.attribute("ST").value());
      }
      modGenFunctions::AddToString(names, name);
    }
    if (!identifiersOnly && unknown > 0) {
      modGenFunctions::AddToString(
          names, modGenFunctionsResource::GetResourceMessage(kUnknownRecipientsMessage, {unknown}));
    }
    return names;
  } catch (...) {
    raiseAgain("modCOMMessageCenter.GetRecipientNames");
  }
}

}  // namespace modCOMMessageCenter
