// The program's start-up and shut-down in this process, with the login
// dialog driven while it runs; and the built program itself, started as a
// separate process where a required file is missing.
#include "frmMessageCenter.h"

#include <gtest/gtest.h>

#include <QTest>

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QHelpEvent>
#include <QToolTip>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Clock.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "ModalDriver.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "StoredText.h"
#include "clsApplicationSetting.h"
#include "clsGenAPI.h"
#include "clsTrayManager.h"
#include "frmInternalServices.h"
#include "frmLogin.h"
#include "frmMessage.h"
#include "frmMessageBoard.h"
#include "frmMessageViewer.h"
#include "frmOptions.h"
#include "modGenFunctionsFile.h"
#include "clsGenXMLDocument.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace fs = std::filesystem;
using namespace modLocalUserFunctions;
using LoadResult = frmMessageCenter::LoadResult;

namespace {

constexpr auto accountField = &ProgramTestEnvironment::accountField;

// Logs in through the login dialog; an unknown name is created on the way.
void driveLogin(const std::string& name, const std::string& password) {
  onNextModal<frmLogin>([=](frmLogin* login) {
    control<QComboBox>(login, "cboUserName")->setEditText(QString::fromStdString(name));
    control<QLineEdit>(login, "txtPassword")->setText(QString::fromStdString(password));
    onNextModal<frmOptions>([](frmOptions* options) {
      control<QLineEdit>(options, "txtFirstName")->setText("Ann");
      control<QLineEdit>(options, "txtLastName")->setText("Lee");
      control<QPushButton>(options, "cmdOK")->click();
    });
    control<QPushButton>(login, "cmdOK")->click();
  });
}

// Logs a known account in through the login dialog.
void driveKnownLogin(const char* name, const char* password) {
  onNextModal<frmLogin>([=](frmLogin* login) {
    control<QComboBox>(login, "cboUserName")->setEditText(name);
    control<QLineEdit>(login, "txtPassword")->setText(password);
    control<QPushButton>(login, "cmdOK")->click();
  });
}

class StartUp : public ::testing::Test {
 protected:
  std::string settingsText() const {
    return modGenFunctionsFile::ReadFileContent(environment.dataFolder() + "/D000.Dat", true);
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.8"};
  RecordingMessageBox boxes{platform::kMbResultYes};
};

}  // namespace

TEST_F(StartUp, FirstRunCreatesTheSettingsAndLogsTheNewAccountIn) {
  ASSERT_FALSE(modGenFunctionsFile::FileExists(environment.dataFolder() + "/D000.Dat"));
  std::string uid;
  {
    frmMessageCenter messageCenter;
    driveLogin("ann", "pw");
    ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
    uid = modGlobalVariables::CurrentLocalUserUID;
    ASSERT_FALSE(uid.empty());
    ASSERT_TRUE(ApplicationSetting);
    EXPECT_EQ(ApplicationSetting->GetAppSetting("PV"), frmMessageCenter::kProgramVersion);
    EXPECT_EQ(ApplicationSetting->GetAppSetting("LLU"), uid);
    EXPECT_EQ(LocalUserOptions.UploadFolder,
              environment.documentsFolder() + "/Tavinor/ANN/Transferts");
    EXPECT_TRUE(LocalUserOptions.ShareMyUserList);

    clsGenAPI api;
    EXPECT_EQ(accountField(uid, kLocalUserIP), "127.0.0.8");
    EXPECT_EQ(accountField(uid, kLocalUserCN), api.GetLocalHostName());
    EXPECT_EQ(accountField(uid, kLocalUserCS), "2");  // the names, then the address
    messageCenter.Form_Unload();
  }
  EXPECT_FALSE(ApplicationSetting);
  const std::string settings = settingsText();
  EXPECT_NE(settings.find(uid), std::string::npos);
  EXPECT_NE(settings.find(frmMessageCenter::kProgramVersion), std::string::npos);
  const std::string accounts =
      storedText(environment.dataFolder() + "/D001.dat", true);
  EXPECT_NE(accounts.find("127.0.0.8"), std::string::npos);

  // The next start preselects the account and keeps its recorded address.
  modGlobalVariables::CurrentLocalUserUID.clear();
  frmMessageCenter again;
  bool preselected = false;
  onNextModal<frmLogin>([&](frmLogin* login) {
    preselected = control<QComboBox>(login, "cboUserName")->currentText() == "ANN";
    control<QLineEdit>(login, "txtPassword")->setText("pw");
    control<QPushButton>(login, "cmdOK")->click();
  });
  ASSERT_EQ(again.Form_Load(), LoadResult::kRunning);
  EXPECT_TRUE(preselected);
  EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, uid);
  EXPECT_EQ(accountField(uid, kLocalUserCS), "2");
  again.Form_Unload();
  EXPECT_EQ(boxes.shown().size(), 1u);  // only the question for the new name
}

TEST_F(StartUp, ACancelledLoginStopsTheStartUpButKeepsTheSettings) {
  frmMessageCenter messageCenter;
  onNextModal<frmLogin>([](frmLogin* login) { control<QPushButton>(login, "cmdCancel")->click(); });
  EXPECT_EQ(messageCenter.Form_Load(), LoadResult::kNoLogin);
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
  messageCenter.Form_Unload();
  EXPECT_NE(settingsText().find(frmMessageCenter::kProgramVersion), std::string::npos);
  EXPECT_TRUE(ListLocalUsers().empty());
}

TEST_F(StartUp, ADamagedOptionsTextFallsBackToTheDefaultsAndIsKept) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string defaults = "T||T||T||T||T||F||F||F||T||T||T||F||F||F||T||T||10||7||1||";
  // 23 items, and a language that is no number.
  for (const std::string& damaged : {defaults + "2||/in||/out||CTRL+ALT+M",
                                    defaults + "two||/in||/out||CTRL+ALT+M||"}) {
    SCOPED_TRACE(damaged);
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      accounts->SetRowFieldByKey(kLocalUserUID, ann, kLocalUserOP, damaged);
      accounts->SetRowFieldByKey(kLocalUserUID, ann, kLocalUserPSIP, "10.0.0.1");
      accounts->SetRowFieldByKey(kLocalUserUID, ann, kLocalUserFIP, "10.*.*.*");
      accounts->SaveXMLDoc();
    }
    LocalUserOptions = {};
    frmMessageCenter messageCenter;
    driveKnownLogin("ann", "pw");
    ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
    EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, ann);
    EXPECT_EQ(LocalUserOptions.UploadFolder,
              environment.documentsFolder() + "/Tavinor/ANN/Transferts");
    EXPECT_EQ(LocalUserOptions.Language, 2);
    EXPECT_TRUE(LocalUserOptions.ShareMyUserList);
    EXPECT_EQ(LocalUserOptions.PrimaryServerIP, "10.0.0.1");
    EXPECT_EQ(LocalUserOptions.FilterIPList, "10.*.*.*");
    EXPECT_EQ(accountField(ann, kLocalUserOP), damaged);
    EXPECT_TRUE(boxes.shown().empty());
    messageCenter.Form_Unload();
    modGlobalVariables::CurrentLocalUserUID.clear();
  }
}

// The board shows unopened received messages only; the automatic-reply text
// reaches the account file at shut-down, and the queue list is in the window.
TEST_F(StartUp, TheRunningWindowShowsTheBoardAndKeepsTheAutomaticReply) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  frmMessageCenter messageCenter;
  driveKnownLogin("ann", "pw");
  ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
  EXPECT_EQ(messageCenter.lvAQ()->columnCount(), 5);
  ASSERT_NE(messageCenter.Connections(), nullptr);
  {
    PoolLoan received(modGlobalVariables::MessRec);
    for (const auto& [uid, status] : {std::pair{"OPENED", "100"}, std::pair{"NEW", "60"},
                                      {"OLD1", "60"}, {"OLD2", "-1"}, {"LATE", "60"}}) {
      received->CreateNewRow(false, 0);
      received->SetFields({0, 1, 2, 4}, {uid, "SOMEONE", status, "Hello there"});
      received->AddCurrentRow();
    }
  }
  frmMessageBoard& board = *messageCenter.MessageBoard();
  MessageCenterServices::AddBoardItem(4, "OPENED");
  EXPECT_EQ(board.ShownMessage(), "");
  MessageCenterServices::AddBoardItem(3, "NEW");
  MessageCenterServices::AddBoardItem(4, "NEW");
  EXPECT_EQ(board.ShownMessage(), "NEW");
  MessageCenterServices::AddBoardItem(4, "MISSING");
  EXPECT_EQ(board.PendingCount(), 1u);  // waits while NEW scrolls
  // The start-up backlog keeps its order; a message that arrives meanwhile
  // is shown next. A click opens the message shown and moves on.
  std::vector<std::string> opened;
  board.SetOpenHandler([&](const std::string& uid) { opened.push_back(uid); });
  board.ReplayBacklog([] {
    for (const char* uid : {"OLD1", "OLD2"}) MessageCenterServices::AddBoardItem(4, uid);
  });
  MessageCenterServices::AddBoardItem(4, "LATE");
  for (int click = 0; click < 4; ++click) QTest::mouseClick(&board, Qt::LeftButton);
  EXPECT_EQ(opened, (std::vector<std::string>{"NEW", "LATE", "OLD1", "OLD2"}));

  // The deletion timer counts its ticks in its tag; a damaged tag stops it.
  LocalUserOptions.DeleteMessageOlderThan = true;
  LocalUserOptions.DeleteIntervalType = 1;
  messageCenter.StartDeleteMessageTimer();
  platform::TimerControl& deletion = messageCenter.tmrDeleteMessage();
  EXPECT_TRUE(deletion.enabled());
  EXPECT_EQ(deletion.tag(), "60||0");
  messageCenter.tmrDeleteMessage_Timer();
  EXPECT_EQ(deletion.tag(), "60||1");
  deletion.setTag("60||60");
  messageCenter.tmrDeleteMessage_Timer();
  EXPECT_EQ(deletion.tag(), "60||0");
  deletion.setTag("60||x");
  messageCenter.tmrDeleteMessage_Timer();
  EXPECT_FALSE(deletion.enabled());
  ASSERT_FALSE(messageCenter.ActivityItems().empty());
  EXPECT_EQ(messageCenter.ActivityItems().back().subItem, "Timer problem... 24341515B");

  messageCenter.chkAutoReply()->setChecked(true);
  messageCenter.txtAutoReplyMessage()->setText("Back on Monday");
  EXPECT_TRUE(MessageCenterServices::AutoReplyOn());
  EXPECT_EQ(MessageCenterServices::AutoReplyText(), "Back on Monday");
  messageCenter.Form_Unload();
  const std::string accounts =
      storedText(environment.dataFolder() + "/D001.dat", true);
  EXPECT_NE(accounts.find("ARM=\"Back on Monday\""), std::string::npos);
  const std::string received =
      storedText(environment.dataFolder() + "/ANN/D008.dat", true);
  EXPECT_NE(received.find("Hello there"), std::string::npos);
}

// The unopened messages found at start-up scroll in their order; a message
// that arrives meanwhile, whichever of them is scrolling then, is shown
// right after it, before the rest of them.
// The collections that a peer's requests look rows up in by UID (the users,
// the sent, received and history messages, the queue), each holding rows on
// disk: once the start is done, each is read and indexed, so that the first
// request after a start costs what any other does however many rows they
// hold.
TEST_F(StartUp, EveryCollectionThatRequestsLookUpIsReadAndIndexedByTheStart) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  struct Collection {
    int32_t classType;
    const char* element;
  };
  const Collection collections[] = {{modGlobalVariables::User, "U"},
                                    {modGlobalVariables::MessSent, "M"},
                                    {modGlobalVariables::MessRec, "M"},
                                    {modGlobalVariables::MessHist, "M"},
                                    {modGlobalVariables::Action, "A"}};
  for (const Collection& collection : collections) {
    const auto rows = modGlobalFunctions::GetUserDataObject(collection.classType, ann, true);
    rows->CreateNewRow(true, 0);
    rows->AddCurrentRow();
    rows->SaveXMLDoc();
  }
  frmMessageCenter messageCenter;
  driveKnownLogin("ann", "pw");
  ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
  for (const Collection& collection : collections) {
    SCOPED_TRACE(collection.classType);
    const XMLDocumentRef& document = modGenGlobals::ClassDocument[collection.classType];
    EXPECT_TRUE(modGenGlobals::ClassDocLoaded[collection.classType]);
    ASSERT_TRUE(document);
    EXPECT_TRUE(document->isIndexed(collection.element, "UID"));
  }
  messageCenter.Form_Unload();
}

TEST_F(StartUp, AMessageArrivingWhileTheStartUpBacklogScrollsIsShownNext) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::vector<std::string> backlog = {"OLD1", "OLD2", "OLD3"};  // two unopened, one automatic
  for (std::size_t arrivesAfter = 0; arrivesAfter <= backlog.size(); ++arrivesAfter) {
    SCOPED_TRACE("arrives after " + std::to_string(arrivesAfter) + " opened");
    {
      const auto received = modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, ann,
                                                                  true);
      received->DeleteAll(false);
      for (const auto& [uid, status] : {std::pair{"OLD1", "60"}, {"OPENED", "100"},
                                        {"OLD3", "-1"}, {"OLD2", "60"}}) {
        received->CreateNewRow(false, 0);
        received->SetFields({0, 1, 2, 4}, {uid, "SOMEONE", status, "Hello there"});
        received->AddCurrentRow();
      }
      received->SaveXMLDoc();
    }
    frmMessageCenter messageCenter;
    driveKnownLogin("ann", "pw");
    ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
    frmMessageBoard& board = *messageCenter.MessageBoard();
    std::vector<std::string> opened;
    board.SetOpenHandler([&](const std::string& uid) { opened.push_back(uid); });
    for (std::size_t click = 0; click < arrivesAfter; ++click) {
      QTest::mouseClick(&board, Qt::LeftButton);
    }
    {
      PoolLoan received(modGlobalVariables::MessRec);
      received->CreateNewRow(false, 0);
      received->SetFields({0, 1, 2, 4}, {"NEW", "SOMEONE", "60", "Just now"});
      received->AddCurrentRow();
    }
    MessageCenterServices::AddBoardItem(MessageCenterServices::kBoardReceivedMessage, "NEW");
    while (!board.ShownMessage().empty()) QTest::mouseClick(&board, Qt::LeftButton);
    std::vector<std::string> expected = backlog;
    expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(
                                           std::min(arrivesAfter + 1, backlog.size())),
                    "NEW");
    EXPECT_EQ(opened, expected);
    messageCenter.Form_Unload();
    modGlobalVariables::CurrentLocalUserUID.clear();
  }
}

namespace {

// What a check of a data file and its journal looks at: a rewrite gives the
// file a new inode, an append makes the journal longer.
struct FileState {
  bool exists = false;
  std::uintmax_t inode = 0;
  std::uintmax_t size = 0;
  std::uintmax_t journalSize = 0;
};

FileState fileState(const fs::path& file) {
  FileState state;
  struct stat info {};
  state.exists = ::stat(file.c_str(), &info) == 0;
  state.inode = info.st_ino;
  state.size = static_cast<std::uintmax_t>(info.st_size);
  std::error_code none;
  const fs::path journal = file.parent_path() / ("." + file.filename().string() + ".jnl");
  state.journalSize = fs::exists(journal) ? fs::file_size(journal, none) : 0;
  return state;
}

}  // namespace

// The timers never rewrite a data file: the display tick writes nothing, the
// save timer appends what changed on its eleventh tick; only the shut-down
// folds the journal into its file.
TEST_F(StartUp, TheTimersAppendAndOnlyTheShutDownRewrites) {
  ProgramTestEnvironment::addAccount("ANN", "pw");
  frmMessageCenter messageCenter;
  driveKnownLogin("ann", "pw");
  ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
  const fs::path received = environment.dataFolder() + "/ANN/D008.dat";
  {
    PoolLoan messages(modGlobalVariables::MessRec);
    messages->CreateNewRow(false, 0);
    messages->SetFields({0, 1, 2, 4}, {"FIRST", "SOMEONE", "60", "Saved at once"});
    messages->AddCurrentRow();
    messages->SaveXMLDoc();
    messages->CreateNewRow(false, 0);
    messages->SetFields({0, 1, 2, 4}, {"LATER", "SOMEONE", "60", "Saved by the timer"});
    messages->AddCurrentRow();
  }
  const FileState start = fileState(received);
  ASSERT_TRUE(start.exists);
  ASSERT_GT(start.journalSize, 0u);
  const auto tick = [](platform::TimerControl& timer, int times) {
    for (int n = 0; n < times; ++n) emit timer.tick();
  };
  const struct {
    const char* what;
    platform::TimerControl& timer;
    int ticks;
    bool appended;
  } rows[] = {{"display ticks", messageCenter.tmrSynchronizeDisplays(), 3, false},
              {"ten save ticks", messageCenter.tmrSaveData(), 10, false},
              {"the eleventh save tick", messageCenter.tmrSaveData(), 1, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const FileState before = fileState(received);
    tick(row.timer, row.ticks);
    const FileState after = fileState(received);
    EXPECT_EQ(after.inode, start.inode);
    EXPECT_EQ(after.size, start.size);
    EXPECT_EQ(after.journalSize > before.journalSize, row.appended);
  }
  messageCenter.Form_Unload();
  const FileState folded = fileState(received);
  EXPECT_EQ(folded.journalSize, 0u);
  EXPECT_NE(folded.inode, start.inode);
  const std::string text = storedText(received.string(), true);
  EXPECT_NE(text.find("Saved by the timer"), std::string::npos);
}

TEST_F(StartUp, ActivitiesOfTheLoggedInPersonAreListedAndOthersAreStored) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  modGlobalVariables::CurrentLocalUserUID = ann;
  frmMessageCenter messageCenter;
  platform::setFixedTime(QDateTime(QDate(2026, 3, 4), QTime(9, 5, 30)));

  MessageCenterServices::AddActivity(MessageCenterServices::kEvents, "Eva has been added.",
                                     MessageCenterServices::kNoItem, "", ann);
  MessageCenterServices::AddActivity(MessageCenterServices::kGeneralInformation, "Started.",
                                     MessageCenterServices::kNoItem, "", "");
  MessageCenterServices::AddActivity(MessageCenterServices::kIncomingMessages, "when||what",
                                     MessageCenterServices::kReceivedMessage, "M1", "");
  platform::clearFixedTime();
  const auto& items = messageCenter.ActivityItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].kind, MessageCenterServices::kEvents);
  EXPECT_EQ(items[0].text, "03-04 09:05");
  EXPECT_EQ(items[0].subItem, "Eva has been added.");
  EXPECT_EQ(items[0].tag, "");
  EXPECT_EQ(items[1].text, "Started.");
  EXPECT_EQ(items[1].subItem, "");
  EXPECT_EQ(items[2].text, "when");
  EXPECT_EQ(items[2].subItem, "what");
  EXPECT_EQ(items[2].tag, "3||M1");

  // Another account's activity waits in its own activity file.
  MessageCenterServices::AddActivity(MessageCenterServices::kIncomingFiles, "A file arrived.",
                                     MessageCenterServices::kReceivedFile, "/tmp/in/a.txt", bob);
  MessageCenterServices::AddActivity(MessageCenterServices::kEvents, "Lost.",
                                     MessageCenterServices::kNoItem, "", "NO-SUCH-ACCOUNT");
  EXPECT_EQ(messageCenter.ActivityItems().size(), 3u);
  const modGlobalFunctions::GenObjectRef log =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::ActivityLog, bob, true);
  ASSERT_EQ(log->CountAll(), 1);
  const pugi::xml_node row = log->XMLDocLinked()->rootElement().first_child();
  EXPECT_EQ(std::string(row.name()), "X");
  EXPECT_EQ(std::string(row.attribute("AT").value()), "1");
  EXPECT_EQ(std::string(row.attribute("TE").value()), "A file arrived.");
  EXPECT_EQ(std::string(row.attribute("EXI").value()), "/tmp/in/a.txt");
  EXPECT_EQ(std::string(row.attribute("RUID").value()), bob);
  EXPECT_EQ(std::string(row.attribute("TC").value()), "4");
  EXPECT_TRUE(modGenFunctionsFile::FileExists(environment.dataFolder() + "/BOB/D007.dat"));
  EXPECT_FALSE(modGenFunctionsFile::FolderExists(environment.dataFolder() + "/NO-SUCH-ACCOUNT"));
}

// Messages in the activity lists open in the viewer (from the history once
// moved there), the tray icon's tooltip is the product's name whatever is unopened,
// the Exit command leaves a compose window holding text only when the
// person agrees (a termination signal does not ask), and the options' always-on-top and tool-tip choices take
// effect both ways.
TEST_F(StartUp, TheRunningWindowOpensMessagesNamesTheProductAndFollowsTheOptions) {
  ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
  frmMessageCenter messageCenter;
  driveKnownLogin("ann", "pw");
  ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
  messageCenter.show();
  ASSERT_NE(messageCenter.TrayIcon(), nullptr);
  EXPECT_EQ(messageCenter.TrayIcon()->Tooltip(), "Tavinor");
  const auto addMessage = [](int32_t classType, const char* uid, const char* status) {
    PoolLoan messages(classType);
    messages->CreateNewRow(false, 0);
    messages->SetFields({0, 1, 2, 4, 8}, {uid, "SOMEONE", status, "Hello there",
                                          classType == modGlobalVariables::MessSent ? "2" : "1"});
    messages->AddCurrentRow();
  };
  addMessage(modGlobalVariables::MessRec, "NEW", "60");
  addMessage(modGlobalVariables::MessRec, "AUTO", "-1");
  addMessage(modGlobalVariables::MessRec, "READ", "100");
  addMessage(modGlobalVariables::MessSent, "OUT", "1");
  addMessage(modGlobalVariables::MessHist, "OLD", "50");
  MessageCenterServices::SynchronizeDisplays(MessageCenterServices::kReceivedDisplay, false);
  EXPECT_EQ(messageCenter.TrayIcon()->Tooltip(), "Tavinor");

  using MessageCenterServices::AddActivity;
  AddActivity(MessageCenterServices::kIncomingMessages, "From someone",
              MessageCenterServices::kReceivedMessage, "NEW", "");
  AddActivity(MessageCenterServices::kOutgoingMessages, "To someone",
              MessageCenterServices::kSentMessage, "OUT", "");
  AddActivity(MessageCenterServices::kOutgoingMessages, "Moved since",
              MessageCenterServices::kSentMessage, "OLD", "");
  const struct {
    const char* list;
    int row;
    int32_t classType;
    const char* uid;
  } openings[] = {{"lvActivity2", 0, modGlobalVariables::MessRec, "NEW"},
                  {"lvActivity3", 0, modGlobalVariables::MessSent, "OUT"},
                  {"lvActivity3", 1, modGlobalVariables::MessHist, "OLD"}};
  for (const auto& opening : openings) {
    SCOPED_TRACE(opening.uid);
    auto* list = messageCenter.findChild<QTreeWidget*>(opening.list);
    ASSERT_NE(list, nullptr);
    emit list->itemDoubleClicked(list->topLevelItem(opening.row), 0);
    frmMessageViewer* viewer = frmMessageViewer::SharedViewer();
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->SourceClass(), opening.classType);
    EXPECT_EQ(viewer->SourceMessageUID(), opening.uid);
    EXPECT_EQ(control<QPlainTextEdit>(viewer, "txtMessage")->toPlainText(), "Hello there");
  }
  MessageCenterServices::SynchronizeDisplays(MessageCenterServices::kAllDisplays, false);
  EXPECT_EQ(messageCenter.TrayIcon()->Tooltip(), "Tavinor");
  delete frmMessageViewer::SharedViewer();

  // Always on top, and released again; tool tips off, and on again.
  for (const bool on : {true, false}) {
    onNextModal<frmOptions>([on](frmOptions* options) {
      control<QCheckBox>(options, "chkAlwaysOnTop")->setChecked(on);
      control<QCheckBox>(options, "chkDisplayToolTips")->setChecked(!on);
      control<QPushButton>(options, "cmdOK")->click();
    });
    messageCenter.findChild<QAction*>("mnuOptions")->trigger();
    EXPECT_EQ(bool(messageCenter.windowFlags() & Qt::WindowStaysOnTopHint), on);
    QWidget* queue = messageCenter.lvAQ();
    queue->setToolTip("The queue");
    QHelpEvent tip(QEvent::ToolTip, QPoint(1, 1), queue->mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(queue, &tip);
    EXPECT_EQ(QToolTip::text(), on ? "" : "The queue");
    QToolTip::hideText();
  }

  // Exit with a message being written: kept once, dropped when agreed.
  messageCenter.findChild<QAction*>("mnuNewMessage")->trigger();
  QPointer<frmMessage> compose = messageCenter.findChild<frmMessage*>();
  ASSERT_FALSE(compose.isNull());
  control<QPlainTextEdit>(compose, "txtMessage")->setPlainText("Half a thought");
  boxes.clear();
  boxes.answerNext(platform::kMbResultNo);
  messageCenter.findChild<QAction*>("mnuExit")->trigger();
  EXPECT_FALSE(messageCenter.ExitRequested());
  EXPECT_TRUE(compose->isVisible());
  ASSERT_EQ(boxes.shown().size(), 1u);
  // A termination signal ends the program without asking.
  messageCenter.ExitProgram();
  EXPECT_TRUE(messageCenter.ExitRequested());
  EXPECT_TRUE(compose.isNull() || !compose->isVisible());
  EXPECT_EQ(boxes.shown().size(), 1u);
  messageCenter.Form_Unload();
}

// ---- The built program -------------------------------------------------------

namespace {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a copy of the built program from `folder` (so its Res folder is the
// one beside it there) with its data in `dataRoot`.
ProgramRun runProgramCopy(const QString& folder, const QString& dataRoot) {
  const char* binaryDir = std::getenv("TAVINOR_TEST_BINARY_DIR");
  const fs::path built = fs::path(binaryDir ? binaryDir : ".") / "app" / "tavinor";
  const fs::path copy = fs::path(folder.toStdString()) / "tavinor";
  fs::copy_file(built, copy, fs::copy_options::overwrite_existing);

  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("TAVINOR_DATA_ROOT", dataRoot);
  environment.insert("HOME", folder);
  environment.insert("XDG_CONFIG_HOME", folder + "/.config");
  process.setProcessEnvironment(environment);
  process.start(QString::fromStdString(copy.string()), {});
  ProgramRun run;
  if (!process.waitForFinished(60000)) {
    process.kill();
    process.waitForFinished();
    ADD_FAILURE() << "the program did not end";
    return run;
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = process.readAllStandardOutput().toStdString();
  run.err = process.readAllStandardError().toStdString();
  return run;
}

constexpr const char* kEnglishStop =
    "An important resource file was not found. The application will not continue.";
constexpr const char* kFrenchStop = "Un fichier de resources important n'a pu être trouvé.";

}  // namespace

TEST(Program, StopsWithTheBilingualMessageWhenTheResourceFileIsMissing) {
  QTemporaryDir folder;
  const QString dataRoot = folder.path() + "/data";
  // Whatever the state of the settings document.
  modGenFunctionsFile::SaveFileContent(dataRoot.toStdString(), "D000.Dat", "settings");
  const ProgramRun run = runProgramCopy(folder.path(), dataRoot);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(dataRoot.toStdString() + "/D000.Dat"), "settings");
  EXPECT_NE(run.err.find("start-up stopped"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(kEnglishStop), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(kFrenchStop), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("(Tavinor)"), std::string::npos) << run.err;
}

TEST(Program, StopsWhenNeitherTheSettingsNorTheirTemplateExist) {
  QTemporaryDir folder;
  const fs::path res = fs::path(folder.path().toStdString()) / "Res";
  fs::create_directories(res);
  fs::copy_file(ProgramTestEnvironment::shippedFile("TVRRES01E.DAT"), res / "TVRRES01E.DAT");
  const QString dataRoot = folder.path() + "/data";
  const ProgramRun run = runProgramCopy(folder.path(), dataRoot);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(kEnglishStop), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dataRoot.toStdString() + "/D000.Dat"));
}
