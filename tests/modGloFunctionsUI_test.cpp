#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QHeaderView>
#include <QTreeWidget>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QApplication>
#include <QWidget>
#include <cmath>

#include "LayoutCheck.h"
#include "MessageFolderModel.h"
#include "ModalDriver.h"
#include "ShellOpen.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "clsActionManager.h"
#include "clsTrayManager.h"
#include "frmInputIP.h"
#include "frmInternalServices.h"
#include "frmLogin.h"
#include "frmMessage.h"
#include "frmMessageCenter.h"
#include "frmMessageHistory.h"
#include "frmMessageViewer.h"
#include "frmOptions.h"
#include "frmUser.h"
#include "frmUserSelection.h"
#include "modCOMFunctions.h"
#include "modDisplaySynchFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"
#include "modLocalUserFunctions.h"

using namespace modGloFunctionsUI;

namespace {

constexpr int32_t kUserManagerField = 22;  // "FRMU"

class Placement : public ::testing::Test {
 protected:
  void SetUp() override {
    account = ProgramTestEnvironment::addAccount("ANN", "pw");
    modGlobalVariables::CurrentLocalUserUID = account;
    modLocalUserFunctions::LocalUserOptions.SaveWindowsSetting = true;
  }

  std::string saved() const {
    return ProgramTestEnvironment::accountField(account, kUserManagerField);
  }
  void save(const std::string& text) const {
    modGlobalFunctions::SetObjectFieldValue(modGlobalVariables::LocalUser, 0, account,
                                            kUserManagerField, text, true);
  }
  // A user manager as the program makes it: named, with its sizes.
  static std::unique_ptr<QWidget> userManager() {
    auto window = std::make_unique<QWidget>();
    window->setObjectName("frmUser");
    new WindowPlacement(window.get(), 9225, 5790, 5600, 3600);
    return window;
  }
  // The screen's area, give or take a window frame.
  static QRect screenArea() {
    return QGuiApplication::primaryScreen()->availableGeometry().adjusted(-4, -4, 4, 4);
  }

  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
  std::string account;
};

}  // namespace

TEST_F(Placement, AWindowReopensWhereItWasLeft) {
  auto window = userManager();
  window->show();
  EXPECT_EQ(window->size(), QSize(615, 386));
  EXPECT_EQ(window->minimumSize(), QSize(373, 240));
  EXPECT_LE((window->geometry().center() - screenArea().center()).manhattanLength(), 4);
  window->move(40, 30);
  window->resize(500, 300);
  EXPECT_EQ(saved(), "");  // nothing is written while the window is moved about
  window->hide();
  EXPECT_EQ(saved(), "600||450||7500||4500");

  auto again = userManager();
  again->show();
  EXPECT_EQ(again->pos(), QPoint(40, 30));
  EXPECT_EQ(again->size(), QSize(500, 300));
  EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Placement, UnusablePlacementsAreCorrectedOrIgnored) {
  struct Case {
    const char* text;
    bool defaultSize;
  };
  const Case cases[] = {
      {"99990||99990||6000||4000", false},  // left on a screen that is gone
      {"-30000||15||6000||4000", false},
      {"600||450||abc||4500", true},
      {"600||450||7500", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    save(c.text);
    auto window = userManager();
    window->show();
    EXPECT_TRUE(screenArea().contains(window->geometry()))
        << window->geometry().x() << "," << window->geometry().y();
    EXPECT_EQ(window->size(), c.defaultSize ? QSize(615, 386) : QSize(400, 266));
  }

  // Without the option nothing is read or written.
  modLocalUserFunctions::LocalUserOptions.SaveWindowsSetting = false;
  save("600||450||7500||4500");
  auto window = userManager();
  window->show();
  EXPECT_EQ(window->size(), QSize(615, 386));
  window->move(10, 10);
  window->hide();
  EXPECT_EQ(saved(), "600||450||7500||4500");
}

TEST_F(Placement, HideAllAndRestoreAllKeepWhatWasHiddenOnPurpose) {
  QWidget main, viewer, board;
  main.setObjectName("frmMessageCenter");
  viewer.setObjectName("frmMessageViewer");
  board.setObjectName("frmMessageBoard");
  main.show();
  viewer.show();
  int menuUpdates = 0;
  SetMenuStateHandler([&] { ++menuUpdates; });

  SetAllFormsWindowState(&viewer, true);
  EXPECT_FALSE(main.isVisible());
  EXPECT_FALSE(viewer.isVisible());
  EXPECT_TRUE(AppScreenState.WindowsHidden);
  EXPECT_EQ(LastActiveFormName, "frmMessageViewer");
  SetAllFormsWindowState(&main, false);
  EXPECT_TRUE(main.isVisible());
  EXPECT_TRUE(viewer.isVisible());
  EXPECT_FALSE(board.isVisible());  // it was not shown before
  EXPECT_FALSE(AppScreenState.WindowsHidden);
  EXPECT_EQ(LastActiveFormName, "");
  EXPECT_EQ(menuUpdates, 2);
  SetMenuStateHandler({});
}

// The notification-area icon where the desktop has none (offscreen), and
// the main window's tray menu driven in the program's own process.
TEST_F(Placement, TheTrayIconAndItsMenuBringTheWindowsBack) {
  frmInternalServices startupWindow;
  clsTrayManager tray;
  tray.Add();  // no owner, no icon: nothing added
  EXPECT_EQ(tray.State(), 0);
  EXPECT_EQ(tray.StandIn(), nullptr);
  tray.SetOwnerForm(&startupWindow);
  tray.SetIcon(QIcon(QPixmap(16, 16)));
  tray.SetTooltip(std::string(70, 'T'));
  EXPECT_EQ(tray.Tooltip(), std::string(70, 'T'));
  tray.Add();
  EXPECT_EQ(tray.State(), 1);
  ASSERT_FALSE(clsTrayManager::IsNotificationAreaAvailable());
  ASSERT_NE(tray.StandIn(), nullptr);
  EXPECT_EQ(tray.StandIn()->windowTitle(), QString(63, 'T'));
  QSignalSpy actions(&tray, &clsTrayManager::mouseAction);
  QTest::mouseDClick(tray.StandIn(), Qt::LeftButton);
  QTest::mouseClick(tray.StandIn(), Qt::RightButton);
  ASSERT_EQ(actions.size(), 2);
  EXPECT_EQ(actions[0][0].toInt(), clsTrayManager::kDoubleClick);
  EXPECT_EQ(actions[1][0].toInt(), clsTrayManager::kRightButtonUp);
  tray.Modify();
  EXPECT_EQ(tray.State(), 2);
  tray.Remove();
  EXPECT_EQ(tray.State(), 0);
  EXPECT_EQ(tray.StandIn(), nullptr);

  frmMessageCenter messageCenter;
  messageCenter.show();
  QAction* restore = messageCenter.TrayMenu()->findChild<QAction*>("mnuSTRestoreAllWindows");
  ASSERT_NE(restore, nullptr);
  messageCenter.findChild<QAction*>("mnuCloseAllWindows")->trigger();
  EXPECT_FALSE(messageCenter.isVisible());
  EXPECT_TRUE(restore->isEnabled());
  restore->trigger();
  EXPECT_TRUE(messageCenter.isVisible());
  EXPECT_FALSE(restore->isEnabled());
  // Closing only hides it; the tray menu shows it again.
  messageCenter.close();
  EXPECT_FALSE(messageCenter.isVisible());
  EXPECT_FALSE(messageCenter.ExitRequested());
  messageCenter.TrayMenu()->findChild<QAction*>("mnuSTShowMessageCenter")->trigger();
  EXPECT_TRUE(messageCenter.isVisible());
}

namespace {

constexpr const char* kAnn = "A0000000-0000-0000-0000-00000000A001";
constexpr const char* kAlice = "A11CE000-0000-0000-0000-0000000A11CE";

// Every window as a person first meets it, with rows of typical width in
// its lists.
class FirstOpening : public Placement {
 protected:
  void SetUp() override {
    Placement::SetUp();
    ProgramTestEnvironment::addPerson(account, kAnn, "1", "Lee", "Ann", "127.0.0.100");
    ProgramTestEnvironment::addPerson(account, kAlice, "1", "Martin", "Alice", "127.0.0.102");
    PoolLoan received(modGlobalVariables::MessRec);
    const std::string uid = received->CreateNewRow(true, 0);
    received->SetFields({1, 2, 3, 4, 5, 6, 8},
                        {kAnn, "60", "2026-12-07 13:27:08", "Are you coming to the meeting?", "2",
                         "1", "1"});
    received->AddCurrentRow();
    received->AddSubRow(0, uid, 0, account);
    received->SubRowSetField(1, "50");
    ActionManager().tmrWinsockActionManager.blockSignals(true);
  }
  void TearDown() override { ReleaseActionManager(false); }

  frmInternalServices startupWindow;
};

}  // namespace

// Run on screens of 1280x900, and of 1024x768 at a scale of 1 and of 1.5.
// Rows that arrive while a window is open find their columns as readable
// as those it opened with.
TEST_F(FirstOpening, EveryWindowShowsEachControlAndColumnWholeOnTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const auto people = [] {
    PoolLoan users(modGlobalVariables::User);
    for (const auto& [uid, last, address] :
         {std::tuple{"C0000000-0000-0000-0000-00000000C003", "Whitfield", "192.168.100.200"},
          {"D0000000-0000-0000-0000-00000000D004", "Li", "10.0.0.7"}}) {
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3, 7, 8}, {uid, "1", last, "Annabelle", address, "workstation-12"});
      users->AddCurrentRow();
    }
  };
  struct Case {
    const char* name;
    std::function<QWidget*()> open;
    // Rows that arrive while it is open (none when empty).
    std::function<void(QWidget*)> arrive;
    // Columns sized by their content: none wider than it needs.
    QStringList fitted = {};
  };
  const Case cases[] = {
      {"main window",
       [] {
         auto* center = new frmMessageCenter;
         // The groups as the load step fills them.
         modGenFunctionsResource::FillTreeFromResource(center->tvActivities(), 200);
         center->AddActivity(MessageCenterServices::kEvents,
                             "The information of Ann Lee has been updated.",
                             MessageCenterServices::kNoItem, "", "");
         return center;
       },
       [](QWidget* window) {
         auto* center = static_cast<frmMessageCenter*>(window);
         modCOMFunctions::SendMessageToRecipients("Hi", 2, 1, kAlice, "", true, false);
         modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kActionList,
                                                       true, 0);
         center->tvActivities()->setCurrentItem(center->tvActivities()->topLevelItem(6));
       }},
      {"compose", [] { return new frmMessage({}, {kAnn}); }, {}},
      {"viewer", [] { return new frmMessageViewer; }, {}},
      {"message folders", [] { return new frmMessageHistory; },
       [](QWidget*) {
         PoolLoan received(modGlobalVariables::MessRec);
         const std::string uid = received->CreateNewRow(true, 0);
         received->SetFields({1, 2, 3, 4, 5, 6, 8},
                             {kAlice, "-1", "2026-12-08 02:41:00",
                              "The figures for the budget, as you asked on Monday", "1", "1", "1"});
         received->AddCurrentRow();
         modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kAllLists, false, 0);
       },
       {"From", "To"}},
      {"user manager", [] { return new frmUser; }, {}},
      {"user manager, opened without users",
       [this] {
         save("");  // where the one before was left, as small as it may get
         PoolLoan(modGlobalVariables::User)->DeleteAll(false);
         return new frmUser;
       },
       [&](QWidget* window) {
         people();
         static_cast<frmUser*>(window)->RefreshLists();
       }},
      {"user search",
       [] {
         auto* search = new frmUserSelection;
         search->AddFoundUsersToList(
             "<L><U UID=\"B0000000-0000-0000-0000-00000000B002\" CS=\"1\" LN=\"Ray\" "
             "FN=\"Bob\" IP=\"127.0.0.101\" CN=\"workstation-7\"/></L>");
         return search;
       },
       [](QWidget* window) {
         static_cast<frmUserSelection*>(window)->AddFoundUsersToList(
             "<L><U UID=\"E0000000-0000-0000-0000-00000000E005\" CS=\"1\" "
             "LN=\"Montgomery-Whitfield\" FN=\"Annabelle\" IP=\"192.168.100.200\" "
             "CN=\"workstation-12\"/></L>");
       }},
      {"options", [] { return new frmOptions; }, {}},
      {"login", [this] { return new frmLogin(&startupWindow); }, {}},
      {"IP dialog", [] { return new frmInputIP; }, {}},
  };
  const std::string question = QString("Close the window and drop it? ").repeated(8).toStdString();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<QWidget> window(c.open());
    window->show();
    // Whole on the screen in its own pixels (x and width rounded up).
    const qreal scale = window->devicePixelRatioF();
    EXPECT_TRUE(screen.contains(window->geometry()));
    EXPECT_LE((window->frameGeometry().center() - screen.center()).manhattanLength(), 3);
    EXPECT_LE(std::ceil((window->x() + window->width()) * scale), std::floor(screen.width() * scale));
    EXPECT_GE(window->width(), window->minimumSizeHint().width());
    EXPECT_GE(window->height(), window->minimumSizeHint().height());
    EXPECT_EQ(LayoutCheck::readabilityFaults(window.get()).join("\n").toStdString(), "");
    EXPECT_EQ(LayoutCheck::widerThanNeeded(window.get(), c.fitted).join("\n").toStdString(), "");
    // A question over it opens in its middle, wholly on the screen; Enter says No.
    QRect box;
    QTimer::singleShot(0, [&box] {
      box = QApplication::activeModalWidget()->frameGeometry();
      QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Return);
    });
    platform::setMessageBoxResponder({});
    EXPECT_EQ(platform::showMessageBox(question, platform::kMbYesNo | platform::kMbDefaultButton2,
                                       "", window.get()),
              platform::kMbResultNo);
    platform::setMessageBoxResponder([](const auto&) { return platform::kMbResultOk; });
    EXPECT_TRUE(screen.contains(box));
    EXPECT_LE((box.center() - window->frameGeometry().center()).manhattanLength(), 3);
    if (c.arrive) {
      c.arrive(window.get());
      EXPECT_EQ(LayoutCheck::readabilityFaults(window.get()).join("\n").toStdString(), "")
          << "after rows arrived";
      EXPECT_EQ(LayoutCheck::widerThanNeeded(window.get(), c.fitted).join("\n").toStdString(), "")
          << "after rows arrived";
    }
    // Made as small as it may get, it still shows every control whole.
    window->resize(1, 1);
    EXPECT_EQ(LayoutCheck::cutControls(window.get()).join("\n").toStdString(), "");
    QTest::keyClick(window.get(), Qt::Key_Escape);  // closes (the main window hides)
    EXPECT_FALSE(window->isVisible());
  }
}

// Every list of every window, and each of its views (each activity group,
// each folder sorted by each column), holding many rows with long names,
// long addresses and long texts: nothing is cut that cannot be read whole on
// hover, and every column shows in the list's width. Run on the three
// screens of the suite.
TEST_F(FirstOpening, EveryListReadsWholeWithLongNamesAndManyRows) {
  const std::string longName = "C0000000-0000-0000-0000-00000000C0";
  std::vector<std::string> people;
  {
    PoolLoan users(modGlobalVariables::User);
    for (int i = 0; i < 60; ++i) {
      people.push_back(longName + (i < 10 ? "0" : "") + std::to_string(i));
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3, 7, 8},
                       {people.back(), "1", i % 2 ? "Montgomery-Whitfield" : "Li",
                        "Annabelle-Marguerite", "192.168.100." + std::to_string(200 + i % 55),
                        "workstation-accounting-" + std::to_string(i)});
      users->AddCurrentRow();
    }
    users->SaveXMLDoc();
  }
  for (int i = 0; i < 80; ++i) {
    PoolLoan received(modGlobalVariables::MessRec);
    const std::string uid = received->CreateNewRow(true, 0);
    received->SetFields({1, 2, 3, 4, 5, 6, 8},
                        {people[static_cast<std::size_t>(i % 60)], i % 2 ? "60" : "100",
                         "2026-12-07 13:27:08",
                         "The figures for the budget of the coming year, as you asked on Monday",
                         "2", "1", "1"});
    received->AddCurrentRow();
    received->AddSubRow(0, uid, 0, account);
    received->SubRowSetField(1, "50");
  }
  for (std::size_t i = 0; i < 40; ++i) {
    const std::string to =
        i % 2 ? people[i] : people[i] + "||" + people[i + 1] + "||" + people[i + 2];
    modCOMFunctions::SendMessageToRecipients("The figures", 2, 1, to, "", true, false);
  }
  const std::string activity =
      "A message from Montgomery-Whitfield, Annabelle-Marguerite has arrived at last.";
  struct Case {
    const char* name;
    std::function<QWidget*()> open;
    int views;
    // Shows view `k` of the window (none for a window of one view).
    std::function<void(QWidget*, int)> show = {};
  };
  const Case cases[] = {
      {"main window, each group",
       [&] {
         auto* center = new frmMessageCenter;
         modGenFunctionsResource::FillTreeFromResource(center->tvActivities(), 200);
         for (int i = 0; i < 40; ++i) {
           for (int kind = MessageCenterServices::kGeneralInformation;
                kind <= MessageCenterServices::kEvents; ++kind) {
             center->AddActivity(kind, activity, MessageCenterServices::kNoItem, "", "");
           }
         }
         modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kActionList,
                                                       true, 0);
         return center;
       },
       frmMessageCenter::kActionQueueGroup,
       [](QWidget* window, int k) {
         auto* center = static_cast<frmMessageCenter*>(window);
         center->tvActivities()->setCurrentItem(center->tvActivities()->topLevelItem(k));
       }},
      {"message folders, each folder sorted by each column",
       [] { return new frmMessageHistory; },
       2 * MessageFolderModel::kColumnCount,
       [](QWidget* window, int k) {
         static_cast<frmMessageHistory*>(window)->SelectFolder(
             k < MessageFolderModel::kColumnCount ? modGlobalVariables::MessRec
                                                  : modGlobalVariables::MessSent);
         window->findChild<QTableView*>("lvMessages")
             ->horizontalHeader()
             ->setSortIndicator(k % MessageFolderModel::kColumnCount, Qt::AscendingOrder);
       }},
      {"user manager", [] { return new frmUser; }, 1},
      {"compose", [&] { return new frmMessage({}, {people[1]}); }, 1},
      {"user search",
       [] {
         auto* search = new frmUserSelection;
         std::string found = "<L>";
         for (int i = 10; i < 40; ++i) {
           found += "<U UID=\"E0000000-0000-0000-0000-00000000E0" + std::to_string(i) +
                    "\" CS=\"1\" LN=\"Montgomery-Whitfield\" FN=\"Annabelle-Marguerite\" "
                    "IP=\"192.168.100.200\" CN=\"workstation-accounting-12\"/>";
         }
         search->AddFoundUsersToList(found + "</L>");
         return search;
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<QWidget> window(c.open());
    window->show();
    for (int k = 0; k < c.views; ++k) {
      SCOPED_TRACE(k);
      if (c.show) c.show(window.get(), k);
      // The columns follow their rows at the next turn.
      QApplication::processEvents();
      EXPECT_EQ(LayoutCheck::readabilityFaults(window.get()).join("\n").toStdString(), "");
      // Columns of code lists are as wide as their longest text, no wider.
      for (const auto& [caption, list] : {std::pair{"Priority", 201}, {"Status", 203}}) {
        QStringList texts;
        for (const auto& item : modGenFunctionsResource::GetResourceSection(list).items()) {
          texts << QString::fromStdString(modGenFunctionsResource::GetItemText(item.value));
        }
        EXPECT_EQ(LayoutCheck::widerThanItsTexts(window.get(), caption, texts).join("\n").toStdString(),
                  "");
      }
    }
  }
}

TEST_F(FirstOpening, TheOptionsReopenAtTheSizeTheyWereLeftButNeverBelowTheirLayout) {
  constexpr int32_t kOptionsField = 21;  // "FRMO"
  modGlobalFunctions::SetObjectFieldValue(modGlobalVariables::LocalUser, 0, account,
                                          kOptionsField, "600||450||5400||4995", true);
  auto squeezed = std::make_unique<frmOptions>();
  squeezed->show();
  EXPECT_GE(squeezed->width(), squeezed->minimumSizeHint().width());
  EXPECT_GE(squeezed->height(), squeezed->minimumSizeHint().height());
  EXPECT_EQ(LayoutCheck::cutControls(squeezed.get()).join("\n").toStdString(), "");
  const QSize left = squeezed->size() + QSize(90, 60);
  squeezed->resize(left);
  squeezed->close();
  squeezed.reset();

  frmOptions again;
  again.show();
  EXPECT_EQ(again.size(), left);
}

// Every question whose Yes destroys something, asked in a real box: it
// shows its icon, and Enter answers No, so nothing is destroyed.
TEST_F(FirstOpening, EnterOnAQuestionThatDestroysSomethingKeepsIt) {
  std::vector<std::string> opened;
  platform::shell::setShellRecorder([&](const platform::shell::ShellRequest& request) {
    opened.push_back(request.target);
    return true;
  });
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  const QString script = QString::fromStdString(environment.root()) + "/setup.sh";
  {
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
  }
  const auto countOf = [](int32_t classType) { return PoolLoan(classType)->CountAll(); };
  // The queued actions of one type.
  const auto queued = [](int32_t type) {
    int count = 0;
    for (pugi::xml_node row :
         ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      count += row.attribute("AT").as_int() == type;
    }
    return count;
  };
  std::unique_ptr<QWidget> asking;  // the window that asks, open while it asks
  struct Case {
    const char* name;
    std::function<void()> ask;
    std::function<bool()> kept;
  };
  const Case cases[] = {
      {"the messages of a removed user",
       [&] {
         auto* users = new frmUser;
         asking.reset(users);
         users->show();
         QTreeWidget* list = users->lvUsers();
         for (int row = 0; row < list->topLevelItemCount(); ++row) {
           QTreeWidgetItem* item = list->topLevelItem(row);
           item->setSelected(item->data(0, Qt::UserRole).toString() == kAnn);
           if (item->isSelected()) list->setCurrentItem(item);
         }
         users->DeleteSelectedUser(false);
       },
       [&] { return countOf(modGlobalVariables::MessRec) == 1; }},
      {"a group",
       [&] {
         auto* users = new frmUser;
         asking.reset(users);
         users->show();
         users->AddGroup("Team");
         users->tvGroups()->setCurrentItem(users->tvGroups()->topLevelItem(0));
         users->DeleteGroup();
       },
       [&] { return countOf(modGlobalVariables::Group) == 1; }},
      {"a local account",
       [&] {
         auto* options = new frmOptions;
         asking.reset(options);
         options->show();
         auto* accounts = options->findChild<QListWidget*>("lstLocalUsers");
         for (int row = 0; row < accounts->count(); ++row) {
           if (accounts->item(row)->data(Qt::UserRole).toString().toStdString() == bob)
             accounts->setCurrentRow(row);
         }
         options->RemoveLocalUser();
       },
       [&] { return modLocalUserFunctions::ListLocalUsers().size() == 2; }},
      {"a message at its recipients",
       [&] {
         const std::string sent =
             modCOMFunctions::SendMessageToRecipients("Hi", 2, 1, kAlice, "", true, false);
         auto* viewer = new frmMessageViewer;
         asking.reset(viewer);
         viewer->show();
         viewer->SetSourceMessage(modGlobalVariables::MessSent, sent);
         viewer->findChild<QPushButton*>("cmdRecall")->click();
       },
       // Its delivery waits, neither withdrawn nor followed by a recall.
       [&] {
         return queued(modGlobalVariables::kRequestDeliverMessage) == 1 &&
                queued(modGlobalVariables::kRequestRecallMessage) == 0;
       }},
      {"a draft",
       [&] {
         auto* compose = new frmMessage({}, {kAlice});
         asking.reset(compose);
         compose->show();
         QTest::keyClicks(compose->findChild<QPlainTextEdit*>("txtMessage"), "Draft");
         compose->close();
       },
       [&] { return asking->isVisible(); }},
      {"what a program run from a received file may do",
       [&] { modGlobalFunctions::OpenLinkOrFile(script.toStdString(), nullptr, true); },
       [&] { return opened.empty(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool asked = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    platform::setMessageBoxResponder({});
    onNextModal<QMessageBox>([&](QMessageBox* box) {
      asked = true;
      icon = box->icon();
      // Any box that Yes would bring is answered without a dialog.
      platform::setMessageBoxResponder([](const auto&) { return platform::kMbResultOk; });
      QTest::keyClick(box, Qt::Key_Return);
    });
    c.ask();
    platform::setMessageBoxResponder([](const auto&) { return platform::kMbResultOk; });
    EXPECT_TRUE(asked);
    EXPECT_NE(icon, QMessageBox::NoIcon);
    EXPECT_TRUE(c.kept());
    if (asking) asking->hide();
  }
  asking.reset();
  platform::shell::setShellRecorder({});
}
