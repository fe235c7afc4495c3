#pragma once
// BenchProcesses: the two-process frame of the benchmarks that measure one
// copy sending to another over loopback (messages_bench, files_bench). The
// sending process is the benchmark program; the receiving one is the same
// program started again with --receiver. Each copy has its own folders
// below one temporary folder (<base>/sender, <base>/receiver), its own
// address and a logged-in account; both share CLOCK_MONOTONIC, so the
// receiver's "stored" times are read against the sender's start times.
//
// The receiver's standard output, one line each: "R <own UID>" once it
// listens, "S <ns>" per thing stored, "<letter> <number>" answering a
// question line "<letter>" on its standard input. It ends when its input
// ends. Any failure ends the benchmark at once with a message (fail).
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

int64_t monotonicNs();

// Writes "<program>: <what>" to standard error and exits 1.
[[noreturn]] void fail(const std::string& what);

// Runs events until `done` holds or `limitMs` pass; false at the limit.
bool runUntil(const std::function<bool()>& done, int limitMs);

// Makes the folders of the copy `folder` (<base>/sender or /receiver) and
// points this process's data folder, home, configuration and registry there,
// bound to `address`.
void useCopyFolders(const QString& folder, const char* address);

// Initialises the globals, loads the resource file at `path` (when there is
// one), installs `activity` as the main window's activity list, and logs in
// a new account `name` of this data folder without address filtering; its
// UID.
std::string setUpCopy(const char* resourcePath, const std::string& name,
                      std::function<void(int32_t kind)> activity);

// A row of the logged-in account's users directory.
void addUserRow(const std::string& uid, const std::string& name, const std::string& address);

// ---- the receiving process ---------------------------------------------

// Prints "S <now>".
void reportStored();

// Prints "R <uid>", then answers each question line of standard input with
// "<letter> <answer(letter)>"; runs events until the input ends.
int serveQuestions(const std::string& uid, const std::function<long long(char letter)>& answer);

// ---- the sending process -----------------------------------------------

class ReceiverProcess {
 public:
  // Starts this program with --receiver and `arguments` in the folders of
  // <base>/<name> at `address`; waits for its "R" line.
  void start(const QString& base, const char* address, const QStringList& arguments,
             const QString& name = "receiver");
  const std::string& uid() const { return uid_; }
  // The "S" times in arrival order.
  const std::vector<int64_t>& stored() const { return stored_; }
  // Asks the question `letter` and waits for the answer.
  long long ask(char letter);
  // Ends its input and waits for its end.
  void finish();

 private:
  void read();

  QProcess process_;
  QByteArray out_;
  std::string uid_;
  std::vector<int64_t> stored_;
  std::map<char, long long> answers_;
};

// ---- the reference ------------------------------------------------------

// A blocking TCP connection to `to`:`port`, from the address `from` when
// given, with Nagle's delay off when `noDelay`.
int rawConnection(const char* to, int port, const char* from, bool noDelay);
// A blocking TCP listener on `address`:`port`.
int rawListener(const char* address, int port);
void sendAll(int fd, const char* data, std::size_t size);
void receiveAll(int fd, char* data, std::size_t size);
