#include "clsGenWinsock.h"

#include <array>
#include <functional>

namespace clsGenWinsock {

platform::SocketControl& GetAvailableSocket(
    SocketArray& sockets, const std::function<std::unique_ptr<platform::SocketControl>(int)>& makeSocket) {
  for (const auto& socket : sockets) {
    const int state = socket->State();
    if (state == platform::kSckClosed || state == platform::kSckClosing) {
      socket->Close();
      socket->setTag("R");
      return *socket;
    }
  }
  sockets.push_back(makeSocket(static_cast<int>(sockets.size())));
  sockets.back()->setTag("R");
  return *sockets.back();
}

std::string GetStateDescription(int state) {
  static const std::array<const char*, 10> kTexts = {
      "Closed",        "Open",          "Listening...", "Connecting pending...",
      "Resolving host...", "Host resolved", "Connecting...", "Connected",
      "Closing...",    "Error"};
  if (state < 0 || state >= static_cast<int>(kTexts.size())) return "Unknown status";
  return kTexts[static_cast<std::size_t>(state)];
}

}  // namespace clsGenWinsock
