#pragma once
// modGenFunctionsFile: the program's one door to the file system.
//
// A file's content is one text, written and read byte for byte (no byte-order
// mark, no terminator); an enciphered file holds clsGenEncryption's form of
// the text. Paths use "/"; a folder may be given with or without its
// trailing "/".
//
// Whole-file writes are atomic: the new content goes to a temporary file in
// the same folder, is flushed to disk and then renamed over the old file, so
// a failure or a crash at any moment leaves either the old or the new content
// whole (a crash may leave a hidden ".<name>.tvrtmp-*" file beside it).
//
// Text from a peer never becomes a path that leaves its folder: GetPathPart
// splits on both "/" and "\" and never gives "." or ".."; file names given
// with a folder must be plain names; confinedRelativePath cleans a relative
// folder path.
//
// Every operation but GetUniqueFileName reports its errors to the error
// handler and raises them again (TvrError: the numbers below, 58 file exists,
// 76 path not found; a damaged enciphered file raises 9).
//
// Dropped-file entry: the full path of a dropped file, or for a file found in
// a dropped folder, its full path, "||" and its folder relative to the
// dropped folder's parent (/x/docs/sub/a.txt under /x/docs gives
// "/x/docs/sub/a.txt||docs/sub").
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace modGenFunctionsFile {

inline constexpr int kErrBadFileName = 52;
inline constexpr int kErrDiskFull = 61;
inline constexpr int kErrPermissionDenied = 70;
inline constexpr int kErrPathFileAccess = 75;

// The most entries ExpandDroppedFiles returns.
inline constexpr int kMaxDroppedEntries = 500;

// Writes `text` (enciphered when `encrypt`) as the whole file folder/fileName,
// creating every missing level of the folder first; a read-only old file is
// replaced. With an empty folder, fileName is the whole path; otherwise it
// must be a plain name (error 52). keepBackup keeps the old file as
// "<path>.bk"; relative puts the folder under the program's folder.
// Returns true; a failed write raises and leaves the old file as it was.
bool SaveFileContent(const std::string& folder, const std::string& fileName,
                     const std::string& text, bool encrypt = false, bool keepBackup = false,
                     bool relative = false);

// The whole file (deciphered when `decrypt`); "" when the file does not exist.
std::string ReadFileContent(const std::string& path, bool decrypt = false, bool relative = false);

// Adds `line` at the end of folder/fileName (the names as for
// SaveFileContent). Enciphered: the whole file is read, extended by CR LF
// (when it was not empty) and the line, and saved again with fresh keys;
// with keepBytes, when the text would grow past it, its oldest lines are
// dropped so that about half of keepBytes is left before the new line.
// Plain: the line and CR LF are appended.
void AppendLineToFile(const std::string& folder, const std::string& fileName,
                      const std::string& line, bool encrypted = true, bool relative = false,
                      std::size_t keepBytes = 0);

// Raises the failure `error` (a system error number) of `what` ("Cannot
// open" ...) on `path` with the numbers above.
[[noreturn]] void raiseSystemError(int error, const std::string& what, const std::string& path);

// Creates every missing level of `path`; a level that already exists is passed over.
void CreateFolderPath(const std::string& path);

// Adds dropped-file entries for the files of `folder` (name order) and then,
// depth first, of its sub-folders (symbolic links to folders are not
// followed), relative to `rootFolder`; stops once `collection` holds
// `maximum` entries (-1: no limit). Runs pending events after each file:
// handlers that run meanwhile must not touch `collection`.
void CollectFolderFiles(const std::string& folder, std::vector<std::string>& collection,
                        const std::string& rootFolder, int maximum);

// Entries for the dropped paths in order: existing files as they are,
// existing folders expanded, anything else skipped. At 500 entries the list
// stops and resource message 20252 (500, 500) is shown. nullopt for nullopt.
std::optional<std::vector<std::string>> ExpandDroppedFiles(
    const std::optional<std::vector<std::string>>& dropped);

// True when the file exists; with a non-empty folder, false when the folder
// does not exist, else the file is looked up in it.
bool FileExists(const std::string& name, const std::string& folder = {});
bool FolderExists(const std::string& path);

// Part of `path`, split on "/" and "\" (trailing separators ignored):
// 0 the file name, 1 its base name (before the last "."), 2 its extension
// (after the last "."), 3 the parent folder. "" for an empty path, a name of
// "." or "..", or any other part number.
std::string GetPathPart(const std::string& path, int part);

// A file name (without folder) that does not exist in `folder`: the name
// itself, else base00001.ext, base00002.ext ... then baseA00000.ext up to
// baseZ99999.ext. Only the name part of `fileName` is used; a name without
// extension gets no trailing ".". Raises error 52 for a name with nothing
// left and error 58 when every candidate is taken.
std::string GetUniqueFileName(const std::string& folder, const std::string& fileName);

// Gives the owner write permission back to a file that lacks it.
void ClearReadOnly(const std::string& folder, const std::string& fileName);

// Deletes the file (or symbolic link), read-only or not, when it exists.
void DeleteFileIfExists(const std::string& path);
// Deletes the folder with everything in it, read-only or not, when `path` is
// not empty and the folder exists. Symbolic links inside are removed, never followed.
void DeleteFolderIfExists(const std::string& path);

// The open-file dialog. `filter` is "description|pattern|description|pattern"
// ("All Files (*.*)|*.*" when empty; "*.*" matches every name). Returns the
// chosen path, or "" when cancelled.
std::string ShowOpenFileDialog(QWidget* parent, const std::string& filter,
                               const std::string& defaultName);

// The folder browser titled "Select a folder", opened at `startFolder`.
// Returns the chosen folder, or "" when cancelled.
std::string BrowseForFolder(QWidget* owner, const std::string& startFolder);

// True when `name` can only name an entry of the folder it is joined to:
// not empty, not "." or "..", and without "/", "\" or a NUL.
bool isPlainFileName(const std::string& name);

// A relative folder path from outside (split on "/" and "\") with every
// empty, "." and ".." level dropped, joined with "/": appended to a folder it
// never leads outside it.
std::string confinedRelativePath(const std::string& untrusted);

}  // namespace modGenFunctionsFile
