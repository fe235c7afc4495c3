#pragma once
// ServiceDiscovery: the computers of the local network as multicast DNS
// (Avahi) knows them, and this copy's own announcement there. Both talk to
// the system's avahi-daemon over the D-Bus system bus; where no daemon
// answers, browsing says so and an announcement waits for one to appear.
// Every call into the Avahi client may wait on the bus without end (a bus
// that accepts and never answers), so that work runs on detached threads
// of its own, which the callers here never wait for beyond their bounds.
//
// A computer is listed when it announces itself as a workstation, as a file
// server, or as a copy of this program (the service type every copy
// announces on its listening port).
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr char kProgramServiceType[] = "_tavinor._tcp";

struct AnnouncedComputer {
  // "name.local"
  std::string hostName;
  // The dotted IPv4 address announced with the host; "" when none came.
  std::string address = "";
};

struct AnnouncedComputers {
  // False when no browsing service could be reached.
  bool serviceAnswered = false;
  // Each host once, in the order they were found.
  std::vector<AnnouncedComputer> computers;
};

// True for a dotted address of the loopback network (127.0.0.0/8), which no
// other computer reaches; Debian maps the host's own name to 127.0.1.1.
bool isLoopbackAddress(const std::string& address);

// Lists the announcing computers: blocks the calling thread (any thread)
// until the network has answered every service type, `deadline` has
// passed, `stop` became true, or `maxNames` names were found. A browsing
// service that has not handed over its list kBrowseGrace after the
// deadline counts as not answering, and its thread is left to end alone.
inline constexpr std::chrono::milliseconds kBrowseGrace{500};
AnnouncedComputers BrowseAnnouncedComputers(std::chrono::steady_clock::time_point deadline,
                                            std::size_t maxNames, const std::atomic<bool>& stop);

// ServiceAnnouncement: announces this copy's computer as a service of the
// program's type on `port` for as long as it lives. With a `bindAddress`
// (the one address the copy listens on) the announcement carries that
// address under a host name of its own, so several copies on one machine
// announce their own addresses; without one it names this host, whose
// addresses the daemon announces. A loopback address reaches no other
// computer and is not announced. Name clashes are settled by taking the
// next free service name. Runs on a thread of its own; any thread may
// create and destroy it, and neither waits on the bus: creating returns at
// once, destroying withdraws the announcement but waits at most
// kWithdrawWait for that, then leaves the thread to end alone.
class ServiceAnnouncement {
 public:
  ServiceAnnouncement(const std::string& bindAddress, std::uint16_t port);
  ~ServiceAnnouncement();
  ServiceAnnouncement(const ServiceAnnouncement&) = delete;
  ServiceAnnouncement& operator=(const ServiceAnnouncement&) = delete;

  static constexpr std::chrono::milliseconds kWithdrawWait{500};

  // True once the network has accepted the announcement.
  bool published() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
