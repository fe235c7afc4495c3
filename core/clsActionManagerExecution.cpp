// The conversation of the current action: its path, its requests, the
// reactions to the peer's replies, and the settling of its outcome.
#include <functional>
#include <set>
#include <unordered_map>

#include "Clock.h"
#include "IdentityChecks.h"
#include "MessageCenterServices.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "modCOMExecuteAction.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGenFunctionsFile.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "FileSender.h"
#include "modFileTransfer.h"

namespace {

using namespace modGlobalVariables;

constexpr int32_t kResponseV = 5;
constexpr int32_t kUserMessageCounter = 4;
constexpr int32_t kUserFileCounter = 5;
constexpr int kFileMissingMessage = 20201;
constexpr int kFileNotSentMessage = 100100;

// The file of a file action's V; "" when V does not name exactly one file.
std::string filePathOf(const std::string& V) { return modFileTransfer::EntryFile(V).value_or(""); }

bool isOneOf(int32_t type, std::initializer_list<int32_t> types) {
  for (const int32_t t : types) {
    if (t == type) return true;
  }
  return false;
}

void addActivity(int32_t kind, int message, const modGenFunctionsResource::MessageParameters& parameters,
                 int32_t itemType, const std::string& key) {
  const std::string text = modGenFunctionsResource::GetResourceMessage(message, parameters);
  MessageCenterServices::AddActivity(kind, text, itemType, key, "");
}

// A state the conversation should never reach, written to the error log.
void reportFault(const std::string& description) {
  int handled = 0;
  GenErrorHandler().HandleError(kErrApplicationDefined, "clsActionManager.ManageActionStatus",
                                description, 1, 1, 0, "", 0, handled);
}

// Runs a local follow-up of a reply already accepted (an activity, a
// counter, a mark); a failing one is logged and does not change the outcome.
// True when it ran without an error.
bool followUp(const char* where, const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (...) {
    logError(where);
    return false;
  }
}

// An activity in the events list naming the current recipient in `message`.
void tellOfRecipient(clsActionManager& manager, const char* where, int message) {
  followUp(where, [&] {
    addActivity(MessageCenterServices::kEvents, message, {manager.GetRecipientName()},
                MessageCenterServices::kNoItem, "");
  });
}

void tellSearch(const std::string& users) {
  try {
    UsersAndOptionsServices::AddFoundUsersToList(users);
  } catch (...) {
    logError("clsActionManager.tellSearch");
  }
}

void tellSearchNotReached() {
  try {
    UsersAndOptionsServices::SearchHostNotReached();
  } catch (...) {
    logError("clsActionManager.tellSearchNotReached");
  }
}

}  // namespace

void clsActionManager::LoadCurrentAction() {
  current_.stepIndex = 0;
  current_.replyCode = 0;
  current_.status = InProgress;
  current_.unexpectedReplies = 0;
  // The take-up is saved with the conversation's next change, not on its
  // own: a row still waiting on disk is due again after a crash, just as one
  // found in progress is made due again at load.
  second_->SetRowFieldByKey(kActionUID, current_.ID, kActionAS, std::to_string(InProgress));
  working_->PC_SelectSingleNode(kActionUID, current_.ID);
  current_.SUID = rowField(current_.ID, kActionSUID);
  current_.OUID = rowField(current_.ID, kActionOUID);
  current_.V = rowField(current_.ID, kActionV);
  current_.RA = rowField(current_.ID, kActionRA) == "1";
  current_.rowXML = requestXML(working_->GetCurrent());
  current_.steps.fill(0);
  const std::vector<int32_t>& path = ActionPath.at(current_.ActionType);
  for (std::size_t i = 0; i < path.size() && i < current_.steps.size(); ++i) {
    current_.steps[i] = path[i];
  }
  stepChangedAt_ = platform::now();
}

int32_t clsActionManager::currentStep() const {
  if (current_.stepIndex < 0 || current_.stepIndex >= static_cast<int32_t>(current_.steps.size())) {
    throw TvrError(kErrSubscript, "clsActionManager.currentStep", "Subscript out of range");
  }
  return current_.steps[static_cast<std::size_t>(current_.stepIndex)];
}

void clsActionManager::ProcessCurrentAction(const std::string& replyText, bool failed) {
  handleEvent(replyText.empty() ? nullptr : &replyText, failed);
}

// A reply is a reply even when its text is empty: only the start of the
// action (no reply) sends the current step's request unasked.
void clsActionManager::handleEvent(const std::string* reply, bool failed) {
  if (current_.ID.empty() || !busy_) return;
  try {
    TouchActivityTime();
    if (failed) {
      tmrClientConnectionTimeout.setEnabled(false);
      current_.status = Failed;
      current_.replyCode = 100100;
    } else {
      if (reply != nullptr && ProcessReceivedData(*reply)) return;
      runSteps();
    }
  } catch (...) {
    logError("clsActionManager.ProcessCurrentAction");
    SetConnectionTimeoutError();
  }
  settleIfDone();
}

// Settling always ends the conversation: the queue goes on with the next action.
void clsActionManager::settleIfDone() {
  if (current_.status == InProgress) return;
  try {
    ManageActionStatus();
  } catch (...) {
    logError("clsActionManager.ManageActionStatus");
  }
  ResetCurrentAction();
  busy_ = false;
  SetActionTimer(1, true);
}

void clsActionManager::runSteps() {
  while (current_.status == InProgress) {
    const int32_t step = currentStep();
    switch (step) {
      case kRequestOpenConnection: {
        const int port = current_.ActionType < kRequestServerIdentity ? kPeerPort : kServerPort;
        if (ConnectToRecipient(current_.recipientAddress, port)) {
          current_.status = Failed;
        } else if (wsClient_.State() != platform::kSckConnected || answerBounded()) {
          tmrClientConnectionTimeout.setEnabled(false);
          tmrClientConnectionTimeout.setInterval(kConnectTimeoutMs);
          tmrClientConnectionTimeout.setEnabled(true);
        }
        return;
      }
      case kRequestCheckRecipient:
        if (current_.RUID.empty()) {
          SwitchToNextActionInActionPath();
          continue;
        }
        sendRequest(BuildActionXML(step, "", current_.RUID, "", true, "", true));
        return;
      case kRequestCheckSender:
        sendRequest(BuildActionXML(
            step, "", current_.RUID,
            modLocalUserFunctions::GetLocalUserFieldValue(modLocalUserFunctions::kLocalUserCS, "", false),
            true, "", true));
        return;
      case kRequestSenderIdentity: {
        const XMLDocumentRef identity = modLocalUserFunctions::BuildUserIdentityElement(
            LocalUser, modLocalUserFunctions::GetLocalUserElement(""));
        sendRequest(BuildActionXML(step, "", current_.RUID,
                                   modGenFunctionsXML::XMLToString(identity->rootElement()), true,
                                   "", true));
        return;
      }
      case kRequestLocalUsers:
      case kRequestUsersDirectory:
      case kRequestDeliverMessage:
      case kRequestUserInformation:
      case kRequestMessageStatus:
      case kRequestRecallMessage:
      case kRequestOfferFiles:
      case kRequestServerStatusReport:
      case kRequestServerUserSearch:
        sendRequest(current_.rowXML);
        return;
      case kRequestFileContent:
        // The file goes once per action; what follows is the peer's reply.
        if (fileSender_ == nullptr && SendFileContent()) {
          current_.status = Failed;
          current_.replyCode = modFileTransfer::kFileIncomplete;
        }
        return;
      default:
        return;
    }
  }
}

bool clsActionManager::SendFileContent() {
  try {
    const std::string path = filePathOf(current_.V);
    if (path.empty()) {
      current_.status = Failed;
      current_.giveUp = true;
      tellUnsendableFile(current_.V, current_.RUID);
      return false;
    }
    if (!modGenFunctionsFile::FileExists(path)) {
      current_.status = Failed;
      current_.giveUp = true;
      addActivity(MessageCenterServices::kEvents, kFileMissingMessage,
                  {modGenFunctionsFile::GetPathPart(path, 0)}, MessageCenterServices::kNoItem, "");
      return false;
    }
    FileSender::Events events;
    events.progressed = [this] {
      TouchActivityTime();
      stepChangedAt_ = platform::now();
    };
    events.failed = [this] {
      current_.status = Failed;
      current_.replyCode = modFileTransfer::kFileIncomplete;
      settleIfDone();
    };
    fileSender_ = new FileSender(wsClient_, path, modLocalUserFunctions::LocalUserOptions.EncryptSendingFile,
                                 std::move(events), this);
    return !fileSender_->Start();
  } catch (...) {
    raiseAgain("clsActionManager.SendFileContent");
  }
}

// A file whose action did not end done was not sent; the person is told.
void clsActionManager::stopFileSend() {
  if (fileSender_ == nullptr) return;
  if (current_.status != Done) tellFileNotSent();
  fileSender_->Stop();
  fileSender_->deleteLater();
  fileSender_ = nullptr;
}

void clsActionManager::tellFileNotSent() {
  try {
    const std::string path = filePathOf(current_.V);
    addActivity(MessageCenterServices::kEvents, kFileNotSentMessage,
                {modGenFunctionsFile::GetPathPart(path, 0), GetRecipientName()},
                MessageCenterServices::kNoItem, "");
  } catch (...) {
    logError("clsActionManager.tellFileNotSent");
  }
}

void clsActionManager::sendRequest(const std::string& text) {
  TouchActivityTime();
  if (modWireFrames::SendFramedData(wsClient_, text, true, true, modWireFrames::kMessageFrames,
                                    true, false)) {
    SetConnectionTimeoutError();
  }
}

std::string clsActionManager::BuildActionXML(int32_t requestCode, const std::string& OUID,
                                             const std::string& RUID, const std::string& V,
                                             bool RA, const std::string& RIU, bool TC) {
  second_->CreateNewRow(false, kActionUID);
  second_->SetField(kActionAT, requestCode);
  second_->SetField(kActionSUID, CurrentLocalUserUID);
  second_->SetField(kActionRUID, RUID);
  second_->SetField(kActionOUID, OUID);
  second_->SetField(kActionV, V);
  second_->SetField(kActionTS, platform::now().toString("yyyy-MM-dd hh:mm:ss").toStdString());
  second_->SetField(kActionAZ, "0");
  second_->SetField(kActionRA, RA ? "1" : "0");
  second_->SetField(kActionTC, TC ? "1" : "0");
  second_->SetField(kActionRIU, RIU);
  const std::string xml = modGenFunctionsXML::XMLToString(second_->GetCurrent());
  second_->ClearCurrent();
  return xml;
}

// The codes that answer the current step and move the conversation on.
bool clsActionManager::replyAnswersStep(int32_t code) const {
  const int32_t step = currentStep();
  switch (step) {
    case kRequestOpenConnection:
      return code == 100;
    case kRequestCheckRecipient:
      return code == 200;
    case kRequestCheckSender:
      return code == 300 || code == 100300;
    case kRequestSenderIdentity:
      return code == 400 || code == 401;
    case kRequestLocalUsers:
      return code == (current_.ActionType == kRequestUsersDirectory ? 1100 : 1000);
    case kRequestUsersDirectory:
    case kRequestServerUserSearch:
      return code == 1100;
    case kRequestDeliverMessage:
      return code == 1200;
    case kRequestUserInformation:
    case kRequestServerStatusReport:
      return code == 1300;
    case kRequestMessageStatus:
      return code == 1400;
    case kRequestRecallMessage:
      return code == 1500;
    case kRequestOfferFiles:
      return code == 2000;
    case kRequestFileContent:
      return code == 2051;
    default:
      return false;
  }
}

// True: the reply is passed over. A reply that does not answer the current
// step is answered by repeating the step's request once; a second one fails
// the action, so that no peer can hold the conversation. An empty reply, or
// one at a step that sends no request (the connect, the file's content),
// fails the action at once: nothing is repeated for it.
bool clsActionManager::ProcessReceivedData(const std::string& replyText) {
  if (replyText.empty()) {
    current_.status = Failed;
    return false;
  }
  if (!replyDocument_->load(replyText) ||
      std::string_view(replyDocument_->rootElement().name()) != "R") {
    throw TvrError(kErrInvalidCall, "clsActionManager.ProcessReceivedData", "The reply is no reply");
  }
  const std::string value =
      modGlobalFunctions::GetFieldValue(Response, replyDocument_->rootElement(), kResponseV, false);
  const std::optional<int32_t> parsed = modGenFunctions::ParseWholeNumber(value);
  if (!parsed) throw TvrError(kErrTypeMismatch, "", "The reply code is no number");
  const int32_t code = *parsed;
  current_.replyCode = code;
  if (!current_.IsConnectionAccepted && code != 100 && code <= 100000) {
    throw TvrError(kErrInvalidCall, "clsActionManager.ProcessReceivedData",
                   "A reply came before the greeting");
  }
  const int32_t step = currentStep();
  if ((code == 1201 && step == kRequestDeliverMessage) ||
      (code == 2050 && step == kRequestFileContent)) {
    return true;
  }
  const auto reaction = replyReactions().find(code);
  if (reaction != replyReactions().end() &&
      (reaction->second.reportsFailure || replyAnswersStep(code))) {
    reaction->second.react(*this);
  } else if (++current_.unexpectedReplies > 1 || step == kRequestOpenConnection ||
             step == kRequestFileContent) {
    current_.status = Failed;
  }
  if (current_.status == InProgress && currentStep() == kRequestEndOfPath) current_.status = Done;
  return false;
}

// The reaction to each reply code that answers a step (when it answers the
// current one) or reports a failure (at any step). Once a success is
// accepted, a failing local follow-up (an activity, a counter) is logged and
// does not change the outcome.
const std::unordered_map<int32_t, clsActionManager::ReplyReaction>& clsActionManager::replyReactions() {
  using Manager = clsActionManager;
  const auto next = [](Manager& m) { m.SwitchToNextActionInActionPath(); };
  const auto failed = [](Manager& m) { m.current_.status = Failed; };
  static const std::unordered_map<int32_t, ReplyReaction> kReactions = {
      {100,
       {[](Manager& m) {
          if (!m.answerBounded()) m.tmrClientConnectionTimeout.setEnabled(false);
          m.SwitchToNextActionInActionPath();
          m.current_.IsConnectionAccepted = true;
        },
        false}},
      {200, {next, false}},
      {400, {next, false}},
      {401, {next, false}},
      {1400, {next, false}},
      {2000, {next, false}},
      // The recipient accepts a stranger: his identity (step 400) goes first.
      {100300, {next, false}},
      // The recipient knows the sender: the identity step is passed over.
      {300,
       {[](Manager& m) {
          m.SwitchToNextActionInActionPath();
          m.SwitchToNextActionInActionPath();
        },
        false}},
      {1000,
       {[](Manager& m) {
          m.SwitchToNextActionInActionPath();
          followUp("modCOMExecuteAction.ExecuteResponse1000",
                   [&] { modCOMExecuteAction::ExecuteResponse1000(m.replyDocument_); });
        },
        false}},
      {1100,
       {[](Manager& m) {
          followUp("modCOMExecuteAction.ExecuteResponse1100",
                   [&] { modCOMExecuteAction::ExecuteResponse1100(m.replyDocument_); });
          m.SwitchToNextActionInActionPath();
        },
        false}},
      {1200, {[](Manager& m) { m.replyDelivered(); }, false}},
      {1300, {[](Manager& m) { m.replyIdentity(); }, false}},
      {1500,
       {[](Manager& m) {
          m.marksHeld_ |= !followUp("clsActionManager.markMessage", [&] {
            m.markMessage(m.current_.ActionType, m.current_.OUID, m.current_.RUID);
          });
          followUp("clsActionManager.ProcessReceivedData", [&] {
            addActivity(MessageCenterServices::kEvents, 30101, {m.GetRecipientName()},
                        MessageCenterServices::kSentMessage, m.current_.OUID);
          });
          m.SwitchToNextActionInActionPath();
        },
        false}},
      {2051,
       {[](Manager& m) {
          m.SwitchToNextActionInActionPath();
          followUp("clsActionManager.ProcessReceivedData", [&] {
            const std::string path = filePathOf(m.current_.V);
            addActivity(MessageCenterServices::kOutgoingFiles, 20001,
                        {modGenFunctionsFile::GetPathPart(path, 0), path, m.GetRecipientName()},
                        MessageCenterServices::kSentFile, path);
            modGlobalFunctions::IncrementUserCounter(m.current_.RUID, kUserFileCounter);
          });
        },
        false}},
      {100101, {[](Manager& m) { m.current_.status = ConnectionRefused; }, true}},
      {100200, {[](Manager& m) { m.current_.status = RecipientNotFound; }, true}},
      {100301,
       {[](Manager& m) {
          m.current_.status = Refused;
          tellOfRecipient(m, "clsActionManager.ProcessReceivedData", 20500);
        },
        true}},
      {101100,
       {[](Manager& m) {
          m.current_.status = Refused;
          if (m.current_.ActionType != kRequestUsersDirectory) return;
          tellSearch("");
          tellOfRecipient(m, "clsActionManager.ProcessReceivedData", 20520);
        },
        true}},
      {102051,
       {[](Manager& m) {
          m.current_.status = Failed;
          followUp("clsActionManager.ProcessReceivedData", [&] {
            const std::string path = filePathOf(m.current_.V);
            addActivity(MessageCenterServices::kEvents, 80555,
                        {modGenFunctionsFile::GetPathPart(path, 0), m.GetRecipientName()},
                        MessageCenterServices::kNoItem, "");
          });
        },
        true}},
      {100000, {failed, true}},
      {100001, {failed, true}},
      {100100, {failed, true}},
      {101200, {failed, true}},
      {101300, {failed, true}},
      {101400, {failed, true}},
      {101500, {failed, true}},
      {102000, {failed, true}},
  };
  return kReactions;
}

void clsActionManager::replyDelivered() {
  SwitchToNextActionInActionPath();
  marksHeld_ |= !followUp("clsActionManager.markMessage",
                          [&] { markMessage(current_.ActionType, current_.OUID, current_.RUID); });
  if (!current_.RA) return;
  followUp("clsActionManager.ProcessReceivedData", [&] {
    addActivity(MessageCenterServices::kOutgoingMessages, 20101, {GetRecipientName()},
                MessageCenterServices::kSentMessage, current_.OUID);
    modGlobalFunctions::IncrementUserCounter(current_.RUID, kUserMessageCounter);
  });
}

// An identity check keeps only the identity of the person it asked for; a
// status report's answer makes the reported action due again at once when
// it refreshed that person's row, and plans it again otherwise.
void clsActionManager::replyIdentity() {
  SwitchToNextActionInActionPath();
  const bool check = current_.ActionType == kRequestUserInformation;
  const int32_t result = modCOMExecuteAction::ExecuteResponse1300(
      replyDocument_, current_.SUID, check ? current_.RUID : current_.V);
  if (check) {
    if (result != modGlobalFunctions::kIdentityStored &&
        result != modGlobalFunctions::kIdentityUnchanged) {
      current_.status = Failed;
    }
    return;
  }
  const bool refreshed = result == modGlobalFunctions::kIdentityStored;
  setRowField(current_.ID, kActionSRFRI, refreshed ? "1" : "0");
  if (current_.OUID.empty()) return;
  if (refreshed) {
    makeDueNow(current_.OUID);
  } else {
    ScheduleRetry(current_.OUID, true);
  }
}

// How each status settles the current action.
const std::unordered_map<int32_t, clsActionManager::StatusSettlement>&
clsActionManager::statusSettlements() {
  using Manager = clsActionManager;
  const auto nothing = [](Manager&, Settlement&) {};
  const auto refused = [](Manager&, Settlement& s) { s.remove = s.close = true; };
  static const std::unordered_map<int32_t, StatusSettlement> kSettlements = {
      {NotTried,
       [](Manager&, Settlement& s) {
         reportFault("Case ResActionStatus.NotTried --> Not supposed to come here ever.");
         s.retry = true;
       }},
      {ConnectionRefused,
       [](Manager& m, Settlement& s) {
         const int32_t type = m.current_.ActionType;
         if (isOneOf(type, {1000, 1100, 50300})) tellSearchNotReached();
         if (isOneOf(type, {1200, 1300, 1500, 2000})) {
           tellOfRecipient(m, "clsActionManager.ManageActionStatus", 65001);
         }
         s.remove = s.close = true;
       }},
      {NotReachable,
       [](Manager& m, Settlement& s) {
         const int32_t type = m.current_.ActionType;
         if (isOneOf(type, {1000, 1100})) {
           s.remove = s.close = s.notifySearch = true;
         } else if (isOneOf(type, {1200, 1300, 1400, 1500, 2000})) {
           if (!m.ReportActionStatusToServer()) s.close = s.retry = true;
         } else {
           // The primary server's identity and search actions are not kept
           // waiting for a server that does not answer.
           s.remove = s.close = true;
           if (type == kRequestServerUserSearch) tellSearchNotReached();
         }
       }},
      {RecipientNotFound,
       [](Manager& m, Settlement& s) {
         if (isOneOf(m.current_.ActionType, {1000, 1100, 50300})) tellSearchNotReached();
         s.close = true;
         if (!m.ReportActionStatusToServer()) s.retry = true;
       }},
      {RetryPlanned, nothing},
      {ReportedToServer, nothing},
      {Failed,
       [](Manager& m, Settlement& s) {
         s.close = s.notifySearch = true;
         if (isOneOf(m.current_.ActionType, {1200, 1400, 1500, 2000}) && !m.current_.giveUp) {
           s.retry = true;
         } else {
           s.remove = true;
         }
       }},
      {Refused, refused},
      {Done,
       [](Manager& m, Settlement& s) {
         s.close = true;
         // Its reply wrote a message mark (delivered, recalled).
         s.settled = isOneOf(m.current_.ActionType, {1200, 1500});
         s.remove = !s.settled;
       }},
  };
  return kSettlements;
}

bool clsActionManager::ManageActionStatus() {
  tmrClientConnectionTimeout.setEnabled(false);
  stopFileSend();
  // Deleting starts as the give-up flag.
  Settlement decided;
  decided.remove = current_.giveUp;
  // A report that ends without an answer is deleted, which makes the
  // reported action due again (DeleteAction).
  if (current_.ActionType == kRequestServerStatusReport && current_.status != Done) {
    decided.remove = decided.close = true;
  } else if (current_.status == InProgress) {
    return false;
  } else if (const auto settle = statusSettlements().find(current_.status);
             settle != statusSettlements().end()) {
    settle->second(*this, decided);
  } else {
    reportFault("Invalid action status " + std::to_string(current_.status) + " 2634523wfdvw253");
    decided.remove = decided.close = true;
  }
  carryOut(decided);
  return decided.retry || decided.close || decided.remove;
}

void clsActionManager::carryOut(Settlement& decided) {
  const int32_t type = current_.ActionType;
  if (decided.notifySearch && isOneOf(type, {1000, 1100})) tellSearchNotReached();
  if (decided.remove) {
    if (isOneOf(current_.status, {Failed, NotReachable, RecipientNotFound})) tellGivenUp();
    DeleteAction(current_.ID, false);
    decided.close = true;
  } else {
    if (decided.retry) {
      if (ScheduleRetry("", false)) {
        current_.status = GivenUp;
        tellGivenUp();
        decided.close = true;
      } else {
        current_.status = RetryPlanned;
      }
    }
    // The queue list does not show identity checks: one given up would
    // stay for good.
    if (type == kRequestUserInformation && current_.status == GivenUp) {
      DeleteAction(current_.ID, false);
    } else if (decided.settled) {
      settle(current_.ID);
    } else if (current_.status != InProgress) {
      setRowField(current_.ID, kActionAS, std::to_string(current_.status));
    }
  }
  if (decided.close) CloseClientConnection(false);
  if (type == kRequestUserInformation) {
    IdentityChecks::CheckSettled(current_.RUID, current_.recipientAddress, current_.status);
  }
}

bool clsActionManager::ConnectToRecipient(const std::string& host, int port) {
  try {
    CloseClientConnection(true);
    clientReceive_.Clear();
    clientMessage_.Clear();
    InitConnectionState(clientState_);
    wsClient_.setRemoteHost(host);
    wsClient_.setRemotePort(port);
    wsClient_.setLocalPort(0);
    wsClient_.Connect();
    const int state = wsClient_.State();
    return state == platform::kSckClosed || state == platform::kSckClosing ||
           state == platform::kSckError;
  } catch (...) {
    logError("clsActionManager.ConnectToRecipient");
    return true;
  }
}

void clsActionManager::CloseClientConnection(bool closeOnly) {
  if (wsClient_.State() == platform::kSckConnected && !closeOnly) {
    if (!modWireFrames::SendFramedData(wsClient_, modWireFrames::kEndText, true, true,
                                       modWireFrames::kMessageFrames, true, true)) {
      return;
    }
  }
  if (wsClient_.State() > platform::kSckClosed) wsClient_.Close();
}

void clsActionManager::wsClient_Connect() {
  if (!answerBounded()) {
    tmrClientConnectionTimeout.setEnabled(false);
    tmrClientConnectionTimeout.setInterval(kConnectTimeoutMs);
    tmrClientConnectionTimeout.setEnabled(true);
  }
  current_.IsConnectionEstablished = true;
  InitConnectionState(clientState_);
  clientReceive_.Clear();
  clientMessage_.Clear();
  wsClient_.setTag("R");
}

void clsActionManager::wsClient_DataArrival() {
  try {
    if (current_.ID.empty()) {
      wsClient_.GetData();  // no conversation waits for these bytes
      return;
    }
    if (!clientReceive_.ReadFrom(wsClient_, platform::SocketControl::kAllData)) return;
    const std::string conversation = current_.ID;
    std::string body;
    for (;;) {
      const auto result = clientReceive_.Next(body);
      if (result == modWireFrames::FrameReader::Result::kNeedMore) return;
      if (result == modWireFrames::FrameReader::Result::kProtocolError ||
          !modWireFrames::ParseFrame(clientState_, body) || clientState_.Phase != kMessagePhase) {
        ProcessCurrentAction("", true);
        return;
      }
      std::string text;
      const auto joined = clientMessage_.Add(clientState_, std::move(body), text);
      if (joined == modWireFrames::MessageAssembler::Result::kTooLong) {
        ProcessCurrentAction("", true);
        return;
      }
      if (joined == modWireFrames::MessageAssembler::Result::kComplete) {
        handleEvent(&text, false);
        if (current_.ID != conversation) return;
      }
    }
  } catch (...) {
    logError("clsActionManager.wsClient_DataArrival");
    ProcessCurrentAction("", true);
  }
}

void clsActionManager::wsClient_Error() {
  wsClient_.setTag("E");
  ProcessCurrentAction("", true);
}

// The peer hung up in the middle of the conversation.
void clsActionManager::wsClient_Close() { ProcessCurrentAction("", true); }

void clsActionManager::wsClient_SendComplete() {
  if (wsClient_.Tag() == "COC") {
    wsClient_.Close();
  } else {
    wsClient_.setTag("R");
  }
}

// An identity check is asked of the address on file, which may be the very
// peer whose claim it checks: the connect timer bounds its whole
// conversation, so that such a peer holds the queue no longer than that.
bool clsActionManager::answerBounded() const {
  return current_.ActionType == kRequestUserInformation;
}

void clsActionManager::tmrClientConnectionTimeout_Timer() {
  tmrClientConnectionTimeout.setEnabled(false);
  if (answerBounded() || !(current_.IsConnectionAccepted && current_.IsConnectionEstablished)) {
    ProcessCurrentAction("", true);
  }
}
