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
// A real copy under contested slots: this program started again with
// --receiver (127.0.0.63) logs in an account and listens as the program does
// (its idle controller ticking every second). Threads of this process play
// the crowds around it, on plain non-blocking sockets:
//   chatty      64 holders of 8 addresses, each asking a harmless request
//               every 5 s and coming back at once when closed;
//   contested   63 such holders (7 of the first address), and passers-by
//               from fresh addresses, one every 250 ms, each leaving once
//               greeted;
//   unfinished  512 connections of 64 addresses, each sending 1 MiB of a
//               text it never finishes.
// Each case runs kRuns times, one sample each, timed by hand:
//   copy/newcomer_chatty, copy/newcomer_unfinished: from a newcomer's
//     connect (from a fresh address) to its whole greeting, against
//     bare/newcomer, the same to the bare server;
//   copy/slow_text_contested: a message of 400 KiB sent at 16 KiB/s from the
//     first holders' address (after its sender check), from its first byte
//     to the answer 1200, against copy/slow_text_calm, the same without any
//     crowd; a text that is cut is reported as an error.
// Prints a ratio table (ours / reference) last: min/median/max of each.
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
#include <cstring>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcesses.h"
#include "ConnectionState.h"
#include "MessageBox.h"
#include "PeerConnections.h"
#include "RatioReport.h"
#include "modCOMRequestedAction.h"
#include "modGenFunctions.h"
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

// Serves kClients at once and waits until the listener has settled; the
// seconds it took.
template <typename OpenConnections>
double serveAll(Tally& tally, const char* address, OpenConnections openConnections) {
  const auto start = Clock::now();
  tally.add(serveGroup(address, kClients));
  tally.leftOpen = std::max(tally.leftOpen, settle(openConnections));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  tally.seconds += seconds;
  return seconds;
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
  for (auto _ : state) state.SetIterationTime(serveAll(tally, kOursAddress, oursOpen));
  tally.report(state);
}

// ---- crowds around a real copy -------------------------------------------

constexpr const char* kCopyAddress = "127.0.0.63";
std::string copyAccount;  // the UID of the copy's account
constexpr int kCopySettleMs = 3'000;
constexpr int kSpeakEveryMs = 5'000;
constexpr int kPasserByEveryMs = 250;
constexpr std::size_t kUnfinishedBytes = 1024 * 1024;
constexpr std::size_t kSlowText = 400 * 1024;
constexpr std::size_t kSlowPiece = 4 * 1024;
constexpr int kSlowPieceEveryMs = 250;  // 16 KiB/s

sockaddr_in addressOf(uint32_t net, uint32_t host) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl((127u << 24) | (net << 16) | host);
  return local;
}

std::string framedText(const std::string& text, bool last = true, bool first = true) {
  return modWireFrames::BuildFrames(text, first, last, modWireFrames::kMessageFrames, true);
}

std::string harmlessRequest() { return framedText("<A AT=\"200\" SUID=\"X\" RUID=\"Y\"/>"); }

// The connections of one crowd, served by a thread of their own until the
// crowd is destroyed. Each member connects from its address, reads and
// drops what arrives, writes what it has to say when the copy takes it,
// and, when it comes back, connects again as soon as its connection ends.
class Crowd {
 public:
  struct Member {
    sockaddr_in from;
    std::string says;        // once connected
    int speaksEveryMs = 0;   // harmlessRequest() that often
    bool comesBack = false;
    bool leavesWhenGreeted = false;
  };

  explicit Crowd(std::vector<Member> members, int passerByEveryMs = 0)
      : members_(std::move(members)), passerByEveryMs_(passerByEveryMs), thread_([this] { serve(); }) {}
  ~Crowd() {
    stop_ = true;
    thread_.join();
    for (Link& link : links_) {
      if (link.fd >= 0) ::close(link.fd);
    }
  }
  int greeted() const { return greeted_; }

 private:
  struct Link {
    explicit Link(std::size_t of) : member(of) {}
    std::size_t member;
    int fd = -1;
    std::string pending;
    int64_t nextSpeak = 0;
    bool greeted = false;
  };

  void open(Link& link, int64_t now) {
    const Member& member = members_[link.member];
    link.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in copy = addressOf(0, 63);
    if (link.fd < 0 || ::bind(link.fd, reinterpret_cast<const sockaddr*>(&member.from), sizeof member.from) != 0) {
      fail("crowd socket");
    }
    sockaddr_in to = copy;
    to.sin_port = htons(PeerConnections::kPeerPort);
    ::connect(link.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    link.pending = member.says;
    link.nextSpeak = now + int64_t{member.speaksEveryMs} * 1'000'000;
    link.greeted = false;
  }
  void end(Link& link, int64_t now) {
    ::close(link.fd);
    link.fd = -1;
    if (members_[link.member].comesBack) open(link, now);
  }
  void serve() {
    int64_t nextPasserBy = monotonicNs();
    uint32_t passersBy = 0;
    for (std::size_t m = 0; m < members_.size(); ++m) {
      links_.emplace_back(m);
      open(links_.back(), monotonicNs());
    }
    std::vector<pollfd> watched;
    char chunk[16384];
    while (!stop_) {
      const int64_t now = monotonicNs();
      if (passerByEveryMs_ > 0 && now >= nextPasserBy) {
        members_.push_back({addressOf(4, ++passersBy), {}, 0, false, true});
        links_.emplace_back(members_.size() - 1);
        open(links_.back(), now);
        nextPasserBy = now + int64_t{passerByEveryMs_} * 1'000'000;
      }
      watched.clear();
      for (Link& link : links_) {
        const Member& member = members_[link.member];
        if (link.fd >= 0 && member.speaksEveryMs > 0 && now >= link.nextSpeak) {
          link.pending += harmlessRequest();
          link.nextSpeak = now + int64_t{member.speaksEveryMs} * 1'000'000;
        }
        watched.push_back({link.fd, static_cast<short>(POLLIN | (link.pending.empty() ? 0 : POLLOUT)), 0});
      }
      if (::poll(watched.data(), watched.size(), 20) < 0 && errno != EINTR) fail("crowd poll");
      for (std::size_t i = 0; i < watched.size(); ++i) {
        Link& link = links_[i];
        if (link.fd < 0 || watched[i].revents == 0) continue;
        if ((watched[i].revents & POLLOUT) != 0 && !link.pending.empty()) {
          const ssize_t sent = ::send(link.fd, link.pending.data(), link.pending.size(), MSG_NOSIGNAL);
          if (sent > 0) link.pending.erase(0, static_cast<std::size_t>(sent));
        }
        if ((watched[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t got = ::recv(link.fd, chunk, sizeof chunk, 0);
        if (got > 0 && !link.greeted) {
          link.greeted = true;
          ++greeted_;
        }
        if (got > 0 && members_[link.member].leavesWhenGreeted) {
          ::close(link.fd);
          link.fd = -1;
        } else if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
          end(link, now);
        }
      }
      std::erase_if(links_, [](const Link& link) { return link.fd < 0; });
    }
  }

  std::vector<Member> members_;
  std::vector<Link> links_;
  int passerByEveryMs_;
  std::atomic<bool> stop_{false};
  std::atomic<int> greeted_{0};
  std::thread thread_;
};

// `count` holders of 8 addresses, the first address holding the fewest.
std::vector<Crowd::Member> chattyHolders(int count) {
  std::vector<Crowd::Member> members;
  for (int n = PeerConnections::kMaxIncoming - count; n < PeerConnections::kMaxIncoming; ++n) {
    members.push_back({addressOf(2, static_cast<uint32_t>(n % 8 + 1)), {}, kSpeakEveryMs, true});
  }
  return members;
}

std::vector<Crowd::Member> unfinishedTexts() {
  const std::string piece(modWireFrames::kMaxPiece, 't');
  std::string text = framedText(piece, false);
  while (text.size() < kUnfinishedBytes) text += framedText(piece, false, false);
  std::vector<Crowd::Member> members;
  for (uint32_t n = 0; n < 512; ++n) members.push_back({addressOf(5, n % 64 + 1), text});
  return members;
}

enum class Scene { kCalm, kChatty, kContested, kUnfinished };

std::unique_ptr<Crowd> crowd;

// Puts the crowd of `scene` around the copy (once, for all runs of a case)
// and lets it settle.
void useScene(Scene scene) {
  static Scene current = Scene::kCalm;
  if (scene == current) return;
  crowd.reset();
  current = scene;
  switch (scene) {
    case Scene::kCalm: break;
    case Scene::kChatty: crowd = std::make_unique<Crowd>(chattyHolders(PeerConnections::kMaxIncoming)); break;
    case Scene::kContested:
      // One slot is the slow sender's, when it gets it.
      crowd = std::make_unique<Crowd>(chattyHolders(PeerConnections::kMaxIncoming - 1), kPasserByEveryMs);
      break;
    case Scene::kUnfinished: crowd = std::make_unique<Crowd>(unfinishedTexts()); break;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kCopySettleMs));
}

// Waits up to kClientDeadlineMs for a whole frame on `fd`; its body.
std::string awaitFrame(int fd) {
  modWireFrames::FrameReader reader;
  std::string body;
  char chunk[8192];
  const auto deadline = Clock::now() + std::chrono::milliseconds(kClientDeadlineMs);
  while (Clock::now() < deadline) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return {};
    reader.Append(std::string(chunk, static_cast<std::size_t>(got)));
    if (reader.Next(body) == modWireFrames::FrameReader::Result::kFrame) return body;
  }
  return {};
}

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

// Runs `work` in a thread of its own while this thread's event loop runs
// (the bare server and our in-process listener live in it).
void whileServing(const std::function<void()>& work) {
  QEventLoop loop;
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
}

// One newcomer from a fresh address: seconds to its whole greeting.
double newcomerGreeting(const char* address) {
  static std::atomic<uint32_t> fresh{0};
  double seconds = -1;
  whileServing([&] {
    const auto start = Clock::now();
    const int fd = connectFrom(addressOf(3, ++fresh), address);
    if (fd < 0 || awaitFrame(fd).empty()) fail("a newcomer was not greeted");
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
  });
  return seconds;
}

// The slow message from the first holders' address: seconds from its first
// byte to its answer, or -1 when it did not arrive whole.
double slowText() {
  static int sent = 0;
  const int fd = connectFrom(addressOf(2, 1), kCopyAddress);
  if (fd < 0 || awaitFrame(fd).empty()) fail("the slow sender was not greeted");
  const std::string check = framedText("<A AT=\"300\" SUID=\"51000000-0000-4000-8000-000000000001\" RUID=\"" +
                                       copyAccount + "\" V=\"\"/>");
  ::send(fd, check.data(), check.size(), MSG_NOSIGNAL);
  if (awaitFrame(fd).empty()) fail("the slow sender's check was not answered");
  char uid[40];
  std::snprintf(uid, sizeof uid, "51000000-0000-4000-8000-%012d", ++sent);
  std::string message = "<M UID=\"" + std::string(uid) +
                              "\" SD=\"51000000-0000-4000-8000-000000000001\" ST=\"1\" CO=\"" +
                              std::string(kSlowText, 's') + "\"/>";
  const std::string delivery = framedText("<A AT=\"1200\" SUID=\"51000000-0000-4000-8000-000000000001\" RUID=\"" +
                                          copyAccount + "\" V=\"" + modGenFunctions::EncodeXMLChars(message) + "\"/>");
  const auto start = Clock::now();
  for (std::size_t at = 0; at < delivery.size(); at += kSlowPiece) {
    const std::size_t piece = std::min(kSlowPiece, delivery.size() - at);
    if (::send(fd, delivery.data() + at, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSlowPieceEveryMs));
  }
  std::string answer = awaitFrame(fd);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  ConnectionState state;
  modWireFrames::MessageAssembler assembler;
  std::string text;
  if (answer.empty() || !modWireFrames::ParseFrame(state, answer) ||
      assembler.Add(state, std::move(answer), text) != modWireFrames::MessageAssembler::Result::kComplete ||
      text.find("V=\"1200\"") == std::string::npos) {
    return -1;
  }
  return seconds;
}

// Counts, beside the time, the crowd's connections greeted so far.
void countCrowd(benchmark::State& state) {
  state.counters["crowd_greeted"] = crowd ? crowd->greeted() : 0;
}

void newcomerBench(benchmark::State& state, Scene scene) {
  useScene(scene);
  for (auto _ : state) state.SetIterationTime(newcomerGreeting(kCopyAddress));
  countCrowd(state);
}

void copyNewcomerChattyBench(benchmark::State& state) { newcomerBench(state, Scene::kChatty); }
void copyNewcomerUnfinishedBench(benchmark::State& state) { newcomerBench(state, Scene::kUnfinished); }

void slowTextBench(benchmark::State& state, Scene scene) {
  useScene(scene);
  for (auto _ : state) {
    const double seconds = slowText();
    if (seconds < 0) {
      state.SkipWithError("the slow text was cut");
      break;
    }
    state.SetIterationTime(seconds);
  }
  countCrowd(state);
}

void copySlowTextContestedBench(benchmark::State& state) { slowTextBench(state, Scene::kContested); }
void copySlowTextCalmBench(benchmark::State& state) { slowTextBench(state, Scene::kCalm); }

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
  for (auto _ : state) state.SetIterationTime(serveAll(tally, kBareAddress, [] { return bare().open(); }));
  tally.report(state);
}

void bareNewcomerBench(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(newcomerGreeting(kBareAddress));
}

// ---- the copy --------------------------------------------------------------

// argv: --receiver <resource file> (as ReceiverProcess starts it). Logs in an account and listens as the
// program does, until its input ends.
int runCopy(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 3) fail("copy: arguments");
  platform::setMessageBoxResponder(platform::unattendedResponder("connections_bench"));
  const std::string uid = setUpCopy(argv[2], "HOST", [](int32_t) {});
  PeerConnections connections;
  if (!connections.StartListening()) fail("copy: " + connections.LastListenError());
  return serveQuestions(uid, [](char) { return 0LL; });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runCopy(argc, argv);
  QCoreApplication application(argc, argv);
  QTemporaryDir base;
  ReceiverProcess copy;
  copy.start(base.path(), kCopyAddress, {TAVINOR_BENCH_RESOURCE_FILE}, "copy");
  copyAccount = copy.uid();
  qputenv("TAVINOR_DATA_ROOT", (base.path() + "/ours").toUtf8());
  qputenv("TAVINOR_BIND_ADDRESS", kOursAddress);
  modGlobalVariables::InitGlobalVariables();
  modGlobalVariables::CurrentLocalUserUID = "{6F1C2B0A-58E3-4C1D-9A77-0B2E5D4C3A21}";
  modLocalUserFunctions::LocalUserOptions.EnableIPFiltering = false;
  peers();
  bare();
  std::printf("%d clients; PeerConnections on %s (%d served at once), bare QTcpServer on %s, a copy on %s, port %d\n",
              kClients, kOursAddress, PeerConnections::kMaxIncoming, kBareAddress, kCopyAddress,
              PeerConnections::kPeerPort);

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"peers/all_at_once", oursBench},
      {"bare/all_at_once", bareBench},
      {"bare/newcomer", bareNewcomerBench},
      {"copy/newcomer_chatty", copyNewcomerChattyBench},
      {"copy/newcomer_unfinished", copyNewcomerUnfinishedBench},
      {"copy/slow_text_calm", copySlowTextCalmBench},
      {"copy/slow_text_contested", copySlowTextContestedBench},
  };
  const std::vector<RatioRow> table = {
      {"200 peers at once, all greeted (the excess waits for a slot)", "peers/all_at_once",
       "bare/all_at_once"},
      {"a newcomer's greeting, 64 holders of 8 addresses speak every 5 s", "copy/newcomer_chatty",
       "bare/newcomer"},
      {"a newcomer's greeting, 512 unfinished texts of 64 addresses", "copy/newcomer_unfinished",
       "bare/newcomer"},
      {"400 KiB at 16 KiB/s to its answer, passers-by contest the slots", "copy/slow_text_contested",
       "copy/slow_text_calm"},
  };
  const int result = runWithRatios(argc, argv, benchmarks, table, "ours (ms)", "reference (ms)",
                                   BenchTiming::kByHandOnce);
  useScene(Scene::kCalm);
  copy.finish();
  return result;
}
