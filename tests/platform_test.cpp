#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include "Clock.h"
#include "MessageBox.h"
#include "ModalDriver.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "TvrError.h"
#include "Utf8.h"

namespace utf8 = platform::utf8;

TEST(Utf8, CountsCodePointsNotBytes) {
  EXPECT_EQ(utf8::length(""), 0u);
  EXPECT_EQ(utf8::length("abc"), 3u);
  EXPECT_EQ(utf8::length("d\xC3\xA9j\xC3\xA0"), 4u);         // déjà
  EXPECT_EQ(utf8::length("\xF0\x9F\x98\x80x"), 2u);           // emoji + x
  EXPECT_EQ(utf8::length("\xE2\x82"), 1u);                    // cut short: one character
  EXPECT_EQ(utf8::length("\x80\x80"), 2u);                    // stray continuation bytes
}

TEST(Utf8, CutsNeverSplitACodePoint) {
  const std::string text = "\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80";  // été + emoji
  EXPECT_EQ(utf8::left(text, 1), "\xC3\xA9");
  EXPECT_EQ(utf8::left(text, 10), text);
  EXPECT_EQ(utf8::right(text, 1), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8::right(text, 2), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8::right(text, 9), text);
  EXPECT_EQ(utf8::mid(text, 1, 2), "t\xC3\xA9");
  EXPECT_EQ(utf8::mid(text, 3), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8::mid(text, 7), "");
}

TEST(Utf8, ValidKeepsWellFormedSequencesAndReplacesEveryOtherByte) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"d\xC3\xA9j\xC3\xA0 \xF0\x9F\x98\x80", "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x98\x80"},
      {"\xE1\xE1ort", "__ort"},                 // lead bytes without their continuation
      {"a\x80\xBF" "b", "a__b"},                  // stray continuation bytes
      {"\xC0\xAF", "__"},                        // over-long "/"
      {"\xE0\x80\xAF", "___"},                  // over-long three-byte form
      {"\xED\xA0\x80", "___"},                  // surrogate
      {"\xF4\x90\x80\x80", "____"},            // past U+10FFFF
      {"\xF0\x9F\x98", "___"},                  // cut at the end
      {"\xFF", "_"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8::valid(c.in, '_'), c.out) << c.in;
}

TEST(Clock, FixedTimeMovesOnlyWhenAdvanced) {
  const QDateTime start(QDate(2024, 2, 28), QTime(23, 59, 30));
  platform::setFixedTime(start);
  EXPECT_EQ(platform::now(), start);
  platform::advanceFixedTime(60'000);
  EXPECT_EQ(platform::now(), QDateTime(QDate(2024, 2, 29), QTime(0, 0, 30)));
  platform::clearFixedTime();

  // The system clock reads as the C library's local time, a zone half an
  // hour off included. The zone is read at the first unfixed reading, so
  // this test must be the first of its program to make one.
  const ScopedEnv zone("TZ", "America/St_Johns");
  ::tzset();
  const auto text = [](const QDateTime& when) { return when.toString("yyyy-MM-dd hh:mm:ss"); };
  const QString before = text(QDateTime::currentDateTime());
  const QString ours = text(platform::now());
  const QString after = text(QDateTime::currentDateTime());
  EXPECT_TRUE(ours == before || ours == after) << ours.toStdString() << " " << after.toStdString();
  EXPECT_NE(text(QDateTime::currentDateTimeUtc()).right(5), ours.right(5)) << "not read as UTC";
}

TEST(MessageBox, ResponderRecordsAndAnswersInOrder) {
  RecordingMessageBox boxes;
  boxes.answerNext(platform::kMbResultNo);
  EXPECT_EQ(platform::showMessageBox("Delete?", platform::kMbYesNo, "Tavinor"),
            platform::kMbResultNo);
  EXPECT_EQ(platform::showMessageBox("Done", platform::kMbInformation, "Tavinor"),
            platform::kMbResultOk);
  ASSERT_EQ(boxes.shown().size(), 2u);
  EXPECT_EQ(boxes.shown()[0].text, "Delete?");
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbYesNo);
  EXPECT_EQ(boxes.shown()[1].title, "Tavinor");
}

// A box keeps its owner and opens over the middle of it while the person
// sees it, whatever window is active; over the active window when its owner
// is hidden or missing; over the screen when neither is there; and always
// wholly on the screen.
TEST(MessageBox, OpensOverItsVisibleOwnerElseTheActiveWindowAndStaysOnTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect middle(300, 200, 420, 300);
  const QRect atTheEdge(screen.right() - 150, screen.bottom() - 90, 150, 90);
  enum Anchor { kOwner, kActive, kScreen };
  struct Case {
    const char* name;
    bool hasOwner, ownerShown;
    QRect ownerAt;
    bool otherActive;  // another visible window is the active one
    Anchor over;
  };
  const Case cases[] = {
      {"owner hidden, another window active", true, false, middle, true, kActive},
      {"owner shown, another window active", true, true, middle, true, kOwner},
      {"owner shown and active", true, true, middle, false, kOwner},
      {"owner shown at the screen's corner", true, true, atTheEdge, true, kOwner},
      {"no owner, a window active", false, false, middle, true, kActive},
      {"owner hidden, nothing active", true, false, middle, false, kScreen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget owner;
    QWidget other;
    owner.setGeometry(c.ownerAt);
    other.setGeometry(QRect(40, 420, 300, 200));
    if (c.otherActive) {
      other.show();
      other.activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    }
    if (c.ownerShown) {
      owner.show();
      if (!c.otherActive) {
        owner.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&owner));
      }
    }
    QRect shownAt;
    QWidget* parent = nullptr;
    onNextModal<QMessageBox>([&](QMessageBox* box) {
      shownAt = box->frameGeometry();
      parent = box->parentWidget();
      box->accept();
    });
    platform::showMessageBox("Saved.", platform::kMbInformation, "Tavinor",
                             c.hasOwner ? &owner : nullptr);
    EXPECT_EQ(parent, c.hasOwner ? &owner : nullptr);
    const QRect anchor = c.over == kOwner    ? owner.frameGeometry()
                         : c.over == kActive ? other.frameGeometry()
                                             : screen;
    // Centred on its anchor, then moved wholly onto the screen.
    QRect expected(QPoint(), shownAt.size());
    expected.moveCenter(anchor.center());
    expected.moveLeft(std::clamp(expected.left(), screen.left(), screen.right() - expected.width() + 1));
    expected.moveTop(std::clamp(expected.top(), screen.top(), screen.bottom() - expected.height() + 1));
    EXPECT_LE((shownAt.topLeft() - expected.topLeft()).manhattanLength(), 4)
        << shownAt.x() << "," << shownAt.y() << " not " << expected.x() << "," << expected.y();
    EXPECT_TRUE(screen.contains(shownAt));
  }
}

TEST(TvrError, SourcePrefixKeepsEverythingElse) {
  const TvrError inner(kErrSubscript, "Inner", "Subscript out of range", "help.chm", 12);
  const TvrError outer = inner.withSourcePrefix("clsGenObject.GetField");
  EXPECT_EQ(outer.number(), kErrSubscript);
  EXPECT_EQ(outer.source(), "clsGenObject.GetFieldInner");
  EXPECT_EQ(outer.description(), "Subscript out of range");
  EXPECT_EQ(outer.helpFile(), "help.chm");
  EXPECT_EQ(outer.helpContext(), 12);
}
