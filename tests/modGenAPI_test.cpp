#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QStandardPaths>
#include <QWidget>

#include "HotKeyRecorder.h"
#include "HotKeyTable.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "TimerControl.h"
#include "modGenAPI.h"
#include "modGenFunctionsResource.h"
#include "modGenGlobals.h"

using namespace modGenAPI;
using platform::HotKeyTable;

namespace {

std::string textOf(int keyCode, int shiftMask) {
  QLineEdit box("old text");
  HotKeyToText(&box, keyCode, shiftMask);
  return box.text().toStdString();
}

}  // namespace

TEST(modGenAPI, HotKeyTextOfKeyPresses) {
  struct Case {
    int keyCode;
    int shiftMask;
    const char* text;
  };
  const Case cases[] = {
      {77, 6, "CTRL+ALT+M"},          {116, 1, "SHIFT+F5"}, {123, 7, "CTRL+ALT+SHIFT+F12"},
      {112, 0, "F1"},                 {17, 2, "CTRL+"},     {18, 4, "ALT+"},
      {13, 0, ""},                    {48, 2, "CTRL+0"},    {20, 0, "\x14"},
      {0xC0, 4, "ALT+\xC3\x80"},  // codes above 127 are their Latin-1 characters
  };
  for (const Case& c : cases) EXPECT_EQ(textOf(c.keyCode, c.shiftMask), c.text) << c.keyCode << "/" << c.shiftMask;
}

TEST(modGenAPI, RegisteringHotKeyTexts) {
  HotKeyRecorder window;
  HotKeyTable& table = HotKeyTable::instance();
  modGenGlobals::AppHotKeyIdCounter = 0;

  const int id = RegisterAppHotKey(&window, "CTRL+ALT+M");
  EXPECT_EQ(id, 1);
  EXPECT_TRUE(table.isTaken(platform::kHotKeyControl | platform::kHotKeyAlt, 77));
  EXPECT_EQ(RegisterAppHotKey(&window, "SHIFT+F5"), 2);
  EXPECT_TRUE(table.isTaken(platform::kHotKeyShift, 116));
  EXPECT_EQ(RegisterAppHotKey(&window, "ctrl+m"), 3);  // no token found; the key is 'c'
  EXPECT_TRUE(table.isTaken(0, 99));
  EXPECT_EQ(RegisterAppHotKey(&window, "ALT+ f12 "), 4);
  EXPECT_TRUE(table.isTaken(platform::kHotKeyAlt, 123));

  EXPECT_EQ(RegisterAppHotKey(&window, "CTRL+"), 0);
  EXPECT_EQ(RegisterAppHotKey(&window, ""), 0);
  EXPECT_EQ(modGenGlobals::AppHotKeyIdCounter, 6);  // the counter advanced anyway
  EXPECT_EQ(RegisterAppHotKey(&window, "CTRL+ALT+M"), 0);  // taken
  EXPECT_EQ(RegisterAppHotKey(&window, "CTRL+ALT+M", 77), 0);

  EXPECT_TRUE(table.press(platform::kHotKeyControl | platform::kHotKeyAlt, 77));
  QCoreApplication::processEvents();
  EXPECT_EQ(window.ids, std::vector<int>{1});

  UnregisterAppHotKey(&window, 0);
  UnregisterAppHotKey(&window, -1);
  EXPECT_TRUE(table.isTaken(platform::kHotKeyControl | platform::kHotKeyAlt, 77));
  UnregisterAppHotKey(&window, id);
  EXPECT_FALSE(table.isTaken(platform::kHotKeyControl | platform::kHotKeyAlt, 77));
  for (int other : {2, 3, 4}) UnregisterAppHotKey(&window, other);
  EXPECT_FALSE(table.press(platform::kHotKeyShift, 116));
}

TEST(modGenAPI, RegistrationsEndWithTheirWindow) {
  {
    HotKeyRecorder window;
    ASSERT_NE(RegisterAppHotKey(&window, "CTRL+SHIFT+Q"), 0);
  }
  EXPECT_FALSE(HotKeyTable::instance().isTaken(platform::kHotKeyControl | platform::kHotKeyShift, 'Q'));
}

TEST(modGenAPI, TestingAHotKeyNeverKeepsIt) {
  modGenFunctionsResource::loadResourceText("|[MESSAGES]|\r\nMSG11505=free\r\nMSG11506=not free");
  RecordingMessageBox boxes;
  HotKeyRecorder window;
  HotKeyRecorder otherProgram;

  TestHotKey(&window, "CTRL+ALT+T");
  EXPECT_FALSE(HotKeyTable::instance().isTaken(platform::kHotKeyControl | platform::kHotKeyAlt, 'T'));
  TestHotKey(&window, "");
  ASSERT_TRUE(HotKeyTable::instance().registerHotKey(&otherProgram, 5, platform::kHotKeyAlt, 'T'));
  TestHotKey(&window, "ALT+T");
  EXPECT_TRUE(HotKeyTable::instance().isTaken(platform::kHotKeyAlt, 'T'));

  ASSERT_EQ(boxes.shown().size(), 3u);
  EXPECT_EQ(boxes.shown()[0].text, "free");
  EXPECT_EQ(boxes.shown()[1].text, "not free");
  EXPECT_EQ(boxes.shown()[2].text, "not free");
  EXPECT_EQ(boxes.shown()[0].flags, 64);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
}

TEST(modGenAPI, RestartTimerStartsAFullInterval) {
  RestartTimer(nullptr, 100);
  platform::TimerControl timer;
  timer.setInterval(5);
  RestartTimer(&timer, 60000);
  EXPECT_TRUE(timer.enabled());
  EXPECT_EQ(timer.interval(), 60000);
}

TEST(modGenAPI, SpecialFolders) {
  {
    const ScopedEnv dataRoot("TAVINOR_DATA_ROOT", "/srv/tavinor-a");
    EXPECT_EQ(GetSpecialFolderPath(kFolderCommonAppData), "/srv/tavinor-a");
  }
  const ScopedEnv noDataRoot("TAVINOR_DATA_ROOT", nullptr);
  EXPECT_EQ(GetSpecialFolderPath(kFolderCommonAppData),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString());
  EXPECT_EQ(GetSpecialFolderPath(kFolderDocuments),
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString());
  EXPECT_EQ(GetSpecialFolderPath(99), "");
}

TEST(modGenAPI, RefreshShowsAtTheNormalPlacement) {
  QWidget window;
  window.setGeometry(40, 50, 300, 200);
  window.showMinimized();
  RefreshWindowPlacement(&window);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_EQ(window.size(), QSize(300, 200));
  EXPECT_FALSE(window.testAttribute(Qt::WA_ShowWithoutActivating));
}

TEST(modGenAPI, HighWords) {
  EXPECT_EQ(HiWord(0x0001FFFF), 1);
  EXPECT_EQ(HiWord(static_cast<std::int32_t>(0xFFFF0000u)), -1);
  EXPECT_EQ(HiWord(1024 * 65536 + 17744), 1024);
  EXPECT_EQ(HiWord(-1), -1);
  EXPECT_EQ(HiWord(0x7FFF0000), 32767);
}
