#include "frmOptions.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <string>
#include <vector>

#include "MessageBox.h"
#include "ModalDriver.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "RegistryStore.h"
#include "StoredText.h"
#include "clsGenRegistryManager.h"
#include "frmInputIP.h"
#include "frmInternalServices.h"
#include "frmMessageCenter.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

using namespace modLocalUserFunctions;

namespace {

constexpr auto accountField = &ProgramTestEnvironment::accountField;

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ann = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  }
  void logIn(const std::string& uid) {
    modGlobalVariables::CurrentLocalUserUID = uid;
    LoadLocalUserOptions(LocalUserOptions, false, "", "");
  }
  static void selectAccount(frmOptions& dialog, const std::string& uid) {
    auto* list = control<QListWidget>(&dialog, "lstLocalUsers");
    for (int row = 0; row < list->count(); ++row) {
      if (list->item(row)->data(Qt::UserRole).toString().toStdString() == uid)
        list->setCurrentRow(row);
    }
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  frmMessageCenter messageCenter;
  RecordingMessageBox boxes;
  std::string ann;
  std::string bob;
};

}  // namespace

TEST_F(OptionsDialog, SavingTheLoggedInAccountWritesItsRowAndOptions) {
  logIn(ann);
  frmOptions dialog;
  EXPECT_FALSE(dialog.IsNewAccount());
  EXPECT_EQ(control<QLineEdit>(&dialog, "txtUserName")->text(), "ANN");
  EXPECT_TRUE(control<QLineEdit>(&dialog, "txtUserName")->isReadOnly());
  EXPECT_EQ(control<QLineEdit>(&dialog, "txtFirstName")->text(), "Ann");
  EXPECT_EQ(control<QLineEdit>(&dialog, "txtPassword")->text(), "");
  EXPECT_TRUE(control<QCheckBox>(&dialog, "chkShareMyUserList")->isChecked());

  // Same names, empty password box: the password and "CS" stay.
  control<QCheckBox>(&dialog, "chkShareMyUserList")->setChecked(false);
  control<QCheckBox>(&dialog, "chkLoadAtStartup")->setChecked(true);
  control<QSpinBox>(&dialog, "txtDeleteInterval")->setValue(30);
  auto* intervalType = control<QComboBox>(&dialog, "cboDeleteIntervalType");
  intervalType->setCurrentIndex(intervalType->findData(2));
  control<QListWidget>(&dialog, "lstFilterIP")->addItems({"10.*.*.*", "192.168.1.7"});
  control<QLineEdit>(&dialog, "txtPrimaryServerIP")->setText("10.0.0.1");
  control<QPlainTextEdit>(&dialog, "txtSignature")->setPlainText("Ann Lee\nSales");
  control<QLineEdit>(&dialog, "txtUploadFolder")->setText("  /home/ann/in  ");
  ASSERT_TRUE(dialog.SaveOptions());
  EXPECT_EQ(LocalUserOptions.UploadFolder, "/home/ann/in");
  EXPECT_EQ(accountField(ann, kLocalUserPW), "pw");
  EXPECT_EQ(accountField(ann, kLocalUserCS), "1");
  EXPECT_EQ(accountField(ann, kLocalUserPA), "ANN");
  EXPECT_EQ(accountField(ann, kLocalUserSI), "Ann Lee||%_CRLF_%||Sales");
  EXPECT_EQ(accountField(ann, kLocalUserFIP), "10.*.*.*||192.168.1.7");
  EXPECT_EQ(accountField(ann, kLocalUserPSIP), "10.0.0.1");
  EXPECT_FALSE(LocalUserOptions.ShareMyUserList);
  EXPECT_TRUE(LocalUserOptions.LoadAtStartup);
  EXPECT_EQ(LocalUserOptions.DeleteInterval, 30);
  EXPECT_EQ(LocalUserOptions.DeleteIntervalType, 2);
  EXPECT_EQ(accountField(ann, kLocalUserOP), BuildOptionsString(LocalUserOptions));

  // Reloaded from the saved row, the options come back the same.
  const UserOptions saved = LocalUserOptions;
  LoadLocalUserOptions(LocalUserOptions, false, "", "");
  EXPECT_EQ(LocalUserOptions, saved);
  frmOptions reopened;
  EXPECT_EQ(reopened.findChild<QPlainTextEdit*>("txtSignature")->toPlainText(), "Ann Lee\nSales");
  EXPECT_EQ(reopened.findChild<QListWidget*>("lstFilterIP")->count(), 2);

  // New names and a new password: both written, "CS" rises.
  control<QLineEdit>(&reopened, "txtLastName")->setText("Lee-Roy");
  control<QLineEdit>(&reopened, "txtPassword")->setText("new");
  ASSERT_TRUE(reopened.SaveOptions());
  EXPECT_EQ(accountField(ann, kLocalUserLN), "Lee-Roy");
  EXPECT_EQ(accountField(ann, kLocalUserPW), "new");
  EXPECT_EQ(accountField(ann, kLocalUserCS), "2");
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_NE(storedText(environment.dataFolder() + "/D001.dat", true)
                .find("Lee-Roy"),
            std::string::npos);
}

TEST_F(OptionsDialog, ANewAccountNeedsAFreePlainNameAndFoldersWithoutTheSeparator) {
  struct Case {
    std::string name;
    std::string folder;
    int message;
  };
  const std::vector<Case> refused = {{"bob", "", 10012},
                                     {"a/b", "", 10013},
                                     {"..", "", 10013},
                                     {"x\\y", "", 10013},
                                     {"zoe", "/tmp/a||b", 10014}};
  for (const Case& refusal : refused) {
    SCOPED_TRACE(refusal.name);
    boxes.clear();
    bool stillOpen = false;
    QString focusedBox;
    int shownTab = -1;
    onNextModal<frmOptions>([&](frmOptions* dialog) {
      control<QLineEdit>(dialog, "txtUserName")->setText(QString::fromStdString(refusal.name));
      if (!refusal.folder.empty()) {
        control<QLineEdit>(dialog, "txtUploadFolder")
            ->setText(QString::fromStdString(refusal.folder));
      }
      control<QPushButton>(dialog, "cmdOK")->click();
      stillOpen = dialog->isVisible();
      focusedBox = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
      shownTab = control<QTabWidget>(dialog, "tabOptions")->currentIndex();
      control<QPushButton>(dialog, "cmdCancel")->click();
    });
    frmOptions dialog;
    dialog.CreateNewUser("zoe", "pw", "");
    EXPECT_TRUE(stillOpen);
    // The person is taken to the box to correct.
    const bool folderRefused = refusal.message == 10014;
    EXPECT_EQ(focusedBox, folderRefused ? "txtUploadFolder" : "txtUserName");
    EXPECT_EQ(shownTab, folderRefused ? frmOptions::kNetworkTab : frmOptions::kUserTab);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(refusal.message));
    EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
    EXPECT_EQ(ListLocalUsers().size(), 2u);
    EXPECT_FALSE(modGenFunctionsFile::FolderExists(environment.documentsFolder() + "/Tavinor"));
  }
}

TEST_F(OptionsDialog, RemovingAnAccountAsksFirst) {
  logIn(ann);
  frmOptions dialog;
  EXPECT_TRUE(control<QPushButton>(&dialog, "cmdRemoveLocalUser")->isEnabled());
  selectAccount(dialog, bob);

  boxes.answerNext(platform::kMbResultNo);
  dialog.RemoveLocalUser();
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(12200, {"BOB"}));
  // Enter keeps the account.
  EXPECT_EQ(boxes.shown()[0].flags,
            platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2);
  EXPECT_EQ(ListLocalUsers().size(), 2u);

  boxes.answerNext(platform::kMbResultYes);
  dialog.RemoveLocalUser();
  ASSERT_EQ(ListLocalUsers().size(), 1u);
  EXPECT_EQ(ListLocalUsers()[0].uid, ann);
  EXPECT_EQ(control<QListWidget>(&dialog, "lstLocalUsers")->count(), 1);
  EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, ann);
  EXPECT_FALSE(messageCenter.ExitRequested());
}

TEST_F(OptionsDialog, RemovingTheLoggedInAccountEndsTheProgram) {
  logIn(ann);
  onNextModal<frmOptions>([&](frmOptions* dialog) {
    selectAccount(*dialog, ann);
    boxes.answerNext(platform::kMbResultYes);
    control<QPushButton>(dialog, "cmdRemoveLocalUser")->click();
  });
  frmOptions dialog;
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);  // closed by the exit command
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
  EXPECT_TRUE(messageCenter.ExitRequested());
  ASSERT_EQ(ListLocalUsers().size(), 1u);
  EXPECT_EQ(ListLocalUsers()[0].uid, bob);
}

TEST_F(OptionsDialog, ANewAccountStartsAtTheFirstBoxToTypeAndNeedsAPassword) {
  bool checked = false;
  onNextModal<frmOptions>([&](frmOptions* dialog) {
    auto* ok = control<QPushButton>(dialog, "cmdOK");
    auto* password = control<QLineEdit>(dialog, "txtPassword");
    EXPECT_EQ(dialog->focusWidget(), password);
    EXPECT_FALSE(ok->isEnabled());  // such an account could never log in
    password->setText("pw");
    EXPECT_TRUE(ok->isEnabled());
    checked = true;
    control<QPushButton>(dialog, "cmdCancel")->click();
  });
  frmOptions withoutPassword;
  withoutPassword.CreateNewUser("zoe", "", "");
  EXPECT_TRUE(checked);

  // Name and password typed at the login: the first name is next.
  checked = false;
  onNextModal<frmOptions>([&](frmOptions* dialog) {
    EXPECT_EQ(dialog->focusWidget(), control<QLineEdit>(dialog, "txtFirstName"));
    checked = true;
    control<QPushButton>(dialog, "cmdCancel")->click();
  });
  frmOptions withPassword;
  withPassword.CreateNewUser("zoe", "pw", "");
  EXPECT_TRUE(checked);
}

TEST_F(OptionsDialog, TabLeavesTheSignatureInsteadOfTypingIntoIt) {
  logIn(ann);
  frmOptions dialog;
  auto* signature = control<QPlainTextEdit>(&dialog, "txtSignature");
  signature->setPlainText("Ann");
  QTest::keyClick(signature, Qt::Key_Tab);
  EXPECT_EQ(signature->toPlainText(), "Ann");
}

TEST_F(OptionsDialog, TheStartAtLogonBoxWritesTheLogonEntryOnlyWhenChanged) {
  const std::string entry = platform::RegistryStore::autostartFolder() + "/Tavinor.desktop";
  const std::string program = QCoreApplication::applicationFilePath().toStdString();
  auto runValue = [] {
    return std::get<std::string>(clsGenRegistryManager().QueryValue(
        kHkeyCurrentUser, platform::kRunKeyPath, "Tavinor", "<none>"));
  };
  logIn(ann);

  // Unchanged: nothing is written anywhere.
  {
    frmOptions dialog;
    EXPECT_FALSE(control<QCheckBox>(&dialog, "chkLoadAtStartup")->isChecked());
    ASSERT_TRUE(dialog.SaveOptions());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(platform::RegistryStore::defaultFile())));
    EXPECT_FALSE(modGenFunctionsFile::FileExists(entry));
  }
  {
    frmOptions dialog;
    control<QCheckBox>(&dialog, "chkLoadAtStartup")->setChecked(true);
    ASSERT_TRUE(dialog.SaveOptions());
    EXPECT_EQ(runValue(), program);
    EXPECT_NE(modGenFunctionsFile::ReadFileContent(entry).find(program), std::string::npos);
  }
  // The box shows the saved option; saving it unchanged does not write the
  // entry again (removed here by hand).
  modGenFunctionsFile::DeleteFileIfExists(entry);
  {
    frmOptions dialog;
    EXPECT_TRUE(control<QCheckBox>(&dialog, "chkLoadAtStartup")->isChecked());
    ASSERT_TRUE(dialog.SaveOptions());
    EXPECT_FALSE(modGenFunctionsFile::FileExists(entry));
  }
  modGenApplicationSetting::SetStartAtLogon(1);
  ASSERT_TRUE(modGenFunctionsFile::FileExists(entry));
  {
    frmOptions dialog;
    control<QCheckBox>(&dialog, "chkLoadAtStartup")->setChecked(false);
    ASSERT_TRUE(dialog.SaveOptions());
    EXPECT_EQ(runValue(), "<none>");
    EXPECT_FALSE(modGenFunctionsFile::FileExists(entry));
    EXPECT_FALSE(LocalUserOptions.LoadAtStartup);
  }
}

TEST_F(OptionsDialog, OnlyASavedNewAccountGetsItsFolders) {
  const std::string tavinor = environment.documentsFolder() + "/Tavinor";
  onNextModal<frmOptions>(
      [](frmOptions* dialog) { control<QPushButton>(dialog, "cmdCancel")->click(); });
  frmOptions cancelled;
  cancelled.CreateNewUser("zoe", "pw", "");
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
  EXPECT_FALSE(modGenFunctionsFile::FolderExists(tavinor));

  onNextModal<frmOptions>(
      [](frmOptions* dialog) { control<QPushButton>(dialog, "cmdOK")->click(); });
  frmOptions saved;
  saved.CreateNewUser("zoe", "pw", "");
  ASSERT_FALSE(modGlobalVariables::CurrentLocalUserUID.empty());
  EXPECT_EQ(LocalUserOptions.UploadFolder, tavinor + "/ZOE/Transferts");
  EXPECT_TRUE(modGenFunctionsFile::FolderExists(LocalUserOptions.UploadFolder));
  EXPECT_TRUE(modGenFunctionsFile::FolderExists(LocalUserOptions.MessageSavingFolder));
}

// The hot key is pressed into its box and tested when saved; filter entries
// are typed in the IP entry dialog.
TEST_F(OptionsDialog, TheHotKeyIsPressedAndFilterEntriesAreTypedInTheIPDialog) {
  logIn(ann);
  frmOptions dialog;
  auto* hotKey = control<QLineEdit>(&dialog, "txtAppHotKey");
  QTest::keyClick(hotKey, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(hotKey->text(), "CTRL+SHIFT+K");

  onNextModal<frmInputIP>([](frmInputIP* ip) {
    QTest::keyClicks(ip->IPParts()[0], "10");
    QTest::keyClicks(ip->IPParts()[1], "*");
    QTest::keyClicks(ip->IPParts()[2], "*");
    QTest::keyClicks(ip->IPParts()[3], "7");
    control<QPushButton>(ip, "cmdOK")->click();
  });
  control<QPushButton>(&dialog, "cmdAddFilterIP")->click();
  auto* filter = control<QListWidget>(&dialog, "lstFilterIP");
  ASSERT_EQ(filter->count(), 1);
  EXPECT_EQ(filter->item(0)->text(), "10.*.*.7");
  filter->setCurrentRow(0);
  onNextModal<frmInputIP>([](frmInputIP* ip) { ip->reject(); });
  control<QPushButton>(&dialog, "cmdEditFilterIP")->click();
  EXPECT_EQ(filter->item(0)->text(), "10.*.*.7");  // cancelled: unchanged

  ASSERT_TRUE(dialog.SaveOptions());
  EXPECT_EQ(LocalUserOptions.AppHotKey, "CTRL+SHIFT+K");
  EXPECT_EQ(accountField(ann, kLocalUserFIP), "10.*.*.7");
  ASSERT_EQ(boxes.shown().size(), 1u);  // the changed hot key was tested
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(11505));
}
