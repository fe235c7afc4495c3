#pragma once
// modDisplaySynchFunctions: keeps the open windows' lists in step with the
// record collections. It is the only reader of the changed-row lists of the
// record classes: it applies them to the lists of the open windows and then
// empties them.
//
// List types and their record classes: 1 the action queue (8), 2 received
// messages (4), 3 sent messages (3), 4 history (5), 5 and 6 users (0), 7
// preset instant messages (10). Open message folders follow the changes row
// by row, keeping their selection and scroll position; the user managers and
// the compose windows (presets) read their lists again. A change of the
// received messages also updates the count of unopened messages on the
// notification-area icon. The main window registers itself while it is
// open. UI thread only.
#include <cstdint>

#include "MessageCenterServices.h"

class frmMessageCenter;

namespace modDisplaySynchFunctions {

// List types: MessageCenterServices::DisplayList.
inline constexpr int32_t kAllLists = MessageCenterServices::kAllDisplays;
inline constexpr int32_t kActionList = MessageCenterServices::kActionDisplay;

// The open main window, or null.
void SetMessageCenter(frmMessageCenter* window);

// Refreshes the lists of `listType` (kAllLists: every type) that have
// changed rows, or all of their rows with fullReload.
void SynchronizeDisplays(int32_t listType, bool fullReload, int32_t unused);

}  // namespace modDisplaySynchFunctions
