// The conversation of the current action: its path, its requests, the
// reactions to the peer's replies, and the settling of its outcome.
#include <set>

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

// Replies that only report a failure: they settle the action whatever the step.
const std::set<int32_t> kFailureReplies = {100000, 100001, 100100, 100101, 100200, 100301,
                                           101100, 101200, 101300, 101400, 101500, 102000,
                                           102051};

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
  if (kFailureReplies.count(code) != 0 || replyAnswersStep(code)) {
    applyReply(code);
  } else if (++current_.unexpectedReplies > 1 || step == kRequestOpenConnection ||
             step == kRequestFileContent) {
    current_.status = Failed;
  }
  if (current_.status == InProgress && currentStep() == kRequestEndOfPath) current_.status = Done;
  return false;
}

// The reaction to a reply that answers the current step, or reports a
// failure. Once a success is accepted, a failing local follow-up (an
// activity, a counter) is logged and does not change the outcome.
void clsActionManager::applyReply(int32_t code) {
  const int32_t type = current_.ActionType;
  // True when the step ran without an error.
  auto followUp = [](const char* where, const std::function<void()>& step) {
    try {
      step();
      return true;
    } catch (...) {
      logError(where);
      return false;
    }
  };
  switch (code) {
    case 100:
      if (!answerBounded()) tmrClientConnectionTimeout.setEnabled(false);
      SwitchToNextActionInActionPath();
      current_.IsConnectionAccepted = true;
      break;
    case 200:
    case 400:
    case 401:
    case 1400:
    case 2000:
      SwitchToNextActionInActionPath();
      break;
    case 300:
      SwitchToNextActionInActionPath();
      SwitchToNextActionInActionPath();
      break;
    case 100300:
      SwitchToNextActionInActionPath();
      break;
    case 1000:
      SwitchToNextActionInActionPath();
      followUp("modCOMExecuteAction.ExecuteResponse1000",
               [&] { modCOMExecuteAction::ExecuteResponse1000(replyDocument_); });
      break;
    case 1100:
      followUp("modCOMExecuteAction.ExecuteResponse1100",
               [&] { modCOMExecuteAction::ExecuteResponse1100(replyDocument_); });
      SwitchToNextActionInActionPath();
      break;
    case 1200:
      SwitchToNextActionInActionPath();
      marksHeld_ |= !followUp("clsActionManager.markMessage",
                              [&] { markMessage(type, current_.OUID, current_.RUID); });
      if (current_.RA) {
        followUp("clsActionManager.ProcessReceivedData", [&] {
          addActivity(MessageCenterServices::kOutgoingMessages, 20101, {GetRecipientName()},
                      MessageCenterServices::kSentMessage, current_.OUID);
          modGlobalFunctions::IncrementUserCounter(current_.RUID, kUserMessageCounter);
        });
      }
      break;
    case 1300: {
      SwitchToNextActionInActionPath();
      const std::string expected = type == kRequestUserInformation ? current_.RUID : current_.V;
      const int32_t result = modCOMExecuteAction::ExecuteResponse1300(
          replyDocument_, current_.SUID, expected);
      if (type == kRequestUserInformation) {
        if (result != modGlobalFunctions::kIdentityStored &&
            result != modGlobalFunctions::kIdentityUnchanged) {
          current_.status = Failed;
        }
      } else {
        const bool refreshed = result == modGlobalFunctions::kIdentityStored;
        setRowField(current_.ID, kActionSRFRI, refreshed ? "1" : "0");
        if (!current_.OUID.empty()) {
          if (refreshed) {
            makeDueNow(current_.OUID);
          } else {
            ScheduleRetry(current_.OUID, true);
          }
        }
      }
      break;
    }
    case 1500:
      marksHeld_ |= !followUp("clsActionManager.markMessage",
                              [&] { markMessage(type, current_.OUID, current_.RUID); });
      followUp("clsActionManager.ProcessReceivedData", [&] {
        addActivity(MessageCenterServices::kEvents, 30101, {GetRecipientName()},
                    MessageCenterServices::kSentMessage, current_.OUID);
      });
      SwitchToNextActionInActionPath();
      break;
    case 2051:
      SwitchToNextActionInActionPath();
      followUp("clsActionManager.ProcessReceivedData", [&] {
        const std::string path = filePathOf(current_.V);
        addActivity(MessageCenterServices::kOutgoingFiles, 20001,
                    {modGenFunctionsFile::GetPathPart(path, 0), path,
                     GetRecipientName()},
                    MessageCenterServices::kSentFile, path);
        modGlobalFunctions::IncrementUserCounter(current_.RUID, kUserFileCounter);
      });
      break;
    case 100101:
      current_.status = ConnectionRefused;
      break;
    case 100200:
      current_.status = RecipientNotFound;
      break;
    case 100301:
      current_.status = Refused;
      followUp("clsActionManager.ProcessReceivedData", [&] {
        addActivity(MessageCenterServices::kEvents, 20500, {GetRecipientName()},
                    MessageCenterServices::kNoItem, "");
      });
      break;
    case 101100:
      current_.status = Refused;
      if (type == kRequestUsersDirectory) {
        tellSearch("");
        followUp("clsActionManager.ProcessReceivedData", [&] {
          addActivity(MessageCenterServices::kEvents, 20520, {GetRecipientName()},
                      MessageCenterServices::kNoItem, "");
        });
      }
      break;
    case 102051:
      current_.status = Failed;
      followUp("clsActionManager.ProcessReceivedData", [&] {
        const std::string path = filePathOf(current_.V);
        addActivity(MessageCenterServices::kEvents, 80555,
                    {modGenFunctionsFile::GetPathPart(path, 0),
                     GetRecipientName()},
                    MessageCenterServices::kNoItem, "");
      });
      break;
    default:
      current_.status = Failed;
      break;
  }
}

bool clsActionManager::ManageActionStatus() {
  tmrClientConnectionTimeout.setEnabled(false);
  stopFileSend();
  const int32_t type = current_.ActionType;
  bool remove = current_.giveUp;
  bool close = false;
  bool retry = false;
  bool notifySearch = false;
  bool settled = false;
  // A report that ends without an answer is deleted, which makes the
  // reported action due again (DeleteAction).
  if (type == kRequestServerStatusReport && current_.status != Done) {
    remove = close = true;
  } else {
    switch (current_.status) {
      case NotTried:
        reportFault("Case ResActionStatus.NotTried --> Not supposed to come here ever.");
        retry = true;
        break;
      case InProgress:
        return false;
      case ConnectionRefused:
        if (isOneOf(type, {1000, 1100, 50300})) tellSearchNotReached();
        if (isOneOf(type, {1200, 1300, 1500, 2000})) {
          try {
            addActivity(MessageCenterServices::kEvents, 65001, {GetRecipientName()},
                        MessageCenterServices::kNoItem, "");
          } catch (...) {
            logError("clsActionManager.ManageActionStatus");
          }
        }
        remove = close = true;
        break;
      case NotReachable:
        if (isOneOf(type, {1000, 1100})) {
          remove = close = notifySearch = true;
        } else if (isOneOf(type, {1200, 1300, 1400, 1500, 2000})) {
          if (!ReportActionStatusToServer()) close = retry = true;
        } else {
          // The primary server's identity and search actions are not kept
          // waiting for a server that does not answer.
          remove = close = true;
          if (type == kRequestServerUserSearch) tellSearchNotReached();
        }
        break;
      case RecipientNotFound:
        if (isOneOf(type, {1000, 1100, 50300})) tellSearchNotReached();
        close = true;
        if (!ReportActionStatusToServer()) retry = true;
        break;
      case RetryPlanned:
      case ReportedToServer:
        break;
      case Failed:
        close = notifySearch = true;
        if (isOneOf(type, {1200, 1400, 1500, 2000})) {
          if (current_.giveUp) {
            remove = true;
          } else {
            retry = true;
          }
        } else {
          remove = true;
        }
        break;
      case Refused:
        remove = close = true;
        break;
      case Done:
        close = true;
        // Its reply wrote a message mark (delivered, recalled).
        settled = isOneOf(type, {1200, 1500});
        remove = !settled;
        break;
      default:
        reportFault("Invalid action status " + std::to_string(current_.status) +
                    " 2634523wfdvw253");
        remove = close = true;
        break;
    }
  }
  if (notifySearch && isOneOf(type, {1000, 1100})) tellSearchNotReached();
  if (remove) {
    if (isOneOf(current_.status, {Failed, NotReachable, RecipientNotFound})) tellGivenUp();
    DeleteAction(current_.ID, false);
    close = true;
  } else {
    if (retry) {
      if (ScheduleRetry("", false)) {
        current_.status = GivenUp;
        tellGivenUp();
        close = true;
      } else {
        current_.status = RetryPlanned;
      }
    }
    // The queue list does not show identity checks: one given up would
    // stay for good.
    if (type == kRequestUserInformation && current_.status == GivenUp) {
      DeleteAction(current_.ID, false);
    } else if (settled) {
      settle(current_.ID);
    } else if (current_.status != InProgress) {
      setRowField(current_.ID, kActionAS, std::to_string(current_.status));
    }
  }
  if (close) CloseClientConnection(false);
  if (type == kRequestUserInformation) {
    IdentityChecks::CheckSettled(current_.RUID, current_.recipientAddress, current_.status);
  }
  return retry || close || remove;
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
