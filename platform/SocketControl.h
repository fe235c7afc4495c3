#pragma once
// SocketControl: one TCP socket as the program's windows use it: a listener,
// an accepted connection or an outgoing connection, with a numeric State, a
// free-text Tag for its owner, and events for arriving data, connection
// requests, the connect, the peer's close, errors and completed sends.
//
// Each connection is its own QTcpSocket underneath. Close() detaches the
// control from it at once (State 0, no further events) while the old socket
// still writes out what was handed to it and then closes gracefully, so a
// control can be reused right away and no event of an earlier connection ever
// reaches the connection that follows it.
//
// Sending never blocks: SendData queues the bytes in order behind those
// already queued. sendProgress fires whenever the system took some of them
// (with what is still queued), so a long send can keep a bounded amount
// queued; sendComplete fires when everything queued has been handed to the
// system. A connection that has bytes queued and gets none written for
// the stall interval (kStallSeconds unless set) raises its error event and
// is closed; every byte the system takes starts the interval again, so a
// send that is still moving is never cut.
//
// What arrives is held for the owner up to kReadBufferBytes; beyond that the
// socket takes nothing more from the system, so a peer that sends faster
// than the owner reads is held back by TCP itself.
//
// Addresses are IPv4. $TAVINOR_BIND_ADDRESS, when it holds a dotted address,
// is the address listeners bind to and outgoing connections come from;
// otherwise listeners bind to every IPv4 address. Connections go straight to
// the peer (no proxy, no look-up of a dotted address), and every frame is
// sent at once (no coalescing of small writes).
//
// UI thread only. Events are Qt signals carrying the control's index; what
// their handlers do runs unattended (no message box, see MessageBox.h).
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace platform {

enum SocketState : int {
  kSckClosed = 0,
  kSckOpen = 1,
  kSckListening = 2,
  kSckConnectionPending = 3,
  kSckResolvingHost = 4,
  kSckHostResolved = 5,
  kSckConnecting = 6,
  kSckConnected = 7,
  kSckClosing = 8,
  kSckError = 9,
};

// The address of $TAVINOR_BIND_ADDRESS when it is a dotted IPv4 address, else "".
std::string socketBindAddress();

class SocketControl : public QObject {
  Q_OBJECT

 public:
  static constexpr int kStallSeconds = 60;
  static constexpr qint64 kReadBufferBytes = 64 * 1024;
  static constexpr qint64 kAllData = -1;

  explicit SocketControl(int index = 0, QObject* parent = nullptr);
  ~SocketControl() override;
  SocketControl(const SocketControl&) = delete;
  SocketControl& operator=(const SocketControl&) = delete;

  int Index() const { return index_; }
  int State() const;
  const std::string& Tag() const { return tag_; }
  void setTag(std::string tag) { tag_ = std::move(tag); }
  // The peer's dotted address (an IPv4-mapped address in its IPv4 form), or
  // the host set for the next Connect.
  std::string RemoteHost() const;
  void setRemoteHost(std::string host) { remoteHost_ = std::move(host); }
  int RemotePort() const;
  void setRemotePort(int port) { remotePort_ = port; }
  int LocalPort() const;
  void setLocalPort(int port) { localPort_ = port; }

  // Starts connecting to RemoteHost:RemotePort (closing a connection the
  // control still has); the outcome comes as connected() or error().
  void Connect();
  // Listens on LocalPort. False when the address cannot be taken; the
  // system's reason is then in LastErrorText().
  bool Listen();
  // Takes over the incoming connection announced by a listener's
  // connectionRequest, which must not be accepted twice.
  void Accept(qintptr requestID);
  // Turns an announced connection away without accepting it.
  static void Refuse(qintptr requestID);
  // The dotted address of the peer of an announced connection, "" when the
  // system no longer knows it.
  static std::string PeerAddressOf(qintptr requestID);
  // A listener stops taking connections from the system's listen queue
  // (they wait there) until ResumeAccepting.
  void PauseAccepting();
  void ResumeAccepting();
  bool AcceptingPaused() const { return acceptingPaused_; }
  // Queues bytes for the peer, sharing the buffer rather than copying it.
  // Nothing without a connection.
  void SendData(const QByteArray& bytes);
  // With sendsAtOnce, SendData also hands what it can to the system before
  // it returns instead of at the next turn of the event loop (for a side
  // that answers short requests). sendProgress and sendComplete still come
  // from the event loop, never from inside SendData.
  void setSendsAtOnce(bool atOnce) { sendsAtOnce_ = atOnce; }
  // What has arrived and was not read yet, at most maxBytes of it.
  std::string GetData(qint64 maxBytes = kAllData);
  // The same appended to `to`, read straight into it; gives the bytes appended.
  std::size_t AppendData(std::string& to, qint64 maxBytes = kAllData);
  // Bytes that have arrived and were not read yet.
  qint64 BytesAvailable() const;
  // Bytes queued and not yet handed to the system.
  qint64 BytesPending() const;
  // The peer closed or reset the connection. Needed for a connection whose
  // arrived data the owner leaves unread: the socket then takes nothing
  // from the system and would not notice the close by itself.
  bool PeerHungUp() const;
  void Close();
  const std::string& LastErrorText() const { return lastErrorText_; }
  void setStallInterval(std::chrono::milliseconds interval) { stallTimer_.setInterval(interval); }

 signals:
  void connectionRequest(int index, qintptr requestID);
  void dataArrival(int index, qint64 bytesTotal);
  void connected(int index);
  void closed(int index);
  void error(int index, int number, const QString& description);
  void sendProgress(int index, qint64 bytesPending);
  void sendComplete(int index);

 private:
  void adopt(QTcpSocket* socket);
  void relay(const std::function<void()>& event);
  void detach();
  void retire(QTcpSocket* old);
  void onBytesWritten();
  void reportWrittenLater();
  void onStalled();
  void onSocketError();
  void onDisconnected();

  int index_;
  std::string tag_;
  std::string remoteHost_;
  int remotePort_ = 0;
  int localPort_ = 0;
  bool failed_ = false;
  bool acceptingPaused_ = false;
  std::string lastErrorText_;
  QPointer<QTcpSocket> socket_;
  // Events of this control's sockets under way, and the sockets let go
  // meanwhile.
  int relaying_ = 0;
  std::vector<QPointer<QTcpSocket>> retired_;
  bool sendsAtOnce_ = false;
  bool flushing_ = false;
  bool writtenReportQueued_ = false;
  std::uint64_t writtenReports_ = 0;
  std::unique_ptr<QTcpServer> server_;
  QTimer stallTimer_;
};

}  // namespace platform
