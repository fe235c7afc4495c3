#pragma once
// ScriptedPeer: another copy (or the primary server) played by a test. It
// listens on an address and port of the test's choosing, greets every
// connection as told, joins the framed texts it receives, records them and
// answers each with whatever the test's script returns.
//
// The script sees each complete request text and returns an Answer: a reply
// text to frame and send, raw bytes to send as they are, nothing, or a
// hang-up. The end text "<!E!>" is recorded like any request and answered
// by closing. Everything runs on the test's event loop.
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QTcpSocket;

class ScriptedPeer : public QObject {
  Q_OBJECT

 public:
  struct Answer {
    std::string reply;       // framed and enciphered when not empty
    std::string rawBytes;    // sent as they are
    bool hangUp = false;     // close the connection after sending
  };
  using Script = std::function<Answer(const std::string& request)>;

  // Listens on address:port; greeting is the reply code sent on connect
  // (0: none).
  ScriptedPeer(const std::string& address, int port, int greeting = 100);
  ~ScriptedPeer() override;

  bool listening() const { return server_.isListening(); }
  void setScript(Script script) { script_ = std::move(script); }
  void setGreeting(int code) { greeting_ = code; }

  // Every complete text received, in order, over all connections.
  const std::vector<std::string>& requests() const { return requests_; }
  // The request codes ("AT") of the requests, "E" for the end text.
  std::vector<std::string> requestCodes() const;
  int connections() const { return connections_; }
  // Processes events until `done` holds or `timeoutMs` passes.
  static bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000);

  // A reply record with the code and optional content.
  static std::string reply(int code, const std::string& content = {});
  // The value of `attribute` of the root element of `xml`, "" when absent.
  static std::string attribute(const std::string& xml, const char* attribute);

 private:
  void onConnection();
  void onData(QTcpSocket* socket);

  QTcpServer server_;
  int greeting_;
  Script script_;
  std::vector<std::string> requests_;
  int connections_ = 0;
};
