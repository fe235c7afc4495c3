#include "BenchProcesses.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr int kReceiverStartMs = 20'000;
// A receiver may be asked to take on 300,000 stored messages, and folds
// them into its file when it ends.
constexpr int kAnswerMs = 180'000;
constexpr int kReceiverEndMs = 60'000;

// The variables that put a copy into `folder`, bound to `address`.
std::vector<std::pair<const char*, QString>> copyVariables(const QString& folder, const char* address) {
  QDir().mkpath(folder + "/home/Documents");
  return {{"TAVINOR_DATA_ROOT", folder + "/data"},
          {"TAVINOR_BIND_ADDRESS", QString::fromLatin1(address)},
          {"HOME", folder + "/home"},
          {"XDG_CONFIG_HOME", folder + "/home/.config"},
          {"TAVINOR_REGISTRY_FILE", folder + "/registry.json"}};
}

sockaddr_in socketAddress(const char* address, int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &at.sin_addr);
  return at;
}

int rawSocket(const char* address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(std::string("raw socket for ") + address);
  return fd;
}

}  // namespace

int64_t monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

bool runUntil(const std::function<bool()>& done, int limitMs) {
  const int64_t deadline = monotonicNs() + int64_t{limitMs} * 1'000'000;
  QTimer wake;  // bounds each wait for events
  wake.start(2);
  while (!done()) {
    if (monotonicNs() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void useCopyFolders(const QString& folder, const char* address) {
  for (const auto& [name, value] : copyVariables(folder, address)) qputenv(name, value.toUtf8());
}

std::string setUpCopy(const char* resourcePath, const std::string& name,
                      std::function<void(int32_t kind)> activity) {
  using namespace modLocalUserFunctions;
  modGlobalVariables::InitGlobalVariables();
  if (QFileInfo::exists(QString::fromUtf8(resourcePath))) {
    modGenFunctionsResource::loadResourceFileFrom(resourcePath);
  }
  // The main window keeps activities in its lists, in memory; without one
  // the core would log each activity it cannot show as an error.
  MessageCenterServices::Install({[activity = std::move(activity)](int32_t kind, const std::string&, int32_t,
                                                                  const std::string&, const std::string&) {
                                    activity(kind);
                                  },
                                  [] {}});
  std::string uid;
  {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    uid = accounts->CreateNewRow(true, kLocalUserUID);
    accounts->SetField(kLocalUserUN, name);
    accounts->SetField(kLocalUserPA, name);
    accounts->SetField(kLocalUserPW, "pw");
    accounts->SetField(kLocalUserFN, name);
    accounts->SetField(kLocalUserLN, "Bench");
    accounts->SetField(kLocalUserCS, 1);
    accounts->AddCurrentRow();
    accounts->SaveXMLDoc();
  }
  modGlobalVariables::CurrentLocalUserUID = uid;
  LoadLocalUserOptions(LocalUserOptions, true, "", "");
  LocalUserOptions.EnableIPFiltering = false;
  return uid;
}

void addUserRow(const std::string& uid, const std::string& name, const std::string& address) {
  PoolLoan users(modGlobalVariables::User);
  users->CreateNewRow(false, 0);
  users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Bench", name, address});
  users->AddCurrentRow();
  users->SaveXMLDoc();
}

void reportStored() {
  std::printf("S %lld\n", static_cast<long long>(monotonicNs()));
  std::fflush(stdout);
}

int serveQuestions(const std::string& uid, const std::function<long long(char letter)>& answer) {
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char chunk[256];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
      input.setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    pending.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.size() != 1) continue;
      std::printf("%c %lld\n", line[0], answer(line[0]));
      std::fflush(stdout);
    }
  });
  std::printf("R %s\n", uid.c_str());
  std::fflush(stdout);
  return QCoreApplication::exec();
}

void ReceiverProcess::start(const QString& base, const char* address, const QStringList& arguments,
                            const QString& name) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [variable, value] : copyVariables(base + "/" + name, address)) {
    environment.insert(variable, value);
  }
  process_.setProcessEnvironment(environment);
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { read(); });
  process_.start(QCoreApplication::applicationFilePath(), QStringList{"--receiver"} + arguments);
  if (!runUntil([this] { return !uid_.empty() || process_.state() == QProcess::NotRunning; },
                kReceiverStartMs) ||
      uid_.empty()) {
    fail("the receiver did not start");
  }
}

long long ReceiverProcess::ask(char letter) {
  answers_.erase(letter);
  process_.write(QByteArray(1, letter) + "\n");
  if (!runUntil([&] { return answers_.count(letter) > 0; }, kAnswerMs)) {
    fail(std::string("no answer to ") + letter + " from the receiver");
  }
  return answers_[letter];
}

void ReceiverProcess::finish() {
  process_.closeWriteChannel();
  if (!process_.waitForFinished(kReceiverEndMs)) process_.kill();
}

void ReceiverProcess::read() {
  out_ += process_.readAllStandardOutput();
  for (qsizetype end; (end = out_.indexOf('\n')) >= 0;) {
    const QByteArray line = out_.left(end);
    out_.remove(0, end + 1);
    if (line.size() < 2 || line[1] != ' ') continue;
    if (line[0] == 'S') stored_.push_back(line.mid(2).toLongLong());
    else if (line[0] == 'R') uid_ = line.mid(2).toStdString();
    else answers_[line[0]] = line.mid(2).toLongLong();
  }
}

int rawConnection(const char* to, int port, const char* from, bool noDelay) {
  const int fd = rawSocket(to);
  const int one = 1;
  if (noDelay) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (from != nullptr) {
    const sockaddr_in own = socketAddress(from, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
  }
  const sockaddr_in server = socketAddress(to, port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    fail(std::string("raw connection to ") + to);
  }
  return fd;
}

int rawListener(const char* address, int port) {
  const int fd = rawSocket(address);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in at = socketAddress(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 4) != 0) {
    fail(std::string("raw listener on ") + address);
  }
  return fd;
}

void sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) fail("raw send");
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
}

void receiveAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, data, size, 0);
    if (got <= 0) fail("raw receive");
    data += got;
    size -= static_cast<std::size_t>(got);
  }
}
