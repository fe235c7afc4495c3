#pragma once
// modLocalUserFunctions: the local accounts of this computer (record class 7,
// D001.dat in the common data folder) and the options block of the person
// who logged in.
//
// An account row keeps the login name "UN" in capitals, the password "PW" as
// typed (compared exactly), the options text "OP", the primary-server address
// "PSIP" and the IP filter list "FIP". The options text is 24 items joined by
// "||": options 0..15 as "T"/"F", options 16..19 in decimal, then options 20,
// 21, 23 and 24 without surrounding blanks. Options 22 and 25 live in "PSIP"
// and "FIP". No escaping is done, so a "||" inside a folder or hot-key text
// would shift the items after it; the options dialog refuses such texts.
//
// The identity element "U" tells other copies who a person is: built from an
// account row it carries "LN", "FN", "UID", "IP", "CN", "CS"; from a users-
// directory row "UID", "CS", "LN", "FN", "IP", "CN" (IdentityFieldList).
//
// Account rows are read and written through the pooled LocalUser collection,
// borrowed and released inside each call. Every procedure reports its errors
// and raises them again. UI thread only.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "clsGenXMLDocument.h"

class LoginDialogAccess;

namespace modLocalUserFunctions {

// The place of each option in the options block.
enum OptionNumber : int32_t {
  kClearMessageOnSend = 0,
  kShowIncomingMessage = 1,
  kIncludeSenderMessageOnReply = 2,
  kKeptOutgoingMessageInHistory = 3,
  kDeleteMessageOlderThan = 4,
  kIncludeSignature = 5,
  kAcceptMessFileFromUserInMyUserList = 6,
  kAlwaysOnTop = 7,
  kDisplayToolTips = 8,
  kShareMyUserList = 9,
  kSaveWindowsSetting = 10,
  kEnableIPFiltering = 11,
  kDisplayRejectedIP = 12,
  kLoadAtStartup = 13,
  kEncryptSendingFile = 14,
  kWarnOnFileOpen = 15,
  kFrequentUserCount = 16,
  kDeleteInterval = 17,
  kDeleteIntervalType = 18,
  kLanguage = 19,
  kUploadFolder = 20,
  kMessageSavingFolder = 21,
  kPrimaryServerIP = 22,
  kAppHotKey = 23,
  kLastAttachedFile = 24,
  kFilterIPList = 25,
};

// Fields of an account row (record class 7) read and written here and by
// the login and options dialogs; 50000 and up are computed values.
enum LocalUserField : int32_t {
  kLocalUserUID = 0,
  kLocalUserCS = 1,
  kLocalUserUN = 2,
  kLocalUserFN = 3,
  kLocalUserLN = 4,
  kLocalUserPW = 5,
  kLocalUserOP = 6,
  kLocalUserIP = 7,
  kLocalUserCN = 8,
  kLocalUserPA = 9,
  kLocalUserSI = 11,
  kLocalUserPSIP = 12,
  kLocalUserFIP = 28,
  kLocalUserFullName = 50001,   // "FN LN"
  kLocalUserSignature = 50500,  // "SI" with its line breaks restored
};

inline constexpr int kOptionFlagCount = 16;  // options 0..15 are flags
// The longest user name the login and options dialogs accept.
inline constexpr int kMaxUserNameLength = 20;

// The options of one account. A new record holds zeros and empty texts;
// LoadLocalUserOptions fills it.
struct UserOptions {
  bool ClearMessageOnSend = false;
  bool ShowIncomingMessage = false;
  bool IncludeSenderMessageOnReply = false;
  bool KeptOutgoingMessageInHistory = false;
  bool DeleteMessageOlderThan = false;
  bool IncludeSignature = false;
  bool AcceptMessFileFromUserInMyUserList = false;
  bool AlwaysOnTop = false;
  bool DisplayToolTips = false;
  bool ShareMyUserList = false;
  bool SaveWindowsSetting = false;
  bool EnableIPFiltering = false;
  bool DisplayRejectedIP = false;
  bool LoadAtStartup = false;
  bool EncryptSendingFile = false;
  bool WarnOnFileOpen = false;
  int32_t FrequentUserCount = 0;
  int32_t DeleteInterval = 0;
  int32_t DeleteIntervalType = 0;  // code of resource list 208
  int32_t Language = 0;            // code of resource list 206
  std::string UploadFolder;
  std::string MessageSavingFolder;
  std::string PrimaryServerIP;
  std::string AppHotKey;
  std::string LastAttachedFile;
  std::string FilterIPList;  // "||" list of address patterns

  // Flag `number` (0..15); raises 9 for any other number.
  bool& flag(int32_t number);
  bool flag(int32_t number) const;

  bool operator==(const UserOptions&) const = default;
};

// The options of the logged-in person, loaded after the login.
extern UserOptions LocalUserOptions;

// An option value as GetLocalUserOption answers it: nothing, a flag or a text.
using OptionValue = std::variant<std::monostate, bool, std::string>;

// One account as the account lists show it.
struct LocalUserName {
  std::string uid;
  std::string userName;  // "UN"
};

// The accounts of this computer in stored order.
std::vector<LocalUserName> ListLocalUsers();

// The stored form of a typed user name ("UN"): without surrounding blanks, in
// capitals.
std::string StoredUserName(const std::string& typed);

// The login check of the login dialog's OK button (see the .cpp for the
// steps). `dialog` is the login dialog, whose boxes may be emptied and which
// is hidden before a new account is created. True when an account is now
// logged in (modGlobalVariables::CurrentLocalUserUID is set).
bool ValidateLogin(const std::string& userName, const std::string& password,
                   const std::string& serverAddress, LoginDialogAccess& dialog);

// Fills `options` from the account `accountUID` (empty: the logged-in one).
// The defaults are taken when forceDefaults is set or the account's "OP" is
// empty; their folders lie under <documents>/Tavinor/<folderName> (empty
// folder name: the account's "UN"). Loading creates no folder: the options
// dialog makes them when it saves a new account, and whoever writes into
// them makes them when missing. Forced defaults leave PrimaryServerIP empty
// and keep the account's "FIP".
void LoadLocalUserOptions(UserOptions& options, bool forceDefaults, const std::string& accountUID,
                          const std::string& folderName);

// Reads an options text into options 0..21, 23 and 24, item by item. A flag
// is on exactly for "T". Items 16..18 take the leading number of the item
// (0 when there is none); item 19 must be a number (else error 13). Items
// after the 24th are ignored; a missing item raises 9 with the options
// before it already set.
void ParseOptionsString(const std::string& text, UserOptions& options);

// The options text of `options`.
std::string BuildOptionsString(const UserOptions& options);

// Appends "T" or "F" to the list text ("||" first when it is not empty).
void BoolToTF(std::string& text, bool flag);

// Option 9 (a flag) or 20, 21, 23, 24 (texts) of the logged-in person (empty
// UID) or of another account, whose options are loaded into a private copy.
// Any other number shows "options not implemented in the select case
// statement... 325gfa" and answers nothing.
OptionValue GetLocalUserOption(int32_t option, const std::string& accountUID);

// The account row (empty UID: the logged-in account); a null node when no
// row has that UID. The node lies in the shared LocalUser document.
pugi::xml_node GetLocalUserElement(const std::string& accountUID);

// A field (or computed field) of the account row (empty UID: the logged-in
// account). An empty signature (50500) with fallBackToName set gives that
// same account's "FN LN" (50001) instead, never another person's name.
std::string GetLocalUserFieldValue(int32_t field, const std::string& accountUID,
                                   bool fallBackToName);

// `result` := wantedField of the first account row whose keyField equals
// keyValue ("" when none does); true when that text is not empty.
bool IsLocalUser(int32_t keyField, const std::string& keyValue, int32_t wantedField,
                 std::string& result);

// Copies the identity attributes of classType's list (7: account row, 0:
// users-directory row) from `source` onto `target`, creating or overwriting
// each, and returns the target. Raises 9 for another class, 91 for a null
// source or target, 5 when the source lacks one of the attributes.
pugi::xml_node BuildUserIdentityElement(int32_t classType, pugi::xml_node source,
                                        pugi::xml_node target);
// The same into a new document whose root element is a new "U" element,
// ready to be sent as text or copied where the caller wants it.
XMLDocumentRef BuildUserIdentityElement(int32_t classType, pugi::xml_node source);

// The identity a text from another copy carries, in either form copies
// send it: attributes on the root element (<R ... UID=.../>, returned as it
// is) or an element "U" inside it (<R><U .../></R>, returned alone). Any
// other text is returned as it is.
std::string IdentityElementText(const std::string& text);

// Records this computer's address and host name in every account row whose
// "IP" or "CN" differs, raising its "CS" by 1. Does not save: the account
// collection is saved at shut-down.
void UpdateLocalUserNetworkInfo();

// Deletes the account row and its data folder, then tells the person which
// folders under the documents folder were left in place. Nothing for "".
void DeleteLocalUser(const std::string& accountUID);

// Queues the logged-in person's identity for the primary server (an action
// started at once, not retried) when the options name a server by a dotted
// address without wildcards; nothing otherwise.
void QueuePrimaryServerAction();

// The account that the data files in the account folder `folderName` name
// as their owner, when it is no account of this computer any more (the
// accounts file was lost): an account made again over that folder takes it
// back, so its files are its own again. "" when the files name no owner,
// several, or a known account.
std::string FormerOwnerOfFolder(const std::string& folderName);

// Removes what saves and transfers cut short by a kill left behind: the
// temporary files of data-file saves (".<name>.tvrtmp-<number>") in the data
// folder and each account's folder, and the partial received files
// (".<name>.tvrpart-<id>") that no transfer holds in each account's upload
// folder and below. Nothing else is removed and no symbolic link is
// followed. Errors are reported and ended.
void RemoveUnfinishedFiles();

// Adds one preset instant message per entry of resource list 1010 to the
// logged-in account: entries 1..4 get type 1, 5..8 type 2, the rest type 3.
void AppendDefaultInstantMessages();

}  // namespace modLocalUserFunctions
