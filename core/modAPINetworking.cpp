#include "modAPINetworking.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QMetaObject>
#include <mutex>
#include <thread>

#include "TvrError.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"

namespace modAPINetworking {

std::string IPBytesToString(const std::string& bytes) {
  try {
    if (bytes.size() != 4) {
      throw TvrError(kErrInvalidCall, "modAPINetworking.IPBytesToString",
                     "An address is 4 bytes long");
    }
    std::string text;
    for (const char byte : bytes) {
      if (!text.empty()) text += '.';
      text += std::to_string(static_cast<unsigned char>(byte));
    }
    return text;
  } catch (...) {
    raiseAgain("modAPINetworking.IPBytesToString");
  }
}

std::string GetIPFromHostName(const std::string& hostName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
    return "";
  }
  const in_addr first = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
  ::freeaddrinfo(results);
  return IPBytesToString(std::string(reinterpret_cast<const char*>(&first.s_addr), 4));
}

TextCollection ComputerAddresses(const std::vector<platform::AnnouncedComputer>& computers,
                                 const std::string& localAddress,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::atomic<bool>& stop) {
  TextCollection addresses;
  for (const platform::AnnouncedComputer& computer : computers) {
    if (stop || addresses.size() >= kMaxComputers - 1) break;
    std::string address = computer.address;
    if (address.empty() && std::chrono::steady_clock::now() < deadline) {
      address = GetIPFromHostName(computer.hostName);
    }
    if (modGenFunctions::IsValidIPAddress(address, false) && !platform::isLoopbackAddress(address)) {
      addresses.push_back(address);
    }
  }
  if (!localAddress.empty()) modGenCollectionFunctions::CollectionAddUnique(addresses, localAddress);
  return addresses;
}

// `receiver` is cleared under `mutex` when the Enumeration goes, so the
// worker posts its result only to a receiver that still exists; deleting
// the receiver drops a result already posted to it.
struct Enumeration::Link {
  std::mutex mutex;
  QObject* receiver = nullptr;
  std::atomic<bool> stop{false};
};

namespace {

// A failure here (out of memory at worst) leaves the result with this
// machine alone, as when nothing answered.
NetworkComputers enumerate(const std::string& localAddress, const std::atomic<bool>& stop) {
  const auto start = std::chrono::steady_clock::now();
  NetworkComputers result;
  try {
    const platform::AnnouncedComputers announced =
        platform::BrowseAnnouncedComputers(start + kBrowseTime, kMaxComputers, stop);
    result.browsed = announced.serviceAnswered;
    result.addresses =
        ComputerAddresses(announced.computers, localAddress, start + kEnumerationTime, stop);
  } catch (...) {
    result.addresses.clear();
    if (!localAddress.empty()) result.addresses.push_back(localAddress);
  }
  return result;
}

}  // namespace

Enumeration::Enumeration(const std::string& localAddress,
                         std::function<void(const NetworkComputers&)> done)
    : done_(std::move(done)), link_(std::make_shared<Link>()) {
  link_->receiver = &receiver_;
  std::thread([link = link_, localAddress, this] {
    const NetworkComputers result = enumerate(localAddress, link->stop);
    const std::lock_guard<std::mutex> lock(link->mutex);
    if (link->receiver == nullptr) return;
    QMetaObject::invokeMethod(
        link->receiver, [this, result] { done_(result); }, Qt::QueuedConnection);
  }).detach();
}

Enumeration::~Enumeration() {
  link_->stop = true;
  const std::lock_guard<std::mutex> lock(link_->mutex);
  link_->receiver = nullptr;
}

std::unique_ptr<Enumeration> EnumNetworkComputers(
    const std::string&, std::function<void(const NetworkComputers&)> done) {
  try {
    const std::string localAddress = clsGenAPI().GetLocalIPAddress();
    return std::make_unique<Enumeration>(localAddress, std::move(done));
  } catch (...) {
    raiseAgain("modAPINetworking.EnumNetworkComputers");
  }
}

}  // namespace modAPINetworking
