#include "PeerConnections.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>
#include <tuple>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "TurnCommit.h"
#include "clsGenErrorHandler.h"
#include "modCOMRequestedAction.h"
#include "modFileTransfer.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr int kGreetingAccepted = 100;
constexpr int kGreetingRefused = 100101;
constexpr int kRefusedConnectionMessage = 65000;

bool peerAccepted(const std::string& address) {
  const auto& options = modLocalUserFunctions::LocalUserOptions;
  if (!options.EnableIPFiltering) return true;
  return modGenFunctions::IsIPInList(address, options.FilterIPList);
}

void tellRefusal(const std::string& address) {
  if (!modLocalUserFunctions::LocalUserOptions.DisplayRejectedIP) return;
  try {
    const std::string text =
        modGenFunctionsResource::GetResourceMessage(kRefusedConnectionMessage, {address});
    MessageCenterServices::AddActivity(MessageCenterServices::kEvents, text,
                                       MessageCenterServices::kNoItem, "", "");
  } catch (...) {
    logError("PeerConnections.tellRefusal");
  }
}

// Marks a connection's frame as being handled for as long as it lives.
class BusyMark {
 public:
  explicit BusyMark(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyMark() { busy_ = false; }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;

 private:
  bool& busy_;
};

}  // namespace

PeerConnections::PeerConnections() : dispatcher_(modCOMRequestedAction::ProcessRequestedAction) {
  tmrConnectionTimeoutController.setInterval(1000);
  connect(&tmrConnectionTimeoutController, &platform::TimerControl::tick, this,
          &PeerConnections::tmrConnectionTimeoutController_Timer);
}

PeerConnections::~PeerConnections() { CloseAll(); }

const ConnectionState& PeerConnections::State(int index) const {
  return connections_.at(static_cast<std::size_t>(index))->state;
}

std::unique_ptr<platform::SocketControl> PeerConnections::makeSocket(int index) {
  auto socket = std::make_unique<platform::SocketControl>(index);
  // Each answer is short and awaited: it goes out at once.
  socket->setSendsAtOnce(true);
  connect(socket.get(), &platform::SocketControl::connectionRequest, this,
          &PeerConnections::wsConnection_ConnectionRequest);
  connect(socket.get(), &platform::SocketControl::dataArrival, this,
          [this](int i, qint64) { wsConnection_DataArrival(i); });
  connect(socket.get(), &platform::SocketControl::closed, this, &PeerConnections::wsConnection_Close);
  connect(socket.get(), &platform::SocketControl::error, this,
          [this](int i, int, const QString&) { wsConnection_Error(i); });
  connect(socket.get(), &platform::SocketControl::sendProgress, this,
          &PeerConnections::resumeAfterDrain);
  connect(socket.get(), &platform::SocketControl::sendComplete, this,
          &PeerConnections::wsConnection_SendComplete);
  return socket;
}

bool PeerConnections::StartListening() {
  if (!sockets_.empty() && sockets_[0]->State() != platform::kSckClosed) sockets_[0]->Close();
  platform::SocketControl& listener = clsGenWinsock::GetAvailableSocket(
      sockets_, [this](int index) { return makeSocket(index); });
  freshConnection(listener.Index());
  listener.setLocalPort(kPeerPort);
  const bool listening = listener.Listen();
  listenError_ = listening ? std::string() : listener.LastErrorText();
  tmrConnectionTimeoutController.setEnabled(true);
  return listening;
}

void PeerConnections::CloseAll() {
  tmrConnectionTimeoutController.setEnabled(false);
  for (std::size_t i = 0; i < sockets_.size(); ++i) {
    sockets_[i]->Close();
    finishOpenFile(connections_[i]->state);
    connections_[i] = std::make_shared<Connection>();
  }
  for (const WaitingConnection& waiting : waiting_) platform::SocketControl::Refuse(waiting.requestID);
  waiting_.clear();
  waitingPerAddress_.clear();
  ready_.clear();
}

// A file still open when its connection ends did not arrive: it is dropped
// and the failure logged.
void PeerConnections::finishOpenFile(ConnectionState& state) {
  if (!state.FileStream) return;
  try {
    modFileTransfer::HandleConnectionTimeout(state, true);
  } catch (...) {
    logError("PeerConnections.finishOpenFile");
  }
}

bool PeerConnections::isOpen(std::size_t index) const {
  if (index == 0 || index >= sockets_.size()) return false;
  const int state = sockets_[index]->State();
  return state != platform::kSckClosed && state != platform::kSckClosing;
}

// The record and buffers of an element are new before anything is sent on
// it, so that nothing of an earlier connection reaches this one.
PeerConnections::ConnectionRef PeerConnections::freshConnection(int index) {
  const auto i = static_cast<std::size_t>(index);
  if (connections_.size() <= i) connections_.resize(i + 1);
  connections_[i] = std::make_shared<Connection>();
  return connections_[i];
}

bool PeerConnections::current(int index, const ConnectionRef& connection) const {
  const auto i = static_cast<std::size_t>(index);
  return i < connections_.size() && connections_[i] == connection;
}

void PeerConnections::wsConnection_ConnectionRequest(int /*index*/, qintptr requestID) {
  try {
    countAccept();
    takeWaiting(requestID, platform::SocketControl::PeerAddressOf(requestID));
    admitWaiting();
  } catch (...) {
    logError("PeerConnections.wsConnection_ConnectionRequest");
  }
}

// A full waiting list makes room at the address that waits with the most
// connections, so that one address, or many, cannot keep a newcomer from
// waiting for its share.
void PeerConnections::takeWaiting(qintptr requestID, std::string address) {
  const auto waits = waitingPerAddress_.find(address);
  const int fromAddress = waits == waitingPerAddress_.end() ? 0 : waits->second;
  if (fromAddress >= kMaxWaitingPerAddress) {
    platform::SocketControl::Refuse(requestID);
    return;
  }
  if (waiting_.size() >= kMaxWaiting) {
    const auto most = std::max_element(waitingPerAddress_.begin(), waitingPerAddress_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most->second <= fromAddress + 1) {
      platform::SocketControl::Refuse(requestID);
      return;
    }
    const std::string crowded = most->first;
    const auto newest = std::find_if(waiting_.rbegin(), waiting_.rend(),
                                     [&](const WaitingConnection& w) { return w.address == crowded; });
    platform::SocketControl::Refuse(newest->requestID);
    dropWaiting(std::next(newest).base());
  }
  ++waitingPerAddress_[address];
  waiting_.push_back({requestID, std::move(address)});
}

void PeerConnections::dropWaiting(WaitingList::iterator waiting) {
  const auto count = waitingPerAddress_.find(waiting->address);
  if (--count->second == 0) waitingPerAddress_.erase(count);
  waiting_.erase(waiting);
}

// The listener stops taking connections for the rest of a turn once it took
// kAcceptsPerTurn in it: connections that come faster than that wait in the
// system's listen queue, and the other connections still have their turn.
void PeerConnections::countAccept() {
  if (acceptsThisTurn_++ == 0) {
    platform::TimerControl::NextTurn(this, [this] {
      acceptsThisTurn_ = 0;
      if (!sockets_.empty() && sockets_[0]->AcceptingPaused()) sockets_[0]->ResumeAccepting();
    });
  }
  if (acceptsThisTurn_ >= kAcceptsPerTurn && !sockets_.empty()) sockets_[0]->PauseAccepting();
}

int PeerConnections::openSlots(SlotsByAddress& held) const {
  int open = 0;
  for (std::size_t i = 1; i < sockets_.size(); ++i) {
    if (!isOpen(i)) continue;
    ++open;
    ++held[connections_[i]->state.PeerAddress];
  }
  return open;
}

// Gives free slots to waiting connections, the address that holds the
// fewest first; while no slot is free, the share rule makes room.
void PeerConnections::admitWaiting() {
  SlotsByAddress held;
  int open = openSlots(held);
  for (auto next = fairestWaiting(held); next != waiting_.end(); next = fairestWaiting(held)) {
    if (open >= kMaxIncoming && !makeRoomFor(next->address, held)) break;
    if (open < kMaxIncoming) ++open;
    ++held[next->address];
    const WaitingConnection admitted = *next;
    dropWaiting(next);
    greet(admitted);
  }
}

bool PeerConnections::rotationCooling(const std::string& address) const {
  return gaveUp_.count(address) != 0;
}

// The waiting connection that holds the fewest slots of its address (below
// kMaxPerAddress), among equals one whose address may take a turn from
// another, then the earliest.
PeerConnections::WaitingList::iterator PeerConnections::fairestWaiting(const SlotsByAddress& held) {
  auto fairest = waiting_.end();
  std::pair<int, bool> best{kMaxPerAddress, false};
  for (auto next = waiting_.begin(); next != waiting_.end(); ++next) {
    const auto holds = held.find(next->address);
    const int count = holds == held.end() ? 0 : holds->second;
    const std::pair<int, bool> key{count, count == 0 && rotationCooling(next->address)};
    if (key < best) {
      best = key;
      fairest = next;
    }
  }
  return fairest;
}

bool PeerConnections::receiving(const Connection& connection) {
  const ConnectionState& state = connection.state;
  return connection.assembler.Size() > 0 || (state.FileOffered && !state.FileFinished);
}

bool PeerConnections::moving(const Connection& connection) const {
  return receiving(connection) && connection.state.IdleSeconds <= kMovingTicks;
}

bool PeerConnections::makeRoomFor(const std::string& address, SlotsByAddress& held) {
  int addresses = static_cast<int>(waitingPerAddress_.size());
  for (const auto& [holder, count] : held) {
    if (count > 0 && waitingPerAddress_.count(holder) == 0) ++addresses;
  }
  const int waiterHolds = held[address];
  if (waiterHolds * addresses >= kMaxIncoming) return false;
  const int leastGiver = waiterHolds + (waiterHolds == 0 && !rotationCooling(address) ? 1 : 2);
  // Ranked by: not moving first, and among those the most held, then a
  // connection between conversations before a stalled text or file (whose
  // peer may only have been held up); then the slowest of those receiving;
  // then the longest idle.
  std::size_t chosen = 0;
  std::tuple<bool, int, bool, std::size_t, int, int> best{};
  for (std::size_t i = 1; i < sockets_.size(); ++i) {
    const Connection& candidate = *connections_[i];
    if (!isOpen(i) || candidate.busy || candidate.answersWaiting > 0 || candidate.heldTicks < kTenureTicks) {
      continue;
    }
    const int holds = held[candidate.state.PeerAddress];
    if (holds < leastGiver || holds * addresses <= kMaxIncoming) continue;
    const bool isReceiving = receiving(candidate);
    const bool isMoving = moving(candidate);
    const std::size_t pace = isReceiving ? candidate.pace + candidate.bytesThisTick : 0;
    const std::tuple<bool, int, bool, std::size_t, int, int> rank{
        !isMoving, isMoving ? 0 : holds, !isReceiving, std::numeric_limits<std::size_t>::max() - pace,
        candidate.state.IdleSeconds, candidate.heldTicks};
    if (chosen != 0 && rank <= best) continue;
    chosen = i;
    best = rank;
  }
  if (chosen == 0) return false;
  const std::string giver = connections_[chosen]->state.PeerAddress;
  --held[giver];
  gaveUp_[giver] = ticks_;
  dropConnection(static_cast<int>(chosen));
  wakeWaitingForRoom();
  return true;
}

void PeerConnections::greet(const WaitingConnection& waiting) {
  platform::SocketControl& socket = clsGenWinsock::GetAvailableSocket(
      sockets_, [this](int index) { return makeSocket(index); });
  const ConnectionRef connection = freshConnection(socket.Index());
  socket.Accept(waiting.requestID);
  if (socket.State() != platform::kSckConnected) {
    socket.Close();
    return;
  }
  ConnectionState& state = connection->state;
  state.Active = true;
  state.PeerAddress = waiting.address;
  const std::string& peer = state.PeerAddress;
  const bool accepted = peerAccepted(peer);
  state.Refused = !accepted;
  const std::string greeting = modCOMRequestedAction::BuildResponse(
      "", "", "", accepted ? kGreetingAccepted : kGreetingRefused, "", false);
  if (!accepted) tellRefusal(peer);
  socket.setTag("R");
  modWireFrames::SendFramedData(socket, greeting, true, true, modWireFrames::kMessageFrames, true,
                                !accepted);
}

void PeerConnections::wsConnection_DataArrival(int index) {
  try {
    const auto i = static_cast<std::size_t>(index);
    if (i != 0 && i < connections_.size()) serveLater(index, connections_[i]);
  } catch (...) {
    logError("PeerConnections.wsConnection_DataArrival");
  }
}

// Reads the connection only as far as its bounds allow: its answers must
// have drained, its text must have room, and it takes at most `limit`
// frames; when it used them all it goes back into the turn order.
int PeerConnections::serve(int index, const ConnectionRef& connection, int limit) {
  if (connection->busy) return 0;
  connection->waitsForRoom = false;
  const auto i = static_cast<std::size_t>(index);
  std::string body;
  int frames = 0;
  while (frames < limit) {
    if (!current(index, connection)) return frames;
    platform::SocketControl& socket = *sockets_[i];
    ConnectionState& state = connection->state;
    if (socket.BytesPending() > kMaxUnsentBytes) {
      connection->heldBack = true;
      return frames;
    }
    if (state.Refused || state.RawMode) {
      if (socket.GetData(kReadChunk).empty()) return frames;
      ++frames;
      continue;
    }
    if (!roomToJoin(*connection)) {
      connection->waitsForRoom = true;
      return frames;
    }
    const auto result = connection->reader.Next(body);
    if (result == modWireFrames::FrameReader::Result::kNeedMore) {
      if (!connection->reader.ReadFrom(socket, kReadChunk)) return frames;
      continue;
    }
    if (result == modWireFrames::FrameReader::Result::kProtocolError) {
      closeConnection(index);
      return frames;
    }
    ++frames;
    state.IdleSeconds = 0;
    connection->bytesThisTick += body.size();
    bool keep = false;
    {
      const BusyMark mark(connection->busy);
      keep = handleFrame(index, connection, body);
    }
    if (!keep) {
      if (current(index, connection)) closeConnection(index);
      return frames;
    }
  }
  serveLater(index, connection);
  return frames;
}

void PeerConnections::serveLater(int index, const ConnectionRef& connection) {
  if (connection->queued) return;
  connection->queued = true;
  ready_.push_back({index, connection});
  armTurn();
}

void PeerConnections::armTurn() {
  if (turnArmed_) return;
  turnArmed_ = true;
  platform::TimerControl::NextTurn(this, [this] {
    turnArmed_ = false;
    serveTurn();
  });
}

// One turn's work: the connections with input take their slices in turn
// until the turn's frames are used up; the others go on in the next turn.
void PeerConnections::serveTurn() {
  for (int left = kFramesPerTurn; left > 0 && !ready_.empty();) {
    const Turn turn = ready_.front();
    ready_.pop_front();
    const ConnectionRef connection = turn.connection.lock();
    if (!connection || !current(turn.index, connection)) continue;
    connection->queued = false;
    try {
      left -= serve(turn.index, connection, std::min(left, kFramesPerSlice));
    } catch (...) {
      logError("PeerConnections.wsConnection_DataArrival");
      if (current(turn.index, connection)) closeConnection(turn.index);
      --left;
    }
  }
  // What the turn's requests stored is synced once for all of them, and
  // their answers go out now rather than a turn later.
  if (TurnCommit::pending()) {
    try {
      TurnCommit::now();
    } catch (...) {
      logError("PeerConnections.wsConnection_DataArrival");
    }
  }
  if (!ready_.empty()) armTurn();
}

void PeerConnections::resumeAfterDrain(int index, qint64 pending) {
  const auto i = static_cast<std::size_t>(index);
  if (i == 0 || i >= connections_.size() || pending > kMaxUnsentBytes) return;
  const ConnectionRef& connection = connections_[i];
  if (!connection->heldBack) return;
  connection->heldBack = false;
  serveLater(index, connection);
}

// Every connection may join kJoinAllowance bytes; beyond that the texts
// being joined share kMaxJoinedBytes. The longest of them may always go on:
// texts that fill the room between them would otherwise wait for each other
// until their connections end.
bool PeerConnections::roomToJoin(const Connection& connection) const {
  const std::size_t own = connection.assembler.Size();
  if (own < kJoinAllowance) return true;
  std::size_t shared = 0;
  bool longest = true;
  for (const ConnectionRef& other : connections_) {
    if (!other) continue;
    const std::size_t size = other->assembler.Size();
    if (size > kJoinAllowance) shared += size - kJoinAllowance;
    longest = longest && size <= own;
  }
  return longest || shared + modWireFrames::kMaxFrameBody <= kMaxJoinedBytes;
}

void PeerConnections::wakeWaitingForRoom() {
  for (std::size_t i = 1; i < connections_.size(); ++i) {
    if (connections_[i]->waitsForRoom) serveLater(static_cast<int>(i), connections_[i]);
  }
}

bool PeerConnections::handleFrame(int index, const ConnectionRef& connection, std::string& body) {
  ConnectionState& state = connection->state;
  if (!modWireFrames::ParseFrame(state, body)) return false;
  if (state.Phase == kFilePhase) return receiveFile(index, connection, body);
  std::string text;
  const auto joined = connection->assembler.Add(state, std::move(body), text);
  if (joined == modWireFrames::MessageAssembler::Result::kTooLong) return false;
  if (joined == modWireFrames::MessageAssembler::Result::kIncomplete) return true;
  if (text.size() > kJoinAllowance) wakeWaitingForRoom();
  if (text == modWireFrames::kEndText) {
    closeConnection(index);
    return true;
  }
  reply(index, connection, dispatcher_(text, state));
  return true;
}

// File frames need the connection's file offer. A failed file is answered
// and the connection then ends (the answer still goes out).
bool PeerConnections::receiveFile(int index, const ConnectionRef& connection, const std::string& payload) {
  ConnectionState& state = connection->state;
  if (!state.FileOffered || state.FileFinished) return false;
  bool rawMode = false;
  reply(index, connection, modFileTransfer::ReceiveFileData(state, payload, rawMode));
  state.RawMode = rawMode;
  return !rawMode;
}

// An answer goes out only on the connection that asked: when a handler let
// events run and its connection ended meanwhile, the answer is dropped. It
// may tell the peer that something is stored, so it goes once what was
// written before it is on disk; when that failed, the connection ends
// unanswered and the peer tries again.
void PeerConnections::reply(int index, const ConnectionRef& connection, const std::string& text) {
  if (text.empty() || !current(index, connection)) return;
  ++connection->answersWaiting;
  TurnCommit::after(this, [this, index, asked = std::weak_ptr<Connection>(connection), text](bool onDisk) {
    const ConnectionRef held = asked.lock();
    if (!held) return;
    --held->answersWaiting;
    if (!current(index, held)) return;
    if (!onDisk) {
      closeConnection(index);
      return;
    }
    modWireFrames::SendFramedData(*sockets_[static_cast<std::size_t>(index)], text, true, true,
                                  modWireFrames::kMessageFrames, true, false);
  });
}

// The element's record and buffers are let go at once (a handler still
// running keeps its own until it returns).
void PeerConnections::dropConnection(int index) {
  const auto i = static_cast<std::size_t>(index);
  const ConnectionRef closed = connections_[i];
  connections_[i] = std::make_shared<Connection>();
  finishOpenFile(closed->state);
  sockets_[i]->Close();
}

// The slot goes to a waiting connection.
void PeerConnections::closeConnection(int index) {
  const auto i = static_cast<std::size_t>(index);
  if (i == 0 || i >= sockets_.size()) return;
  dropConnection(index);
  wakeWaitingForRoom();
  admitWaiting();
}

// What the peer sent and was not handled yet is dropped unanswered; a file
// it left unfinished is dropped too.
void PeerConnections::wsConnection_Close(int index) {
  try {
    closeConnection(index);
  } catch (...) {
    logError("PeerConnections.wsConnection_Close");
    closeConnection(index);
  }
}

// A connection with an error is of no further use: it is closed, so that its
// element can take the next connection.
void PeerConnections::wsConnection_Error(int index) {
  try {
    sockets_.at(static_cast<std::size_t>(index))->setTag("E");
    if (index != 0) closeConnection(index);
  } catch (...) {
    logError("PeerConnections.wsConnection_Error");
  }
}

void PeerConnections::wsConnection_SendComplete(int index) {
  try {
    platform::SocketControl& socket = *sockets_.at(static_cast<std::size_t>(index));
    if (socket.Tag() == "COC") {
      closeConnection(index);
    } else {
      socket.setTag("R");
    }
  } catch (...) {
    logError("PeerConnections.wsConnection_SendComplete");
  }
}

// Idle means no complete frame; a connection held back by its own undrained
// answers is not idle by its peer's doing (the socket's stall limit ends it).
// A connection left unread whose peer has gone is closed.
void PeerConnections::tmrConnectionTimeoutController_Timer() {
  try {
    ++ticks_;
    std::erase_if(gaveUp_, [this](const auto& entry) { return ticks_ - entry.second >= kRotationTicks; });
    for (std::size_t i = 1; i < connections_.size(); ++i) {
      const ConnectionRef connection = connections_[i];
      if (!connection->state.Active) continue;
      connection->heldTicks = std::min(connection->heldTicks + 1, kIdleLimitSeconds);
      connection->pace = connection->pace / 2 + connection->bytesThisTick;
      connection->bytesThisTick = 0;
      const bool unread = connection->heldBack || connection->waitsForRoom;
      if (unread && sockets_[i]->PeerHungUp()) {
        closeConnection(static_cast<int>(i));
      } else if (!connection->heldBack && ++connection->state.IdleSeconds > kIdleLimitSeconds) {
        closeConnection(static_cast<int>(i));
      }
    }
    admitWaiting();
  } catch (...) {
    logError("PeerConnections.tmrConnectionTimeoutController_Timer");
  }
}
