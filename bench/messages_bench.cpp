// Messages from one copy to another over loopback, each copy in its own
// process with its own data folder, address and account, both logged in.
//
// This process is the sender (127.0.0.63): it sends through
// modCOMFunctions::SendMessageToRecipients, so the message row and the
// delivery action are stored, the queue works the action off (ping, connect,
// 200, 300, 1200, end) and settles it. The receiver is this same program
// started again with --receiver (127.0.0.64): a listening PeerConnections
// whose dispatcher is the program's own; after each request answered 1200
// (the message stored among the received messages and saved, atomically
// with fsync, before the reply) it prints the CLOCK_MONOTONIC time, which
// both processes share. The receiver also runs the reference server on
// 127.0.0.65: a bare QTcpServer answering length-prefixed requests.
//
//   one_message     from the call of SendMessageToRecipients to "stored" at
//                   the receiver, median of kSingleRuns (the queue is left
//                   idle and empty between runs). Reference: a raw connect
//                   plus four request/reply round trips of similar sizes
//                   (POSIX blocking sockets), median of as many runs.
//   burst           kBurst messages queued at once (one call each) to one
//                   recipient, from the first call to the last "stored";
//                   durable saves on. Reference: the raw exchange repeated
//                   kBurst times. Counters give messages per second.
//   synced          the same references with one fdatasync on each side (the
//                   sender's before it connects, the server's before its
//                   last reply), as a durable exchange needs at the least.
//                   One message ticked at once and its synced reference
//                   take turns over three rounds; the table compares the
//                   medians of the rounds.
//   store_N         one received message added to a received-message
//                   collection that already holds N rows and saved durably,
//                   as the receiver stores it (median of kStoreRuns); the
//                   ratio of 100,000 rows to 1,000 rows shows whether that
//                   cost grows with the collection.
//
// Both rows are timed by hand (manual time, one iteration of many runs);
// the ratio table (ours / raw) comes last. At the end the receiver's
// received-message file is read back from disk and must hold every message.
// MESSAGES_BENCH_COUNT overrides kBurst (for profiling smaller runs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchProcesses.h"
#include "PeerConnections.h"
#include "RatioReport.h"
#include "clsActionManager.h"
#include "clsGenObject.h"
#include "modCOMFunctions.h"
#include "modCOMRequestedAction.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

constexpr const char* kSenderAddress = "127.0.0.63";
constexpr const char* kReceiverAddress = "127.0.0.64";
constexpr const char* kRawAddress = "127.0.0.65";
constexpr int kSingleRuns = 21;
constexpr int kAlternatingRounds = 3;
constexpr int kDefaultBurst = 1000;
constexpr int kMessageChars = 200;
constexpr int kWaitLimitMs = 300'000;
// Sizes of the reference exchange: requests like 200, 300, 1200 (carrying
// the message row) and the end, each answered by a reply record.
constexpr int kRequestBytes[4] = {330, 330, 330 + 2 * kMessageChars + 400, 80};
constexpr int kReplyBytes = 140;
// A reply length with this bit set asks the reference server to append the
// request to its file and fdatasync it before the reply.
constexpr uint32_t kSyncFlag = 0x80000000u;
constexpr int kStoreRuns = 101;

int burstCount() {
  const QByteArray given = qgetenv("MESSAGES_BENCH_COUNT");
  const int count = given.isEmpty() ? kDefaultBurst : given.toInt();
  return count > 0 ? count : kDefaultBurst;
}

std::string messageText(int n) {
  std::string text = "Message " + std::to_string(n) + ": ";
  while (static_cast<int>(text.size()) < kMessageChars) text += "the quick brown fox jumps. ";
  text.resize(kMessageChars);
  return text;
}

// ---- the receiving process ------------------------------------------------

// Appends `bytes` to the file `fd` and flushes them to disk.
void syncWrite(int fd, const char* bytes, std::size_t size) {
  if (::write(fd, bytes, size) != static_cast<ssize_t>(size) || ::fdatasync(fd) != 0) {
    fail("the synced reference cannot write");
  }
}

// Reference server: each request is [u32 length][u32 reply length][bytes];
// the reply is [u32 reply length][bytes].
class RawServer {
 public:
  explicit RawServer(const std::string& syncedFile) {
    syncFd_ = ::open(syncedFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (syncFd_ < 0) fail("the raw server cannot open its file");
    if (!server_.listen(QHostAddress(QString::fromLatin1(kRawAddress)), PeerConnections::kPeerPort)) {
      fail("the raw server cannot listen");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, buffer] {
          buffer->append(socket->readAll());
          while (buffer->size() >= 8) {
            uint32_t length = 0, replyLength = 0;
            std::memcpy(&length, buffer->constData(), 4);
            std::memcpy(&replyLength, buffer->constData() + 4, 4);
            if (buffer->size() < 8 + static_cast<qsizetype>(length)) break;
            if (replyLength & kSyncFlag) {
              replyLength &= ~kSyncFlag;
              syncWrite(syncFd_, buffer->constData() + 8, length);
            }
            buffer->remove(0, 8 + static_cast<qsizetype>(length));
            QByteArray reply(4 + static_cast<qsizetype>(replyLength), 'r');
            std::memcpy(reply.data(), &replyLength, 4);
            socket->write(reply);
          }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }
  ~RawServer() { ::close(syncFd_); }

 private:
  QTcpServer server_;
  int syncFd_ = -1;
};

// argv: --receiver <sender UID> <resource file>. Prints "S" per stored
// message and answers "C" with the number of received messages on disk.
int runReceiver(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 4) fail("receiver: arguments");
  const std::string own = setUpCopy(argv[3], "Rita", [](int32_t) {});
  addUserRow(argv[2], "Sam", kSenderAddress);

  PeerConnections peers;
  peers.SetDispatcher([](const std::string& text, ConnectionState& state) {
    std::string reply = modCOMRequestedAction::ProcessRequestedAction(text, state);
    static const std::string delivered = "V=\"1200\"/>";
    if (reply.size() >= delivered.size() &&
        reply.compare(reply.size() - delivered.size(), delivered.size(), delivered) == 0) {
      reportStored();
    }
    return reply;
  });
  if (!peers.StartListening()) fail("receiver: " + peers.LastListenError());
  RawServer raw(std::string(argv[3]) + ".synced-" + std::to_string(::getpid()));
  const int result = serveQuestions(own, [&](char) -> long long {
    return modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, own, true)->CountAll();
  });
  peers.CloseAll();
  return result;
}

// ---- the sending process --------------------------------------------------

ReceiverProcess* receiver = nullptr;

bool queueIdle() {
  clsActionManager& manager = ActionManager();
  return !manager.IsBusy() && manager.Actions().CountAll() == 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Adds a received message row as the receiver does (fields of a 1200 request).
void addReceived(clsGenObject& received, int n) {
  received.CreateNewRow(true, 0);
  received.SetField(1, "5E0D0000-0000-4000-8000-00000000000" + std::to_string(n % 10));
  received.SetField(2, 60);
  received.SetField(3, "2026-12-07 10:00:00");
  received.SetField(4, messageText(n));
  received.SetField(5, 1);
  received.AddCurrentRow();
}

// tickNow: the queue is ticked at once after the send (as AddAction's
// startNow does) instead of waiting for StartActionManager's first tick.
template <bool tickNow>
void oneMessage(benchmark::State& state) {
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const std::size_t before = receiver->stored().size();
      const int64_t start = monotonicNs();
      modCOMFunctions::SendMessageToRecipients(messageText(run), 1, 1, receiver->uid(), "", false, false);
      if (tickNow) ActionManager().SetActionTimer(1, true);
      if (!runUntil([&] { return receiver->stored().size() > before; }, kWaitLimitMs)) {
        fail("a message never arrived");
      }
      seconds.push_back(static_cast<double>(receiver->stored()[before] - start) / 1e9);
      if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled");
    }
    state.SetIterationTime(median(seconds));
  }
  std::sort(seconds.begin(), seconds.end());
  state.counters["min_ms"] = seconds.front() * 1e3;
  state.counters["p90_ms"] = seconds[seconds.size() * 9 / 10] * 1e3;
}

void burst(benchmark::State& state) {
  const int count = burstCount();
  for (auto _ : state) {
    const std::size_t before = receiver->stored().size();
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) {
      modCOMFunctions::SendMessageToRecipients(messageText(n), 1, 1, receiver->uid(), "", false, false);
    }
    const int64_t queued = monotonicNs();
    if (!runUntil([&] { return receiver->stored().size() >= before + count; }, kWaitLimitMs)) {
      fail("burst: only " + std::to_string(receiver->stored().size() - before) + " arrived");
    }
    const double total = static_cast<double>(receiver->stored().back() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
    state.counters["queueing_s"] = static_cast<double>(queued - start) / 1e9;
    const std::size_t half = before + static_cast<std::size_t>(count) / 2;
    state.counters["first_half_msg/s"] =
        (count / 2) / (static_cast<double>(receiver->stored()[half - 1] - queued) / 1e9);
    state.counters["second_half_msg/s"] =
        (count - count / 2) /
        (static_cast<double>(receiver->stored().back() - receiver->stored()[half - 1]) / 1e9);
    if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled after the burst");
  }
}

// A received-message collection of its own file holding `rows` messages,
// written whole once.
modGlobalFunctions::GenObjectRef filledReceived(int rows) {
  const modGlobalFunctions::GenObjectRef received =
      modGlobalFunctions::CreateGenObject(modGlobalVariables::MessRec, "", false, false);
  received->FileName("received-" + std::to_string(rows) + ".dat");
  received->LoadXMLDoc(false);
  for (int n = 0; n < rows; ++n) addReceived(*received, n);
  received->FoldXMLDoc();
  return received;
}

template <int rows>
void storeOne(benchmark::State& state) {
  const modGlobalFunctions::GenObjectRef received = filledReceived(rows);
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kStoreRuns; ++run) {
      const int64_t start = monotonicNs();
      addReceived(*received, rows + run);
      received->SaveXMLDoc();
      seconds.push_back(static_cast<double>(monotonicNs() - start) / 1e9);
    }
    state.SetIterationTime(median(seconds));
  }
  state.counters["stored"] = received->CountAll();
}

// ---- the reference ---------------------------------------------------------

int senderSyncFd = -1;

// Connect, four request/reply round trips, close. synced: the sender first
// appends the message to its file and fdatasyncs it, and the server does
// the same before its reply to the third request (the message).
template <bool synced>
void rawExchange() {
  if (synced) syncWrite(senderSyncFd, "q", 1);
  const int fd = rawConnection(kRawAddress, PeerConnections::kPeerPort, kSenderAddress, true);
  std::vector<char> buffer;
  for (const int bytes : kRequestBytes) {
    buffer.assign(8 + static_cast<std::size_t>(bytes), 'q');
    const bool syncHere = synced && &bytes == &kRequestBytes[2];
    const uint32_t length = static_cast<uint32_t>(bytes),
                   replyLength = kReplyBytes | (syncHere ? kSyncFlag : 0);
    std::memcpy(buffer.data(), &length, 4);
    std::memcpy(buffer.data() + 4, &replyLength, 4);
    sendAll(fd, buffer.data(), buffer.size());
    char reply[4 + kReplyBytes];
    receiveAll(fd, reply, sizeof reply);
  }
  ::close(fd);
}

template <bool synced>
void rawOne(benchmark::State& state) {
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const int64_t start = monotonicNs();
      rawExchange<synced>();
      seconds.push_back(static_cast<double>(monotonicNs() - start) / 1e9);
    }
    state.SetIterationTime(median(seconds));
  }
}

template <bool synced>
void rawBurst(benchmark::State& state) {
  const int count = burstCount();
  for (auto _ : state) {
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) rawExchange<synced>();
    const double total = static_cast<double>(monotonicNs() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
  }
}

int runSender(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir folders;
  if (!folders.isValid()) fail("no temporary folder");
  const QString base = folders.path();
  const char* resource = TAVINOR_BENCH_RESOURCE_FILE;

  useCopyFolders(base + "/sender", kSenderAddress);
  const std::string senderUID = setUpCopy(resource, "Sam", [](int32_t) {});
  const std::string syncedFile = (base + "/sender-synced").toStdString();
  senderSyncFd = ::open(syncedFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (senderSyncFd < 0) fail("no file for the synced reference");
  ReceiverProcess child;
  receiver = &child;
  child.start(base, kReceiverAddress, {QString::fromStdString(senderUID), QString::fromUtf8(resource)});
  addUserRow(child.uid(), "Rita", kReceiverAddress);
  std::printf("sender %s on %s, receiver %s on %s (separate process), raw server on %s; "
              "%d-character messages, %d runs for one message, burst of %d\n",
              senderUID.c_str(), kSenderAddress, child.uid().c_str(), kReceiverAddress,
              kRawAddress, kMessageChars, kSingleRuns, burstCount());

  std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"ours/one_message", oneMessage<false>},
      {"raw/one_exchange", rawOne<false>},
  };
  // The disk's pace drifts: the one-message case and its synced reference
  // take turns over several rounds, and the medians over the rounds count.
  addAlternatingRounds(benchmarks,
                       {{"ours/one_message_tick_at_once", oneMessage<true>},
                        {"raw/one_exchange_synced", rawOne<true>}},
                       kAlternatingRounds);
  benchmarks.insert(benchmarks.end(), {
                                          {"ours/burst", burst},
                                          {"raw/burst", rawBurst<false>},
                                          {"raw/burst_synced", rawBurst<true>},
                                          {"ours/store_1000", storeOne<1000>},
                                          {"ours/store_100000", storeOne<100000>},
                                      });
  const std::string tickedAtOnce = allRounds("ours/one_message_tick_at_once", kAlternatingRounds);
  runWithRatios(
      argc, argv, benchmarks,
      {
          {"one message, send to stored (median)", "ours/one_message", "raw/one_exchange"},
          {"one message, queue ticked at once (median)", tickedAtOnce, "raw/one_exchange"},
          {"one message, queue ticked at once, vs synced raw", tickedAtOnce,
           allRounds("raw/one_exchange_synced", kAlternatingRounds)},
          {"burst, all queued at once, first send to last stored", "ours/burst", "raw/burst"},
          {"burst vs synced raw", "ours/burst", "raw/burst_synced"},
          {"one received message stored, 100,000 vs 1,000 stored", "ours/store_100000",
           "ours/store_1000"},
      },
      "ours (ms)", "raw (ms)", BenchTiming::kByHandOnce);

  // Every message sent is on the receiver's disk.
  const long long onDisk = child.ask('C');
  std::printf("\nreceived messages on the receiver's disk: %lld (stored replies seen: %zu)\n", onDisk,
              child.stored().size());
  const bool complete = onDisk == static_cast<long long>(child.stored().size());
  ReleaseActionManager();
  ::close(senderSyncFd);
  child.finish();
  if (!complete) fail("the receiver's file does not hold every stored message");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runReceiver(argc, argv);
  return runSender(argc, argv);
}
