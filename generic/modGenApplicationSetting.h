#pragma once
// modGenApplicationSetting: where the program's files lie, the start-up
// check that the files it cannot run without are there, and the start of the
// program at log-on.
//
// The program folder is the folder of the running executable; its "Res"
// sub-folder holds the shipped files. The common data folder is
// $TAVINOR_DATA_ROOT when set, else the common application-data folder
// followed by "Morvane/Tavinor/Data". The look-up only builds paths: it
// creates no folder and checks no file.
#include <cstdint>
#include <string>

class QWidget;

namespace modGenApplicationSetting {

// A file's name, its folder (no trailing "/") and FolderPath + "/" + FileName.
struct FileSourceInfo {
  std::string FileName;
  std::string FolderPath;
  std::string FullPath;
};

// Path kinds of GetFileSourceFolder.
enum FileSourceKind : int32_t {
  kResourceTextFile = 0,   // Res/TVRRES01E.DAT
  kHelpFile = 1,           // Res/TVRHelp.chm
  kSettingsFile = 2,       // <data>/D000.Dat
  kSettingsTemplate = 3,   // Res/D000.Dat
  kPrintTemplate = 4,      // Res/TVRRMT01.DAT
  kSharedDataFile = 6,     // <data>/<fileName>
  kUserDataFile = 7,       // <data>[/<subFolder>]/<fileName>
  kErrorLogFile = 8,       // <data>/TVRLOG.DAT
};

// The file of `kind`. `fileName` is read by kinds 6 and 7 (7 accepts "" for
// the folder itself), `subFolder` by kind 7. Any other kind gives an empty
// FileName and FolderPath, so FullPath is "/". Raises 5 (invalid call) when fileName or subFolder is not a single
// plain name (a separator, ".", ".." or a NUL), so no path leaves its folder.
FileSourceInfo GetFileSourceFolder(int32_t kind, const std::string& fileName = {},
                                   const std::string& subFolder = {});

// What marks a kept copy of a data file, and its time stamp as QDateTime
// writes and reads it.
inline constexpr const char* kKeptCopyMark = ".bad-";
inline constexpr const char* kKeptCopyStamp = "yyyyMMdd-hhmmss";
// Keeps `bytes`, the content of a file about to be replaced because it is
// damaged or belongs to another owner, beside `file` as
// "<name>.bad-<yyyyMMdd-hhmmss>" ("-2", "-3" ... added when that name is
// taken), and returns that name. Raises when the copy cannot be written.
std::string KeepDamagedCopy(const FileSourceInfo& file, const std::string& bytes);
// Moves whatever lies at `file` (a folder, a link ...: not a link's target)
// aside under the name KeepDamagedCopy would give a copy, and returns that
// name. Raises when it cannot be moved.
std::string MoveAside(const FileSourceInfo& file);

// The start-up check. True when the program must stop: the resource-text
// file is missing, or the settings document is missing and so is its
// template; a critical box in English and French has then been shown.
// Otherwise False, after copying the template into place (its folder
// created) when the settings document was missing. Errors (a failed copy)
// are reported and raised again.
bool CheckRequiredFiles();

// The start at log-on, through the current user's registry value "Tavinor"
// whose data is this program's path: mode 1 writes it under the Run key
// (which starts the program at log-on), 0 writes it under the RunOnce key,
// 2 deletes it from the Run key; any other mode does nothing. Registry errors
// (26001, or a failed write) are reported and raised again; deleting a value
// that does not exist is such an error.
void SetStartAtLogon(int16_t mode);

// Opens the help file named by the setting "HFL" (the shipped help file
// when unset) with the desktop's viewer. A path that is no existing ".chm"
// file makes the person choose: find it (open-file dialog; the choice is
// stored under "HFL") or give up (message 80471). When the desktop cannot
// show the file, message 80472 says so. Reports and ends its errors.
void OpenHelpFile(QWidget* owner);
// The maker's web site, and a new mail to the maker's support address, in
// the desktop's browser and mail program. Every error is ignored: nothing is
// shown, the error log keeps a line.
void OpenMakerWebSite(QWidget* owner);
void SendSupportMail(QWidget* owner);

// The folder of the running executable.
std::string ProgramFolder();
// The common data folder (see above), without a trailing "/".
std::string CommonDataFolder();

}  // namespace modGenApplicationSetting
