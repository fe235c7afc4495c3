#pragma once
// modCOMRequestedAction: the receiving side of a conversation. A request
// text completed on an accepted connection is read as an "A" record and
// answered with an "R" record.
//
// A text that is not XML, whose root is not "A", or whose request code has
// no handler, gets no answer (an empty reply: nothing is sent). A request
// code that is not a number, or any other error of the dispatcher, gets the
// fixed reply FallbackResponseText. Nothing here throws.
//
// UI thread only.
#include <cstdint>
#include <string>

#include "ConnectionState.h"

namespace modCOMRequestedAction {

// The reply to `requestText`; empty: send nothing. `state` is the
// connection's record, which a file offer fills for the file that follows.
std::string ProcessRequestedAction(const std::string& requestText, ConnectionState& state);

// The reply record: <R SD="..." RE="..." ST="..." OUID="..." CO="..." V="..."/>
// with SD the logged-in account, RE, OUID and CO only when not empty, ST and
// V always. With `omit`, only <R V="..."/>. Every value is escaped for a
// double-quoted attribute (&, <, >, ", and the control characters), so any
// text, a whole XML document in CO included, reads back unchanged.
std::string BuildResponse(const std::string& RE, const std::string& ST, const std::string& OUID,
                          int32_t V, const std::string& CO, bool omit);

}  // namespace modCOMRequestedAction
