// The listening side with real sockets on a loopback address: greeting,
// refusal by the address filter, requests and replies, the end text, the
// idle time-out, element reuse, and what happens to peers that misbehave.
#include "PeerConnections.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QNetworkProxy>
#include <QThread>
#include <chrono>

#include <memory>
#include <string>
#include <vector>

#include "FramedClient.h"
#include "MessageCenterServices.h"
#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "modLocalUserFunctions.h"
#include "modGlobalVariables.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kAddress = "127.0.0.31";

// A peer's end of one connection to the listener under test.
struct Client : FramedClient {
  explicit Client(const char* from = "") : FramedClient(kAddress, PeerConnections::kPeerPort, from) {}
};

class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    modGlobalVariables::CurrentLocalUserUID = "ME";
    MessageCenterServices::Install(
        {[this](int32_t kind, const std::string& text, int32_t, const std::string&,
                const std::string&) { events.push_back(std::to_string(kind) + ":" + text); },
         [] {}});
    connections.SetDispatcher([this](const std::string& request, ConnectionState&) {
      requests.push_back(request);
      return request == "silent" ? std::string() : "re:" + request;
    });
    ASSERT_TRUE(connections.StartListening()) << connections.LastListenError();
  }
  void TearDown() override { MessageCenterServices::Install({}); }

  int openElements() const {
    int open = 0;
    for (std::size_t i = 1; i < connections.wsConnection().size(); ++i) {
      if (connections.wsConnection()[i]->State() == platform::kSckConnected) ++open;
    }
    return open;
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", kAddress};
  PeerConnections connections;
  std::vector<std::string> requests;
  std::vector<std::string> events;
};

}  // namespace

TEST_F(Listening, GreetsAnswersEndsAndReusesElements) {
  auto first = std::make_unique<Client>();
  Client second, third;
  ASSERT_TRUE(first->waitForTexts(1) && second.waitForTexts(1) && third.waitForTexts(1));
  EXPECT_EQ(first->texts()[0], "<R SD=\"ME\" ST=\"\" V=\"100\"/>");
  std::vector<int> indexes;
  for (std::size_t i = 1; i < connections.wsConnection().size(); ++i) indexes.push_back(int(i));
  EXPECT_EQ(indexes, (std::vector<int>{1, 2, 3}));

  // A request spread over many frames is one request; "<!E!>" inside a
  // request is text, alone it ends the conversation.
  const std::string big = std::string(9000, 'r') + "<!E!>";
  second.send(big);
  second.send("silent");
  ASSERT_TRUE(second.waitForTexts(2));
  EXPECT_EQ(second.texts()[1], "re:" + big);
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return requests.size() == 2; }));
  EXPECT_EQ(requests[1], "silent");
  second.send("<!E!>");
  ASSERT_TRUE(second.waitForClose());
  EXPECT_EQ(second.texts().size(), 2u);  // no answer to the end text

  // The freed element 2 takes the next connection.
  Client fourth;
  ASSERT_TRUE(fourth.waitForTexts(1));
  EXPECT_EQ(connections.wsConnection().size(), 4u);
  EXPECT_EQ(connections.State(2).Active, true);

  // A peer that closes leaves its record inactive; its element is reused.
  first.reset();
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return !connections.State(1).Active; }));
  EXPECT_EQ(openElements(), 2);

  // Conversations that end leave nothing waiting in the event loop: the
  // time limit of a closing socket goes with the socket.
  const auto heldByLoop = [] { return QAbstractEventDispatcher::instance()->children().size(); };
  const auto before = heldByLoop();
  for (int i = 0; i < 20; ++i) {
    Client client;
    ASSERT_TRUE(client.waitForTexts(1));
    client.send("<!E!>");
    ASSERT_TRUE(client.waitForClose());
  }
  ScriptedPeer::waitFor([] { return false; }, 50);
  EXPECT_LE(heldByLoop(), before + 2);
}

TEST_F(Listening, TheAddressFilterRefusesWithOneFrameAndReadsNothing) {
  auto& options = modLocalUserFunctions::LocalUserOptions;
  options.EnableIPFiltering = true;
  options.DisplayRejectedIP = true;
  options.FilterIPList = "192.168.1.*||10.0.0.1";
  Client refused;
  for (int i = 0; i < 50; ++i) refused.send("sent before the greeting");  // all in before the refusal
  ASSERT_TRUE(refused.waitForClose());
  EXPECT_EQ(refused.frames(), 1);
  ASSERT_EQ(refused.texts().size(), 1u);
  EXPECT_EQ(ScriptedPeer::attribute(refused.texts()[0], "V"), "100101");
  EXPECT_TRUE(requests.empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("6:"), std::string::npos);
  EXPECT_NE(events[0].find("127.0.0.1"), std::string::npos);

  // An empty list refuses everybody; the listed address is let in.
  options.FilterIPList = "";
  Client alsoRefused;
  ASSERT_TRUE(alsoRefused.waitForClose());
  options.FilterIPList = "127.0.0.*";
  options.DisplayRejectedIP = false;
  Client accepted;
  accepted.send("hello");
  ASSERT_TRUE(accepted.waitForTexts(2));
  EXPECT_EQ(ScriptedPeer::attribute(accepted.texts()[0], "V"), "100");
  EXPECT_EQ(events.size(), 2u);  // the second refusal was told too, the acceptance not
  options = {};
}

TEST_F(Listening, IdleAndMisbehavingConnectionsAreClosed) {
  // Idle means no complete frame: stray bytes do not count, a request does.
  Client idle, trickle, talking;
  ASSERT_TRUE(idle.waitForTexts(1) && trickle.waitForTexts(1) && talking.waitForTexts(1));
  for (int second = 1; second <= PeerConnections::kIdleLimitSeconds; ++second) {
    connections.tmrConnectionTimeoutController_Timer();
    if (second % 30 == 0) {
      trickle.sendRaw(std::string(1, '\x06'));  // a byte of a frame that never completes
      talking.send("silent");
      ASSERT_TRUE(ScriptedPeer::waitFor([&] { return connections.State(3).IdleSeconds == 0; }));
    }
  }
  EXPECT_FALSE(idle.closed() || trickle.closed());
  connections.tmrConnectionTimeoutController_Timer();
  ASSERT_TRUE(idle.waitForClose() && trickle.waitForClose());
  EXPECT_FALSE(talking.closed());

  // A length no sender writes, a file frame without an offer, a broken body.
  const std::vector<std::string> attacks = {
      std::string("\xFF\xFF") + std::string(64, 'a'),
      modWireFrames::BuildFrames("data", true, true, modWireFrames::kFileFrames, false),
      std::string("\x08\x00\x02|Q<abc>|", 11),
  };
  for (const std::string& attack : attacks) {
    Client client;
    ASSERT_TRUE(client.waitForTexts(1));
    client.sendRaw(attack);
    EXPECT_TRUE(client.waitForClose());
  }
  EXPECT_EQ(requests, (std::vector<std::string>{"silent", "silent"}));
}

// Connections beyond the caps wait unanswered (none is turned away) and are
// greeted as slots free, those of the address holding the fewest first; one
// address never holds more than its share, so it cannot keep the others out.
TEST_F(Listening, ConnectionsBeyondTheCapsWaitForTheirTurn) {
  const int crowd = PeerConnections::kMaxIncoming - PeerConnections::kMaxPerAddress + 4;
  std::vector<std::unique_ptr<Client>> one, many;
  for (int i = 0; i < PeerConnections::kMaxPerAddress + 4; ++i) one.push_back(std::make_unique<Client>());
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return connections.Waiting() == 4; }));
  std::vector<std::string> from;
  for (int i = 0; i < crowd; ++i) from.push_back("127.0.1." + std::to_string(i + 1));
  for (const std::string& address : from) many.push_back(std::make_unique<Client>(address.c_str()));
  // Greeted so far (a client that left had been greeted).
  const auto greeted = [](const std::vector<std::unique_ptr<Client>>& clients) {
    int count = 0;
    for (const auto& client : clients) count += !client || client->greeted() ? 1 : 0;
    return count;
  };
  const auto settledAt = [&](int fromOne, int fromMany) {
    return ScriptedPeer::waitFor([&] { return greeted(one) == fromOne && greeted(many) == fromMany; }, 10000);
  };
  struct Step {
    const char* what;
    std::vector<std::unique_ptr<Client>>* closing;
    int fromOne, fromMany;
  };
  const std::vector<Step> steps = {
      {"every slot taken, 8 from one address", nullptr, PeerConnections::kMaxPerAddress, crowd - 4},
      {"four of the one address leave: the crowd's waiting, holding fewer, come in", &one,
       PeerConnections::kMaxPerAddress, crowd},
      {"four of the crowd leave: the one address's waiting come in", &many, PeerConnections::kMaxPerAddress + 4,
       crowd},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    for (int i = 0, closed = 0; step.closing != nullptr && closed < 4; ++i) {
      auto& client = (*step.closing)[static_cast<std::size_t>(i)];
      if (client && client->greeted()) {
        client.reset();
        ++closed;
      }
    }
    ASSERT_TRUE(settledAt(step.fromOne, step.fromMany));
    EXPECT_LE(openElements(), PeerConnections::kMaxIncoming);
    for (const auto& client : one) EXPECT_TRUE(!client || !client->closed());
    for (const auto& client : many) EXPECT_TRUE(!client || !client->closed());
  }
  EXPECT_EQ(connections.Waiting(), 0u);
}

// A handler that lets events run (a nested event loop) while new connections
// arrive and grow the tables, or while its own peer leaves and its element
// takes a newcomer: the answer reaches the peer that asked, or nobody.
TEST_F(Listening, AHandlerThatLetsEventsRunAnswersOnlyItsOwnPeer) {
  struct Row {
    const char* what;
    bool askerLeaves;
  };
  for (const Row row : {Row{"newcomers grow the tables", false}, Row{"the asker leaves, a newcomer takes its element", true}}) {
    SCOPED_TRACE(row.what);
    auto asker = std::make_unique<Client>("127.0.2.1");
    ASSERT_TRUE(asker->waitForTexts(1));
    std::vector<std::unique_ptr<Client>> newcomers;
    connections.SetDispatcher([&](const std::string& request, ConnectionState& state) {
      if (row.askerLeaves) {
        asker.reset();
        ScriptedPeer::waitFor([&] { return openElements() == 0; });
      }
      for (int i = 0; i < 40; ++i) {
        const std::string from = "127.0.3." + std::to_string(i + 1);
        newcomers.push_back(std::make_unique<Client>(from.c_str()));
      }
      ScriptedPeer::waitFor([&] {
        for (const auto& newcomer : newcomers) {
          if (!newcomer->greeted()) return false;
        }
        return true;
      });
      state.IdleSeconds = 0;
      return "re:" + request;
    });
    asker->send("nested");
    if (!row.askerLeaves) {
      ASSERT_TRUE(asker->waitForTexts(2));
      EXPECT_EQ(asker->texts()[1], "re:nested");
    }
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return newcomers.size() == 40 && newcomers.back()->greeted(); }));
    ScriptedPeer::waitFor([] { return false; }, 100);
    for (const auto& newcomer : newcomers) EXPECT_EQ(newcomer->texts().size(), 1u);
    newcomers.clear();
    asker.reset();
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return openElements() == 0; }));
  }
}

// The stall limit cuts a send only when nothing moves: a reader that takes a
// little now and then keeps a long send alive through many stall intervals;
// one that stops reading has it cut.
TEST(SocketStall, OnlyASendThatStopsMovingIsCut) {
  struct Row {
    const char* what;
    bool reads;
    bool cut;
  };
  constexpr int kPort = 27199;
  constexpr std::size_t kSent = 12 * 1024 * 1024;
  for (const Row row : {Row{"a slow reader", true, false}, Row{"a reader that stopped", false, true}}) {
    SCOPED_TRACE(row.what);
    // A small receive window, so that most of the send waits in the sender.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int small = 64 * 1024;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const int reuse = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kPort);
    ::inet_pton(AF_INET, kAddress, &at.sin_addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    platform::SocketControl sender;
    sender.setStallInterval(std::chrono::milliseconds(1000));
    bool cut = false, complete = false;
    QObject::connect(&sender, &platform::SocketControl::error, [&] { cut = true; });
    QObject::connect(&sender, &platform::SocketControl::sendComplete, [&] { complete = true; });
    sender.setRemoteHost(kAddress);
    sender.setRemotePort(kPort);
    sender.Connect();
    int reader = -1;
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return (reader = ::accept(listener, nullptr, nullptr)) >= 0; }));
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return sender.State() == platform::kSckConnected; }));
    sender.SendData(QByteArray(static_cast<qsizetype>(kSent), 's'));
    std::vector<char> chunk(256 * 1024);
    std::size_t received = 0;
    ScriptedPeer::waitFor([&] {
      if (row.reads) {
        const ssize_t got = ::recv(reader, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got > 0) received += static_cast<std::size_t>(got);
        QThread::msleep(10);
      }
      return cut || complete;
    }, 20000);
    EXPECT_EQ(cut, row.cut);
    EXPECT_EQ(complete, !row.cut);
    ::close(reader);
    ::close(listener);
  }
}

namespace {

// The open TCP connections of this process with `port` at either end, and
// how many of them send small writes at once (TCP_NODELAY).
std::pair<int, int> connectionsOnPort(int port) {
  int found = 0, atOnce = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in own{}, peer{};
    socklen_t ownSize = sizeof own, peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        own.sin_family != AF_INET || (ntohs(own.sin_port) != port && ntohs(peer.sin_port) != port)) {
      continue;
    }
    int flag = 0;
    socklen_t flagSize = sizeof flag;
    ++found;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, &flagSize) == 0 && flag != 0) ++atOnce;
  }
  return {found, atOnce};
}

// The descriptor of the connection accepted on `port`, or -1.
int acceptedOnPort(int port) {
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in own{}, peer{};
    socklen_t ownSize = sizeof own, peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) == 0 &&
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 &&
        own.sin_family == AF_INET && ntohs(own.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

}  // namespace

// A connection goes straight to the peer whatever proxy the process was
// given, without a look-up of the dotted address, and both of its ends send
// every frame at once. A control that sends at once hands its bytes to the
// system within SendData; its completion is told at the next turn of the
// event loop, never from inside SendData.
TEST(SocketDirect, ConnectionsSkipProxiesAndSendAtOnce) {
  constexpr int kPort = 27198;
  const ScopedEnv from{"TAVINOR_BIND_ADDRESS", kAddress};
  QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", 9));
  platform::SocketControl listener, accepted, client;
  listener.setLocalPort(kPort);
  ASSERT_TRUE(listener.Listen()) << listener.LastErrorText();
  QObject::connect(&listener, &platform::SocketControl::connectionRequest,
                   [&](int, qintptr request) { accepted.Accept(request); });
  client.setRemoteHost(kAddress);
  client.setRemotePort(kPort);
  client.Connect();
  EXPECT_NE(client.State(), platform::kSckResolvingHost);
  const bool up = ScriptedPeer::waitFor([&] {
    return client.State() == platform::kSckConnected && accepted.State() == platform::kSckConnected;
  });
  const std::pair<int, int> connections = connectionsOnPort(kPort);
  QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
  ASSERT_TRUE(up);
  EXPECT_EQ(connections, std::make_pair(2, 2));

  bool completed = false;
  QObject::connect(&client, &platform::SocketControl::sendComplete, [&](int) { completed = true; });
  client.setSendsAtOnce(true);
  client.SendData("hello");
  EXPECT_FALSE(completed);
  char arrived[8] = {};
  EXPECT_EQ(::recv(acceptedOnPort(kPort), arrived, sizeof arrived, MSG_PEEK | MSG_DONTWAIT), 5);
  EXPECT_TRUE(ScriptedPeer::waitFor([&] { return completed; }));
}
