// A file from one copy to another over loopback, each copy in its own
// process with its own data folder, address and account.
//
// This process is the sender (127.0.0.66): it queues the file action as the
// compose window does (modFileTransfer::QueueFileActions) and the queue
// works it off (ping, connect, 200, 300, 400, 2000, the content, reply
// 2051). The receiver is this same program started again with --receiver
// (127.0.0.67): a listening PeerConnections with the program's own
// dispatcher, writing the file into its upload folder; when the file is
// complete (flushed, synced and renamed into place) it prints the
// CLOCK_MONOTONIC time, which both processes share. The receiver also runs
// the reference on 127.0.0.68: a bare blocking TCP reader of frames of the
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
// The source file is synced before the first case. The cases run in five
// rounds, each in the reverse order of the one before, and each row of the
// table spans the rounds, its ratios pairing the cases of one round. At the end
// the receiver reports its peak resident size (VmHWM).
// FILES_BENCH_MIB overrides the file size (1024 MiB).
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcesses.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "RatioReport.h"
#include "clsActionManager.h"
#include "modFileTransfer.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kSenderAddress = "127.0.0.66";
constexpr const char* kReceiverAddress = "127.0.0.67";
constexpr const char* kRawAddress = "127.0.0.68";
constexpr int kRawPort = 27156;
constexpr int kWaitLimitMs = 600'000;
constexpr std::size_t kRawFrame = modWireFrames::kMaxFrameBody + 2;

int64_t fileBytes() {
  const QByteArray given = qgetenv("FILES_BENCH_MIB");
  const int64_t mib = given.isEmpty() ? 1024 : given.toLongLong();
  return (mib > 0 ? mib : 1024) << 20;
}

// ---- the receiving process ------------------------------------------------

// Reads frames (2-byte length, body) until `total` body bytes came, then
// answers one byte; once per connection, forever. With a `file`, the bodies
// are written there and synced first.
void rawReceiver(int64_t total, int port, std::string file) {
  const int listener = rawListener(kRawAddress, port);
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

// argv: --receiver <sender UID> <raw body bytes>. Prints "S" per file
// complete and answers "M" with its peak resident size in KiB.
int runReceiver(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 4) fail("receiver: arguments");
  const std::string own = setUpCopy(TAVINOR_BENCH_RESOURCE_FILE, "Rita", [](int32_t kind) {
    if (kind == MessageCenterServices::kIncomingFiles) reportStored();
  });
  addUserRow(argv[2], "Sam", kSenderAddress);
  PeerConnections peers;
  if (!peers.StartListening()) fail("receiver: " + peers.LastListenError());
  std::thread(rawReceiver, std::atoll(argv[3]), kRawPort, std::string()).detach();
  std::thread(rawReceiver, std::atoll(argv[3]), kRawPort + 1,
              QDir::homePath().toStdString() + "/raw.bin").detach();
  const int result = serveQuestions(own, [](char) -> long long { return peakResidentKiB(); });
  peers.CloseAll();
  return result;
}

// ---- the sending process --------------------------------------------------

ReceiverProcess* receiver = nullptr;
std::string sourceFile;

template <bool encipher>
void ours(benchmark::State& state) {
  modLocalUserFunctions::LocalUserOptions.EncryptSendingFile = encipher;
  for (auto _ : state) {
    const std::size_t before = receiver->stored().size();
    const int64_t start = monotonicNs();
    modFileTransfer::QueueFileActions({receiver->uid()}, {sourceFile});
    ActionManager().SetActionTimer(1, true);
    if (!runUntil([&] { return receiver->stored().size() > before; }, kWaitLimitMs)) {
      fail("the file never arrived");
    }
    const double seconds = static_cast<double>(receiver->stored()[before] - start) / 1e9;
    state.SetIterationTime(seconds);
    state.counters["MiB/s"] = static_cast<double>(fileBytes()) / (1 << 20) / seconds;
    if (!runUntil([] { return !ActionManager().IsBusy() && ActionManager().Actions().CountAll() == 0; },
                  kWaitLimitMs)) {
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
    const int fd = rawConnection(kRawAddress, port, nullptr, false);
    for (int64_t sent = 0; sent < frames; sent += 64) {
      sendAll(fd, batch.data(), kRawFrame * static_cast<std::size_t>(std::min<int64_t>(64, frames - sent)));
    }
    char answer = 0;
    receiveAll(fd, &answer, 1);
    ::close(fd);
    const double seconds = static_cast<double>(monotonicNs() - start) / 1e9;
    state.SetIterationTime(seconds);
    state.counters["MiB/s"] = static_cast<double>(fileBytes()) / (1 << 20) / seconds;
  }
}

// The source is synced before any case runs, so no case pays for its writeback.
void writeSource(const std::string& path) {
  {
    std::ofstream file(path, std::ios::binary);
    std::mt19937 bytes(1);
    std::string block(1 << 20, '\0');
    for (int64_t written = 0; written < fileBytes(); written += block.size()) {
      for (char& c : block) c = static_cast<char>(bytes());
      file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    if (!file.flush()) fail("cannot write the source");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0 || ::close(fd) != 0) fail("cannot sync the source");
}

constexpr int kRounds = kRuns;

void runRounds(int argc, char** argv) {
  std::vector<std::pair<std::string, BenchFunction>> benchmarks;
  addAlternatingRounds(benchmarks,
                       {{"ours/enciphered", ours<true>},
                        {"ours/plain", ours<false>},
                        {"raw/frames", raw<kRawPort>},
                        {"raw/frames_to_disk", raw<kRawPort + 1>}},
                       kRounds);
  const std::vector<std::array<std::string, 3>> pairs = {
      {"file enciphered, queued to complete", "ours/enciphered", "raw/frames"},
      {"file plain, queued to complete", "ours/plain", "raw/frames"},
      {"file enciphered, against a reader writing to disk", "ours/enciphered", "raw/frames_to_disk"},
      {"file plain, against a reader writing to disk", "ours/plain", "raw/frames_to_disk"}};
  // The disk's pace drifts from one case to the next: each row takes every
  // round, and each ratio pairs the cases of one round.
  std::vector<RatioRow> rows;
  for (const auto& [label, ours, reference] : pairs) {
    rows.push_back({label, allRounds(ours, kRounds), allRounds(reference, kRounds)});
  }
  runWithRatios(argc, argv, benchmarks, rows, "ours (ms)", "raw (ms)", BenchTiming::kByHandOnce, 1);
}

int runSender(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir folders;
  if (!folders.isValid()) fail("no temporary folder");
  const QString base = folders.path();
  sourceFile = (base + "/source.bin").toStdString();
  writeSource(sourceFile);

  useCopyFolders(base + "/sender", kSenderAddress);
  const std::string senderUID = setUpCopy(TAVINOR_BENCH_RESOURCE_FILE, "Sam", [](int32_t) {});
  ReceiverProcess child;
  receiver = &child;
  const int64_t rawBodies = fileBytes() / static_cast<int64_t>(modWireFrames::kMaxPiece) *
                            static_cast<int64_t>(modWireFrames::kMaxFrameBody);
  child.start(base, kReceiverAddress, {QString::fromStdString(senderUID), QString::number(rawBodies)});
  addUserRow(receiver->uid(), "Rita", kReceiverAddress);
  ActionManager().StartActionManager();
  std::printf("sender %s, receiver on %s (separate process), raw reader on %s:%d; file of %lld MiB\n",
              kSenderAddress, kReceiverAddress, kRawAddress, kRawPort,
              static_cast<long long>(fileBytes() >> 20));

  runRounds(argc, argv);

  std::printf("\nreceiver's peak resident size: %lld KiB\n", child.ask('M'));
  ReleaseActionManager();
  child.finish();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runReceiver(argc, argv);
  return runSender(argc, argv);
}
