// The main window's desktop side: the activity log replayed at login, the
// new-message hot key, the help menu, and showing folders.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "HotKeyTable.h"
#include "MessageCenterServices.h"
#include "ModalDriver.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ShellOpen.h"
#include "clsApplicationSetting.h"
#include "clsTrayManager.h"
#include "frmInternalServices.h"
#include "frmLogin.h"
#include "frmMessage.h"
#include "frmMessageCenter.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modMenuManager.h"

namespace {

class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::shell::setShellRecorder([this](const platform::shell::ShellRequest& request) {
      opened.push_back(request.target);
      return shellWorks;
    });
  }
  void TearDown() override { platform::shell::setShellRecorder({}); }

  void logIn(const std::string& name) {
    onNextModal<frmLogin>([name](frmLogin* login) {
      control<QComboBox>(login, "cboUserName")->setEditText(QString::fromStdString(name));
      control<QLineEdit>(login, "txtPassword")->setText("pw");
      control<QPushButton>(login, "cmdOK")->click();
    });
  }

  static void trigger(QWidget& window, const char* name) {
    QAction* action = window.findChild<QAction*>(name);
    ASSERT_NE(action, nullptr) << name;
    action->trigger();
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.107"};
  RecordingMessageBox boxes{platform::kMbResultNo};
  std::vector<std::string> opened;
  bool shellWorks = true;
};

}  // namespace

TEST_F(Desktop, StoredActivitiesAreShownAtLoginAndTheHotKeyOpensAMessage) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  ProgramTestEnvironment::addAccount("BOB", "pw");
  {
    frmMessageCenter messageCenter;
    logIn("BOB");
    ASSERT_EQ(messageCenter.Form_Load(), frmMessageCenter::LoadResult::kRunning);
    MessageCenterServices::AddActivity(MessageCenterServices::kIncomingFiles,
                                       "01-02 03:04||For Ann", MessageCenterServices::kReceivedFile,
                                       "/in/a.txt", ann);
    messageCenter.Form_Unload();
  }
  modGlobalVariables::CurrentLocalUserUID.clear();
  frmMessageCenter messageCenter;
  logIn("ANN");
  ASSERT_EQ(messageCenter.Form_Load(), frmMessageCenter::LoadResult::kRunning);
  ASSERT_EQ(messageCenter.ActivityItems().size(), 1u);
  EXPECT_EQ(messageCenter.ActivityItems()[0].subItem, "For Ann");
  EXPECT_EQ(messageCenter.ActivityItems()[0].tag, "1||/in/a.txt");
  EXPECT_EQ(
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::ActivityLog, ann, true)->CountAll(),
      0);  // shown once, then gone

  // The options' hot key (Ctrl+Alt+M) opens a new message.
  ASSERT_GT(messageCenter.HotKeyId(), 0);
  ASSERT_TRUE(platform::HotKeyTable::instance().press(
      platform::kHotKeyControl | platform::kHotKeyAlt, 'M'));
  QApplication::processEvents();
  EXPECT_NE(messageCenter.findChild<frmMessage*>(), nullptr);
  messageCenter.Form_Unload();
  EXPECT_FALSE(platform::HotKeyTable::instance().isTaken(
      platform::kHotKeyControl | platform::kHotKeyAlt, 'M'));
  ASSERT_NE(messageCenter.TrayIcon(), nullptr);
  EXPECT_EQ(messageCenter.TrayIcon()->State(), 0);
}

TEST_F(Desktop, TheHelpMenuSaysWhatItCannotOpen) {
  modGlobalVariables::CurrentLocalUserUID = ProgramTestEnvironment::addAccount("ANN", "pw");
  ASSERT_FALSE(modGenApplicationSetting::CheckRequiredFiles());  // the settings from their template
  ApplicationSetting = std::make_unique<clsApplicationSetting>();
  ApplicationSetting->SetXMLAppNameSpace("TVR");
  frmMessageCenter messageCenter;

  // No help file installed: asked whether to look for it; No says why nothing opens.
  trigger(messageCenter, "mnuHelpOpen");
  ASSERT_EQ(boxes.shown().size(), 2u);
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbYesNo | platform::kMbQuestion);
  EXPECT_NE(boxes.shown()[1].text.find("Help cannot be shown"), std::string::npos);
  EXPECT_TRUE(opened.empty());

  const std::string text = environment.root() + "/help.txt";
  const std::string help = environment.root() + "/TVRHelp.chm";
  for (const std::string& path : {text, help})
    QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly);
  ApplicationSetting->SaveAppSetting("HFL", text);  // not a help file: asked again
  boxes.clear();
  trigger(messageCenter, "mnuHelpOpen");
  EXPECT_EQ(boxes.shown().size(), 2u);
  EXPECT_TRUE(opened.empty());

  ApplicationSetting->SaveAppSetting("HFL", help);
  boxes.clear();
  trigger(messageCenter, "mnuHelpOpen");
  EXPECT_TRUE(boxes.shown().empty());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], help);
  shellWorks = false;  // a desktop without a viewer for it
  trigger(messageCenter, "mnuHelpOpen");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_NE(boxes.shown()[0].text.find("could not be shown"), std::string::npos);

  opened.clear();
  boxes.clear();
  trigger(messageCenter, "mnuHelpMakerWebSite");
  trigger(messageCenter, "mnuHelpEmailMaker");
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].rfind("https://", 0), 0u);
  EXPECT_EQ(opened[1].rfind("mailto:", 0), 0u);
  // The desktop could not open them: nothing is shown.
  EXPECT_TRUE(boxes.shown().empty());
  ApplicationSetting.reset();
}

// A received file opened from its activity row: the desktop opens it, or
// the person is told that it could not be opened, or that it is gone.
TEST_F(Desktop, AReceivedFileOpensFromItsRowOrSaysWhyNot) {
  const std::string path = environment.root() + "/report.txt";
  QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly);
  frmMessageCenter messageCenter;
  messageCenter.AddActivity(MessageCenterServices::kIncomingFiles, "01-02 03:04||report.txt",
                            MessageCenterServices::kReceivedFile, path, "");
  messageCenter.AddActivity(MessageCenterServices::kIncomingFiles, "01-02 03:05||gone.txt",
                            MessageCenterServices::kReceivedFile, path + ".gone", "");
  auto* list = messageCenter.findChild<QTreeWidget*>("lvActivity4");
  ASSERT_NE(list, nullptr);
  const struct {
    const char* name;
    int row;
    bool desktopOpens;
    std::string box;  // "" for none
  } cases[] = {
      {"opened", 0, true, ""},
      {"the desktop cannot open it", 0, false,
       modGenFunctionsResource::GetResourceMessage(20202, {path})},
      {"gone", 1, true, modGenFunctionsResource::GetResourceMessage(20201, {path + ".gone"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    opened.clear();
    boxes.clear();
    shellWorks = c.desktopOpens;
    emit list->itemDoubleClicked(list->topLevelItem(c.row), 0);
    EXPECT_EQ(opened, c.row == 0 ? std::vector<std::string>{path} : std::vector<std::string>{});
    ASSERT_EQ(boxes.shown().size(), c.box.empty() ? 0u : 1u);
    if (!c.box.empty()) {
      EXPECT_EQ(boxes.shown()[0].text, c.box);
    }
  }
}

TEST_F(Desktop, FoldersAreMadeWhenMissingAndShown) {
  modLocalUserFunctions::LocalUserOptions.UploadFolder = environment.root() + "/in/files";
  modMenuManager::ExploreFolder(nullptr, modMenuManager::kUploadFolder);
  EXPECT_TRUE(QDir(QString::fromStdString(environment.root() + "/in/files")).exists());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], environment.root() + "/in/files");
  EXPECT_TRUE(boxes.shown().empty());
  shellWorks = false;
  modMenuManager::ExploreFolder(nullptr, modMenuManager::kGivenFolder, environment.root());
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "The folder " + environment.root() + " could not be opened.");
}
