#include <gtest/gtest.h>

#include <QCoreApplication>

#include "HotKeyTable.h"

using platform::HotKeyTable;

namespace {
class Receiver : public QObject {
 public:
  std::vector<int> ids;

 protected:
  bool event(QEvent* event) override {
    if (event->type() != platform::HotKeyEvent::eventType()) return QObject::event(event);
    ids.push_back(static_cast<platform::HotKeyEvent*>(event)->id());
    return true;
  }
};
}  // namespace

TEST(HotKeyTable, OneHolderPerCombination) {
  HotKeyTable& table = HotKeyTable::instance();
  Receiver first;
  Receiver second;
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
