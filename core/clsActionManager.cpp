// The store and the schedule of the action queue; the conversation is in
// clsActionManagerExecution.cpp.
#include "clsActionManager.h"

#include <QTreeWidget>
#include <set>

#include "Clock.h"
#include "DataJournal.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "TurnCommit.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modCOMExecuteAction.h"
#include "modCOMFunctions.h"
#include "modFileTransfer.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr const char* kStampFormat = "yyyy-MM-dd hh:mm:ss";
constexpr int kRunningActionMessage = 80200;
constexpr int kGivenUpMessage = 80210;
constexpr int kUnsendableFileMessage = 20254;
constexpr int32_t kUserIPField = 7;
constexpr int32_t kUserFullName = 50001;
constexpr int32_t kActionTypeName = 50000;
// A mark that deliveries stored by earlier builds may carry: ignored, never sent.
constexpr const char* kMessageWrittenAttribute = "MW";
// Marks a delivery from its send until the send's turn is committed; never sent.
constexpr const char* kSendUnderWayAttribute = "SUW";

std::string stamp(const QDateTime& when) { return when.toString(kStampFormat).toStdString(); }

// The types the queue list shows.
bool listedType(const std::string& type) {
  static const std::set<std::string> kListed = {"1000", "1100", "1200", "1500",
                                                "2000", "50200", "50300"};
  return kListed.count(type) != 0;
}

// A delivery that its recipient already has (the mark of an earlier try
// reached the disk, its settled row did not), or whose message was recalled
// from that recipient before it could go, is not sent any more.
bool recipientDone(const std::string& messageUID, const std::string& recipientUID) {
  constexpr int32_t kDelivered = 50;
  if (messageUID.empty() || recipientUID.empty()) return false;
  PoolLoan messages(modGlobalVariables::MessSent);
  messages->PC_SelectSingleNode(0, messageUID);
  if (!messages->IsRowSelected()) return false;
  messages->SC_SelectSingleNode(0, recipientUID);
  return messages->IsSubRowSelected() &&
         modGenFunctions::StrToLong(messages->GetFieldFromSubRow(1)) >= kDelivered;
}

// The statuses of an action whose failure report is still pending.
bool waitsForReport(const std::string& status) {
  return status == std::to_string(NotReachable) || status == std::to_string(RecipientNotFound) ||
         status == std::to_string(ReportedToServer);
}

std::unique_ptr<clsActionManager>& instance() {
  static std::unique_ptr<clsActionManager> manager;
  return manager;
}

}  // namespace

clsActionManager& ActionManager() {
  if (!instance()) instance() = std::make_unique<clsActionManager>();
  return *instance();
}

bool ActionManagerExists() { return static_cast<bool>(instance()); }

void ReleaseActionManager(bool keepStore) {
  if (instance() && !keepStore) instance()->DiscardStore();
  instance().reset();
}

clsActionManager::clsActionManager() : replyDocument_(clsGenXMLDocument::create()) {
  using modGlobalFunctions::CreateGenObject;
  working_ = CreateGenObject(modGlobalVariables::Action, "", true, true);
  second_ = CreateGenObject(modGlobalVariables::Action, "", true, false);
  if (!working_->PC_IsInitialized()) working_->PC_Init(false);
  if (!second_->PC_IsInitialized()) second_->PC_Init(false);
  lastActivity_ = platform::now();
  stepChangedAt_ = lastActivity_;
  recoverInterruptedActions();

  tmrWinsockActionManager.setInterval(500);
  tmrActionManagerFailOver.setInterval(60000);
  tmrClientConnectionTimeout.setInterval(kConnectTimeoutMs);
  connect(&tmrWinsockActionManager, &platform::TimerControl::tick, this,
          &clsActionManager::tmrWinsockActionManager_Timer);
  connect(&tmrActionManagerFailOver, &platform::TimerControl::tick, this,
          &clsActionManager::tmrActionManagerFailOver_Timer);
  connect(&tmrClientConnectionTimeout, &platform::TimerControl::tick, this,
          &clsActionManager::tmrClientConnectionTimeout_Timer);
  connect(&wsClient_, &platform::SocketControl::connected, this, [this] { wsClient_Connect(); });
  connect(&wsClient_, &platform::SocketControl::dataArrival, this,
          [this] { wsClient_DataArrival(); });
  connect(&wsClient_, &platform::SocketControl::error, this, [this] { wsClient_Error(); });
  connect(&wsClient_, &platform::SocketControl::closed, this, [this] { wsClient_Close(); });
  connect(&wsClient_, &platform::SocketControl::sendComplete, this,
          [this] { wsClient_SendComplete(); });
}

clsActionManager::~clsActionManager() {
  tmrWinsockActionManager.setEnabled(false);
  tmrActionManagerFailOver.setEnabled(false);
  tmrClientConnectionTimeout.setEnabled(false);
  RemoveSettled();
  try {
    SaveStore();
  } catch (...) {
    logError("clsActionManager.Release");
  }
  wsClient_.Close();
}

// A row left in progress belongs to a conversation that ended with the
// program: it is due again, and its try counts. A settled row's mark may
// not have reached the disk: it is written again before the row goes, and
// when that fails the action is due again instead. A send cut short before
// its deliveries were stored is taken back.
void clsActionManager::recoverInterruptedActions() {
  const XMLDocumentRef& document = working_->XMLDocLinked();
  if (!document) return;
  std::vector<std::string> interrupted;
  for (const pugi::xml_node row : document->rootElement().children("A")) {
    const std::string_view status = row.attribute("AS").value();
    const std::string uid = row.attribute("UID").value();
    if (status == "20") interrupted.push_back(uid);
    if (status != std::to_string(Done)) continue;
    try {
      markMessage(static_cast<int32_t>(row.attribute("AT").as_int()), row.attribute("OUID").value(),
                  row.attribute("RUID").value());
    } catch (...) {
      logError("clsActionManager.recoverInterruptedActions");
      interrupted.push_back(uid);
    }
  }
  for (const std::string& uid : interrupted) makeDueNow(uid);
  RemoveSettled();
  settleDeliveriesUnderWay();
  std::set<std::string> queued;
  for (const pugi::xml_node row : document->rootElement().children("A")) {
    if (row.attribute("AT").as_int() == modGlobalVariables::kRequestDeliverMessage) {
      queued.insert(row.attribute("OUID").value());
    }
  }
  try {
    modCOMFunctions::SettleInterruptedSends(queued);
  } catch (...) {
    logError("clsActionManager.recoverInterruptedActions");
  }
}

// A delivery still marked as part of a send under way reached the disk in
// the turn of its send, its sent row perhaps not (the machine stopped before
// the turn's sync). Without the row the send was cut short and the delivery
// goes; with it, or as an automatic reply (which keeps none), it loses the
// mark.
void clsActionManager::settleDeliveriesUnderWay() {
  std::vector<std::string> cutShort;
  std::vector<pugi::xml_node> whole;
  for (const pugi::xml_node row : working_->XMLDocLinked()->rootElement().children("A")) {
    if (!row.attribute(kSendUnderWayAttribute)) continue;
    pugi::xml_document message;
    const bool automaticReply = message.load_string(row.attribute("V").value()) &&
                                std::string_view(message.document_element().attribute("ST").value()) == "-1";
    if (automaticReply || PoolLoan(modGlobalVariables::MessSent)
                              ->XMLDocLinked()
                              ->firstRowWhere("M", "UID", row.attribute("OUID").value())) {
      whole.push_back(row);
    } else {
      cutShort.emplace_back(row.attribute("UID").value());
    }
  }
  if (whole.empty() && cutShort.empty()) return;
  for (const pugi::xml_node row : whole) clsGenXMLDocument::removeAttribute(row, kSendUnderWayAttribute);
  for (const std::string& uid : cutShort) second_->Delete(false, kActionUID, uid, false);
  storeChanged();
}

void clsActionManager::MarkSendUnderWay(const std::string& messageUID, bool underWay) {
  const XMLDocumentRef& document = second_->XMLDocLinked();
  for (const pugi::xml_node row : document->rowsWhere("A", "OUID", messageUID)) {
    if (row.attribute("AT").as_int() != modGlobalVariables::kRequestDeliverMessage) continue;
    if (underWay) {
      clsGenXMLDocument::setAttribute(row, kSendUnderWayAttribute, "1");
    } else {
      clsGenXMLDocument::removeAttribute(row, kSendUnderWayAttribute);
    }
  }
  if (!underWay) storeWritten();
}

void clsActionManager::markMessage(int32_t type, const std::string& messageUID,
                                   const std::string& recipientUID) {
  if (type == modGlobalVariables::kRequestDeliverMessage) {
    modCOMExecuteAction::ExecuteResponse1200(messageUID, recipientUID);
  } else if (type == modGlobalVariables::kRequestRecallMessage) {
    modCOMExecuteAction::ExecuteResponse1500(messageUID, recipientUID);
  }
}

// The marks of the settled rows go to disk first, so that a row never goes
// before its mark; the removal itself need not be synced (a settled row
// found at the next start is settled again).
void clsActionManager::RemoveSettled() {
  settledSinceRemoval_ = 0;
  if (discarded_) return;
  try {
    const XMLDocumentRef& document = second_->XMLDocLinked();
    if (!document) return;
    std::vector<std::string> settled;
    for (const pugi::xml_node row : document->rootElement().children("A")) {
      if (std::string_view(row.attribute("AS").value()) == std::to_string(Done)) {
        settled.emplace_back(row.attribute("UID").value());
      }
    }
    if (settled.empty()) return;
    if (marksHeld_) writeHeldMarks();
    DataJournal::flushWritten();
    for (const std::string& uid : settled) second_->Delete(false, kActionUID, uid, false);
    storeWritten();
  } catch (...) {
    logError("clsActionManager.RemoveSettled");
  }
}

void clsActionManager::writeHeldMarks() {
  for (const int32_t marked : {modGlobalVariables::MessSent, modGlobalVariables::MessHist}) {
    PoolLoan messages(marked);
    messages->WriteXMLDoc();
  }
  marksHeld_ = false;
}

std::string clsActionManager::requestXML(pugi::xml_node row) {
  if (!row.attribute(kMessageWrittenAttribute) && !row.attribute(kSendUnderWayAttribute)) {
    return modGenFunctionsXML::XMLToString(row);
  }
  pugi::xml_document copy;
  pugi::xml_node request = copy.append_copy(row);
  request.remove_attribute(kMessageWrittenAttribute);
  request.remove_attribute(kSendUnderWayAttribute);
  return modGenFunctionsXML::XMLToString(request);
}

void clsActionManager::SaveStore() {
  if (discarded_) return;
  try {
    working_->SaveXMLDoc();
    unsaved_ = syncDue_ = false;
  } catch (...) {
    raiseAgain("clsActionManager.SaveStore");
  }
}

void clsActionManager::WriteStore() {
  if (discarded_) return;
  try {
    working_->WriteXMLDoc();
    unsaved_ = syncDue_ = false;
  } catch (...) {
    raiseAgain("clsActionManager.WriteStore");
  }
}

// Every change reaches the file before the event loop turns again, synced
// unless every change of the turn was only written (storeWritten).
void clsActionManager::storeChanged() {
  syncDue_ = true;
  storeWritten();
}

void clsActionManager::storeWritten() {
  unsaved_ = true;
  if (saveQueued_) return;
  saveQueued_ = true;
  platform::TimerControl::NextTurn(this, [this] {
    saveQueued_ = false;
    // A caller may have written the store since.
    if (!unsaved_) return;
    try {
      if (syncDue_) {
        SaveStore();
      } else if (!discarded_) {
        working_->WriteXMLDoc();
        unsaved_ = false;
      }
    } catch (...) {
      logError("clsActionManager.storeWritten");
    }
  });
}

void clsActionManager::settle(const std::string& uid) {
  second_->SetRowFieldByKey(kActionUID, uid, kActionAS, std::to_string(Done));
  storeWritten();
  ++settledSinceRemoval_;
}

std::string clsActionManager::rowField(const std::string& uid, int32_t field) {
  const XMLDocumentRef& document = second_->XMLDocLinked();
  if (!document || uid.empty()) return {};
  const pugi::xml_node row = document->firstRowWhere("A", "UID", uid);
  return row.attribute(modGenGlobals::FieldNameTable[modGlobalVariables::Action][field].c_str())
      .value();
}

void clsActionManager::setRowField(const std::string& uid, int32_t field, const std::string& value) {
  second_->SetRowFieldByKey(kActionUID, uid, field, value);
  storeChanged();
}

void clsActionManager::makeDueNow(const std::string& uid) {
  setRowField(uid, kActionNCTS, "");
  setRowField(uid, kActionAS, std::to_string(RetryPlanned));
}

bool clsActionManager::AddAction(int32_t ActionType, const std::string& OUID,
                                 const std::string& RUID, const std::string& V, bool RA,
                                 const std::string& RIU, bool startNow, bool allowRetry,
                                 bool reportToServer) {
  try {
    if (ActionType == modGlobalVariables::kRequestOfferFiles && !modFileTransfer::EntryFile(V)) {
      tellUnsendableFile(V, RUID);
      return false;
    }
    second_->CreateNewRow(true, kActionUID);
    second_->SetField(kActionAT, ActionType);
    second_->SetField(kActionSUID, modGlobalVariables::CurrentLocalUserUID);
    second_->SetField(kActionRUID, RUID);
    second_->SetField(kActionOUID, OUID);
    second_->SetField(kActionV, V);
    second_->SetField(kActionTS, stamp(platform::now()));
    second_->SetField(kActionAZ, "0");
    second_->SetField(kActionTC, allowRetry ? "1" : "0");
    second_->SetField(kActionRA, RA ? "1" : "0");
    second_->SetField(kActionAS, std::to_string(NotTried));
    second_->SetField(kActionLTMC, reportToServer ? "1" : "0");
    second_->SetField(kActionRIU, RIU);
    second_->AddCurrentRow();
    second_->ClearCurrent();
    storeChanged();
    if (startNow) SetActionTimer(1, true);
    return true;
  } catch (...) {
    raiseAgain("clsActionManager.AddAction");
  }
}

void clsActionManager::StartActionManager() {
  SetActionTimer(500, true);
  tmrActionManagerFailOver.setEnabled(true);
}

void clsActionManager::SetActionTimer(int interval, bool force) {
  if (tmrWinsockActionManager.enabled() && !force) return;
  tmrWinsockActionManager.setEnabled(false);
  tmrWinsockActionManager.setInterval(interval);
  tmrWinsockActionManager.setEnabled(true);
}

void clsActionManager::tmrWinsockActionManager_Timer() {
  tmrWinsockActionManager.setEnabled(false);
  ManageActionQueue();
}

void clsActionManager::tmrActionManagerFailOver_Timer() { CheckFailOver(); }

void clsActionManager::ManageActionQueue() {
  try {
    if (busy_) return;
    // Sends written in this turn reach the disk before any peer hears of
    // them (marks written alone wait for their own batch).
    if (TurnCommit::pending()) TurnCommit::now();
    busy_ = GetNextAction();
    if (busy_) ProcessCurrentAction("", false);
    TouchActivityTime();
  } catch (...) {
    logError("clsActionManager.ManageActionQueue");
    busy_ = false;
    ResetCurrentAction();
    SetActionTimer(5000, true);
  }
}

void clsActionManager::collectDueActions() {
  const XMLDocumentRef& document = second_->XMLDocLinked();
  if (!document) return;
  const QDateTime now = platform::now();
  std::vector<std::string> reachedTime;
  for (const pugi::xml_node row : document->rootElement().children("A")) {
    const std::string_view status = row.attribute("AS").value();
    const std::string uid = row.attribute("UID").value();
    if (status == "10") {
      dueList_.push_back(uid);
    } else if (status == "50") {
      const std::string next = row.attribute("NCTS").value();
      const QDateTime at = QDateTime::fromString(QString::fromStdString(next), kStampFormat);
      if (next.empty()) {
        dueList_.push_back(uid);
      } else if (!at.isValid() || at.secsTo(now) >= 0) {
        dueList_.push_back(uid);
        reachedTime.push_back(uid);
      }
    }
  }
  for (const std::string& uid : reachedTime) setRowField(uid, kActionNCTS, "");
}

// One entry of the due list per call. With one ping at most per tick, a
// queue of unreachable recipients never holds the window for long.
bool clsActionManager::GetNextAction() {
  if (settledSinceRemoval_ >= kSettledBatch) RemoveSettled();
  for (;;) {
    ResetCurrentAction();
    if (dueList_.empty()) collectDueActions();
    if (dueList_.empty()) break;
    const std::string uid = dueList_.front();
    dueList_.pop_front();
    bool pinged = false;
    try {
      if (takeUp(uid)) {
        LoadCurrentAction();
        return true;
      }
      pinged = !current_.recipientAddress.empty();
    } catch (...) {
      logError("clsActionManager.GetNextAction");
      setRowField(uid, kActionAS, std::to_string(GivenUp));
    }
    ResetCurrentAction();
    if (pinged) {
      SetActionTimer(1, true);
      busy_ = false;
      return false;
    }
  }
  if (settledSinceRemoval_ > 0) RemoveSettled();
  SetActionTimer(5000, false);
  busy_ = false;
  return false;
}

// Takes the action up when it is still due and its recipient answers the
// ping. A row that cannot be read, or whose type has no path, is given up.
bool clsActionManager::takeUp(const std::string& uid) {
  const std::string status = rowField(uid, kActionAS);
  if (status.empty()) return false;
  const std::string next = rowField(uid, kActionNCTS);
  const bool due = status == "10" || (status == "50" && next.empty());
  if (!due) return false;
  const auto type = modGenFunctions::ParseWholeNumber(rowField(uid, kActionAT));
  const auto tries = modGenFunctions::ParseWholeNumber(rowField(uid, kActionAZ).empty() ? "0" : rowField(uid, kActionAZ));
  if (!type || !tries || modGlobalVariables::ActionPath.count(*type) == 0 || *tries >= INT32_MAX) {
    setRowField(uid, kActionAS, std::to_string(GivenUp));
    return false;
  }
  const std::string value = rowField(uid, kActionV);
  if (*type == modGlobalVariables::kRequestOfferFiles && !modFileTransfer::EntryFile(value)) {
    setRowField(uid, kActionAS, std::to_string(GivenUp));
    tellUnsendableFile(value, rowField(uid, kActionRUID));
    return false;
  }
  if (*type == modGlobalVariables::kRequestDeliverMessage &&
      recipientDone(rowField(uid, kActionOUID), rowField(uid, kActionRUID))) {
    DeleteAction(uid, false);
    return false;
  }
  current_.ID = uid;
  current_.RUID = rowField(uid, kActionRUID);
  current_.OUID = rowField(uid, kActionOUID);
  current_.V = value;
  current_.ActionType = *type;
  current_.tryCount = *tries + 1;
  // Saved with the conversation's outcome (or its failure to start), not
  // on its own: a try cut short by a crash leaves its row due again anyway.
  second_->SetRowFieldByKey(kActionUID, uid, kActionAZ, std::to_string(current_.tryCount));
  current_.recipientAddress = rowField(uid, kActionRIU);
  if (current_.recipientAddress.empty() && !current_.RUID.empty()) {
    current_.recipientAddress = modGlobalFunctions::GetObjectFieldValue(
        modGlobalVariables::User, kActionUID, current_.RUID, kUserIPField, false);
  }
  if (current_.recipientAddress.empty()) {
    current_.status = Failed;
    current_.giveUp = !recipientLostWithUsersFile(uid);
    ManageActionStatus();
    return false;
  }
  clsGenAPI api;
  if (api.Ping(current_.recipientAddress, "", kPingTimeoutMs) != kPingAnswered) {
    current_.status = NotReachable;
    ManageActionStatus();
    return false;
  }
  return true;
}

// An action is queued for a person of the users directory, so a recipient
// without a row whose action is older than the last time the directory was
// set aside as damaged went with that file: he comes back when added again
// or heard from, and his action waits for that. Any other missing recipient
// was removed by the person.
bool clsActionManager::recipientLostWithUsersFile(const std::string& uid) {
  const QDateTime setAside = modGlobalFunctions::LastKeptAside(
      modGlobalVariables::User, modGlobalVariables::CurrentLocalUserUID);
  const QDateTime queued =
      QDateTime::fromString(QString::fromStdString(rowField(uid, kActionTS)), kStampFormat);
  return setAside.isValid() && (!queued.isValid() || queued <= setAside);
}

void clsActionManager::ResetCurrentAction() {
  const std::array<int32_t, 8> steps = current_.steps;
  current_ = CurrentAction{};
  current_.steps = steps;
}

bool clsActionManager::ScheduleRetry(const std::string& uid, bool retryNow) {
  try {
    const std::string target = uid.empty() ? current_.ID : uid;
    if (target.empty() || rowField(target, kActionUID) != target) return false;
    const QDateTime now = platform::now();
    if (retryNow) {
      if (busy_ && target == current_.ID && !uid.empty()) return false;
      // A done action waits only for its mark to reach the disk.
      if (rowField(target, kActionAS) == std::to_string(Done)) return false;
      setRowField(target, kActionNCTS, stamp(now));
      setRowField(target, kActionAS, std::to_string(RetryPlanned));
      if (!busy_) SetActionTimer(1, true);
      return false;
    }
    if (rowField(target, kActionTC) != "1") {
      current_.giveUp = true;
      current_.status = NoRetry;
      return true;
    }
    const int32_t tries = current_.tryCount;
    setRowField(target, tries == 1 ? kActionFCTS : kActionLCTS, stamp(now));
    QDateTime next;
    if (tries >= 0 && tries <= 10) {
      next = now.addSecs(60);
    } else if (tries >= 11 && tries <= 20) {
      next = now.addSecs(5 * 60);
    } else if (tries >= 21 && tries <= 30) {
      next = now.addSecs(60 * 60);
    } else if (tries == 31) {
      next = now.addDays(1);
    } else {
      setRowField(target, kActionAS, std::to_string(GivenUp));
      return true;
    }
    setRowField(target, kActionNCTS, stamp(next));
    setRowField(target, kActionAS, std::to_string(RetryPlanned));
    return false;
  } catch (...) {
    raiseAgain("clsActionManager.ScheduleRetry");
  }
}

bool clsActionManager::DeleteAction(const std::string& uid, bool protectCurrent) {
  try {
    if (protectCurrent && !current_.ID.empty() && uid == current_.ID) {
      modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(kRunningActionMessage),
          platform::kMbInformation, modGenFunctions::kAppTitle);
      return false;
    }
    const std::string reported = rowField(uid, kActionOUID);
    const bool isReport =
        rowField(uid, kActionAT) == std::to_string(modGlobalVariables::kRequestServerStatusReport);
    second_->Delete(false, kActionUID, uid, false);
    storeChanged();
    if (isReport && waitsForReport(rowField(reported, kActionAS))) makeDueNow(reported);
    return true;
  } catch (...) {
    raiseAgain("clsActionManager.DeleteAction");
  }
}

bool clsActionManager::ReportActionStatusToServer() {
  const std::string& server = modLocalUserFunctions::LocalUserOptions.PrimaryServerIP;
  if (server.empty()) return false;
  if (rowField(current_.ID, kActionLTMC) != "1" || rowField(current_.ID, kActionASTBR) == "1") {
    return false;
  }
  setRowField(current_.ID, kActionAS, std::to_string(ReportedToServer));
  setRowField(current_.ID, kActionASTBR, "1");
  // A report is never reported in its turn.
  AddAction(modGlobalVariables::kRequestServerStatusReport, current_.ID, "", current_.RUID, false,
            server, true, false, false);
  return true;
}

void clsActionManager::CheckFailOver() {
  try {
    const QDateTime now = platform::now();
    const bool silent = lastActivity_.secsTo(now) > kSilenceLimitSeconds;
    const bool stuck = busy_ && stepChangedAt_.secsTo(now) > kStepLimitSeconds;
    if (!silent && !stuck) return;
    if (!current_.ID.empty()) {
      SetConnectionTimeoutError();
      ManageActionStatus();
      ResetCurrentAction();
    }
    busy_ = false;
    SetActionTimer(1, true);
  } catch (...) {
    logError("clsActionManager.CheckFailOver");
    busy_ = false;
    ResetCurrentAction();
    SetActionTimer(1, true);
  }
}

void clsActionManager::FillActionQueueList(QTreeWidget& list,
                                           const std::vector<std::string>& changedUIDs,
                                           bool fullReload) {
  try {
    const XMLDocumentRef& document = second_->XMLDocLinked();
    const bool empty = !document || !document->rootElement().child("A");
    if (fullReload || empty) list.clear();
    if (empty || (!fullReload && changedUIDs.empty())) return;
    std::vector<pugi::xml_node> rows;
    if (fullReload) {
      for (const pugi::xml_node row : document->rootElement().children("A")) rows.push_back(row);
    } else {
      for (const std::string& uid : changedUIDs) {
        const pugi::xml_node row = document->firstRowWhere("A", "UID", uid);
        if (row) rows.push_back(row);
      }
    }
    const QTreeWidgetItem* header = list.headerItem();
    for (const pugi::xml_node row : rows) {
      if (!listedType(row.attribute("AT").value())) continue;
      const std::string key = row.attribute("UID").value();
      QTreeWidgetItem* item = modGenFunctionsControl::ListViewFindItem(&list, key);
      const bool isNew = item == nullptr;
      if (isNew) {
        item = new QTreeWidgetItem(&list);
        item->setData(0, Qt::UserRole, QString::fromStdString(key));
      }
      for (int column = 0; column < list.columnCount(); ++column) {
        const int32_t tag = header->data(column, Qt::UserRole).toInt();
        if (!isNew && (tag & kRefreshColumnFlag) == 0) continue;
        const std::string value = modGlobalFunctions::GetFieldValue(
            modGlobalVariables::Action, row, tag & kFieldMask, false);
        item->setText(column, QString::fromStdString(value));
      }
    }
  } catch (...) {
    endError("clsActionManager.FillActionQueueList");
  }
}

std::string clsActionManager::GetRecipientName() {
  return modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kActionUID,
                                                 current_.RUID, kUserFullName, true);
}

void clsActionManager::TouchActivityTime() { lastActivity_ = platform::now(); }

void clsActionManager::SetConnectionTimeoutError() {
  current_.status = Failed;
  current_.replyCode = 100100;
}

void clsActionManager::SwitchToNextActionInActionPath() {
  ++current_.stepIndex;
  current_.unexpectedReplies = 0;
  stepChangedAt_ = platform::now();
}

// "||" separates the columns of an activity's text, so the entry shows it as "| |".
void clsActionManager::tellUnsendableFile(const std::string& entry, const std::string& recipientUID) {
  try {
    std::string shown;
    for (const std::string& part : modGenFunctionsString::splitText(entry, "||")) {
      shown += (shown.empty() ? "" : "| |") + part;
    }
    const std::string recipient = modGlobalFunctions::GetObjectFieldValue(
        modGlobalVariables::User, kActionUID, recipientUID, kUserFullName, true);
    MessageCenterServices::AddActivity(
        MessageCenterServices::kEvents,
        modGenFunctionsResource::GetResourceMessage(kUnsendableFileMessage, {shown, recipient}),
        MessageCenterServices::kNoItem, "", "");
  } catch (...) {
    logError("clsActionManager.tellUnsendableFile");
  }
}

// A delivery, read notice, recall or file that will not be carried out is
// never dropped silently.
void clsActionManager::tellGivenUp() {
  static const std::set<int32_t> kToldTypes = {1200, 1400, 1500, 2000};
  if (kToldTypes.count(current_.ActionType) == 0) return;
  try {
    const XMLDocumentRef& document = second_->XMLDocLinked();
    const pugi::xml_node row = document->firstRowWhere("A", "UID", current_.ID);
    const std::string type = modGlobalFunctions::GetFieldValue(modGlobalVariables::Action, row,
                                                               kActionTypeName, false);
    const std::string text = modGenFunctionsResource::GetResourceMessage(
        kGivenUpMessage, {type, GetRecipientName()});
    MessageCenterServices::AddActivity(MessageCenterServices::kEvents, text,
                                       MessageCenterServices::kNoItem, "", "");
  } catch (...) {
    logError("clsActionManager.tellGivenUp");
  }
}
