// The action queue against scripted peers on loopback addresses, with the
// clock fixed so that retries and the watchdog are driven by the test.
#include "clsActionManager.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "DataJournal.h"
#include "FileSizeLimit.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "SyncLedger.h"
#include "UsersAndOptionsServices.h"
#include "modFileTransfer.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kOwnAddress = "127.0.0.32";
constexpr const char* kPeerAddress = "127.0.0.33";
constexpr const char* kSilentAddress = "127.0.0.34";  // answers pings, refuses connections
constexpr const char* kServerAddress = "127.0.0.35";
constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";

using Answer = ScriptedPeer::Answer;
using Script = std::map<std::string, Answer>;  // request code -> answer

Answer reply(int code, const std::string& content = {}) { return {ScriptedPeer::reply(code, content), {}, false}; }

std::string identity(const std::string& uid, const std::string& firstName, int cs) {
  return "<U LN=\"Smith\" FN=\"" + firstName + "\" UID=\"" + uid + "\" IP=\"" + kPeerAddress +
         "\" CN=\"BOBPC\" CS=\"" + std::to_string(cs) + "\"/>";
}

// The codes of the requests `peer` received after its first `before`, once at
// least `count` of them came (or the wait ran out).
std::vector<std::string> requestCodesSince(const ScriptedPeer& peer, std::size_t before,
                                           std::size_t count) {
  ScriptedPeer::waitFor([&] { return peer.requests().size() - before >= count; });
  std::vector<std::string> codes = peer.requestCodes();
  codes.erase(codes.begin(), codes.begin() + static_cast<long>(before));
  return codes;
}

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0)));
    uid_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    modGlobalVariables::CurrentLocalUserUID = uid_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    ProgramTestEnvironment::addPerson(uid_, kBob, "1", "Smith", "Bob", kPeerAddress);
    MessageCenterServices::Install(
        {[this](int32_t kind, const std::string& text, int32_t, const std::string&,
                const std::string&) { events.push_back(std::to_string(kind) + ":" + text); },
         [] {}});
    UsersAndOptionsServices::Implementation search;
    search.AddFoundUsersToList = [this](const std::string& users) { found.push_back(users); };
    UsersAndOptionsServices::Install(std::move(search));
  }
  void TearDown() override {
    ReleaseActionManager();
    MessageCenterServices::Install({});
    UsersAndOptionsServices::Install({});
    modLocalUserFunctions::LocalUserOptions = {};
    platform::clearFixedTime();
  }

  // The queue works only when the test says so: its own tick never runs.
  clsActionManager& queue() {
    clsActionManager& manager = ActionManager();
    manager.tmrWinsockActionManager.blockSignals(true);
    return manager;
  }
  // Queues an action and works it until it is settled.
  std::string run(int32_t type, const std::string& ruid, const std::string& riu, bool ra = true,
                  bool retries = true, const std::string& value = "V") {
    queue().AddAction(type, "MSG-1", ruid, value, ra, riu, false, retries, false);
    const std::string added = lastAdded();
    work();
    return added;
  }
  // Works one due action until it is settled.
  void settleOne() {
    queue().ManageActionQueue();
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return !queue().IsBusy(); }, 15000));
  }
  // The same, and removes it when settled as the queue does when it rests.
  void work() {
    settleOne();
    queue().RemoveSettled();
  }
  std::string lastAdded() {
    std::string uid;
    for (pugi::xml_node row : rows()) uid = row.attribute("UID").value();
    return uid;
  }
  std::vector<pugi::xml_node> rows() {
    std::vector<pugi::xml_node> all;
    for (pugi::xml_node row : queue().Actions().XMLDocLinked()->rootElement().children("A")) all.push_back(row);
    return all;
  }
  std::string field(const std::string& action, const char* name) {
    for (pugi::xml_node row : rows()) {
      if (action == row.attribute("UID").value()) return row.attribute(name).value();
    }
    return "<gone>";
  }
  // A sent message to Bob, with `status` for the message and for him; saved
  // twice, so that later saves go to its journal.
  void addSentToBob(const std::string& message, const std::string& status) {
    PoolLoan sent(modGlobalVariables::MessSent);
    sent->CreateNewRow(false, 0);
    sent->SetFields({0, 2}, {message, status});
    sent->AddCurrentRow();
    sent->SaveXMLDoc();
    sent->AddSubRow(0, message, 0, kBob);
    sent->SubRowSetField(1, status);
    sent->SaveXMLDoc();
  }
  // Such a message, and its delivery queued.
  std::string queueDeliveryToBob(const std::string& message, const std::string& status) {
    addSentToBob(message, status);
    queue().AddAction(1200, message, kBob, "V", true, "", false, true, false);
    return lastAdded();
  }
  // Bob's status in the sent message as its file on disk holds it.
  std::string bobsStatusOnDisk(const std::string& message) {
    const auto sent = modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessSent, uid_, true);
    sent->PC_SelectSingleNode(0, message);
    sent->SC_SelectSingleNode(0, kBob);
    return sent->GetFieldFromSubRow(1);
  }
  // The activities since `events` was last emptied: none for "", else one
  // holding `fragment`.
  void expectEvent(const std::string& fragment) {
    if (fragment.empty()) {
      EXPECT_TRUE(events.empty()) << events.front();
      return;
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find(fragment), std::string::npos) << events[0];
  }
  void advance(int seconds) { platform::advanceFixedTime(qint64{seconds} * 1000); }
  std::string stampIn(int seconds) {
    return platform::now().addSecs(seconds).toString("yyyy-MM-dd hh:mm:ss").toStdString();
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", kOwnAddress};
  RecordingMessageBox boxes;
  std::string uid_;
  std::vector<std::string> events;
  std::vector<std::string> found;
};

}  // namespace

// Every reply of the table settles the action as it should, and the peer
// sees exactly the requests of the path.
TEST_F(Queue, RepliesSettleActionsAsTheirCodesSay) {
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(peer.listening());
  struct Case {
    const char* name;
    int32_t type;
    int greeting;
    Script script;
    std::vector<std::string> requests;  // after the greeting
    std::string status;                 // "<gone>" when deleted
    std::string event;                  // a fragment of the one expected activity, or ""
  };
  const Answer ok200 = reply(200), ok300 = reply(300);
  Answer twoReplies = reply(1201);
  twoReplies.rawBytes = modWireFrames::BuildFrames(ScriptedPeer::reply(1200), true, true, 1, true);
  const std::vector<Case> cases = {
      {"known sender", 1200, 100, {{"200", ok200}, {"300", ok300}, {"1200", reply(1200)}},
       {"200", "300", "1200", "E"}, "<gone>", "3:Message delivered to Bob Smith."},
      {"stranger accepted", 1200, 100,
       {{"200", ok200}, {"300", reply(100300)}, {"400", reply(400)}, {"1200", twoReplies}},
       {"200", "300", "400", "1200", "E"}, "<gone>", "3:Message delivered"},
      {"sender refused", 1200, 100, {{"200", ok200}, {"300", reply(100301)}},
       {"200", "300", "E"}, "<gone>", "does not accept"},
      {"address filter", 1200, 100101, {}, {"E"}, "<gone>", "refused the connection"},
      {"no such user", 1200, 100, {{"200", reply(100200)}}, {"200", "E"}, "50", ""},
      {"failure reply", 1200, 100, {{"200", ok200}, {"300", ok300}, {"1200", reply(101200)}},
       {"200", "300", "1200", "E"}, "50", ""},
      {"unexpected codes", 1200, 100, {{"200", reply(777)}}, {"200", "200", "E"}, "50", ""},
      {"dispatcher error", 1200, 100, {{"200", reply(100000)}}, {"200", "E"}, "50", ""},
      {"reply before the greeting", 1200, 200, {}, {"E"}, "50", ""},
      {"recall", 1500, 100, {{"200", ok200}, {"1500", reply(1500)}}, {"200", "1500", "E"},
       "<gone>", "6:Message recalled from Bob Smith."},
      {"identity of the asked person", 1300, 100,
       {{"200", ok200}, {"1300", reply(1300, identity(kBob, "Robert", 5))}},
       {"200", "1300", "E"}, "<gone>", "6:"},
      {"identity of somebody else", 1300, 100,
       {{"200", ok200}, {"1300", reply(1300, identity("OTHER", "Eve", 9))}},
       {"200", "1300", "E"}, "<gone>", ""},
      {"directory not shared", 1100, 100, {{"200", ok200}, {"1100", reply(101100)}},
       {"200", "1100", "E"}, "<gone>", "does not share"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = peer.requests().size();
    events.clear();
    peer.setGreeting(c.greeting);
    peer.setScript([&c](const std::string& request) {
      const auto found = c.script.find(ScriptedPeer::attribute(request, "AT"));
      return found == c.script.end() ? Answer{} : found->second;
    });
    const std::string action = run(c.type, kBob, "");
    EXPECT_EQ(field(action, "AS"), c.status);
    EXPECT_EQ(requestCodesSince(peer, before, c.requests.size()), c.requests);
    if (c.event.empty()) {
      EXPECT_TRUE(events.empty()) << events.front();
    } else {
      ASSERT_FALSE(events.empty());
      EXPECT_NE(events.back().find(c.event), std::string::npos) << events.back();
    }
    if (field(action, "AS") != "<gone>") queue().DeleteAction(action, false);
  }
  // A delivery recalled before it could go, or that its recipient already
  // has, is dropped unsent.
  const std::size_t seen = peer.requests().size();
  for (const char* status : {"400", "50"}) {
    const std::string dropped = queueDeliveryToBob(std::string("MSG-") + status, status);
    work();
    EXPECT_EQ(field(dropped, "AS"), "<gone>") << status;
  }
  EXPECT_EQ(peer.requests().size(), seen);

  // A mark that an earlier build stored on a delivery is this copy's own
  // business: the delivery goes without it.
  peer.setGreeting(100);
  peer.setScript([&](const std::string& request) {
    const auto found = cases.front().script.find(ScriptedPeer::attribute(request, "AT"));
    return found == cases.front().script.end() ? Answer{} : found->second;
  });
  queue().AddAction(1200, "MSG-W", kBob, "V", true, "", false, true, false);
  rows().back().append_attribute("MW") = "JOURNAL@120";
  work();
  ASSERT_EQ(requestCodesSince(peer, seen, 4), (std::vector<std::string>{"200", "300", "1200", "E"}));
  EXPECT_EQ(peer.requests()[seen + 2].find("MW="), std::string::npos) << peer.requests()[seen + 2];

  // A delivered action stays, settled, until its mark is synced.
  const std::string delivered = queueDeliveryToBob("MSG-S", "1");
  settleOne();
  EXPECT_EQ(field(delivered, "AS"), "100");
  queue().ScheduleRetry(delivered, true);  // nothing is left to retry
  EXPECT_EQ(field(delivered, "AS"), "100");
  std::vector<DataJournal::Step> steps;
  {
    const DataJournal::StepHook hook([&](DataJournal::Step step) { steps.push_back(step); });
    queue().RemoveSettled();
  }
  EXPECT_EQ(field(delivered, "AS"), "<gone>");
  EXPECT_GE(std::count(steps.begin(), steps.end(), DataJournal::Step::kFlush), 1);

  // A mark that a full disk refused keeps its settled row until it is written.
  const std::string unmarked = queueDeliveryToBob("MSG-F", "1");
  {
    const FileSizeLimit full(0);
    work();
    EXPECT_EQ(field(unmarked, "AS"), "100");
  }
  queue().RemoveSettled();
  EXPECT_EQ(field(unmarked, "AS"), "<gone>");
  EXPECT_EQ(bobsStatusOnDisk("MSG-F"), "50");

  // Deliveries counted, the asked person's identity taken, the other refused.
  const auto user = [](const char* uid, int32_t column) {
    return modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, 0, uid, column, false);
  };
  EXPECT_EQ(user(kBob, 4), "5");
  EXPECT_EQ(user(kBob, 3), "Robert");
  EXPECT_EQ(user("OTHER", 0), "");
  EXPECT_EQ(found, std::vector<std::string>{""});
  EXPECT_TRUE(rows().empty());
}

// Every reply code, sent where a delivery waits for the answer to its
// recipient check: a failure report settles it there, as its code says,
// without a further request; a code that answers another step is answered
// by repeating the check once, and fails the action when it comes again.
TEST_F(Queue, EveryReplyCodeSettlesOrRepeatsAtAStepItDoesNotAnswer) {
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(peer.listening());
  struct Code {
    int code;
    std::string status;  // "<gone>" when deleted
    std::string event;   // a fragment of the one activity expected, or ""
  };
  const std::vector<Code> failureReports = {
      {100000, "50", ""},      {100001, "50", ""},       {100100, "50", ""},
      {100101, "<gone>", "refused the connection"},       {100200, "50", ""},
      {100301, "<gone>", "does not accept"},              {101100, "<gone>", ""},
      {101200, "50", ""},      {101300, "50", ""},       {101400, "50", ""},
      {101500, "50", ""},      {102000, "50", ""},       {102051, "50", "was not received"},
  };
  const std::vector<int> answersElsewhere = {100,  300,  400,  401,  1000, 1100, 1200,
                                             1300, 1400, 1500, 2000, 2051, 100300};
  for (const bool reportsFailure : {true, false}) {
    const std::size_t count = reportsFailure ? failureReports.size() : answersElsewhere.size();
    for (std::size_t n = 0; n < count; ++n) {
      const Code c = reportsFailure ? failureReports[n] : Code{answersElsewhere[n], "50", ""};
      SCOPED_TRACE(c.code);
      const std::size_t before = peer.requests().size();
      events.clear();
      peer.setScript([&](const std::string&) { return reply(c.code); });
      const std::string action = run(1200, kBob, "");
      const std::vector<std::string> requests =
          reportsFailure ? std::vector<std::string>{"200", "E"} : std::vector<std::string>{"200", "200", "E"};
      EXPECT_EQ(requestCodesSince(peer, before, requests.size()), requests);
      EXPECT_EQ(field(action, "AS"), c.status);
      expectEvent(c.event);
      if (field(action, "AS") != "<gone>") queue().DeleteAction(action, false);
    }
  }
}

// Failures back off as the table says until the 32nd gives the action up;
// the person can retry it, and an action without retries is given up at once.
TEST_F(Queue, RetriesBackOffByTheClockUntilGivenUp) {
  const std::string action = run(1200, kBob, kSilentAddress);
  const QDateTime firstFailure = platform::now();
  for (int failure = 1; failure <= 32; ++failure) {
    SCOPED_TRACE(failure);
    if (failure > 1) {
      advance(-1);
      work();  // not due one second early
      EXPECT_EQ(field(action, "AZ"), std::to_string(failure - 1));
      advance(1);
      work();
    }
    EXPECT_EQ(field(action, "AZ"), std::to_string(failure));
    const int wait = failure <= 10 ? 60 : failure <= 20 ? 300 : failure <= 30 ? 3600 : 86400;
    if (failure == 32) {
      EXPECT_EQ(field(action, "AS"), "70");
      break;
    }
    EXPECT_EQ(field(action, "AS"), "50");
    EXPECT_EQ(field(action, "NCTS"), stampIn(wait));
    EXPECT_EQ(field(action, "LCTS"), failure == 1 ? "" : stampIn(0));
    advance(wait);
  }
  EXPECT_EQ(field(action, "FCTS"),
            firstFailure.toString("yyyy-MM-dd hh:mm:ss").toStdString());
  ASSERT_FALSE(events.empty());
  EXPECT_NE(events.back().find("was given up"), std::string::npos);

  // Given up stays given up; retry-now plans it at once, and the next
  // failure gives it up again.
  advance(2 * 86400);
  work();
  EXPECT_EQ(field(action, "AS"), "70");
  queue().ScheduleRetry(action, true);
  EXPECT_EQ(field(action, "AS"), "50");
  EXPECT_EQ(field(action, "NCTS"), stampIn(0));
  work();
  EXPECT_EQ(field(action, "AS"), "70");
  EXPECT_EQ(field(action, "AZ"), "33");

  const std::string once = run(1200, kBob, kSilentAddress, true, false);
  EXPECT_EQ(field(once, "AS"), "70");
  // No address at all: the action goes, and the person is told.
  events.clear();
  const std::string nowhere = run(1400, "NOBODY", "");
  EXPECT_EQ(field(nowhere, "AS"), "<gone>");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("was given up"), std::string::npos);
}

// A silent peer: the running action keeps its row while other actions are
// queued, cannot be removed or re-planned, and the watchdog fails it.
TEST_F(Queue, TheWatchdogEndsASilentConversation) {
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  queue().AddAction(1200, "MSG-1", kBob, "V", true, "", false, true, false);
  const std::string running = lastAdded();
  queue().ManageActionQueue();
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return peer.requests().size() == 1; }));
  EXPECT_EQ(field(running, "AS"), "20");

  queue().AddAction(1400, "MSG-2", kBob, "100", false, "", false, true, false);
  const std::string queued = lastAdded();
  EXPECT_FALSE(queue().DeleteAction(running, true));
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_NE(boxes.shown()[0].text.find("running now"), std::string::npos);
  queue().ScheduleRetry(running, true);
  EXPECT_EQ(field(running, "AS"), "20");

  advance(clsActionManager::kSilenceLimitSeconds);
  queue().CheckFailOver();
  EXPECT_TRUE(queue().IsBusy());  // 30 seconds are not yet "more than 30"
  advance(1);
  queue().CheckFailOver();
  EXPECT_FALSE(queue().IsBusy());
  EXPECT_EQ(field(running, "AS"), "50");
  EXPECT_EQ(field(running, "FCTS"), stampIn(0));
  EXPECT_EQ(field(queued, "AS"), "10");
  EXPECT_EQ(field(queued, "FCTS"), "");
  EXPECT_TRUE(queue().DeleteAction(queued, true));
}

// The store is on disk after every change, and an action that was in
// progress when the program died is due again with its try count kept. A
// settled delivery or recall whose mark did not reach the disk writes it
// again and goes; when the disk refuses the mark at that start, the action
// is due again instead, its mark still to come.
TEST_F(Queue, TheStoreSurvivesARestart) {
  for (const bool diskFull : {false, true}) {
    SCOPED_TRACE(diskFull ? "the disk full at the start" : "room on the disk");
    const std::string tag = diskFull ? "F" : "R";
    queue().AddAction(1200, "MSG-1" + tag, kBob, "V", true, "", false, true, false);
    const std::string interrupted = lastAdded();
    queue().AddAction(1500, "MSG-2" + tag, kBob, "", false, "", false, true, false);
    const std::string waiting = lastAdded();
    const std::string delivered = queueDeliveryToBob("MSG-3" + tag, "1");
    addSentToBob("MSG-4" + tag, "50");
    queue().AddAction(1500, "MSG-4" + tag, kBob, "", true, "", false, true, false);
    const std::string recalled = lastAdded();
    queue().Actions().SetRowFieldByKey(kActionUID, interrupted, kActionAS, "20");
    queue().Actions().SetRowFieldByKey(kActionUID, interrupted, kActionAZ, "4");
    for (const std::string& settled : {delivered, recalled}) {
      queue().Actions().SetRowFieldByKey(kActionUID, settled, kActionAS, "100");
    }
    ASSERT_TRUE(ScriptedPeer::waitFor([&] {
      const auto onDisk = modGlobalFunctions::GetUserDataObject(modGlobalVariables::Action, uid_, true);
      return onDisk->GetRowFieldByKey(kActionUID, interrupted, kActionAS, false) == "20" &&
             onDisk->GetRowFieldByKey(kActionUID, recalled, kActionAS, false) == "100" &&
             onDisk->CountAll() == 4;
    }));

    // The process ends without its shut-down (what it holds in memory is
    // dropped unwritten) and starts again.
    modGlobalVariables::InitGlobalVariables();
    ReleaseActionManager();
    modGlobalVariables::CurrentLocalUserUID = uid_;
    {
      std::optional<FileSizeLimit> full;
      if (diskFull) full.emplace(0);
      queue();
    }
    EXPECT_EQ(field(interrupted, "AS"), "50");
    EXPECT_EQ(field(interrupted, "NCTS"), "");
    EXPECT_EQ(field(interrupted, "AZ"), "4");
    EXPECT_EQ(field(waiting, "AS"), "10");
    EXPECT_EQ(field(delivered, "AS"), diskFull ? "50" : "<gone>");
    EXPECT_EQ(field(recalled, "AS"), diskFull ? "50" : "<gone>");
    EXPECT_EQ(bobsStatusOnDisk("MSG-3" + tag), diskFull ? "1" : "50");
    EXPECT_EQ(bobsStatusOnDisk("MSG-4" + tag), diskFull ? "50" : "400");
    for (const pugi::xml_node row : rows()) queue().DeleteAction(row.attribute("UID").value(), false);
  }
}

// Every change of the store made in a turn of the event loop is on disk,
// synced, once that turn is over, whatever changed: actions added, planned,
// retried now or removed, one or several in the turn. A settled action goes
// only once the mark its reply left on the sent message is synced.
TEST_F(Queue, EveryChangeOfTheStoreIsSyncedWithItsTurn) {
  const std::string storeJournal = environment.dataFolder() + "/ANN/.D002.dat.jnl";
  queue().AddAction(1200, "MSG-0", kBob, "V", true, "", false, true, false);
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return QFile::exists(QString::fromStdString(storeJournal)); }));
  struct Change {
    const char* name;
    std::function<void()> make;
  };
  const std::vector<Change> changes = {
      {"an action added", [&] { queue().AddAction(1400, "MSG-1", kBob, "100", true, "", false, true, false); }},
      {"three actions added",
       [&] {
         for (const char* message : {"MSG-2", "MSG-3", "MSG-4"}) {
           queue().AddAction(1500, message, kBob, "", true, "", false, true, false);
         }
       }},
      {"an action retried now", [&] { queue().ScheduleRetry(lastAdded(), true); }},
      {"an action removed", [&] { queue().DeleteAction(lastAdded(), false); }},
      {"an action added and another removed",
       [&] {
         const std::string last = lastAdded();
         queue().AddAction(1200, "MSG-5", kBob, "V", true, "", false, true, false);
         queue().DeleteAction(last, false);
       }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    const SyncLedger ledger;
    change.make();
    QCoreApplication::processEvents();
    EXPECT_GE(ledger.syncs(storeJournal), 1);
    EXPECT_FALSE(ledger.unsynced(storeJournal));
    const auto onDisk = modGlobalFunctions::GetUserDataObject(modGlobalVariables::Action, uid_, true);
    std::vector<std::string> stored;
    for (const pugi::xml_node row : onDisk->XMLDocLinked()->rootElement().children("A")) {
      stored.push_back(modGenFunctionsXML::XMLToString(row));
    }
    std::vector<std::string> held;
    for (const pugi::xml_node row : rows()) held.push_back(modGenFunctionsXML::XMLToString(row));
    EXPECT_EQ(stored, held);
  }
  for (const pugi::xml_node row : rows()) queue().DeleteAction(row.attribute("UID").value(), false);

  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  peer.setScript([](const std::string& request) { return reply(std::stoi(ScriptedPeer::attribute(request, "AT"))); });
  const std::string sentJournal = environment.dataFolder() + "/ANN/.D009.dat.jnl";
  for (const int32_t type : {1200, 1500}) {
    SCOPED_TRACE(type);
    const std::string message = "MSG-S" + std::to_string(type);
    addSentToBob(message, type == 1200 ? "1" : "50");
    queue().AddAction(type, message, kBob, "V", true, "", false, true, false);
    const std::string settled = lastAdded();
    bool removalWritten = false;
    const SyncLedger* written = nullptr;
    const SyncLedger ledger([&](const std::string& path) {
      if (path != storeJournal || field(settled, "AS") != "<gone>") return;
      removalWritten = true;
      EXPECT_FALSE(written->unsynced(sentJournal)) << "the mark waits for its sync";
    });
    written = &ledger;
    settleOne();
    ASSERT_EQ(field(settled, "AS"), "100");
    EXPECT_TRUE(ledger.unsynced(sentJournal)) << "a settled action's mark is only written";
    queue().RemoveSettled();
    EXPECT_TRUE(ScriptedPeer::waitFor([&] { return removalWritten; }));
    EXPECT_EQ(bobsStatusOnDisk(message), type == 1200 ? "50" : "400");
  }
}

// The queue list shows the listed types with every column when new, and
// refreshes only the flagged columns of a changed row.
TEST_F(Queue, TheQueueListShowsAndRefreshesItsColumns) {
  QTreeWidget list;
  const int32_t flag = clsActionManager::kRefreshColumnFlag;
  const int32_t tags[] = {50000, 50001 | flag, 50002, 11 | flag, 10 | flag};
  list.setColumnCount(5);
  for (int i = 0; i < 5; ++i) list.headerItem()->setData(i, Qt::UserRole, tags[i]);
  for (const int32_t type : {1200, 1300, 1400, 50000, 2000, 50300}) {
    queue().AddAction(type, "", kBob, "", false, "", false, true, false);
  }
  queue().FillActionQueueList(list, {}, true);
  ASSERT_EQ(list.topLevelItemCount(), 3);
  const auto texts = [&](int row) {
    std::vector<std::string> all;
    for (int column = 0; column < 5; ++column) all.push_back(list.topLevelItem(row)->text(column).toStdString());
    return all;
  };
  EXPECT_EQ(texts(0), (std::vector<std::string>{"Deliver a message", "Not tried", "Bob Smith", "0", ""}));
  EXPECT_EQ(texts(1)[0], "Send a file");
  EXPECT_EQ(texts(2)[0], "Search on the primary server");

  const std::string key = list.topLevelItem(0)->data(0, Qt::UserRole).toString().toStdString();
  list.topLevelItem(0)->setText(0, "untouched");
  queue().ScheduleRetry(key, true);
  queue().FillActionQueueList(list, {key}, false);
  EXPECT_EQ(texts(0), (std::vector<std::string>{"untouched", "Retry planned", "Bob Smith", "0",
                                                stampIn(0)}));
}

// The identity goes to the primary server; a failure to reach a recipient is
// reported there once, and the server's answer makes the action due again.
TEST_F(Queue, ThePrimaryServerHearsIdentitiesAndFailures) {
  ScriptedPeer server(kServerAddress, clsActionManager::kServerPort);
  server.setScript([](const std::string& request) {
    if (ScriptedPeer::attribute(request, "AT") == "400") return reply(400);
    return reply(1300, identity(kBob, "Bob", 7));
  });
  auto& options = modLocalUserFunctions::LocalUserOptions;
  options.PrimaryServerIP = "10.1.1.*";
  modLocalUserFunctions::QueuePrimaryServerAction();
  EXPECT_TRUE(rows().empty());
  options.PrimaryServerIP = kServerAddress;
  modLocalUserFunctions::QueuePrimaryServerAction();
  work();
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return server.requests().size() == 2; }));
  EXPECT_EQ(server.requestCodes(), (std::vector<std::string>{"400", "E"}));
  const std::string sent = ScriptedPeer::attribute(server.requests()[0], "V");
  EXPECT_NE(sent.find(uid_), std::string::npos);
  EXPECT_TRUE(rows().empty());

  // The recipient's address is no address: not reachable, reported once.
  queue().AddAction(1200, "MSG-1", kBob, "V", true, "no.such.host", false, true, true);
  const std::string action = lastAdded();
  work();
  EXPECT_EQ(field(action, "AS"), "40");
  EXPECT_EQ(field(action, "ASTBR"), "1");
  const std::string report = lastAdded();
  EXPECT_EQ(field(report, "AT"), "50200");
  EXPECT_EQ(field(report, "V"), kBob);
  work();  // the report
  EXPECT_EQ(field(report, "AS"), "<gone>");
  EXPECT_EQ(field(action, "AS"), "50");
  EXPECT_EQ(field(action, "NCTS"), "");
  work();  // tried again, not reported again: planned by the back-off
  EXPECT_EQ(field(action, "AS"), "50");
  EXPECT_EQ(field(action, "NCTS"), stampIn(60));
  EXPECT_EQ(rows().size(), 1u);
}

// Conversations that a peer, or a host that is no peer, would hold or spin:
// each ends in one settled action with only the listed requests on the wire
// over the listed connections, and the person is told where a file of his
// is given up.
TEST_F(Queue, NoPeerHoldsOrSpinsTheConversation) {
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(peer.listening());
  Answer empty;  // a whole reply whose text is empty
  empty.rawBytes = modWireFrames::BuildFrames("", true, true, modWireFrames::kMessageFrames, true);
  std::string crowd = "<D>";
  for (int i = 0; i < 1500; ++i) crowd += identity("U" + std::to_string(i), "Many", 1);
  crowd += "</D>";
  struct Case {
    const char* name;
    int32_t type;
    std::string ruid, riu;
    bool retries;
    int greeting;  // 0: the host accepts and never greets
    Script script;
    std::vector<std::string> requests;
    int connections;
    std::string status;
    std::string event;
  };
  const std::vector<Case> cases = {
      {"empty reply", 1200, kBob, "", true, 100, {{"200", empty}}, {"200", "E"}, 1, "50", ""},
      {"unknown code for a greeting", 1200, kBob, "", true, 100500, {}, {"E"}, 1, "50", ""},
      {"never greets", 1200, kBob, "", true, 0, {}, {"E"}, 1, "50", ""},
      {"1,500 users in one reply", 1000, "", kPeerAddress, true, 100,
       {{"1000", reply(1000, crowd)}}, {"1000", "E"}, 1, "<gone>", ""},
      {"file without an address", 2000, "NOBODY", "", true, 100, {}, {}, 0, "<gone>",
       "was given up"},
      {"file without retries", 2000, kBob, kSilentAddress, false, 100, {}, {}, 0, "70",
       "Send a file to Bob Smith was given up"},
      {"delivery to a person removed after the users file was set aside", 1200, "NOBODY", "",
       true, 100, {}, {}, 0, "<gone>", "was given up"},
      {"identity check never answered", 1300, kBob, "", false, 100, {{"200", reply(200)}},
       {"200", "1300", "E"}, 1, "<gone>", ""},
      {"identity check given up", 1300, kBob, "", false, 100,
       {{"200", reply(200)}, {"1300", reply(100200)}}, {"200", "1300", "E"}, 1, "<gone>", ""},
  };
  // Set aside before any of these actions was queued.
  modGenFunctionsFile::SaveFileContent(environment.dataFolder() + "/ANN",
                                       "D010.dat.bad-20260302-085959", "damaged");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = peer.requests().size();
    const int connected = peer.connections();
    events.clear();
    peer.setGreeting(c.greeting);
    peer.setScript([&c](const std::string& request) {
      const auto found = c.script.find(ScriptedPeer::attribute(request, "AT"));
      return found == c.script.end() ? Answer{} : found->second;
    });
    queue().AddAction(c.type, "MSG-1", c.ruid, "V", true, c.riu, false, c.retries, false);
    const std::string action = lastAdded();
    queue().ManageActionQueue();
    // An identity check waits for its answer no longer than for a greeting.
    const bool unanswered = c.type == 1300 && c.script.count("1300") == 0;
    ASSERT_TRUE(ScriptedPeer::waitFor([&] {
      return !queue().IsBusy() || (c.greeting == 0 && queue().IsConnectionEstablished()) ||
             (unanswered && peer.requests().size() - before == 2);
    }, 15000));
    if (queue().IsBusy()) {
      // The connect timer is armed; its tick is played rather than waited for.
      EXPECT_TRUE(queue().tmrClientConnectionTimeout.enabled());
      EXPECT_EQ(queue().tmrClientConnectionTimeout.interval(), clsActionManager::kConnectTimeoutMs);
      emit queue().tmrClientConnectionTimeout.tick();
      EXPECT_FALSE(queue().IsBusy());
    }
    EXPECT_EQ(field(action, "AS"), c.status);
    EXPECT_EQ(requestCodesSince(peer, before, c.requests.size()), c.requests);
    EXPECT_EQ(peer.connections() - connected, c.connections);
    expectEvent(c.event);
    if (field(action, "AS") != "<gone>") queue().DeleteAction(action, false);
  }
  // The search got the first 1,000 people of the long list, nobody else.
  ASSERT_EQ(found.size(), 1u);
  std::size_t people = 0;
  for (std::size_t at = found[0].find("<U "); at != std::string::npos; at = found[0].find("<U ", at + 1)) {
    ++people;
  }
  EXPECT_EQ(people, 1000u);
  EXPECT_NE(found[0].find("\"U999\""), std::string::npos);
}

// A failure report to the primary server that ends without the server's
// answer, or that the person removes from the queue list, makes the
// reported delivery due again at once instead of leaving it waiting.
TEST_F(Queue, TheReportedDeliveryIsDueWhenItsReportEndsUnanswered) {
  ScriptedPeer server(kServerAddress, clsActionManager::kServerPort);  // greets, never answers
  ASSERT_TRUE(server.listening());
  struct Case {
    const char* name;
    std::string server;
    std::function<void(const std::string& report)> end;
  };
  const std::vector<Case> cases = {
      {"no answer", kServerAddress,
       [&](const std::string&) {
         queue().ManageActionQueue();
         ASSERT_TRUE(ScriptedPeer::waitFor([&] {
           return !server.requests().empty() &&
                  ScriptedPeer::attribute(server.requests().back(), "AT") == "50200";
         }));
         advance(clsActionManager::kSilenceLimitSeconds + 1);
         queue().CheckFailOver();
       }},
      {"server port closed", kSilentAddress, [&](const std::string&) { work(); }},
      {"removed from the queue list", kServerAddress,
       [&](const std::string& report) { EXPECT_TRUE(queue().DeleteAction(report, true)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    modLocalUserFunctions::LocalUserOptions.PrimaryServerIP = c.server;
    queue().AddAction(1200, "MSG-1", kBob, "V", true, "no.such.host", false, true, true);
    const std::string action = lastAdded();
    work();
    ASSERT_EQ(field(action, "AS"), "40");
    const std::string report = lastAdded();
    ASSERT_EQ(field(report, "AT"), "50200");
    c.end(report);
    EXPECT_FALSE(queue().IsBusy());
    EXPECT_EQ(field(report, "AS"), "<gone>");
    EXPECT_EQ(field(action, "AS"), "50");
    EXPECT_EQ(field(action, "NCTS"), "");
    queue().DeleteAction(action, false);
  }
}

// Only the file a person chose is ever queued or sent: a name holding "||"
// (which separates a file from its folder in a queued entry) is refused at
// the drop with the names listed; such an entry is not queued, and one
// stored by an older copy is given up at its take-up without a connection.
TEST_F(Queue, OnlyTheChosenFileIsQueuedOrSent) {
  const std::string drop = environment.root() + "/drop";
  for (const auto& [folder, file] : std::vector<std::pair<std::string, std::string>>{
           {"", "report"}, {"", "report||draft.txt"}, {"/docs", "a.txt"}, {"/docs", "b||c.txt"},
           {"/docs", "d|"}, {"/x||y", "f.txt"}, {"/a", "b"}, {"/a", "b||a"}}) {
    modGenFunctionsFile::SaveFileContent(drop + folder, file, "content");
  }
  queue();
  const int32_t queued = modFileTransfer::SendDroppedFilesToUser(
      kBob, {drop + "/report||draft.txt", drop + "/docs", drop + "/x||y", drop + "/a/b||a"});
  EXPECT_EQ(queued, 1);
  ASSERT_EQ(rows().size(), 1u);
  const std::string sendable = lastAdded();
  EXPECT_EQ(field(sendable, "V"), drop + "/docs/a.txt||docs");
  ASSERT_EQ(boxes.shown().size(), 1u);
  const std::string refusal = boxes.shown()[0].text;
  for (const char* file : {"report||draft.txt", "docs/b||c.txt", "docs/d|", "x||y/f.txt", "a/b||a"}) {
    EXPECT_NE(refusal.find("\n" + drop + "/" + file), std::string::npos) << file << " in " << refusal;
  }
  EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 5);

  EXPECT_FALSE(queue().AddAction(2000, "", kBob, drop + "/report||draft.txt", false, "", false, true, false));
  EXPECT_EQ(rows().size(), 1u);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("does not name exactly one file"), std::string::npos);

  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  queue().Actions().SetRowFieldByKey(kActionUID, sendable, kActionV, drop + "/report||draft.txt");
  events.clear();
  work();
  EXPECT_EQ(field(sendable, "AS"), "70");
  EXPECT_EQ(peer.connections(), 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find(drop + "/report| |draft.txt cannot be sent to Bob Smith"), std::string::npos);
  EXPECT_EQ(events[0].find("||"), std::string::npos);
}
