// The receiving side of conversations: request texts as a peer sends them,
// answered by ProcessRequestedAction, with what lands on disk read back
// from the account's files.
#include "modCOMRequestedAction.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "AtomicFile.h"
#include "DataJournal.h"
#include "FileSizeLimit.h"
#include "FramedClient.h"
#include "IdentityChecks.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "TurnCommit.h"
#include "clsActionManager.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using modCOMRequestedAction::ProcessRequestedAction;
using namespace modGlobalVariables;

constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kEve = "E0E00000-0000-0000-0000-000000000002";
constexpr const char* kNobody = "00000000-0000-0000-0000-0000000000FF";
constexpr const char* kMessage = "AAAA0000-0000-0000-0000-000000000001";
constexpr const char* kBobAddress = "127.0.0.77";
constexpr const char* kBobNewAddress = "127.0.0.90";
constexpr const char* kEveAddress = "127.0.0.79";
constexpr const char* kImpostorAddress = "127.0.0.66";

using Attributes = std::map<std::string, std::string>;

// An "A" element with every attribute of the class, as a peer's queue sends it.
std::string request(int code, const std::string& SUID, const std::string& RUID,
                    const std::string& OUID = {}, const std::string& V = {}) {
  XMLDocumentRef document;
  modGenFunctionsXML::XMLInitDocument(document, "A", true);
  pugi::xml_node a = document->rootElement();
  const Attributes values = {{"AT", std::to_string(code)}, {"SUID", SUID}, {"RUID", RUID},
                             {"OUID", OUID}, {"V", V}, {"AZ", "0"}, {"TC", "1"}, {"RA", "1"}};
  for (const char* name : {"UID", "AT", "AS", "SUID", "RUID", "OUID", "V", "TS", "FCTS", "LCTS",
                           "NCTS", "AZ", "TC", "RA", "LTMC", "ASTBR", "SRFRI", "RIU", "IP"}) {
    const auto found = values.find(name);
    a.append_attribute(name) = found == values.end() ? "" : found->second.c_str();
  }
  return modGenFunctionsXML::XMLToString(a);
}

std::string message(const std::string& uid, const std::string& sender, const std::string& status = "1",
                    const std::string& priority = "2", const std::string& extra = {}) {
  return "<M UID=\"" + uid + "\" SD=\"" + sender + "\" ST=\"" + status +
         "\" TS=\"2026-03-02 09:00:00\" CO=\"Hello\" PR=\"" + priority +
         "\" RT=\"1\" AMU=\"\" MT=\"2\" RTS=\"\"" + extra + "><U UID=\"RECIPIENT\" ST=\"1\"/></M>";
}

// An identity element "U" as a copy sends it for its account.
std::string identity(const std::string& uid, const std::string& address, const std::string& cs) {
  return "<U LN=\"Smith\" FN=\"Bob\" UID=\"" + uid + "\" IP=\"" + address +
         "\" CN=\"BOBPC\" CS=\"" + cs + "\"/>";
}

Attributes attributesOf(const std::string& reply) {
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(reply.c_str())) << reply;
  EXPECT_STREQ(document.document_element().name(), "R") << reply;
  Attributes all;
  for (const pugi::xml_attribute a : document.document_element().attributes()) all[a.name()] = a.value();
  return all;
}

// Rows of an account's data file as they are on disk.
std::vector<Attributes> onDisk(int32_t classType, const std::string& account) {
  const auto data = modGlobalFunctions::GetUserDataObject(classType, account, true);
  std::vector<Attributes> rows;
  for (const pugi::xml_node row : data->XMLDocLinked()->rootElement().children()) {
    Attributes all;
    for (const pugi::xml_attribute a : row.attributes()) all[a.name()] = a.value();
    for (const pugi::xml_node sub : row.children()) {
      all[std::string("U:") + sub.attribute("UID").value()] = sub.attribute("ST").value();
    }
    rows.push_back(all);
  }
  return rows;
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0)));
    ann_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee & Co");
    carl_ = ProgramTestEnvironment::addAccount("CARL", "pw", "Carl", "Ode");
    CurrentLocalUserUID = ann_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    addContact(ann_, kBob, "5", "Bob", "Smith");
    addContact(carl_, kBob, "5", "Bob", "Smith");
    connection.PeerAddress = kBobAddress;
    MessageCenterServices::Install(
        {[this](int32_t kind, const std::string& text, int32_t type, const std::string& key,
                const std::string& owner) {
           activities.push_back(std::to_string(kind) + "|" + text + "|" + std::to_string(type) +
                                "|" + key + "|" + owner);
         },
         [] {}});
    MessageCenterServices::Displays displays;
    displays.AddBoardItem = [this](int32_t kind, const std::string& id) {
      board.push_back(std::to_string(kind) + ":" + id);
    };
    displays.SynchronizeDisplays = [this](int32_t list, bool) { synchronized.push_back(list); };
    displays.AutoReplyOn = [this] { return autoReply; };
    displays.AutoReplyText = [] { return std::string("Away today"); };
    MessageCenterServices::InstallDisplays(std::move(displays));
  }
  void TearDown() override {
    ReleaseActionManager();
    MessageCenterServices::Install({});
    MessageCenterServices::InstallDisplays({});
    modLocalUserFunctions::LocalUserOptions = {};
    CurrentLocalUserUID.clear();
    platform::clearFixedTime();
  }

  static void addContact(const std::string& owner, const std::string& uid, const std::string& cs,
                         const std::string& first, const std::string& last,
                         const std::string& address = kBobAddress) {
    const auto users = modGlobalFunctions::GetUserDataObject(User, owner, true);
    users->CreateNewRow(false, 0);
    users->SetFields({0, 1, 2, 3, 7, 8}, {uid, cs, last, first, address, "BOBPC"});
    users->AddCurrentRow();
    users->SaveXMLDoc();
  }
  // Answered as the connections answer: once what it stored is on disk.
  std::string send(int code, const std::string& SUID, const std::string& RUID,
                   const std::string& OUID = {}, const std::string& V = {}) {
    const std::string reply = ProcessRequestedAction(request(code, SUID, RUID, OUID, V), connection);
    TurnCommit::now();
    return reply;
  }
  std::string code(const std::string& reply) { return attributesOf(reply)["V"]; }
  // The checks of a delivery's path, then the delivery.
  std::string deliver(const std::string& RUID, const std::string& text, const std::string& SUID = kBob) {
    EXPECT_EQ(code(send(200, SUID, RUID)), "200");
    const std::string checked = code(send(300, SUID, RUID, "", "5"));
    EXPECT_TRUE(checked == "300" || checked == "100300") << checked;
    return code(send(1200, SUID, RUID, kMessage, text));
  }
  // The queue, worked only when the test says so: its own tick never runs.
  clsActionManager& queue() {
    clsActionManager& manager = ActionManager();
    manager.tmrWinsockActionManager.blockSignals(true);
    return manager;
  }
  // Takes up the next due action and waits until it is settled.
  void workQueue() {
    queue().ManageActionQueue();
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return !queue().IsBusy(); }, 15000));
  }
  // A message Ann sent to Bob alone, delivered, among her sent messages or
  // in her history.
  static void addSentMessage(int32_t classType, const std::string& uid) {
    PoolLoan messages(classType);
    messages->CreateNewRow(false, 0);
    messages->SetFields({0, 1, 2}, {uid, CurrentLocalUserUID, "50"});
    messages->AddCurrentRow();
    messages->AddSubRow(0, uid, 0, kBob);
    messages->SubRowSetField(1, "50");
    messages->SaveXMLDoc();
  }
  // The row `uid` of Ann's file of classType, as on disk; empty when none.
  Attributes annsRow(int32_t classType, const std::string& uid) {
    for (const Attributes& row : onDisk(classType, ann_)) {
      if (row.at("UID") == uid) return row;
    }
    return {};
  }
  std::vector<pugi::xml_node> queuedActions() {
    std::vector<pugi::xml_node> rows;
    for (pugi::xml_node a : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      rows.push_back(a);
    }
    return rows;
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.61"};
  RecordingMessageBox boxes;
  ConnectionState connection;
  std::string ann_;
  std::string carl_;
  bool autoReply = false;
  std::vector<std::string> activities;
  std::vector<std::string> board;
  std::vector<int32_t> synchronized;
};

TEST_F(Requests, EveryRequestCodeIsAnsweredAsTheRequesterExpects) {
  struct Row {
    int code;
    std::string SUID, OUID, V;
    const char* reply;  // "" : no reply at all
    bool reAddressed;   // RE carries the request's RUID
  };
  const std::vector<Row> table = {
      {100, kBob, "", "", "", false},
      {200, kBob, "", "", "200", false},
      {300, kBob, "", "5", "300", false},
      {400, kBob, "", identity(kBob, kBobAddress, "6"), "400", false},
      {1000, kBob, "", "", "1000", false},
      {1100, kBob, "", "", "1100", true},
      {1200, kBob, kMessage, message(kMessage, kBob), "1200", true},
      {1300, kBob, "", "", "1300", true},
      {1400, kBob, kMessage, " 100", "1400", true},
      {1500, kBob, kMessage, "", "1500", true},
      {2000, kBob, "", "/tmp/a.txt", "2000", true},
      {2050, kBob, "", "", "", false},
      {50000, kBob, "", "", "", false},
      {50300, kBob, "", "", "", false},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.code);
    const std::string reply = send(row.code, row.SUID, ann_, row.OUID, row.V);
    if (*row.reply == '\0') {
      EXPECT_EQ(reply, "");
      continue;
    }
    Attributes attributes = attributesOf(reply);
    EXPECT_EQ(attributes["V"], row.reply);
    EXPECT_EQ(attributes["SD"], ann_);
    EXPECT_EQ(attributes.count("RE"), row.reAddressed ? 1u : 0u);
    if (row.reAddressed) {
      EXPECT_EQ(attributes["RE"], ann_);
    }
  }
  EXPECT_EQ(ProcessRequestedAction("<A AT=\"twelve\"/>", connection), FallbackResponseText);
  for (const char* ignored : {"", "not xml", "<B AT=\"200\"/>", "<A AT=\"200\"><A/>"}) {
    EXPECT_EQ(ProcessRequestedAction(ignored, connection), "") << ignored;
  }
  EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Requests, DeliveryIsStoredOnDiskOnceAndAnnouncedOnce) {
  modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage = true;
  // The first try cannot be saved (the disk is full): it is refused,
  // nothing is announced, and the sender's next try arrives whole.
  { PoolLoan loadedBefore(MessRec); }
  {
    const FileSizeLimit full(0);
    ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "101200");
  }
  EXPECT_TRUE(activities.empty());
  EXPECT_TRUE(board.empty());

  ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "1200");
  std::vector<Attributes> stored = onDisk(MessRec, ann_);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["UID"], kMessage);
  EXPECT_EQ(stored[0]["ST"], "60");
  EXPECT_EQ(stored[0]["MT"], "1");
  EXPECT_EQ(stored[0]["CO"], "Hello");
  EXPECT_EQ(board, std::vector<std::string>{std::string("4:") + kMessage});
  EXPECT_EQ(synchronized, std::vector<int32_t>{2});
  ASSERT_EQ(activities.size(), 1u);
  EXPECT_EQ(activities[0], "2|Message received from Bob Smith.|3|" + std::string(kMessage) + "|" + ann_);

  // The reply was lost and the sender tries again: nothing new.
  EXPECT_EQ(code(send(1200, kBob, ann_, kMessage, message(kMessage, kBob))), "1200");
  EXPECT_EQ(onDisk(MessRec, ann_).size(), 1u);
  EXPECT_EQ(activities.size(), 1u);
  EXPECT_EQ(board.size(), 1u);

  // Opened and moved to the history: still no second copy.
  {
    PoolLoan received(MessRec);
    PoolLoan history(MessHist);
    history->AddRow(received->XMLDocLinked()->rootElement().first_child());
    history->SaveXMLDoc();
    received->Delete(false, 0, kMessage, true);
  }
  EXPECT_EQ(code(send(1200, kBob, ann_, kMessage, message(kMessage, kBob))), "1200");
  EXPECT_TRUE(onDisk(MessRec, ann_).empty());
  EXPECT_EQ(onDisk(MessHist, ann_).size(), 1u);
}

// Deliveries that arrive together on connections of their own, from one
// connection up to the most one address may hold.
class TurnDeliveries : public Requests {
 protected:
  void SetUp() override {
    Requests::SetUp();
    ASSERT_TRUE(connections_.StartListening());
    // The journal exists from here on: appends to it wait for a sync.
    ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "1200");
  }
  void TearDown() override {
    connections_.CloseAll();
    Requests::TearDown();
  }
  // `count` connections from Bob, each past its checks for a delivery.
  std::vector<std::unique_ptr<FramedClient>> checkedPeers(int count) {
    std::vector<std::unique_ptr<FramedClient>> peers;
    for (int n = 0; n < count; ++n) {
      peers.push_back(
          std::make_unique<FramedClient>("127.0.0.61", PeerConnections::kPeerPort, kBobAddress));
      EXPECT_FALSE(peers.back()->next().empty()) << "no greeting";
      EXPECT_EQ(peers.back()->ask("200", kBob, ann_, ""), "200");
      EXPECT_EQ(peers.back()->ask("300", kBob, ann_, "5"), "300");
    }
    return peers;
  }
  // Each peer sends one new message, all before the listening side reads
  // any; their UIDs.
  std::vector<std::string> sendMessages(const std::vector<std::unique_ptr<FramedClient>>& peers) {
    std::vector<std::string> uids;
    for (const auto& peer : peers) {
      char uid[40];
      std::snprintf(uid, sizeof uid, "CCCC0000-0000-0000-0000-%012d", ++sent_);
      uids.emplace_back(uid);
      peer->send(request(1200, kBob, ann_, uid, message(uid, kBob)));
      peer->flush();
    }
    return uids;
  }
  // How often each UID is among Ann's received messages on disk.
  std::map<std::string, int> storedOnDisk() {
    std::map<std::string, int> stored;
    for (const Attributes& row : onDisk(MessRec, ann_)) ++stored[row.at("UID")];
    return stored;
  }
  std::string journalPath() {
    return DataJournal(modGenApplicationSetting::GetFileSourceFolder(
                           modGenApplicationSetting::kUserDataFile, "D008.dat",
                           ProgramTestEnvironment::accountField(ann_, modLocalUserFunctions::kLocalUserPA))
                           .FullPath,
                       true)
        .path();
  }

  // The arrivals of messages among the activities.
  std::size_t arrivals() const {
    return static_cast<std::size_t>(std::count_if(
        activities.begin(), activities.end(),
        [](const std::string& entry) { return entry.rfind("2|", 0) == 0; }));
  }

  PeerConnections connections_;
  int sent_ = 0;
};

TEST_F(TurnDeliveries, ShareOneSyncAndAreAnsweredOnlyOnceOnDisk) {
  for (int count = 1; count <= PeerConnections::kMaxPerAddress; ++count) {
    SCOPED_TRACE("connections: " + std::to_string(count));
    const auto peers = checkedPeers(count);
    const std::string journal = journalPath();
    int syncs = 0;
    bool answeredBeforeSync = false;
    std::vector<std::string> uids;
    {
      const platform::FileDoorWatch watch([&](platform::FileDoorStep step, const std::string& path) {
        if (step != platform::FileDoorStep::kSynced || path != journal) return;
        ++syncs;
        for (const auto& peer : peers) answeredBeforeSync = answeredBeforeSync || peer->unread() > 0;
      });
      uids = sendMessages(peers);
      for (const auto& peer : peers) EXPECT_EQ(ScriptedPeer::attribute(peer->next(), "V"), "1200");
    }
    EXPECT_EQ(syncs, 1);
    EXPECT_FALSE(answeredBeforeSync);
    const std::map<std::string, int> stored = storedOnDisk();
    for (const std::string& uid : uids) EXPECT_EQ(stored.count(uid) ? stored.at(uid) : 0, 1) << uid;
    if (HasFailure()) return;
  }
}

// When the sync fails, no delivery of the turn is answered or kept, and
// each arrives once when its sender tries again.
TEST_F(TurnDeliveries, AreTakenBackUnansweredWhenTheSyncFails) {
  const std::string journal = journalPath();
  for (const int count : {1, 2, PeerConnections::kMaxPerAddress}) {
    SCOPED_TRACE("connections: " + std::to_string(count));
    const auto peers = checkedPeers(count);
    int appends = 0;
    // Once every delivery is written, the journal's name no longer leads to
    // a file that can be synced.
    std::optional<DataJournal::StepHook> cut(std::in_place, [&](DataJournal::Step step) {
      if (step != DataJournal::Step::kAppend || ++appends != count) return;
      std::filesystem::rename(journal, journal + ".aside");
      std::filesystem::create_symlink(journal + ".aside", journal);
    });
    const std::size_t announced = arrivals();
    const std::vector<std::string> uids = sendMessages(peers);
    const auto ended = [&] {
      for (const auto& peer : peers) {
        if (peer->texts().size() > 3) return true;
        if (!peer->closed()) return false;
      }
      return true;
    };
    ScriptedPeer::waitFor(ended);
    for (const auto& peer : peers) {
      EXPECT_TRUE(peer->closed());
      EXPECT_EQ(peer->texts().size(), 3u) << "answered";
    }
    cut.reset();
    std::filesystem::remove(journal);
    std::filesystem::rename(journal + ".aside", journal);
    for (const std::string& uid : uids) {
      EXPECT_FALSE(PoolLoan(MessRec)->XMLDocLinked()->firstRowWhere("M", "UID", uid)) << uid;
    }
    EXPECT_EQ(arrivals(), announced) << "announced";

    sent_ -= count;
    const auto again = checkedPeers(count);
    ASSERT_EQ(sendMessages(again), uids);
    for (const auto& peer : again) EXPECT_EQ(ScriptedPeer::attribute(peer->next(), "V"), "1200");
    const std::map<std::string, int> stored = storedOnDisk();
    for (const std::string& uid : uids) EXPECT_EQ(stored.count(uid) ? stored.at(uid) : 0, 1) << uid;
    EXPECT_EQ(arrivals(), announced + uids.size());
    if (HasFailure()) return;
  }
}

// Each request that stores something, met by a full disk and then tried
// again once room returns: whatever an answer says was stored is on disk,
// the retry's "nothing left to do" too, for the logged-in account whose
// rows the failed try may have changed in memory.
TEST_F(Requests, WhatAnAnswerSaysIsStoredIsOnDiskThroughAFullDiskAndTheRetry) {
  struct Row {
    const char* request;
    int code;
    // What the account holds before the request.
    std::function<void(const std::string& uid)> before;
    std::function<std::string(const std::string& uid)> value;
    // Whether the disk holds what the request asks.
    std::function<bool(const std::string& uid)> stored;
  };
  const auto statusOfBob = [this](int32_t classType) {
    return [this, classType](const std::string& uid) {
      return annsRow(classType, uid)["U:" + std::string(kBob)] == "100";
    };
  };
  const auto gone = [this](int32_t classType) {
    return [this, classType](const std::string& uid) { return annsRow(classType, uid).empty(); };
  };
  const auto received = [this](int32_t classType) {
    return [this, classType](const std::string& uid) {
      ASSERT_EQ(code(send(1200, kBob, ann_, uid, message(uid, kBob))), "1200");
      if (classType == MessRec) return;
      PoolLoan from(MessRec);
      PoolLoan to(classType);
      to->AddRow(from->XMLDocLinked()->firstRowWhere("M", "UID", uid));
      to->SaveXMLDoc();
      from->Delete(false, 0, uid, true);
    };
  };
  const std::vector<Row> table = {
      {"a delivery", 1200, [](const std::string&) {},
       [](const std::string& uid) { return message(uid, kBob); },
       [this](const std::string& uid) { return !annsRow(MessRec, uid).empty(); }},
      {"a read notice of a sent message", 1400, [](const std::string& uid) { addSentMessage(MessSent, uid); },
       [](const std::string&) { return std::string(" 100"); }, statusOfBob(MessSent)},
      {"a read notice of a message in the history", 1400,
       [](const std::string& uid) { addSentMessage(MessHist, uid); },
       [](const std::string&) { return std::string(" 100"); }, statusOfBob(MessHist)},
      {"a recall of a received message", 1500, received(MessRec),
       [](const std::string&) { return std::string(); }, gone(MessRec)},
      {"a recall of a message in the history", 1500, received(MessHist),
       [](const std::string&) { return std::string(); }, gone(MessHist)},
      {"a sender's identity", 400, [](const std::string&) {},
       [](const std::string&) { return identity(kBob, kBobAddress, "7"); },
       [this](const std::string&) { return annsRow(User, kBob)["CS"] == "7"; }},
  };
  ASSERT_EQ(code(send(200, kBob, ann_)), "200");
  ASSERT_EQ(code(send(300, kBob, ann_, "", "5")), "300");
  int n = 0;
  for (const Row& row : table) {
    SCOPED_TRACE(row.request);
    const std::string uid = "DDDD0000-0000-0000-0000-00000000000" + std::to_string(n++);
    row.before(uid);
    const std::string success = std::to_string(row.code);
    for (const bool full : {true, false, false}) {
      SCOPED_TRACE(full ? "the disk full" : "room again");
      std::string answer;
      {
        std::optional<FileSizeLimit> limit;
        if (full) limit.emplace(0);
        answer = code(send(row.code, kBob, ann_, uid, row.value(uid)));
      }
      if (!full) {
        EXPECT_EQ(answer, success);
      }
      if (answer == success) {
        EXPECT_TRUE(row.stored(uid)) << "answered " << answer << ", not on disk";
      }
    }
  }
  EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Requests, AnotherAccountReceivesInItsOwnFiles) {
  ASSERT_EQ(deliver(carl_, message(kMessage, kBob, "-1")), "1200");
  std::vector<Attributes> stored = onDisk(MessRec, carl_);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["ST"], "-1");
  EXPECT_TRUE(onDisk(MessRec, ann_).empty());
  EXPECT_TRUE(board.empty());
  ASSERT_EQ(activities.size(), 1u);
  EXPECT_EQ(activities[0], "2|Message received from Bob Smith.|3|" + std::string(kMessage) + "|" + carl_);
  EXPECT_EQ(code(send(1200, kBob, carl_, kMessage, message(kMessage, kBob))), "1200");
  EXPECT_EQ(onDisk(MessRec, carl_).size(), 1u);
}

TEST_F(Requests, AutomaticReplyOncePerSenderAndNeverToAnAutomaticReply) {
  autoReply = true;
  modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage = true;
  ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "1200");
  EXPECT_EQ(onDisk(MessRec, ann_).at(0)["ST"], "60");
  EXPECT_TRUE(board.empty());
  std::vector<pugi::xml_node> actions = queuedActions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_STREQ(actions[0].attribute("AT").value(), "1200");
  EXPECT_STREQ(actions[0].attribute("RUID").value(), kBob);
  EXPECT_NE(std::string(actions[0].attribute("V").value()).find("Away today"), std::string::npos);
  EXPECT_NE(std::string(actions[0].attribute("V").value()).find("ST=\"-1\""), std::string::npos);

  const std::string second = "AAAA0000-0000-0000-0000-000000000002";
  EXPECT_EQ(code(send(1200, kBob, ann_, second, message(second, kBob))), "1200");
  EXPECT_EQ(queuedActions().size(), 1u) << "a second reply within the hour";

  platform::advanceFixedTime(qint64{2} * 3600 * 1000);
  const std::string third = "AAAA0000-0000-0000-0000-000000000003";
  EXPECT_EQ(code(send(1200, kBob, ann_, third, message(third, kBob, "-1", "1"))), "1200");
  EXPECT_EQ(onDisk(MessRec, ann_).at(2)["ST"], "-1");
  EXPECT_EQ(queuedActions().size(), 1u) << "an automatic reply is not answered";
  EXPECT_EQ(board, std::vector<std::string>{"4:" + third}) << "priority 1 is boarded";
}

TEST_F(Requests, DeliveriesWithoutAnAcceptedSenderOrOfForeignMessagesAreRefused) {
  // No sender check on this connection.
  EXPECT_EQ(code(send(1200, kBob, ann_, kMessage, message(kMessage, kBob))), "100301");
  // Checked for another account.
  EXPECT_EQ(code(send(300, kBob, carl_, "", "5")), "300");
  EXPECT_EQ(code(send(1200, kBob, ann_, kMessage, message(kMessage, kBob))), "100301");
  EXPECT_EQ(code(send(300, kBob, ann_, "", "5")), "300");
  const std::vector<std::string> foreign = {
      message(kMessage, kEve),                            // somebody else's message
      message("aaaa0000-0000-0000-0000-000000000001", kBob),  // no UID of ours
      message("", kBob),
      "<X UID=\"" + std::string(kMessage) + "\" SD=\"" + kBob + "\"/>",
      message(kMessage, kBob, "1", "2", " PW=\"x\""),
      "<M UID=\"" + std::string(kMessage) + "\" SD=\"" + kBob + "\"><Z/></M>",
      "<M UID=\"" + std::string(kMessage) + "\" SD=\"" + kBob + "\" ST=\"1\" ST=\"2\"/>",
      "not xml",
  };
  for (const std::string& text : foreign) {
    EXPECT_EQ(code(send(1200, kBob, ann_, kMessage, text)), "101200") << text;
  }
  EXPECT_TRUE(onDisk(MessRec, ann_).empty());
  EXPECT_TRUE(activities.empty());
}

TEST_F(Requests, SenderCheckFollowsTheListOptionAndIgnoresAChangedCounter) {
  EXPECT_EQ(code(send(300, kBob, ann_, "", "5")), "300");
  EXPECT_EQ(code(send(300, kBob, ann_, "", "9")), "100300");
  EXPECT_EQ(code(send(300, kEve, ann_, "", "1")), "100300");
  EXPECT_EQ(code(send(300, "", ann_, "", "1")), "100300");
  EXPECT_EQ(code(send(300, kBob, kNobody, "", "5")), "100200");
  modLocalUserFunctions::LocalUserOptions.AcceptMessFileFromUserInMyUserList = true;
  EXPECT_EQ(code(send(300, kBob, ann_, "", "9")), "100300") << "a new address raises CS";
  EXPECT_EQ(code(send(300, kEve, ann_, "", "1")), "100301");
  EXPECT_EQ(code(send(1200, kEve, ann_, kMessage, message(kMessage, kEve))), "100301");
  EXPECT_EQ(code(send(300, "", ann_, "", "1")), "100301");
  // Nor can the refused sender put himself on the list.
  const std::string eve = "<U LN=\"E\" FN=\"Eve\" UID=\"" + std::string(kEve) +
                          "\" IP=\"127.0.0.79\" CN=\"EVEPC\" CS=\"1\"/>";
  EXPECT_EQ(code(send(400, kEve, ann_, "", eve)), "401");
  EXPECT_EQ(onDisk(User, ann_).size(), 1u);
  EXPECT_EQ(code(send(300, kEve, ann_, "", "1")), "100301");
}

TEST_F(Requests, IdentityRewritesOnlyTheRequestersOwnRow) {
  const std::string bobMoved = identity(kBob, kBobNewAddress, "6");
  EXPECT_EQ(code(send(400, kEve, ann_, "", bobMoved)), "401");
  EXPECT_EQ(code(send(400, kBob, carl_, "", bobMoved)), "400");
  EXPECT_EQ(onDisk(User, ann_).at(0)["IP"], "127.0.0.77");
  EXPECT_EQ(onDisk(User, carl_).at(0)["IP"], kBobNewAddress);
  connection.PeerAddress = kBobNewAddress;
  EXPECT_EQ(code(send(400, kBob, carl_, "", bobMoved)), "400") << "equal to the stored row";
  EXPECT_EQ(code(send(400, kBob, ann_, "", "")), "101300");
  EXPECT_EQ(code(send(400, kBob, ann_, "", "<U broken")), "401");
  EXPECT_EQ(code(send(400, kBob, kNobody, "", bobMoved)), "401");
  EXPECT_EQ(code(send(400, kBob, carl_, "", "<R>" + identity(kBob, kBobNewAddress, "7") + "</R>")),
            "400")
      << "the identity inside an element";
  EXPECT_EQ(onDisk(User, carl_).at(0)["CS"], "7");
}

TEST_F(Requests, RecallDeletesOnlyTheSendersMessageAndSavesIt) {
  ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "1200");
  ASSERT_EQ(deliver(carl_, message(kMessage, kBob)), "1200");
  EXPECT_EQ(code(send(1500, kEve, ann_, kMessage)), "1500");
  EXPECT_EQ(onDisk(MessRec, ann_).size(), 1u) << "a co-recipient cannot recall";
  synchronized.clear();
  EXPECT_EQ(code(send(1500, kBob, ann_, kMessage)), "1500");
  EXPECT_TRUE(onDisk(MessRec, ann_).empty());
  EXPECT_EQ(synchronized, std::vector<int32_t>{2});
  EXPECT_EQ(code(send(1500, kBob, carl_, kMessage)), "1500");
  EXPECT_TRUE(onDisk(MessRec, carl_).empty()) << "saved for an account that is not logged in";
  EXPECT_EQ(code(send(1500, kBob, carl_, kNobody)), "1500");
  EXPECT_EQ(code(send(1500, kBob, kNobody, kMessage)), "100200");

  // Already opened and moved to the history.
  const std::string second = "AAAA0000-0000-0000-0000-000000000002";
  EXPECT_EQ(code(send(1200, kBob, carl_, second, message(second, kBob))), "1200");
  {
    const auto received = modGlobalFunctions::GetUserDataObject(MessRec, carl_, true);
    const auto history = modGlobalFunctions::GetUserDataObject(MessHist, carl_, true);
    history->AddRow(received->XMLDocLinked()->rootElement().first_child());
    history->SaveXMLDoc();
    received->DeleteAll(true);
  }
  EXPECT_EQ(code(send(1500, kBob, carl_, second)), "1500");
  EXPECT_TRUE(onDisk(MessHist, carl_).empty());
}

TEST_F(Requests, StatusIsOnlyOpenedByItsOwnRecipientAndNeverLowered) {
  {
    PoolLoan sent(MessSent);
    sent->CreateNewRow(false, 0);
    sent->SetFields({0, 1, 2}, {kMessage, ann_, "1"});
    sent->AddCurrentRow();
    sent->AddSubRow(0, kMessage, 0, kBob);
    sent->SubRowSetField(1, "50");
    sent->AddSubRow(0, kMessage, 0, kEve);
    sent->SubRowSetField(1, "220");
    sent->SaveXMLDoc();
  }
  EXPECT_EQ(code(send(1400, kBob, ann_, kMessage, "400")), "1400");
  EXPECT_EQ(code(send(1400, kNobody, ann_, kMessage, " 100")), "1400");
  EXPECT_EQ(code(send(1400, kEve, ann_, kMessage, " 100")), "1400");
  EXPECT_EQ(code(send(1400, kBob, ann_, kMessage, "abc")), "1400");
  Attributes row = onDisk(MessSent, ann_).at(0);
  EXPECT_EQ(row["U:" + std::string(kBob)], "50");
  EXPECT_EQ(row["U:" + std::string(kEve)], "220");
  EXPECT_EQ(row.count("U:" + std::string(kNobody)), 0u);
  EXPECT_EQ(code(send(1400, kBob, ann_, kMessage, " 100")), "1400");
  EXPECT_EQ(onDisk(MessSent, ann_).at(0)["U:" + std::string(kBob)], "100");
  EXPECT_EQ(code(send(1400, kBob, kNobody, kMessage, " 100")), "100200");
}

TEST_F(Requests, UserListsAndInformationReadBackWhole) {
  Attributes users = attributesOf(send(1000, kBob, ""));
  ASSERT_EQ(users["V"], "1000");
  pugi::xml_document list;
  ASSERT_TRUE(list.load_string(users["CO"].c_str())) << users["CO"];
  EXPECT_STREQ(list.document_element().name(), "TVR");
  std::vector<std::string> names;
  for (const pugi::xml_node u : list.document_element().children("U")) {
    names.push_back(u.attribute("LN").value());
    EXPECT_FALSE(u.attribute("PW")) << "no password leaves the computer";
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Lee & Co", "Ode"}));

  Attributes info = attributesOf(send(1300, kBob, ann_));
  ASSERT_EQ(info["V"], "1300");
  pugi::xml_document identity;
  ASSERT_TRUE(identity.load_string(info["CO"].c_str()));
  EXPECT_STREQ(identity.document_element().name(), "R");
  EXPECT_EQ(identity.document_element().attribute("UID").value(), ann_);
  EXPECT_EQ(code(send(1300, kBob, kNobody)), "100200");

  Attributes directory = attributesOf(send(1100, kBob, carl_));
  ASSERT_EQ(directory["V"], "1100");
  EXPECT_NE(directory["CO"].find(kBob), std::string::npos);
  modLocalUserFunctions::LocalUserOptions.ShareMyUserList = false;
  EXPECT_EQ(send(1100, kBob, ann_),
            "<R SD=\"" + ann_ + "\" RE=\"" + ann_ + "\" ST=\"\" V=\"101100\"/>");
  EXPECT_EQ(code(send(1100, kBob, kNobody)), "100200");
  EXPECT_EQ(code(send(200, kBob, kNobody)), "100200");
  EXPECT_EQ(code(send(200, kBob, "")), "100200");
}

}  // namespace

namespace {

using Answer = ScriptedPeer::Answer;

// Answers a check of Bob's address as a copy would: 200 for the recipient
// check, `info` for request 1300.
ScriptedPeer::Script answering(int recipient, const Answer& info) {
  return [recipient, info](const std::string& request) -> Answer {
    const std::string code = ScriptedPeer::attribute(request, "AT");
    if (code == "200") return {ScriptedPeer::reply(recipient), {}, false};
    if (code == "1300") return info;
    return {};
  };
}

Answer info(int code, const std::string& content = {}) {
  return {ScriptedPeer::reply(code, content), {}, false};
}

TEST_F(Requests, AnImpostorChangesNothingWhileTheRealPersonAnswersAtHisAddress) {
  const std::string sent = "AAAA0000-0000-0000-0000-00000000005E";
  const std::string forged = "AAAA0000-0000-0000-0000-0000000000F0";
  ASSERT_EQ(deliver(ann_, message(kMessage, kBob)), "1200");
  addSentMessage(MessSent, sent);
  ScriptedPeer realBob(kBobAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(realBob.listening());
  realBob.setScript(answering(200, info(1300, "<R" + identity(kBob, kBobAddress, "5").substr(2))));
  queue();

  struct Row {
    const char* attack;
    int code;
    std::string OUID, V;
    const char* reply;
  };
  const std::vector<Row> attacks = {
      {"a sender check with Bob's counter", 300, "", "5", "100300"},
      {"a message in Bob's name after that check", 1200, forged, message(forged, kBob), "100301"},
      {"Bob renamed, at his own address", 400, "",
       "<U LN=\"Smith\" FN=\"Mallory\" UID=\"" + std::string(kBob) + "\" IP=\"" + kBobAddress +
           "\" CN=\"BOBPC\" CS=\"9\"/>",
       "101300"},
      {"Bob moved to the impostor, counter lowered", 400, "", identity(kBob, kImpostorAddress, "1"),
       "101300"},
      {"Bob opened Ann's message", 1400, sent, " 100", "100001"},
      {"Bob recalls his message", 1500, kMessage, "", "101500"},
  };
  ConnectionState impostor;
  impostor.PeerAddress = kImpostorAddress;
  for (const Row& row : attacks) {
    const std::string text = request(row.code, kBob, ann_, row.OUID, row.V);
    EXPECT_EQ(code(ProcessRequestedAction(text, impostor)), row.reply) << row.attack;
  }
  // The one check the identity started: Bob answers at his own address.
  ASSERT_EQ(queuedActions().size(), 1u);
  workQueue();
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return realBob.requestCodes().size() == 3; }));
  EXPECT_EQ(realBob.requestCodes(), (std::vector<std::string>{"200", "1300", "E"}));
  EXPECT_EQ(code(ProcessRequestedAction(
                request(400, kBob, ann_, "", identity(kBob, kImpostorAddress, "9")), impostor)),
            "101300");
  EXPECT_TRUE(queuedActions().empty()) << "no second check while Bob answered lately";

  Attributes bob = annsRow(User, kBob);
  EXPECT_EQ(bob["IP"], kBobAddress);
  EXPECT_EQ(bob["CS"], "5");
  EXPECT_EQ(bob["FN"], "Bob");
  ASSERT_EQ(onDisk(MessRec, ann_).size(), 1u) << "neither recalled nor forged";
  EXPECT_EQ(onDisk(MessSent, ann_).at(0)["U:" + std::string(kBob)], "50");

  // Bob himself, from his address, is served.
  EXPECT_EQ(code(send(300, kBob, ann_, "", "5")), "300");
  EXPECT_EQ(code(send(1500, kBob, ann_, kMessage)), "1500");
  EXPECT_TRUE(onDisk(MessRec, ann_).empty());
}

TEST_F(Requests, AMovedPersonIsFollowedOnceHisOldAddressNoLongerAnswersForHim) {
  const std::string eve = identity(kEve, kBobAddress, "2");
  struct Row {
    const char* oldAddress;
    int greeting;  // 0: nobody listens there any more
    ScriptedPeer::Script script;
    bool followed;
    const char* claimed = kBobNewAddress;  // the address his identity names
    const char* meanwhile = nullptr;       // put on file while the check waits
  };
  const std::vector<Row> table = {
      {"nobody listens", 0, {}, true},
      {"a copy without his account", 100, answering(100200, {}), true},
      {"another person answers", 100, answering(200, info(1300, eve)), true},
      {"his account there is gone", 100, answering(200, info(101300)), true},
      {"the answer is no identity", 100, answering(200, info(1300, "<R/>")), true},
      {"a copy there refuses us", 100101, {}, false},
      {"he still answers there", 100, answering(200, info(1300, identity(kBob, kBobAddress, "5"))),
       false},
      {"he answers inside an element", 100,
       answering(200, info(1300, "<R>" + identity(kBob, kBobAddress, "5") + "</R>")), false},
      {"his address on file changed meanwhile", 0, {}, false, kBobNewAddress, kEveAddress},
      {"his identity names another address", 0, {}, false, kImpostorAddress},
      {"he moved after all", 0, {}, true},
  };
  int delivered = 0;
  for (const Row& row : table) {
    SCOPED_TRACE(row.oldAddress);
    {
      PoolLoan users(User);
      users->SetRowFieldByKey(0, kBob, 7, kBobAddress);
      users->SetRowFieldByKey(0, kBob, 1, "5");
      users->SaveXMLDoc();
    }
    platform::advanceFixedTime(qint64{IdentityChecks::kRecheckSeconds} * 1000);
    std::optional<ScriptedPeer> old;
    if (row.greeting != 0) {
      old.emplace(kBobAddress, clsActionManager::kPeerPort, row.greeting);
      ASSERT_TRUE(old->listening());
      old->setScript(row.script);
    }
    connection = {};
    connection.PeerAddress = kBobNewAddress;
    EXPECT_EQ(code(send(300, kBob, ann_, "", "6")), "100300");
    EXPECT_EQ(code(send(400, kBob, ann_, "", identity(kBob, row.claimed, "6"))), "101300");
    if (row.meanwhile != nullptr) {
      PoolLoan users(User);
      users->SetRowFieldByKey(0, kBob, 7, row.meanwhile);
      users->SaveXMLDoc();
    }
    workQueue();
    Attributes bob = annsRow(User, kBob);
    EXPECT_EQ(bob["IP"], row.meanwhile != nullptr ? row.meanwhile
                         : row.followed          ? kBobNewAddress
                                                 : kBobAddress);
    EXPECT_EQ(bob["CS"], row.followed ? "6" : "5");

    // The sender's next try.
    const std::string uid = "BBBB0000-0000-0000-0000-00000000000" + std::to_string(delivered);
    connection = {};
    connection.PeerAddress = kBobNewAddress;
    EXPECT_EQ(code(send(300, kBob, ann_, "", "6")), row.followed ? "300" : "100300");
    EXPECT_EQ(code(send(1200, kBob, ann_, uid, message(uid, kBob))),
              row.followed ? "1200" : "100301");
    if (row.followed) ++delivered;
  }
  EXPECT_EQ(onDisk(MessRec, ann_).size(), static_cast<std::size_t>(delivered));
}

// Claims against made-up people: one check at a time for the claims of one
// address, so that a real move claimed meanwhile waits behind one check at
// most; sixteen checks wait at most; holds whose checks never settle end.
TEST_F(Requests, HostileClaimsNeitherPileUpNorHoldBackARealMove) {
  queue();
  const auto claim = [&](const std::string& person, const std::string& from) {
    ConnectionState claimant;
    claimant.PeerAddress = from;
    ProcessRequestedAction(request(400, person, ann_, "", identity(person, from, "6")), claimant);
    return queuedActions().size();
  };
  std::vector<std::string> madeUp;
  for (int i = 10; i < 27; ++i) {
    madeUp.push_back("CCCC0000-0000-0000-0000-0000000000" + std::to_string(i));
    addContact(ann_, madeUp.back(), "5", "Made", "Up", kImpostorAddress);
  }
  for (const std::string& person : madeUp) claim(person, kEveAddress);
  ASSERT_EQ(claim(kBob, kBobNewAddress), 2u);
  // Taken out by hand, the two never settle.
  while (!queuedActions().empty()) {
    queue().DeleteAction(queuedActions()[0].attribute("UID").value(), true);
  }
  platform::advanceFixedTime(qint64{IdentityChecks::kRecheckSeconds} * 1000);
  for (std::size_t i = 0; i < madeUp.size(); ++i) claim(madeUp[i], "127.0.1." + std::to_string(i));
  EXPECT_EQ(queuedActions().size(), 16u);
  platform::advanceFixedTime(qint64{IdentityChecks::kRecheckSeconds} * 1000);
  EXPECT_EQ(claim(kBob, "127.0.1.99"), 16u) << "the holds ended, their checks still wait";
}

TEST_F(Requests, AReadNoticeReachesTheSentMessageWhereverItIsAndOnlyFromItsRecipient) {
  addContact(ann_, kEve, "1", "Eve", "Ray", kEveAddress);
  struct Row {
    const char* notice;
    int32_t kept;  // MessSent or MessHist
    std::string SUID, address;
    const char* reply;
    const char* status;  // of Bob's copy and so of his one-recipient message
  };
  const std::vector<Row> table = {
      {"Bob opened it", MessSent, kBob, kBobAddress, "1400", "100"},
      {"Bob opened it after it went to the history", MessHist, kBob, kBobAddress, "1400", "100"},
      {"a stranger's notice", MessSent, kEve, kEveAddress, "1400", "50"},
      {"a stranger's notice, in the history", MessHist, kEve, kEveAddress, "1400", "50"},
      {"an unknown stranger's notice", MessSent, kNobody, kImpostorAddress, "1400", "50"},
      {"Bob's notice from another address", MessHist, kBob, kImpostorAddress, "100001", "50"},
  };
  int n = 0;
  for (const Row& row : table) {
    SCOPED_TRACE(row.notice);
    const std::string uid = "CCCC0000-0000-0000-0000-00000000000" + std::to_string(n++);
    addSentMessage(row.kept, uid);
    connection.PeerAddress = row.address;
    EXPECT_EQ(code(send(1400, row.SUID, ann_, uid, " 100")), row.reply);
    Attributes message = annsRow(row.kept, uid);
    EXPECT_EQ(message["U:" + std::string(kBob)], row.status);
    EXPECT_EQ(message["ST"], row.status);
  }
}

}  // namespace
