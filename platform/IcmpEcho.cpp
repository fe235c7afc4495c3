#include "IcmpEcho.h"

// The C library's socket headers go before the kernel's, which need them.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <linux/errqueue.h>
#include <linux/icmp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <span>
#include <vector>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kMinIpHeaderSize = 20;
constexpr std::size_t kMaxPacketSize = 65536;

std::uint16_t nextSequence() {
  static std::atomic<std::uint16_t> sequence{0};
  return ++sequence;
}

std::uint16_t readBigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

void writeBigEndian16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// The Internet checksum (RFC 1071) over `bytes`.
std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += readBigEndian16(bytes, i);
  if (bytes.size() % 2 != 0) sum += static_cast<std::uint32_t>(bytes.back()) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> echoRequest(std::uint16_t identifier, std::uint16_t sequence,
                                      std::string_view data) {
  std::vector<std::uint8_t> packet(kIcmpHeaderSize + data.size(), 0);
  packet[0] = ICMP_ECHO;
  writeBigEndian16(packet, 4, identifier);
  writeBigEndian16(packet, 6, sequence);
  std::copy(data.begin(), data.end(), packet.begin() + kIcmpHeaderSize);
  writeBigEndian16(packet, 2, internetChecksum(packet));
  return packet;
}

int statusForDestUnreachable(int code) {
  switch (code) {
    case ICMP_NET_UNREACH:
    case ICMP_NET_UNKNOWN:
    case ICMP_NET_ANO:
    case ICMP_NET_UNR_TOS:
      return kIpDestNetUnreachable;
    case ICMP_PROT_UNREACH: return kIpDestProtUnreachable;
    case ICMP_PORT_UNREACH: return kIpDestPortUnreachable;
    case ICMP_FRAG_NEEDED: return kIpPacketTooBig;
    case ICMP_SR_FAILED: return kIpBadRoute;
    default: return kIpDestHostUnreachable;
  }
}

int statusForIcmpError(int type, int code) {
  switch (type) {
    case ICMP_DEST_UNREACH: return statusForDestUnreachable(code);
    case ICMP_SOURCE_QUENCH: return kIpSourceQuench;
    case ICMP_TIME_EXCEEDED:
      return code == ICMP_EXC_FRAGTIME ? kIpTtlExpiredReassem : kIpTtlExpiredTransit;
    case ICMP_PARAMETERPROB: return kIpParamProblem;
    default: return kIpGeneralFailure;
  }
}

// The status for a local failure to send or for an error the kernel reports
// as an errno (a route that rejects, a neighbour that never answered).
int statusForErrno(int error) {
  switch (error) {
    case ENETUNREACH: return kIpDestNetUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return kIpDestHostUnreachable;
    case EMSGSIZE: return kIpPacketTooBig;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
      return kIpNoResources;
    case EACCES:
    case EPERM:
    case EINVAL:
    case EADDRNOTAVAIL:
      return kIpBadDestination;
    default: return kIpGeneralFailure;
  }
}

bool isIcmpError(int type) {
  return type == ICMP_DEST_UNREACH || type == ICMP_SOURCE_QUENCH ||
         type == ICMP_TIME_EXCEEDED || type == ICMP_PARAMETERPROB;
}

// The packet after its IPv4 header; empty when the header is not whole.
std::span<const std::uint8_t> afterIpHeader(std::span<const std::uint8_t> packet) {
  if (packet.size() < kMinIpHeaderSize) return {};
  const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (headerSize < kMinIpHeaderSize || headerSize > packet.size()) return {};
  return packet.subspan(headerSize);
}

// True when the ICMP header `icmp` is our echo request `sequence`.
bool isOurRequest(std::span<const std::uint8_t> icmp, bool checkIdentifier,
                  std::uint16_t identifier, std::uint16_t sequence) {
  return icmp.size() >= kIcmpHeaderSize && icmp[0] == ICMP_ECHO &&
         readBigEndian16(icmp, 6) == sequence &&
         (!checkIdentifier || readBigEndian16(icmp, 4) == identifier);
}

}  // namespace

IcmpEcho::IcmpEcho() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ >= 0) {
    kind_ = Kind::kDatagram;
    // Without the error queue, ICMP errors about our echo would only be seen
    // as a time-out; the echo itself works either way.
    const int on = 1;
    ::setsockopt(fd_, SOL_IP, IP_RECVERR, &on, sizeof on);
    return;
  }
  fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ < 0) return;
  kind_ = Kind::kRaw;
  // Seeded once per thread instead of opening the random device for every
  // ping.
  thread_local std::mt19937 identifiers{std::random_device{}()};
  identifier_ = static_cast<std::uint16_t>(identifiers());
  // Only replies and errors concern us. A kernel without the filter just
  // hands us more packets to skip.
  icmp_filter filter{};
  filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                  (1U << ICMP_SOURCE_QUENCH) | (1U << ICMP_TIME_EXCEEDED) |
                  (1U << ICMP_PARAMETERPROB));
  ::setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

IcmpEcho::~IcmpEcho() {
  if (fd_ >= 0) ::close(fd_);
}

int IcmpEcho::send(std::uint32_t address, std::string_view data, int timeoutMs) {
  if (fd_ < 0) return kIpGeneralFailure;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  const std::uint16_t sequence = nextSequence();
  const std::vector<std::uint8_t> request = echoRequest(identifier_, sequence, data);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = address;
  if (::sendto(fd_, request.data(), request.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
    return statusForErrno(errno);
  }
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return kIpGeneralFailure;
    if (ready == 0) return kIpReqTimedOut;
    std::optional<int> status;
    if (entry.revents & POLLERR) status = readErrorQueue(sequence);
    if (!status && (entry.revents & POLLIN)) status = readPacket(sequence);
    if (status) return *status;
    if (entry.revents & POLLNVAL) return kIpGeneralFailure;
  }
}

std::optional<int> IcmpEcho::readPacket(std::uint16_t sequence) {
  std::vector<std::uint8_t> buffer(kMaxPacketSize);
  const ssize_t received = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
    return statusForErrno(errno);
  }
  std::span<const std::uint8_t> icmp(buffer.data(), static_cast<std::size_t>(received));
  const bool raw = kind_ == Kind::kRaw;
  // A raw socket hands over whole IP packets, a datagram socket the ICMP part.
  if (raw) icmp = afterIpHeader(icmp);
  if (icmp.size() < kIcmpHeaderSize) return std::nullopt;
  const int type = icmp[0];
  if (type == ICMP_ECHOREPLY) {
    const bool ours = readBigEndian16(icmp, 6) == sequence &&
                      (!raw || readBigEndian16(icmp, 4) == identifier_);
    return ours ? std::optional<int>(kIpSuccess) : std::nullopt;
  }
  // Errors quote the IP header and first bytes of the packet they concern.
  if (raw && isIcmpError(type)) {
    const auto quoted = afterIpHeader(icmp.subspan(kIcmpHeaderSize));
    if (isOurRequest(quoted, true, identifier_, sequence)) return statusForIcmpError(type, icmp[1]);
  }
  return std::nullopt;
}

std::optional<int> IcmpEcho::readErrorQueue(std::uint16_t sequence) {
  std::uint8_t payload[576];
  alignas(cmsghdr) char control[512];
  iovec part{payload, sizeof payload};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = ::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (received < 0) {
    // No queued error: a pending socket error (if any) is the answer.
    int pending = 0;
    socklen_t size = sizeof pending;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &size) == 0 && pending != 0) {
      return statusForErrno(pending);
    }
    return std::nullopt;
  }
  // The payload is the request the error is about; skip errors about an
  // earlier echo of this socket.
  const std::span<const std::uint8_t> request(payload, static_cast<std::size_t>(received));
  if (request.size() >= kIcmpHeaderSize && !isOurRequest(request, false, 0, sequence)) {
    return std::nullopt;
  }
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level != SOL_IP || item->cmsg_type != IP_RECVERR) continue;
    if (item->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) continue;
    sock_extended_err error{};
    std::memcpy(&error, CMSG_DATA(item), sizeof error);
    if (error.ee_origin == SO_EE_ORIGIN_ICMP) return statusForIcmpError(error.ee_type, error.ee_code);
    return statusForErrno(static_cast<int>(error.ee_errno));
  }
  return std::nullopt;
}

}  // namespace platform
