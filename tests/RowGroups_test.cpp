#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RowGroups.h"

// Steps: "+ka" appends row a to the group of key k, "-ka" removes it, "-ka!"
// is a removal that must fail. The answer lists each group as "key:rows" in
// the order the keys came, then the count of emptied groups.
TEST(RowGroups, KeepRowsInJoinOrderAndCountEmptiedGroups) {
  const struct {
    std::vector<std::string> steps;
    const char* groups;
  } cases[] = {
      {{"+1a", "+2b", "+1c"}, "1:ac 2:b 0"},
      {{"+1a", "+1b", "+1c", "-1b"}, "1:ac 0"},
      {{"+1a", "+1b", "-1a"}, "1:b 0"},  // back to one row
      {{"+1a", "+1b", "-1b", "-1a", "+1c"}, "1:c 0"},
      {{"+1a", "-1a", "+2b", "+1b"}, "1:b 2:b 0"},  // an emptied group fills again
      {{"+1a", "-1b!", "-2a!", "-1a", "-1a!"}, "1: 1"},
      {{"+1a", "+1b", "-1c!"}, "1:ab 0"},
  };
  for (const auto& c : cases) {
    pugi::xml_document doc;
    for (const char* name : {"a", "b", "c"}) doc.append_child(name);
    RowGroups groups;
    std::string out;
    for (const std::string& step : c.steps) {
      const std::string key = step.substr(1, 1);
      const pugi::xml_node row = doc.child(step.substr(2, 1).c_str());
      if (step[0] == '+') {
        groups.append(groups.groupOf(key), row);
        continue;
      }
      const std::size_t place = groups.find(key);
      const bool removed = place != TextList::kNone && groups.remove(place, row);
      if (removed == (step.back() == '!')) out += "[" + step + "] ";
    }
    for (std::size_t place = 0; place < groups.size(); ++place) {
      out += std::string(groups.keyAt(place)) + ":";
      for (const pugi::xml_node row : groups.rowsAt(place)) out += row.name();
      out += " ";
    }
    EXPECT_EQ(out + std::to_string(groups.emptied()), c.groups)
        << ::testing::PrintToString(c.steps);
  }
}
