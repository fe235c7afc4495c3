#include "ScriptedPeer.h"

#include <QTcpSocket>
#include <map>
#include <memory>
#include <pugixml.hpp>

#include "ChildProcess.h"
#include "ConnectionState.h"
#include "modWireFrames.h"

namespace {

struct Receiver {
  modWireFrames::FrameReader frames;
  modWireFrames::MessageAssembler texts;
  ConnectionState state;
};

std::map<QTcpSocket*, std::shared_ptr<Receiver>>& peerReceivers() {
  static std::map<QTcpSocket*, std::shared_ptr<Receiver>> all;
  return all;
}

void sendText(QTcpSocket* socket, const std::string& text) {
  const std::string frames =
      modWireFrames::BuildFrames(text, true, true, modWireFrames::kMessageFrames, true);
  socket->write(frames.data(), static_cast<qint64>(frames.size()));
}

}  // namespace

ScriptedPeer::ScriptedPeer(const std::string& address, int port, int greeting)
    : greeting_(greeting), script_([](const std::string&) { return Answer{}; }) {
  connect(&server_, &QTcpServer::newConnection, this, &ScriptedPeer::onConnection);
  server_.listen(QHostAddress(QString::fromStdString(address)), static_cast<quint16>(port));
}

ScriptedPeer::~ScriptedPeer() {
  for (QTcpSocket* socket : server_.findChildren<QTcpSocket*>()) peerReceivers().erase(socket);
}

void ScriptedPeer::onConnection() {
  while (QTcpSocket* socket = server_.nextPendingConnection()) {
    ++connections_;
    peerReceivers()[socket] = std::make_shared<Receiver>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, [socket] {
      peerReceivers().erase(socket);
      socket->deleteLater();
    });
    if (greeting_ != 0) sendText(socket, reply(greeting_));
  }
}

void ScriptedPeer::onData(QTcpSocket* socket) {
  auto found = peerReceivers().find(socket);
  if (found == peerReceivers().end()) return;
  const std::shared_ptr<Receiver> receiver = found->second;
  const QByteArray data = socket->readAll();
  receiver->frames.Append(std::string(data.constData(), static_cast<std::size_t>(data.size())));
  std::string body;
  while (receiver->frames.Next(body) == modWireFrames::FrameReader::Result::kFrame) {
    if (!modWireFrames::ParseFrame(receiver->state, body)) return;
    std::string text;
    if (receiver->texts.Add(receiver->state, body, text) !=
        modWireFrames::MessageAssembler::Result::kComplete) {
      continue;
    }
    requests_.push_back(text);
    if (text == modWireFrames::kEndText) {
      socket->disconnectFromHost();
      return;
    }
    const Answer answer = script_(text);
    if (!answer.reply.empty()) sendText(socket, answer.reply);
    if (!answer.rawBytes.empty()) {
      socket->write(answer.rawBytes.data(), static_cast<qint64>(answer.rawBytes.size()));
    }
    if (answer.hangUp) {
      socket->disconnectFromHost();
      return;
    }
  }
}

std::vector<std::string> ScriptedPeer::requestCodes() const {
  std::vector<std::string> codes;
  for (const std::string& request : requests_) {
    codes.push_back(request == modWireFrames::kEndText ? "E" : attribute(request, "AT"));
  }
  return codes;
}

bool ScriptedPeer::waitFor(const std::function<bool()>& done, int timeoutMs) {
  return waitUntil(done, timeoutMs);
}

std::string ScriptedPeer::reply(int code, const std::string& content) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("R");
  root.append_attribute("SD") = "PEER";
  root.append_attribute("ST") = "";
  if (!content.empty()) root.append_attribute("CO") = content.c_str();
  root.append_attribute("V") = code;
  struct Writer : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override {
      text.append(static_cast<const char*>(data), size);
    }
  } writer;
  document.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
  return writer.text;
}

std::string ScriptedPeer::attribute(const std::string& xml, const char* name) {
  pugi::xml_document document;
  if (!document.load_string(xml.c_str())) return {};
  return document.document_element().attribute(name).value();
}
