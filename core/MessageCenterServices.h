#pragma once
// MessageCenterServices: what the messaging core and the users-and-options
// windows ask of the message center, without knowing its windows.
//
// The message center installs its implementation once at start-up (tests
// install it themselves); from then on the events that the generic layer
// reports without a box (ReportEvent) are added to its events list. Calling
// a service that nobody installed raises 91 (object not set): the caller
// runs without a message center.
//
// UI thread only.
#include <cstdint>
#include <functional>
#include <string>

// The login dialog as the login check sees it: its two boxes, their focus,
// whether it is minimised, and hiding it.
class LoginDialogAccess {
 public:
  virtual void Hide() = 0;
  virtual bool IsMinimized() const = 0;
  virtual void ClearUserName() = 0;
  virtual void ClearPassword() = 0;
  virtual void FocusUserName() = 0;
  virtual void FocusPassword() = 0;

 protected:
  ~LoginDialogAccess() = default;
};

namespace MessageCenterServices {

// Activity lists of the main window (the kind of an activity).
enum ActivityKind : int32_t {
  kGeneralInformation = 1,
  kIncomingMessages = 2,
  kOutgoingMessages = 3,
  kIncomingFiles = 4,
  kOutgoingFiles = 5,
  kEvents = 6,
};

// What an activity item opens, and the meaning of its key.
enum ActivityItemType : int32_t {
  kNoItem = -1,
  kReceivedFile = 1,     // key: the file's full path
  kSentFile = 2,         // key: the file's path
  kReceivedMessage = 3,  // key: the message's UID
  kSentMessage = 4,      // key: the message's UID
};

struct Implementation {
  // (kind, text, item type, item key, owner account UID). The text is a
  // resource message already filled in. An owner that is neither empty nor
  // the logged-in account keeps the entry in that account's activity file.
  std::function<void(int32_t, const std::string&, int32_t, const std::string&, const std::string&)>
      AddActivity;
  // The main window's exit command: ends the program.
  std::function<void()> ExitProgram;
};

void Install(Implementation implementation);

// What the main window shows of received messages and the state of its
// automatic reply. Installed by the main window while it is open; when
// nothing is installed no window shows anything, so the display calls do
// nothing and the automatic reply is off.
struct Displays {
  // (kind, identifier): kind 4 puts the received message with that UID on
  // the message board.
  std::function<void(int32_t, const std::string&)> AddBoardItem;
  // (list type or -1 for all, full reload): refreshes the open windows'
  // lists from the changed rows of their record classes.
  std::function<void(int32_t, bool)> SynchronizeDisplays;
  // Whether the automatic reply is on, and its text.
  std::function<bool()> AutoReplyOn;
  std::function<std::string()> AutoReplyText;
  // Restarts the deletion of expired messages after the options changed.
  std::function<void()> StartDeleteMessageTimer;
  // The status-bar progress bar that the file transfers share. (take):
  // true when another transfer holds it; otherwise false, and it is taken
  // when take is set.
  std::function<bool(bool)> ReserveProgressBar;
  // (label resource message or -1 for none, range minimum, range maximum
  // (-1 keeps it), keep reserved, tooltip): shown while kept reserved,
  // released otherwise.
  std::function<void(int32_t, int32_t, int32_t, bool, const std::string&)> SetProgress;
  // (value, tooltip) of the bar.
  std::function<void(int32_t, const std::string&)> SetProgressValue;
};

void InstallDisplays(Displays displays);

void AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                 const std::string& itemKey, const std::string& ownerUID);
void ExitProgram();

// Message board kinds.
inline constexpr int32_t kBoardReceivedMessage = 4;
// Display list types of SynchronizeDisplays.
enum DisplayList : int32_t {
  kAllDisplays = -1,
  kActionDisplay = 1,
  kReceivedDisplay = 2,
  kSentDisplay = 3,
  kHistoryDisplay = 4,
  kUsersDisplay = 5,
  kUsersSelectionDisplay = 6,
  kInstantMessagesDisplay = 7,
};

void AddBoardItem(int32_t kind, const std::string& identifier);
void SynchronizeDisplays(int32_t listType, bool fullReload);
bool AutoReplyOn();
std::string AutoReplyText();
void StartDeleteMessageTimer();
// Without a main window the bar counts as held by somebody else.
bool ReserveProgressBar(bool take);
void SetProgress(int32_t label, int32_t minimum, int32_t maximum, bool keepReserved,
                 const std::string& tooltip);
void SetProgressValue(int32_t value, const std::string& tooltip);

}  // namespace MessageCenterServices
