#include <gtest/gtest.h>

#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <QWindow>
#include <climits>

#include "Clock.h"
#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "modGenFunctions.h"
#include "modGenGlobals.h"

using namespace modGenFunctions;

TEST(modGenFunctions, ListTextsAndSuffixes) {
  std::string list;
  AddToString(list, "a");
  EXPECT_EQ(list, "a");  // no leading separator on an empty list
  AddToString(list, "b");
  AddToString(list, "c", false, true);
  EXPECT_EQ(list, "a||bc\r\n");

  std::string folder = "/data";
  EXPECT_EQ(AppendIfMissing(folder, "/"), "/data/");
  EXPECT_EQ(AppendIfMissing(folder, "/"), "/data/");
  std::string upper = "X.TXT";
  EXPECT_EQ(AppendIfMissing(upper, ".txt"), "X.TXT.txt");  // case-sensitive
}

TEST(modGenFunctions, CountersRaiseOverflowAndKeepTheirValue) {
  std::int32_t counter = 5;
  EXPECT_EQ(Increment(counter, 3), 8);
  EXPECT_EQ(Decrement(counter), 7);
  counter = INT32_MAX;
  EXPECT_EQ(errorNumberOf([&] { Increment(counter); }), kErrOverflow);
  EXPECT_EQ(counter, INT32_MAX);
  counter = INT32_MIN;
  EXPECT_EQ(errorNumberOf([&] { Decrement(counter, 1); }), kErrOverflow);
  EXPECT_EQ(counter, INT32_MIN);
}

TEST(modGenFunctions, FrameLengthField) {
  const std::string field = IntegerToBytes(300);
  ASSERT_EQ(field.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(field[0]), 44);
  EXPECT_EQ(static_cast<unsigned char>(field[1]), 1);
  EXPECT_EQ(BytesToInteger(field), 300);
  for (int value : {0, 1, 255, 256, 4010, 32767}) EXPECT_EQ(BytesToInteger(IntegerToBytes(value)), value);
  EXPECT_EQ(errorNumberOf([] { IntegerToBytes(-1); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([] { IntegerToBytes(32768); }), kErrOverflow);
  EXPECT_EQ(errorNumberOf([] { BytesToInteger(std::string("\x00\x80", 2)); }), kErrOverflow);
  EXPECT_EQ(errorNumberOf([] { BytesToInteger("x"); }), kErrInvalidCall);
}

TEST(modGenFunctions, LineBreakMarker) {
  const std::string text = "first\r\nsecond\r\n\r\nlone\rcr\nlf";
  const std::string encoded = ConvertCRLF(text, true);
  EXPECT_EQ(encoded, "first||%_CRLF_%||second||%_CRLF_%||||%_CRLF_%||lone\rcr\nlf");
  EXPECT_EQ(ConvertCRLF(encoded, false), text);
  EXPECT_EQ(ConvertCRLF("", true), "");
}

TEST(modGenFunctions, ValidIPAddresses) {
  struct Case {
    const char* ip;
    bool wildcard;
    bool valid;
  };
  const Case cases[] = {
      {"255.255.255.255", false, true}, {"0.0.0.0", false, true},
      {"1.2.3.-1", false, false},       {"1.2.3", false, false},
      {"1.2.3.4.5", false, false},      {"1.2.3.4.", false, false},
      {"1.2.3.256", false, false},      {"1.2. 3.4", false, true},
      {"1.2.3 .4", false, true},        {"1.2.3.*", true, true},
      {"1.2.3.*", false, false},        {"1.2.3.**", true, false},
      {"1.2..4", false, false},         {"a.b.c.d", true, false},
      {"1.2.3.1e2", false, true},       {"1.2.3.99999", false, false},
      {"", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidIPAddress(c.ip, c.wildcard), c.valid) << c.ip << " wildcard " << c.wildcard;
  }
}

TEST(modGenFunctions, IPFilterLists) {
  struct Case {
    const char* ip;
    const char* list;
    bool inList;
  };
  const Case cases[] = {
      {"10.0.0.5", "192.168.1.*||10.0.0.*", true},
      {"10.0.0.5", "", false},
      {"", "10.0.0.*", false},
      {"10.0.0.5", "10.0.0.5", true},
      {"10.0.0.5", "10.0.0.50", false},
      {"10.0.0.10", "10.0.0.010", false},  // parts compare as text
      {"10.0.0.5", "*.*.*.*", true},
      {"10.0.0.5", "10.0.0.5.7", true},    // parts after the fourth are ignored
      {"10.0.0.5", "10.0.0||10.0.0.5", true},  // a short pattern matches nothing
      {"10.0.0.5", "||10.0.0.*", true},
      {"10.0.0.5", "1.2.3.4||", false},
      {"10.0.0", "10.0.0.*", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsIPInList(c.ip, c.list), c.inList) << c.ip << " in " << c.list;
}

TEST(modGenFunctions, CollectionKeys) {
  EXPECT_EQ(MakeCollectionKey("  7 "), "I_7");
  EXPECT_EQ(MakeCollectionKey(7), "I_7");
  EXPECT_EQ(MakeCollectionKey(-12), "I_-12");
  EXPECT_EQ(MakeCollectionKey(std::string("a b")), "I_a b");
}

TEST(modGenFunctions, NumbersFromText) {
  EXPECT_EQ(StrToLong(""), 0);
  EXPECT_EQ(StrToLong("abc"), 0);
  EXPECT_EQ(StrToLong("12abc"), 0);
  EXPECT_EQ(StrToLong(" 42 "), 42);
  EXPECT_EQ(StrToLong(" 100"), 100);
  EXPECT_EQ(StrToLong("-7"), -7);
  EXPECT_EQ(StrToLong("2.5"), 2);
  EXPECT_EQ(StrToLong("3.5"), 4);
  EXPECT_EQ(StrToLong("1E3"), 1000);
  EXPECT_EQ(StrToLong("2147483647"), INT32_MAX);
  EXPECT_EQ(errorNumberOf([] { StrToLong("2147483648"); }), kErrOverflow);
  EXPECT_EQ(errorNumberOf([] { StrToLong("1e400"); }), kErrOverflow);
}

TEST(modGenFunctions, SmallTextHelpers) {
  std::string xml = "a<b> & \"c\" 'd'";
  EXPECT_EQ(EncodeXMLChars(xml), "a&lt;b&gt; & &quot;c&quot; 'd'");
  std::string name = "2025-01-02 10:11:12 a/b\\c";
  EXPECT_EQ(MakeValidFileName(name), "2025-01-02_10-11-12_a-b-c");
  EXPECT_EQ(ZeroPad(8, 5), "000");
  EXPECT_EQ(ZeroPad(4, 4), "");
  EXPECT_EQ(errorNumberOf([] { ZeroPad(2, 3); }), kErrInvalidCall);
  std::string buffer("path\0garbage", 12);
  EXPECT_EQ(TrimAtNullChar(buffer), "path");
  EXPECT_TRUE(IsEmptyString(""));
  EXPECT_FALSE(IsEmptyString(" "));
}

TEST(modGenFunctions, FormattedDates) {
  platform::setFixedTime(QDateTime(QDate(2024, 2, 28), QTime(23, 58, 7)));
  EXPECT_EQ(GetFormattedDate("n", 0, "yyyy-mm-dd hh:mm:ss"), "2024-02-28 23:58:07");
  EXPECT_EQ(GetFormattedDate("n", 3, "yyyy-mm-dd hh:mm:ss"), "2024-02-29 00:01:07");
  EXPECT_EQ(GetFormattedDate("d", -28, "mm-dd hh:mm"), "01-31 23:58");
  EXPECT_EQ(GetFormattedDate("m", 1, "yyyymmdd"), "20240328");
  EXPECT_EQ(GetFormattedDate("n", 0, "d mmm yy, h:nn"), "28 Feb 24, 23:58");
  EXPECT_EQ(GetFormattedDate("q", -1, "yyyymmdd"), "20231128");
  EXPECT_EQ(errorNumberOf([] { GetFormattedDate("x", 1, "yyyy"); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([] { GetFormattedDate("q", INT32_MAX, "yyyy"); }), kErrOverflow);
  platform::clearFixedTime();
}

TEST(modGenFunctions, MessageBoxUsesTheOwnerAndAnswers) {
  RecordingMessageBox boxes;
  boxes.answerNext(platform::kMbResultYes);
  EXPECT_EQ(ShowMessageBox("Delete?", platform::kMbYesNo, kAppTitle), platform::kMbResultYes);
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "Delete?");
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbYesNo);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
}

TEST(modGenFunctions, DroppedFiles) {
  EXPECT_FALSE(GetDroppedFiles(nullptr).has_value());
  QMimeData text;
  text.setText("not files");
  EXPECT_FALSE(GetDroppedFiles(&text).has_value());
  QMimeData files;
  files.setUrls({QUrl::fromLocalFile("/tmp/b.txt"), QUrl::fromLocalFile("/tmp/a dir")});
  const auto dropped = GetDroppedFiles(&files);
  ASSERT_TRUE(dropped.has_value());
  EXPECT_EQ(*dropped, (std::vector<std::string>{"/tmp/b.txt", "/tmp/a dir"}));
}

TEST(modGenFunctions, ActivateFormRestoresAndShows) {
  QWidget owner;
  modGenGlobals::AppOwnerForm = &owner;
  QWidget window;
  window.showMinimized();
  ActivateForm(&window);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_EQ(window.windowHandle()->transientParent(), owner.windowHandle());
  modGenGlobals::AppOwnerForm = nullptr;
  EXPECT_EQ(errorNumberOf([] { ActivateForm(nullptr); }), kErrObjectNotSet);
}
