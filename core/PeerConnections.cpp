#include "PeerConnections.h"

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

}  // namespace

PeerConnections::PeerConnections() : dispatcher_(modCOMRequestedAction::ProcessRequestedAction) {
  tmrConnectionTimeoutController.setInterval(1000);
  connect(&tmrConnectionTimeoutController, &platform::TimerControl::tick, this,
          &PeerConnections::tmrConnectionTimeoutController_Timer);
}

PeerConnections::~PeerConnections() { CloseAll(); }

std::unique_ptr<platform::SocketControl> PeerConnections::makeSocket(int index) {
  auto socket = std::make_unique<platform::SocketControl>(index);
  connect(socket.get(), &platform::SocketControl::connectionRequest, this,
          &PeerConnections::wsConnection_ConnectionRequest);
  connect(socket.get(), &platform::SocketControl::dataArrival, this,
          [this](int i, qint64) { wsConnection_DataArrival(i); });
  connect(socket.get(), &platform::SocketControl::closed, this, &PeerConnections::wsConnection_Close);
  connect(socket.get(), &platform::SocketControl::error, this,
          [this](int i, int, const QString&) { wsConnection_Error(i); });
  connect(socket.get(), &platform::SocketControl::sendComplete, this,
          &PeerConnections::wsConnection_SendComplete);
  return socket;
}

bool PeerConnections::StartListening() {
  if (!sockets_.empty() && sockets_[0]->State() != platform::kSckClosed) sockets_[0]->Close();
  platform::SocketControl& listener = clsGenWinsock::GetAvailableSocket(
      sockets_, [this](int index) { return makeSocket(index); });
  prepareRecord(listener.Index());
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
    finishOpenFile(states_[i]);
    InitConnectionState(states_[i]);
  }
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

int PeerConnections::openConnections() const {
  int open = 0;
  for (std::size_t i = 1; i < sockets_.size(); ++i) {
    const int state = sockets_[i]->State();
    if (state != platform::kSckClosed && state != platform::kSckClosing) ++open;
  }
  return open;
}

// The record and buffers of an element are made ready before anything is
// sent on it, so that nothing of an earlier connection reaches this one.
void PeerConnections::prepareRecord(int index) {
  const auto size = static_cast<std::size_t>(index) + 1;
  if (states_.size() < size) {
    states_.resize(size);
    receiveBuffers_.resize(size);
    messageBuffers_.resize(size);
  }
  const auto i = static_cast<std::size_t>(index);
  InitConnectionState(states_[i]);
  receiveBuffers_[i].Clear();
  messageBuffers_[i].Clear();
}

void PeerConnections::wsConnection_ConnectionRequest(int /*index*/, qintptr requestID) {
  try {
    if (openConnections() >= kMaxIncoming) {
      platform::SocketControl::Refuse(requestID);
      return;
    }
    platform::SocketControl& socket = clsGenWinsock::GetAvailableSocket(
        sockets_, [this](int index) { return makeSocket(index); });
    const int index = socket.Index();
    prepareRecord(index);
    socket.Accept(requestID);
    ConnectionState& state = states_[static_cast<std::size_t>(index)];
    state.Active = true;
    const std::string peer = socket.RemoteHost();
    state.PeerAddress = peer;
    const bool accepted = peerAccepted(peer);
    state.Refused = !accepted;
    const std::string greeting = modCOMRequestedAction::BuildResponse(
        "", "", "", accepted ? kGreetingAccepted : kGreetingRefused, "", false);
    if (!accepted) tellRefusal(peer);
    socket.setTag("R");
    modWireFrames::SendFramedData(socket, greeting, true, true, modWireFrames::kMessageFrames,
                                  true, !accepted);
  } catch (...) {
    logError("PeerConnections.wsConnection_ConnectionRequest");
  }
}

void PeerConnections::wsConnection_DataArrival(int index) {
  try {
    platform::SocketControl& socket = *sockets_.at(static_cast<std::size_t>(index));
    ConnectionState& state = states_.at(static_cast<std::size_t>(index));
    const std::string data = socket.GetData();
    state.IdleSeconds = 0;
    if (state.Refused || state.RawMode || data.empty()) return;
    receive(index, data);
  } catch (...) {
    logError("PeerConnections.wsConnection_DataArrival");
    closeConnection(index);
  }
}

void PeerConnections::receive(int index, const std::string& data) {
  modWireFrames::FrameReader& reader = receiveBuffers_[static_cast<std::size_t>(index)];
  reader.Append(data);
  std::string body;
  for (;;) {
    const auto result = reader.Next(body);
    if (result == modWireFrames::FrameReader::Result::kNeedMore) return;
    if (result == modWireFrames::FrameReader::Result::kProtocolError || !handleFrame(index, body)) {
      closeConnection(index);
      return;
    }
    // Ended here; a peer's close still leaves its frames to take.
    if (!states_[static_cast<std::size_t>(index)].Active) return;
  }
}

bool PeerConnections::handleFrame(int index, std::string& body) {
  const auto i = static_cast<std::size_t>(index);
  ConnectionState& state = states_[i];
  if (!modWireFrames::ParseFrame(state, body)) return false;
  if (state.Phase == kFilePhase) return receiveFile(index, body);
  std::string text;
  const auto joined = messageBuffers_[i].Add(state, std::move(body), text);
  if (joined == modWireFrames::MessageAssembler::Result::kTooLong) return false;
  if (joined == modWireFrames::MessageAssembler::Result::kIncomplete) return true;
  if (text == modWireFrames::kEndText) {
    closeConnection(index);
    return true;
  }
  const std::string reply = dispatcher_(text, state);
  if (!reply.empty()) {
    modWireFrames::SendFramedData(*sockets_[i], reply, true, true, modWireFrames::kMessageFrames,
                                  true, false);
  }
  return true;
}

// File frames need the connection's file offer. A failed file is answered
// and the connection then ends (the answer still goes out).
bool PeerConnections::receiveFile(int index, const std::string& payload) {
  const auto i = static_cast<std::size_t>(index);
  ConnectionState& state = states_[i];
  if (!state.FileOffered || state.FileFinished) return false;
  bool rawMode = false;
  const std::string reply = modFileTransfer::ReceiveFileData(state, payload, rawMode);
  if (!reply.empty()) {
    modWireFrames::SendFramedData(*sockets_[i], reply, true, true, modWireFrames::kMessageFrames,
                                  true, false);
  }
  state.RawMode = rawMode;
  return !rawMode;
}

void PeerConnections::closeConnection(int index) {
  const auto i = static_cast<std::size_t>(index);
  if (i >= sockets_.size() || index == 0) return;
  finishOpenFile(states_[i]);
  InitConnectionState(states_[i]);
  receiveBuffers_[i].Clear();
  messageBuffers_[i].Clear();
  sockets_[i]->Close();
}

// What the peer sent before it closed is still taken; a file it left
// unfinished is dropped.
void PeerConnections::wsConnection_Close(int index) {
  try {
    ConnectionState& state = states_.at(static_cast<std::size_t>(index));
    if (state.Active) wsConnection_DataArrival(index);
    finishOpenFile(state);
    state.Active = false;
  } catch (...) {
    logError("PeerConnections.wsConnection_Close");
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

void PeerConnections::tmrConnectionTimeoutController_Timer() {
  try {
    for (std::size_t i = 1; i < states_.size(); ++i) {
      ConnectionState& state = states_[i];
      if (!state.Active) continue;
      if (++state.IdleSeconds > kIdleLimitSeconds) closeConnection(static_cast<int>(i));
    }
  } catch (...) {
    logError("PeerConnections.tmrConnectionTimeoutController_Timer");
  }
}
