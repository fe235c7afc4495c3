#pragma once
// clsActionManager: the stored queue of network actions and the one outgoing
// conversation that works it off.
//
// Every conversation this copy starts with another copy (or the primary
// server) is first an action: a row "A" of the logged-in account's action
// store (D002.dat). The manager takes one due action at a time, pings its
// recipient, connects, walks the action path of its type request by request,
// reacts to every reply, and settles it: deleted when done or pointless,
// planned again on a growing back-off, reported to the primary server, or
// given up (kept, shown, no longer taken up by itself).
//
// Durability: the store is saved (synced) after every change, several
// changes of one event-loop turn sharing one save, and at destruction; the
// take-up of an action (its status and try count) is written with the
// conversation's outcome. A row found "in progress" when the store is loaded
// (the program died during its conversation) is due again with its try count
// kept. A delivery or recall that succeeded is settled: its reply's mark on
// the sent message and its row ("AS" Done) are only written, not synced, and
// the settled rows go once their marks are synced, which happens when the
// queue runs out of due actions, after kSettledBatch settled actions, and at
// destruction. A mark that could not be written (a full disk) stays held by
// its collection, and the settled rows wait until it is written. Settled rows
// found at loading have their marks written again and go; a due delivery
// whose recipient is already marked as having it is dropped unsent. So a
// crash of the machine costs at most a repeated delivery, never a mark, and
// one delivery costs no sync of this copy. A send cut short before its
// deliveries were stored is taken back as the store is loaded
// (modCOMFunctions::SettleInterruptedSends).
//
// Two views share the store: the working view, whose current row is the
// current action, and a second view used for everything else; every write
// for the current action finds its row by the current UID.
//
// Each conversation has a socket of its own: nothing that happens on an
// earlier conversation's socket reaches a later one, and a settled
// conversation's end text is still written out. Only traffic of the current
// conversation counts as activity for the watchdog; a conversation silent
// for more than kSilenceLimitSeconds, or without a step forward for
// kStepLimitSeconds, fails. An identity check (1300) fails when it has not
// ended within kConnectTimeoutMs of its connect, and leaves no row once it
// has ended or was given up.
//
// Construct only with an account logged in. Errors of a queue tick or a
// socket event are logged and settle the current action; none escapes.
// UI thread only.
#include <QObject>
#include <QDateTime>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "SocketControl.h"
#include "TimerControl.h"
#include "clsGenXMLDocument.h"
#include "modGlobalFunctions.h"
#include "modWireFrames.h"

class FileSender;
class QTreeWidget;

// The "AS" values of an action row.
enum ResActionStatus : int32_t {
  NotTried = 10,
  InProgress = 20,
  ConnectionRefused = 30,
  NotReachable = 40,
  RecipientNotFound = 41,
  RetryPlanned = 50,
  ReportedToServer = 60,
  GivenUp = 70,
  NoRetry = 80,
  Failed = 90,
  Refused = 91,
  Done = 100,
};

// Fields of an action row (record class 8).
enum ActionField : int32_t {
  kActionUID = 0,
  kActionAT = 1,
  kActionAS = 2,
  kActionSUID = 3,
  kActionRUID = 4,
  kActionOUID = 5,
  kActionV = 6,
  kActionTS = 7,
  kActionFCTS = 8,
  kActionLCTS = 9,
  kActionNCTS = 10,
  kActionAZ = 11,
  kActionTC = 12,
  kActionRA = 13,
  kActionLTMC = 14,
  kActionASTBR = 15,
  kActionSRFRI = 16,
  kActionRIU = 17,
};

class clsActionManager : public QObject {
  Q_OBJECT

 public:
  static constexpr int kPeerPort = 27155;
  static constexpr int kServerPort = 27150;
  static constexpr int kSilenceLimitSeconds = 30;
  static constexpr int kStepLimitSeconds = 300;
  static constexpr int kConnectTimeoutMs = 10000;
  static constexpr int kPingTimeoutMs = 500;
  static constexpr int kSettledBatch = 64;
  // The list-view column flag: refresh the column whenever its row changes.
  static constexpr int32_t kRefreshColumnFlag = 0x80000;
  static constexpr int32_t kFieldMask = 0x7FFFF;

  // The in-memory current action.
  struct CurrentAction {
    std::string ID;
    int32_t ActionType = 0;
    int32_t status = NotTried;
    int32_t replyCode = 0;
    std::string SUID, RUID, OUID, V;
    int32_t tryCount = 0;
    bool RA = false;
    bool IsConnectionEstablished = false;
    bool IsConnectionAccepted = false;
    std::string recipientAddress;
    std::string rowXML;
    bool giveUp = false;
    int32_t stepIndex = 0;
    std::array<int32_t, 8> steps{};
    // Unexpected replies answered at the current step.
    int32_t unexpectedReplies = 0;
  };

  clsActionManager();
  ~clsActionManager() override;
  clsActionManager(const clsActionManager&) = delete;
  clsActionManager& operator=(const clsActionManager&) = delete;

  // ---- The store and the schedule -----------------------------------------
  // Queues an action ("AS" 10, "AZ" 0). startNow: the queue ticks at once.
  // A file action whose V does not name exactly one file
  // (modFileTransfer::EntryFile) is not queued: the person is told, and
  // the result is false.
  bool AddAction(int32_t ActionType, const std::string& OUID, const std::string& RUID,
                 const std::string& V, bool RA, const std::string& RIU, bool startNow,
                 bool allowRetry, bool reportToServer);
  void StartActionManager();
  // Re-arms the one-shot queue tick; a running tick is kept unless forced.
  // An interval of 1 ms (or less) ticks at the next turn of the event loop.
  void SetActionTimer(int interval, bool force);
  void ManageActionQueue();
  // The watchdog, every 60 seconds.
  void CheckFailOver();
  // Plans the next try of the action (empty UID: the current one); true
  // when it is not retried (given up). retryNow: due at once, whatever its
  // try count; the running action is left alone.
  bool ScheduleRetry(const std::string& uid, bool retryNow);
  // Removes the action; with protectCurrent the running action stays
  // (message 80200) and the result is false. A status report that goes
  // makes the action it reports due at once when that still waits for it.
  bool DeleteAction(const std::string& uid, bool protectCurrent);
  // Fills the queue list: items keyed by action UID (item data Qt::UserRole
  // of column 0); column header k's Qt::UserRole data is its tag, a field
  // number plus kRefreshColumnFlag for columns refreshed on every change.
  void FillActionQueueList(QTreeWidget& list, const std::vector<std::string>& changedUIDs,
                           bool fullReload);
  std::string GetRecipientName();
  void TouchActivityTime();
  void SetConnectionTimeoutError();
  bool IsConnectionEstablished() const { return current_.IsConnectionEstablished; }
  void IsConnectionEstablished(bool value) { current_.IsConnectionEstablished = value; }
  bool IsConnectionAccepted() const { return current_.IsConnectionAccepted; }
  void IsConnectionAccepted(bool value) { current_.IsConnectionAccepted = value; }
  // A view of the store (for reading).
  clsGenObject& Actions() { return *second_; }
  const CurrentAction& Current() const { return current_; }
  bool IsBusy() const { return busy_; }

  // ---- The conversation ------------------------------------------------------
  // Entry of every event of the conversation: the start (empty reply), a
  // complete reply text, or a failure (socket error, close, time-out).
  void ProcessCurrentAction(const std::string& replyText, bool failed);

  // Events of the outgoing socket and the timers.
  void wsClient_Connect();
  void wsClient_DataArrival();
  void wsClient_Error();
  void wsClient_Close();
  void wsClient_SendComplete();
  void tmrWinsockActionManager_Timer();
  void tmrActionManagerFailOver_Timer();
  void tmrClientConnectionTimeout_Timer();

  platform::SocketControl& wsClient() { return wsClient_; }
  platform::TimerControl tmrWinsockActionManager;
  platform::TimerControl tmrActionManagerFailOver;
  platform::TimerControl tmrClientConnectionTimeout;

  // Writes the store now, synced (also done by itself after every change);
  // raises when it cannot be written, and the changes stay held for the
  // next save.
  void SaveStore();
  // Marks the deliveries of the message `messageUID` as part of a send
  // under way (written with the store), or takes the mark off (written by
  // itself): a delivery still marked at the next start was cut short with
  // its send unless its sent row reached the disk too.
  void MarkSendUnderWay(const std::string& messageUID, bool underWay);
  // Writes the store now, its sync left to the turn's commit (TurnCommit),
  // which the queue makes before it takes up an action; raises as SaveStore.
  void WriteStore();
  // Syncs the marks of the settled actions and removes them (also done by
  // itself, see Durability).
  void RemoveSettled();
  // From now on nothing is written: the account and its folder are gone.
  void DiscardStore() { discarded_ = true; }

 private:
  // Store half.
  bool GetNextAction();
  void ResetCurrentAction();
  bool ReportActionStatusToServer();
  void SwitchToNextActionInActionPath();
  void collectDueActions();
  bool takeUp(const std::string& uid);
  bool recipientLostWithUsersFile(const std::string& uid);
  std::string rowField(const std::string& uid, int32_t field);
  void setRowField(const std::string& uid, int32_t field, const std::string& value);
  void makeDueNow(const std::string& uid);
  void recoverInterruptedActions();
  void settleDeliveriesUnderWay();
  // The stored row as a request: without marks that earlier builds stored.
  static std::string requestXML(pugi::xml_node row);
  void storeChanged();
  // Like storeChanged, without a sync of its own.
  void storeWritten();
  // Marks the action settled (see Durability).
  void settle(const std::string& uid);
  // Writes the mark that a settled action of `type` left on the message.
  void markMessage(int32_t type, const std::string& messageUID, const std::string& recipientUID);
  // Writes the marks that failed to be written; raises when they still fail.
  void writeHeldMarks();
  // An event activity for a delivery, read notice, recall or file given up;
  // the action's row must still exist.
  void tellGivenUp();
  // An event activity: the file entry cannot be sent (it does not name
  // exactly one file).
  void tellUnsendableFile(const std::string& entry, const std::string& recipientUID);

  // Execution half.
  void LoadCurrentAction();
  bool ProcessReceivedData(const std::string& replyText);
  // reply: the complete reply text, nullptr when the event brings none.
  void handleEvent(const std::string* reply, bool failed);
  bool ManageActionStatus();
  bool ConnectToRecipient(const std::string& host, int port);
  void CloseClientConnection(bool closeOnly);
  std::string BuildActionXML(int32_t requestCode, const std::string& OUID, const std::string& RUID,
                             const std::string& V, bool RA, const std::string& RIU, bool TC);
  void runSteps();
  void sendRequest(const std::string& text);
  void settleIfDone();
  bool replyAnswersStep(int32_t code) const;
  // What a reply code does to the current action.
  struct ReplyReaction {
    void (*react)(clsActionManager& manager);
    // A failure report settles the action at whatever step it comes.
    bool reportsFailure;
  };
  static const std::unordered_map<int32_t, ReplyReaction>& replyReactions();
  void replyDelivered();
  void replyIdentity();
  // What settling the current action does (ManageActionStatus).
  struct Settlement {
    bool remove = false;
    bool close = false;
    bool retry = false;
    bool notifySearch = false;
    // Done with a message mark written: it goes once the mark is synced.
    bool settled = false;
  };
  using StatusSettlement = void (*)(clsActionManager& manager, Settlement& decided);
  static const std::unordered_map<int32_t, StatusSettlement>& statusSettlements();
  void carryOut(Settlement& decided);
  void afterDelete();
  int32_t currentStep() const;
  bool answerBounded() const;
  // Step 2050: starts sending the action's file (once per action); true
  // when it could not start.
  bool SendFileContent();
  void stopFileSend();
  void tellFileNotSent();

  std::shared_ptr<clsGenObject> working_;
  std::shared_ptr<clsGenObject> second_;
  CurrentAction current_;
  std::deque<std::string> dueList_;
  bool busy_ = false;
  bool saveQueued_ = false;
  bool unsaved_ = false;
  // A change since the last save asks for a sync.
  bool syncDue_ = false;
  int settledSinceRemoval_ = 0;
  // A mark's write failed: its collection holds it unwritten.
  bool marksHeld_ = false;
  bool discarded_ = false;
  QDateTime lastActivity_;
  QDateTime stepChangedAt_;
  XMLDocumentRef replyDocument_;
  modWireFrames::FrameReader clientReceive_;
  modWireFrames::MessageAssembler clientMessage_;
  ConnectionState clientState_;
  platform::SocketControl wsClient_;
  // The file of the current action while it is being sent (a child).
  FileSender* fileSender_ = nullptr;
};

// The one action manager of the logged-in account: created on first use,
// released at shut-down, its store written unless the account is gone.
clsActionManager& ActionManager();
bool ActionManagerExists();
void ReleaseActionManager(bool keepStore = true);
