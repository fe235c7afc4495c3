#pragma once
// frmMessageCenter: the main window and the program's life cycle.
//
// This build has the start-up up to the login and the shut-down of what the
// start-up opened; listening on the network, the timers, the action queue,
// the activity tree and lists and the message board are not built yet, so
// the window is never shown. Form_Load runs the start-up steps in order and
// tells whether the program runs; Form_Unload saves the settings document and
// the account collection. The window installs the message center's services
// (activities, exit command) and the options dialog's new-account service
// for its lifetime.
//
// The start-up window (frmInternalServices) must exist before Form_Load and
// stay until after Form_Unload. One instance at a time; UI thread only.
#include <QMainWindow>
#include <cstdint>
#include <string>
#include <vector>

class frmMessageCenter : public QMainWindow {
  Q_OBJECT

 public:
  // The program's version, stored as the setting "PV" on the first run.
  static constexpr const char* kProgramVersion = "1.0.0";

  enum class LoadResult {
    kRunning,  // a person is logged in
    kNoLogin,  // the login dialog closed without a login
    kStopped,  // a required file is missing, or a start-up step failed
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

  // The start-up: the record globals, the required files, the resource
  // texts, the settings document ("PV" stored when empty), the modal login
  // dialog, then for the logged-in account "LLU", its options (the defaults
  // when its stored options text cannot be read) and this computer's
  // address in every account.
  LoadResult Form_Load();

  // The shut-down: writes the settings document and saves the account
  // collection (and the users directory of a logged-in person).
  void Form_Unload();

  // Records an activity (kinds and item types of MessageCenterServices).
  // For the logged-in person (or an empty owner) it joins the in-memory
  // lists; for another local account it is stored in that account's
  // activity file (record class 11). An owner that is no local account is
  // dropped.
  void AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                   const std::string& itemKey, const std::string& ownerUID);

  // The exit command: marks the program as ending and closes every open
  // dialog, which ends the start-up's modal runs.
  void ExitProgram();
  bool ExitRequested() const { return exitRequested_; }

  const std::vector<ActivityItem>& ActivityItems() const { return activities_; }

 private:
  LoadResult LoadSteps();
  void LoadLoggedInOptions();
  void AddToActivityList(int32_t kind, const std::string& text, int32_t itemType,
                         const std::string& itemKey);
  void StoreActivity(int32_t kind, const std::string& text, int32_t itemType,
                     const std::string& itemKey, const std::string& ownerUID);
  void SavePooledCollection(int32_t classType);

  std::vector<ActivityItem> activities_;
  bool exitRequested_ = false;
};
