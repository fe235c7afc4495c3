#pragma once
// modAPINetworking: the computers of the local network as addresses for the
// user search. The computers are those that announce themselves over
// multicast DNS (platform/ServiceDiscovery), each at the IPv4 address
// announced with it, or else the first one its host name resolves to
// through the system's resolver.
//
// The enumeration runs on a worker thread, so the window stays live while
// the network answers; it ends after kEnumerationTime at the latest, and
// soon after it is stopped. Nobody waits for that thread: one stuck on the
// system bus or the resolver is left to end alone.
#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ServiceDiscovery.h"
#include "modGenCollectionFunctions.h"

namespace modAPINetworking {

using modGenCollectionFunctions::TextCollection;

// The most addresses one enumeration gives, this machine's included.
inline constexpr std::size_t kMaxComputers = 256;
// How long the network is listened to, and how long a whole enumeration
// (listening and resolving the names) may take.
inline constexpr std::chrono::seconds kBrowseTime{3};
inline constexpr std::chrono::seconds kEnumerationTime{5};

struct NetworkComputers {
  // False when no browsing service was reachable; the addresses then hold
  // only this machine's.
  bool browsed = false;
  // Dotted IPv4 addresses in the order the computers were found, this
  // machine's last unless it was found; never empty when the local address
  // is known.
  TextCollection addresses;
};

// The dotted decimal text of the 4 bytes of an address in network order.
// Raises 5 for a text that is not 4 bytes long.
std::string IPBytesToString(const std::string& bytes);

// The first IPv4 address `hostName` resolves to, dotted; "" when it does
// not resolve. Blocks while the resolver works; any thread; never raises.
std::string GetIPFromHostName(const std::string& hostName);

// The search's addresses for the announced `computers`: the address of
// each, as announced or else resolved from its host name while `deadline`
// has not passed, when it is valid and not loopback, in order (two
// computers with one address give it twice), at most kMaxComputers - 1 of
// them, none more once `stop` is true; then `localAddress` unless it is
// empty or already there. Any thread.
TextCollection ComputerAddresses(const std::vector<platform::AnnouncedComputer>& computers,
                                 const std::string& localAddress,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::atomic<bool>& stop);

// Enumeration: one enumeration of the network running on its worker thread.
// Its result reaches `done` once, through the event loop of the thread that
// created it, unless the Enumeration is destroyed first. Destroying it
// returns at once: it stops the worker without waiting for it, and a result
// the worker still hands over goes nowhere.
class Enumeration {
 public:
  Enumeration(const std::string& localAddress, std::function<void(const NetworkComputers&)> done);
  ~Enumeration();
  Enumeration(const Enumeration&) = delete;
  Enumeration& operator=(const Enumeration&) = delete;

  // What the worker shares with its Enumeration for as long as either lives.
  struct Link;

 private:
  std::function<void(const NetworkComputers&)> done_;
  QObject receiver_;
  std::shared_ptr<Link> link_;
};

// Starts enumerating the computers of the local network and this machine's
// address (clsGenAPI); `domain` has no meaning on this network and is not
// used. UI thread (the local address may report a failure in a message).
std::unique_ptr<Enumeration> EnumNetworkComputers(
    const std::string& domain, std::function<void(const NetworkComputers&)> done);

}  // namespace modAPINetworking
