#pragma once
// FramedClient: a peer's end of one connection to a listening copy, played
// by a test: it connects (from a chosen local address when given), joins the
// framed texts that arrive and keeps them, and sends texts as a requester
// does (enciphered message frames) or raw bytes. Everything runs on the
// test's event loop; a test that waits lets it in (ScriptedPeer::waitFor).
#include <QTcpSocket>
#include <string>
#include <vector>

#include "ConnectionState.h"
#include "modWireFrames.h"

class FramedClient {
 public:
  // Connects to host:port, from the local address `from` unless it is "".
  FramedClient(const char* host, int port, const char* from = "");
  FramedClient(const FramedClient&) = delete;
  FramedClient& operator=(const FramedClient&) = delete;

  void send(const std::string& text);
  void sendRaw(const std::string& bytes);
  // Hands what was sent to the system now, without waiting for events.
  void flush() { socket_.flush(); }
  // Sends a request record and returns the V of the next text that arrives
  // ("" when none comes or the connection ends).
  std::string ask(const std::string& code, const std::string& sender, const std::string& recipient,
                  const std::string& V);
  // The next text not yet taken by ask or next ("" when none comes).
  std::string next();
  void close() { socket_.abort(); }

  bool closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
  // The port this end connected from.
  int localPort() const { return socket_.localPort(); }
  bool greeted() const { return !texts_.empty(); }
  bool waitForTexts(std::size_t count);
  bool waitForClose();
  const std::vector<std::string>& texts() const { return texts_; }
  // Bytes that arrived and were not read yet, those still in the system's
  // buffer included: what the other side has sent so far.
  qint64 unread() const;
  int frames() const { return frames_; }

 private:
  void onData();

  QTcpSocket socket_;
  modWireFrames::FrameReader reader_;
  modWireFrames::MessageAssembler assembler_;
  ConnectionState state_;
  std::vector<std::string> texts_;
  std::size_t taken_ = 0;
  int frames_ = 0;
};
