#pragma once
// The numbered steps that journal_writer makes durable one by one and that
// the JournalCrash suite replays in memory to know what the store must hold.
//
// Step i adds the group "R<i>" (name "n<i>"); when i % 3 == 2 it renames
// "R<i-1>" to "c<i>"; when i % 4 == 3 it adds the member "M<i>" to "R<i-2>";
// when i % 5 == 4 it removes "R<i-4>".
#include <string>

#include "clsGenObject.h"

namespace JournalSteps {

constexpr int32_t kGroupUID = 0;
constexpr int32_t kGroupName = 1;
constexpr int32_t kMemberUID = 0;

inline std::string groupOf(int step) { return "R" + std::to_string(step); }

// Applies step `i` to a collection of groups (rows "G", members "U").
inline void apply(clsGenObject& groups, int i) {
  groups.CreateNewRow(false, kGroupUID);
  groups.SetField(kGroupUID, groupOf(i));
  groups.SetField(kGroupName, "n" + std::to_string(i));
  groups.AddCurrentRow();
  if (i % 3 == 2) groups.SetRowFieldByKey(kGroupUID, groupOf(i - 1), kGroupName, "c" + std::to_string(i));
  if (i % 4 == 3) groups.AddSubRow(kGroupUID, groupOf(i - 2), kMemberUID, "M" + std::to_string(i));
  if (i % 5 == 4) groups.Delete(false, kGroupUID, groupOf(i - 4), false);
}

}  // namespace JournalSteps
