#include "SocketControl.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdlib>
#include <functional>

#include "MessageBox.h"
#include "TimerControl.h"

namespace platform {
namespace {

// A listener's maximum of pending connections. The server takes connections
// one after another within one notification until it holds its maximum; as
// it never holds any (each is announced), 1 lets it take them and 0 stops it
// at once, even within the notification it is in.
constexpr int kAcceptingMaximum = 1;

// A listener that announces each incoming connection by its descriptor and
// leaves accepting it to the owner.
class AnnouncingServer : public QTcpServer {
 public:
  explicit AnnouncingServer(std::function<void(qintptr)> announce)
      : announce_(std::move(announce)) {}

 protected:
  void incomingConnection(qintptr descriptor) override { announce_(descriptor); }

 private:
  std::function<void(qintptr)> announce_;
};

// Conversations are small requests each answered before the next goes: a
// frame held back until the previous one is acknowledged (Nagle's rule,
// meeting the peer's delayed acknowledgement) would stall every step.
void sendAtOnce(QTcpSocket& socket) { socket.setSocketOption(QAbstractSocket::LowDelayOption, 1); }

int stateOf(QAbstractSocket::SocketState state) {
  switch (state) {
    case QAbstractSocket::HostLookupState:
      return kSckResolvingHost;
    case QAbstractSocket::ConnectingState:
      return kSckConnecting;
    case QAbstractSocket::ConnectedState:
      return kSckConnected;
    case QAbstractSocket::BoundState:
      return kSckOpen;
    case QAbstractSocket::ListeningState:
      return kSckListening;
    case QAbstractSocket::ClosingState:
      return kSckClosing;
    case QAbstractSocket::UnconnectedState:
      break;
  }
  return kSckClosed;
}

std::string dotted(const QHostAddress& address) {
  bool isIPv4 = false;
  const quint32 ipv4 = address.toIPv4Address(&isIPv4);
  if (isIPv4) return QHostAddress(ipv4).toString().toStdString();
  return address.toString().toStdString();
}

}  // namespace

std::string socketBindAddress() {
  const char* value = std::getenv("TAVINOR_BIND_ADDRESS");
  in_addr parsed{};
  if (value == nullptr || ::inet_pton(AF_INET, value, &parsed) != 1) return {};
  return value;
}

SocketControl::SocketControl(int index, QObject* parent) : QObject(parent), index_(index) {
  stallTimer_.setSingleShot(true);
  stallTimer_.setInterval(kStallSeconds * 1000);
  connect(&stallTimer_, &QTimer::timeout, this, &SocketControl::onStalled);
}

SocketControl::~SocketControl() {
  relaying_ = 0;
  detach();
  for (const QPointer<QTcpSocket>& old : retired_) {
    if (old) retire(old);
  }
}

int SocketControl::State() const {
  if (socket_) {
    const int state = stateOf(socket_->state());
    return (state == kSckClosed && failed_) ? kSckError : state;
  }
  if (server_ && server_->isListening()) return kSckListening;
  return failed_ ? kSckError : kSckClosed;
}

std::string SocketControl::RemoteHost() const {
  if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
    return dotted(socket_->peerAddress());
  }
  return remoteHost_;
}

int SocketControl::RemotePort() const {
  if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) return socket_->peerPort();
  return remotePort_;
}

int SocketControl::LocalPort() const {
  if (server_ && server_->isListening()) return server_->serverPort();
  if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) return socket_->localPort();
  return localPort_;
}

void SocketControl::adopt(QTcpSocket* socket) {
  detach();
  failed_ = false;
  lastErrorText_.clear();
  socket_ = socket;
  socket->setReadBufferSize(kReadBufferBytes);
  connect(socket, &QTcpSocket::readyRead, this, [this] {
    relay([this] { emit dataArrival(index_, socket_ ? socket_->bytesAvailable() : 0); });
  });
  connect(socket, &QTcpSocket::connected, this, [this] {
    relay([this] {
      if (socket_) sendAtOnce(*socket_);
      emit connected(index_);
    });
  });
  connect(socket, &QTcpSocket::bytesWritten, this, [this] {
    if (flushing_) {
      reportWrittenLater();
    } else {
      relay([this] { onBytesWritten(); });
    }
  });
  connect(socket, &QTcpSocket::errorOccurred, this, [this] { relay([this] { onSocketError(); }); });
  connect(socket, &QTcpSocket::disconnected, this, [this] { relay([this] { onDisconnected(); }); });
}

// An event handler may close the control and let events run (a nested
// event loop) while the socket that raised the event is still inside its
// own code: a socket let go meanwhile is deleted only once that event is over.
void SocketControl::relay(const std::function<void()>& event) {
  const UnattendedScope unattended;
  ++relaying_;
  event();
  if (--relaying_ > 0) return;
  std::vector<QPointer<QTcpSocket>> retired;
  retired.swap(retired_);
  for (const QPointer<QTcpSocket>& old : retired) {
    if (old) retire(old);
  }
}

// The old connection writes out what it was given and closes on its own;
// nothing it does reaches this control any more.
void SocketControl::detach() {
  stallTimer_.stop();
  if (!socket_) return;
  QTcpSocket* old = socket_;
  socket_ = nullptr;
  old->disconnect(this);
  // Nothing of it is read any more; what it holds is let go now.
  old->skip(old->bytesAvailable());
  old->setReadBufferSize(1);
  if (relaying_ > 0) {
    retired_.emplace_back(old);
    return;
  }
  retire(old);
}

void SocketControl::retire(QTcpSocket* old) {
  if (old->state() == QAbstractSocket::UnconnectedState) {
    old->deleteLater();
    return;
  }
  connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
  // The limit goes with the socket: a socket that closes in time leaves no
  // timer behind.
  auto* limit = new QTimer(old);
  limit->setSingleShot(true);
  connect(limit, &QTimer::timeout, old, [old] {
    old->abort();
    old->deleteLater();
  });
  limit->start(kStallSeconds * 1000);
  old->disconnectFromHost();
}

void SocketControl::Connect() {
  server_.reset();
  auto* socket = new QTcpSocket();
  const std::string from = socketBindAddress();
  socket->setProxy(QNetworkProxy::NoProxy);
  if (!from.empty()) socket->bind(QHostAddress(QString::fromStdString(from)), 0);
  adopt(socket);
  const QHostAddress literal(QString::fromStdString(remoteHost_));
  if (literal.isNull()) {
    socket->connectToHost(QString::fromStdString(remoteHost_), static_cast<quint16>(remotePort_));
  } else {
    socket->connectToHost(literal, static_cast<quint16>(remotePort_));
  }
}

bool SocketControl::Listen() {
  detach();
  failed_ = false;
  lastErrorText_.clear();
  acceptingPaused_ = false;
  server_ = std::make_unique<AnnouncingServer>([this](qintptr descriptor) {
    const UnattendedScope unattended;
    emit connectionRequest(index_, descriptor);
  });
  const std::string at = socketBindAddress();
  const QHostAddress address =
      at.empty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QString::fromStdString(at));
  // Qt's default backlog (50) overflows under a burst of connections; the
  // kernel then answers with SYN cookies and drops the handshake's last ACK,
  // leaving a peer that waits for our greeting on a connection we never see.
  server_->setListenBacklogSize(SOMAXCONN);
  server_->setMaxPendingConnections(kAcceptingMaximum);
  server_->setProxy(QNetworkProxy::NoProxy);
  if (server_->listen(address, static_cast<quint16>(localPort_))) return true;
  lastErrorText_ = server_->errorString().toStdString();
  server_.reset();
  failed_ = true;
  return false;
}

void SocketControl::Accept(qintptr requestID) {
  server_.reset();
  auto* socket = new QTcpSocket();
  adopt(socket);
  if (!socket->setSocketDescriptor(requestID)) {
    ::close(static_cast<int>(requestID));
    failed_ = true;
    lastErrorText_ = socket->errorString().toStdString();
    return;
  }
  sendAtOnce(*socket);
}

void SocketControl::Refuse(qintptr requestID) { ::close(static_cast<int>(requestID)); }

std::string SocketControl::PeerAddressOf(qintptr requestID) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(static_cast<int>(requestID), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return {};
  }
  return dotted(QHostAddress(reinterpret_cast<const sockaddr*>(&peer)));
}

void SocketControl::PauseAccepting() {
  acceptingPaused_ = true;
  if (!server_) return;
  server_->setMaxPendingConnections(0);
  server_->pauseAccepting();
}

void SocketControl::ResumeAccepting() {
  acceptingPaused_ = false;
  if (!server_) return;
  server_->setMaxPendingConnections(kAcceptingMaximum);
  server_->resumeAccepting();
}

void SocketControl::SendData(const QByteArray& bytes) {
  if (!socket_ || bytes.isEmpty()) return;
  socket_->write(bytes);
  if (!stallTimer_.isActive()) stallTimer_.start();
  if (!sendsAtOnce_ || socket_->state() != QAbstractSocket::ConnectedState) return;
  flushing_ = true;
  socket_->flush();
  flushing_ = false;
}

// What the system took during SendData is told at the next turn of the
// event loop, as it would have been without the flush.
void SocketControl::reportWrittenLater() {
  if (writtenReportQueued_) return;
  writtenReportQueued_ = true;
  const QPointer<QTcpSocket> socket = socket_;
  const std::uint64_t reportsBefore = writtenReports_;
  TimerControl::NextTurn(this, [this, socket, reportsBefore] {
    writtenReportQueued_ = false;
    // Passed over when the connection changed or was reported on since.
    if (socket && socket == socket_ && reportsBefore == writtenReports_) {
      relay([this] { onBytesWritten(); });
    }
  });
}

std::string SocketControl::GetData(qint64 maxBytes) {
  std::string data;
  AppendData(data, maxBytes);
  return data;
}

std::size_t SocketControl::AppendData(std::string& to, qint64 maxBytes) {
  if (!socket_) return 0;
  // Asking for one byte more than has arrived, as readAll does, lets the
  // socket take from the system again.
  const qint64 beyond = socket_->bytesAvailable() + 1;
  const qint64 wanted = maxBytes == kAllData ? beyond : std::min(maxBytes, beyond);
  if (wanted <= 0) return 0;
  const std::size_t before = to.size();
  to.resize(before + static_cast<std::size_t>(wanted));
  const qint64 got = socket_->read(to.data() + before, wanted);
  const std::size_t appended = static_cast<std::size_t>(std::max<qint64>(got, 0));
  to.resize(before + appended);
  return appended;
}

qint64 SocketControl::BytesAvailable() const { return socket_ ? socket_->bytesAvailable() : 0; }

qint64 SocketControl::BytesPending() const { return socket_ ? socket_->bytesToWrite() : 0; }

bool SocketControl::PeerHungUp() const {
  if (!socket_ || socket_->socketDescriptor() < 0) return false;
  pollfd watched{static_cast<int>(socket_->socketDescriptor()), POLLRDHUP, 0};
  return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void SocketControl::Close() {
  detach();
  server_.reset();
  failed_ = false;
}

void SocketControl::onBytesWritten() {
  if (!socket_) return;
  ++writtenReports_;
  const qint64 pending = socket_->bytesToWrite();
  if (pending > 0) stallTimer_.start();
  emit sendProgress(index_, pending);
  // A handler may have closed the control or queued more.
  if (!socket_ || socket_->bytesToWrite() > 0) return;
  stallTimer_.stop();
  emit sendComplete(index_);
}

void SocketControl::onStalled() {
  if (!socket_ || socket_->bytesToWrite() == 0) return;
  const UnattendedScope unattended;
  const QPointer<QTcpSocket> stalled = socket_;
  detach();
  if (stalled) stalled->abort();
  failed_ = true;
  lastErrorText_ = "The peer took no data for " +
                   std::to_string(stallTimer_.intervalAsDuration().count()) + " ms";
  emit error(index_, static_cast<int>(QAbstractSocket::SocketTimeoutError),
             QString::fromStdString(lastErrorText_));
}

void SocketControl::onSocketError() {
  if (!socket_) return;
  // The peer's close is reported by disconnected(), as a close.
  if (socket_->error() == QAbstractSocket::RemoteHostClosedError) return;
  failed_ = true;
  lastErrorText_ = socket_->errorString().toStdString();
  emit error(index_, static_cast<int>(socket_->error()), socket_->errorString());
}

void SocketControl::onDisconnected() {
  stallTimer_.stop();
  emit closed(index_);
}

}  // namespace platform
