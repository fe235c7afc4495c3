#pragma once
// IcmpEcho: one ICMP echo endpoint (the stand-in for an ICMP handle). It owns
// one socket for its lifetime: an unprivileged ICMP datagram socket where the
// system allows one (net.ipv4.ping_group_range), else a raw ICMP socket (which
// needs CAP_NET_RAW). When neither can be opened, isOpen() is false and no
// echo can be sent; callers decide what that means.
//
// Results are IP status numbers (IpStatus). Not thread-safe; one echo at a time.
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// The IP status numbers that an echo can end with.
enum IpStatus : int {
  kIpSuccess = 0,
  kIpBufTooSmall = 11001,
  kIpDestNetUnreachable = 11002,
  kIpDestHostUnreachable = 11003,
  kIpDestProtUnreachable = 11004,
  kIpDestPortUnreachable = 11005,
  kIpNoResources = 11006,
  kIpBadOption = 11007,
  kIpHwError = 11008,
  kIpPacketTooBig = 11009,
  kIpReqTimedOut = 11010,
  kIpBadReq = 11011,
  kIpBadRoute = 11012,
  kIpTtlExpiredTransit = 11013,
  kIpTtlExpiredReassem = 11014,
  kIpParamProblem = 11015,
  kIpSourceQuench = 11016,
  kIpOptionTooBig = 11017,
  kIpBadDestination = 11018,
  kIpGeneralFailure = 11050,
};

class IcmpEcho {
 public:
  enum class Kind { kNone, kDatagram, kRaw };

  IcmpEcho();
  ~IcmpEcho();
  IcmpEcho(const IcmpEcho&) = delete;
  IcmpEcho& operator=(const IcmpEcho&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  Kind kind() const { return kind_; }

  // Sends one echo request carrying `data` to the IPv4 `address` (network
  // byte order) and waits for its reply or for an ICMP error about it.
  // Returns kIpSuccess for a reply, kIpReqTimedOut when nothing came back
  // within `timeoutMs` milliseconds, otherwise the status of the error the
  // network or the local stack reported. Blocks the calling thread for at
  // most `timeoutMs` after the request has been handed to the kernel.
  int send(std::uint32_t address, std::string_view data, int timeoutMs);

 private:
  // The status when what is waiting on the socket settles echo `sequence`;
  // nothing for an unrelated packet (keep waiting).
  std::optional<int> readPacket(std::uint16_t sequence);
  std::optional<int> readErrorQueue(std::uint16_t sequence);

  int fd_ = -1;
  Kind kind_ = Kind::kNone;
  // Identifies our echoes among all ICMP a raw socket sees; the kernel sets
  // and filters it itself on a datagram socket.
  std::uint16_t identifier_ = 0;
};

}  // namespace platform
