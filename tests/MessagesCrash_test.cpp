// Deliveries survive SIGKILL on either side. A receiver (message_peer, the
// program's libraries without windows) killed the moment it has answered a
// delivery keeps the message on disk; a sender killed while the answer to
// its delivery is on its way delivers again after its restart, and the
// receiver keeps the message once.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ConnectionState.h"
#include "PeerConnections.h"
#include "ProgramTestEnvironment.h"
#include "ScriptedPeer.h"
#include "StoredText.h"
#include "modGenFunctionsFile.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kReceiverAddress = "127.0.0.53";
constexpr const char* kSenderAddress = "127.0.0.54";
constexpr const char* kReceiver2Address = "127.0.0.55";
constexpr const char* kRelayAddress = "127.0.0.56";
constexpr const char* kJournalAddress = "127.0.0.57";
constexpr const char* kSenderUID = "A11CE000-0000-4000-8000-000000000001";
constexpr const char* kMessageUID = "5E0D0000-0000-4000-8000-0000000000AB";
constexpr int kLimitMs = 10000;

// A message_peer process and what it printed.
struct Peer : ChildProcess {
  std::string account;

  void start(const std::string& root, const QString& address, const QStringList& arguments) {
    ChildProcess::start(builtProgram("tests/message_peer"), arguments,
                        copyEnvironment(QString::fromStdString(root), address));
  }
  // Waits for "ready"; keeps the account UID.
  bool ready() {
    const bool ok = waitFor("ready", kLimitMs);
    account = lastValue("account");
    return ok;
  }
};

// The rows (UID -> ST) of an account's data file as they are stored.
std::vector<std::pair<std::string, std::string>> rowsOnDisk(const std::string& root,
                                                            const std::string& account,
                                                            const char* file) {
  const std::string path = root + "/data/" + account + "/" + file;
  std::vector<std::pair<std::string, std::string>> rows;
  if (!QFileInfo::exists(QString::fromStdString(path))) return rows;
  pugi::xml_document document;
  if (!document.load_string(storedText(path, true).c_str())) return rows;
  for (const pugi::xml_node row : document.document_element().children()) {
    std::string status = row.attribute("ST") ? row.attribute("ST").value() : row.attribute("AS").value();
    for (const pugi::xml_node recipient : row.children()) {
      status += std::string(" ") + recipient.attribute("ST").value();
    }
    rows.emplace_back(row.attribute("UID").value(), status);
  }
  return rows;
}

std::string actionText(const char* code, const std::string& recipient, const std::string& value) {
  pugi::xml_document document;
  pugi::xml_node row = document.append_child("A");
  row.append_attribute("UID") = "0AC70000-0000-4000-8000-000000000001";
  row.append_attribute("AT") = code;
  row.append_attribute("SUID") = kSenderUID;
  row.append_attribute("RUID") = recipient.c_str();
  row.append_attribute("OUID") = "";
  row.append_attribute("V") = value.c_str();
  std::ostringstream text;
  row.print(text, "", pugi::format_raw);
  return text.str();
}

// The delivered message number `n` with a text of `size` characters.
std::string numberedMessage(int n, std::size_t size = 20) {
  char uid[40];
  std::snprintf(uid, sizeof uid, "5E0D0000-0000-4000-8000-%012d", n);
  return std::string("<M UID=\"") + uid + "\" SD=\"" + kSenderUID + "\" ST=\"1\" CO=\"" +
         std::string(size, static_cast<char>('a' + n % 26)) + "\" PR=\"1\"/>";
}

std::string uidOf(const std::string& message) { return ScriptedPeer::attribute(message, "UID"); }

// Decodes the framed texts of one direction of a connection.
struct TextReader {
  modWireFrames::FrameReader frames;
  modWireFrames::MessageAssembler texts;
  ConnectionState state;
  bool broken = false;
  TextReader() { InitConnectionState(state); }
  // The complete texts in `data`, in order.
  std::vector<std::string> add(const QByteArray& data) {
    std::vector<std::string> done;
    frames.Append(std::string(data.constData(), static_cast<std::size_t>(data.size())));
    std::string body;
    for (;;) {
      const auto result = frames.Next(body);
      if (result == modWireFrames::FrameReader::Result::kNeedMore) break;
      if (result == modWireFrames::FrameReader::Result::kProtocolError || !modWireFrames::ParseFrame(state, body)) {
        broken = true;
        break;
      }
      std::string text;
      if (texts.Add(state, body, text) == modWireFrames::MessageAssembler::Result::kComplete) {
        done.push_back(text);
      }
    }
    return done;
  }
};

// The next complete text on `socket`, "" when none comes in time.
std::string nextText(QTcpSocket& socket, TextReader& reader, std::vector<std::string>& waiting) {
  QElapsedTimer clock;
  clock.start();
  while (waiting.empty() && !reader.broken && clock.elapsed() < kLimitMs) {
    if (!socket.waitForReadyRead(200) && socket.state() != QAbstractSocket::ConnectedState) break;
    for (std::string& text : reader.add(socket.readAll())) waiting.push_back(std::move(text));
  }
  if (waiting.empty()) return {};
  std::string text = waiting.front();
  waiting.erase(waiting.begin());
  return text;
}

class MessagesCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QFileInfo(builtProgram("tests/message_peer")).isExecutable());
  }
  void TearDown() override {
    sender_.kill();
    receiver_.kill();
  }

  // One conversation as a sending copy holds it: the greeting's code, then
  // the answers to 200, 300 and a 1200 for each of `messages`; with
  // killAfterLast the receiver is killed the moment the last is answered.
  std::vector<std::string> converse(const char* address, const std::string& bob,
                                    const std::vector<std::string>& messages, bool killAfterLast) {
    QTcpSocket socket;
    socket.connectToHost(address, PeerConnections::kPeerPort);
    if (!socket.waitForConnected(kLimitMs)) return {"no connection"};
    TextReader reader;
    std::vector<std::string> waiting;
    std::vector<std::string> codes;
    codes.push_back(ScriptedPeer::attribute(nextText(socket, reader, waiting), "V"));
    std::vector<std::pair<const char*, std::string>> requests = {{"200", ""}, {"300", ""}};
    for (const std::string& message : messages) requests.emplace_back("1200", message);
    for (const auto& [code, value] : requests) {
      const std::string frames = modWireFrames::BuildFrames(actionText(code, bob, value), true, true,
                                                            modWireFrames::kMessageFrames, true);
      socket.write(frames.data(), static_cast<qint64>(frames.size()));
      socket.flush();
      codes.push_back(ScriptedPeer::attribute(nextText(socket, reader, waiting), "V"));
    }
    if (killAfterLast) receiver_.kill();
    return codes;
  }

  ProgramTestEnvironment environment_;  // the test's own globals stay apart
  std::string senderRoot_ = environment_.root() + "/ann";
  std::string receiverRoot_ = environment_.root() + "/bob";
  Peer sender_;
  Peer receiver_;
};

TEST_F(MessagesCrashTest, ReceiverKilledRightAfterItsAnswerKeepsTheMessage) {
  receiver_.start(receiverRoot_, kReceiverAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.out << receiver_.errors();
  const std::string bob = receiver_.account;
  ASSERT_FALSE(bob.empty());

  const std::string message = std::string("<M UID=\"") + kMessageUID + "\" SD=\"" + kSenderUID +
                              "\" ST=\"1\" CO=\"Kept through a kill\" PR=\"1\"/>";
  const std::vector<std::string> first = converse(kReceiverAddress, bob, {message}, true);
  ASSERT_EQ(first.size(), 4u) << first.front();
  EXPECT_EQ(first[0], "100");
  EXPECT_EQ(first[1], "200");
  EXPECT_TRUE(first[2] == "300" || first[2] == "100300") << first[2];
  EXPECT_EQ(first[3], "1200");
  ASSERT_EQ(receiver_.process.exitStatus(), QProcess::CrashExit);

  // Saved before it answered: the kill took nothing.
  using Rows = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(rowsOnDisk(receiverRoot_, "BOB", "D008.dat"), (Rows{{kMessageUID, "60"}}));

  // Restarted, it takes the same delivery again without a second copy.
  receiver_.start(receiverRoot_, kReceiverAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  const std::vector<std::string> again = converse(kReceiverAddress, bob, {message}, false);
  ASSERT_EQ(again.size(), 4u) << again.front();
  EXPECT_EQ(again[3], "1200");
  EXPECT_EQ(rowsOnDisk(receiverRoot_, "BOB", "D008.dat"), (Rows{{kMessageUID, "60"}}));
}

TEST_F(MessagesCrashTest, SenderKilledWhileItsDeliveryIsAnsweredDeliversOnceAfterRestart) {
  receiver_.start(receiverRoot_, kReceiver2Address, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  const std::string bob = receiver_.account;

  // The sender reaches the receiver through a relay in the test, which holds
  // back the receiver's answer to the delivery and kills the sender instead.
  QTcpServer relay;
  ASSERT_TRUE(relay.listen(QHostAddress(kRelayAddress), PeerConnections::kPeerPort)) << relay.errorString().toStdString();
  bool killOnDelivered = true;
  int deliveries = 0;
  int answered = 0;
  std::vector<std::unique_ptr<QTcpSocket>> links;
  std::vector<std::unique_ptr<TextReader>> readers;
  QObject::connect(&relay, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* inner = relay.nextPendingConnection()) {
      auto outer = std::make_unique<QTcpSocket>();
      outer->connectToHost(kReceiver2Address, PeerConnections::kPeerPort);
      auto fromSender = std::make_unique<TextReader>();
      auto fromReceiver = std::make_unique<TextReader>();
      QTcpSocket* out = outer.get();
      TextReader* up = fromSender.get();
      TextReader* down = fromReceiver.get();
      QObject::connect(inner, &QTcpSocket::readyRead, [=, &deliveries] {
        const QByteArray data = inner->readAll();
        for (const std::string& text : up->add(data)) deliveries += ScriptedPeer::attribute(text, "AT") == "1200";
        out->write(data);
      });
      QObject::connect(out, &QTcpSocket::readyRead, [=, &answered, &killOnDelivered, this] {
        const QByteArray data = out->readAll();
        bool hold = false;
        for (const std::string& text : down->add(data)) {
          if (ScriptedPeer::attribute(text, "V") == "1200") {
            ++answered;
            hold = killOnDelivered;
          }
        }
        if (hold) {
          sender_.kill();
          return;
        }
        inner->write(data);
      });
      QObject::connect(inner, &QTcpSocket::disconnected, out, [out] { out->disconnectFromHost(); });
      QObject::connect(out, &QTcpSocket::disconnected, inner, [inner] { inner->disconnectFromHost(); });
      links.push_back(std::move(outer));
      readers.push_back(std::move(fromSender));
      readers.push_back(std::move(fromReceiver));
    }
  });

  const QStringList arguments{"ANN", "--no-listen", "--user", QString::fromStdString(bob), kRelayAddress};
  sender_.start(senderRoot_, kSenderAddress, arguments);
  ASSERT_TRUE(sender_.ready()) << sender_.errors();
  sender_.tell("send " + bob + " Once and only once");
  ASSERT_TRUE(waitUntil([&] { return sender_.process.state() == QProcess::NotRunning; }, kLimitMs))
      << "the delivery was never answered; the sender printed: " << sender_.read()
      << sender_.errors();
  const std::string messageUID = sender_.lastValue("sent");
  ASSERT_FALSE(messageUID.empty()) << sender_.out;
  EXPECT_EQ(deliveries, 1);
  EXPECT_EQ(answered, 1);

  using Rows = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(rowsOnDisk(receiverRoot_, "BOB", "D008.dat"), (Rows{{messageUID, "60 1"}}));
  // The sender never learnt of it: its delivery is still queued.
  const Rows queued = rowsOnDisk(senderRoot_, "ANN", "D002.dat");
  ASSERT_EQ(queued.size(), 1u);

  killOnDelivered = false;
  sender_.start(senderRoot_, kSenderAddress, arguments);
  ASSERT_TRUE(sender_.ready()) << sender_.errors();
  ASSERT_TRUE(waitUntil([&] { return sender_.lastValue("queue") == "0"; }, 20000))
      << "the delivery was not repeated: " << sender_.read() << " queue on disk "
      << rowsOnDisk(senderRoot_, "ANN", "D002.dat").front().second;
  sender_.process.closeWriteChannel();  // ends it normally, writing its stores
  ASSERT_TRUE(sender_.process.waitForFinished(kLimitMs));
  EXPECT_EQ(sender_.process.exitCode(), 0);
  EXPECT_EQ(deliveries, 2);
  EXPECT_EQ(rowsOnDisk(receiverRoot_, "BOB", "D008.dat"), (Rows{{messageUID, "60 1"}}));
  EXPECT_TRUE(rowsOnDisk(senderRoot_, "ANN", "D002.dat").empty());
  EXPECT_EQ(rowsOnDisk(senderRoot_, "ANN", "D009.dat"), (Rows{{messageUID, "50 50"}}));
}

// A receiver restarted over a journal with one damaged record keeps every
// message of the records after it, keeps the journal aside and says so in
// its events list and error log.
TEST_F(MessagesCrashTest, ARestartOverADamagedJournalKeepsTheMessagesAfterTheDamage) {
  receiver_.start(receiverRoot_, kJournalAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  const std::string bob = receiver_.account;
  std::vector<std::string> messages;
  for (int n = 0; n < 12; ++n) messages.push_back(numberedMessage(n));
  const std::vector<std::string> codes = converse(kJournalAddress, bob, messages, true);
  ASSERT_EQ(std::count(codes.begin(), codes.end(), "1200"), 12) << codes.front();

  const std::string folder = receiverRoot_ + "/data/BOB";
  std::string journal = modGenFunctionsFile::ReadFileContent(folder + "/.D008.dat.jnl", false);
  std::vector<std::size_t> records;
  for (std::size_t at = 0; at + 8 <= journal.size();
       at += 8 + (static_cast<unsigned char>(journal[at]) | static_cast<unsigned char>(journal[at + 1]) << 8 |
                  static_cast<unsigned char>(journal[at + 2]) << 16)) {
    records.push_back(at);
  }
  ASSERT_EQ(records.size(), 13u) << "the journal's identity, then one record per delivery";
  journal[records[6] + 20] ^= 0x40;  // inside the sixth delivery's record
  modGenFunctionsFile::SaveFileContent(folder, ".D008.dat.jnl", journal, false, false, false);

  receiver_.start(receiverRoot_, kJournalAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  messages.push_back(numberedMessage(12));
  ASSERT_EQ(converse(kJournalAddress, bob, {messages.back()}, false).back(), "1200");
  std::vector<std::pair<std::string, std::string>> expected;
  for (int n = 0; n < 13; ++n) {
    if (n != 5) expected.emplace_back(uidOf(messages[n]), "60");
  }
  EXPECT_EQ(rowsOnDisk(receiverRoot_, "BOB", "D008.dat"), expected);
  const QStringList kept = QDir(QString::fromStdString(folder)).entryList({"D008.dat.jnl.bad-*"});
  ASSERT_EQ(kept.size(), 1);
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(folder + "/" + kept[0].toStdString(), false), journal);
  EXPECT_TRUE(receiver_.waitFor(kept[0].toStdString(), kLimitMs)) << receiver_.out;
  EXPECT_NE(receiver_.out.find("event "), std::string::npos) << receiver_.out;
  EXPECT_NE(modGenFunctionsFile::ReadFileContent(receiverRoot_ + "/data/TVRLOG.DAT", true)
                .find(kept[0].toStdString()),
            std::string::npos);
}

// A receiver whose disk fills refuses deliveries; once space is back it
// acknowledges more, and after a kill it still holds every one it
// acknowledged. Its data root is a small file system of the test's own.
TEST_F(MessagesCrashTest, AFullDiskLosesNoAcknowledgedDeliveryThroughFreedSpaceAndAKill) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "mounting a small file system needs root";
  }
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(receiverRoot_)));
  ASSERT_EQ(::mount("tmpfs", receiverRoot_.c_str(), "tmpfs", 0, "size=4m"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{receiverRoot_};

  receiver_.start(receiverRoot_, kJournalAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  const std::string bob = receiver_.account;
  std::vector<std::string> acknowledged;
  const auto deliver = [&](int first, int count, std::size_t size, bool kill) {
    std::vector<std::string> messages;
    for (int n = first; n < first + count; ++n) messages.push_back(numberedMessage(n, size));
    const std::vector<std::string> codes = converse(kJournalAddress, bob, messages, kill);
    for (std::size_t i = 3; i < codes.size(); ++i) {
      if (codes[i] == "1200") acknowledged.push_back(uidOf(messages[i - 3]));
    }
    return static_cast<int>(std::count(codes.begin(), codes.end(), "1200"));
  };
  EXPECT_EQ(deliver(0, 4, 20, false), 4);

  const std::string filler = receiverRoot_ + "/filler";
  {
    std::ofstream fill(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), static_cast<std::streamsize>(block.size())) && fill.flush()) {
    }
  }
  const std::string dataFile = receiverRoot_ + "/data/BOB/D008.dat";
  const std::string fileBefore = modGenFunctionsFile::ReadFileContent(dataFile, false);
  EXPECT_EQ(deliver(100, 6, 9000, false), 0) << "a full disk refuses deliveries";
  ASSERT_TRUE(QFile::remove(QString::fromStdString(filler)));
  EXPECT_EQ(deliver(200, 40, 20, true), 40);
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(dataFile, false), fileBefore)
      << "the failed appends were cut back: later ones still go to the journal";

  receiver_.start(receiverRoot_, kJournalAddress, {"BOB"});
  ASSERT_TRUE(receiver_.ready()) << receiver_.errors();
  std::vector<std::string> stored;
  for (const auto& [uid, status] : rowsOnDisk(receiverRoot_, "BOB", "D008.dat")) stored.push_back(uid);
  for (const std::string& uid : acknowledged) {
    EXPECT_NE(std::find(stored.begin(), stored.end(), uid), stored.end()) << uid << " was acknowledged";
  }
  EXPECT_EQ(acknowledged.size(), 44u);
  EXPECT_TRUE(QDir(QString::fromStdString(receiverRoot_ + "/data/BOB")).entryList({"*.bad-*"}).isEmpty())
      << "a full disk damages nothing";
  receiver_.kill();
}

}  // namespace
