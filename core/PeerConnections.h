#pragma once
// PeerConnections: the listening side of the peer protocol. It listens on
// kPeerPort, accepts other copies' connections into an array of sockets
// (element 0 listens), greets each with reply 100, or with 100101 and a
// close when the logged-in account's address filter refuses the peer, cuts
// what arrives into frames, joins message texts and hands each request to
// the dispatcher, sending back its reply.
//
// Bounds, because peers are untrusted: at most kMaxIncoming connections at
// once (more are turned away unanswered); a frame or text that no sender
// makes closes that connection; a connection silent for more than
// kIdleLimitSeconds ticks of the idle controller is closed; nothing a
// refused peer sends is read. "<!E!>" as a whole text ends a conversation.
// File content needs an accepted file offer; until then a file frame is a
// protocol error. A file the connection did not complete (the peer closed,
// went silent, ended the conversation or sent bad data) is dropped.
//
// Owns its sockets, their records and buffers, and the 1-second idle
// controller (started by StartListening). Errors inside an event are logged
// and end there. UI thread only.
#include <QObject>
#include <functional>
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
  static constexpr int kIdleLimitSeconds = 60;

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
  // Closes every connection and the listener.
  void CloseAll();

  const clsGenWinsock::SocketArray& wsConnection() const { return sockets_; }
  const ConnectionState& State(int index) const { return states_.at(static_cast<std::size_t>(index)); }

  // Event procedures of the sockets and the idle controller.
  void wsConnection_ConnectionRequest(int index, qintptr requestID);
  void wsConnection_DataArrival(int index);
  void wsConnection_Close(int index);
  void wsConnection_Error(int index);
  void wsConnection_SendComplete(int index);
  void tmrConnectionTimeoutController_Timer();

  platform::TimerControl tmrConnectionTimeoutController;

 private:
  std::unique_ptr<platform::SocketControl> makeSocket(int index);
  int openConnections() const;
  void prepareRecord(int index);
  void receive(int index, const std::string& data);
  // Handles one frame; false when the connection was closed.
  bool handleFrame(int index, std::string& body);
  bool receiveFile(int index, const std::string& payload);
  void finishOpenFile(ConnectionState& state);
  void closeConnection(int index);

  clsGenWinsock::SocketArray sockets_;
  std::vector<ConnectionState> states_;
  std::vector<modWireFrames::FrameReader> receiveBuffers_;
  std::vector<modWireFrames::MessageAssembler> messageBuffers_;
  Dispatcher dispatcher_;
  std::string listenError_;
};
