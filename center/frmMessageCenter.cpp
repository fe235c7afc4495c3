#include "frmMessageCenter.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cstdlib>
#include <optional>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QCursor>
#include <QEvent>
#include <QStyle>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeWidget>

#include <QMenu>
#include <QMenuBar>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QTimer>

#include "MessageWindowsServices.h"
#include "PeerConnections.h"
#include "frmMessage.h"
#include "frmMessageHistory.h"
#include "frmMessageViewer.h"
#include "frmUserSelection.h"
#include "ServiceDiscovery.h"
#include "SocketControl.h"
#include "clsActionManager.h"
#include "clsTrayManager.h"
#include "frmUser.h"
#include "HotKeyTable.h"
#include "modGenAPI.h"
#include "modGenFunctionsUI.h"
#include "modGloFunctionsUI.h"
#include "modMenuManager.h"
#include "frmMessageBoard.h"
#include "modCOMMessageCenter.h"
#include "modDisplaySynchFunctions.h"

#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "UsersAndOptionsServices.h"
#include "clsApplicationSetting.h"
#include "clsGenErrorHandler.h"
#include "frmLogin.h"
#include "modGenFunctionsControl.h"
#include "frmOptions.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

// Fields of an activity-log row (record class 11).
enum ActivityLogField : int32_t {
  kActivityUID = 0,
  kActivityItemType = 1,
  kActivityText = 2,
  kActivityItemKey = 3,
  kActivityOwner = 4,
  kActivityKind = 5,
};

constexpr int kSynchronizeIntervalMs = 5000;
constexpr int kSaveTickMs = 60000;
constexpr int kDeleteTickMs = 60000;
constexpr int kSaveEveryTicks = 11;
constexpr int32_t kAutoReplyField = 27;
constexpr int32_t kAutoReplyRestored = 50505;
constexpr int kActivityGroupsList = 200;
// Peers can add activities at will: each list keeps only its newest entries.
constexpr int kMaxActivitiesPerList = 1000;
constexpr int kCannotListenMessage = 65010;
// Pixels: the main window's first width and its group tree's part of it.
constexpr int kMainWidth = 900;
constexpr int kGroupTreeWidth = 190;
constexpr int kProgressLabelMs = 5000;

QWidget* ownerWindow() { return static_cast<QWidget*>(modGenGlobals::AppOwnerForm); }

void showNewAccountDialog(const std::string& userName, const std::string& password,
                          const std::string& serverAddress) {
  frmOptions options(ownerWindow());
  options.CreateNewUser(userName, password, serverAddress);
}

}  // namespace

frmMessageCenter::frmMessageCenter() {
  setObjectName("frmMessageCenter");
  setWindowTitle("Tavinor - Message center");
  BuildWindow();
  new modGloFunctionsUI::WindowPlacement(this, 7600, 5000, 7000, 4000);
  modGloFunctionsUI::SetMenuStateHandler([this] { UpdateMenuState(); });
  MessageCenterServices::Install({[this](int32_t kind, const std::string& text, int32_t itemType,
                                         const std::string& itemKey, const std::string& ownerUID) {
                                    AddActivity(kind, text, itemType, itemKey, ownerUID);
                                  },
                                  [this] { ExitProgram(); }});
  UsersAndOptionsServices::Implementation users;
  users.CreateNewUser = showNewAccountDialog;
  UsersAndOptionsServices::Install(std::move(users));
  modDisplaySynchFunctions::SetMessageCenter(this);
  InstallDisplays();
  // Every 5 seconds the lists follow the data. The tick writes nothing: each
  // change was made durable when it was made.
  tmrSynchronizeDisplays_.setInterval(kSynchronizeIntervalMs);
  connect(&tmrSynchronizeDisplays_, &platform::TimerControl::tick, this, [] {
    modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kAllLists, false, 0);
  });
  tmrDeleteMessage_.setInterval(kDeleteTickMs);
  connect(&tmrDeleteMessage_, &platform::TimerControl::tick, this,
          [this] { tmrDeleteMessage_Timer(); });
  tmrSaveData_.setInterval(kSaveTickMs);
  tmrSaveData_.setTag("0");
  connect(&tmrSaveData_, &platform::TimerControl::tick, this, [this] { tmrSaveData_Timer(); });
  qApp->installEventFilter(this);
}

void frmMessageCenter::InstallDisplays() {
  MessageCenterServices::Displays displays;
  displays.AddBoardItem = [this](int32_t kind, const std::string& identifier) {
    board_->AddBoardItem(kind, identifier);
  };
  displays.SynchronizeDisplays = [](int32_t listType, bool fullReload) {
    modDisplaySynchFunctions::SynchronizeDisplays(listType, fullReload, 0);
  };
  displays.AutoReplyOn = [this] { return chkAutoReply_->isChecked(); };
  displays.AutoReplyText = [this] { return txtAutoReplyMessage_->text().toStdString(); };
  displays.StartDeleteMessageTimer = [this] { StartDeleteMessageTimer(); };
  displays.ReserveProgressBar = [this](bool take) { return ReserveProgressBar(take); };
  displays.SetProgress = [this](int32_t label, int32_t minimum, int32_t maximum, bool keepReserved,
                                const std::string& tooltip) {
    SetProgress(label, minimum, maximum, keepReserved, tooltip);
  };
  displays.SetProgressValue = [this](int32_t value, const std::string& tooltip) {
    pbSendingProgress_->setValue(value);
    pbSendingProgress_->setToolTip(QString::fromStdString(tooltip));
  };
  MessageCenterServices::InstallDisplays(std::move(displays));
}

frmMessageCenter::~frmMessageCenter() {
  Form_Unload();
  modDisplaySynchFunctions::SetMessageCenter(nullptr);
  modGloFunctionsUI::SetMenuStateHandler({});
  MessageWindowsServices::InstallViewer({});
  MessageCenterServices::InstallDisplays({});
  MessageCenterServices::Install({});
  UsersAndOptionsServices::Install({});
}

// The activity groups on the left, the list of the selected group on the
// right: one list per activity kind, then the action queue.
void frmMessageCenter::BuildWindow() {
  splitter_ = new QSplitter(this);
  tvActivities_ = new QTreeWidget(splitter_);
  tvActivities_->setObjectName("tvActivities");
  tvActivities_->setHeaderHidden(true);
  tvActivities_->setRootIsDecorated(false);
  lists_ = new QStackedWidget(splitter_);
  for (int kind = 1; kind <= kActivityKinds; ++kind) {
    QTreeWidget* list = makeList({{"Time", 110}, {"Activity", 420}});
    list->setObjectName(QString("lvActivity%1").arg(kind));
    // A long activity is cut on a narrow screen and reads whole on hover
    // (general information has no time: its text is in the first column).
    modGenFunctionsControl::ListViewFitColumnsToWidth(list, {{true, {}}, {true, {}}});
    activityLists_[static_cast<std::size_t>(kind - 1)] = list;
    connect(list, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateMenuState(); });
    connect(list, &QTreeWidget::itemDoubleClicked, this,
            [this](const QTreeWidgetItem* item) { OpenActivityItem(item); });
  }
  lvAQ_ = makeList({});
  lvAQ_->setObjectName("lvAQ");
  lvAQ_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvAQ_->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* retryNow = new QAction("Retry now", lvAQ_);
  retryNow->setObjectName("mnuPopAQRetryNow");
  connect(retryNow, &QAction::triggered, this, [this] { mnuPopAQRetryNow_Click(); });
  auto* remove = new QAction("Remove", lvAQ_);
  remove->setObjectName("mnuPopAQRemove");
  connect(remove, &QAction::triggered, this, [this] { RemoveSelectedActions(); });
  mnuPopAQRetryNow_ = retryNow;
  mnuPopAQRemove_ = remove;
  connect(lvAQ_, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateMenuState(); });
  lvAQ_->addAction(retryNow);
  lvAQ_->addAction(remove);
  CreateActionQueueColumns();
  // The groups take what their names need (showEvent); the lists get the rest.
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({kGroupTreeWidth, kMainWidth - kGroupTreeWidth});
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(splitter_, 1);
  auto* autoReply = new QHBoxLayout();
  chkAutoReply_ = new QCheckBox("Automatic reply:", central);
  chkAutoReply_->setObjectName("chkAutoReply");
  txtAutoReplyMessage_ = new QLineEdit(central);
  txtAutoReplyMessage_->setObjectName("txtAutoReplyMessage");
  autoReply->addWidget(chkAutoReply_);
  autoReply->addWidget(txtAutoReplyMessage_, 1);
  layout->addLayout(autoReply);
  setCentralWidget(central);
  lblProgress_ = new QLabel(this);
  lblProgress_->setObjectName("ProgressLabel");
  pbSendingProgress_ = new QProgressBar(this);
  pbSendingProgress_->setObjectName("pbSendingProgress");
  pbSendingProgress_->setMaximumWidth(200);
  pbSendingProgress_->hide();
  statusBar()->addWidget(lblProgress_);
  statusBar()->addPermanentWidget(pbSendingProgress_);
  board_ = new frmMessageBoard(this);
  board_->SetOpenHandler([](const std::string& uid) {
    modGlobalFunctions::OpenMessageViewer(modGlobalVariables::MessRec, uid);
  });
  BuildMenus();
  connect(tvActivities_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { ShowGroup(current); });
  resize(kMainWidth, 540);
}

// Each window opened from the menus closes itself and is deleted then.
template <typename Window>
void openWindow(QWidget* owner) {
  try {
    auto* window = new Window(owner);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowFlag(Qt::Window);
    window->show();
  } catch (...) {
    endError("frmMessageCenter.openWindow");
  }
}

void frmMessageCenter::BuildMenus() {
  const auto item = [this](QMenu* menu, const char* name, const char* caption, auto handler) {
    QAction* action = menu->addAction(caption, this, [handler, name] {
      try {
        handler();
      } catch (...) {
        endError((std::string("frmMessageCenter.") + name + "_Click").c_str());
      }
    });
    action->setObjectName(name);
    return action;
  };
  QMenu* messages = menuBar()->addMenu("&Messages");
  item(messages, "mnuNewMessage", "&New message...", [this] { OpenNewMessage(); })
      ->setShortcut(QKeySequence::New);
  item(messages, "mnuMessageFolders", "Message &folders...",
       [this] { openWindow<frmMessageHistory>(this); });
  messages->addSeparator();
  item(messages, "mnuExploreReceivedFiles", "&Received files folder",
       [this] { modMenuManager::ExploreFolder(this, modMenuManager::kUploadFolder); });
  item(messages, "mnuExploreSavedMessages", "&Saved messages folder",
       [this] { modMenuManager::ExploreFolder(this, modMenuManager::kMessageSavingFolder); });
  messages->addSeparator();
  mnuClearList_ = item(messages, "mnuClearList", "Clear this &list", [this] {
    if (QTreeWidget* list = CurrentList(); list != nullptr && list != lvAQ_) list->clear();
    for (int kind = 1; kind <= kActivityKinds; ++kind) UpdateGroupCount(kind);
    UpdateMenuState();
  });
  mnuCloseAllWindows_ = item(messages, "mnuCloseAllWindows", "&Close all windows",
                             [this] { modGloFunctionsUI::SetAllFormsWindowState(this, true); });
  item(messages, "mnuExit", "E&xit", [this] { mnuExit_Click(); });
  QMenu* users = menuBar()->addMenu("&Users");
  item(users, "mnuUserManager", "&User manager...", [this] { openWindow<frmUser>(this); });
  item(users, "mnuFindUsers", "&Find users...", [this] { openWindow<frmUserSelection>(this); });
  users->addSeparator();
  item(users, "mnuOptions", "&Options...", [this] { OpenOptions(); });
  QMenu* help = menuBar()->addMenu("&Help");
  item(help, "mnuHelpOpen", "&Help", [this] { modGenApplicationSetting::OpenHelpFile(this); });
  item(help, "mnuHelpMakerWebSite", "The maker's &web site",
       [this] { modGenApplicationSetting::OpenMakerWebSite(this); });
  item(help, "mnuHelpEmailMaker", "&Mail to the maker's support",
       [this] { modGenApplicationSetting::SendSupportMail(this); });
  BuildTrayMenu();
}

// The menu of the notification-area icon.
void frmMessageCenter::BuildTrayMenu() {
  mnuSystemTray_ = new QMenu(this);
  mnuSystemTray_->setObjectName("mnuSystemTray");
  QAction* show = mnuSystemTray_->addAction("&Show the message center", this,
                                            [this] { ShowMainWindow(); });
  show->setObjectName("mnuSTShowMessageCenter");
  QAction* compose =
      mnuSystemTray_->addAction("&New message...", this, [this] { OpenNewMessage(); });
  compose->setObjectName("mnuSTNewMessage");
  mnuSTRestoreAllWindows_ = mnuSystemTray_->addAction("&Restore all windows", this,
                                                      [this] { mnuSTRestoreAllWindows_Click(); });
  mnuSTRestoreAllWindows_->setObjectName("mnuSTRestoreAllWindows");
  mnuSystemTray_->addSeparator();
  mnuSystemTray_->addAction("E&xit", this, [this] { mnuExit_Click(); })->setObjectName("mnuSTExit");
}

QTreeWidget* frmMessageCenter::makeList(const std::vector<std::pair<const char*, int>>& columns) {
  auto* list = new QTreeWidget(lists_);
  list->setRootIsDecorated(false);
  list->setColumnCount(static_cast<int>(columns.size()));
  for (std::size_t i = 0; i < columns.size(); ++i) {
    list->headerItem()->setText(static_cast<int>(i), columns[i].first);
    list->setColumnWidth(static_cast<int>(i), columns[i].second);
  }
  lists_->addWidget(list);
  return list;
}

// Each column's tag is the action field it shows; refreshed columns carry
// the refresh flag. Widths are in pixels (a fifteenth of the twips).
void frmMessageCenter::CreateActionQueueColumns() {
  struct Column {
    const char* key;
    const char* text;
    int twips;
    int32_t tag;
  };
  const int32_t refresh = clsActionManager::kRefreshColumnFlag;
  const Column columns[] = {
      {"ActionType", "Action Type", 1400, 50000},
      {"ActionStatus", "Action Status", 1400, 50001 | refresh},
      {"Recipient", "Recipient", 1400, 50002},
      {"TryCounter", "Try counter", 1200, 11 | refresh},
      {"NCTS", "Next retry planned at", 2000, 10 | refresh},
  };
  lvAQ_->setColumnCount(static_cast<int>(std::size(columns)));
  for (int i = 0; i < static_cast<int>(std::size(columns)); ++i) {
    const Column& column = columns[i];
    lvAQ_->headerItem()->setText(i, column.text);
    lvAQ_->headerItem()->setData(i, Qt::UserRole, column.tag);
    lvAQ_->headerItem()->setData(i, Qt::UserRole + 1, column.key);
    lvAQ_->setColumnWidth(i, column.twips / 15);
  }
  // The type, status and recipient give up width on a narrow screen and
  // read whole on hover; the try counter and the time are never cut.
  const modGenFunctionsControl::ColumnContent elastic{true, {}};
  modGenFunctionsControl::ListViewFitColumnsToWidth(lvAQ_, {elastic, elastic, elastic});
}

void frmMessageCenter::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (groupPaneFitted_ || tvActivities_->topLevelItemCount() == 0) return;
  groupPaneFitted_ = true;
  FitGroupPane(false);
}

// The group pane as wide as the names with their counts need; once the
// window is shown it only grows (the person may have widened it).
void frmMessageCenter::FitGroupPane(bool growOnly) {
  const int names = static_cast<const QAbstractItemView*>(tvActivities_)->sizeHintForColumn(0) +
                    2 * tvActivities_->frameWidth();
  const QList<int> sizes = splitter_->sizes();
  if (growOnly && sizes.value(0) >= names) return;
  const int total = sizes.value(0) + sizes.value(1);
  splitter_->setSizes({names, std::max(0, total - names)});
}

void frmMessageCenter::ShowGroup(QTreeWidgetItem* group) {
  if (group == nullptr) return;
  const int code = tvActivities_->indexOfTopLevelItem(group) + 1;
  if (code >= 1 && code <= kActivityKinds) {
    lists_->setCurrentWidget(activityLists_[static_cast<std::size_t>(code - 1)]);
  } else if (code == kActionQueueGroup) {
    lists_->setCurrentWidget(lvAQ_);
  }
  UpdateMenuState();
}

void frmMessageCenter::UpdateGroupCount(int32_t kind) {
  QTreeWidgetItem* group = tvActivities_->topLevelItem(kind - 1);
  if (group == nullptr) return;
  QString name = group->data(0, Qt::UserRole + 1).toString();
  if (name.isEmpty()) {
    name = group->text(0);
    group->setData(0, Qt::UserRole + 1, name);
  }
  const int count = activityLists_[static_cast<std::size_t>(kind - 1)]->topLevelItemCount();
  group->setText(0, QString("%1 (%2)").arg(name).arg(count));
  if (groupPaneFitted_) FitGroupPane(true);
}

frmMessageCenter::LoadResult frmMessageCenter::Form_Load() {
  try {
    modGlobalVariables::InitGlobalVariables();
  } catch (...) {
    endError("frmMessageCenter.Form_Load");
    return LoadResult::kStopped;
  }
  try {
    const auto data = modGenApplicationSetting::GetFileSourceFolder(
        modGenApplicationSetting::kSettingsFile);
    if (!instanceLock_.Acquire(data.FolderPath)) return LoadResult::kAlreadyRunning;
    return LoadSteps();
  } catch (...) {
    endError("frmMessageCenter.Form_Load");
    return LoadResult::kStopped;
  }
}

frmMessageCenter::LoadResult frmMessageCenter::LoadSteps() {
  modGloFunctionsUI::InitFormGeometry(modGloFunctionsUI::AppScreenState, true);
  modGlobalVariables::CurrentLocalUserUID.clear();
  if (modGenApplicationSetting::CheckRequiredFiles()) return LoadResult::kStopped;
  modGenFunctionsResource::LoadResourceFile(1);
  modLocalUserFunctions::RemoveUnfinishedFiles();
  ApplicationSetting = std::make_unique<clsApplicationSetting>();
  ApplicationSetting->SetXMLAppNameSpace("TVR");
  if (ApplicationSetting->GetAppSetting("PV").empty()) {
    ApplicationSetting->SaveAppSetting("PV", kProgramVersion);
  }
  modGenFunctionsResource::FillTreeFromResource(tvActivities_, kActivityGroupsList);
  {
    frmLogin login(ownerWindow());
    login.exec();
  }
  if (modGlobalVariables::CurrentLocalUserUID.empty()) return LoadResult::kNoLogin;
  ApplicationSetting->SaveAppSetting("LLU", modGlobalVariables::CurrentLocalUserUID);
  LoadLoggedInOptions();
  modLocalUserFunctions::UpdateLocalUserNetworkInfo();
  StartNetwork();
  return LoadResult::kRunning;
}

// Listening, the timers, the action queue and the identity for the primary
// server; then the queue list shows what the store holds.
void frmMessageCenter::StartNetwork() {
  LoadAutoReply();
  board_->LayoutBoard();
  LoadLookedUpCollections();
  StartListening();
  tmrSynchronizeDisplays_.setEnabled(true);
  tmrSaveData_.setEnabled(true);
  StartDeleteMessageTimer();
  clsActionManager& actions = ActionManager();
  actions.StartActionManager();
  modLocalUserFunctions::QueuePrimaryServerAction();
  if (actions.Actions().CountAll() > 0) {
    modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kActionList, true, 0);
  }
  tvActivities_->setCurrentItem(tvActivities_->topLevelItem(kActionQueueGroup - 1));
  ReplayActivityLog();
  RegisterHotKey();
  AddTrayIcon();
  frmMessageViewer::InstallService();
  board_->ReplayBacklog(modGlobalFunctions::ShowNotOpenedMessagesOnBoard);
}

// The collections that peers' requests look rows up in by UID are read, and
// indexed as they are read, before the copy listens: the first request after
// a start costs what any other does, however many rows they hold.
void frmMessageCenter::LoadLookedUpCollections() {
  for (const int32_t classType : {modGlobalVariables::User, modGlobalVariables::MessSent,
                                  modGlobalVariables::MessRec, modGlobalVariables::MessHist}) {
    try {
      const PoolLoan loaded(classType);
    } catch (...) {
      endError("frmMessageCenter.LoadLookedUpCollections");
    }
  }
}

// A copy that cannot listen still sends; the person is told that nothing
// can reach it.
void frmMessageCenter::StartListening() {
  connections_ = std::make_unique<PeerConnections>();
  if (connections_->StartListening()) {
    announcement_ = std::make_unique<platform::ServiceAnnouncement>(platform::socketBindAddress(),
                                                                    PeerConnections::kPeerPort);
    return;
  }
  std::string address = platform::socketBindAddress();
  if (address.empty()) address = "*";
  AddActivity(MessageCenterServices::kEvents,
              modGenFunctionsResource::GetResourceMessage(
                  kCannotListenMessage,
                  {address + ":" + std::to_string(PeerConnections::kPeerPort),
                   connections_->LastListenError()}),
              MessageCenterServices::kNoItem, "", "");
}

// A damaged options text must not lock its account out: the defaults stand
// in for it (the error is reported) until the person saves the options,
// which rewrites it. The stored server address is no part of that text and
// is kept, so that saving the options does not lose it.
void frmMessageCenter::LoadLoggedInOptions() {
  using namespace modLocalUserFunctions;
  bool loaded = false;
  try {
    LoadLocalUserOptions(LocalUserOptions, false, "", "");
    loaded = true;
  } catch (...) {
    endError("frmMessageCenter.LoadLoggedInOptions");
  }
  if (loaded) return;
  LoadLocalUserOptions(LocalUserOptions, true, "", "");
  LocalUserOptions.PrimaryServerIP = GetLocalUserFieldValue(kLocalUserPSIP, "", false);
}

void frmMessageCenter::Form_Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  try {
    tmrSynchronizeDisplays_.setEnabled(false);
    tmrSaveData_.setEnabled(false);
    tmrDeleteMessage_.setEnabled(false);
    modGenAPI::UnregisterAppHotKey(this, hotKeyId_);
    hotKeyId_ = 0;
    if (tray_) tray_->Remove();
    announcement_.reset();
    connections_.reset();
    ApplicationSetting.reset();
    // After the logged-in account removed itself its folder is gone, and
    // saving its collections or its queue would bring the folder back.
    const bool accountKept = !modGlobalVariables::CurrentLocalUserUID.empty();
    if (accountKept) {
      SaveMessageCollections(true);
      StoreAutoReply();
      SavePooledCollection(modGlobalVariables::User, true);
    }
    SavePooledCollection(modGlobalVariables::LocalUser, true);
    ReleaseActionManager(accountKept);
  } catch (...) {
    endError("frmMessageCenter.Form_Unload");
  }
  instanceLock_.Release();
}

void frmMessageCenter::SaveDataObjects() { SaveMessageCollections(false); }

void frmMessageCenter::SaveMessageCollections(bool fold) {
  for (const int32_t classType :
       {modGlobalVariables::MessSent, modGlobalVariables::MessRec, modGlobalVariables::MessHist}) {
    try {
      SavePooledCollection(classType, fold);
    } catch (...) {
      endError("frmMessageCenter.SaveDataObjects");
    }
  }
}

// Every eleventh minute whatever changed without being saved is appended.
void frmMessageCenter::tmrSaveData_Timer() {
  const int ticks = std::atoi(tmrSaveData_.tag().c_str()) + 1;
  if (ticks < kSaveEveryTicks) {
    tmrSaveData_.setTag(std::to_string(ticks));
    return;
  }
  tmrSaveData_.setTag("0");
  SaveDataObjects();
}

void frmMessageCenter::StartDeleteMessageTimer() {
  const auto& options = modLocalUserFunctions::LocalUserOptions;
  tmrDeleteMessage_.setEnabled(false);
  if (!options.DeleteMessageOlderThan) return;
  const int limit = (options.DeleteIntervalType == 1 || options.DeleteIntervalType == 2) ? 60 : 0;
  tmrDeleteMessage_.setTag(std::to_string(limit) + "||0");
  tmrDeleteMessage_.setEnabled(true);
}

// A tag that is not "limit||count" stops the timer; the person is told in
// the events list rather than by a box that would stop the program's work.
void frmMessageCenter::tmrDeleteMessage_Timer() {
  try {
    const std::vector<std::string> parts =
        modGenFunctionsString::splitText(tmrDeleteMessage_.tag(), "||");
    const auto number = [](const std::string& text) -> std::optional<int> {
      if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
      return std::atoi(text.c_str());
    };
    const std::optional<int> limit = parts.size() > 0 ? number(parts[0]) : std::nullopt;
    const std::optional<int> count = parts.size() > 1 ? number(parts[1]) : std::nullopt;
    if (!limit || !count) {
      tmrDeleteMessage_.setEnabled(false);
      AddActivity(MessageCenterServices::kEvents,
                  !limit ? "Timer problem... 24341515A" : "Timer problem... 24341515B",
                  MessageCenterServices::kNoItem, "", "");
      return;
    }
    if (*count < *limit) {
      tmrDeleteMessage_.setTag(std::to_string(*limit) + "||" + std::to_string(*count + 1));
      return;
    }
    tmrDeleteMessage_.setTag(std::to_string(*limit) + "||0");
    modCOMMessageCenter::DeleteExpiredMessages();
  } catch (...) {
    endError("frmMessageCenter.tmrDeleteMessage_Timer");
  }
}

void frmMessageCenter::LoadAutoReply() {
  txtAutoReplyMessage_->setText(QString::fromStdString(
      modLocalUserFunctions::GetLocalUserFieldValue(kAutoReplyRestored, "", false)));
}

// The text is stored in the account row before the accounts are saved.
void frmMessageCenter::StoreAutoReply() {
  try {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    accounts->SetRowFieldByKey(modLocalUserFunctions::kLocalUserUID,
                               modGlobalVariables::CurrentLocalUserUID, kAutoReplyField,
                               modGenFunctions::ConvertCRLF(
                                   txtAutoReplyMessage_->text().toStdString(), true));
  } catch (...) {
    endError("frmMessageCenter.StoreAutoReply");
  }
}

// Only the shut-down folds: a rewrite costs time in proportion to the rows
// stored, which the running program must not spend (a journal that
// outgrows its file is folded by the save itself).
void frmMessageCenter::SavePooledCollection(int32_t classType, bool fold) {
  if (!modGlobalVariables::ObjectPoolInitialized[classType]) return;
  PoolLoan collection(classType);
  if (fold) {
    collection->FoldXMLDoc();
  } else {
    collection->SaveXMLDoc();
  }
}

void frmMessageCenter::AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                                   const std::string& itemKey, const std::string& ownerUID) {
  try {
    if (ownerUID.empty() || ownerUID == modGlobalVariables::CurrentLocalUserUID) {
      AddToActivityList(kind, text, itemType, itemKey);
    } else {
      StoreActivity(kind, text, itemType, itemKey, ownerUID);
    }
  } catch (...) {
    endError("frmMessageCenter.AddActivity");
  }
}

// A text without "||" is dated ("mm-dd hh:mm||text"), except in the
// general-information list; the item shows the part before the first "||"
// and the part after it as its first sub-item.
void frmMessageCenter::AddToActivityList(int32_t kind, const std::string& text, int32_t itemType,
                                         const std::string& itemKey) {
  std::string shown = text;
  if (kind != MessageCenterServices::kGeneralInformation && text.find("||") == std::string::npos) {
    shown = modGenFunctions::GetFormattedDate("s", 0, "mm-dd hh:nn") + "||" + text;
  }
  const std::vector<std::string> parts = modGenFunctionsString::splitText(shown, "||");
  ActivityItem item;
  item.kind = kind;
  item.text = parts.empty() ? std::string() : parts[0];
  item.subItem = parts.size() > 1 ? parts[1] : std::string();
  if (itemType != MessageCenterServices::kNoItem)
    item.tag = std::to_string(itemType) + "||" + itemKey;
  if (kind >= 1 && kind <= kActivityKinds) {
    auto* row = new QTreeWidgetItem(activityLists_[static_cast<std::size_t>(kind - 1)]);
    row->setText(0, QString::fromStdString(item.text));
    row->setText(1, QString::fromStdString(item.subItem));
    row->setData(0, Qt::UserRole, QString::fromStdString(item.tag));
    QTreeWidget* list = activityLists_[static_cast<std::size_t>(kind - 1)];
    if (list->topLevelItemCount() > kMaxActivitiesPerList) delete list->takeTopLevelItem(0);
    UpdateGroupCount(kind);
  }
  activities_.push_back(std::move(item));
  if (activities_.size() > std::size_t{kMaxActivitiesPerList} * kActivityKinds) {
    activities_.erase(activities_.begin());
  }
}

void frmMessageCenter::StoreActivity(int32_t kind, const std::string& text, int32_t itemType,
                                     const std::string& itemKey, const std::string& ownerUID) {
  std::string folder;
  if (!modLocalUserFunctions::IsLocalUser(modLocalUserFunctions::kLocalUserUID, ownerUID,
                                          modLocalUserFunctions::kLocalUserPA, folder)) {
    return;
  }
  const modGlobalFunctions::GenObjectRef log =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::ActivityLog, ownerUID, true);
  log->CreateNewRow(true, kActivityUID);
  log->SetField(kActivityItemType, itemType);
  log->SetField(kActivityText, text);
  log->SetField(kActivityItemKey, itemKey);
  log->SetField(kActivityOwner, ownerUID);
  log->SetField(kActivityKind, kind);
  log->AddCurrentRow();
  log->SaveXMLDoc();
}

bool frmMessageCenter::ReserveProgressBar(bool take) {
  if (progressReserved_) return true;
  progressReserved_ = take;
  return false;
}

void frmMessageCenter::SetProgress(int32_t label, int32_t minimum, int32_t maximum,
                                   bool keepReserved, const std::string& tooltip) {
  try {
    lblProgress_->setText(
        label == -1 ? QString()
                    : QString::fromStdString(modGenFunctionsResource::GetResourceMessage(label)));
    if (minimum != -1) pbSendingProgress_->setMinimum(minimum);
    if (maximum != -1) pbSendingProgress_->setMaximum(maximum);
    if (keepReserved) {
      pbSendingProgress_->setToolTip(QString::fromStdString(tooltip));
      pbSendingProgress_->show();
    } else {
      ReleaseProgressBar();
      // The last word of a transfer ("File sent.") stays a moment only.
      QTimer::singleShot(kProgressLabelMs, lblProgress_, [this] {
        if (!progressReserved_) lblProgress_->clear();
      });
    }
  } catch (...) {
    logError("frmMessageCenter.SetProgress");
  }
}

void frmMessageCenter::ReleaseProgressBar() {
  progressReserved_ = false;
  pbSendingProgress_->hide();
  pbSendingProgress_->setValue(pbSendingProgress_->minimum());
}

// A received file's entry opens the file (asking first for a program); a
// received or sent message's entry shows the message in the viewer, from the
// history when it was moved there.
void frmMessageCenter::OpenActivityItem(const QTreeWidgetItem* item) {
  try {
    const std::vector<std::string> tag =
        modGenFunctionsString::splitText(item->data(0, Qt::UserRole).toString().toStdString(), "||");
    if (tag.size() < 2) return;
    const int32_t itemType = modGenFunctions::ParseWholeNumber(tag[0]).value_or(-1);
    if (itemType == MessageCenterServices::kReceivedFile) {
      modGlobalFunctions::OpenLinkOrFile(tag[1], this, true);
      return;
    }
    if (itemType != MessageCenterServices::kReceivedMessage &&
        itemType != MessageCenterServices::kSentMessage)
      return;
    int32_t classType = itemType == MessageCenterServices::kReceivedMessage
                            ? modGlobalVariables::MessRec
                            : modGlobalVariables::MessSent;
    {
      PoolLoan messages(classType);
      messages->PC_SelectSingleNode(0, tag[1]);
      if (!messages->GetCurrent()) classType = modGlobalVariables::MessHist;
    }
    modGlobalFunctions::OpenMessageViewer(classType, tag[1]);
  } catch (...) {
    endError("frmMessageCenter.OpenActivityItem");
  }
}

void frmMessageCenter::mnuExit_Click() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* compose = qobject_cast<frmMessage*>(window); compose && !compose->close()) return;
  }
  ExitProgram();
}

// Nothing may stop or hold up this end: the quit that follows closes every
// window, so the compose windows go first without asking.
void frmMessageCenter::ExitProgram() {
  exitRequested_ = true;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(window); dialog != nullptr && dialog->isVisible()) {
      dialog->reject();
    }
    if (auto* compose = qobject_cast<frmMessage*>(window)) compose->DropAndClose();
  }
  close();
}

void frmMessageCenter::closeEvent(QCloseEvent* event) {
  if (!exitRequested_) {
    event->ignore();
    hide();
    UpdateMenuState();
    return;
  }
  QMainWindow::closeEvent(event);
  QApplication::quit();
}

bool frmMessageCenter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ToolTip && !modGlobalVariables::CurrentLocalUserUID.empty() &&
      !modLocalUserFunctions::LocalUserOptions.DisplayToolTips) {
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

bool frmMessageCenter::event(QEvent* event) {
  if (event->type() != platform::HotKeyEvent::eventType()) return QMainWindow::event(event);
  try {
    if (static_cast<platform::HotKeyEvent*>(event)->id() == hotKeyId_) OpenNewMessage();
  } catch (...) {
    endError("frmMessageCenter.HotKey");
  }
  return true;
}

void frmMessageCenter::OpenNewMessage() {
  auto* compose = new frmMessage({}, {}, this);
  compose->setAttribute(Qt::WA_DeleteOnClose);
  compose->setWindowFlag(Qt::Window);
  modGenFunctions::ActivateForm(compose);
}

// The options may change the hot key, which is registered again, and
// whether the windows stay on top.
void frmMessageCenter::OpenOptions() {
  {
    frmOptions options(this);
    options.exec();
  }
  modGenAPI::UnregisterAppHotKey(this, hotKeyId_);
  RegisterHotKey();
  ApplyAlwaysOnTop();
}

// Windows opened later take the option when they first show.
void frmMessageCenter::ApplyAlwaysOnTop() {
  try {
    modGenFunctionsUI::SetFormsTopmost(modLocalUserFunctions::LocalUserOptions.AlwaysOnTop
                                           ? modGenFunctionsUI::kHwndTopmost
                                           : modGenFunctionsUI::kHwndNoTopmost,
                                       nullptr);
  } catch (...) {
    endError("frmMessageCenter.ApplyAlwaysOnTop");
  }
}

void frmMessageCenter::RegisterHotKey() {
  try {
    hotKeyId_ =
        modGenAPI::RegisterAppHotKey(this, modLocalUserFunctions::LocalUserOptions.AppHotKey);
  } catch (...) {
    hotKeyId_ = 0;
    endError("frmMessageCenter.RegisterHotKey");
  }
}

// The activities stored for this account while somebody else was logged
// in join the lists, and are then removed from its activity file.
void frmMessageCenter::ReplayActivityLog() {
  try {
    const modGlobalFunctions::GenObjectRef log = modGlobalFunctions::GetUserDataObject(
        modGlobalVariables::ActivityLog, modGlobalVariables::CurrentLocalUserUID, true);
    if (log->CountAll() == 0) return;
    for (pugi::xml_node row : log->XMLDocLinked()->rootElement().children()) {
      const auto number = [&](const char* name) {
        return modGenFunctions::ParseWholeNumber(row.attribute(name).as_string()).value_or(-1);
      };
      AddToActivityList(number("TC"), row.attribute("TE").as_string(), number("AT"),
                        row.attribute("EXI").as_string());
    }
    log->DeleteAll(true);
  } catch (...) {
    endError("frmMessageCenter.ReplayActivityLog");
  }
}

void frmMessageCenter::AddTrayIcon() {
  try {
    tray_ = std::make_unique<clsTrayManager>();
    tray_->SetOwnerForm(ownerWindow() != nullptr ? ownerWindow() : this);
    tray_->SetIcon(windowIcon().isNull() ? style()->standardIcon(QStyle::SP_MessageBoxInformation)
                                         : windowIcon());
    tray_->SetTooltip(modGenFunctions::kAppTitle);
    connect(tray_.get(), &clsTrayManager::mouseAction, this, [this](int mouseMessage) {
      if (mouseMessage == clsTrayManager::kDoubleClick) ShowMainWindow();
      if (mouseMessage == clsTrayManager::kRightButtonUp) {
        UpdateMenuState();
        mnuSystemTray_->popup(QCursor::pos());
      }
    });
    tray_->Add();
  } catch (...) {
    endError("frmMessageCenter.AddTrayIcon");
  }
}

void frmMessageCenter::ShowMainWindow() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  UpdateMenuState();
}

void frmMessageCenter::mnuSTRestoreAllWindows_Click() {
  try {
    modGloFunctionsUI::SetAllFormsWindowState(this, false);
  } catch (...) {
    endError("frmMessageCenter.mnuSTRestoreAllWindows_Click");
  }
}

QTreeWidget* frmMessageCenter::CurrentList() const {
  return qobject_cast<QTreeWidget*>(lists_->currentWidget());
}

void frmMessageCenter::UpdateMenuState() {
  const QTreeWidget* list = CurrentList();
  const bool queueShown = list == lvAQ_;
  const bool queueSelected = queueShown && !lvAQ_->selectedItems().isEmpty();
  mnuPopAQRetryNow_->setEnabled(queueSelected);
  mnuPopAQRemove_->setEnabled(queueSelected);
  mnuClearList_->setEnabled(list != nullptr && !queueShown && list->topLevelItemCount() > 0);
  mnuCloseAllWindows_->setEnabled(!modGloFunctionsUI::AppScreenState.WindowsHidden);
  mnuSTRestoreAllWindows_->setEnabled(modGloFunctionsUI::AppScreenState.WindowsHidden ||
                                      !isVisible());
}

std::vector<std::string> frmMessageCenter::SelectedActionKeys() const {
  std::vector<std::string> keys;
  for (const QTreeWidgetItem* item : lvAQ_->selectedItems()) {
    keys.push_back(item->data(0, Qt::UserRole).toString().toStdString());
  }
  return keys;
}

void frmMessageCenter::mnuPopAQRetryNow_Click() {
  try {
    if (!ActionManagerExists()) return;
    for (const std::string& key : SelectedActionKeys()) ActionManager().ScheduleRetry(key, true);
    modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kActionList, false, 0);
  } catch (...) {
    endError("frmMessageCenter.mnuPopAQRetryNow_Click");
  }
}

void frmMessageCenter::RemoveSelectedActions() {
  try {
    if (!ActionManagerExists()) return;
    for (const std::string& key : SelectedActionKeys()) ActionManager().DeleteAction(key, true);
    modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kActionList, true, 0);
  } catch (...) {
    endError("frmMessageCenter.RemoveSelectedActions");
  }
}
