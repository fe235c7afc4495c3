#pragma once
// PeerConnections: the listening side of the peer protocol. It listens on
// kPeerPort, accepts other copies' connections into an array of sockets
// (element 0 listens), greets each with reply 100, or with 100101 and a
// close when the logged-in account's address filter refuses the peer, cuts
// what arrives into frames, joins message texts and hands each request to
// the dispatcher, sending back its reply.
//
// Bounds, because peers are untrusted:
// - at most kMaxIncoming connections are served at once, at most
//   kMaxPerAddress of them from one peer address. Connections beyond that
//   wait unanswered, in arrival order, until they get a slot: at most
//   kMaxWaiting of them, at most kMaxWaitingPerAddress from one address.
//   When the waiting list is full, a newcomer takes the place of the newest
//   waiting connection of the address that waits with the most connections,
//   provided it waits with at least two more than the newcomer's address;
//   otherwise the newcomer is closed unanswered. The listener takes at most
//   kAcceptsPerTurn connections from the system's listen queue in one turn
//   of the event loop;
// - every address holding or waiting has its share of the slots:
//   kMaxIncoming divided among them. A free slot goes to the waiting
//   connection whose address holds the fewest (the earliest among equals).
//   While no slot is free and a waiting address holds less than its share,
//   an address holding more than its share gives a slot up, whatever its
//   connections ask, provided it holds at least two more than the waiting
//   address, or the waiting address holds none and has not itself given a
//   slot up within the last kRotationTicks ticks of the idle controller
//   (so that addresses beyond the number of slots take turns instead of
//   taking slots from each other without end). The connection closed is
//   one that is not moving (receiving a text or a file whose last frame
//   came within kMovingTicks ticks), of an address holding the most: one
//   between conversations while those have one, else a stalled text or file
//   that is slowest (the fewest frame bytes in its last ticks); then the
//   longest idle. Only when every candidate is moving, the one moving
//   slowest goes. A connection greeted less than kTenureTicks ticks ago, or
//   whose frame is being handled or answer waits for the turn's commit, is
//   never closed for a share; what it was answered still goes out;
// - a connection is idle while no complete frame arrives; more than
//   kIdleLimitSeconds ticks of the idle controller of that close it. Ticks
//   while its answers are held back do not count (the socket's own stall
//   limit closes a peer that takes none of them);
// - a connection with more than kMaxUnsentBytes of answers not yet taken by
//   the system is not read until they drain;
// - one turn of the event loop handles at most kFramesPerTurn frames of all
//   connections together, at most kFramesPerSlice of one before the next
//   connection with input has its go (a chunk of kReadChunk bytes of a
//   connection whose data is dropped counts as a frame); the rest is taken
//   in later turns. A newcomer is greeted at once, never after that work;
// - texts being joined hold at most kMaxJoinedBytes together beyond
//   kJoinAllowance each, and the longest of them one text more (it may
//   always go on, so that texts that fill the room still end); a
//   connection that needs more is not read until another text completes
//   or its connection ends;
// - a frame or text that no sender makes closes that connection; nothing a
//   refused peer sends is read. "<!E!>" as a whole text ends a conversation.
// File content needs an accepted file offer; until then a file frame is a
// protocol error. A file the connection did not complete (the peer closed,
// went silent, ended the conversation or sent bad data) is dropped. A
// closed connection's buffers are released at once; what its peer sent and
// was not handled yet is dropped unanswered.
//
// An answer goes out once what was written before it is on disk (TurnCommit).
//
// The dispatcher and the file receiver may let events run: they work on the
// record of their own connection, which stays valid while they run; when
// the connection ended meanwhile (or its element took a new one), what they
// return is dropped.
//
// Owns its sockets, their records and buffers, and the 1-second idle
// controller (started by StartListening). Errors inside an event are logged
// and end there. UI thread only.
#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionState.h"
#include "TimerControl.h"
#include "clsGenWinsock.h"
#include "modWireFrames.h"

class PeerConnections : public QObject {
  Q_OBJECT

 public:
  static constexpr int kPeerPort = 27155;
  static constexpr int kMaxIncoming = 64;
  static constexpr int kMaxPerAddress = 8;
  static constexpr std::size_t kMaxWaiting = 512;
  static constexpr int kMaxWaitingPerAddress = 8;
  static constexpr int kAcceptsPerTurn = 64;
  static constexpr int kIdleLimitSeconds = 60;
  static constexpr qint64 kMaxUnsentBytes = 1024 * 1024;
  static constexpr int kFramesPerTurn = 32;
  static constexpr int kFramesPerSlice = 8;
  static constexpr int kTenureTicks = 1;
  static constexpr int kMovingTicks = 1;
  static constexpr int kRotationTicks = 10;
  static constexpr qint64 kReadChunk = 64 * 1024;
  static constexpr std::size_t kJoinAllowance = 64 * 1024;
  static constexpr std::size_t kMaxJoinedBytes = 64 * 1024 * 1024;

  using Dispatcher = std::function<std::string(const std::string&, ConnectionState&)>;

  PeerConnections();
  ~PeerConnections() override;
  PeerConnections(const PeerConnections&) = delete;
  PeerConnections& operator=(const PeerConnections&) = delete;

  // Listens on kPeerPort (closing element 0 first) and starts the idle
  // controller. False when the port cannot be taken; LastListenError() says why.
  bool StartListening();
  const std::string& LastListenError() const { return listenError_; }
  // Replaces the request dispatcher (tests script their own).
  void SetDispatcher(Dispatcher dispatcher) { dispatcher_ = std::move(dispatcher); }
  // Closes every connection, the waiting ones and the listener.
  void CloseAll();

  const clsGenWinsock::SocketArray& wsConnection() const { return sockets_; }
  const ConnectionState& State(int index) const;
  // Connections taken from the listen queue that wait for a slot.
  std::size_t Waiting() const { return waiting_.size(); }
  // The addresses those come from.
  std::size_t WaitingAddresses() const { return waitingPerAddress_.size(); }

  // Event procedures of the sockets and the idle controller.
  void wsConnection_ConnectionRequest(int index, qintptr requestID);
  void wsConnection_DataArrival(int index);
  void wsConnection_Close(int index);
  void wsConnection_Error(int index);
  void wsConnection_SendComplete(int index);
  void tmrConnectionTimeoutController_Timer();

  platform::TimerControl tmrConnectionTimeoutController;

 private:
  // Everything one connection holds. An element that takes a new connection
  // gets a new one, so a handler's record is never another connection's.
  struct Connection {
    ConnectionState state;
    modWireFrames::FrameReader reader;
    modWireFrames::MessageAssembler assembler;
    bool busy = false;          // a frame of it is being handled
    int answersWaiting = 0;     // answers that wait for the turn's commit
    bool queued = false;        // it is in the turn order of connections with input
    bool waitsForRoom = false;  // its text needs room among the joined texts
    bool heldBack = false;      // not read until its answers drain
    int heldTicks = 0;          // idle-controller ticks since it was greeted
    // Frame bytes taken since the last tick, and in the ticks before it,
    // each tick counting half as much as the one after it.
    std::size_t bytesThisTick = 0;
    std::size_t pace = 0;
  };
  using ConnectionRef = std::shared_ptr<Connection>;
  struct WaitingConnection {
    qintptr requestID;
    std::string address;
  };
  using WaitingList = std::deque<WaitingConnection>;
  struct Turn {
    int index;
    std::weak_ptr<Connection> connection;
  };
  using SlotsByAddress = std::map<std::string, int>;

  std::unique_ptr<platform::SocketControl> makeSocket(int index);
  bool isOpen(std::size_t index) const;
  int openSlots(SlotsByAddress& held) const;
  // Takes a connection announced by the listener into the waiting list.
  void takeWaiting(qintptr requestID, std::string address);
  void dropWaiting(WaitingList::iterator waiting);
  void countAccept();
  void admitWaiting();
  bool rotationCooling(const std::string& address) const;
  WaitingList::iterator fairestWaiting(const SlotsByAddress& held);
  // Closes a connection of an address above its share for the waiting
  // address `address`; false when the share rule closes none.
  bool makeRoomFor(const std::string& address, SlotsByAddress& held);
  static bool receiving(const Connection& connection);
  bool moving(const Connection& connection) const;
  void greet(const WaitingConnection& waiting);
  bool current(int index, const ConnectionRef& connection) const;
  ConnectionRef freshConnection(int index);
  // Takes up to `limit` frames of the connection's input; gives how many.
  int serve(int index, const ConnectionRef& connection, int limit);
  void serveLater(int index, const ConnectionRef& connection);
  void serveTurn();
  // Runs serveTurn at the next turn of the event loop (once however often asked).
  void armTurn();
  void resumeAfterDrain(int index, qint64 pending);
  bool roomToJoin(const Connection& connection) const;
  void wakeWaitingForRoom();
  // Handles one frame; false when the connection is to be closed.
  bool handleFrame(int index, const ConnectionRef& connection, std::string& body);
  bool receiveFile(int index, const ConnectionRef& connection, const std::string& payload);
  void reply(int index, const ConnectionRef& connection, const std::string& text);
  void finishOpenFile(ConnectionState& state);
  // Lets go of the connection of `index`; closeConnection also hands its
  // slot on.
  void dropConnection(int index);
  void closeConnection(int index);

  clsGenWinsock::SocketArray sockets_;
  std::vector<ConnectionRef> connections_;
  WaitingList waiting_;
  std::map<std::string, int> waitingPerAddress_;
  // Ticks of the idle controller so far, and the tick at which each
  // address last gave a slot up for a share (kept kRotationTicks).
  std::uint64_t ticks_ = 0;
  std::map<std::string, std::uint64_t> gaveUp_;
  int acceptsThisTurn_ = 0;
  // Connections with input to take, in turn order.
  std::deque<Turn> ready_;
  bool turnArmed_ = false;
  Dispatcher dispatcher_;
  std::string listenError_;
};
