#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <functional>

#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"

using namespace modGenFunctionsResource;

namespace {

const char* const kSample =
    "MSG1=before any header is ignored\r\n"
    "|[MESSAGES]|\r\n"
    "   // a comment |[MESSAGE STATUS]| MSG2=not read\r\n"
    "\r\n"
    "MSG10=Hello // not a comment\r\n"
    "MSG11=first text\r\n"
    "MSG11=second text\r\n"
    "MSG12=kept=dropped\r\n"
    "MSG13=From %% to %%.\r\n"
    "msg14=any case\r\n"
    "|[message priority options]|\r\n"
    " 1 = Low\r\n"
    "2=Normal\r\n"
    "3=High\r\n"
    "|[NO SUCH SECTION]|\r\n"
    "99=lost\r\n"
    "|[FILES EXTENSION VIRUS CHECK]|\r\n"
    "1=EXE\r\n"
    "2=vbs\r\n";

class ResourceTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {100, 201, 203, 210}) GetResourceSection(id).clear();
    loadResourceText(kSample);
  }
};

}  // namespace

TEST_F(ResourceTexts, LineRules) {
  EXPECT_EQ(GetResourceMessage(10), "Hello // not a comment");
  EXPECT_EQ(GetResourceMessage(11), "first text");  // a duplicate keeps the first
  EXPECT_EQ(GetResourceMessage(12), "kept");
  EXPECT_EQ(GetResourceMessage(14), "any case");
  EXPECT_EQ(errorNumberOf([] { GetResourceMessage(1); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([] { GetResourceMessage(2); }), kErrInvalidCall);
  EXPECT_EQ(GetResourceSection(203).count(), 0u);
  EXPECT_EQ(GetResourceSection(100).count(), 5u);
}

TEST_F(ResourceTexts, ListItems) {
  EXPECT_EQ(GetResourceListText(201, 1), " Low");  // key without blanks, text as written
  EXPECT_EQ(GetResourceListText(201, "1"), " Low");
  EXPECT_EQ(GetResourceListText(201, " 2 "), "Normal");
  EXPECT_EQ(errorNumberOf([] { GetResourceListText(201, "i_3"); }), kErrInvalidCall);
  EXPECT_EQ(GetResourceListText(201, ""), "");
  EXPECT_EQ(errorNumberOf([] { GetResourceListText(201, 99); }), kErrInvalidCall);
  EXPECT_EQ(GetResourceSection(201).count(), 3u);  // the unknown header took nothing
  EXPECT_TRUE(FindResourceListItem(210, "exe"));
  EXPECT_TRUE(FindResourceListItem(210, "VBS"));
  EXPECT_FALSE(FindResourceListItem(210, "txt"));
  EXPECT_EQ(GetItemText("I_2||Normal"), "Normal");
  EXPECT_EQ(GetItemText(""), "");
  EXPECT_EQ(MakeSectionKey(100), "C100");
}

TEST_F(ResourceTexts, MessageParameters) {
  EXPECT_EQ(GetResourceMessage(13, {3, 7}), "From 3 to 7.");
  EXPECT_EQ(GetResourceMessage(13, {3, 7, 9}), "From 3 to 7.");
  EXPECT_EQ(GetResourceMessage(13, {"%%", "x"}), "From %% to x.");  // a parameter is not searched again
  EXPECT_EQ(errorNumberOf([] { GetResourceMessage(13, {3}); }), kErrSubscript);

  RecordingMessageBox boxes;
  EXPECT_EQ(GetResourceMessage(13), "From %% to %%.");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "Development error. Parameter for message not provided. 2145075");
  EXPECT_EQ(boxes.shown()[0].flags, 0);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
  EXPECT_EQ(ReplaceMessageParameters("no marks", {}), "no marks");
}

TEST_F(ResourceTexts, FilterAndReload) {
  // Every header met empties its section; only the filtered one is refilled.
  loadResourceText("|[MESSAGES]|\r\nMSG20=new\r\n|[MESSAGE PRIORITY OPTIONS]|\r\n5=Urgent\r\n", 201);
  EXPECT_EQ(GetResourceSection(100).count(), 0u);
  EXPECT_EQ(GetResourceMessage(20), "");  // no messages loaded
  EXPECT_EQ(GetResourceListText(201, 5), "Urgent");
  EXPECT_EQ(GetResourceSection(201).count(), 1u);
}

TEST_F(ResourceTexts, BadLinesAreSkipped) {
  loadResourceText("|[MESSAGES]|\nMSG1=one\r\nno equals sign\r\n   \r\nMSG2=two");
  EXPECT_EQ(GetResourceMessage(1), "one");
  EXPECT_EQ(GetResourceMessage(2), "two");
  EXPECT_EQ(GetResourceSection(100).count(), 2u);
}

TEST_F(ResourceTexts, FillsControlsInFileOrder) {
  QComboBox combo;
  FillComboFromResource(&combo, 201);
  ASSERT_EQ(combo.count(), 3);
  EXPECT_EQ(combo.itemText(0), " Low");
  EXPECT_EQ(combo.itemData(0).toInt(), 1);
  EXPECT_EQ(combo.itemData(2).toInt(), 3);

  QListWidget list;
  list.setSortingEnabled(true);
  FillComboFromResource(&list, 201);
  ASSERT_EQ(list.count(), 3);
  EXPECT_EQ(list.item(1)->text(), "High");  // wherever sorting put it, the data follows
  EXPECT_EQ(list.item(1)->data(Qt::UserRole).toInt(), 3);

  QTreeWidget tree;
  FillTreeFromResource(&tree, 210);
  ASSERT_EQ(tree.topLevelItemCount(), 2);
  EXPECT_EQ(tree.topLevelItem(1)->text(0), "vbs");
  EXPECT_EQ(tree.topLevelItem(1)->data(0, Qt::UserRole).toString(), "I_2");
}

TEST_F(ResourceTexts, LoadsFromAnEncipheredFile) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  loadResourceFileFrom(folder + "/missing.DAT");  // loads nothing, changes nothing
  EXPECT_EQ(GetResourceMessage(10), "Hello // not a comment");

  modGenFunctionsFile::SaveFileContent(folder, kResourceFileName, "|[MESSAGES]|\r\nMSG30=from file", true);
  loadResourceFileFrom(folder + "/" + kResourceFileName);
  EXPECT_EQ(GetResourceMessage(30), "from file");
  EXPECT_EQ(GetResourceSection(100).count(), 1u);
}
