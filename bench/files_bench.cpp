// A file from one copy to another over loopback, each copy in its own
// process with its own data folder, address and account.
//
// This process is the sender (127.0.9.1): it queues the file action as the
// compose window does (modFileTransfer::QueueFileActions) and the queue
// works it off (ping, connect, 200, 300, 400, 2000, the content, reply
// 2051). The receiver is this same program started again with --receiver
// (127.0.9.2): a listening PeerConnections with the program's own
// dispatcher, writing the file into its upload folder; when the file is
// complete (flushed, synced and renamed into place) it prints the
// CLOCK_MONOTONIC time, which both processes share. The receiver also runs
// the reference on 127.0.9.3: a bare blocking TCP reader of frames of the
// same sizes (2-byte length, 4010-byte bodies) that answers one byte once it
// has them all; the reference sender writes them with blocking sends. A
// second reference reader (port + 1) also writes the bodies to a file and
// syncs it before answering, as the receiver does before its 2051.
//
//   ours/enciphered, ours/plain   from queuing the action to "complete" at
//                                 the receiver (EncryptSendingFile on, off)
//   raw/frames                    first byte sent to the answer
//   raw/frames_to_disk            the same, the reader writing and syncing
//
// At the end the receiver reports its peak resident size (VmHWM).
// FILES_BENCH_MIB overrides the file size (1024 MiB).
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "RatioReport.h"
#include "clsActionManager.h"
#include "modFileTransfer.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kSenderAddress = "127.0.9.1";
constexpr const char* kReceiverAddress = "127.0.9.2";
constexpr const char* kRawAddress = "127.0.9.3";
constexpr int kRawPort = 27156;
constexpr int kWaitLimitMs = 600'000;
constexpr std::size_t kRawFrame = modWireFrames::kMaxFrameBody + 2;

int64_t monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "files_bench: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

int64_t fileBytes() {
  const QByteArray given = qgetenv("FILES_BENCH_MIB");
  const int64_t mib = given.isEmpty() ? 1024 : given.toLongLong();
  return (mib > 0 ? mib : 1024) << 20;
}

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
  LocalUserOptions.EnableIPFiltering = false;
  return uid;
}

void addUserRow(const std::string& uid, const std::string& name, const std::string& address) {
  PoolLoan users(modGlobalVariables::User);
  users->CreateNewRow(false, 0);
  users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Bench", name, address});
  users->AddCurrentRow();
  users->SaveXMLDoc();
}

int rawSocket(const char* address, int port, bool bindOnly) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &at.sin_addr);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const bool ok = bindOnly ? ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(fd, 4) == 0
                           : ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  if (fd < 0 || !ok) fail(std::string("raw socket on ") + address);
  return fd;
}

// ---- the receiving process ------------------------------------------------

// Reads frames (2-byte length, body) until `total` body bytes came, then
// answers one byte; once per connection, forever. With a `file`, the bodies
// are written there and synced first.
void rawReceiver(int64_t total, int port, std::string file) {
  const int listener = rawSocket(kRawAddress, port, true);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    const int out = file.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int64_t bodies = 0;
    std::size_t needHeader = 2, needBody = 0;
    unsigned char header[2];
    while (bodies < total) {
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got;) {
        if (needBody > 0) {
          const std::size_t take = std::min<std::size_t>(needBody, static_cast<std::size_t>(got - i));
          if (out >= 0 && ::write(out, buffer.data() + i, take) != static_cast<ssize_t>(take)) fail("raw write");
          needBody -= take;
          bodies += static_cast<int64_t>(take);
          i += static_cast<ssize_t>(take);
          if (needBody == 0) needHeader = 2;
        } else {
          header[2 - needHeader] = static_cast<unsigned char>(buffer[static_cast<std::size_t>(i++)]);
          if (--needHeader == 0) needBody = header[0] + 256u * header[1];
        }
      }
    }
    if (out >= 0 && (::fsync(out) != 0 || ::close(out) != 0)) fail("raw sync");
    const char done = 'd';
    ::send(fd, &done, 1, MSG_NOSIGNAL);
    ::close(fd);
  }
}

long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// argv: --receiver <sender UID> <raw body bytes>. Prints "R <own UID>" when
// listening, "S <ns>" per file complete, "M <kB>" (peak resident size) for
// each "M" line on standard input; ends when its input ends.
int runReceiver(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 4) fail("receiver: arguments");
  modGlobalVariables::InitGlobalVariables();
  modGenFunctionsResource::loadResourceFileFrom(TAVINOR_BENCH_RESOURCE_FILE);
  MessageCenterServices::Install({[](int32_t kind, const std::string&, int32_t, const std::string&,
                                     const std::string&) {
                                    if (kind != MessageCenterServices::kIncomingFiles) return;
                                    std::printf("S %lld\n", static_cast<long long>(monotonicNs()));
                                    std::fflush(stdout);
                                  },
                                  [] {}});
  const std::string own = addLoggedInAccount("Rita");
  addUserRow(argv[2], "Sam", kSenderAddress);
  PeerConnections peers;
  if (!peers.StartListening()) fail("receiver: " + peers.LastListenError());
  std::thread(rawReceiver, std::atoll(argv[3]), kRawPort, std::string()).detach();
  std::thread(rawReceiver, std::atoll(argv[3]), kRawPort + 1,
              QDir::homePath().toStdString() + "/raw.bin").detach();

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char chunk[64];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
      input.setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    if (std::memchr(chunk, 'M', static_cast<std::size_t>(got)) != nullptr) {
      std::printf("M %ld\n", peakResidentKiB());
      std::fflush(stdout);
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
  std::vector<int64_t> complete;
  long peakKiB = -1;

  void read() {
    out += process.readAllStandardOutput();
    for (qsizetype end; (end = out.indexOf('\n')) >= 0;) {
      const QByteArray line = out.left(end);
      out.remove(0, end + 1);
      if (line.startsWith("S ")) complete.push_back(line.mid(2).toLongLong());
      else if (line.startsWith("R ")) uid = line.mid(2).toStdString();
      else if (line.startsWith("M ")) peakKiB = line.mid(2).toLong();
    }
  }
};

Receiver* receiver = nullptr;
std::string sourceFile;

bool runUntil(const std::function<bool()>& done, int limitMs = kWaitLimitMs) {
  const int64_t deadline = monotonicNs() + int64_t{limitMs} * 1'000'000;
  QTimer wake;
  wake.start(2);
  while (!done()) {
    if (monotonicNs() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

template <bool encipher>
void ours(benchmark::State& state) {
  modLocalUserFunctions::LocalUserOptions.EncryptSendingFile = encipher;
  for (auto _ : state) {
    const std::size_t before = receiver->complete.size();
    const int64_t start = monotonicNs();
    modFileTransfer::QueueFileActions({receiver->uid}, {sourceFile});
    ActionManager().SetActionTimer(1, true);
    if (!runUntil([&] { return receiver->complete.size() > before; })) fail("the file never arrived");
    const double seconds = static_cast<double>(receiver->complete[before] - start) / 1e9;
    state.SetIterationTime(seconds);
    state.counters["MiB/s"] = static_cast<double>(fileBytes()) / (1 << 20) / seconds;
    if (!runUntil([] { return !ActionManager().IsBusy() && ActionManager().Actions().CountAll() == 0; })) {
      fail("the queue never settled");
    }
  }
}

template <int port>
void raw(benchmark::State& state) {
  const int64_t frames = fileBytes() / static_cast<int64_t>(modWireFrames::kMaxPiece);
  std::string batch;
  for (int i = 0; i < 64; ++i) {
    batch.push_back(static_cast<char>(modWireFrames::kMaxFrameBody & 0xFF));
    batch.push_back(static_cast<char>(modWireFrames::kMaxFrameBody >> 8));
    batch.append(modWireFrames::kMaxFrameBody, 'f');
  }
  for (auto _ : state) {
    const int64_t start = monotonicNs();
    const int fd = rawSocket(kRawAddress, port, false);
    for (int64_t sent = 0; sent < frames; sent += 64) {
      const std::size_t size = kRawFrame * static_cast<std::size_t>(std::min<int64_t>(64, frames - sent));
      for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::send(fd, batch.data() + done, size - done, MSG_NOSIGNAL);
        if (put <= 0) fail("raw send");
        done += static_cast<std::size_t>(put);
      }
    }
    char answer = 0;
    if (::recv(fd, &answer, 1, 0) != 1) fail("raw answer");
    ::close(fd);
    const double seconds = static_cast<double>(monotonicNs() - start) / 1e9;
    state.SetIterationTime(seconds);
    state.counters["MiB/s"] = static_cast<double>(fileBytes()) / (1 << 20) / seconds;
  }
}

void writeSource(const std::string& path) {
  std::ofstream file(path, std::ios::binary);
  std::mt19937 bytes(1);
  std::string block(1 << 20, '\0');
  for (int64_t written = 0; written < fileBytes(); written += block.size()) {
    for (char& c : block) c = static_cast<char>(bytes());
    file.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

int runSender(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir folders;
  if (!folders.isValid()) fail("no temporary folder");
  const QString base = folders.path();
  for (const char* who : {"sender", "receiver"}) QDir().mkpath(base + "/" + who + "/home/Documents");
  sourceFile = (base + "/source.bin").toStdString();
  writeSource(sourceFile);

  qputenv("TAVINOR_DATA_ROOT", (base + "/sender/data").toUtf8());
  qputenv("TAVINOR_BIND_ADDRESS", kSenderAddress);
  qputenv("HOME", (base + "/sender/home").toUtf8());
  qputenv("XDG_CONFIG_HOME", (base + "/sender/home/.config").toUtf8());
  qputenv("TAVINOR_REGISTRY_FILE", (base + "/sender/registry.json").toUtf8());
  modGlobalVariables::InitGlobalVariables();
  modGenFunctionsResource::loadResourceFileFrom(TAVINOR_BENCH_RESOURCE_FILE);
  MessageCenterServices::Install({[](int32_t, const std::string&, int32_t, const std::string&,
                                     const std::string&) {},
                                  [] {}});
  const std::string senderUID = addLoggedInAccount("Sam");

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
  const int64_t rawBodies = fileBytes() / static_cast<int64_t>(modWireFrames::kMaxPiece) *
                            static_cast<int64_t>(modWireFrames::kMaxFrameBody);
  child.process.start(QCoreApplication::applicationFilePath(),
                      {"--receiver", QString::fromStdString(senderUID), QString::number(rawBodies)});
  if (!runUntil([] { return !receiver->uid.empty() || receiver->process.state() == QProcess::NotRunning; },
                20'000) ||
      receiver->uid.empty()) {
    fail("the receiver did not start");
  }
  addUserRow(receiver->uid, "Rita", kReceiverAddress);
  ActionManager().StartActionManager();
  std::printf("sender %s, receiver on %s (separate process), raw reader on %s:%d; file of %lld MiB\n",
              kSenderAddress, kReceiverAddress, kRawAddress, kRawPort,
              static_cast<long long>(fileBytes() >> 20));

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"ours/enciphered", ours<true>},
      {"ours/plain", ours<false>},
      {"raw/frames", raw<kRawPort>},
      {"raw/frames_to_disk", raw<kRawPort + 1>}};
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
  reporter.printRatios({{"file enciphered, queued to complete", "ours/enciphered" + kSuffix, "raw/frames" + kSuffix},
                        {"file plain, queued to complete", "ours/plain" + kSuffix, "raw/frames" + kSuffix},
                        {"file enciphered, against a reader writing to disk", "ours/enciphered" + kSuffix,
                         "raw/frames_to_disk" + kSuffix},
                        {"file plain, against a reader writing to disk", "ours/plain" + kSuffix,
                         "raw/frames_to_disk" + kSuffix}},
                       "ours (ms)", "raw (ms)");
  benchmark::Shutdown();

  child.process.write("M\n");
  if (!runUntil([] { return receiver->peakKiB >= 0; }, 30'000)) fail("no memory figure from the receiver");
  std::printf("\nreceiver's peak resident size: %ld KiB\n", child.peakKiB);
  ReleaseActionManager();
  child.process.closeWriteChannel();
  if (!child.process.waitForFinished(10'000)) child.process.kill();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runReceiver(argc, argv);
  return runSender(argc, argv);
}
