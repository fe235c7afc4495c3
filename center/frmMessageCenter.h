#pragma once
// frmMessageCenter: the main window and the program's life cycle.
//
// Form_Load runs the start-up in order (one copy per data folder, the
// record globals, the required files, the resource texts, the settings
// document, the login, the account's options and network information) and
// then starts the network: it listens for other copies, starts its timers
// and the action queue, and queues the identity for the primary server.
// The window then shows the activity groups on the left and the list of the
// selected group on the right: the activity lists and the action queue.
// Form_Unload stops the network and saves what the start-up opened.
//
// After the login the window also replays the activities stored for the
// account while others were logged in, registers the new-message hot key of
// the options, and puts its icon in the notification area (or the window
// that stands in for it), whose menu shows the windows again and whose
// tooltip is the product's name. A double click on an
// activity entry opens its received file or its message. Tool tips and
// keeping the windows on top follow the person's options. Closing the
// window only hides it there; the exit command, the desktop's log-out and
// the termination signals end the program. It opens where it was left.
//
// The window installs the message center's services (activities, exit
// command) and the options dialog's new-account service for its lifetime.
// The start-up window (frmInternalServices) must exist before Form_Load and
// stay until after Form_Unload. One instance at a time; UI thread only.
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "InstanceLock.h"
#include "TimerControl.h"

class PeerConnections;
class QAction;
class QMenu;
class clsTrayManager;
namespace platform {
class ServiceAnnouncement;
}  // namespace platform
class QCheckBox;
class QLabel;
class QProgressBar;
class QLineEdit;
class QSplitter;
class QStackedWidget;
class frmMessageBoard;
class QTreeWidget;
class QTreeWidgetItem;

class frmMessageCenter : public QMainWindow {
  Q_OBJECT

 public:
  // The program's version, stored as the setting "PV" on the first run.
  static constexpr const char* kProgramVersion = "1.0.0";
  // The activity kinds 1..6 each have a list; the action queue is group 7.
  static constexpr int kActivityKinds = 6;
  static constexpr int kActionQueueGroup = 7;

  enum class LoadResult {
    kRunning,        // a person is logged in and the network runs
    kNoLogin,        // the login dialog closed without a login
    kStopped,        // a required file is missing, or a start-up step failed
    kAlreadyRunning, // another copy uses this data folder
  };

  // One entry of an activity list of the logged-in person, as the list
  // shows it: its text, its first sub-item, and the tag "type||key" ("" for
  // an entry that opens nothing).
  struct ActivityItem {
    int32_t kind = 0;
    std::string text;
    std::string subItem;
    std::string tag;
  };

  frmMessageCenter();
  ~frmMessageCenter() override;
  frmMessageCenter(const frmMessageCenter&) = delete;
  frmMessageCenter& operator=(const frmMessageCenter&) = delete;

  LoadResult Form_Load();
  // The shut-down: stops the network, releases the action queue (which
  // writes its store), writes the settings document and folds the account
  // collection (and the message collections and users directory of a
  // logged-in person) into their files.
  void Form_Unload();

  // Records an activity (kinds and item types of MessageCenterServices).
  // For the logged-in person (or an empty owner) it joins the lists; for
  // another local account it is stored in that account's activity file
  // (record class 11). An owner that is no local account is dropped.
  void AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                   const std::string& itemKey, const std::string& ownerUID);

  // The exit command: marks the program as ending, closes every open
  // dialog (which ends the start-up's modal runs) and closes the window.
  // The desktop's log-out and the termination signals use it directly.
  void ExitProgram();
  // The person's Exit command: the compose windows close first, each asking
  // about a message not sent; keeping one stops the exit.
  void mnuExit_Click();
  bool ExitRequested() const { return exitRequested_; }

  const std::vector<ActivityItem>& ActivityItems() const { return activities_; }

  // Enables the menu items that the selected activity group and its list,
  // and whether all windows are hidden, allow.
  void UpdateMenuState();
  // The tray menu's command: shows again the windows that "Close all
  // windows" hid.
  void mnuSTRestoreAllWindows_Click();
  // Shows the main window (the notification-area icon's double click).
  void ShowMainWindow();
  clsTrayManager* TrayIcon() const { return tray_.get(); }
  QMenu* TrayMenu() const { return mnuSystemTray_; }
  int HotKeyId() const { return hotKeyId_; }

  // The action-queue list's commands, on its selected rows.
  void mnuPopAQRetryNow_Click();
  void RemoveSelectedActions();

  // Starts (or stops, when the options keep old messages) the 60-second
  // timer that deletes expired messages. Its tag is "limit||count".
  void StartDeleteMessageTimer();
  void tmrDeleteMessage_Timer();
  platform::TimerControl& tmrDeleteMessage() { return tmrDeleteMessage_; }
  // The 5-second display tick and the 60-second save timer.
  platform::TimerControl& tmrSynchronizeDisplays() { return tmrSynchronizeDisplays_; }
  platform::TimerControl& tmrSaveData() { return tmrSaveData_; }

  // Saves the changes of the loaded pooled message collections (sent,
  // received, history) as appends to their journals.
  void SaveDataObjects();

  // The status-bar progress bar that the file transfers share: true when
  // it is already taken; otherwise false, and taken when `take`.
  bool ReserveProgressBar(bool take);
  // The panel "ProgressLabel" shows resource message `label` (-1: none);
  // the bar's range is set unless -1; the bar shows while keepReserved,
  // with `tooltip`, and is released otherwise.
  void SetProgress(int32_t label, int32_t minimum, int32_t maximum, bool keepReserved,
                   const std::string& tooltip);
  void ReleaseProgressBar();
  QProgressBar* pbSendingProgress() const { return pbSendingProgress_; }
  QLabel* ProgressLabel() const { return lblProgress_; }

  QTreeWidget* lvAQ() const { return lvAQ_; }
  QCheckBox* chkAutoReply() const { return chkAutoReply_; }
  QLineEdit* txtAutoReplyMessage() const { return txtAutoReplyMessage_; }
  frmMessageBoard* MessageBoard() const { return board_; }
  QTreeWidget* tvActivities() const { return tvActivities_; }
  PeerConnections* Connections() const { return connections_.get(); }

 protected:
  // Closing only hides the window (to the notification area, or to the
  // window that stands in for it) unless the program is ending.
  void closeEvent(QCloseEvent* event) override;
  // The new-message hot key opens a new message.
  bool event(QEvent* event) override;
  // Tool tips show only when the logged-in person's options say so.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // At the first sight of the filled groups, their pane takes what their
  // names need, so that the lists get the rest.
  void showEvent(QShowEvent* event) override;

 private:
  LoadResult LoadSteps();
  void LoadLoggedInOptions();
  void StartNetwork();
  void LoadLookedUpCollections();
  void StartListening();
  void BuildWindow();
  void BuildMenus();
  QTreeWidget* makeList(const std::vector<std::pair<const char*, int>>& columns);
  void CreateActionQueueColumns();
  void FitGroupPane(bool growOnly);
  void ShowGroup(QTreeWidgetItem* group);
  void UpdateGroupCount(int32_t kind);
  void AddToActivityList(int32_t kind, const std::string& text, int32_t itemType,
                         const std::string& itemKey);
  void StoreActivity(int32_t kind, const std::string& text, int32_t itemType,
                     const std::string& itemKey, const std::string& ownerUID);
  // fold: the file is rewritten whole and its journal removed (shut-down).
  void SavePooledCollection(int32_t classType, bool fold);
  void SaveMessageCollections(bool fold);
  void tmrSaveData_Timer();
  void LoadAutoReply();
  void StoreAutoReply();
  void InstallDisplays();
  std::vector<std::string> SelectedActionKeys() const;
  void OpenActivityItem(const QTreeWidgetItem* item);
  void BuildTrayMenu();
  void AddTrayIcon();
  void RegisterHotKey();
  void ReplayActivityLog();
  void OpenNewMessage();
  void OpenOptions();
  void ApplyAlwaysOnTop();
  QTreeWidget* CurrentList() const;

  std::vector<ActivityItem> activities_;
  bool exitRequested_ = false;
  bool unloaded_ = false;
  platform::InstanceLock instanceLock_;
  std::unique_ptr<PeerConnections> connections_;
  // Announces this copy on the local network while it listens.
  std::unique_ptr<platform::ServiceAnnouncement> announcement_;
  platform::TimerControl tmrSynchronizeDisplays_;
  platform::TimerControl tmrSaveData_;
  platform::TimerControl tmrDeleteMessage_;
  frmMessageBoard* board_ = nullptr;
  QCheckBox* chkAutoReply_ = nullptr;
  QLineEdit* txtAutoReplyMessage_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QTreeWidget* tvActivities_ = nullptr;
  bool groupPaneFitted_ = false;
  QStackedWidget* lists_ = nullptr;
  std::array<QTreeWidget*, kActivityKinds> activityLists_{};
  QTreeWidget* lvAQ_ = nullptr;
  QLabel* lblProgress_ = nullptr;
  QProgressBar* pbSendingProgress_ = nullptr;
  bool progressReserved_ = false;
  std::unique_ptr<clsTrayManager> tray_;
  QMenu* mnuSystemTray_ = nullptr;
  QAction* mnuSTRestoreAllWindows_ = nullptr;
  QAction* mnuCloseAllWindows_ = nullptr;
  QAction* mnuPopAQRetryNow_ = nullptr;
  QAction* mnuPopAQRemove_ = nullptr;
  QAction* mnuClearList_ = nullptr;
  int hotKeyId_ = 0;
};
