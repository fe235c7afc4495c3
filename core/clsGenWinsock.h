#pragma once
// clsGenWinsock: the choice of a socket for a new connection and the display
// text of a socket's state.
//
// The sockets of the accepted connections form one array, indexed from 0
// (element 0 listens). Elements are only ever added at the end, so indexes
// have no gaps, and a closed element is reused before a new one is added.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SocketControl.h"

namespace clsGenWinsock {

using SocketArray = std::vector<std::unique_ptr<platform::SocketControl>>;

// The first element whose State is 0 (closed) or 8 (closing), closed first;
// else a new element at the end. Its Tag is "R". `makeSocket` creates a new
// element for an index (so that its owner can connect its events).
platform::SocketControl& GetAvailableSocket(
    SocketArray& sockets, const std::function<std::unique_ptr<platform::SocketControl>(int)>& makeSocket);

// "Closed", "Open", "Listening...", "Connecting pending...", "Resolving
// host...", "Host resolved", "Connecting...", "Connected", "Closing...",
// "Error" for the states 0 to 9; "Unknown status" for any other.
std::string GetStateDescription(int state);

}  // namespace clsGenWinsock
