#include "PeerConnections.h"

#include <algorithm>
#include <map>

#include "MessageBox.h"
#include "MessageCenterServices.h"
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
    std::string address = platform::SocketControl::PeerAddressOf(requestID);
    const auto fromAddress = std::count_if(waiting_.begin(), waiting_.end(),
                                           [&](const WaitingConnection& w) { return w.address == address; });
    if (fromAddress >= kMaxWaitingPerAddress) {
      platform::SocketControl::Refuse(requestID);
      return;
    }
    waiting_.push_back({requestID, std::move(address)});
    admitWaiting();
  } catch (...) {
    logError("PeerConnections.wsConnection_ConnectionRequest");
  }
}

// Gives free slots to waiting connections in arrival order, passing over
// those whose address holds its share; the listener empties the system's
// listen queue only while there is room to wait.
void PeerConnections::admitWaiting() {
  std::map<std::string, int> perAddress;
  int open = 0;
  for (std::size_t i = 1; i < sockets_.size(); ++i) {
    if (!isOpen(i)) continue;
    ++open;
    ++perAddress[connections_[i]->state.PeerAddress];
  }
  for (auto next = waiting_.begin(); next != waiting_.end() && open < kMaxIncoming;) {
    int& fromAddress = perAddress[next->address];
    if (fromAddress >= kMaxPerAddress) {
      ++next;
      continue;
    }
    const WaitingConnection admitted = *next;
    next = waiting_.erase(next);
    greet(admitted);
    ++fromAddress;
    ++open;
  }
  if (sockets_.empty()) return;
  platform::SocketControl& listener = *sockets_[0];
  const bool full = waiting_.size() >= kMaxWaiting;
  if (full && !listener.AcceptingPaused()) listener.PauseAccepting();
  if (!full && listener.AcceptingPaused()) listener.ResumeAccepting();
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
    serve(index, false);
  } catch (...) {
    logError("PeerConnections.wsConnection_DataArrival");
    closeConnection(index);
  }
}

// Reads the connection only as far as its bounds allow: its answers must
// have drained, its text must have room, and one turn takes at most
// kFramesPerTurn frames (the rest comes in a later turn). `wholeRest` takes
// everything left (a closed peer's last bytes, bounded by what was
// buffered).
void PeerConnections::serve(int index, bool wholeRest) {
  const auto i = static_cast<std::size_t>(index);
  if (i == 0 || i >= connections_.size()) return;
  const ConnectionRef connection = connections_[i];
  if (connection->busy) return;
  connection->scheduled = false;
  connection->waitsForRoom = false;
  std::string body;
  for (int frames = 0; wholeRest || frames < kFramesPerTurn;) {
    if (!current(index, connection)) return;
    platform::SocketControl& socket = *sockets_[i];
    ConnectionState& state = connection->state;
    if (socket.BytesPending() > kMaxUnsentBytes) {
      connection->heldBack = true;
      return;
    }
    if (state.Refused || state.RawMode) {
      if (socket.GetData(kReadChunk).empty()) return;
      ++frames;
      continue;
    }
    if (!roomToJoin(*connection)) {
      connection->waitsForRoom = true;
      return;
    }
    const auto result = connection->reader.Next(body);
    if (result == modWireFrames::FrameReader::Result::kNeedMore) {
      if (!connection->reader.ReadFrom(socket, kReadChunk)) return;
      continue;
    }
    if (result == modWireFrames::FrameReader::Result::kProtocolError) {
      closeConnection(index);
      return;
    }
    ++frames;
    state.IdleSeconds = 0;
    bool keep = false;
    {
      const BusyMark mark(connection->busy);
      keep = handleFrame(index, connection, body);
    }
    if (!keep) {
      if (current(index, connection)) closeConnection(index);
      return;
    }
  }
  serveLater(index, connection);
}

void PeerConnections::serveLater(int index, const ConnectionRef& connection) {
  if (connection->scheduled) return;
  connection->scheduled = true;
  const std::weak_ptr<Connection> later = connection;
  QMetaObject::invokeMethod(
      this,
      [this, index, later] {
        // A peer's input, like every socket event, runs unattended.
        const platform::UnattendedScope unattended;
        const ConnectionRef still = later.lock();
        if (still && current(index, still)) wsConnection_DataArrival(index);
      },
      Qt::QueuedConnection);
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
// being joined share kMaxJoinedBytes.
bool PeerConnections::roomToJoin(const Connection& connection) const {
  if (connection.assembler.Size() < kJoinAllowance) return true;
  std::size_t shared = 0;
  for (const ConnectionRef& other : connections_) {
    if (other && other->assembler.Size() > kJoinAllowance) shared += other->assembler.Size() - kJoinAllowance;
  }
  return shared + modWireFrames::kMaxFrameBody <= kMaxJoinedBytes;
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
// events run and its connection ended meanwhile, the answer is dropped.
void PeerConnections::reply(int index, const ConnectionRef& connection, const std::string& text) {
  if (text.empty() || !current(index, connection)) return;
  modWireFrames::SendFramedData(*sockets_[static_cast<std::size_t>(index)], text, true, true,
                                modWireFrames::kMessageFrames, true, false);
}

// The element's record and buffers are let go at once (a handler still
// running keeps its own until it returns); the slot goes to a waiting
// connection.
void PeerConnections::closeConnection(int index) {
  const auto i = static_cast<std::size_t>(index);
  if (i == 0 || i >= sockets_.size()) return;
  const ConnectionRef closed = connections_[i];
  connections_[i] = std::make_shared<Connection>();
  finishOpenFile(closed->state);
  sockets_[i]->Close();
  wakeWaitingForRoom();
  admitWaiting();
}

// What the peer sent before it closed is still taken; a file it left
// unfinished is dropped.
void PeerConnections::wsConnection_Close(int index) {
  try {
    const ConnectionRef connection = connections_.at(static_cast<std::size_t>(index));
    if (connection->state.Active) serve(index, true);
    if (current(index, connection)) closeConnection(index);
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
    for (std::size_t i = 1; i < connections_.size(); ++i) {
      const ConnectionRef connection = connections_[i];
      if (!connection->state.Active) continue;
      const bool unread = connection->heldBack || connection->waitsForRoom;
      if (unread && sockets_[i]->PeerHungUp()) {
        closeConnection(static_cast<int>(i));
      } else if (!connection->heldBack && ++connection->state.IdleSeconds > kIdleLimitSeconds) {
        closeConnection(static_cast<int>(i));
      }
    }
  } catch (...) {
    logError("PeerConnections.tmrConnectionTimeoutController_Timer");
  }
}
