#include "ServiceDiscovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace platform {

namespace {

// The service types by which computers announce themselves: desktops
// announce a workstation, file servers the share service, copies of this
// program their own type.
constexpr const char* kComputerServiceTypes[] = {"_workstation._tcp", "_smb._tcp",
                                                 kProgramServiceType};

// How long one wait for the network lasts before the stop request and the
// deadline are looked at again.
constexpr std::chrono::milliseconds kWaitSlice{100};

// One browse: its own loop, client, browsers and resolvers. Freeing the
// client frees every browser and resolver still open.
struct Browse {
  explicit Browse(std::size_t maxNames) : maxNames(maxNames) {}
  ~Browse() {
    if (client != nullptr) avahi_client_free(client);
    if (poll != nullptr) avahi_simple_poll_free(poll);
  }
  Browse(const Browse&) = delete;
  Browse& operator=(const Browse&) = delete;

  bool settled() const {
    return failed || computers.size() >= maxNames || (listing.empty() && resolving == 0);
  }
  void addComputer(const char* hostName, const AvahiAddress* address) {
    if (hostName == nullptr || computers.size() >= maxNames) return;
    const auto known = [&](const AnnouncedComputer& computer) { return computer.hostName == hostName; };
    if (std::any_of(computers.begin(), computers.end(), known)) return;
    char text[AVAHI_ADDRESS_STR_MAX] = "";
    if (address != nullptr && address->proto == AVAHI_PROTO_INET) {
      avahi_address_snprint(text, sizeof text, address);
    }
    computers.push_back({hostName, text});
  }

  const std::size_t maxNames;
  AvahiSimplePoll* poll = nullptr;
  AvahiClient* client = nullptr;
  // Browsers that have not yet listed everything the network holds.
  std::set<AvahiServiceBrowser*> listing;
  std::size_t resolving = 0;
  bool failed = false;
  std::vector<AnnouncedComputer> computers;
};

void browseClientChanged(AvahiClient*, AvahiClientState state, void* userdata) {
  if (state == AVAHI_CLIENT_FAILURE) static_cast<Browse*>(userdata)->failed = true;
}

void serviceResolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                     AvahiResolverEvent event, const char*, const char*, const char*,
                     const char* hostName, const AvahiAddress* address, std::uint16_t,
                     AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
  auto* browse = static_cast<Browse*>(userdata);
  if (event == AVAHI_RESOLVER_FOUND) browse->addComputer(hostName, address);
  --browse->resolving;
  avahi_service_resolver_free(resolver);
}

void serviceFound(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                  AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                  AvahiLookupResultFlags, void* userdata) {
  auto* browse = static_cast<Browse*>(userdata);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      if (browse->computers.size() + browse->resolving >= browse->maxNames) return;
      if (avahi_service_resolver_new(browse->client, interface, protocol, name, type, domain,
                                     AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_TXT, serviceResolved,
                                     browse) != nullptr) {
        ++browse->resolving;
      }
      return;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_FAILURE:
      browse->listing.erase(browser);
      return;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
      return;
  }
}

// What a browse thread hands over to the thread that waits for it. The
// waiter sets `abandoned` when it stops waiting; the browse then ends as
// soon as the bus lets it.
struct BrowseHandOver {
  std::mutex mutex;
  std::condition_variable handedOver;
  std::optional<AnnouncedComputers> result;
  std::atomic<bool> abandoned{false};
};

AnnouncedComputers listComputers(Browse& browse, std::chrono::steady_clock::time_point deadline,
                                 const std::atomic<bool>& stop) {
  using namespace std::chrono;
  AnnouncedComputers result;
  browse.poll = avahi_simple_poll_new();
  if (browse.poll == nullptr) return result;
  int error = 0;
  browse.client = avahi_client_new(avahi_simple_poll_get(browse.poll), AvahiClientFlags(0),
                                   browseClientChanged, &browse, &error);
  if (browse.client == nullptr) return result;
  result.serviceAnswered = true;
  for (const char* type : kComputerServiceTypes) {
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(browse.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type, nullptr,
                                  AvahiLookupFlags(0), serviceFound, &browse);
    if (browser != nullptr) browse.listing.insert(browser);
  }
  while (!stop && !browse.settled()) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) break;
    if (avahi_simple_poll_iterate(browse.poll, int(std::min(left, kWaitSlice).count())) != 0) break;
  }
  result.computers = std::move(browse.computers);
  return result;
}

}  // namespace

bool isLoopbackAddress(const std::string& address) { return address.rfind("127.", 0) == 0; }

AnnouncedComputers BrowseAnnouncedComputers(std::chrono::steady_clock::time_point deadline,
                                            std::size_t maxNames, const std::atomic<bool>& stop) {
  const auto handOver = std::make_shared<BrowseHandOver>();
  // The list is handed over before the client is freed, which asks the
  // bus again.
  std::thread([handOver, deadline, maxNames] {
    Browse browse(maxNames);
    AnnouncedComputers result = listComputers(browse, deadline, handOver->abandoned);
    const std::lock_guard<std::mutex> lock(handOver->mutex);
    handOver->result = std::move(result);
    handOver->handedOver.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(handOver->mutex);
  while (!handOver->result && !stop && std::chrono::steady_clock::now() < deadline + kBrowseGrace) {
    handOver->handedOver.wait_for(lock, kWaitSlice);
  }
  handOver->abandoned = true;
  return handOver->result.value_or(AnnouncedComputers{});
}

// ---- The announcement ---------------------------------------------------

// Shared by the owner and the announcement's thread, which alone touches
// the Avahi objects and the names; the owner only asks it to stop and
// waits for `ended`.
struct ServiceAnnouncement::State {
  std::string address;
  std::uint16_t port = 0;
  // The service name, and with an address the host name carrying it.
  std::string name;
  AvahiEntryGroup* group = nullptr;
  std::atomic<bool> published{false};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable endedChanged;
  bool ended = false;
};

namespace {

using State = ServiceAnnouncement::State;

// "tavinor-10-0-0-5": a host and service name that no other copy on the
// network can hold, since no other computer has the same address.
std::string addressHostLabel(const std::string& address) {
  std::string label = "tavinor-" + address;
  std::replace(label.begin(), label.end(), '.', '-');
  return label;
}

void announce(State& state, AvahiClient* client);

void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState groupState, void* userdata) {
  auto& state = *static_cast<State*>(userdata);
  state.published = groupState == AVAHI_ENTRY_GROUP_ESTABLISHED;
  if (groupState != AVAHI_ENTRY_GROUP_COLLISION) return;
  char* next = avahi_alternative_service_name(state.name.c_str());
  state.name = next;
  avahi_free(next);
  avahi_entry_group_reset(group);
  announce(state, avahi_entry_group_get_client(group));
}

void announce(State& state, AvahiClient* client) {
  if (state.group == nullptr) state.group = avahi_entry_group_new(client, groupChanged, &state);
  if (state.group == nullptr || !avahi_entry_group_is_empty(state.group)) return;
  if (state.name.empty()) {
    state.name = state.address.empty() ? avahi_client_get_host_name(client)
                                       : addressHostLabel(state.address);
  }
  std::string host;
  if (!state.address.empty()) {
    host = state.name + "." + avahi_client_get_domain_name(client);
    AvahiAddress address{};
    if (avahi_address_parse(state.address.c_str(), AVAHI_PROTO_INET, &address) == nullptr ||
        avahi_entry_group_add_address(state.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                      AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &address) < 0) {
      return;
    }
  }
  if (avahi_entry_group_add_service(state.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                    AvahiPublishFlags(0), state.name.c_str(), kProgramServiceType,
                                    nullptr, host.empty() ? nullptr : host.c_str(), state.port,
                                    nullptr) < 0) {
    return;
  }
  avahi_entry_group_commit(state.group);
}

// A daemon that restarts or renames its host drops what was announced;
// it is announced again once the daemon runs.
void announcementClientChanged(AvahiClient* client, AvahiClientState clientState, void* userdata) {
  auto& state = *static_cast<State*>(userdata);
  switch (clientState) {
    case AVAHI_CLIENT_S_RUNNING:
      announce(state, client);
      return;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      state.published = false;
      if (state.group != nullptr) avahi_entry_group_reset(state.group);
      return;
    case AVAHI_CLIENT_FAILURE:
    case AVAHI_CLIENT_CONNECTING:
      state.published = false;
      if (state.group != nullptr) avahi_entry_group_free(state.group);
      state.group = nullptr;
      return;
  }
}

// The announcement's thread: connects, announces, keeps the announcement
// up while the daemon comes and goes, and withdraws it when asked to stop
// (freeing the client withdraws it).
void runAnnouncement(const std::shared_ptr<State>& state) {
  AvahiSimplePoll* poll = avahi_simple_poll_new();
  if (poll != nullptr) {
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                           announcementClientChanged, state.get(), &error);
    while (client != nullptr && !state->stop &&
           avahi_simple_poll_iterate(poll, int(kWaitSlice.count())) == 0) {
    }
    if (client != nullptr) avahi_client_free(client);
    avahi_simple_poll_free(poll);
  }
  state->published = false;
  const std::lock_guard<std::mutex> lock(state->mutex);
  state->ended = true;
  state->endedChanged.notify_all();
}

}  // namespace

ServiceAnnouncement::ServiceAnnouncement(const std::string& bindAddress, std::uint16_t port)
    : state_(std::make_shared<State>()) {
  if (isLoopbackAddress(bindAddress)) {
    state_->ended = true;
    return;
  }
  state_->address = bindAddress;
  state_->port = port;
  std::thread([state = state_] { runAnnouncement(state); }).detach();
}

ServiceAnnouncement::~ServiceAnnouncement() {
  state_->stop = true;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->endedChanged.wait_for(lock, kWithdrawWait, [this] { return state_->ended; });
}

bool ServiceAnnouncement::published() const { return state_->published; }

}  // namespace platform
