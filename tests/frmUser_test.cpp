#include <gtest/gtest.h>

#include <QFile>
#include <QTreeWidget>

#include "ErrorNumber.h"
#include "MessageBox.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "StoredText.h"
#include "clsActionManager.h"
#include "frmInternalServices.h"
#include "frmUser.h"
#include "modCOMFunctions.h"
#include "modFileTransfer.h"
#include "modGenFunctionsFile.h"
#include "modGlobalVariables.h"

namespace {

class UserManager : public ::testing::Test {
 protected:
  void SetUp() override {
    account = ProgramTestEnvironment::addAccount("BOB", "pw");
    modGlobalVariables::CurrentLocalUserUID = account;
    ann = addUser("Lee", "Ann", "127.0.0.105");
    cid = addUser("Roy", "Cid", "127.0.0.106");
    PoolLoan received(modGlobalVariables::MessRec);
    for (const std::string& sender : {ann, cid}) {
      received->CreateNewRow(true, 0);
      received->SetField(1, sender);
      received->SetField(4, "hello");
      received->AddCurrentRow();
    }
    received->SaveXMLDoc();
  }
  void TearDown() override { ReleaseActionManager(false); }

  static std::string addUser(const char* last, const char* first, const char* address) {
    PoolLoan users(modGlobalVariables::User);
    const std::string uid = users->CreateNewRow(true, 0);
    users->SetField(2, last);
    users->SetField(3, first);
    users->SetField(7, address);
    users->AddCurrentRow();
    users->SaveXMLDoc();
    return uid;
  }

  // "group:member,member;" from the group file on disk.
  std::string groupsOnDisk() const {
    return ProgramTestEnvironment::groupsInFile(environment.dataFolder() + "/BOB/D004.dat");
  }

  static void select(QTreeWidget* list, const std::string& key) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QTreeWidgetItem* row = list->topLevelItem(i);
      row->setSelected(row->data(0, Qt::UserRole).toString().toStdString() == key);
      if (row->isSelected()) list->setCurrentItem(row);
    }
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  RecordingMessageBox boxes{platform::kMbResultYes};
  std::string account, ann, cid;
};

}  // namespace

TEST_F(UserManager, GroupsTakeMovesAndLoseMembers) {
  frmUser users;
  EXPECT_EQ(users.lvUsers()->topLevelItemCount(), 2);
  const std::string team = users.AddGroup("Team");
  const std::string other = users.AddGroup("Other");
  EXPECT_EQ(users.AddGroup(""), "");
  users.AddMember(team, ann);
  users.AddMember(team, ann);  // once only
  users.AddMember(team, cid);
  EXPECT_EQ(groupsOnDisk(), "Team:" + ann + "," + cid + ",;Other:;");
  users.MoveMember(team, other, ann);
  EXPECT_EQ(groupsOnDisk(), "Team:" + cid + ",;Other:" + ann + ",;");
  ASSERT_EQ(users.tvGroups()->topLevelItemCount(), 2);
  EXPECT_EQ(users.tvGroups()->topLevelItem(1)->child(0)->text(0), "Lee, Ann");

  // A selected member leaves his group; a selected group goes.
  users.tvGroups()->setCurrentItem(users.tvGroups()->topLevelItem(0)->child(0));
  users.DeleteGroup();
  EXPECT_EQ(groupsOnDisk(), "Team:;Other:" + ann + ",;");
  // A group goes only when the person says so.
  users.tvGroups()->setCurrentItem(users.tvGroups()->topLevelItem(0));
  boxes.clear();
  boxes.answerNext(platform::kMbResultNo);
  users.DeleteGroup();
  EXPECT_EQ(groupsOnDisk(), "Team:;Other:" + ann + ",;");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_NE(boxes.shown()[0].text.find("delete the group Team?"), std::string::npos);
  users.DeleteGroup();
  EXPECT_EQ(groupsOnDisk(), "Other:" + ann + ",;");
}

TEST_F(UserManager, RemovingAUserTakesHisMembershipsAndOnRequestHisMessages) {
  frmUser users;
  const std::string team = users.AddGroup("Team");
  users.AddMember(team, ann);
  users.AddMember(team, cid);
  select(users.lvUsers(), ann);
  users.DeleteSelectedUser(false);
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_NE(boxes.shown()[0].text.find("messages of the removed users"), std::string::npos);
  EXPECT_EQ(groupsOnDisk(), "Team:" + cid + ",;");
  ASSERT_EQ(users.lvUsers()->topLevelItemCount(), 1);
  const std::string directory =
      storedText(environment.dataFolder() + "/BOB/D010.dat", true);
  EXPECT_EQ(directory.find(ann), std::string::npos);
  const std::string received =
      storedText(environment.dataFolder() + "/BOB/D008.dat", true);
  EXPECT_EQ(received.find(ann), std::string::npos);  // Ann's message went with her
  EXPECT_NE(received.find(cid), std::string::npos);

  // Answered No, the messages stay.
  boxes.answerNext(platform::kMbResultNo);
  select(users.lvUsers(), cid);
  users.DeleteSelectedUser(false);
  EXPECT_NE(storedText(environment.dataFolder() + "/BOB/D008.dat", true)
                .find(cid),
            std::string::npos);
  EXPECT_EQ(users.lvUsers()->topLevelItemCount(), 0);
}

TEST_F(UserManager, FilesDroppedOnAUserAreQueuedOnePerFile) {
  const QString folder = QString::fromStdString(environment.root());
  for (const char* name : {"/a.txt", "/b.txt"}) {
    QFile file(folder + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
  }
  frmUser users;
  EXPECT_EQ(
      users.SendFilesToUser(ann, {environment.root() + "/a.txt", environment.root() + "/b.txt"}),
      2);
  EXPECT_EQ(users.SendFilesToUser("", {environment.root() + "/a.txt"}), 0);
  EXPECT_EQ(ActionManager().Actions().CountAll(), 2);
  // Whatever calls it, nothing goes to a person without an address.
  const std::string nowhere = addUser("Day", "Dee", "");
  EXPECT_EQ(errorNumberOf([&] {
              modFileTransfer::SendDroppedFilesToUser(nowhere, {environment.root() + "/a.txt"});
            }),
            modCOMFunctions::kErrNoRecipientAddress);
  EXPECT_EQ(ActionManager().Actions().CountAll(), 2);
}
