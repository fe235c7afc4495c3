// The listening side with real sockets on a loopback address: greeting,
// refusal by the address filter, requests and replies, the end text, the
// idle time-out, element reuse, and what happens to peers that misbehave.
#include "PeerConnections.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <malloc.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QNetworkProxy>
#include <QThread>
#include <chrono>
#include <filesystem>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DataJournal.h"
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

namespace {

// What a connection does before every tick of the idle controller.
enum class Does {
  kNothing,         // once greeted
  kAsks,            // a request each tick, answered
  kStallsInAText,   // the first piece of a text, then nothing
  kSendsAText,      // a piece of 4000 bytes of one text each tick
  kTrickles,        // a piece of one byte of one text each tick
};

// One peer's connection as the test follows it.
struct Peer {
  std::string address;
  Does does;
  std::unique_ptr<Client> client;
  int greetedAt = -1;  // the tick count when it was seen greeted
  int element = 0;     // the listener's element serving it
  std::size_t sent = 0;
  int sentAt = 0;  // the tick count when it last sent a piece of its text
};

// What a connection is doing at the tick count `ticks`: between
// conversations, in a text that stalled, or in a text that moves (a piece
// within kMovingTicks ticks).
enum class Tier { kMoving, kStalledInAText, kBetweenConversations };

Tier tierOf(const Peer& peer, int ticks) {
  if (peer.sent == 0) return Tier::kBetweenConversations;
  return ticks - peer.sentAt <= PeerConnections::kMovingTicks ? Tier::kMoving : Tier::kStalledInAText;
}

// Among texts of one kind, a trickle goes before any other.
bool tricklesFirst(const std::vector<const Peer*>& kind, const Peer& gone) {
  return gone.does == Does::kTrickles ||
         std::none_of(kind.begin(), kind.end(), [](const Peer* peer) { return peer->does == Does::kTrickles; });
}

}  // namespace

// The share rule, with the idle controller ticked by the test. Slots are
// held by 64 connections spread over a number of addresses, each doing one
// thing at every tick, and closed ones may come back at once; then
// newcomers come, one at a time, each from an address of its own, and stay.
// Oracle, at every newcomer:
//   - it is greeted at once, or at the latest after one tick;
//   - every connection closed meanwhile was open before and old enough (one
//     tick), and no more are closed than were greeted while the slots were
//     full;
//   - a text that moves is closed only when every candidate's text moves,
//     a trickle first; otherwise the closed connection's address held the
//     most slots among the candidates' whose text does not move, and among
//     those of such addresses, one between conversations goes before a
//     stalled text, and a stalled trickle before another stalled text;
//   - no address holds more than kMaxPerAddress, and at most kMaxIncoming
//     are open.
// At the end every text sent is finished and arrives whole.
TEST_F(Listening, EveryAddressGetsItsShareAndATextThatMovesIsNeverCut) {
  connections.tmrConnectionTimeoutController.setEnabled(false);
  struct Row {
    const char* what;
    int addresses;
    std::function<Does(int address, int nth)> does;  // the nth holder of its address
    bool comeBack;
    int ticksFirst = 3;  // before the first newcomer
    int textTicks = -1;  // texts move for that many ticks of the row (-1: all)
  };
  const auto all = [](Does does) { return [does](int, int) { return does; }; };
  const std::vector<Row> rows = {
      {"8 addresses, silent", 8, all(Does::kNothing), false},
      {"8 addresses asking, coming back", 8, all(Does::kAsks), true},
      {"8 addresses stalled in texts", 8, all(Does::kStallsInAText), false},
      {"8 addresses asking, a text each stalled long ago", 8,
       [](int, int nth) { return nth == 0 ? Does::kStallsInAText : Does::kAsks; }, false, 14},
      {"8 addresses, each a text among askers, coming back", 8,
       [](int, int nth) { return nth == 0 ? Does::kSendsAText : Does::kAsks; }, true},
      {"8 addresses sending texts, one trickle each", 8,
       [](int, int nth) { return nth == 7 ? Does::kTrickles : Does::kSendsAText; }, false},
      {"8 addresses whose texts and trickles stalled", 8,
       [](int, int nth) { return nth == 7 ? Does::kTrickles : Does::kSendsAText; }, false, 3, 1},
      {"9 addresses asking, the one with a slot more stalled in texts", 9,
       [](int address, int) { return address == 0 ? Does::kStallsInAText : Does::kAsks; }, false},
      {"57 addresses asking, seven of them with two slots", 57, all(Does::kAsks), true},
      {"64 addresses asking, coming back", 64, all(Does::kAsks), true},
      {"64 addresses sending texts", 64, all(Does::kSendsAText), false},
      {"64 addresses silent", 64, all(Does::kNothing), true},
      {"64 addresses just greeted: the first newcomer waits for a tick", 64, all(Does::kNothing), false, 0},
  };
  constexpr int kNewcomers = 10;
  int ticks = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(row.what);
    std::vector<Peer> peers;
    const int rowStart = ticks;
    const auto open = [](const Peer& peer) { return peer.client->greeted() && !peer.client->closed(); };
    const auto connect = [&](const std::string& address, Does does) {
      peers.push_back({address, does, std::make_unique<Client>(address.c_str())});
    };
    // Notes who was greeted, and where.
    const auto look = [&] {
      for (Peer& peer : peers) {
        if (peer.greetedAt >= 0 || !peer.client->greeted()) continue;
        peer.greetedAt = ticks;
        for (std::size_t i = 1; i < connections.wsConnection().size(); ++i) {
          const platform::SocketControl& socket = *connections.wsConnection()[i];
          if (socket.RemotePort() == peer.client->localPort() && socket.RemoteHost() == peer.address) {
            peer.element = int(i);
          }
        }
      }
    };
    // Every open peer does its part and the listener takes it in; then the tick.
    const auto tick = [&] {
      std::vector<std::function<bool()>> taken;
      for (Peer& peer : peers) {
        if (!open(peer)) continue;
        Client& client = *peer.client;
        const std::size_t texts = client.texts().size();
        const bool first = peer.sent == 0;
        switch (peer.does) {
          case Does::kNothing:
            break;
          case Does::kStallsInAText:
            if (!first) break;
            [[fallthrough]];
          case Does::kSendsAText:
          case Does::kTrickles: {
            if (row.textTicks >= 0 && ticks - rowStart >= row.textTicks) break;
            const std::string piece(peer.does == Does::kTrickles ? 1 : modWireFrames::kMaxPiece, 't');
            client.sendRaw(modWireFrames::BuildFrames(piece, first, false, modWireFrames::kMessageFrames, true));
            peer.sent += piece.size();
            peer.sentAt = ticks;
            // A connection not ticked yet is not idle either: its first
            // piece shows as a text begun.
            const int element = peer.element;
            taken.push_back([this, element, first] {
              const ConnectionState& state = connections.State(element);
              return first ? state.IsFirstChunk : state.IdleSeconds == 0;
            });
            break;
          }
          case Does::kAsks:
            client.send("ask");
            taken.push_back([&client, texts] { return client.texts().size() > texts || client.closed(); });
            break;
        }
      }
      ASSERT_TRUE(ScriptedPeer::waitFor([&] {
        return std::all_of(taken.begin(), taken.end(), [](const auto& done) { return done(); });
      }));
      connections.tmrConnectionTimeoutController_Timer();
      ++ticks;
    };
    for (int i = 0; i < PeerConnections::kMaxIncoming; ++i) {
      connect("127.1." + std::to_string(r) + "." + std::to_string(i % row.addresses + 1),
              row.does(i % row.addresses, i / row.addresses));
    }
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return std::all_of(peers.begin(), peers.end(), open); }));
    look();
    for (int t = 0; t < row.ticksFirst; ++t) tick();

    for (int n = 0; n < kNewcomers; ++n) {
      SCOPED_TRACE("newcomer " + std::to_string(n + 1));
      look();
      std::vector<bool> before;
      const std::size_t known = peers.size();
      std::vector<bool> greetedBefore;
      std::map<std::string, int> held;
      std::set<std::string> addresses;  // holding or waiting
      for (const Peer& peer : peers) {
        before.push_back(open(peer));
        greetedBefore.push_back(peer.client->greeted());
        if (before.back()) ++held[peer.address];
        if (!peer.client->closed()) addresses.insert(peer.address);
      }
      const int freeBefore = PeerConnections::kMaxIncoming - static_cast<int>(std::count(before.begin(), before.end(), true));
      connect("127.2." + std::to_string(r) + "." + std::to_string(n + 1), Does::kNothing);
      addresses.insert(peers.back().address);
      const std::size_t newcomer = peers.size() - 1;
      const auto greeted = [&] { return peers[newcomer].client->greeted(); };
      if (!ScriptedPeer::waitFor(greeted, 300)) {
        tick();
        ScriptedPeer::waitFor(greeted, 1000);
      }
      EXPECT_TRUE(greeted());
      look();

      // Who was greeted and who was closed meanwhile; the closed come back
      // (when the row says so) until nothing more happens.
      std::vector<std::size_t> closed;
      int greetedSince = 0;
      const auto balanced = [&] {
        greetedSince = 0;
        closed.clear();
        for (std::size_t p = 0; p < peers.size(); ++p) {
          if ((p >= known || !greetedBefore[p]) && peers[p].client->greeted()) ++greetedSince;
          if (p < known && before[p] && peers[p].client->closed()) closed.push_back(p);
        }
        return static_cast<int>(closed.size()) >= greetedSince - freeBefore;
      };
      std::set<std::size_t> cameBack;
      for (bool more = true; more;) {
        ScriptedPeer::waitFor(balanced, 1000);
        more = false;
        for (const std::size_t c : closed) {
          if (!row.comeBack || !cameBack.insert(c).second) continue;
          connect(peers[c].address, peers[c].does);
          more = true;
        }
        if (more) ScriptedPeer::waitFor([] { return false; }, 50);
        look();
      }
      EXPECT_EQ(static_cast<int>(closed.size()), std::max(0, greetedSince - freeBefore));
      // The candidates: old enough, of an address above its share.
      const auto candidate = [&](std::size_t p) {
        const Peer& peer = peers[p];
        return before[p] && ticks - peer.greetedAt >= PeerConnections::kTenureTicks &&
               held[peer.address] * static_cast<int>(addresses.size()) > PeerConnections::kMaxIncoming;
      };
      // A connection that came back got in for a share only from an address
      // holding two more, or as its address's only one.
      for (std::size_t p = 0; p < peers.size(); ++p) {
        if (p == newcomer || freeBefore > 0 || (p < known && greetedBefore[p]) || !peers[p].client->greeted()) {
          continue;
        }
        const int holds = held[peers[p].address];
        const bool fromTwoMore = std::any_of(closed.begin(), closed.end(), [&](std::size_t c) {
          return held[peers[c].address] >= holds + 2;
        });
        EXPECT_TRUE(holds == 0 || fromTwoMore) << peers[p].address << " holding " << holds << " took a slot";
      }
      for (const std::size_t c : closed) {
        const Peer& gone = peers[c];
        EXPECT_TRUE(candidate(c)) << gone.address << " was closed, too young or not above its share";
        const Tier tier = tierOf(gone, ticks);
        const bool quiet = tier != Tier::kMoving;
        // The most held among the candidates of its sort (texts that move,
        // or not), and the best kind among those of such addresses.
        int mostHeld = 0;
        for (std::size_t p = 0; p < before.size(); ++p) {
          if (candidate(p) && (tierOf(peers[p], ticks) != Tier::kMoving) == quiet) {
            mostHeld = std::max(mostHeld, held[peers[p].address]);
          }
        }
        const auto among = [&](std::size_t p) {
          return candidate(p) && (!quiet || held[peers[p].address] == mostHeld);
        };
        Tier first = Tier::kMoving;
        for (std::size_t p = 0; p < before.size(); ++p) {
          if (among(p)) first = std::max(first, tierOf(peers[p], ticks));
        }
        EXPECT_EQ(static_cast<int>(tier), static_cast<int>(first))
            << gone.address << " was closed before one of a kind that goes first";
        if (quiet) {
          EXPECT_EQ(held[gone.address], mostHeld) << gone.address << " gave a slot up";
        }
        std::vector<const Peer*> kind;
        for (std::size_t p = 0; p < before.size(); ++p) {
          if (among(p) && tierOf(peers[p], ticks) == tier) kind.push_back(&peers[p]);
        }
        if (tier != Tier::kBetweenConversations) {
          EXPECT_TRUE(tricklesFirst(kind, gone)) << gone.address << ": a text was cut before a trickle";
        }
      }
      std::map<std::string, int> holding;
      int openNow = 0;
      for (const Peer& peer : peers) {
        if (!open(peer)) continue;
        ++openNow;
        EXPECT_LE(++holding[peer.address], PeerConnections::kMaxPerAddress) << peer.address;
      }
      EXPECT_LE(openNow, PeerConnections::kMaxIncoming);
      peers[newcomer].client->send("hello");
      EXPECT_TRUE(peers[newcomer].client->waitForTexts(2));
      tick();
    }

    // Every text ends and arrives whole.
    for (const Peer& peer : peers) {
      if (!open(peer) || peer.sent == 0) continue;
      peer.client->sendRaw(modWireFrames::BuildFrames("", false, true, modWireFrames::kMessageFrames, true));
      ASSERT_TRUE(peer.client->waitForTexts(2)) << peer.address;
      EXPECT_EQ(peer.client->texts()[1], "re:" + std::string(peer.sent, 't'));
    }
    peers.clear();
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return openElements() == 0 && connections.Waiting() == 0; }));
  }
}

// Crowds that come faster than the slots free: each row's connections come
// at once from its addresses (connection i from address i % addresses),
// then a newcomer from an address of its own. Oracle: at most kMaxIncoming
// are greeted, at most kMaxPerAddress of an address; at most kMaxWaiting wait
// unanswered, at most kMaxWaitingPerAddress of an address; a connection is
// closed unanswered only while its address waits with as many as the most
// waiting address, or with kMaxWaitingPerAddress; the newcomer is greeted
// within a tick unless the waiting list is full of addresses waiting with
// one each.
TEST_F(Listening, CrowdsWaitWithinTheirBoundsAndANewcomerGetsItsTurn) {
  connections.tmrConnectionTimeoutController.setEnabled(false);
  struct Row {
    const char* what;
    int addresses;
    int count;
  };
  const std::vector<Row> rows = {
      {"600 from one address", 1, 600},
      {"600 from eight addresses", 8, 600},
      {"576 from 64 addresses", 64, 576},
      {"640 from 64 addresses", 64, 640},
      {"576 from 576 addresses", 576, 576},
      {"600 from 600 addresses", 600, 600},
  };
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(row.what);
    std::vector<std::unique_ptr<Client>> crowd;
    std::vector<std::string> from;
    for (int i = 0; i < row.count; ++i) {
      const int a = i % row.addresses;
      from.push_back("127." + std::to_string(10 + r) + "." + std::to_string(a / 250) + "." + std::to_string(a % 250 + 1));
      crowd.push_back(std::make_unique<Client>(from.back().c_str()));
    }
    std::map<std::string, int> greeted, waiting, turnedAway;
    const auto tally = [&] {
      greeted.clear();
      waiting.clear();
      turnedAway.clear();
      for (std::size_t i = 0; i < crowd.size(); ++i) {
        ++(crowd[i]->greeted() ? greeted : crowd[i]->closed() ? turnedAway : waiting)[from[i]];
      }
      int total = 0;
      for (const auto& entry : greeted) total += entry.second;
      for (const auto& entry : turnedAway) total += entry.second;
      return total;
    };
    const int expectedHeld = std::min(PeerConnections::kMaxIncoming, row.addresses * PeerConnections::kMaxPerAddress);
    const int expectedWaiting = std::min<int>(static_cast<int>(PeerConnections::kMaxWaiting),
                                              std::min(row.count, row.addresses * PeerConnections::kMaxWaitingPerAddress +
                                                                      row.addresses * PeerConnections::kMaxPerAddress) -
                                                  expectedHeld);
    ASSERT_TRUE(ScriptedPeer::waitFor([&] {
      return tally() >= row.count - expectedWaiting && static_cast<int>(connections.Waiting()) == expectedWaiting;
    }, 10000)) << tally() << " answered, " << connections.Waiting() << " waiting";
    int held = 0, waitingAll = 0, mostWaiting = 0;
    for (const auto& [address, count] : greeted) {
      held += count;
      EXPECT_LE(count, PeerConnections::kMaxPerAddress) << address;
    }
    for (const auto& [address, count] : waiting) {
      waitingAll += count;
      mostWaiting = std::max(mostWaiting, count);
      EXPECT_LE(count, PeerConnections::kMaxWaitingPerAddress) << address;
    }
    EXPECT_EQ(held, expectedHeld);
    EXPECT_EQ(waitingAll, expectedWaiting);
    EXPECT_EQ(connections.WaitingAddresses(), waiting.size());
    for (const auto& [address, count] : turnedAway) {
      const int waits = waiting.count(address) != 0 ? waiting[address] : 0;
      EXPECT_TRUE(waits == PeerConnections::kMaxWaitingPerAddress || waits >= mostWaiting - 1)
          << address << " was turned away, waiting with " << waits;
    }

    auto newcomer = std::make_unique<Client>(("127." + std::to_string(10 + r) + ".9.1").c_str());
    const bool waitsWithOneEach = waitingAll == static_cast<int>(PeerConnections::kMaxWaiting) && mostWaiting == 1;
    if (waitsWithOneEach) {
      EXPECT_TRUE(newcomer->waitForClose());
    } else {
      ScriptedPeer::waitFor([&] { return connections.Waiting() == static_cast<std::size_t>(waitingAll + 1); }, 300);
      connections.tmrConnectionTimeoutController_Timer();
      EXPECT_TRUE(ScriptedPeer::waitFor([&] { return newcomer->greeted(); }, 1000));
    }
    newcomer.reset();
    crowd.clear();
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return openElements() == 0 && connections.Waiting() == 0; }, 10000));
    EXPECT_EQ(connections.WaitingAddresses(), 0u) << "addresses kept after their connections";
  }
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

namespace {

// A peer's end as a plain blocking socket from `from`, connected to `port`
// of kAddress (the listener has not taken it yet when this returns); it
// reads nothing unless told. A small receive buffer makes what is sent to
// it wait at the sender.
int plainPeer(const char* from, int receiveBuffer = 0, int port = PeerConnections::kPeerPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in listener{};
  listener.sin_family = AF_INET;
  listener.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, kAddress, &listener.sin_addr);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&listener), sizeof listener), 0);
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) return;
    at += static_cast<std::size_t>(sent);
  }
}

std::string framedText(const std::string& text) {
  return modWireFrames::BuildFrames(text, true, true, modWireFrames::kMessageFrames, true);
}

}  // namespace

// Connections that each have many requests in before the listener reads
// any, and (in half the rows) all but the last then send a frame that no
// sender makes, which ends them: every request is answered, in order on its
// connection, wherever the turns' bounds fall among them; and once two
// connections have both been served, neither is served more than
// kFramesPerSlice requests in a row while the other still has some.
TEST_F(Listening, TurnsServeEveryConnectionInSlicesAndLeaveNothingBehind) {
  std::vector<std::pair<int, int>> handled;  // connection, request
  connections.SetDispatcher([&](const std::string& request, ConnectionState&) {
    const std::size_t colon = request.find(':');
    handled.emplace_back(std::stoi(request.substr(0, colon)), std::stoi(request.substr(colon + 1)));
    return "re:" + request;
  });
  const std::string noSenderMakes = modWireFrames::BuildFrames("x", true, true, modWireFrames::kFileFrames, false);
  for (const bool othersEnd : {false, true}) {
    for (const int count : {1, 2, 3, 5, 9}) {
      for (const int requests : {1, 6, 7, 8, 9, 31, 32, 33, 65}) {
        SCOPED_TRACE(std::to_string(count) + " connections of " + std::to_string(requests) + " requests" +
                     (othersEnd ? ", all but the last then ending" : ""));
        handled.clear();
        std::vector<int> peers;
        for (int c = 0; c < count; ++c) {
          peers.push_back(plainPeer(("127.0.4." + std::to_string(c + 1)).c_str()));
          std::string all;
          for (int i = 0; i < requests; ++i) all += framedText(std::to_string(c) + ":" + std::to_string(i));
          if (othersEnd && c + 1 < count) all += noSenderMakes;
          sendAll(peers.back(), all);
        }
        const std::size_t total = static_cast<std::size_t>(count * requests);
        EXPECT_TRUE(ScriptedPeer::waitFor([&] { return handled.size() >= total; }, 2000));
        std::vector<int> next(static_cast<std::size_t>(count), 0);
        std::set<int> served;
        int run = 0;
        for (std::size_t h = 0; h < handled.size(); ++h) {
          const auto [c, i] = handled[h];
          EXPECT_EQ(i, next[static_cast<std::size_t>(c)]++) << "connection " << c;
          run = h > 0 && handled[h - 1].first == c ? run + 1 : 1;
          served.insert(c);
          const bool othersWait = std::any_of(served.begin(), served.end(), [&](int other) {
            return other != c && next[static_cast<std::size_t>(other)] < requests;
          });
          EXPECT_FALSE(run > PeerConnections::kFramesPerSlice && othersWait)
              << "connection " << c << " served " << run << " requests in a row";
        }
        EXPECT_EQ(handled.size(), total);
        for (const int fd : peers) ::close(fd);
        ASSERT_TRUE(ScriptedPeer::waitFor([&] { return openElements() == 0; }));
      }
    }
  }
}

// A handler that lets events run while every other slot is too young to
// give up and a newcomer waits: its own connection is never the one closed
// for the newcomer; the newcomer gets a slot at the next tick.
TEST_F(Listening, AConnectionWhoseRequestIsBeingHandledKeepsItsSlot) {
  connections.tmrConnectionTimeoutController.setEnabled(false);
  Client asker("127.0.5.1");
  ASSERT_TRUE(asker.waitForTexts(1));
  connections.tmrConnectionTimeoutController_Timer();
  std::vector<std::unique_ptr<Client>> young;
  for (int i = 1; i < PeerConnections::kMaxIncoming; ++i) {
    young.push_back(std::make_unique<Client>(("127.0.5." + std::to_string(i % 8 + 1)).c_str()));
  }
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return openElements() == PeerConnections::kMaxIncoming; }));
  std::unique_ptr<Client> newcomer;
  bool greetedWhileHandled = true;
  connections.SetDispatcher([&](const std::string& request, ConnectionState&) {
    newcomer = std::make_unique<Client>("127.0.6.1");
    greetedWhileHandled = ScriptedPeer::waitFor([&] { return newcomer->greeted(); }, 300);
    return "re:" + request;
  });
  asker.send("slow");
  ASSERT_TRUE(asker.waitForTexts(2));
  EXPECT_EQ(asker.texts()[1], "re:slow");
  EXPECT_FALSE(greetedWhileHandled);
  connections.tmrConnectionTimeoutController_Timer();
  EXPECT_TRUE(newcomer->waitForTexts(1));
}

// An answer that waits for the turn's commit (what its request stored is not
// on disk yet) keeps its connection: two holders' requests come in one
// turn, the first stores something, the second lets a tick make room for a
// waiting newcomer while every other holder is as good a choice; the first
// still gets its answer, and the newcomer its slot.
TEST_F(Listening, AConnectionWhoseAnswerWaitsForTheCommitKeepsItsSlot) {
  connections.tmrConnectionTimeoutController.setEnabled(false);
  std::filesystem::create_directories(environment.dataFolder());
  const DataJournal journal(environment.dataFolder() + "/D099.dat", false);
  journal.append({"made"}, true);
  std::vector<std::unique_ptr<Client>> holders;
  for (int i = 0; i < PeerConnections::kMaxIncoming; ++i) {
    holders.push_back(std::make_unique<Client>(("127.0.9." + std::to_string(i % 8 + 1)).c_str()));
    ASSERT_TRUE(holders.back()->waitForTexts(1));
  }
  Client newcomer("127.0.9.100");
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return connections.Waiting() == 1; }));
  std::vector<std::string> handled;
  connections.SetDispatcher([&](const std::string& request, ConnectionState&) {
    handled.push_back(request);
    if (handled.size() == 1) {
      journal.append({"stored"}, false);
    } else {
      connections.tmrConnectionTimeoutController_Timer();
    }
    return "re:" + request;
  });
  for (const int h : {0, 1}) holders[static_cast<std::size_t>(h)]->send("from " + std::to_string(h));
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return handled.size() == 2; }));
  EXPECT_TRUE(newcomer.waitForTexts(1));
  for (const int h : {0, 1}) {
    Client& holder = *holders[static_cast<std::size_t>(h)];
    EXPECT_TRUE(holder.waitForTexts(2)) << "holder " << h;
  }
  journal.remove();
}

// Connections the listener leaves unread (their answers have not drained, or
// their text waits for room among the joined texts) are closed at the next
// tick once their peer has gone, or only stopped sending: nobody would read
// what they still have to say, and they hold a slot.
TEST_F(Listening, AnUnreadConnectionWhosePeerWentIsClosed) {
  connections.tmrConnectionTimeoutController.setEnabled(false);
  const std::string big(2 * 1024 * 1024, 'b');
  connections.SetDispatcher([&](const std::string& request, ConnectionState&) {
    return request == "big" ? big : "re:" + request.substr(0, 10);
  });
  enum class Unread { kAnswersNotDrained, kWaitsForRoom };
  struct Row {
    const char* what;
    Unread unread;
    int how;  // SHUT_WR, or -1 for a close
  };
  const std::vector<Row> rows = {
      {"answers not drained, the peer closes", Unread::kAnswersNotDrained, -1},
      {"answers not drained, the peer stops sending", Unread::kAnswersNotDrained, SHUT_WR},
      {"a text waiting for room, the peer closes", Unread::kWaitsForRoom, -1},
      {"a text waiting for room, the peer stops sending", Unread::kWaitsForRoom, SHUT_WR},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // Texts of other peers fill the room that texts share.
    std::vector<std::unique_ptr<Client>> fillers;
    const std::string piece(modWireFrames::kMaxPiece, 'l');
    if (row.unread == Unread::kWaitsForRoom) {
      const std::size_t each = modWireFrames::kMaxMessageText - PeerConnections::kJoinAllowance;
      std::string text = modWireFrames::BuildFrames(piece, true, false, modWireFrames::kMessageFrames, false);
      while (text.size() < each) text += modWireFrames::BuildFrames(piece, false, false, modWireFrames::kMessageFrames, false);
      for (std::size_t filled = 0; filled < PeerConnections::kMaxJoinedBytes; filled += each - PeerConnections::kJoinAllowance) {
        fillers.push_back(std::make_unique<Client>(("127.0.7." + std::to_string(fillers.size() + 2)).c_str()));
        fillers.back()->sendRaw(text);
      }
    }
    const int peer = plainPeer("127.0.7.1", 4096);
    std::string bytes;
    if (row.unread == Unread::kAnswersNotDrained) {
      for (int i = 0; i < 8; ++i) bytes += framedText("big");
    } else {
      bytes = modWireFrames::BuildFrames(piece, true, false, modWireFrames::kMessageFrames, false);
    }
    sendAll(peer, bytes);
    int element = 0;
    ASSERT_TRUE(ScriptedPeer::waitFor([&] {
      for (std::size_t i = 1; i < connections.wsConnection().size(); ++i) {
        if (connections.wsConnection()[i]->RemoteHost() == "127.0.7.1") element = int(i);
      }
      return element != 0;
    }));
    // More, until the listener has stopped reading it and the socket holds
    // what it may; not much more, so that the system takes the rest and the
    // end of the peer's data behind it.
    const std::string more = modWireFrames::BuildFrames(piece, false, false, modWireFrames::kMessageFrames, false);
    const auto full = [&] {
      return connections.wsConnection()[element]->BytesAvailable() == platform::SocketControl::kReadBufferBytes;
    };
    for (int round = 0; round < 200 && !full(); ++round) {
      sendAll(peer, more + more + more + more);
      ScriptedPeer::waitFor(full, 100);
    }
    ASSERT_TRUE(full()) << "the listener stops reading it";
    connections.tmrConnectionTimeoutController_Timer();
    EXPECT_EQ(connections.wsConnection()[element]->State(), platform::kSckConnected) << "closed too early";
    if (row.how < 0) {
      ::close(peer);
    } else {
      ::shutdown(peer, row.how);
    }
    ScriptedPeer::waitFor([] { return false; }, 100);
    connections.tmrConnectionTimeoutController_Timer();
    EXPECT_TRUE(ScriptedPeer::waitFor([&] {
      return connections.wsConnection()[element]->State() != platform::kSckConnected;
    }, 1000));
    if (row.how >= 0) ::close(peer);
    fillers.clear();
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

// A control that lets its connection go while the connection still writes
// out what it was given (its peer reads nothing) drops at once what had
// arrived and was not read: a peer cannot make closed connections hold
// memory for as long as they take to finish.
TEST(SocketLetGo, WhatArrivedUnreadIsDroppedAtOnce) {
  constexpr int kPort = 27197;
  const ScopedEnv from{"TAVINOR_BIND_ADDRESS", kAddress};
  platform::SocketControl listener;
  listener.setLocalPort(kPort);
  ASSERT_TRUE(listener.Listen()) << listener.LastErrorText();
  std::vector<std::unique_ptr<platform::SocketControl>> accepted;
  QObject::connect(&listener, &platform::SocketControl::connectionRequest, [&](int, qintptr request) {
    accepted.push_back(std::make_unique<platform::SocketControl>());
    accepted.back()->Accept(request);
  });
  const std::string arriving(platform::SocketControl::kReadBufferBytes, 'a');
  const QByteArray leaving(1024 * 1024, 'l');
  for (const int count : {1, 8, 32}) {
    SCOPED_TRACE(std::to_string(count) + " connections");
    std::vector<int> peers;
    for (int i = 0; i < count; ++i) {
      peers.push_back(plainPeer("127.0.8.1", 4096, kPort));
      sendAll(peers.back(), arriving);
    }
    ASSERT_TRUE(ScriptedPeer::waitFor([&] {
      return accepted.size() == peers.size() &&
             std::all_of(accepted.begin(), accepted.end(), [&](const auto& socket) {
               return socket->BytesAvailable() == static_cast<qint64>(arriving.size());
             });
    }));
    for (const auto& socket : accepted) socket->SendData(leaving);
    ScriptedPeer::waitFor([] { return false; }, 50);
    const auto inUse = [] {
      const struct mallinfo2 heap = ::mallinfo2();
      return heap.uordblks + heap.hblkhd;
    };
    const std::size_t before = inUse();
    for (const auto& socket : accepted) socket->Close();
    ScriptedPeer::waitFor([] { return false; }, 50);
    const std::size_t after = inUse();
    EXPECT_GE(before, after + static_cast<std::size_t>(count) * arriving.size() / 2)
        << "held before the close: " << before << ", after: " << after;
    accepted.clear();
    for (const int fd : peers) ::close(fd);
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
