#include "FramedClient.h"

#include <sys/ioctl.h>

#include <QHostAddress>

#include "ScriptedPeer.h"

namespace {
// Texts kept at most, so that a flood of answers cannot fill the test.
constexpr std::size_t kMaxTexts = 1000;
}  // namespace

FramedClient::FramedClient(const char* host, int port, const char* from) {
  QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { onData(); });
  if (*from != '\0') socket_.bind(QHostAddress(QString::fromLatin1(from)));
  socket_.connectToHost(QString::fromLatin1(host), static_cast<quint16>(port));
}

void FramedClient::onData() {
  const QByteArray data = socket_.readAll();
  reader_.Append(std::string(data.constData(), static_cast<std::size_t>(data.size())));
  std::string body;
  while (reader_.Next(body) == modWireFrames::FrameReader::Result::kFrame) {
    ++frames_;
    std::string text;
    if (modWireFrames::ParseFrame(state_, body) && texts_.size() < kMaxTexts &&
        assembler_.Add(state_, body, text) == modWireFrames::MessageAssembler::Result::kComplete) {
      texts_.push_back(text);
    }
  }
}

void FramedClient::send(const std::string& text) {
  sendRaw(modWireFrames::BuildFrames(text, true, true, modWireFrames::kMessageFrames, true));
}

void FramedClient::sendRaw(const std::string& bytes) {
  socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

qint64 FramedClient::unread() const {
  int queued = 0;
  if (::ioctl(static_cast<int>(socket_.socketDescriptor()), FIONREAD, &queued) != 0) queued = 0;
  return socket_.bytesAvailable() + queued;
}

std::string FramedClient::ask(const std::string& code, const std::string& sender,
                              const std::string& recipient, const std::string& V) {
  send("<A AT=\"" + code + "\" SUID=\"" + sender + "\" RUID=\"" + recipient + "\" V=\"" + V + "\"/>");
  return ScriptedPeer::attribute(next(), "V");
}

std::string FramedClient::next() {
  if (!waitForTexts(taken_ + 1)) return {};
  return texts_[taken_++];
}

bool FramedClient::waitForTexts(std::size_t count) {
  ScriptedPeer::waitFor([&] { return texts_.size() >= count || closed(); });
  return texts_.size() >= count;
}

bool FramedClient::waitForClose() {
  return ScriptedPeer::waitFor([&] { return closed(); });
}
