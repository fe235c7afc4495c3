#pragma once
// modFileTransfer: files between copies, the receiving side and the queuing.
//
// A file goes out as the action 2000 (one per recipient and file): the offer
// (request 2000, whose V is the file's dropped-file entry) and then, on the
// same connection, its content as file frames whose joined payloads are the
// file's size as decimal text, "||||" and the file's bytes (FileSender
// writes them). The receiver writes them below the receiving account's
// upload folder, in the sender's name folder and the offered sub-folder,
// under the offered name cut to its last kMaxNameChars characters, and
// answers 2051 once the file is whole on disk.
//
// Peers are untrusted: the offered name and sub-folder never lead outside
// the upload folder (an absolute or climbing sub-folder is refused at the
// offer), nothing is written through a symbolic link, a connection carries
// one file, a file is complete only when exactly the announced bytes arrived
// and reached the disk, and a transfer that ends any other way leaves no
// file behind (IncomingFile). Reply codes: kFileComplete, kFileWriteFailed;
// kFileIncomplete is what HandleConnectionTimeout returns for a failed
// transfer (and the sender's code for its own send failure).
//
// UI thread only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ConnectionState.h"

namespace modFileTransfer {

inline constexpr std::size_t kBlockSize = 8000;
inline constexpr const char* kSizeSeparator = "||||";
inline constexpr int32_t kFileComplete = 2051;
inline constexpr int32_t kFileWriteFailed = 102000;
inline constexpr int32_t kFileIncomplete = 102051;
inline constexpr std::size_t kMaxNameChars = 45;
// Upload folder, sender folder and sub-folder together, in characters.
inline constexpr std::size_t kMaxFolderChars = 200;
// What a received file must leave free on its file system: checked against
// its announced size when it starts and again as it is written.
inline constexpr uint64_t kFreeSpaceReserve = 64ull * 1024 * 1024;
// The name of a file whose offered name leaves nothing usable.
inline constexpr const char* kFallbackName = "received file";

// The name a file offered as `offeredPath` is stored under: its file-name
// part (split on "/" and "\") without control characters, cut to its last
// kMaxNameChars characters and trimmed; kFallbackName when nothing usable
// is left (empty, only dots).
std::string ReceivedFileName(const std::string& offeredPath);

// The levels of an offered sub-folder (split on "/" and "\", control
// characters, empty and "." levels dropped); nullopt for an absolute path
// or one with a ".." level.
std::optional<std::vector<std::string>> OfferedSubFolder(const std::string& offered);

// Takes the payload of one file frame of the connection's offered file;
// returns the reply to send ("" while the file is not complete). On any
// failure the partial file is gone, the failure is logged, rawMode is set
// and the reply is 102000: the caller drops the rest of the connection.
std::string ReceiveFileData(ConnectionState& state, const std::string& payload, bool& rawMode);

// Opens the target file of the offer once per transfer (see the .cpp for
// the folder). Errors are logged (80401) and raised.
void OpenIncomingFile(ConnectionState& state);

// Ends the transfer: complete (failed False) commits the file and logs it
// among the incoming files (2051); failed drops the partial file and logs
// 80554 when one was opened (102051). Releases the progress bar. Errors
// are logged (80402) and raised; the partial file is gone then too.
int32_t HandleConnectionTimeout(ConnectionState& state, bool failed);

// The one file a dropped-file entry (see modGenFunctionsFile) names: the
// entry itself when it holds no "||"; else, for a file found in a dropped
// folder, the path before its only "||", when the folder after it is the
// end of that file's own folder and nothing else could be read out of the
// entry (no "|||", no file named like the whole entry). nullopt for any
// other entry: it could name another file than the one chosen.
std::optional<std::string> EntryFile(const std::string& entry);

// The dropped files and folders (walked) as entries that can be sent. A
// file whose entry would not name exactly that file (a "||" in its name or
// in a folder's name) is left out, and the person is told which
// (message 20253). nullopt for nullopt.
std::optional<std::vector<std::string>> SendableDroppedFiles(
    const std::optional<std::vector<std::string>>& droppedPaths);

// Queues one file action per recipient and dropped-file entry for the
// logged-in account; an entry that does not name exactly one file is not
// queued (see clsActionManager::AddAction). Returns how many were queued.
int32_t QueueFileActions(const std::vector<std::string>& recipientUIDs,
                         const std::vector<std::string>& entries);

// Files dropped on a person of the users list: the sendable dropped files
// and folders (walked) go to recipientUID, and the queue starts. Returns
// the number of actions queued. A recipient without an address
// (modCOMFunctions::RecipientsWithoutAddress) raises
// kErrNoRecipientAddress before anything is walked or queued. Errors are
// reported and raised.
int32_t SendDroppedFilesToUser(const std::string& recipientUID,
                               const std::vector<std::string>& droppedPaths);

}  // namespace modFileTransfer
