#include "modLocalUserFunctions.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QString>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "TvrError.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modGenAPI.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenFunctionsXML.h"
#include "modGlobalVariables.h"

namespace modLocalUserFunctions {

UserOptions LocalUserOptions;

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Length of the number that starts `text` at `from`: sign, digits, an
// optional fraction and an optional exponent ("E" or "D"); 0 when no digit.
std::size_t numberLength(const std::string& text, std::size_t from) {
  std::size_t at = from;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  std::size_t digits = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at, ++digits;
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at, ++digits;
  }
  if (digits == 0) return 0;
  if (at < text.size() &&
      (text[at] == 'E' || text[at] == 'e' || text[at] == 'D' || text[at] == 'd')) {
    std::size_t exponent = at + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    const std::size_t firstDigit = exponent;
    while (exponent < text.size() && std::isdigit(static_cast<unsigned char>(text[exponent]))) {
      ++exponent;
    }
    if (exponent > firstDigit) at = exponent;
  }
  return at - from;
}

// The value of a number that numberLength accepted, read the same whatever
// the locale.
double parseNumber(std::string number) {
  for (char& c : number) {
    if (c == 'D' || c == 'd') c = 'E';
  }
  const char* first = number.data();
  if (*first == '+') ++first;
  double value = 0;
  const auto [end, error] = std::from_chars(first, number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) throw TvrError(kErrOverflow, "", "Overflow");
  return value;
}

// A number rounded half to even into 32 bits; error 6 when it does not fit.
int32_t toWholeNumber(double value) {
  const double rounded = std::nearbyint(value);
  if (!(rounded >= std::numeric_limits<int32_t>::min() &&
        rounded <= std::numeric_limits<int32_t>::max())) {
    throw TvrError(kErrOverflow, "", "Overflow");
  }
  return static_cast<int32_t>(rounded);
}

// The leading number of an item, blanks skipped; 0 when it has none.
int32_t leadingWholeNumber(const std::string& item) {
  std::string packed;
  for (char c : item) {
    if (!isBlank(c)) packed += c;
  }
  const std::size_t length = numberLength(packed, 0);
  return length == 0 ? 0 : toWholeNumber(parseNumber(packed.substr(0, length)));
}

// The whole item as a number (blanks around it allowed); error 13 otherwise.
int32_t strictWholeNumber(const std::string& item) {
  std::size_t first = 0;
  while (first < item.size() && isBlank(item[first])) ++first;
  std::size_t last = item.size();
  while (last > first && isBlank(item[last - 1])) --last;
  const std::size_t length = numberLength(item, first);
  if (length == 0 || first + length != last) {
    throw TvrError(kErrTypeMismatch, "", "Type mismatch");
  }
  return toWholeNumber(parseNumber(item.substr(first, length)));
}

constexpr int kDefaultInstantMessagesList = 1010;
constexpr int32_t kInstMessUIDField = 0;
constexpr int32_t kInstMessTypeField = 1;
constexpr int32_t kInstMessTextField = 2;

// The account a procedure works on: the given one, else the logged-in one.
const std::string& accountOrCurrent(const std::string& accountUID) {
  return accountUID.empty() ? modGlobalVariables::CurrentLocalUserUID : accountUID;
}

// The defaults of every option but FilterIPList, which stays as it is.
void setDefaultOptions(UserOptions& options, const std::string& folderBase) {
  for (int32_t number = 0; number < kOptionFlagCount; ++number) options.flag(number) = false;
  for (const OptionNumber on :
       {kClearMessageOnSend, kShowIncomingMessage, kIncludeSenderMessageOnReply,
        kKeptOutgoingMessageInHistory, kDeleteMessageOlderThan, kDisplayToolTips, kShareMyUserList,
        kSaveWindowsSetting, kEncryptSendingFile, kWarnOnFileOpen}) {
    options.flag(on) = true;
  }
  options.FrequentUserCount = 10;
  options.DeleteInterval = 7;
  options.DeleteIntervalType = 1;
  options.Language = 2;
  options.UploadFolder = folderBase + "/Transferts";
  options.MessageSavingFolder = folderBase + "/Messages";
  options.PrimaryServerIP.clear();
  options.AppHotKey = "CTRL+ALT+M";
  options.LastAttachedFile.clear();
}

// <documents>/Tavinor/<folderName>; a folder name never leads out of it.
std::string defaultFolderBase(const std::string& folderName) {
  std::string base = modGenAPI::GetSpecialFolderPath(modGenAPI::kFolderDocuments) + "/Tavinor";
  const std::string confined = modGenFunctionsFile::confinedRelativePath(folderName);
  if (!confined.empty()) base += "/" + confined;
  return base;
}

void showInformation(const std::string& text) {
  modGenFunctions::ShowMessageBox(text, platform::kMbInformation, modGenFunctions::kAppTitle);
}

// The options of an account being removed, for the folders named in the
// farewell message. A damaged options text must not keep its account from
// being removed: the defaults stand in for it.
UserOptions optionsForRemoval(const std::string& accountUID) {
  UserOptions options;
  try {
    LoadLocalUserOptions(options, false, accountUID, "");
  } catch (...) {
    endError("modLocalUserFunctions.DeleteLocalUser");
    LoadLocalUserOptions(options, true, accountUID, "");
  }
  return options;
}

}  // namespace

bool& UserOptions::flag(int32_t number) {
  switch (number) {
    case kClearMessageOnSend:
      return ClearMessageOnSend;
    case kShowIncomingMessage:
      return ShowIncomingMessage;
    case kIncludeSenderMessageOnReply:
      return IncludeSenderMessageOnReply;
    case kKeptOutgoingMessageInHistory:
      return KeptOutgoingMessageInHistory;
    case kDeleteMessageOlderThan:
      return DeleteMessageOlderThan;
    case kIncludeSignature:
      return IncludeSignature;
    case kAcceptMessFileFromUserInMyUserList:
      return AcceptMessFileFromUserInMyUserList;
    case kAlwaysOnTop:
      return AlwaysOnTop;
    case kDisplayToolTips:
      return DisplayToolTips;
    case kShareMyUserList:
      return ShareMyUserList;
    case kSaveWindowsSetting:
      return SaveWindowsSetting;
    case kEnableIPFiltering:
      return EnableIPFiltering;
    case kDisplayRejectedIP:
      return DisplayRejectedIP;
    case kLoadAtStartup:
      return LoadAtStartup;
    case kEncryptSendingFile:
      return EncryptSendingFile;
    case kWarnOnFileOpen:
      return WarnOnFileOpen;
    default:
      throw TvrError(kErrSubscript, "UserOptions.flag", "Subscript out of range");
  }
}

bool UserOptions::flag(int32_t number) const {
  return const_cast<UserOptions*>(this)->flag(number);
}

std::string StoredUserName(const std::string& typed) {
  return QString::fromStdString(typed).trimmed().toUpper().toStdString();
}

std::vector<LocalUserName> ListLocalUsers() {
  try {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    std::vector<LocalUserName> names;
    const XMLDocumentRef& document = accounts->XMLDocLinked();
    if (!document) return names;
    for (const pugi::xml_node row :
         document->rootElement().children(accounts->XMLElementBaseName().c_str())) {
      names.push_back({row.attribute("UID").value(), row.attribute("UN").value()});
    }
    return names;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.ListLocalUsers");
  }
}

// 1. The typed name, in capitals, is looked up among the accounts.
// 2. None has it: asked whether to create it (10010). Yes hides the login
//    dialog and opens the options dialog in its new-account state; the login
//    succeeds when that saved the account. No says so (10011) and empties
//    both boxes.
// 3. Its password differs (exactly, letter case included): 10008, and the
//    password box is emptied.
// 4. It matches: that account is logged in.
bool ValidateLogin(const std::string& userName, const std::string& password,
                   const std::string& serverAddress, LoginDialogAccess& dialog) {
  try {
    const std::string name = StoredUserName(userName);
    std::string uid;
    if (!IsLocalUser(kLocalUserUN, name, kLocalUserUID, uid)) {
      const int answer = modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(10010),
          platform::kMbYesNo | platform::kMbQuestion, modGenFunctions::kAppTitle);
      if (answer == platform::kMbResultYes) {
        dialog.Hide();
        UsersAndOptionsServices::CreateNewUser(userName, password, serverAddress);
        return !modGlobalVariables::CurrentLocalUserUID.empty();
      }
      showInformation(modGenFunctionsResource::GetResourceMessage(10011));
      dialog.ClearPassword();
      dialog.ClearUserName();
      if (!dialog.IsMinimized()) dialog.FocusUserName();
      return false;
    }
    std::string storedPassword;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      storedPassword = accounts->GetRowFieldByKey(kLocalUserUID, uid, kLocalUserPW, false);
    }
    if (storedPassword != password) {
      showInformation(modGenFunctionsResource::GetResourceMessage(10008));
      dialog.ClearPassword();
      if (!dialog.IsMinimized()) dialog.FocusPassword();
      return false;
    }
    modGlobalVariables::CurrentLocalUserUID = uid;
    return true;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.ValidateLogin");
  }
}

void LoadLocalUserOptions(UserOptions& options, bool forceDefaults, const std::string& accountUID,
                          const std::string& folderName) {
  try {
    const std::string& uid = accountOrCurrent(accountUID);
    std::string optionsText;
    std::string userName;
    options.FilterIPList.clear();
    options.PrimaryServerIP.clear();
    if (!uid.empty()) {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      auto field = [&](int32_t number) {
        return accounts->GetRowFieldByKey(kLocalUserUID, uid, number, false);
      };
      optionsText = field(kLocalUserOP);
      options.FilterIPList = field(kLocalUserFIP);
      options.PrimaryServerIP = field(kLocalUserPSIP);
      userName = field(kLocalUserUN);
    }
    if (optionsText.empty() || forceDefaults) {
      setDefaultOptions(options, defaultFolderBase(folderName.empty() ? userName : folderName));
    } else {
      ParseOptionsString(optionsText, options);
    }
  } catch (...) {
    raiseAgain("modLocalUserFunctions.LoadLocalUserOptions");
  }
}

void ParseOptionsString(const std::string& text, UserOptions& options) {
  try {
    const std::vector<std::string> items = modGenFunctionsString::splitText(text, "||");
    auto item = [&items](std::size_t index) -> const std::string& {
      if (index >= items.size()) {
        throw TvrError(kErrSubscript, "", "Subscript out of range");
      }
      return items[index];
    };
    for (int32_t number = 0; number < kOptionFlagCount; ++number) {
      options.flag(number) = item(number) == "T";
    }
    options.FrequentUserCount = leadingWholeNumber(item(16));
    options.DeleteInterval = leadingWholeNumber(item(17));
    options.DeleteIntervalType = leadingWholeNumber(item(18));
    options.Language = strictWholeNumber(item(19));
    options.UploadFolder = item(20);
    options.MessageSavingFolder = item(21);
    options.AppHotKey = item(22);
    options.LastAttachedFile = item(23);
  } catch (...) {
    raiseAgain("modLocalUserFunctions.ParseOptionsString");
  }
}

std::string BuildOptionsString(const UserOptions& options) {
  try {
    std::string text;
    for (int32_t number = 0; number < kOptionFlagCount; ++number) {
      BoolToTF(text, options.flag(number));
    }
    for (const int32_t value : {options.FrequentUserCount, options.DeleteInterval,
                                options.DeleteIntervalType, options.Language}) {
      modGenFunctions::AddToString(text, std::to_string(value));
    }
    for (const std::string* value : {&options.UploadFolder, &options.MessageSavingFolder,
                                     &options.AppHotKey, &options.LastAttachedFile}) {
      modGenFunctions::AddToString(text, std::string(modGenFunctionsString::trimBlanks(*value)));
    }
    return text;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.BuildOptionsString");
  }
}

void BoolToTF(std::string& text, bool flag) {
  try {
    modGenFunctions::AddToString(text, flag ? "T" : "F");
  } catch (...) {
    raiseAgain("modLocalUserFunctions.BoolToTF");
  }
}

OptionValue GetLocalUserOption(int32_t option, const std::string& accountUID) {
  try {
    switch (option) {
      case kShareMyUserList:
      case kUploadFolder:
      case kMessageSavingFolder:
      case kAppHotKey:
      case kLastAttachedFile:
        break;
      default:
        modGenFunctions::ShowMessageBox(
            "options not implemented in the select case statement... 325gfa", platform::kMbOkOnly,
            modGenFunctions::kAppTitle);
        return {};
    }
    UserOptions privateCopy;
    if (!accountUID.empty()) LoadLocalUserOptions(privateCopy, false, accountUID, "");
    const UserOptions& options = accountUID.empty() ? LocalUserOptions : privateCopy;
    switch (option) {
      case kShareMyUserList:
        return options.ShareMyUserList;
      case kUploadFolder:
        return options.UploadFolder;
      case kMessageSavingFolder:
        return options.MessageSavingFolder;
      case kAppHotKey:
        return options.AppHotKey;
      default:
        return options.LastAttachedFile;
    }
  } catch (...) {
    raiseAgain("modLocalUserFunctions.GetLocalUserOption");
  }
}

pugi::xml_node GetLocalUserElement(const std::string& accountUID) {
  try {
    const std::string& uid = accountOrCurrent(accountUID);
    if (uid.empty()) return {};
    PoolLoan accounts(modGlobalVariables::LocalUser);
    accounts->PC_SelectSingleNode(kLocalUserUID, uid);
    return accounts->GetCurrent();
  } catch (...) {
    raiseAgain("modLocalUserFunctions.GetLocalUserElement");
  }
}

std::string GetLocalUserFieldValue(int32_t field, const std::string& accountUID,
                                   bool fallBackToName) {
  try {
    const std::string& uid = accountOrCurrent(accountUID);
    PoolLoan accounts(modGlobalVariables::LocalUser);
    std::string value = accounts->GetRowFieldByKey(kLocalUserUID, uid, field, false);
    if (field == kLocalUserSignature && value.empty() && fallBackToName) {
      value = accounts->GetRowFieldByKey(kLocalUserUID, uid, kLocalUserFullName, false);
    }
    return value;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.GetLocalUserFieldValue");
  }
}

bool IsLocalUser(int32_t keyField, const std::string& keyValue, int32_t wantedField,
                 std::string& result) {
  try {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    result = accounts->GetRowFieldByKey(keyField, keyValue, wantedField, false);
    return !result.empty();
  } catch (...) {
    raiseAgain("modLocalUserFunctions.IsLocalUser");
  }
}

pugi::xml_node BuildUserIdentityElement(int32_t classType, pugi::xml_node source,
                                        pugi::xml_node target) {
  try {
    if (classType != modGlobalVariables::LocalUser && classType != modGlobalVariables::User) {
      throw TvrError(kErrSubscript, "", "Subscript out of range");
    }
    if (!source || !target) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    const auto& names =
        modGlobalVariables::IdentityFieldList[classType == modGlobalVariables::LocalUser
                                                  ? modGlobalVariables::kLocalUserIdentity
                                                  : modGlobalVariables::kUserIdentity];
    for (const std::string& name : names) {
      if (!source.attribute(name.c_str())) {
        throw TvrError(kErrInvalidCall, "", "The row has no identity attribute " + name);
      }
    }
    for (const std::string& name : names) {
      clsGenXMLDocument::setAttribute(target, name.c_str(), source.attribute(name.c_str()).value());
    }
    return target;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.BuildUserIdentityElement");
  }
}

XMLDocumentRef BuildUserIdentityElement(int32_t classType, pugi::xml_node source) {
  try {
    XMLDocumentRef document;
    modGenFunctionsXML::XMLInitDocument(document, "U", false);
    BuildUserIdentityElement(classType, source, document->rootElement());
    return document;
  } catch (...) {
    raiseAgain("modLocalUserFunctions.BuildUserIdentityElement");
  }
}

std::string IdentityElementText(const std::string& text) {
  pugi::xml_document parsed;
  constexpr unsigned kOptions = pugi::parse_default & ~pugi::parse_eol;
  if (!parsed.load_buffer(text.data(), text.size(), kOptions, pugi::encoding_utf8)) return text;
  const pugi::xml_node root = parsed.document_element();
  if (root.attribute("UID")) return text;
  const pugi::xml_node inner = root.child("U");
  return inner ? modGenFunctionsXML::XMLToString(inner) : text;
}

void UpdateLocalUserNetworkInfo() {
  try {
    clsGenAPI api;
    const std::string address = api.GetLocalIPAddress();
    const std::string hostName = api.GetLocalHostName();
    PoolLoan accounts(modGlobalVariables::LocalUser);
    std::vector<std::string> outdated;
    if (const XMLDocumentRef& document = accounts->XMLDocLinked()) {
      for (const pugi::xml_node row :
           document->rootElement().children(accounts->XMLElementBaseName().c_str())) {
        if (hostName != row.attribute("CN").value() || address != row.attribute("IP").value()) {
          outdated.push_back(row.attribute("UID").value());
        }
      }
    }
    for (const std::string& uid : outdated) {
      accounts->PC_SelectSingleNode(kLocalUserUID, uid);
      accounts->SetField(kLocalUserIP, address);
      accounts->SetField(kLocalUserCN, hostName);
      accounts->SetIncrementedField(kLocalUserCS, 1);
    }
  } catch (...) {
    raiseAgain("modLocalUserFunctions.UpdateLocalUserNetworkInfo");
  }
}

// The account's data folder goes with it; the two folders under the
// documents folder stay, and the closing message names them. An account
// without a folder name deletes no folder: its files would otherwise be
// looked for in the shared data folder itself, which holds every account.
void DeleteLocalUser(const std::string& accountUID) {
  try {
    if (accountUID.empty()) return;
    const UserOptions options = optionsForRemoval(accountUID);
    const std::string text = modGenFunctionsResource::GetResourceMessage(12210) + "\n\n" +
                             options.UploadFolder + "\n\n" + options.MessageSavingFolder;
    std::string folder;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      folder = accounts->GetRowFieldByKey(kLocalUserUID, accountUID, kLocalUserPA, false);
      accounts->Delete(false, kLocalUserUID, accountUID, true);
    }
    if (!folder.empty()) {
      modGenFunctionsFile::DeleteFolderIfExists(
          modGenApplicationSetting::GetFileSourceFolder(modGenApplicationSetting::kUserDataFile, "",
                                                        folder)
              .FolderPath);
    }
    showInformation(text);
  } catch (...) {
    raiseAgain("modLocalUserFunctions.DeleteLocalUser");
  }
}

void AppendDefaultInstantMessages() {
  try {
    PoolLoan messages(modGlobalVariables::InstMess);
    int32_t entry = 0;
    for (const modGenFunctionsResource::ResourceSection::Item& item :
         modGenFunctionsResource::GetResourceSection(kDefaultInstantMessagesList).items()) {
      ++entry;
      const int32_t type = entry <= 4 ? 1 : entry <= 8 ? 2 : 3;
      messages->CreateNewRow(true, kInstMessUIDField);
      messages->SetField(kInstMessTypeField, type);
      messages->SetField(kInstMessTextField, modGenFunctionsResource::GetItemText(item.value));
      messages->AddCurrentRow();
      messages->SaveXMLDoc();
    }
  } catch (...) {
    raiseAgain("modLocalUserFunctions.AppendDefaultInstantMessages");
  }
}

void QueuePrimaryServerAction() {
  try {
    const std::string& server = LocalUserOptions.PrimaryServerIP;
    if (server.empty() || !modGenFunctions::IsValidIPAddress(server, false)) return;
    ActionManager().AddAction(modGlobalVariables::kRequestServerIdentity, "", "", "", false, server,
                              true, false, true);
  } catch (...) {
    raiseAgain("modLocalUserFunctions.QueuePrimaryServerAction");
  }
}

namespace {

// A walk of an upload folder stops after this many entries, so a folder set
// to a whole home folder cannot hold up the start for long.
constexpr int kMaxUploadEntries = 100000;

bool isSaveTemporary(const QString& name) {
  static const QRegularExpression pattern("^\\..+\\.tvrtmp-[0-9]+$");
  return pattern.match(name).hasMatch();
}

// A partial received file no transfer holds: each running transfer keeps
// its own locked.
bool isAbandonedPart(const QString& name, const QString& path) {
  static const QRegularExpression pattern("^\\..+\\.tvrpart-[0-9a-z]{10}$");
  if (!pattern.match(name).hasMatch()) return false;
  const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

void removeSaveTemporaries(const std::string& folder) {
  QDir dir(QString::fromStdString(folder));
  for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
    if (isSaveTemporary(name)) dir.remove(name);
  }
}

// An account whose options text is damaged receives into the default folder.
std::string uploadFolderOf(const std::string& accountUID) {
  UserOptions options;
  try {
    LoadLocalUserOptions(options, false, accountUID, "");
  } catch (...) {
    endError("modLocalUserFunctions.uploadFolderOf");
    LoadLocalUserOptions(options, true, accountUID, "");
  }
  return options.UploadFolder;
}

void removeAbandonedParts(const std::string& uploadFolder) {
  if (uploadFolder.empty()) return;
  QDirIterator walk(
      QString::fromStdString(uploadFolder),
      QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
      QDirIterator::Subdirectories);
  for (int seen = 0; walk.hasNext() && seen < kMaxUploadEntries; ++seen) {
    const QString path = walk.next();
    if (walk.fileInfo().isFile() && isAbandonedPart(walk.fileName(), path)) QFile::remove(path);
  }
}

}  // namespace

std::string FormerOwnerOfFolder(const std::string& folderName) {
  try {
    if (!modGenFunctionsFile::isPlainFileName(folderName)) return {};
    const std::string folder = modGenApplicationSetting::GetFileSourceFolder(
                                   modGenApplicationSetting::kUserDataFile, "", folderName)
                                   .FolderPath;
    std::set<std::string> owners;
    for (const QString& name :
         QDir(QString::fromStdString(folder)).entryList({"D0*.dat"}, QDir::Files)) {
      const std::string owner = clsGenObject::DataFileOwner(folder + "/" + name.toStdString());
      if (!owner.empty()) owners.insert(owner);
    }
    std::string known;
    if (owners.size() != 1 || IsLocalUser(kLocalUserUID, *owners.begin(), kLocalUserUID, known)) {
      return {};
    }
    return *owners.begin();
  } catch (...) {
    raiseAgain("modLocalUserFunctions.FormerOwnerOfFolder");
  }
}

void RemoveUnfinishedFiles() {
  try {
    using namespace modGenApplicationSetting;
    removeSaveTemporaries(GetFileSourceFolder(kUserDataFile, "", "").FolderPath);
    for (const LocalUserName& account : ListLocalUsers()) {
      try {
        const std::string folder = GetLocalUserFieldValue(kLocalUserPA, account.uid, false);
        if (modGenFunctionsFile::isPlainFileName(folder)) {
          removeSaveTemporaries(GetFileSourceFolder(kUserDataFile, "", folder).FolderPath);
        }
        removeAbandonedParts(uploadFolderOf(account.uid));
      } catch (...) {
        endError("modLocalUserFunctions.RemoveUnfinishedFiles");
      }
    }
  } catch (...) {
    endError("modLocalUserFunctions.RemoveUnfinishedFiles");
  }
}

}  // namespace modLocalUserFunctions
