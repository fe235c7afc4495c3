// Echoes go only to addresses inside namespaces the tests create: the
// namespace's own loopback, or a second namespace joined by a veth pair.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "IcmpEcho.h"
#include "TestNetns.h"

using platform::IcmpEcho;

namespace {

std::uint32_t addressOf(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

// Lets every group (root included) open ICMP datagram sockets, or nobody.
bool allowDatagramEcho(const TestNetns& ns, bool allow) {
  return ns.sysctl("net.ipv4.ping_group_range", allow ? "0 2147483647" : "1 0");
}

struct KindCase {
  bool datagramAllowed;
  IcmpEcho::Kind expected;
};

const KindCase kKinds[] = {{true, IcmpEcho::Kind::kDatagram}, {false, IcmpEcho::Kind::kRaw}};

}  // namespace

TEST(IcmpEcho, LoopbackAnswersOnEitherKindOfSocket) {
  for (const KindCase& kind : kKinds) {
    TestNetns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
    ASSERT_TRUE(allowDatagramEcho(ns, kind.datagramAllowed));
    const auto result = ns.run([] {
      IcmpEcho echo;
      const int empty = echo.send(addressOf("127.0.0.1"), "", 2000);
      const int withData = echo.send(addressOf("127.0.0.1"), std::string(300, 'x'), 2000);
      return std::tuple(echo.kind(), empty, withData);
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(std::get<0>(*result), kind.expected);
    EXPECT_EQ(std::get<1>(*result), platform::kIpSuccess);
    EXPECT_EQ(std::get<2>(*result), platform::kIpSuccess);
  }
}

TEST(IcmpEcho, SilentPeerTimesOut) {
  for (const KindCase& kind : kKinds) {
    TestNetns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
    ASSERT_TRUE(allowDatagramEcho(ns, kind.datagramAllowed));
    ASSERT_TRUE(ns.sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
    const auto status = ns.run([] { return IcmpEcho().send(addressOf("127.0.0.1"), "", 300); });
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, platform::kIpReqTimedOut);
  }
}

TEST(IcmpEcho, LocalRoutingFailuresGiveTheirStatus) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(ns.ip({"route", "add", "unreachable", "10.78.0.0/16"}));
  const auto statuses = ns.run([] {
    IcmpEcho echo;
    return std::pair(echo.send(addressOf("10.79.0.1"), "", 500),
                     echo.send(addressOf("10.78.0.1"), "", 500));
  });
  ASSERT_TRUE(statuses);
  EXPECT_EQ(statuses->first, platform::kIpDestNetUnreachable);   // no route at all
  EXPECT_EQ(statuses->second, platform::kIpDestHostUnreachable);  // a route that rejects
}

// A router namespace answers for two networks beyond it: one it has no
// route to (network unreachable), one it rejects (host unreachable).
TEST(IcmpEcho, ErrorsFromTheNetworkGiveTheirStatus) {
  for (const KindCase& kind : kKinds) {
    TestNetns host;
    TestNetns router;
    if (!host.ok() || !router.ok()) GTEST_SKIP() << host.skipReason() << router.skipReason();
    const QString routerName = QString::fromStdString(router.name());
    ASSERT_TRUE(host.ip({"link", "add", "va", "type", "veth", "peer", "name", "vb", "netns", routerName}));
    ASSERT_TRUE(host.ip({"addr", "add", "10.77.0.1/24", "dev", "va"}));
    ASSERT_TRUE(host.ip({"link", "set", "va", "up"}));
    ASSERT_TRUE(router.ip({"addr", "add", "10.77.0.2/24", "dev", "vb"}));
    ASSERT_TRUE(router.ip({"link", "set", "vb", "up"}));
    ASSERT_TRUE(router.sysctl("net.ipv4.ip_forward", "1"));
    ASSERT_TRUE(router.ip({"route", "add", "unreachable", "10.80.0.0/16"}));
    ASSERT_TRUE(host.ip({"route", "add", "10.80.0.0/15", "via", "10.77.0.2"}));
    ASSERT_TRUE(allowDatagramEcho(host, kind.datagramAllowed));

    const auto statuses = host.run([] {
      IcmpEcho echo;
      const int first = echo.send(addressOf("10.77.0.2"), "", 3000);
      return std::tuple(first, echo.send(addressOf("10.80.0.1"), "", 3000),
                        echo.send(addressOf("10.81.0.1"), "", 3000));
    });
    ASSERT_TRUE(statuses);
    EXPECT_EQ(std::get<0>(*statuses), platform::kIpSuccess);
    EXPECT_EQ(std::get<1>(*statuses), platform::kIpDestHostUnreachable);
    EXPECT_EQ(std::get<2>(*statuses), platform::kIpDestNetUnreachable);
  }
}

TEST(IcmpEcho, NoSocketWithoutPermission) {
  TestNetns ns;
  if (!ns.ok()) GTEST_SKIP() << ns.skipReason();
  ASSERT_TRUE(allowDatagramEcho(ns, false));
  const auto result = ns.run([] {
    if (!dropRawSocketCapabilityOfThisThread()) return std::optional<bool>();
    IcmpEcho echo;
    return std::optional<bool>(echo.isOpen() || echo.kind() != IcmpEcho::Kind::kNone);
  });
  ASSERT_TRUE(result);
  if (!*result) GTEST_SKIP() << "cannot drop CAP_NET_RAW";
  EXPECT_FALSE(**result);
}
