#include "modFileTransfer.h"

#include <algorithm>
#include <string_view>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "Utf8.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "TvrError.h"
#include "modCOMFunctions.h"
#include "modCOMRequestedAction.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace modFileTransfer {
namespace {

using modGlobalVariables::CurrentLocalUserUID;

constexpr int32_t kUserUID = 0;
constexpr int32_t kUserFullName = 50001;   // "FN LN"
constexpr int32_t kUserFolderName = 50010; // "LN.FN"
constexpr std::size_t kMaxSizeDigits = 18;

constexpr int kFolderShortenedMessage = 80400;
constexpr int kOpenFailedMessage = 80401;
constexpr int kFinishFailedMessage = 80402;
constexpr int kReceivingLabel = 80503;
constexpr int kReceivedLabel = 80553;
constexpr int kNotReceivedMessage = 80554;
constexpr int kReceivedMessage = 20002;
constexpr int kUnsendableNameMessage = 20253;

std::string parentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Whether `folder` (relative, "/" between its levels) is the last levels of `path`.
bool endsWithFolder(const std::string& path, const std::string& folder) {
  if (path == folder) return true;
  const std::size_t start = path.size() - folder.size();
  return path.size() > folder.size() && path.compare(start, folder.size(), folder) == 0 &&
         path[start - 1] == '/';
}

// The file a person chose when the entry was made, for telling him which
// file cannot be sent: the entry itself when it is a file, else the path
// before the last "||" that is followed by the end of that path's own
// folder, else the whole entry.
std::string chosenFileOf(const std::string& entry) {
  if (modGenFunctionsFile::FileExists(entry)) return entry;
  for (std::size_t at = entry.rfind(modGenFunctions::kListSeparator); at != std::string::npos;
       at = at == 0 ? std::string::npos : entry.rfind(modGenFunctions::kListSeparator, at - 1)) {
    const std::string path = entry.substr(0, at);
    if (endsWithFolder(parentFolder(path), entry.substr(at + 2))) return path;
  }
  return entry;
}

// A peer's text as a name on disk: well-formed UTF-8 (other bytes become
// "_"), without control characters.
std::string withoutControls(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : platform::utf8::valid(text, '_')) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) clean += c;
  }
  return clean;
}

// `field` of the person `uid` in the users directory of the account `owner`.
std::string userField(const std::string& owner, const std::string& uid, int32_t field) {
  if (owner.empty() || uid.empty()) return {};
  if (owner == CurrentLocalUserUID) {
    return modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUserUID, uid, field,
                                                   false);
  }
  const auto users = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, owner, true);
  const auto& document = users->XMLDocLinked();
  if (!document) return {};
  return modGlobalFunctions::GetFieldValue(
      modGlobalVariables::User, document->firstRowWhere(users->XMLElementBaseName(), "UID", uid),
      field, false);
}

std::string senderName(const ConnectionState& state) {
  try {
    return userField(state.RecipientUID, state.SenderUID, kUserFullName);
  } catch (...) {
    logError("modFileTransfer.senderName");
    return {};
  }
}

std::string uploadFolderOf(const std::string& account) {
  if (account == CurrentLocalUserUID) return modLocalUserFunctions::LocalUserOptions.UploadFolder;
  modLocalUserFunctions::UserOptions options;
  modLocalUserFunctions::LoadLocalUserOptions(options, false, account, "");
  return options.UploadFolder;
}

// The sender's folder: one plain name, else none.
std::string senderFolder(const ConnectionState& state) {
  const std::string name = withoutControls(userField(state.RecipientUID, state.SenderUID, kUserFolderName));
  if (!modGenFunctionsFile::isPlainFileName(name) || name.find_first_not_of('.') == std::string::npos) {
    return {};
  }
  return name;
}

void tell(int32_t kind, int message, const modGenFunctionsResource::MessageParameters& parameters,
          int32_t itemType, const std::string& key, const std::string& owner) {
  try {
    MessageCenterServices::AddActivity(
        kind, modGenFunctionsResource::GetResourceMessage(message, parameters), itemType, key, owner);
  } catch (...) {
    logError("modFileTransfer.tell");
  }
}

std::string shortReply(int32_t code) {
  return modCOMRequestedAction::BuildResponse("", "", "", code, "", true);
}

// Reads "<size>||||" at the start of the first payload; false when it is not there.
bool takeSize(std::string_view& payload, double& size) {
  const std::size_t separator = payload.find(kSizeSeparator);
  if (separator == 0 || separator > kMaxSizeDigits) return false;
  const std::string_view digits = payload.substr(0, separator);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
  size = std::stod(std::string(digits));
  payload.remove_prefix(separator + std::string_view(kSizeSeparator).size());
  return true;
}

void startReceiving(ConnectionState& state, std::string_view& payload) {
  double size = 0;
  if (!takeSize(payload, size)) {
    throw TvrError(kErrInvalidCall, "", "The file data does not start with its size");
  }
  state.FileSize = size;
  state.BytesReceived = 0;
  state.Percent = 0;
  state.ShownPercent = -1;
  state.ShowsProgress = !MessageCenterServices::ReserveProgressBar(true);
  if (state.ShowsProgress) MessageCenterServices::SetProgress(kReceivingLabel, 0, 100, true, "");
  OpenIncomingFile(state);
  state.FileStream->CheckSpace(static_cast<uint64_t>(size), kFreeSpaceReserve);
}

void showProgress(ConnectionState& state) {
  if (state.BytesReceived > 0 && state.FileSize > 0) {
    state.Percent = static_cast<float>(
        std::min(100.0, static_cast<double>(static_cast<int64_t>(state.BytesReceived / state.FileSize * 100))));
  } else {
    state.Percent = 0;
  }
  const auto percent = static_cast<int32_t>(state.Percent);
  if (!state.ShowsProgress || state.ShownPercent >= percent) return;
  state.ShownPercent = percent;
  MessageCenterServices::SetProgressValue(
      percent, state.IncomingFileName + " ( " + std::to_string(percent) + "% )");
}

void releaseProgress(ConnectionState& state, int label) {
  if (!state.ShowsProgress) return;
  state.ShowsProgress = false;
  MessageCenterServices::SetProgress(label, 0, 100, false, "");
}

}  // namespace

std::string ReceivedFileName(const std::string& offeredPath) {
  const std::string part = modGenFunctionsFile::GetPathPart(withoutControls(offeredPath), 0);
  const std::string name(modGenFunctionsString::trimBlanks(platform::utf8::right(part, kMaxNameChars)));
  if (!modGenFunctionsFile::isPlainFileName(name) || name.find_first_not_of('.') == std::string::npos) {
    return kFallbackName;
  }
  return name;
}

std::optional<std::vector<std::string>> OfferedSubFolder(const std::string& offered) {
  const std::string clean = withoutControls(offered);
  const bool drive = clean.size() >= 2 && clean[1] == ':';
  if (!clean.empty() && (clean.front() == '/' || clean.front() == '\\' || drive)) return std::nullopt;
  std::vector<std::string> levels;
  std::string level;
  const auto close = [&] {
    if (level == "..") return false;
    if (!level.empty() && level != ".") levels.push_back(level);
    level.clear();
    return true;
  };
  for (const char c : clean) {
    if (c != '/' && c != '\\') {
      level += c;
    } else if (!close()) {
      return std::nullopt;
    }
  }
  if (!close()) return std::nullopt;
  return levels;
}

// The folder: the recipient's upload folder, the sender's name folder when
// the sender is in the recipient's users directory, and the offered
// sub-folder, whose last levels are dropped while the whole would pass
// kMaxFolderChars characters.
void OpenIncomingFile(ConnectionState& state) {
  if (state.FileOpened) return;
  try {
    std::string base = uploadFolderOf(state.RecipientUID);
    if (base.empty()) throw TvrError(modGenFunctionsFile::kErrPathFileAccess, "", "No upload folder");
    modGenFunctions::AppendIfMissing(base, "/");
    std::vector<std::string> levels;
    std::string shown = base;
    if (const std::string sender = senderFolder(state); !sender.empty()) {
      levels.push_back(sender);
      shown += sender + "/";
    }
    const auto offered = OfferedSubFolder(state.TargetFolder);
    if (!offered) throw TvrError(kErrInvalidCall, "", "A sub-folder outside the upload folder");
    std::vector<std::string> sub = *offered;
    const auto subLength = [&] {
      std::size_t length = sub.empty() ? 0 : sub.size() - 1;
      for (const std::string& level : sub) length += platform::utf8::length(level);
      return length;
    };
    const bool shortened = !sub.empty() && platform::utf8::length(shown) + subLength() > kMaxFolderChars;
    while (!sub.empty() && platform::utf8::length(shown) + subLength() > kMaxFolderChars) sub.pop_back();
    if (shortened) {
      tell(MessageCenterServices::kEvents, kFolderShortenedMessage, {state.IncomingFileName},
           MessageCenterServices::kNoItem, "", state.RecipientUID);
    }
    levels.insert(levels.end(), sub.begin(), sub.end());
    state.FileStream = std::make_shared<IncomingFile>(base, levels, state.IncomingFileName);
    state.TargetFolder = state.FileStream->Folder();
    state.FileOpened = true;
  } catch (...) {
    tell(MessageCenterServices::kEvents, kOpenFailedMessage, {state.IncomingFileName, senderName(state)},
         MessageCenterServices::kNoItem, "", state.RecipientUID);
    raiseAgain("modFileTransfer.OpenIncomingFile");
  }
}

std::string ReceiveFileData(ConnectionState& state, const std::string& payload, bool& rawMode) {
  rawMode = false;
  try {
    if (!state.FileOffered || state.FileFinished) {
      throw TvrError(kErrInvalidCall, "", "File data without a file offer");
    }
    std::string_view data = payload;
    if (!state.FileOpened) startReceiving(state, data);
    if (state.BytesReceived + static_cast<double>(data.size()) > state.FileSize) {
      throw TvrError(kErrInvalidCall, "", "More bytes than the file's announced size");
    }
    state.FileStream->Write(data.data(), data.size());
    state.BytesReceived += static_cast<double>(data.size());
    showProgress(state);
    if (!state.IsLastChunk) return {};
    if (state.BytesReceived != state.FileSize) {
      throw TvrError(kErrInvalidCall, "", "Fewer bytes than the file's announced size");
    }
    return shortReply(HandleConnectionTimeout(state, false));
  } catch (...) {
    logError("modFileTransfer.ReceiveFileData");
    rawMode = true;
    try {
      HandleConnectionTimeout(state, true);
    } catch (...) {
      logError("modFileTransfer.ReceiveFileData");
    }
    return shortReply(kFileWriteFailed);
  }
}

int32_t HandleConnectionTimeout(ConnectionState& state, bool failed) {
  std::shared_ptr<IncomingFile> file = std::move(state.FileStream);
  const bool finishedBefore = state.FileFinished;
  state.FileFinished = true;
  const std::string path = state.TargetFolder + state.IncomingFileName;
  try {
    if (failed) {
      file.reset();
      releaseProgress(state, -1);
      if (state.FileOpened && !finishedBefore) {
        tell(MessageCenterServices::kEvents, kNotReceivedMessage, {senderName(state), state.IncomingFileName},
             MessageCenterServices::kNoItem, "", state.RecipientUID);
      }
      return kFileIncomplete;
    }
    if (!file) throw TvrError(kErrObjectNotSet, "", "No file is open");
    file->Commit();
    releaseProgress(state, kReceivedLabel);
    tell(MessageCenterServices::kIncomingFiles, kReceivedMessage, {state.IncomingFileName, senderName(state)},
         MessageCenterServices::kReceivedFile, path, state.RecipientUID);
    return kFileComplete;
  } catch (...) {
    file.reset();
    releaseProgress(state, -1);
    tell(MessageCenterServices::kEvents, kFinishFailedMessage, {state.IncomingFileName, senderName(state)},
         MessageCenterServices::kNoItem, "", state.RecipientUID);
    raiseAgain("modFileTransfer.HandleConnectionTimeout");
  }
}

std::optional<std::string> EntryFile(const std::string& entry) {
  const std::size_t separator = entry.find(modGenFunctions::kListSeparator);
  if (separator == std::string::npos) return entry;
  const std::string path = entry.substr(0, separator);
  const std::string folder = entry.substr(separator + 2);
  if (entry.find("|||") != std::string::npos || folder.empty() || folder.front() == '/' ||
      folder.find(modGenFunctions::kListSeparator) != std::string::npos ||
      !endsWithFolder(parentFolder(path), folder) || modGenFunctionsFile::FileExists(entry)) {
    return std::nullopt;
  }
  return path;
}

std::optional<std::vector<std::string>> SendableDroppedFiles(
    const std::optional<std::vector<std::string>>& droppedPaths) {
  try {
    auto entries = modGenFunctionsFile::ExpandDroppedFiles(droppedPaths);
    if (!entries) return std::nullopt;
    std::string refused;
    std::vector<std::string> sendable;
    for (std::string& entry : *entries) {
      if (EntryFile(entry)) {
        sendable.push_back(std::move(entry));
      } else {
        refused += "\n" + chosenFileOf(entry);
      }
    }
    if (!refused.empty()) {
      modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(kUnsendableNameMessage, {refused}),
          platform::kMbExclamation, modGenFunctions::kAppTitle);
    }
    return sendable;
  } catch (...) {
    raiseAgain("modFileTransfer.SendableDroppedFiles");
  }
}

int32_t QueueFileActions(const std::vector<std::string>& recipientUIDs,
                         const std::vector<std::string>& entries) {
  try {
    int32_t queued = 0;
    clsActionManager& actions = ActionManager();
    for (const std::string& recipient : recipientUIDs) {
      for (const std::string& entry : entries) {
        queued += actions.AddAction(modGlobalVariables::kRequestOfferFiles, "", recipient, entry,
                                    false, "", false, true, true);
      }
    }
    if (queued > 0) actions.SaveStore();
    return queued;
  } catch (...) {
    raiseAgain("modFileTransfer.QueueFileActions");
  }
}

int32_t SendDroppedFilesToUser(const std::string& recipientUID,
                               const std::vector<std::string>& droppedPaths) {
  try {
    if (!modCOMFunctions::RecipientsWithoutAddress({recipientUID}).empty()) {
      throw TvrError(modCOMFunctions::kErrNoRecipientAddress, "modFileTransfer.SendDroppedFilesToUser",
                     "No address is known for the recipient " + recipientUID);
    }
    const auto entries = SendableDroppedFiles(droppedPaths);
    const int32_t queued = QueueFileActions({recipientUID}, entries.value_or(std::vector<std::string>{}));
    if (queued > 0) ActionManager().StartActionManager();
    return queued;
  } catch (...) {
    raiseAgain("modFileTransfer.SendDroppedFilesToUser");
  }
}

}  // namespace modFileTransfer
