// The action queue survives SIGKILL: a queue_worker process works off 1,000
// queued deliveries to a scripted peer and is killed at random moments, many
// of them in the middle of a conversation. After every kill the store on
// disk must still hold each action that the peer has not accepted, and a
// last run must work off everything. A delivery may be repeated after a
// kill (the peer accepted it, the worker died before it removed it), never
// lost.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>

#include "ChildProcess.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScriptedPeer.h"
#include "clsActionManager.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kPeerAddress = "127.0.0.41";
constexpr const char* kWorkerAddress = "127.0.0.42";
constexpr int kActions = 1000;
constexpr int kKills = 15;
constexpr int kMinRunMs = 20;
constexpr int kMaxRunMs = 400;
constexpr int kMaxDeliveriesBeforeKill = 20;
constexpr int kStartLimitMs = 15000;
constexpr int kLastRunLimitMs = 30000;
// Killing stops before fewer actions than this are left for the last run.
constexpr std::size_t kLastRunActions = 150;

struct StoredAction {
  std::string status;  // "AS"
  std::string next;    // "NCTS"
};

// The action rows of the account's store as they are on disk, by UID.
std::map<std::string, StoredAction> storedActions(const std::string& accountUID) {
  const modGlobalFunctions::GenObjectRef store =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::Action, accountUID, true);
  std::map<std::string, StoredAction> rows;
  for (const pugi::xml_node row : store->XMLDocLinked()->rootElement().children("A")) {
    rows[row.attribute("UID").value()] = {row.attribute("AS").value(),
                                          row.attribute("NCTS").value()};
  }
  return rows;
}

std::size_t endTexts(const ScriptedPeer& peer) {
  std::size_t count = 0;
  for (const std::string& request : peer.requests()) count += request == modWireFrames::kEndText;
  return count;
}

class QueueCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    workerPath_ = builtProgram("tests/queue_worker");
    ASSERT_TRUE(QFileInfo(workerPath_).isExecutable()) << workerPath_.toStdString();
  }

  void TearDown() override { worker_.kill(); }

  void start(const QStringList& arguments) {
    worker_.start(workerPath_, arguments,
                  copyEnvironment(QString::fromStdString(environment_.root()), kWorkerAddress));
  }

  ProgramTestEnvironment environment_;
  RecordingMessageBox boxes_;
  QString workerPath_;
  ChildProcess worker_;
};

TEST_F(QueueCrashTest, EveryActionSurvivesKillsAndIsDeliveredInTheEnd) {
  QElapsedTimer clock;
  clock.start();
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(peer.listening()) << "cannot listen on " << kPeerAddress;
  std::map<std::string, int> delivered;  // action UID -> times accepted
  std::vector<std::string> unexpected;
  int killAtDelivery = 0;  // counts the run's deliveries down to the one that kills
  peer.setScript([&](const std::string& request) {
    const std::string code = ScriptedPeer::attribute(request, "AT");
    ScriptedPeer::Answer answer;
    if (code == "200" || code == "300" || code == "1200") {
      answer.reply = ScriptedPeer::reply(std::stoi(code));
    } else {
      unexpected.push_back(request);
      answer.reply = ScriptedPeer::reply(100000);
      answer.hangUp = true;
    }
    if (code == "1200") {
      ++delivered[ScriptedPeer::attribute(request, "UID")];
      // Dies with the delivery accepted and before the answer.
      if (killAtDelivery > 0 && --killAtDelivery == 0) worker_.process.kill();
    }
    return answer;
  });

  const std::string account = ProgramTestEnvironment::addAccount("QUEUE", "pw");
  start({"seed", QString::number(kActions), kPeerAddress});
  ASSERT_TRUE(worker_.process.waitForFinished(kStartLimitMs));
  ASSERT_EQ(worker_.process.exitCode(), 0) << worker_.errors();
  std::set<std::string> seeded;
  for (const auto& [uid, row] : storedActions(account)) {
    EXPECT_EQ(row.status, "10");
    seeded.insert(uid);
  }
  ASSERT_EQ(seeded.size(), static_cast<std::size_t>(kActions));
  const qint64 seedMs = clock.elapsed();

  unsigned seed = std::random_device{}();
  if (const char* fixed = std::getenv("TAVINOR_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
  std::printf("random seed %u (TAVINOR_CRASH_SEED replays it)\n", seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> runMs(kMinRunMs, kMaxRunMs);
  std::uniform_int_distribution<int> deliveries(1, kMaxDeliveriesBeforeKill);

  // Kills at random moments; every third one at a random delivery of the
  // run, once the peer has accepted it. Killing stops early when a fast
  // machine leaves too little for the last run.
  std::size_t left = seeded.size();
  int kills = 0;
  int midConversation = 0;
  std::size_t cutShort = 0;  // conversations that never sent their end text
  int inProgressRows = 0;
  while (kills < kKills && left > kLastRunActions) {
    ++kills;
    SCOPED_TRACE("kill " + std::to_string(kills));
    start({"run"});
    ASSERT_TRUE(waitUntil([&] { return worker_.read().find("ready") != std::string::npos ||
                                       worker_.process.state() == QProcess::NotRunning; },
                          kStartLimitMs));
    ASSERT_EQ(worker_.process.state(), QProcess::Running) << worker_.out << worker_.errors();
    killAtDelivery = kills % 3 == 0 ? deliveries(random) : 0;
    waitUntil([&] { return worker_.process.state() == QProcess::NotRunning; },
              killAtDelivery > 0 ? kStartLimitMs : runMs(random));
    killAtDelivery = 0;
    // A fast machine may work the rest off before the kill comes.
    const bool workedOff = worker_.process.state() == QProcess::NotRunning &&
                           worker_.process.exitStatus() == QProcess::NormalExit;
    worker_.kill();
    if (workedOff) {
      EXPECT_EQ(worker_.process.exitCode(), 0) << worker_.errors();
    } else {
      ASSERT_EQ(worker_.process.exitStatus(), QProcess::CrashExit);
    }
    waitUntil([] { return false; }, 20);  // what it sent before it died still arrives
    // Every conversation that the worker finishes ends with the end text.
    const std::size_t cutNow = static_cast<std::size_t>(peer.connections()) - endTexts(peer);
    const bool talking = cutNow > cutShort;
    cutShort = cutNow;

    const std::map<std::string, StoredAction> rows = storedActions(account);
    bool anyInProgress = false;
    for (const auto& [uid, row] : rows) {
      EXPECT_TRUE(seeded.count(uid)) << "unknown row " << uid;
      // Nothing failed, so nothing may wait for a later try; a settled row
      // was delivered.
      EXPECT_TRUE(row.status == "10" || row.status == "20" || (row.status == "50" && row.next.empty()) ||
                  (row.status == "100" && delivered.count(uid)))
          << uid << " AS " << row.status << " NCTS " << row.next;
      anyInProgress = anyInProgress || row.status == "20";
    }
    std::vector<std::string> lost;
    for (const std::string& uid : seeded) {
      if (!rows.count(uid) && !delivered.count(uid)) lost.push_back(uid);
    }
    EXPECT_TRUE(lost.empty()) << lost.size() << " actions lost, " << lost.front() << " first";
    EXPECT_LE(rows.size(), left);
    left = rows.size();
    midConversation += talking ? 1 : 0;
    inProgressRows += anyInProgress ? 1 : 0;
    if (HasFailure() || workedOff) break;
  }
  ASSERT_FALSE(HasFailure());
  EXPECT_LT(left, seeded.size()) << "no kill came after any delivery";
  EXPECT_GE(midConversation, 3) << "too few kills landed inside a conversation";
  const qint64 killsMs = clock.elapsed() - seedMs;

  start({"run"});
  const bool ended =
      waitUntil([&] { return worker_.process.state() == QProcess::NotRunning; }, kLastRunLimitMs);
  const std::string& printed = worker_.read();
  ASSERT_TRUE(ended) << "the queue was not worked off; it printed last: "
                     << printed.substr(printed.size() > 100 ? printed.size() - 100 : 0);
  EXPECT_EQ(worker_.process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(worker_.process.exitCode(), 0) << worker_.errors();
  const qint64 lastRunMs = clock.elapsed() - seedMs - killsMs;

  EXPECT_TRUE(storedActions(account).empty());
  int repeated = 0;
  for (const auto& [uid, times] : delivered) {
    EXPECT_TRUE(seeded.count(uid)) << "delivered, but never queued: " << uid;
    repeated += times - 1;
  }
  EXPECT_EQ(delivered.size(), seeded.size()) << "not every action was delivered";
  EXPECT_TRUE(unexpected.empty()) << unexpected.front();
  // A damaged store would have been set aside when it was loaded.
  const QDir folder(QString::fromStdString(environment_.dataFolder() + "/QUEUE"));
  EXPECT_TRUE(folder.entryList({"*.bad-*"}).isEmpty());
  EXPECT_TRUE(boxes_.shown().empty()) << boxes_.shown().front().text;
  std::printf("%d kills (%d inside a conversation, %d with a row in progress), %d deliveries "
              "repeated, %d connections; seeding %lld ms, kills %lld ms, last run %lld ms for "
              "%zu actions\n",
              kills, midConversation, inProgressRows, repeated, peer.connections(),
              static_cast<long long>(seedMs), static_cast<long long>(killsMs),
              static_cast<long long>(lastRunMs), left);
}

}  // namespace
