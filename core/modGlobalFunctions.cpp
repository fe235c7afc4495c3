#include "modGlobalFunctions.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextEdit>
#include <cmath>

#include "Clock.h"
#include "MessageBox.h"
#include "MessageWindowsServices.h"
#include "ShellOpen.h"
#include "clsActionManager.h"
#include "modCOMMessageCenter.h"
#include "modLocalUserFunctions.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "TvrError.h"
#include "Utf8.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"

namespace modGlobalFunctions {

std::string BuildXMLTemplate(const std::string& elementName, int32_t classType) {
  try {
    std::string xml = "<" + elementName + " ";
    for (int32_t field = 0; field < modGenGlobals::kFieldCount; ++field) {
      const std::string& name = modGenGlobals::FieldName(classType, field);
      if (field > 0 && name.empty()) break;
      xml += name + "='' ";
    }
    return xml + "/>";
  } catch (...) {
    raiseAgain("");
  }
}

namespace {

using modGlobalVariables::kMessageRTS;
using modGlobalVariables::kMessageST;

using modGlobalVariables::RecordClass;
namespace globals = modGenGlobals;

constexpr const char* kInternalCodeError = "Internal code error. 61346";
constexpr const char* kUnmanagedPool = "This case is not managed yet : 6532gsagr3421";
constexpr const char* kInvalidFields = " Invalid fields specification : 52y32bsdfgs";
constexpr const char* kInvalidRootFields = " Invalid fields specification : 52y32bsd563245h";
constexpr const char* kUnknownClassFields = " Error getting field value : 52y32bsdfgs6421s";

constexpr int32_t kUIDField = 0;
constexpr int32_t kAccountFolderField = 9;  // "PA" of a LocalUser row
constexpr int32_t kFieldNumberMask = 0x7FFFF;
// The one code of a group row, an empty text. Like every field number it
// arrives through its low 19 bits.
constexpr int32_t kGroupEmptyCode = 999999 & kFieldNumberMask;
constexpr std::size_t kPreviewLength = 50;

// Resource code lists of the computed fields.
constexpr int kPriorityList = 201;
constexpr int kMessageStatusList = 203;
constexpr int kActionTypeList = 204;
constexpr int kActionStatusList = 205;
constexpr int kInstantMessageTypeList = 207;

// How the factory configures a record class.
struct ClassConfiguration {
  const char* element;
  const char* subElement;
  int32_t subTemplateClass;  // -1: no sub template
  int32_t subClassType;
  const char* fileName;
  bool perUser;  // the file lies in the owner's account folder
};

const ClassConfiguration* configurationOf(int32_t classType) {
  using namespace modGlobalVariables;
  static const std::map<int32_t, ClassConfiguration> table = {
      {User, {"U", "", -1, 0, "D010.dat", true}},
      {Group, {"G", "U", Group, 0, "D004.dat", true}},
      {MessSent, {"M", "U", MessRecipient, MessRecipient, "D009.dat", true}},
      {MessRec, {"M", "U", MessRec, MessRecipient, "D008.dat", true}},
      {MessHist, {"M", "U", MessHist, MessRecipient, "D006.dat", true}},
      {LocalUser, {"U", "", -1, 0, "D001.dat", false}},
      {Action, {"A", "", -1, 0, "D002.dat", true}},
      {InstMess, {"I", "", -1, 0, "D003.dat", true}},
      {ActivityLog, {"X", "", -1, 0, "D007.dat", true}},
  };
  const auto found = table.find(classType);
  return found == table.end() ? nullptr : &found->second;
}

bool isPooledClass(int32_t classType) {
  using namespace modGlobalVariables;
  return classType == User || classType == MessSent || classType == MessRec ||
         classType == MessHist || classType == LocalUser || classType == InstMess;
}

std::array<std::vector<GenObjectRef>, globals::kClassCount>& objectPools() {
  static std::array<std::vector<GenObjectRef>, globals::kClassCount> pools;
  return pools;
}

void showProgrammingError(const char* text) {
  platform::showMessageBox(text, platform::kMbOkOnly, modGenFunctions::kAppTitle);
}

// Reloads a locked pooled collection whose class document was unloaded
// meanwhile, so a lent collection always holds its file's rows; unlocks it
// again when the load fails.
void lendLoaded(clsGenObject& collection) {
  try {
    collection.LoadXMLDoc(false);
  } catch (...) {
    collection.ReleaseExclusiveLock();
    throw;
  }
}

// The account folder ("PA") of `owner`, read from the local accounts. A
// per-user file must never fall back to the shared data folder nor lie
// outside the data folder, so an owner without a folder, or with a folder
// that is no plain name, is an error.
std::string accountFolderOf(const std::string& owner) {
  if (owner.empty()) {
    throw TvrError(kErrInvalidCall, "", "No account is logged in: its data folder is unknown");
  }
  std::string folder;
  {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    folder = accounts->GetRowFieldByKey(kUIDField, owner, kAccountFolderField, false);
  }
  if (folder.empty()) {
    throw TvrError(kErrInvalidCall, "", "The data folder of account " + owner + " is unknown");
  }
  if (!modGenFunctionsFile::isPlainFileName(folder)) {
    throw TvrError(kErrInvalidCall, "", "The data folder of account " + owner + " is no plain name");
  }
  return folder;
}

void configure(clsGenObject& collection, int32_t classType, const ClassConfiguration& config,
               const std::string& localPath, bool linked) {
  collection.XMLElementBaseName(config.element);
  collection.XMLPrimaryTemplate(BuildXMLTemplate(config.element, classType));
  collection.XMLSubElementBaseName(config.subElement);
  collection.XMLSubTemplate(config.subTemplateClass < 0
                                ? std::string()
                                : BuildXMLTemplate(config.subElement, config.subTemplateClass));
  collection.SubClassType(config.subClassType);
  collection.FileName(config.fileName);
  collection.LocalPath(localPath);
  collection.ValidateOwnershipOnLoadingXMLDoc(classType != modGlobalVariables::LocalUser);
  collection.FileContentEncrypted(true);
  if (linked) collection.XMLDocLinked(globals::ClassDocument[classType]);
}

std::string attributeOf(pugi::xml_node element, const char* name) {
  return element.attribute(name).value();
}

// The text of `code` in resource list `list`. A code the list lacks (a value
// written by another copy, say) shows as itself instead of failing the
// whole display.
std::string listText(int list, const std::string& code) {
  if (!modGenFunctionsResource::GetResourceSection(list).contains(modGenFunctions::MakeCollectionKey(code))) {
    return code;
  }
  return modGenFunctionsResource::GetResourceListText(list, code);
}

std::string restored(pugi::xml_node element, const char* name) {
  return modGenFunctions::ConvertCRLF(attributeOf(element, name), false);
}

std::string cut(pugi::xml_node element, const char* name) {
  return TruncateText(attributeOf(element, name), kPreviewLength);
}

std::string missingName(bool showEmptyText) {
  return showEmptyText ? modGenFunctionsResource::GetResourceMessage(kMissingNameMessage) : std::string();
}

// How a person is named on screen: "LN, FN" (50000) or "FN LN" (50001)
// without separators around a missing name; a person who gave neither name
// goes by the account's user name, else by the computer and its address.
std::string personName(pugi::xml_node element, int32_t field) {
  const std::string last = attributeOf(element, "LN");
  const std::string first = attributeOf(element, "FN");
  if (field == 50010) return last + "." + first;
  if (!last.empty() && !first.empty()) {
    return field == 50000 ? last + ", " + first : first + " " + last;
  }
  if (!last.empty() || !first.empty()) return last + first;
  const std::string userName = attributeOf(element, "UN");
  if (!userName.empty()) return userName;
  const std::string computer = attributeOf(element, "CN");
  const std::string address = attributeOf(element, "IP");
  if (computer.empty() || address.empty()) return computer + address;
  return computer + " (" + address + ")";
}

std::string userValue(int32_t classType, pugi::xml_node element, int32_t field, bool showEmptyText) {
  const bool local = classType == modGlobalVariables::LocalUser;
  const bool nameCode = field == 50000 || field == 50001 || (!local && field == 50010);
  const bool textCode = local && (field == 50500 || field == 50505);
  if (!nameCode && !textCode) {
    showProgrammingError(kInvalidFields);
    return {};
  }
  if (!element) return nameCode ? missingName(showEmptyText) : std::string();
  if (nameCode) {
    const std::string name = personName(element, field);
    return name.empty() ? missingName(showEmptyText) : name;
  }
  return restored(element, field == 50500 ? "SI" : "ARM");
}

std::string groupValue(pugi::xml_node element, int32_t field) {
  if (element && field != kGroupEmptyCode) showProgrammingError(kInvalidFields);
  return {};
}

std::string messageValue(pugi::xml_node element, int32_t field) {
  if (!element) return {};
  switch (field) {
    case 50000: return listText(kMessageStatusList, attributeOf(element, "ST"));
    case 50001: return listText(kPriorityList, attributeOf(element, "PR"));
    case 50500: return restored(element, "CO");
    case 50501: return cut(element, "CO");
    default: showProgrammingError(kInvalidFields); return {};
  }
}

std::string actionValue(pugi::xml_node element, int32_t field, bool showEmptyText) {
  switch (field) {
    case 50000: return element ? listText(kActionTypeList, attributeOf(element, "AT")) : "";
    case 50001: return element ? listText(kActionStatusList, attributeOf(element, "AS")) : "";
    case 50002:
      if (!element) return missingName(showEmptyText);
      return GetObjectFieldValue(modGlobalVariables::User, kUIDField, attributeOf(element, "RUID"),
                                 50001, true);
    default: return {};
  }
}

std::string instantMessageValue(pugi::xml_node element, int32_t field) {
  if (field != 50500 && field != 50501 && field != 50510) {
    showProgrammingError(kInvalidFields);
    return {};
  }
  if (!element) return {};
  if (field == 50500) return restored(element, "CO");
  if (field == 50501) return cut(element, "CO");
  return listText(kInstantMessageTypeList, attributeOf(element, "TY"));
}

std::string computedValue(int32_t classType, pugi::xml_node element, int32_t field,
                          bool showEmptyText) {
  using namespace modGlobalVariables;
  switch (classType) {
    case User:
    case LocalUser: return userValue(classType, element, field, showEmptyText);
    case Group: return groupValue(element, field);
    case MessSent:
    case MessRec:
    case MessHist: return messageValue(element, field);
    case Action: return actionValue(element, field, showEmptyText);
    case InstMess: return instantMessageValue(element, field);
    case RootAttributes: showProgrammingError(kInvalidRootFields); return {};
    default: showProgrammingError(kUnknownClassFields); return {};
  }
}

}  // namespace

GenObjectRef CreateGenObject(int32_t classType, const std::string& ownerUID, bool linked, bool load) {
  try {
    const std::string owner = ownerUID.empty() ? modGlobalVariables::CurrentLocalUserUID : ownerUID;
    const ClassConfiguration* config = configurationOf(classType);
    const std::string localPath = config && config->perUser ? accountFolderOf(owner) : std::string();

    auto collection = std::make_shared<clsGenObject>();
    collection->ClassType(classType);
    collection->ClassOwner(owner);
    if (config) {
      configure(*collection, classType, *config, localPath, linked);
    } else {
      showProgrammingError(kInternalCodeError);
    }
    collection->IsLinkedToGlobalXMLDoc(linked);
    if (linked && config && !globals::ClassDocLoaded[classType]) {
      globals::PrimaryUpdateCounter[classType] = 0;
      globals::SubUpdateCounter[classType] = 0;
    }
    if (!linked) collection->XMLDocLinked(nullptr);
    if (load && config && !collection->IsLoaded()) collection->LoadXMLDoc(false);
    return collection;
  } catch (...) {
    raiseAgain("modGlobalFunctions.CreateGenObject");
  }
}

namespace {

// The newest stamp among the kept copies of the data file `fileName` and of
// its journal in the entries of `folder`.
QDateTime newestKeptCopy(const std::string& folder, const std::string& fileName) {
  using namespace modGenApplicationSetting;
  const QString stamp = QString::fromLatin1(kKeptCopyStamp);
  QDateTime last;
  for (const std::string& kept : {fileName + kKeptCopyMark, fileName + ".jnl" + kKeptCopyMark}) {
    const QString mark = QString::fromStdString(kept);
    for (const QString& name : QDir(QString::fromStdString(folder)).entryList({mark + "*"}, QDir::Files)) {
      const QDateTime at = QDateTime::fromString(name.mid(mark.size(), stamp.size()), stamp);
      if (at.isValid() && (!last.isValid() || at > last)) last = at;
    }
  }
  return last;
}

}  // namespace

// Listing a folder costs as much as the folder holds, so a listing's answer
// is kept while the folder's modification time stays the same (a kept copy
// is a new entry, which changes it). A file system may record that time
// coarsely, so a listing made within kCoarsestFolderTime of it is not kept.
QDateTime LastKeptAside(int32_t classType, const std::string& userUID) {
  try {
    const ClassConfiguration* config = configurationOf(classType);
    if (config == nullptr) return {};
    const std::string localPath = config->perUser ? accountFolderOf(userUID) : std::string();
    using namespace modGenApplicationSetting;
    const FileSourceInfo file = GetFileSourceFolder(kUserDataFile, config->fileName, localPath);
    struct Listing {
      std::filesystem::file_time_type changed;
      QDateTime last;
    };
    static std::map<std::string, Listing> listings;
    constexpr auto kCoarsestFolderTime = std::chrono::seconds(2);
    std::error_code error;
    const auto changed = std::filesystem::last_write_time(file.FolderPath, error);
    const auto kept = listings.find(file.FullPath);
    if (!error && kept != listings.end() && kept->second.changed == changed) return kept->second.last;
    const auto listedAt = std::filesystem::file_time_type::clock::now();
    const QDateTime last = newestKeptCopy(file.FolderPath, file.FileName);
    if (!error && changed + kCoarsestFolderTime <= listedAt) {
      listings[file.FullPath] = {changed, last};
    } else {
      listings.erase(file.FullPath);
    }
    return last;
  } catch (...) {
    raiseAgain("modGlobalFunctions.LastKeptAside");
  }
}

GenObjectRef GetUserDataObject(int32_t classType, const std::string& userUID, bool load) {
  try {
    GenObjectRef collection = CreateGenObject(classType, userUID, false, false);
    XMLDocumentRef document;
    modGenFunctionsXML::XMLInitDocument(document, "", true);
    collection->XMLDocLinked(document);
    if (load) collection->LoadXMLDoc(false);
    return collection;
  } catch (...) {
    raiseAgain("modGlobalFunctions.GetUserDataObject");
  }
}

GenObjectRef GetPoolObj(int32_t classType, bool createIfNone) {
  try {
    if (!isPooledClass(classType)) showProgrammingError(kUnmanagedPool);
    if (classType < 0 || classType >= globals::kClassCount) {
      throw TvrError(kErrSubscript, "", "Subscript out of range");
    }
    auto& pool = objectPools()[classType];
    // A pool that is not marked initialised was reset by the start-up; the
    // collections left in it belong to the run before.
    if (!modGlobalVariables::ObjectPoolInitialized[classType]) pool.clear();
    // Walked by index and locked before loading: a load may show a message
    // box whose event loop runs another borrower, which may grow the pool.
    for (std::size_t index = 0; index < pool.size(); ++index) {
      const GenObjectRef collection = pool[index];
      if (collection->IsObjectLocked()) continue;
      collection->GetExclusiveLock();
      if (!collection->IsLoaded()) lendLoaded(*collection);
      return collection;
    }
    if (!createIfNone) return nullptr;
    const GenObjectRef created = CreateGenObject(classType, "", true, true);
    created->GetExclusiveLock();
    pool.push_back(created);
    modGlobalVariables::ObjectPoolInitialized[classType] = true;
    return created;
  } catch (...) {
    raiseAgain("modGlobalFunctions.GetPoolObj");
  }
}

void ReleasePoolObj(GenObjectRef& collection) {
  if (!collection) return;
  collection->ReleaseExclusiveLock();
  collection.reset();
}

void DeleteMessagesOfUsers(int32_t classType, const std::vector<std::string>& userKeys) {
  try {
    PoolLoan messages(classType);
    std::vector<std::string> alone;
    for (const std::string& key : userKeys) {
      const std::optional<NodeList> rows = messages->SelectRowsBySubField(kUIDField, key);
      if (!rows) continue;
      for (const pugi::xml_node row : *rows) {
        const auto children = row.children();
        if (std::distance(children.begin(), children.end()) == 1) alone.push_back(attributeOf(row, "UID"));
      }
    }
    if (!alone.empty()) messages->DeleteByCollection(kUIDField, alone, false);
  } catch (...) {
    raiseAgain("modGlobalFunctions.DeleteMessagesOfUsers");
  }
}

std::string GetFieldValue(int32_t classType, pugi::xml_node element, int32_t field,
                          bool showEmptyText) {
  try {
    field &= kFieldNumberMask;
    if (field < globals::kFirstComputedField) return globals::ReadStoredField(classType, element, field);
    return computedValue(classType, element, field, showEmptyText);
  } catch (...) {
    raiseAgain("modGlobalFunctions.GetFieldValue");
  }
}

std::string GetObjectFieldValue(int32_t classType, int32_t keyField, const std::string& keyValue,
                                int32_t field, bool showEmptyText) {
  try {
    PoolLoan collection(classType);
    return collection->GetRowFieldByKey(keyField, keyValue, field, showEmptyText);
  } catch (...) {
    raiseAgain("modGlobalFunctions.GetObjectFieldValue");
  }
}

void SetObjectFieldValue(int32_t classType, int32_t keyField, const std::string& keyValue,
                         int32_t field, const std::string& value, bool save) {
  try {
    PoolLoan collection(classType);
    collection->SetRowFieldByKey(keyField, keyValue, field, value);
    if (save) collection->SaveXMLDoc();
  } catch (...) {
    raiseAgain("modGlobalFunctions.SetObjectFieldValue");
  }
}

void IncrementUserCounter(const std::string& userUID, int32_t field) {
  try {
    if (userUID.empty()) return;
    PoolLoan users(modGlobalVariables::User);
    int32_t count = modGenFunctions::StrToLong(users->GetRowFieldByKey(kUIDField, userUID, field, true));
    modGenFunctions::Increment(count);
    users->SetRowFieldByKey(kUIDField, userUID, field, count);
    users->SaveXMLDoc();
  } catch (...) {
    raiseAgain("modGlobalFunctions.IncrementUserCounter");
  }
}

std::string TruncateText(const std::string& text, int32_t maximum) {
  try {
    if (text.empty()) return {};
    const std::size_t length = platform::utf8::length(text);
    const std::size_t limit = maximum < 0 ? length : static_cast<std::size_t>(maximum);
    const std::size_t marker = text.find(modGenFunctions::kCrLfMarker);
    if (marker != std::string::npos) {
      // 1-based position of the marker; the text before the cut position is kept.
      const std::size_t position = platform::utf8::length(std::string_view(text).substr(0, marker)) + 1;
      const std::size_t cutAt = std::min(position, limit);
      return platform::utf8::left(text, cutAt == 0 ? 0 : cutAt - 1) + "...";
    }
    if (length > limit) return platform::utf8::left(text, limit) + "...";
    return text;
  } catch (...) {
    raiseAgain("modGlobalFunctions.TruncateText");
  }
}

namespace {

constexpr int32_t kUserFullNameField = 50001;  // "FN LN" of a User row

// A "CS" text as a whole number: blanks around it allowed, "" is 0; nothing
// when it is no whole number of 32 bits.
std::optional<int32_t> changeCounterOf(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return 0;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// What became of a received identity, and the row it concerns.
struct IdentityOutcome {
  int32_t result = 0;
  int message = 30002;  // unchanged, or no "UID"
  pugi::xml_node row;
};

// Stores the identity `element` (with a valid "CS") in `directory`.
IdentityOutcome storeIdentity(clsGenObject& directory, pugi::xml_node element,
                              int32_t receivedCounter) {
  IdentityOutcome outcome;
  const std::string uid = element.attribute("UID").value();
  if (uid.empty()) return outcome;
  directory.PC_SelectSingleNode(kUIDField, uid);
  outcome.row = directory.GetCurrent();
  const bool isNew = !outcome.row;
  // An older identity may still tell a new address, but the change
  // counter never goes down.
  bool older = false;
  if (!isNew) {
    const int32_t storedCounter = changeCounterOf(outcome.row.attribute("CS").value()).value_or(0);
    const bool moved =
        std::string_view(element.attribute("IP").value()) != outcome.row.attribute("IP").value();
    older = receivedCounter < storedCounter;
    if (older && !moved) {
      outcome.result = kIdentityUnchanged;
      return outcome;
    }
  } else {
    directory.CreateNewRow(false, kUIDField);
    outcome.row = directory.GetCurrent();
  }
  for (const std::string& name :
       modGlobalVariables::IdentityFieldList[modGlobalVariables::kLocalUserIdentity]) {
    if (older && name == "CS") continue;
    if (const pugi::xml_attribute value = element.attribute(name.c_str())) {
      clsGenXMLDocument::setAttribute(outcome.row, name.c_str(), value.value());
    }
  }
  directory.MarkRowAsUpdated(uid);
  if (isNew) {
    directory.AddCurrentRow();
    outcome.row = directory.GetCurrent();
  }
  directory.SaveXMLDoc();
  outcome.result = kIdentityStored;
  outcome.message = isNew ? 20510 : 30001;
  return outcome;
}

}  // namespace

int32_t UpdateUserFromRemoteElement(const std::string& ownerUID, const std::string& elementText,
                                    bool log) {
  try {
    if (ownerUID.empty() || elementText.empty()) return kIdentityRefused;
    XMLDocumentRef received;
    if (!modGenFunctionsXML::XMLLoadFromString(received, elementText)) return kIdentityRefused;
    const pugi::xml_node element = received->rootElement();
    const std::optional<int32_t> receivedCounter = changeCounterOf(element.attribute("CS").value());
    if (!receivedCounter) return kIdentityRefused;
    if (GetObjectFieldValue(RecordClass::LocalUser, kUIDField, ownerUID, kAccountFolderField, false)
            .empty()) {
      return 0;  // no local account: no directory
    }

    // The directory stays open until the outcome's row has been read.
    std::optional<PoolLoan> pooled;
    GenObjectRef directory;
    if (ownerUID == modGlobalVariables::CurrentLocalUserUID) {
      pooled.emplace(RecordClass::User);
    } else {
      directory = GetUserDataObject(RecordClass::User, ownerUID, true);
    }
    clsGenObject* collection = pooled ? pooled->operator->() : directory.get();
    IdentityOutcome outcome;
    if (collection != nullptr) outcome = storeIdentity(*collection, element, *receivedCounter);
    if (log) {
      const std::string name =
          GetFieldValue(RecordClass::User, outcome.row, kUserFullNameField, true);
      const std::string text = modGenFunctionsResource::GetResourceMessage(outcome.message, {name});
      MessageCenterServices::AddActivity(MessageCenterServices::kEvents, text,
                                         MessageCenterServices::kNoItem, "", ownerUID);
    }
    return outcome.result;
  } catch (...) {
    raiseAgain("modGlobalFunctions.UpdateUserFromRemoteElement");
  }
}

// ---- Messages ------------------------------------------------------------

namespace {

constexpr int32_t kMessageText = 50500;  // "CO" with its line breaks restored
constexpr int32_t kNotOpened = 60;
constexpr int32_t kAutomaticReply = -1;
constexpr int32_t kOpened = 100;
constexpr const char* kDateFormat = "yyyy-MM-dd hh:mm:ss";
constexpr int kFolderOpenFailedMessage = 20251;
constexpr int kNotFoundMessage = 20201;
constexpr int kNotOpenedMessage = 20202;
constexpr int kRiskyFileMessage = 80300;
constexpr int kRiskyExtensionList = 210;

std::string nowText() { return platform::now().toString(kDateFormat).toStdString(); }

bool startsWithNoCase(const std::string& text, std::string_view prefix) {
  return QString::fromStdString(text).startsWith(QString::fromUtf8(prefix.data(), prefix.size()),
                                                 Qt::CaseInsensitive);
}

// Files the desktop may run as a program when opened, whatever list 210 says.
bool canRunAsProgram(const QFileInfo& file, const std::string& extension) {
  static const std::array<const char*, 16> kRunnable = {
      "desktop", "sh", "bash", "zsh", "csh", "ksh", "run", "appimage", "bin", "py", "pl", "rb",
      "jar", "exe", "bat", "cmd"};
  const QString lower = QString::fromStdString(extension).toLower();
  return file.isExecutable() ||
         std::any_of(kRunnable.begin(), kRunnable.end(),
                     [&](const char* kind) { return lower == QLatin1String(kind); });
}

// Says that `target` is not there (kNotFoundMessage) or that the desktop
// did not open it (kNotOpenedMessage).
void tellAboutTarget(int message, const std::string& target) {
  modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(message, {target}),
                                  platform::kMbInformation, modGenFunctions::kAppTitle);
}

}  // namespace

void MarkReceivedMessageAsOpened(const std::string& messageUID) {
  try {
    if (messageUID.empty()) return;
    PoolLoan received(RecordClass::MessRec);
    received->PC_SelectSingleNode(kUIDField, messageUID);
    if (!received->IsRowSelected()) return;
    const std::optional<int32_t> status = modGenFunctions::ParseWholeNumber(received->GetField(kMessageST));
    if (!status) throw TvrError(13, "modGlobalFunctions.MarkReceivedMessageAsOpened", "Type mismatch");
    if (*status != kNotOpened && *status != kAutomaticReply) return;
    received->SetField(kMessageST, kOpened);
    received->SetField(kMessageRTS, nowText());
    if (*status == kNotOpened) {
      clsActionManager& queue = ActionManager();
      queue.AddAction(modGlobalVariables::kRequestMessageStatus, messageUID,
                      received->GetField(1), " " + std::to_string(kOpened), true, "", true, true,
                      true);
      queue.SaveStore();
    }
    received->SaveXMLDoc();
  } catch (...) {
    raiseAgain("modGlobalFunctions.MarkReceivedMessageAsOpened");
  }
}

void CopyMessageToHistory(int32_t classType, const std::vector<std::string>& messageUIDs) {
  try {
    if (messageUIDs.empty()) return;
    PoolLoan source(classType);
    PoolLoan history(RecordClass::MessHist);
    std::vector<std::string> moved;
    for (const std::string& uid : messageUIDs) {
      source->PC_SelectSingleNode(kUIDField, uid);
      if (!source->IsRowSelected()) continue;
      history->AddRow(source->GetCurrent());
      history->SetField(kUIDField, uid);
      moved.push_back(uid);
    }
    if (moved.empty()) return;
    history->SaveXMLDoc();
    for (const std::string& uid : moved) source->Delete(false, kUIDField, uid, false);
    source->SaveXMLDoc();
  } catch (...) {
    raiseAgain("modGlobalFunctions.CopyMessageToHistory");
  }
}

void ShowNotOpenedMessagesOnBoard() {
  try {
    if (!modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage) return;
    std::vector<std::string> shown;
    {
      PoolLoan received(RecordClass::MessRec);
      const XMLDocumentRef& document = received->XMLDocLinked();
      if (!document) return;
      for (const char* status : {"60", "-1"}) {
        for (pugi::xml_node row : document->rootElement().children(received->XMLElementBaseName().c_str())) {
          if (std::string_view(row.attribute("ST").value()) == status) {
            shown.push_back(row.attribute("UID").value());
          }
        }
      }
    }
    for (const std::string& uid : shown) {
      MessageCenterServices::AddBoardItem(MessageCenterServices::kBoardReceivedMessage, uid);
    }
  } catch (...) {
    endError("modGlobalFunctions.ShowNotOpenedMessagesOnBoard");
  }
}

void OpenMessageViewer(int32_t classType, const std::string& messageUID) {
  try {
    MessageWindowsServices::ShowViewer(false, modGenGlobals::AppOwnerForm);
    MessageWindowsServices::SetViewerSourceMessage(classType, messageUID);
  } catch (...) {
    raiseAgain("modGlobalFunctions.OpenMessageViewer");
  }
}

void OpenLinkOrFile(const std::string& target, QWidget* window, bool askFirst) {
  try {
    (void)window;  // boxes belong to the start-up window; the shell needs no owner
    if (target.empty()) {
      tellAboutTarget(kNotFoundMessage, target);
      return;
    }
    const bool web = startsWithNoCase(target, "http://") || startsWithNoCase(target, "https://") ||
                     startsWithNoCase(target, "mailto:");
    const bool bareWeb = startsWithNoCase(target, "www.");
    if (web || bareWeb) {
      // The desktop takes a bare "www.x" for a file name.
      if (!platform::shell::open(bareWeb ? "http://" + target : target)) {
        tellAboutTarget(kNotOpenedMessage, target);
      }
      return;
    }
    const QFileInfo info(QString::fromStdString(target));
    if (info.isFile()) {
      const std::string extension = modGenFunctionsFile::GetPathPart(target, 2);
      const bool listed = !extension.empty() &&
                          modGenFunctionsResource::FindResourceListItem(kRiskyExtensionList, extension);
      const bool warn = askFirst && (canRunAsProgram(info, extension) ||
                                     (modLocalUserFunctions::LocalUserOptions.WarnOnFileOpen && listed));
      if (warn && modGenFunctions::ShowMessageBox(
                      modGenFunctionsResource::GetResourceMessage(kRiskyFileMessage),
                      platform::kMbOkCancel | platform::kMbExclamation | platform::kMbDefaultButton2,
                      modGenFunctions::kAppTitle) != platform::kMbResultOk) {
        return;
      }
      if (!platform::shell::open(target)) tellAboutTarget(kNotOpenedMessage, target);
      return;
    }
    if (info.isDir()) {
      if (!platform::shell::explore(target)) {
        modGenFunctions::ShowMessageBox(
            modGenFunctionsResource::GetResourceMessage(kFolderOpenFailedMessage, {target}),
            platform::kMbExclamation, modGenFunctions::kAppTitle);
      }
      return;
    }
    tellAboutTarget(kNotFoundMessage, target);
  } catch (...) {
    raiseAgain("modGlobalFunctions.OpenLinkOrFile");
  }
}

// ---- Message text --------------------------------------------------------

namespace {

constexpr int kLayoutSection = 5000;
constexpr int kResponseList = 202;
constexpr int kStatusList = 203;
constexpr int kSavedFilesMessage = 30501;
constexpr int kInstantMessageHeading = 70900;
constexpr int32_t kUserListName = 50000;    // "LN, FN"
constexpr int32_t kUserFolderName = 50010;  // "LN.FN"
constexpr std::size_t kMaxNameBytes = 255;
constexpr const char* kCrLf = "\r\n";

std::string layoutText(const char* key) {
  return modGenFunctionsResource::GetResourceListText(kLayoutSection, key);
}

// A layout number: read as a number and cut to a whole number, at least 0.
std::size_t layoutNumber(const char* key) {
  bool ok = false;
  const double value = QString::fromStdString(layoutText(key)).trimmed().toDouble(&ok);
  if (!ok) throw TvrError(13, "modGlobalFunctions.FormatMessageAsText", "Type mismatch");
  return value < 1 ? 0 : static_cast<std::size_t>(std::trunc(value));
}

std::string padded(const std::string& label, std::size_t width) {
  const std::size_t length = platform::utf8::length(label);
  return label + std::string(length < width ? width - length : 0, ' ') + ": ";
}

// One plain name for a folder made from a peer's names: separators become
// "-"; a name with control characters, or nothing left, or "." / "..",
// gives the missing-name text; at most kMaxNameBytes bytes.
std::string plainFolderName(std::string name) {
  std::replace(name.begin(), name.end(), '/', '-');
  std::replace(name.begin(), name.end(), '\\', '-');
  const bool control = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (control || name.empty() || name == "." || name == "..") {
    std::string missing = modGenFunctionsResource::GetResourceMessage(kMissingNameMessage);
    name = missing.empty() || missing == "." || missing == ".." ? std::string("Unknown") : missing;
    std::replace(name.begin(), name.end(), '/', '-');
    std::replace(name.begin(), name.end(), '\\', '-');
  }
  std::size_t points = platform::utf8::length(name);
  while (name.size() > kMaxNameBytes) name = platform::utf8::left(name, --points);
  return name;
}

// "MSG_<time sent>.txt"; a time sent that does not have its usual shape
// (another copy wrote it) is replaced by the time of the export.
std::string exportFileName(const std::string& sent) {
  static const QRegularExpression kShape("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$");
  std::string stamp = kShape.match(QString::fromStdString(sent)).hasMatch() ? sent : nowText();
  return "MSG_" + modGenFunctions::MakeValidFileName(stamp) + ".txt";
}

}  // namespace

std::string FormatMessageAsText(clsGenObject& messages) {
  try {
    const pugi::xml_node row = messages.GetCurrent();
    if (!row) return {};
    const int32_t classType = messages.ClassType();
    const std::size_t separatorLength = layoutNumber("LINESEPARATORLENGTH");
    const std::string character = QString::fromStdString(layoutText("LINESEPARATORCHARACTER"))
                                      .trimmed()
                                      .left(1)
                                      .toStdString();
    std::string separator;
    for (std::size_t i = 0; i < separatorLength; ++i) separator += character;
    const std::size_t width = layoutNumber("LABELMINLENGTH");
    const std::string content = layoutText("CONTENT");

    std::string recipients = modCOMMessageCenter::GetRecipientNames(messages, false, false);
    for (std::size_t at = recipients.find("||"); at != std::string::npos;
         at = recipients.find("||", at + 2)) {
      recipients.replace(at, 2, "; ");
    }
    const double centre = static_cast<double>(separatorLength) / 2.0 -
                          static_cast<double>(platform::utf8::length(content)) / 2.0;
    const double blanks = std::max(0.0, std::nearbyint(centre));

    std::string text = separator + kCrLf;
    text += padded(layoutText("FROM"), width) +
            GetObjectFieldValue(RecordClass::User, kUIDField, attributeOf(row, "SD"), kUserListName,
                                true) +
            kCrLf;
    text += padded(layoutText("TO"), width) + recipients + kCrLf;
    text += padded(layoutText("DATE"), width) + attributeOf(row, "TS") + kCrLf;
    text += padded(layoutText("PRIORITY"), width) + listText(kPriorityList, attributeOf(row, "PR")) + kCrLf;
    text += padded(layoutText("RESPONSE"), width) + listText(kResponseList, attributeOf(row, "RT")) + kCrLf;
    text += padded(layoutText("STATUS"), width) + listText(kStatusList, attributeOf(row, "ST")) + kCrLf;
    text += separator + kCrLf + std::string(static_cast<std::size_t>(blanks), ' ') + content + kCrLf;
    text += separator + kCrLf;
    text += GetFieldValue(classType, row, kMessageText, false);
    text += kCrLf + separator;
    return text;
  } catch (...) {
    raiseAgain("modGlobalFunctions.FormatMessageAsText");
  }
}

std::string GetMessagesAsText(const std::vector<std::string>& messageUIDs, int32_t classType) {
  try {
    std::string text;
    PoolLoan messages(classType);
    bool first = true;
    for (const std::string& uid : messageUIDs) {
      messages->PC_SelectSingleNode(kUIDField, uid);
      if (!messages->IsRowSelected()) continue;
      if (!first) text += std::string(kCrLf) + kCrLf;
      text += FormatMessageAsText(*messages);
      first = false;
    }
    return text;
  } catch (...) {
    raiseAgain("modGlobalFunctions.GetMessagesAsText");
  }
}

int32_t SaveMessageToTextFile(const std::vector<std::string>& messageUIDs, int32_t classType,
                              QWidget* window, bool& openAfter) {
  try {
    int32_t written = 0;
    if (messageUIDs.empty()) return written;
    std::string base = modLocalUserFunctions::LocalUserOptions.MessageSavingFolder;
    modGenFunctions::AppendIfMissing(base, "/");
    std::vector<std::string> files;
    {
      PoolLoan messages(classType);
      for (const std::string& uid : messageUIDs) {
        try {
          messages->PC_SelectSingleNode(kUIDField, uid);
          if (!messages->IsRowSelected()) continue;
          const pugi::xml_node row = messages->GetCurrent();
          const std::string text = FormatMessageAsText(*messages);
          const std::string folder =
              base + plainFolderName(GetObjectFieldValue(RecordClass::User, kUIDField,
                                                         attributeOf(row, "SD"), kUserFolderName, true));
          modGenFunctionsFile::CreateFolderPath(folder);
          const std::string name =
              modGenFunctionsFile::GetUniqueFileName(folder, exportFileName(attributeOf(row, "TS")));
          modGenFunctionsFile::SaveFileContent(folder, name, text, false);
          files.push_back(folder + "/" + name);
          ++written;
        } catch (...) {
          endError("modGlobalFunctions.SaveMessageToTextFile");
        }
      }
    }
    if (openAfter) {
      for (const std::string& file : files) OpenLinkOrFile(file, window, false);
    } else {
      modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(kSavedFilesMessage, {" " + std::to_string(written)}),
          platform::kMbInformation, modGenFunctions::kAppTitle);
    }
    return written;
  } catch (...) {
    raiseAgain("modGlobalFunctions.SaveMessageToTextFile");
  }
}

void FillInstantMessageCombo(clsGenObject& instantMessages, QComboBox& typeCombo,
                             QComboBox& messageCombo, std::vector<std::string>& identifiers) {
  try {
    const std::string type = std::to_string(typeCombo.currentData().toLongLong());
    std::vector<pugi::xml_node> rows;
    if (const XMLDocumentRef& document = instantMessages.XMLDocLinked()) {
      for (pugi::xml_node row :
           document->rootElement().children(instantMessages.XMLElementBaseName().c_str())) {
        if (type == row.attribute("TY").value()) rows.push_back(row);
      }
    }
    identifiers.assign(rows.size() + 1, std::string());
    messageCombo.clear();
    messageCombo.addItem(
        QString::fromStdString(modGenFunctionsResource::GetResourceMessage(kInstantMessageHeading)));
    for (pugi::xml_node row : rows) {
      identifiers[static_cast<std::size_t>(messageCombo.count())] = attributeOf(row, "UID");
      messageCombo.addItem(QString::fromStdString(TruncateText(attributeOf(row, "CO"), kPreviewLength)));
    }
    messageCombo.setCurrentIndex(0);
  } catch (...) {
    raiseAgain("modGlobalFunctions.FillInstantMessageCombo");
  }
}

void InsertInstantMessageText(clsGenObject& instantMessages, QComboBox& messageCombo,
                              QWidget& textBox, const std::vector<std::string>& identifiers) {
  try {
    const int index = messageCombo.currentIndex();
    if (index <= 0 || static_cast<std::size_t>(index) >= identifiers.size()) return;
    instantMessages.PC_SelectSingleNode(kUIDField, identifiers[static_cast<std::size_t>(index)]);
    if (!instantMessages.IsRowSelected()) return;
    QString text = QString::fromStdString(GetFieldValue(
        RecordClass::InstMess, instantMessages.GetCurrent(), kMessageText, false) + "\n");
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (auto* plain = qobject_cast<QPlainTextEdit*>(&textBox)) {
      QTextCursor caret = plain->textCursor();
      caret.insertText(text);
      plain->setTextCursor(caret);
    } else if (auto* rich = qobject_cast<QTextEdit*>(&textBox)) {
      QTextCursor caret = rich->textCursor();
      caret.insertText(text);
      rich->setTextCursor(caret);
    } else if (auto* line = qobject_cast<QLineEdit*>(&textBox)) {
      line->insert(text);
    }
  } catch (...) {
    raiseAgain("modGlobalFunctions.InsertInstantMessageText");
  }
}

}  // namespace modGlobalFunctions
