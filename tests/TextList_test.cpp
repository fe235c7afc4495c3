#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TextList.h"

// Texts that share prefixes, differ only in case or are empty stay distinct
// through many growths of the table; a second add finds the first place.
// Enough texts that some share a 32-bit hash: they stay distinct too.
TEST(TextList, KeepsEveryDistinctTextAtItsFirstPlace) {
  std::vector<std::string> texts = {"", "a", "A", "ab", "a b", std::string(1, '\0')};
  for (long long i = 0; i < 300000; ++i) texts.push_back("{" + std::to_string(i * 7919) + "}");
  TextList list;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const auto [place, added] = list.add(texts[i]);
      EXPECT_EQ(place, i) << texts[i];
      EXPECT_EQ(added, round == 0) << texts[i];
    }
    ASSERT_EQ(list.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(list.find(texts[i]), i);
      EXPECT_EQ(list.at(i), texts[i]);
    }
  }
  EXPECT_EQ(list.find("{1}"), TextList::kNone);
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.find("a"), TextList::kNone);
  EXPECT_EQ(list.add("a").first, 0u);
}
