#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RowChanges.h"

namespace {

// Steps: "+A" touches A, "-A" removes A, "~" forgets the rows, "!" forgets
// everything. The answer lists the rows in turn order, "-" marking removals.
std::string replayed(const std::vector<std::string>& steps) {
  RowChanges changes;
  for (const std::string& step : steps) {
    if (step == "~") {
      changes.forgetRows();
    } else if (step == "!") {
      changes.forget();
    } else if (step[0] == '+') {
      changes.touch(step.substr(1));
    } else {
      changes.removed(step.substr(1));
    }
  }
  std::string out;
  for (const RowChanges::Touched& row : changes.inTurn()) {
    out += (row.removed ? "-" : "") + row.uid + " ";
  }
  return out;
}

}  // namespace

TEST(RowChanges, KeepTheTurnOfEachRowsFirstTouchAndMoveRemovalsToTheEnd) {
  const struct {
    std::vector<std::string> steps;
    const char* rows;
  } cases[] = {
      {{"+A", "+A", "+B", "+A"}, "A B "},
      {{"+A", "+B", "-A"}, "B -A "},
      {{"+A", "-A", "+A", "+B"}, "-A B "},   // a row appended again after its removal
      {{"+A", "+B", "-A", "+A"}, "B -A "},
      {{"+A", "~", "+A"}, "A "},             // forgotten rows are touched anew
      {{"+A", "+B", "!", "+B", "+A"}, "B A "},
      {{"-A", "-A", "+B"}, "-A B "},
      {{}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replayed(c.steps), c.rows) << ::testing::PrintToString(c.steps);
  }
}
