// Hostile peers against a real copy (message_peer, the program's libraries
// in a process of their own). Each row of the table attacks the copy; while
// the attack runs, the copy's resident size (read from /proc) must stay
// below the row's bound and a normal peer from another address must be
// greeted and answered; a row may check more of its own. The attacks are
// scaled down to a few seconds where the property still shows (a copy
// without the bounds grows far beyond every row's limit within them).
//
// A row is a name, the attack (which opens its connections through the
// Attack it is given) and its expectations, so further attacks are one
// more row.
#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "FramedClient.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "modFileTransfer.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kCopyAddress = "127.0.0.140";
constexpr const char* kCopyName = "HOST";
constexpr const char* kAttacker = "A77AC000-0000-4000-8000-000000000001";
constexpr const char* kNormal = "A77AC000-0000-4000-8000-000000000002";
constexpr int kStartMs = 20000;
// People in the copy's users directory, so that each answer to a request
// 1100 is large (about 100 KB).
constexpr int kPeople = 500;
constexpr qint64 kMiB = 1024 * 1024;
// Bytes an attacking connection keeps queued in this process.
constexpr qint64 kQueued = 256 * 1024;

std::string request(const std::string& code, const std::string& recipient, const std::string& V = {}) {
  return "<A AT=\"" + code + "\" SUID=\"" + kAttacker + "\" RUID=\"" + recipient + "\" V=\"" + V + "\"/>";
}

std::string framed(const std::string& text) {
  return modWireFrames::BuildFrames(text, true, true, modWireFrames::kMessageFrames, true);
}

// VmRSS of the process `pid` in KiB, 0 when it cannot be read.
qint64 residentKiB(qint64 pid) {
  QFile status(QString("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').front().toLongLong();
  }
  return 0;
}

// One attacking connection: writes what `next` gives (nothing when it
// returns ""), keeping at most kQueued bytes queued here; reads and drops
// what arrives unless it never reads.
class Flood {
 public:
  Flood(const QString& from, std::function<std::string()> next, bool reads) : next_(std::move(next)) {
    if (!reads) socket_.setReadBufferSize(1);
    QObject::connect(&socket_, &QTcpSocket::readyRead, [this, reads] {
      if (reads) socket_.readAll();
      greeted_ = true;
    });
    QObject::connect(&socket_, &QTcpSocket::connected, [this] { feed(); });
    QObject::connect(&socket_, &QTcpSocket::bytesWritten, [this] { feed(); });
    socket_.bind(QHostAddress(from));
    socket_.connectToHost(kCopyAddress, PeerConnections::kPeerPort);
  }
  void feed() {
    while (socket_.state() == QAbstractSocket::ConnectedState && socket_.bytesToWrite() < kQueued) {
      const std::string bytes = next_();
      if (bytes.empty()) return;
      socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
  }
  void write(const std::string& bytes) { socket_.write(bytes.data(), static_cast<qint64>(bytes.size())); }
  bool greeted() const { return greeted_; }

 private:
  QTcpSocket socket_;
  std::function<std::string()> next_;
  bool greeted_ = false;
};

// What a row's attack works with: the copy's account and the attacking
// connections, all closed when the row ends.
struct Attack {
  std::string account;
  std::string folder;  // of the copy's files
  std::vector<std::unique_ptr<Flood>> floods;
  std::vector<std::unique_ptr<FramedClient>> clients;
  std::vector<std::unique_ptr<QTimer>> timers;

  Flood& flood(const QString& from, std::function<std::string()> next, bool reads = true) {
    floods.push_back(std::make_unique<Flood>(from, std::move(next), reads));
    return *floods.back();
  }
  FramedClient& client(const std::string& from) {
    clients.push_back(std::make_unique<FramedClient>(kCopyAddress, PeerConnections::kPeerPort, from.c_str()));
    return *clients.back();
  }
  void every(int ms, std::function<void()> tick) {
    timers.push_back(std::make_unique<QTimer>());
    QObject::connect(timers.back().get(), &QTimer::timeout, std::move(tick));
    timers.back()->start(ms);
  }
};

// The same bytes again and again.
std::function<std::string()> repeated(std::string bytes) {
  return [bytes = std::move(bytes)] { return bytes; };
}

// Plain frames of one message text that stops after `bytes` without its
// last frame.
std::function<std::string()> unfinishedText(qint64 bytes) {
  const std::string piece(modWireFrames::kMaxPiece, 't');
  const std::string first = modWireFrames::BuildFrames(piece, true, false, modWireFrames::kMessageFrames, false);
  const std::string more = modWireFrames::BuildFrames(piece, false, false, modWireFrames::kMessageFrames, false);
  return [first, more, left = bytes / static_cast<qint64>(piece.size()), started = false]() mutable {
    if (left-- <= 0) return std::string();
    const bool wasStarted = std::exchange(started, true);
    return wasStarted ? more : first;
  };
}

struct Row {
  const char* name;
  std::function<void(Attack&)> attack;
  int attackMs;       // how long the attack runs before the normal peer comes
  qint64 residentMiB; // the copy's bound while it runs
  // What else must hold while the attack still runs (may be empty).
  std::function<void(Attack&)> expect;
};

class HostilePeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = QString::fromStdString(environment_.root()) + "/copy";
    makeAccount();
  }
  void TearDown() override { copy_.kill(); }

  // A fresh start of the copy, so that no row meets what an earlier one left.
  void startCopy() {
    copy_.kill();
    copy_.start(builtProgram("tests/message_peer"), {kCopyName}, copyEnvironment(root_, kCopyAddress));
    ASSERT_TRUE(copy_.waitFor("ready", kStartMs)) << copy_.errors();
    ASSERT_EQ(copy_.lastValue("account"), account_);
  }

  // The copy's account shares its users directory of kPeople people.
  void makeAccount() {
    using namespace modLocalUserFunctions;
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", (root_ + "/data").toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    account_ = ProgramTestEnvironment::addAccount(kCopyName, "pw", "Host", "Copy");
    UserOptions options;
    LoadLocalUserOptions(options, true, account_, kCopyName);
    options.ShareMyUserList = true;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      accounts->SetRowFieldByKey(kLocalUserUID, account_, kLocalUserOP, BuildOptionsString(options));
      accounts->SaveXMLDoc();
    }
    const auto users = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, account_, true);
    for (int i = 0; i < kPeople; ++i) {
      char uid[40];
      std::snprintf(uid, sizeof uid, "B0000000-0000-4000-8000-%012d", i);
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Person" + std::to_string(i), "Somebody of the crowd",
                                         "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250)});
      users->AddCurrentRow();
    }
    users->SaveXMLDoc();
    modGlobalVariables::InitGlobalVariables();
  }

  qint64 peakWhile(int ms) {
    qint64 peak = 0;
    waitUntil([&] {
      peak = std::max(peak, residentKiB(copy_.process.processId()));
      return false;
    }, ms, 20);
    return peak;
  }

  // A normal peer from an address of its own is greeted and answered.
  void expectNormalPeerServed(int row) {
    const std::string from = "127.0.9." + std::to_string(row + 1);
    FramedClient normal(kCopyAddress, PeerConnections::kPeerPort, from.c_str());
    EXPECT_EQ(ScriptedPeer::attribute(normal.next(), "V"), "100");
    EXPECT_EQ(normal.ask("1000", kNormal, account_, ""), "1000");
  }

  ProgramTestEnvironment environment_;
  QString root_;
  std::string account_;
  ChildProcess copy_;
};

}  // namespace

TEST_F(HostilePeersTest, TheCopyStaysSmallAndServesOthersUnderEveryAttack) {
  const std::vector<Row> rows = {
      {"requests whose answers are never read", [](Attack& a) {
         for (int i = 0; i < PeerConnections::kMaxPerAddress; ++i) {
           a.flood("127.0.10.1", repeated(framed(request("1100", a.account))), false);
         }
       }, 3000, 300, {}},
      {"unfinished texts of nearly 16 MiB on every slot of seven addresses", [](Attack& a) {
         for (int i = 0; i < PeerConnections::kMaxIncoming; ++i) {
           a.flood("127.0.11." + QString::number(i % 7 + 1),
                   unfinishedText(static_cast<qint64>(modWireFrames::kMaxMessageText) - kMiB / 10));
         }
       }, 4000, 300, {}},
      {"one byte now and then on 64 connections of one address", [](Attack& a) {
         for (int i = 0; i < PeerConnections::kMaxIncoming; ++i) {
           a.flood("127.0.12.1", [] { return std::string(); });
         }
         a.every(200, [&a] {
           for (auto& flood : a.floods) flood->write(std::string(1, '\x06'));
         });
       }, 2000, 300, [](Attack& a) {
         int greeted = 0;
         for (const auto& flood : a.floods) greeted += flood->greeted() ? 1 : 0;
         EXPECT_EQ(greeted, PeerConnections::kMaxPerAddress);
       }},
      {"a file offer of nearly the free space, then a trickle", [](Attack& a) {
         FramedClient& offer = a.client("127.0.13.1");
         offer.next();
         ASSERT_EQ(offer.ask("300", kAttacker, a.account, ""), "100300");
         ASSERT_EQ(offer.ask("2000", kAttacker, a.account, "huge.bin"), "2000");
         const uintmax_t nearlyAll =
             fs::space(a.folder).available - modFileTransfer::kFreeSpaceReserve - 8 * kMiB;
         offer.sendRaw(modWireFrames::BuildFrames(std::to_string(nearlyAll) + "||||x", true, false,
                                                  modWireFrames::kFileFrames, false));
         a.every(200, [&offer] {
           offer.sendRaw(modWireFrames::BuildFrames("x", false, false, modWireFrames::kFileFrames, false));
         });
       }, 1000, 300, [](Attack& a) {
         FramedClient& other = a.client("127.0.13.2");
         other.next();
         ASSERT_EQ(other.ask("300", kNormal, a.account, ""), "100300");
         ASSERT_EQ(other.ask("2000", kNormal, a.account, "small.txt"), "2000");
         other.sendRaw(modWireFrames::BuildFrames("3||||abc", true, true, modWireFrames::kFileFrames, false));
         EXPECT_EQ(ScriptedPeer::attribute(other.next(), "V"), "2051");
       }},
      {"200 peers at once, each leaving once greeted", [](Attack& a) {
         for (int i = 0; i < 200; ++i) a.client("127.0.14." + std::to_string(i + 1));
         a.every(10, [&a] {
           for (auto& client : a.clients) {
             if (client->greeted()) client->close();
           }
         });
       }, 1000, 300, [](Attack& a) {
         EXPECT_TRUE(waitUntil([&] {
           int greeted = 0;
           for (const auto& client : a.clients) greeted += client->greeted() ? 1 : 0;
           return greeted == 200;
         }, 20000));
       }},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    startCopy();
    const qint64 pid = copy_.process.processId();
    Attack attack{account_, root_.toStdString(), {}, {}, {}};
    row.attack(attack);
    const qint64 peak = peakWhile(row.attackMs);
    expectNormalPeerServed(static_cast<int>(i));
    if (row.expect) row.expect(attack);
    EXPECT_LT(std::max(peak, residentKiB(pid)), row.residentMiB * 1024) << "KiB at the peak";
    ASSERT_EQ(copy_.process.state(), QProcess::Running) << copy_.errors();
  }
}
