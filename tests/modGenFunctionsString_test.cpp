#include <gtest/gtest.h>

#include "modGenFunctionsString.h"

using namespace modGenFunctionsString;

TEST(modGenFunctionsString, PadRightCountsCharacters) {
  std::string text = "ab";
  EXPECT_EQ(PadRight(text, 5), "ab   ");
  std::string longer = "abcdef";
  EXPECT_EQ(PadRight(longer, 3), "abcdef");
  std::string accented = "\xC3\xA9t\xC3\xA9";  // été: 3 characters, 5 bytes
  EXPECT_EQ(PadRight(accented, 4), "\xC3\xA9t\xC3\xA9 ");
}

TEST(modGenFunctionsString, SplitLikeTheLanguage) {
  EXPECT_TRUE(splitText("", "||").empty());
  EXPECT_EQ(splitText("a||b||c", "||"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(splitText("a||", "||"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(splitText("||a||||b", "||"), (std::vector<std::string>{"", "a", "", "b"}));
  EXPECT_EQ(splitText("1.2.3", ""), (std::vector<std::string>{"1.2.3"}));
}
