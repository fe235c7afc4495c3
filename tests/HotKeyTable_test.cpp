#include <gtest/gtest.h>

#include <QCoreApplication>

#include "HotKeyRecorder.h"
#include "HotKeyTable.h"

using platform::HotKeyTable;

TEST(HotKeyTable, OneHolderPerCombination) {
  HotKeyTable& table = HotKeyTable::instance();
  HotKeyRecorder first;
  HotKeyRecorder second;
  EXPECT_FALSE(table.registerHotKey(nullptr, 1, platform::kHotKeyAlt, 'K'));
  ASSERT_TRUE(table.registerHotKey(&first, 7, platform::kHotKeyAlt, 'K'));
  EXPECT_FALSE(table.registerHotKey(&second, 8, platform::kHotKeyAlt, 'K'));
  EXPECT_FALSE(table.registerHotKey(&first, 7, platform::kHotKeyAlt, 'K'));
  EXPECT_TRUE(table.registerHotKey(&second, 8, platform::kHotKeyAlt | platform::kHotKeyShift, 'K'));

  EXPECT_TRUE(table.press(platform::kHotKeyAlt, 'K'));
  EXPECT_FALSE(table.press(platform::kHotKeyControl, 'K'));
  QCoreApplication::processEvents();
  EXPECT_EQ(first.ids, std::vector<int>{7});
  EXPECT_TRUE(second.ids.empty());

  EXPECT_FALSE(table.unregisterHotKey(&second, 7));  // another window's id
  EXPECT_TRUE(table.unregisterHotKey(&first, 7));
  EXPECT_FALSE(table.isTaken(platform::kHotKeyAlt, 'K'));
  EXPECT_TRUE(table.unregisterHotKey(&second, 8));
}
