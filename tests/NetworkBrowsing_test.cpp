// Network browsing: the search's addresses from announced host names;
// copies that find each other through multicast DNS, each in a network
// namespace with its own system bus and avahi-daemon, joined by a bridge;
// and a system bus that accepts and never answers, which must hold up
// neither the announcement, nor a search, nor the search window, nor the
// program's end on SIGTERM. A copy is this program started again with
// kCopyFolder set; it then runs only NetworkBrowsingCopy.PlaysOneCopy.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>

#include <QDir>
#include <QThread>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <cstring>
#include <thread>

#include "ChildProcess.h"
#include "MessageCenterServices.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ServiceDiscovery.h"
#include "SocketControl.h"
#include "TestDisplay.h"
#include "TestNetns.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "frmUserSelection.h"
#include "modAPINetworking.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

using modAPINetworking::NetworkComputers;
using modAPINetworking::TextCollection;

namespace {

constexpr const char* kCopyFolder = "TAVINOR_BROWSING_COPY";
constexpr const char* kCopySays = "browsing copy: ";

// In a namespace of its own, so that names that do not resolve ask no name
// server outside it. A computer announced with its address is not resolved
// again.
TEST(NetworkBrowsing, AnnouncedComputersBecomeTheSearchAddresses) {
  using Computers = std::vector<platform::AnnouncedComputer>;
  Computers crowd;
  for (int i = 0; i < 300; ++i) {
    crowd.push_back({"10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)});
  }
  TextCollection crowdFound;
  for (std::size_t i = 0; i + 1 < modAPINetworking::kMaxComputers; ++i) crowdFound.push_back(crowd[i].hostName);
  crowdFound.push_back("10.0.0.9");
  const auto later = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  const auto now = std::chrono::steady_clock::now();
  const struct {
    Computers computers;
    TextCollection expected;
    std::chrono::steady_clock::time_point deadline;
    bool stopped;
  } cases[] = {
      {{}, {"10.0.0.9"}, later, false},
      {{{"192.168.0.1"}, {"10.0.0.5"}, {"10.0.0.5"}},
       {"192.168.0.1", "10.0.0.5", "10.0.0.5", "10.0.0.9"},
       later,
       false},
      {{{"10.0.0.9"}, {"10.0.0.5"}}, {"10.0.0.9", "10.0.0.5"}, later, false},
      {{{"localhost"}, {"127.0.1.1"}, {"nowhere.invalid"}, {"printer.local"}, {"10.0.0.5"}},
       {"10.0.0.5", "10.0.0.9"},
       later,
       false},
      {{{"a.local", "10.0.0.7"}, {"b.local", "127.0.0.5"}, {"c.local", "bad"}, {"10.0.0.5"}},
       {"10.0.0.7", "10.0.0.5", "10.0.0.9"},
       later,
       false},
      {crowd, crowdFound, later, false},
      {{{"10.0.0.5"}, {"a.local", "10.0.0.7"}}, {"10.0.0.7", "10.0.0.9"}, now, false},
      {{{"a.local", "10.0.0.7"}, {"10.0.0.5"}}, {"10.0.0.9"}, later, true},
  };
  TestNetns ns("tvrbrw");
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  for (const auto& c : cases) {
    const std::atomic<bool> stop{c.stopped};
    const auto found = ns.run(
        [&] { return modAPINetworking::ComputerAddresses(c.computers, "10.0.0.9", c.deadline, stop); });
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, c.expected);
  }
}

// Announces itself, waits for the file "go" in its folder, searches and
// prints what it found.
TEST(NetworkBrowsingCopy, PlaysOneCopy) {
  const QString folder = qEnvironmentVariable(kCopyFolder);
  if (folder.isEmpty()) GTEST_SKIP() << "runs only as a copy that CopiesFindEachOther starts";
  RecordingMessageBox boxes;
  platform::ServiceAnnouncement announcement(platform::socketBindAddress(), 27155);
  ASSERT_TRUE(QTest::qWaitFor([&] { return announcement.published(); }, 20000));
  std::cout << kCopySays << "announced" << std::endl;
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(folder + "/go"); }, 30000));
  std::optional<NetworkComputers> found;
  const auto enumeration = modAPINetworking::EnumNetworkComputers(
      "", [&](const NetworkComputers& computers) { found = computers; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return found.has_value(); }, 15000));
  std::cout << kCopySays << "found " << found->browsed;
  for (const std::string& address : found->addresses) std::cout << " " << address;
  std::cout << std::endl;
}

// A fresh /run (sockets of its own for the bus and the daemon) and a
// name-service list that resolves ".local" names through the daemon; then
// the bus, the daemon and the copy. SIGTERM ends all three.
constexpr const char* kHostScript = R"(
trap 'kill -9 $copy $avahi $bus 2>/dev/null; wait; exit 1' TERM
mount -t tmpfs tmpfs /run && mkdir /run/dbus /run/avahi-daemon || exit 2
mount --bind "$1/nsswitch.conf" /etc/nsswitch.conf || exit 2
dbus-daemon --system --nofork --nopidfile & bus=$!
tries=0
until [ -S /run/dbus/system_bus_socket ]; do
  tries=$((tries + 1)); [ $tries -gt 100 ] && exit 3; sleep 0.05
done
avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits & avahi=$!
"$2" --gtest_filter=NetworkBrowsingCopy.PlaysOneCopy & copy=$!
wait $copy; status=$?
kill $avahi $bus; wait
exit $status
)";

bool writeFile(const QString& path, const std::string& text) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(text.c_str()) == qint64(text.size());
}

// One computer joined to the hub's bridge, with its daemons and its copy.
// A copy bound to an address has it on a second interface, which the daemon
// leaves out of its own announcements. Destroying a host ends every process
// in its namespace before the namespace goes.
class BrowsingHost {
 public:
  BrowsingHost(const TestNetns& hub, int number, const std::string& bindAddress, bool workstation)
      : address_(bindAddress.empty() ? "10.121.0." + std::to_string(number) : bindAddress) {
    const QString port = QString("p%1").arg(number);
    ok_ = ns_.ok() && folder_.isValid() &&
          ns_.ip({"link", "add", "eth0", "type", "veth", "peer", "name", port, "netns",
                  QString::fromStdString(hub.name())}) &&
          ns_.ip({"addr", "add", QString("10.121.0.%1/24").arg(number), "dev", "eth0"}) &&
          ns_.ip({"link", "set", "eth0", "up"}) &&
          hub.ip({"link", "set", port, "master", "br0", "up"}) &&
          (bindAddress.empty() ||
           (ns_.ip({"link", "add", "eth1", "type", "veth", "peer", "name", "eth1peer"}) &&
            ns_.ip({"addr", "add", QString::fromStdString(bindAddress) + "/32", "dev", "eth1"}) &&
            ns_.ip({"link", "set", "eth1", "up"}))) &&
          writeFile(folder_.path() + "/nsswitch.conf",
                    "passwd: files\ngroup: files\nhosts: files mdns4_minimal [NOTFOUND=return]\n") &&
          writeFile(folder_.path() + "/avahi-daemon.conf",
                    "[server]\nhost-name=tvrbrw-" + std::to_string(number) +
                        "\nuse-ipv6=no\nallow-interfaces=eth0\n[wide-area]\nenable-wide-area=no\n"
                        "[publish]\npublish-workstation=" + (workstation ? "yes\n" : "no\n"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kCopyFolder, folder_.path());
    environment.insert("TAVINOR_BIND_ADDRESS", QString::fromStdString(bindAddress));
    environment.remove("DBUS_SYSTEM_BUS_ADDRESS");
    copy_.setProcessEnvironment(environment);
  }
  ~BrowsingHost() {
    if (copy_.state() != QProcess::NotRunning) {
      ::kill(pid_t(copy_.processId()), SIGTERM);
      if (!copy_.waitForFinished(3000)) copy_.kill();
    }
    QProcess left;  // whatever the script could not end
    left.start("ip", {"netns", "pids", QString::fromStdString(ns_.name())});
    left.waitForFinished(5000);
    for (const QByteArray& pid : left.readAllStandardOutput().split('\n')) {
      if (pid.toInt() > 0) ::kill(pid.toInt(), SIGKILL);
    }
  }

  bool ok() const { return ok_; }
  const std::string& address() const { return address_; }
  void start() {
    copy_.start("ip", {"netns", "exec", QString::fromStdString(ns_.name()), "unshare", "--mount",
                       "--propagation", "private", "sh", "-c", kHostScript, "host", folder_.path(),
                       QCoreApplication::applicationFilePath()});
  }
  void go() { writeFile(folder_.path() + "/go", ""); }

  // The rest of the copy's line that starts with `word`; nothing when the
  // copy ended or `timeoutMs` passed first.
  std::optional<std::string> waitForLine(const std::string& word, int timeoutMs) {
    const std::string prefix = kCopySays + word;
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
      output_ += copy_.readAllStandardOutput().toStdString();
      const std::size_t at = output_.find(prefix);
      const std::size_t end = at == std::string::npos ? at : output_.find('\n', at);
      if (end != std::string::npos) return output_.substr(at + prefix.size(), end - at - prefix.size());
      if (copy_.state() == QProcess::NotRunning || deadline.hasExpired()) return std::nullopt;
      copy_.waitForReadyRead(100);
    }
  }
  std::string transcript() {
    return output_ + copy_.readAll().toStdString() +
           copy_.readAllStandardError().right(3000).toStdString();
  }

 private:
  TestNetns ns_{"tvrbrw"};
  QTemporaryDir folder_;
  std::string address_;
  bool ok_ = false;
  QProcess copy_;
  std::string output_;
};

// One copy bound to its computer's second address (announced under a host
// name of its own), two on their computer's address, one of whose daemons
// also announces a workstation: every search lists exactly the three
// copies' addresses, each once.
TEST(NetworkBrowsing, CopiesFindEachOther) {
  for (const char* tool : {"avahi-daemon", "dbus-daemon", "unshare"}) {
    if (QStandardPaths::findExecutable(tool).isEmpty() &&
        QStandardPaths::findExecutable(tool, {"/usr/sbin"}).isEmpty()) {
      GTEST_SKIP() << tool << " is not installed";
    }
  }
  TestNetns hub("tvrbrw");
  if (!hub.ok()) GTEST_SKIP() << hub.skipReason();
  ASSERT_TRUE(hub.ip({"link", "add", "br0", "type", "bridge"}) && hub.ip({"link", "set", "br0", "up"}));
  std::vector<std::unique_ptr<BrowsingHost>> hosts;
  hosts.push_back(std::make_unique<BrowsingHost>(hub, 1, "10.121.0.11", false));
  hosts.push_back(std::make_unique<BrowsingHost>(hub, 2, "", false));
  hosts.push_back(std::make_unique<BrowsingHost>(hub, 3, "", true));
  std::set<std::string> everyAddress;
  for (const auto& host : hosts) {
    ASSERT_TRUE(host->ok()) << "cannot set up the test network";
    everyAddress.insert(host->address());
    host->start();
  }
  for (const auto& host : hosts) {
    ASSERT_TRUE(host->waitForLine("announced", 30000)) << host->address() << ":\n" << host->transcript();
  }
  for (const auto& host : hosts) host->go();
  for (const auto& host : hosts) {
    const auto found = host->waitForLine("found ", 12000);
    ASSERT_TRUE(found) << host->address() << ":\n" << host->transcript();
    std::istringstream words(*found);
    int browsed = 0;
    std::vector<std::string> addresses;
    words >> browsed;
    for (std::string address; words >> address;) addresses.push_back(address);
    EXPECT_EQ(browsed, 1);
    EXPECT_EQ(std::set<std::string>(addresses.begin(), addresses.end()), everyAddress)
        << host->address() << ": " << *found;
    EXPECT_EQ(addresses.size(), everyAddress.size()) << host->address() << ": " << *found;
  }
}

// ---- A wedged system bus -------------------------------------------------

// How long a silent bus holds its connections before it lets them go by
// itself, so that whatever waited on it goes on and the test can tell that
// it waited: far beyond every bound below.
constexpr int kSilenceMs = 20000;
constexpr int kFirstDisplay = 191;
constexpr int kLastDisplay = 220;
constexpr int kStartMs = 15000;

// A system bus that accepts every connection and never says a word: a test
// thread accepts on a socket of its own and holds the connections until
// kSilenceMs have passed or the bus is destroyed; then it closes them and
// counts as released.
class SilentBus {
 public:
  SilentBus() {
    path_ = folder_.path().toStdString() + "/system_bus_socket";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!folder_.isValid() || listener_ < 0 || path_.size() >= sizeof address.sun_path) return;
    std::strcpy(address.sun_path, path_.c_str());
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0) {
      return;
    }
    server_ = std::thread([this] { serve(); });
  }
  ~SilentBus() {
    stop_ = true;
    if (server_.joinable()) server_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  SilentBus(const SilentBus&) = delete;
  SilentBus& operator=(const SilentBus&) = delete;

  bool ok() const { return server_.joinable(); }
  std::string address() const { return "unix:path=" + path_; }
  int accepted() const { return accepted_; }
  bool released() const { return released_; }

 private:
  void serve() {
    std::vector<int> held;
    const QDeadlineTimer silence(kSilenceMs);
    while (!stop_ && !silence.hasExpired()) {
      pollfd listening{listener_, POLLIN, 0};
      if (::poll(&listening, 1, 20) <= 0) continue;
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      held.push_back(connection);
      ++accepted_;
    }
    ::shutdown(listener_, SHUT_RDWR);
    for (const int connection : held) ::close(connection);
    released_ = true;
  }

  QTemporaryDir folder_;
  std::string path_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<bool> released_{false};
  std::thread server_;
};

// The bus address is read once per process, so one test holds every case
// that this process plays against the silent bus: the announcement starts
// and stops, a search answers that no browsing service runs within its
// deadline, and the search window closes in the middle of browsing, each
// while the bus still holds every connection it was asked for.
TEST(NetworkBrowsing, ASilentSystemBusHoldsNothingUp) {
  SilentBus bus;
  ASSERT_TRUE(bus.ok());
  const ScopedEnv busAddress("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str());
  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;

  {
    const platform::ServiceAnnouncement announcement("10.0.0.5", 27155);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bus.accepted() > 0; }, 5000))
        << "the announcement never reached the bus";
    EXPECT_FALSE(announcement.published());
  }
  EXPECT_FALSE(bus.released()) << "starting or stopping the announcement waited on the bus";

  std::optional<NetworkComputers> found;
  const auto enumeration = modAPINetworking::EnumNetworkComputers(
      "", [&](const NetworkComputers& computers) { found = computers; });
  const auto answerBound = modAPINetworking::kEnumerationTime + std::chrono::seconds(3);
  ASSERT_TRUE(QTest::qWaitFor([&] { return found.has_value(); },
                              int(std::chrono::milliseconds(answerBound).count())))
      << "the search gave no answer within its deadline";
  EXPECT_FALSE(found->browsed);
  EXPECT_FALSE(bus.released()) << "the search waited on the bus";

  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
  modGlobalVariables::CurrentLocalUserUID = ann;
  modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
  MessageCenterServices::Install({[](int32_t, const std::string&, int32_t, const std::string&,
                                     const std::string&) {},
                                  [] {}});
  {
    frmUserSelection window;
    window.show();
    window.findChild<QLineEdit*>("txtAddress")->clear();
    window.findChild<QPushButton*>("cmdSearch")->click();
    EXPECT_EQ(window.findChild<QLabel*>("lblStatus")->text().toStdString(),
              "Looking for the computers of the network...");
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(bus.released()) << "closing the search window waited on the bus";
  }
  ReleaseActionManager();
  MessageCenterServices::Install({});
  UsersAndOptionsServices::Install({});
}

// The program itself, logged in on an X display and in a network namespace
// of its own (it listens on every address there and announces this host),
// with the user search browsing: SIGTERM ends it within 2 s.
TEST(NetworkBrowsing, SigtermEndsTheProgramWhileTheSystemBusIsSilent) {
  const QString missing = TestDisplay::missingProgram({"Xvfb", "xdotool"});
  if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString() << " is not installed";
  TestNetns ns("tvrbus");
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  SilentBus bus;
  ASSERT_TRUE(bus.ok());
  TestDisplay display;
  ASSERT_TRUE(display.start(kFirstDisplay, kLastDisplay));
  QTemporaryDir root;
  {
    const ScopedEnv dataRoot("TAVINOR_DATA_ROOT", (root.path() + "/data").toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    ProgramTestEnvironment::addAccount("ANN", "pw-ANN", "Ann", "Lee");
    modGlobalVariables::InitGlobalVariables();
  }
  QProcessEnvironment environment = copyEnvironment(root.path(), "", display.name());
  environment.insert("DBUS_SYSTEM_BUS_ADDRESS", QString::fromStdString(bus.address()));
  struct Copy {
    ChildProcess program;
    ~Copy() { program.kill(); }
  } copy;
  copy.program.start("ip", {"netns", "exec", QString::fromStdString(ns.name()),
                            builtProgram("app/tavinor")},
                     environment);
  const auto xdotool = [&](const QStringList& arguments) {
    return display.run("xdotool", arguments, kStartMs).out;
  };
  const auto window = [&](const char* title) {
    QString found;
    waitUntil(
        [&] {
          found = xdotool({"search", "--all", "--onlyvisible", "--pid",
                           QString::number(copy.program.process.processId()), "--name", title})
                      .section('\n', 0, 0);
          return !found.isEmpty() || copy.program.process.state() == QProcess::NotRunning;
        },
        kStartMs, 50);
    if (!found.isEmpty()) xdotool({"windowfocus", "--sync", found});
    return found;
  };

  ASSERT_FALSE(window("^Tavinor - Login$").isEmpty()) << copy.program.errors();
  xdotool({"type", "--delay", "20", "ANN"});
  xdotool({"key", "Tab"});
  xdotool({"type", "--delay", "20", "pw-ANN"});
  xdotool({"key", "Return"});
  ASSERT_TRUE(copy.program.waitFor("ANN is logged in", kStartMs))
      << copy.program.out << copy.program.errors();
  ASSERT_FALSE(window("^Tavinor - Message center$").isEmpty());
  ASSERT_TRUE(waitUntil([&] { return bus.accepted() > 0; }, kStartMs))
      << "the announcement never reached the bus";
  xdotool({"key", "alt+u"});
  QThread::msleep(300);
  xdotool({"key", "f"});
  ASSERT_FALSE(window("^Tavinor - User search$").isEmpty());
  // The search's worker threads show that it has started.
  const QDir threads(QString("/proc/%1/task").arg(copy.program.process.processId()));
  const qsizetype before = threads.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
  xdotool({"key", "Return"});
  ASSERT_TRUE(waitUntil(
      [&] { return threads.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() > before; },
      kStartMs))
      << "the search did not start";

  ::kill(pid_t(copy.program.process.processId()), SIGTERM);
  EXPECT_TRUE(copy.program.process.waitForFinished(2000))
      << "still running 2 s after SIGTERM: " << copy.program.errors();
  EXPECT_EQ(copy.program.process.exitCode(), 0) << copy.program.errors();
  EXPECT_FALSE(bus.released());
}

}  // namespace
