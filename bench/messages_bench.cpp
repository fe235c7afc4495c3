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
//
// Both rows are timed by hand (manual time, one iteration of many runs);
// the ratio table (ours / raw) comes last. At the end the receiver's
// received-message file is read back from disk and must hold every message.
// MESSAGES_BENCH_COUNT overrides kBurst (for profiling smaller runs).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "RatioReport.h"
#include "clsActionManager.h"
#include "clsGenObject.h"
#include "modCOMFunctions.h"
#include "modCOMRequestedAction.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr const char* kSenderAddress = "127.0.0.63";
constexpr const char* kReceiverAddress = "127.0.0.64";
constexpr const char* kRawAddress = "127.0.0.65";
constexpr int kSingleRuns = 21;
constexpr int kDefaultBurst = 1000;
constexpr int kMessageChars = 200;
constexpr int kWaitLimitMs = 300'000;
// Sizes of the reference exchange: requests like 200, 300, 1200 (carrying
// the message row) and the end, each answered by a reply record.
constexpr int kRequestBytes[4] = {330, 330, 330 + 2 * kMessageChars + 400, 80};
constexpr int kReplyBytes = 140;

int64_t monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "messages_bench: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

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

// A new account of this data root, logged in; its UID.
std::string addLoggedInAccount(const std::string& name) {
  using namespace modLocalUserFunctions;
  std::string uid;
  {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    uid = accounts->CreateNewRow(true, kLocalUserUID);
    accounts->SetField(kLocalUserUN, name);
    accounts->SetField(kLocalUserPA, name);
    accounts->SetField(kLocalUserPW, "pw");
    accounts->SetField(kLocalUserFN, name);
    accounts->SetField(kLocalUserLN, "Bench");
    accounts->SetField(kLocalUserCS, 1);
    accounts->AddCurrentRow();
    accounts->SaveXMLDoc();
  }
  modGlobalVariables::CurrentLocalUserUID = uid;
  LoadLocalUserOptions(LocalUserOptions, true, "", "");
  return uid;
}

// A row of the logged-in account's users directory.
void addUserRow(const std::string& uid, const std::string& name, const std::string& address) {
  PoolLoan users(modGlobalVariables::User);
  users->CreateNewRow(false, 0);
  users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Bench", name, address});
  users->AddCurrentRow();
  users->SaveXMLDoc();
}

// The main window keeps activities in its lists, in memory; without one the
// core would log each activity it cannot show as an error.
void installActivitySink() {
  MessageCenterServices::Install(
      {[](int32_t, const std::string&, int32_t, const std::string&, const std::string&) {}, [] {}});
}

void loadResources(const char* path) {
  if (QFileInfo::exists(QString::fromUtf8(path))) modGenFunctionsResource::loadResourceFileFrom(path);
}

// ---- the receiving process ------------------------------------------------

// Reference server: each request is [u32 length][u32 reply length][bytes];
// the reply is [u32 reply length][bytes].
class RawServer {
 public:
  RawServer() {
    if (!server_.listen(QHostAddress(QString::fromLatin1(kRawAddress)), PeerConnections::kPeerPort)) {
      fail("the raw server cannot listen");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, [socket, buffer] {
          buffer->append(socket->readAll());
          while (buffer->size() >= 8) {
            uint32_t length = 0, replyLength = 0;
            std::memcpy(&length, buffer->constData(), 4);
            std::memcpy(&replyLength, buffer->constData() + 4, 4);
            if (buffer->size() < 8 + static_cast<qsizetype>(length)) break;
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

 private:
  QTcpServer server_;
};

// argv: --receiver <sender UID> <resource file>. Prints "R <own UID>" when
// listening, "S <ns>" per stored message, "C <n>" for each "C" line on
// standard input (the received messages on disk); ends when its input ends.
int runReceiver(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 4) fail("receiver: arguments");
  modGlobalVariables::InitGlobalVariables();
  installActivitySink();
  loadResources(argv[3]);
  const std::string own = addLoggedInAccount("Rita");
  modLocalUserFunctions::LocalUserOptions.EnableIPFiltering = false;
  addUserRow(argv[2], "Sam", kSenderAddress);

  PeerConnections peers;
  peers.SetDispatcher([](const std::string& text, ConnectionState& state) {
    std::string reply = modCOMRequestedAction::ProcessRequestedAction(text, state);
    static const std::string delivered = "V=\"1200\"/>";
    if (reply.size() >= delivered.size() &&
        reply.compare(reply.size() - delivered.size(), delivered.size(), delivered) == 0) {
      std::printf("S %lld\n", static_cast<long long>(monotonicNs()));
      std::fflush(stdout);
    }
    return reply;
  });
  if (!peers.StartListening()) fail("receiver: " + peers.LastListenError());
  RawServer raw;

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char chunk[256];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
      input.setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    pending.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line == "C") {
        const auto stored =
            modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, own, true);
        std::printf("C %d\n", stored->CountAll());
        std::fflush(stdout);
      }
    }
  });
  std::printf("R %s\n", own.c_str());
  std::fflush(stdout);
  const int result = QCoreApplication::exec();
  peers.CloseAll();
  return result;
}

// ---- the sending process --------------------------------------------------

struct Receiver {
  QProcess process;
  QByteArray out;
  std::string uid;
  std::vector<int64_t> stored;  // "S" times in arrival order
  int lastCount = -1;

  void read() {
    out += process.readAllStandardOutput();
    for (qsizetype end; (end = out.indexOf('\n')) >= 0;) {
      const QByteArray line = out.left(end);
      out.remove(0, end + 1);
      if (line.startsWith("S ")) stored.push_back(line.mid(2).toLongLong());
      else if (line.startsWith("R ")) uid = line.mid(2).toStdString();
      else if (line.startsWith("C ")) lastCount = line.mid(2).toInt();
    }
  }
};

Receiver* receiver = nullptr;
std::string senderUID;

// Runs events until `done` or the limit; false at the limit.
bool runUntil(const std::function<bool()>& done, int limitMs = kWaitLimitMs) {
  const int64_t deadline = monotonicNs() + int64_t{limitMs} * 1'000'000;
  QTimer wake;  // bounds each wait for events
  wake.start(2);
  while (!done()) {
    if (monotonicNs() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

bool queueIdle() {
  clsActionManager& manager = ActionManager();
  return !manager.IsBusy() && manager.Actions().CountAll() == 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// tickNow: the queue is ticked at once after the send (as AddAction's
// startNow does) instead of waiting for StartActionManager's first tick.
template <bool tickNow>
void oneMessage(benchmark::State& state) {
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const std::size_t before = receiver->stored.size();
      const int64_t start = monotonicNs();
      modCOMFunctions::SendMessageToRecipients(messageText(run), 1, 1, receiver->uid, "", false, false);
      if (tickNow) ActionManager().SetActionTimer(1, true);
      if (!runUntil([&] { return receiver->stored.size() > before; })) fail("a message never arrived");
      seconds.push_back(static_cast<double>(receiver->stored[before] - start) / 1e9);
      if (!runUntil(queueIdle)) fail("the queue never settled");
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
    const std::size_t before = receiver->stored.size();
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) {
      modCOMFunctions::SendMessageToRecipients(messageText(n), 1, 1, receiver->uid, "", false, false);
    }
    const int64_t queued = monotonicNs();
    if (!runUntil([&] { return receiver->stored.size() >= before + count; })) {
      fail("burst: only " + std::to_string(receiver->stored.size() - before) + " arrived");
    }
    const double total = static_cast<double>(receiver->stored.back() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
    state.counters["queueing_s"] = static_cast<double>(queued - start) / 1e9;
    const std::size_t half = before + static_cast<std::size_t>(count) / 2;
    state.counters["first_half_msg/s"] =
        (count / 2) / (static_cast<double>(receiver->stored[half - 1] - queued) / 1e9);
    state.counters["second_half_msg/s"] =
        (count - count / 2) /
        (static_cast<double>(receiver->stored.back() - receiver->stored[half - 1]) / 1e9);
    if (!runUntil(queueIdle)) fail("the queue never settled after the burst");
  }
}

// ---- the reference ---------------------------------------------------------

void sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) fail("raw send");
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
}

void receiveAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, data, size, 0);
    if (got <= 0) fail("raw receive");
    data += got;
    size -= static_cast<std::size_t>(got);
  }
}

// Connect, four request/reply round trips, close.
void rawExchange() {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(PeerConnections::kPeerPort);
  ::inet_pton(AF_INET, kRawAddress, &server.sin_addr);
  sockaddr_in own{};
  own.sin_family = AF_INET;
  ::inet_pton(AF_INET, kSenderAddress, &own.sin_addr);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("raw socket");
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) fail("raw connect");
  std::vector<char> buffer;
  for (const int bytes : kRequestBytes) {
    buffer.assign(8 + static_cast<std::size_t>(bytes), 'q');
    const uint32_t length = static_cast<uint32_t>(bytes), replyLength = kReplyBytes;
    std::memcpy(buffer.data(), &length, 4);
    std::memcpy(buffer.data() + 4, &replyLength, 4);
    sendAll(fd, buffer.data(), buffer.size());
    char reply[4 + kReplyBytes];
    receiveAll(fd, reply, sizeof reply);
  }
  ::close(fd);
}

void rawOne(benchmark::State& state) {
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const int64_t start = monotonicNs();
      rawExchange();
      seconds.push_back(static_cast<double>(monotonicNs() - start) / 1e9);
    }
    state.SetIterationTime(median(seconds));
  }
}

void rawBurst(benchmark::State& state) {
  const int count = burstCount();
  for (auto _ : state) {
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) rawExchange();
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
  for (const char* who : {"sender", "receiver"}) QDir().mkpath(base + "/" + who + "/home/Documents");

  qputenv("TAVINOR_DATA_ROOT", (base + "/sender/data").toUtf8());
  qputenv("TAVINOR_BIND_ADDRESS", kSenderAddress);
  qputenv("HOME", (base + "/sender/home").toUtf8());
  qputenv("XDG_CONFIG_HOME", (base + "/sender/home/.config").toUtf8());
  qputenv("TAVINOR_REGISTRY_FILE", (base + "/sender/registry.json").toUtf8());
  modGlobalVariables::InitGlobalVariables();
  installActivitySink();
  loadResources(resource);
  senderUID = addLoggedInAccount("Sam");
  modLocalUserFunctions::LocalUserOptions.EnableIPFiltering = false;

  static Receiver child;
  receiver = &child;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("TAVINOR_DATA_ROOT", base + "/receiver/data");
  environment.insert("TAVINOR_BIND_ADDRESS", kReceiverAddress);
  environment.insert("HOME", base + "/receiver/home");
  environment.insert("XDG_CONFIG_HOME", base + "/receiver/home/.config");
  environment.insert("TAVINOR_REGISTRY_FILE", base + "/receiver/registry.json");
  child.process.setProcessEnvironment(environment);
  child.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QObject::connect(&child.process, &QProcess::readyReadStandardOutput, [] { receiver->read(); });
  child.process.start(QCoreApplication::applicationFilePath(),
                      {"--receiver", QString::fromStdString(senderUID), QString::fromUtf8(resource)});
  if (!runUntil([] { return !receiver->uid.empty() ||
                            receiver->process.state() == QProcess::NotRunning; }, 20'000) ||
      receiver->uid.empty()) {
    fail("the receiver did not start");
  }
  addUserRow(receiver->uid, "Rita", kReceiverAddress);
  std::printf("sender %s on %s, receiver %s on %s (separate process), raw server on %s; "
              "%d-character messages, %d runs for one message, burst of %d\n",
              senderUID.c_str(), kSenderAddress, receiver->uid.c_str(), kReceiverAddress,
              kRawAddress, kMessageChars, kSingleRuns, burstCount());

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"ours/one_message", oneMessage<false>},
      {"ours/one_message_tick_at_once", oneMessage<true>},
      {"raw/one_exchange", rawOne},
      {"ours/burst", burst},
      {"raw/burst", rawBurst},
  };
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name.c_str(), function)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  ratio_report_detail::RatioReporter reporter;
  const std::string kSuffix = "/iterations:1/manual_time";
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(
      {
          {"one message, send to stored (median)", "ours/one_message" + kSuffix,
           "raw/one_exchange" + kSuffix},
          {"one message, queue ticked at once (median)", "ours/one_message_tick_at_once" + kSuffix,
           "raw/one_exchange" + kSuffix},
          {"burst, all queued at once, first send to last stored", "ours/burst" + kSuffix,
           "raw/burst" + kSuffix},
      },
      "ours (ms)", "raw (ms)");
  benchmark::Shutdown();

  // Every message sent is on the receiver's disk.
  child.process.write("C\n");
  if (!runUntil([] { return receiver->lastCount >= 0; }, 30'000)) fail("no count from the receiver");
  std::printf("\nreceived messages on the receiver's disk: %d (stored replies seen: %zu)\n",
              child.lastCount, child.stored.size());
  const bool complete = child.lastCount == static_cast<int>(child.stored.size());
  ReleaseActionManager();
  child.process.closeWriteChannel();
  if (!child.process.waitForFinished(10'000)) child.process.kill();
  if (!complete) fail("the receiver's file does not hold every stored message");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runReceiver(argc, argv);
  return runSender(argc, argv);
}
