#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RowGroups.h"

namespace {

// Steps: "+k a" appends row a to the group of key k, "-k a" removes it
// ("!" marks a removal that must fail). The answer lists each group as
// "key:rows" in the order the keys came, then the count of emptied groups.
std::string replayed(const std::vector<std::string>& steps) {
  pugi::xml_document doc;
  for (const char* name : {"a", "b", "c"}) doc.append_child(name);
  RowGroups groups;
  std::string out;
  for (const std::string& step : steps) {
    const std::string key = step.substr(1, step.find(' ') - 1);
    const pugi::xml_node row = doc.child(step.substr(step.find(' ') + 1, 1).c_str());
    if (step[0] == '+') {
      groups.append(groups.groupOf(key), row);
    } else {
      const std::size_t place = groups.find(key);
      const bool removed = place != TextList::kNone && groups.remove(place, row);
      if (removed != (step.back() != '!')) out += "[" + step + "] ";
    }
  }
  for (std::size_t place = 0; place < groups.size(); ++place) {
    out += std::string(groups.keyAt(place)) + ":";
    for (const pugi::xml_node row : groups.rowsAt(place)) out += row.name();
    out += " ";
  }
  return out + std::to_string(groups.emptied());
}

}  // namespace

TEST(RowGroups, KeepRowsInJoinOrderAndCountEmptiedGroups) {
  const struct {
    std::vector<std::string> steps;
    const char* groups;
  } cases[] = {
      {{"+1 a", "+2 b", "+1 c"}, "1:ac 2:b 0"},
      {{"+1 a", "+1 b", "+1 c", "-1 b"}, "1:ac 0"},
      {{"+1 a", "+1 b", "-1 a"}, "1:b 0"},           // back to one row
      {{"+1 a", "+1 b", "-1 b", "-1 a", "+1 c"}, "1:c 0"},
      {{"+1 a", "-1 a"}, "1: 1"},                     // the key stays, emptied
      {{"+1 a", "-1 a", "+2 b", "+1 b"}, "1:b 2:b 0"},  // an emptied group fills again
      {{"+1 a", "-1 b !", "-2 a !", "-1 a", "-1 a !"}, "1: 1"},
      {{"+1 a", "+1 b", "-1 c !"}, "1:ab 0"},
      {{"+ a", "+x b", "-x b"}, ":a x: 1"},          // the empty key is a key
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replayed(c.steps), c.groups) << ::testing::PrintToString(c.steps);
  }
}
