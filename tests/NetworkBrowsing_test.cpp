// Network browsing: the search's addresses from announced host names, and
// copies that find each other through multicast DNS, each in a network
// namespace with its own system bus and avahi-daemon, joined by a bridge.
// A copy is this program started again with kCopyFolder set; it then runs
// only NetworkBrowsingCopy.PlaysOneCopy.
#include <signal.h>
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

#include "RecordingMessageBox.h"
#include "ServiceDiscovery.h"
#include "SocketControl.h"
#include "TestNetns.h"
#include "modAPINetworking.h"

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

}  // namespace
