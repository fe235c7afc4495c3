// Pings go to 127.0.0.1 or to addresses inside namespaces the tests create;
// name look-ups that could reach a name server run inside such a namespace,
// where no packet can leave the machine.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <QRegularExpression>
#include <set>
#include <thread>

#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "TestNetns.h"
#include "clsGenAPI.h"

TEST(clsGenAPI, PingOfLoopbackIsAnswered) {
  clsGenAPI api;
  EXPECT_EQ(api.Ping("127.0.0.1", "", 500), kPingAnswered);
}

TEST(clsGenAPI, PingOfATextThatIsNoDottedAddressSendsNothing) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  const auto counts = ns.run([] {
    clsGenAPI api;
    std::vector<int> statuses;
    const long before = icmpEchoRequestsSent();
    for (const char* text : {"999.1.1.1", "", "127.0.0", "127.0.0.01", "127.0.0.1 ", "host"}) {
      statuses.push_back(api.Ping(text, "", 500));
    }
    const long afterBad = icmpEchoRequestsSent();
    statuses.push_back(api.Ping("127.0.0.1", "", 500));
    return std::tuple(statuses, before, afterBad, icmpEchoRequestsSent());
  });
  ASSERT_TRUE(counts);
  const auto& [statuses, before, afterBad, afterGood] = *counts;
  ASSERT_GE(before, 0) << "the kernel's ICMP counters are not readable";
  EXPECT_EQ(statuses, (std::vector<int>{-1, -1, -1, -1, -1, -1, 0}));
  EXPECT_EQ(afterBad, before);
  EXPECT_EQ(afterGood, before + 1);
}

TEST(clsGenAPI, PingOfAnAddressThatNeverAnswersTimesOut) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(ns.sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
  const auto status = ns.run([] { return clsGenAPI().Ping("127.0.0.1", "", 500); });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 11010);
  EXPECT_EQ(clsGenAPI::GetPingStatusText(*status), "11010   [ ip req timed out ]");
}

// Without any ICMP socket the status stays 0, as the callers have always
// been told; the peer here would not have answered.
TEST(clsGenAPI, PingWithoutAnyIcmpSocketLeavesStatusZero) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(ns.sysctl("net.ipv4.ping_group_range", "1 0"));
  ASSERT_TRUE(ns.sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
  const auto status = ns.run([] {
    if (!dropRawSocketCapabilityOfThisThread()) return std::optional<int>();
    return std::optional<int>(clsGenAPI().Ping("127.0.0.1", "", 500));
  });
  ASSERT_TRUE(status);
  if (!*status) GTEST_SKIP() << "cannot drop CAP_NET_RAW";
  EXPECT_EQ(**status, 0);
}

TEST(clsGenAPI, PingStatusTexts) {
  const std::pair<int, const char*> table[] = {
      {-1, "inet_addr: bad IP format"}, {0, "ip success"},
      {500, "ping timeout"},            {11001, "ip buf too_small"},
      {11002, "ip dest net unreachable"}, {11003, "ip dest host unreachable"},
      {11004, "ip dest prot unreachable"}, {11005, "ip dest port unreachable"},
      {11006, "ip no resources"},       {11007, "ip bad option"},
      {11008, "ip hw_error"},           {11009, "ip packet too_big"},
      {11010, "ip req timed out"},      {11011, "ip bad req"},
      {11012, "ip bad route"},          {11013, "ip ttl expired transit"},
      {11014, "ip ttl expired reassem"}, {11015, "ip param_problem"},
      {11016, "ip source quench"},      {11017, "ip option too_big"},
      {11018, "ip bad destination"},    {11019, "ip addr deleted"},
      {11020, "ip spec mtu change"},    {11021, "ip mtu_change"},
      {11022, "ip unload"},             {11023, "ip addr added"},
      {11050, "ip general failure"},    {11255, "ip pending"},
  };
  for (const auto& [status, text] : table) {
    EXPECT_EQ(clsGenAPI::GetPingStatusText(status),
              std::to_string(status) + "   [ " + text + " ]");
  }
  EXPECT_EQ(clsGenAPI::GetPingStatusText(42), "42   [ unknown  msg returned ]");
  EXPECT_EQ(clsGenAPI::GetPingStatusText(11024), "11024   [ unknown  msg returned ]");
}

TEST(clsGenAPI, GuidsAreUpperCaseGroupsOf8_4_4_4_12AndUnique) {
  clsGenAPI api;
  // Field order shows in the layout: a random GUID carries version 4 at the
  // start of the third group and its variant at the start of the fourth.
  const QRegularExpression layout(
      "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  bool sawPaddedByte = false;
  for (int i = 0; i < 5000; ++i) {
    const std::string id = api.CreateGUID();
    ASSERT_EQ(id.size(), 36u) << id;
    ASSERT_TRUE(layout.match(QString::fromStdString(id)).hasMatch()) << id;
    sawPaddedByte = sawPaddedByte || id.substr(24, 2).front() == '0';
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 5000u);
  EXPECT_TRUE(sawPaddedByte);
}

TEST(clsGenAPI, LocalAddressIsTheBindAddressWhenSet) {
  ScopedEnv bind("TAVINOR_BIND_ADDRESS", "127.0.0.2");
  RecordingMessageBox boxes;
  EXPECT_EQ(clsGenAPI().GetLocalIPAddress(), "127.0.0.2");
  EXPECT_TRUE(boxes.shown().empty());
}

TEST(clsGenAPI, LocalAddressIsTheFirstNonLoopbackInterfaceAddress) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(ns.ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.ip({"addr", "add", "10.77.0.1/24", "dev", "va"}));
  ASSERT_TRUE(ns.ip({"addr", "add", "10.77.0.9/24", "dev", "va"}));
  ASSERT_TRUE(ns.ip({"link", "set", "va", "up"}));
  ScopedEnv bind("TAVINOR_BIND_ADDRESS", "not an address");
  const auto address = ns.run([] { return clsGenAPI().GetLocalIPAddress(); });
  ASSERT_TRUE(address);
  EXPECT_EQ(*address, "10.77.0.1");
}

// With only loopback and an interface that is down, the host name decides.
TEST(clsGenAPI, LocalAddressFallsBackToTheHostName) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(ns.ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.ip({"addr", "add", "10.77.0.1/24", "dev", "va"}));
  ScopedEnv bind("TAVINOR_BIND_ADDRESS", nullptr);
  RecordingMessageBox boxes;
  const auto addresses = ns.run([] {
    clsGenAPI api;
    return std::pair(api.GetLocalIPAddress(), api.GetIPFromHostName(""));
  });
  ASSERT_TRUE(addresses);
  EXPECT_NE(addresses->first, "10.77.0.1");
  EXPECT_EQ(addresses->first, addresses->second);
}

TEST(clsGenAPI, NamesResolveToTheirFirstAddress) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  RecordingMessageBox boxes;
  const auto found = ns.run([] {
    clsGenAPI api;
    return std::pair(api.GetIPFromHostName("localhost"), api.GetIPFromHostName(" 127.0.0.9 "));
  });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first, "127.0.0.1");
  EXPECT_EQ(found->second, "127.0.0.9");
  EXPECT_TRUE(boxes.shown().empty());
}

TEST(clsGenAPI, AnUnknownNameGivesEmptyTextAndAMessage) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  RecordingMessageBox boxes;
  const auto found = ns.run([] { return clsGenAPI().GetIPFromHostName("no-such-host.invalid"); });
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, "");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text,
            "Windows Sockets are not responding. Unable to successfully get Host Name.");
  EXPECT_EQ(boxes.shown()[0].flags, 0);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
}

TEST(clsGenAPI, HostAndComputerNames) {
  const auto names = [] {
    std::optional<std::pair<std::string, std::string>> result;
    std::thread worker([&] {
      const std::string name = "tavinor-workstation-7.office.example";
      if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(name.data(), name.size()) != 0) return;
      clsGenAPI api;
      result.emplace(api.GetLocalHostName(), api.GetComputerName());
    });
    worker.join();
    return result;
  }();
  if (!names) GTEST_SKIP() << "cannot set a host name in a UTS namespace";
  EXPECT_EQ(names->first, "tavinor-workstation-7.office.example");
  EXPECT_EQ(names->second, "TAVINOR-WORKSTA");
}

TEST(clsGenAPI, SocketsAreUsableAndBytesSplit) {
  RecordingMessageBox boxes;
  clsGenAPI api;
  EXPECT_TRUE(api.SocketsInitialize());
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_EQ(clsGenAPI::LoByte(0x0201), 0x01);
  EXPECT_EQ(clsGenAPI::HiByte(0x0201), 0x02);
}
