#pragma once
// modDisplaySynchFunctions: keeps the open windows' lists in step with the
// record collections. It is the only reader of the changed-row lists of the
// record classes: it applies them to the lists of the open windows and then
// empties them.
//
// List types: 1 the action queue (record class 8). The main window registers
// itself while it is open. UI thread only.
#include <cstdint>

class frmMessageCenter;

namespace modDisplaySynchFunctions {

enum DisplayListType : int32_t { kAllLists = -1, kActionList = 1 };

// The open main window, or null.
void SetMessageCenter(frmMessageCenter* window);

// Refreshes the lists of `listType` (kAllLists: every type) that have
// changed rows, or all of their rows with fullReload.
void SynchronizeDisplays(int32_t listType, bool fullReload, int32_t unused);

}  // namespace modDisplaySynchFunctions
