#include "clsGenAPI.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "IcmpEcho.h"
#include "MessageBox.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsString.h"

namespace {

constexpr std::size_t kHostNameBufferSize = 256;
constexpr std::size_t kNetBiosNameLength = 15;

std::optional<in_addr> parseDottedAddress(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return address;
}

std::string dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// The host name, or the errno of gethostname.
std::optional<std::string> readHostName(int& error) {
  char buffer[kHostNameBufferSize] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) {
    error = errno;
    return std::nullopt;
  }
  return std::string(buffer);
}

// The first IPv4 address `name` resolves to.
std::optional<in_addr> resolveFirst(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
    return std::nullopt;
  }
  const in_addr first = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
  ::freeaddrinfo(results);
  return first;
}

// The first IPv4 address of an interface that is up and not loopback.
// A host name often resolves to a loopback address (127.0.1.1), which no
// colleague can reach, so the interfaces are asked first.
std::optional<in_addr> firstInterfaceAddress() {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return std::nullopt;
  std::optional<in_addr> found;
  for (const ifaddrs* item = interfaces; item != nullptr && !found; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
    if (!(item->ifa_flags & IFF_UP) || (item->ifa_flags & IFF_LOOPBACK)) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr;
    if ((ntohl(address.s_addr) >> 24) == 127) continue;
    found = address;
  }
  ::freeifaddrs(interfaces);
  return found;
}

// $TAVINOR_BIND_ADDRESS: the one address this copy listens and connects on.
std::optional<in_addr> bindAddress() {
  const char* value = std::getenv("TAVINOR_BIND_ADDRESS");
  if (value == nullptr) return std::nullopt;
  return parseDottedAddress(value);
}

void showPlain(const std::string& text) {
  modGenFunctions::ShowMessageBox(text, platform::kMbOkOnly, modGenFunctions::kAppTitle);
}

// The host name; when it cannot be read, "Windows Sockets error <number>"
// and `failureTail` are shown in a plain box and nothing is answered.
std::optional<std::string> hostNameOrReport(const char* failureTail) {
  int error = 0;
  auto hostName = readHostName(error);
  if (!hostName) showPlain("Windows Sockets error " + std::to_string(error) + failureTail);
  return hostName;
}

const char* pingStatusName(int status) {
  switch (status) {
    case -1: return "inet_addr: bad IP format";
    case 0: return "ip success";
    case 500: return "ping timeout";
    case 11001: return "ip buf too_small";
    case 11002: return "ip dest net unreachable";
    case 11003: return "ip dest host unreachable";
    case 11004: return "ip dest prot unreachable";
    case 11005: return "ip dest port unreachable";
    case 11006: return "ip no resources";
    case 11007: return "ip bad option";
    case 11008: return "ip hw_error";
    case 11009: return "ip packet too_big";
    case 11010: return "ip req timed out";
    case 11011: return "ip bad req";
    case 11012: return "ip bad route";
    case 11013: return "ip ttl expired transit";
    case 11014: return "ip ttl expired reassem";
    case 11015: return "ip param_problem";
    case 11016: return "ip source quench";
    case 11017: return "ip option too_big";
    case 11018: return "ip bad destination";
    case 11019: return "ip addr deleted";
    case 11020: return "ip spec mtu change";
    case 11021: return "ip mtu_change";
    case 11022: return "ip unload";
    case 11023: return "ip addr added";
    case 11050: return "ip general failure";
    case 11255: return "ip pending";
    default: return "unknown  msg returned";
  }
}

}  // namespace

clsGenAPI::clsGenAPI() { SocketsInitialize(); }

clsGenAPI::~clsGenAPI() { SocketsCleanup(); }

std::uint8_t clsGenAPI::LoByte(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

std::uint8_t clsGenAPI::HiByte(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

std::string clsGenAPI::GetLocalIPAddress() {
  try {
    if (const auto address = bindAddress()) return dotted(*address);
    if (const auto address = firstInterfaceAddress()) return dotted(*address);
    int error = 0;
    const auto hostName = readHostName(error);
    if (!hostName) {
      modGenFunctions::ShowMessageBox("Windows Sockets error " + std::to_string(error),
                                      platform::kMbCritical, modGenFunctions::kAppTitle);
      return "";
    }
    const auto address = resolveFirst(std::string(modGenFunctionsString::trimBlanks(*hostName)));
    if (!address) {
      showPlain("Winsock.dll is not responding.");
      return "";
    }
    return dotted(*address);
  } catch (...) {
    raiseAgain("clsGenAPI.GetLocalIPAddress");
  }
}

std::string clsGenAPI::GetLocalHostName() {
  try {
    const auto hostName = hostNameOrReport(" has occurred.  Unable to successfully get Host Name.");
    if (!hostName) {
      SocketsCleanup();
      return "";
    }
    return *hostName;
  } catch (...) {
    raiseAgain("clsGenAPI.GetLocalHostName");
  }
}

std::string clsGenAPI::GetIPFromHostName(const std::string& hostName) {
  try {
    std::string name = hostName;
    if (name.empty()) {
      const auto localName = hostNameOrReport(" has occurred. Unable to successfully get Host Name.");
      if (!localName) {
        SocketsCleanup();
        return "";
      }
      name = *localName;
    }
    const auto address = resolveFirst(std::string(modGenFunctionsString::trimBlanks(name)));
    if (!address) {
      showPlain("Windows Sockets are not responding. Unable to successfully get Host Name.");
      SocketsCleanup();
      return "";
    }
    return dotted(*address);
  } catch (...) {
    raiseAgain("clsGenAPI.GetIPFromHostName");
  }
}

std::string clsGenAPI::GetComputerName() {
  try {
    int error = 0;
    std::string name = readHostName(error).value_or("");
    name = name.substr(0, name.find('.')).substr(0, kNetBiosNameLength);
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
  } catch (...) {
    raiseAgain("clsGenAPI.GetComputerName");
  }
}

std::string clsGenAPI::CreateGUID() {
  try {
    const QUuid id = QUuid::createUuid();
    if (id.isNull()) return "00000000";
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(id.data1), static_cast<unsigned>(id.data2),
                  static_cast<unsigned>(id.data3), id.data4[0], id.data4[1], id.data4[2],
                  id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
    return text;
  } catch (...) {
    raiseAgain("clsGenAPI.CreateGUID");
  }
}

bool clsGenAPI::SocketsInitialize() {
  try {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
      showPlain("The 32-bit Windows Socket is not responding.");
      return false;
    }
    ::close(probe);
    return true;
  } catch (...) {
    raiseAgain("clsGenAPI.SocketsInitialize");
  }
}

// POSIX sockets hold no per-process start-up count, so there is nothing to end.
void clsGenAPI::SocketsCleanup() {}

std::string clsGenAPI::GetPingStatusText(int status) {
  try {
    return std::to_string(status) + "   [ " + pingStatusName(status) + " ]";
  } catch (...) {
    raiseAgain("clsGenAPI.GetPingStatusText");
  }
}

int clsGenAPI::Ping(const std::string& address, const std::string& data, int timeoutMs) {
  try {
    int status = kPingAnswered;
    const auto target = parseDottedAddress(address);
    if (!target) return kPingBadAddress;
    platform::IcmpEcho echo;
    if (!echo.isOpen()) return status;
    status = echo.send(target->s_addr, data, timeoutMs);
    return status;
  } catch (...) {
    raiseAgain("clsGenAPI.Ping");
  }
}
