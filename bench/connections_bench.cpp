// The listening side under a crowd: 200 peers, each from an address of its
// own, connect to a listening PeerConnections at the same moment; each waits
// for its greeting (one complete frame, which must parse to
// <R ... V="100"/>) and leaves as soon as it has it, as a requester that has
// finished would. PeerConnections serves at most kMaxIncoming at once; the
// others wait for a free slot, so every one must be greeted. The reference
// is a bare QTcpServer that accepts and writes the same greeting bytes, in
// the same run.
//
// The clients run in their own thread on non-blocking POSIX sockets; the
// listeners run in this thread's event loop. A client is done when its whole
// frame has arrived or its connection ended without one (turned away). Then
// the event loop runs until the listener has no connection left open. That
// wait counts in each iteration's time; whatever is still open after a
// bounded wait is reported as left_open (must be 0).
//
// Counters per iteration: greeted (must be 200), turned_away (must be 0),
// left_open, and us/conn (wall time of the iteration / 200).
//
// A newcomer among busy peers: 64 connections, 8 from each of 8 addresses,
// take every slot, each asks one request and then holds its slot quietly
// (the idle controller ticks every 100 ms here, so a slot is held quietly
// after a second). Each iteration is one newcomer from a fresh address,
// timed from its connect to its whole greeting; the holder that gave its
// slot up connects again (untimed) before the next, quiet only a second
// later: a newcomer that finds every holder come back within that second
// waits for the first to turn quiet (greet_ms_max). Counters greet_ms_min,
// greet_ms_median, greet_ms_max. The reference is a newcomer to the bare
// server. Prints a ratio table (ours / bare) last.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionState.h"
#include "PeerConnections.h"
#include "RatioReport.h"
#include "modCOMRequestedAction.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

constexpr int kClients = 200;
constexpr const char* kOursAddress = "127.0.0.61";
constexpr const char* kBareAddress = "127.0.0.62";
constexpr int kClientDeadlineMs = 20'000;
constexpr int kSettleDeadlineMs = 5'000;

using Clock = std::chrono::steady_clock;

void fail(const char* what) {
  std::fprintf(stderr, "connections_bench: %s\n", what);
  std::abort();
}

// What one group of clients saw.
struct GroupOutcome {
  std::vector<std::string> frames;  // one frame body per client that got a whole frame
  int turnedAway = 0;               // the connection ended, or never came up, without a frame
  int unanswered = 0;               // still waiting at the deadline
};

// The local address of client `n`: 127.1.x.y, one per client.
sockaddr_in clientAddress(int n) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl((127u << 24) | (1u << 16) | static_cast<uint32_t>(n + 1));
  return local;
}

// Connects `count` clients to address:kPeerPort at once, each from its own
// address; each closes as soon as it has a whole frame or has lost its
// connection.
GroupOutcome runClients(const char* address, int count) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(PeerConnections::kPeerPort);
  ::inet_pton(AF_INET, address, &server.sin_addr);

  struct Client {
    int fd = -1;
    bool done = false;
    modWireFrames::FrameReader reader;
  };
  std::vector<Client> clients(static_cast<std::size_t>(count));
  GroupOutcome outcome;
  int waiting = count;
  for (std::size_t n = 0; n < clients.size(); ++n) {
    Client& client = clients[n];
    client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client.fd < 0) fail("client socket");
    const sockaddr_in local = clientAddress(static_cast<int>(n));
    if (::bind(client.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) fail("client bind");
    if (::connect(client.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
        errno != EINPROGRESS) {
      client.done = true;
      ++outcome.turnedAway;
      --waiting;
    }
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(kClientDeadlineMs);
  std::vector<pollfd> watched;
  std::vector<Client*> owners;
  char chunk[8192];
  while (waiting > 0 && Clock::now() < deadline) {
    watched.clear();
    owners.clear();
    for (Client& client : clients) {
      if (client.done) continue;
      watched.push_back({client.fd, POLLIN, 0});
      owners.push_back(&client);
    }
    if (::poll(watched.data(), watched.size(), 100) < 0 && errno != EINTR) fail("client poll");
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      Client& client = *owners[i];
      bool ended = false;
      for (;;) {
        const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got > 0) {
          client.reader.Append(std::string(chunk, static_cast<std::size_t>(got)));
          continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended = true;
        break;
      }
      std::string body;
      if (client.reader.Next(body) == modWireFrames::FrameReader::Result::kFrame) {
        outcome.frames.push_back(std::move(body));
      } else if (ended) {
        ++outcome.turnedAway;
      } else {
        continue;
      }
      client.done = true;
      ::close(client.fd);
      client.fd = -1;
      --waiting;
    }
  }
  outcome.unanswered = waiting;
  for (Client& client : clients) {
    if (client.fd >= 0) ::close(client.fd);
  }
  return outcome;
}

// True for a frame body that parses to a whole reply text with V="100".
bool isGreeting(std::string body) {
  ConnectionState state;
  if (!modWireFrames::ParseFrame(state, body) || state.Phase != kMessagePhase) return false;
  modWireFrames::MessageAssembler assembler;
  std::string text;
  if (assembler.Add(state, std::move(body), text) != modWireFrames::MessageAssembler::Result::kComplete) {
    return false;
  }
  pugi::xml_document reply;
  if (!reply.load_buffer(text.data(), text.size())) return false;
  return std::string(reply.child("R").attribute("V").value()) == "100";
}

// Runs `count` clients against address in their own thread while this
// thread's event loop serves them.
GroupOutcome serveGroup(const char* address, int count) {
  QEventLoop loop;
  GroupOutcome outcome;
  std::thread clients([&] {
    outcome = runClients(address, count);
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  QTimer::singleShot(kClientDeadlineMs + 5'000, &loop, &QEventLoop::quit);
  loop.exec();
  clients.join();
  return outcome;
}

// Runs the event loop until openConnections() is 0 or the deadline passes;
// returns what is still open.
int settle(const std::function<int()>& openConnections) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSettleDeadlineMs);
  QEventLoop loop;
  QTimer check;
  check.setInterval(1);
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (openConnections() == 0 || Clock::now() >= deadline) loop.quit();
  });
  check.start();
  if (openConnections() != 0) loop.exec();
  return openConnections();
}

// Totals over a benchmark's iterations.
struct Tally {
  double seconds = 0;
  int64_t greeted = 0;
  int64_t turnedAway = 0;
  int64_t unanswered = 0;
  int leftOpen = 0;

  void add(const GroupOutcome& group) {
    for (const std::string& frame : group.frames) {
      if (!isGreeting(frame)) fail("a client got a frame that is not the greeting");
      ++greeted;
    }
    turnedAway += group.turnedAway;
    unanswered += group.unanswered;
  }
  void report(benchmark::State& state) const {
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["greeted"] = static_cast<double>(greeted) / iterations;
    state.counters["turned_away"] = static_cast<double>(turnedAway) / iterations;
    if (unanswered > 0) state.counters["unanswered"] = static_cast<double>(unanswered) / iterations;
    state.counters["left_open"] = leftOpen;
    state.counters["us/conn"] = seconds * 1e6 / (iterations * kClients);
  }
};

// Serves kClients at once and waits until the listener has settled.
template <typename OpenConnections>
void serveAll(Tally& tally, const char* address, OpenConnections openConnections) {
  const auto start = Clock::now();
  tally.add(serveGroup(address, kClients));
  tally.leftOpen = std::max(tally.leftOpen, settle(openConnections));
  tally.seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- ours ------------------------------------------------------------------

PeerConnections& peers() {
  static PeerConnections* listening = [] {
    auto* made = new PeerConnections();
    if (!made->StartListening()) fail(made->LastListenError().c_str());
    return made;
  }();
  return *listening;
}

// Accepted connections of PeerConnections whose State is not 0 (element 0 listens).
int oursOpen() {
  const auto& sockets = peers().wsConnection();
  int open = 0;
  for (std::size_t i = 1; i < sockets.size(); ++i) {
    if (sockets[i]->State() != platform::kSckClosed) ++open;
  }
  return open;
}

void oursBench(benchmark::State& state) {
  Tally tally;
  for (auto _ : state) serveAll(tally, kOursAddress, oursOpen);
  tally.report(state);
}

// ---- a newcomer among busy peers -------------------------------------------

constexpr int kHolderAddresses = 8;
constexpr int kIdleTickMs = 100;
constexpr int kQuietMs = (PeerConnections::kTenureTicks + 5) * kIdleTickMs;

// A blocking connection from `local` to address:kPeerPort, or -1.
int connectFrom(const sockaddr_in& local, const char* address) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(PeerConnections::kPeerPort);
  ::inet_pton(AF_INET, address, &server.sin_addr);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("client socket");
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) fail("client bind");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits up to kClientDeadlineMs for a whole frame on `fd`.
bool awaitFrame(int fd) {
  modWireFrames::FrameReader reader;
  std::string body;
  char chunk[8192];
  const auto deadline = Clock::now() + std::chrono::milliseconds(kClientDeadlineMs);
  while (Clock::now() < deadline) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    reader.Append(std::string(chunk, static_cast<std::size_t>(got)));
    if (reader.Next(body) == modWireFrames::FrameReader::Result::kFrame) return true;
  }
  return false;
}

// Runs `work` in a thread of its own while this thread's event loop runs.
void whileServing(const std::function<void()>& work) {
  QEventLoop loop;
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
}

void serveFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The 64 slot holders: greeted, each asked one request, read what came.
class Holders {
 public:
  Holders() : fds_(static_cast<std::size_t>(PeerConnections::kMaxIncoming), -1) {}
  ~Holders() {
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  // Connects every holder that has none (or lost it); false when one is not greeted.
  bool fill() {
    const std::string ask = modWireFrames::BuildFrames("<A AT=\"200\" SUID=\"X\" RUID=\"Y\"/>", true, true,
                                                       modWireFrames::kMessageFrames, true);
    for (std::size_t n = 0; n < fds_.size(); ++n) {
      if (fds_[n] >= 0 && !lost(fds_[n])) continue;
      if (fds_[n] >= 0) ::close(fds_[n]);
      fds_[n] = connectFrom(holderAddress(static_cast<int>(n)), kOursAddress);
      if (fds_[n] < 0 || !awaitFrame(fds_[n])) return false;
      ::send(fds_[n], ask.data(), ask.size(), MSG_NOSIGNAL);
    }
    return true;
  }

 private:
  static sockaddr_in holderAddress(int n) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl((127u << 24) | (2u << 16) | static_cast<uint32_t>(n % kHolderAddresses + 1));
    return local;
  }
  // Reads what arrived; true when the copy closed the connection.
  static bool lost(int fd) {
    char chunk[8192];
    for (;;) {
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) continue;
      return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
  }
  std::vector<int> fds_;
};

// One newcomer from a fresh address per call: milliseconds to its greeting.
double newcomerGreetingMs(const char* address) {
  static std::atomic<uint32_t> fresh{0};
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl((127u << 24) | (3u << 16) | ++fresh);
  double ms = -1;
  whileServing([&] {
    const auto start = Clock::now();
    const int fd = connectFrom(local, address);
    if (fd < 0 || !awaitFrame(fd)) fail("a newcomer was not greeted");
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::close(fd);
  });
  return ms;
}

void reportGreetings(benchmark::State& state, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return;
  state.counters["greet_ms_min"] = ms.front();
  state.counters["greet_ms_median"] = ms[ms.size() / 2];
  state.counters["greet_ms_max"] = ms.back();
}

void oursNewcomerBench(benchmark::State& state) {
  static Holders holders;
  peers().tmrConnectionTimeoutController.setInterval(kIdleTickMs);
  bool filled = false;
  whileServing([&] { filled = holders.fill(); });
  if (!filled) fail("a holder was not greeted");
  serveFor(kQuietMs);
  std::vector<double> ms;
  for (auto _ : state) {
    ms.push_back(newcomerGreetingMs(kOursAddress));
    state.PauseTiming();
    whileServing([&] { filled = holders.fill(); });
    if (!filled) fail("a holder was not greeted again");
    state.ResumeTiming();
  }
  reportGreetings(state, ms);
}

// ---- the bare server -------------------------------------------------------

// Accepts every connection, writes the greeting bytes and forgets the socket
// when the client has closed.
class BareServer {
 public:
  explicit BareServer(std::string greeting) : greeting_(std::move(greeting)) {
    server_.setMaxPendingConnections(kClients);
    server_.setListenBacklogSize(SOMAXCONN);  // the backlog our listener asks for
    if (!server_.listen(QHostAddress(QString::fromLatin1(kBareAddress)), PeerConnections::kPeerPort)) {
      fail("the bare server cannot listen");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        open_.insert(socket);
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
          open_.erase(socket);
          socket->deleteLater();
        });
        socket->write(greeting_.data(), static_cast<qint64>(greeting_.size()));
      }
    });
  }
  int open() const { return static_cast<int>(open_.size()); }

 private:
  std::string greeting_;
  QTcpServer server_;
  std::set<QTcpSocket*> open_;
};

BareServer& bare() {
  static BareServer* server = new BareServer(modWireFrames::BuildFrames(
      modCOMRequestedAction::BuildResponse("", "", "", 100, "", false), true, true,
      modWireFrames::kMessageFrames, true));
  return *server;
}

void bareBench(benchmark::State& state) {
  Tally tally;
  for (auto _ : state) serveAll(tally, kBareAddress, [] { return bare().open(); });
  tally.report(state);
}

void bareNewcomerBench(benchmark::State& state) {
  std::vector<double> ms;
  for (auto _ : state) ms.push_back(newcomerGreetingMs(kBareAddress));
  reportGreetings(state, ms);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir dataRoot;
  qputenv("TAVINOR_DATA_ROOT", dataRoot.path().toUtf8());
  qputenv("TAVINOR_BIND_ADDRESS", kOursAddress);
  modGlobalVariables::InitGlobalVariables();
  modGlobalVariables::CurrentLocalUserUID = "{6F1C2B0A-58E3-4C1D-9A77-0B2E5D4C3A21}";
  modLocalUserFunctions::LocalUserOptions.EnableIPFiltering = false;
  peers();
  bare();
  std::printf("%d clients; PeerConnections on %s (%d served at once), bare QTcpServer on %s, port %d\n",
              kClients, kOursAddress, PeerConnections::kMaxIncoming, kBareAddress, PeerConnections::kPeerPort);

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"peers/all_at_once", oursBench},
      {"bare/all_at_once", bareBench},
      {"peers/newcomer_among_64_busy", oursNewcomerBench},
      {"bare/newcomer", bareNewcomerBench},
  };
  const std::vector<RatioRow> table = {
      {"200 peers at once, all greeted (the excess waits for a slot)", "peers/all_at_once",
       "bare/all_at_once"},
      {"a newcomer greeted while 64 busy peers of 8 addresses hold every slot", "peers/newcomer_among_64_busy",
       "bare/newcomer"},
  };
  return runWithRatios(argc, argv, benchmarks, table, "ours (ms)", "bare (ms)");
}
