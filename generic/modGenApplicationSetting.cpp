#include "modGenApplicationSetting.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include <QCoreApplication>
#include <QDir>

#include "AtomicFile.h"
#include "Clock.h"
#include "MessageBox.h"
#include "RegistryStore.h"
#include "ShellOpen.h"
#include "TvrError.h"
#include "clsApplicationSetting.h"
#include "clsGenErrorHandler.h"
#include "clsGenRegistryManager.h"
#include "modGenAPI.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"

namespace modGenApplicationSetting {
namespace {

constexpr const char* kResFolder = "Res";
constexpr const char* kHelpFileSetting = "HFL";
constexpr const char* kHelpFileName = "TVRHelp.chm";
constexpr const char* kMakerWebSite = "https://www.tavinor.example.com/";
constexpr const char* kSupportMail = "mailto:support@tavinor.example.com";
constexpr int kFindHelpFileQuestion = 80470;
constexpr int kNoHelpFileMessage = 80471;
constexpr int kHelpNotShownMessage = 80472;
constexpr const char* kDataSubFolder = "/Morvane/Tavinor/Data";

enum StartAtLogonMode : int16_t { kRunOnce = 0, kRun = 1, kNoRun = 2 };

// Shown when a required file is missing. It cannot come from the resource
// file, which may be the missing one.
constexpr const char* kMissingFileMessage =
    "An important resource file was not found. The application will not continue. See your "
    "system administrator to reinstall the application.\r\n"
    "Un fichier de resources important n'a pu être trouvé. L'application va se terminer. "
    "Communiquer avec votre administrateur système pour faire une nouvelle installation.";

std::string withoutTrailingSlash(const QString& folder) {
  QString cleaned = QDir::cleanPath(folder);
  if (cleaned == "/") cleaned.clear();
  return cleaned.toStdString();
}

// A name that stays inside the folder it is joined to ("" names the folder).
void requirePlainName(const std::string& name) {
  if (!name.empty() && !modGenFunctionsFile::isPlainFileName(name)) {
    throw TvrError(kErrInvalidCall, "", "Invalid file or folder name: " + name);
  }
}

FileSourceInfo in(const std::string& folder, const std::string& fileName) {
  return {fileName, folder, folder + "/" + fileName};
}

// The running executable's full path.
std::string programFilePath() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationFilePath().toStdString();
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : executable.string();
}

}  // namespace

std::string ProgramFolder() {
  if (QCoreApplication::instance()) {
    return withoutTrailingSlash(QCoreApplication::applicationDirPath());
  }
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : executable.parent_path().string();
}

std::string CommonDataFolder() {
  const std::string special = modGenAPI::GetSpecialFolderPath(modGenAPI::kFolderCommonAppData);
  // A data root given to this copy is its data folder, so several copies on
  // one machine keep their data apart.
  const bool dataRootGiven = !qEnvironmentVariableIsEmpty("TAVINOR_DATA_ROOT");
  return withoutTrailingSlash(
      QString::fromStdString(dataRootGiven ? special : special + kDataSubFolder));
}

FileSourceInfo GetFileSourceFolder(int32_t kind, const std::string& fileName,
                                   const std::string& subFolder) {
  try {
    const std::string res = ProgramFolder() + "/" + kResFolder;
    switch (kind) {
      case kResourceTextFile: return in(res, "TVRRES01E.DAT");
      case kHelpFile: return in(res, "TVRHelp.chm");
      case kSettingsFile: return in(CommonDataFolder(), "D000.Dat");
      case kSettingsTemplate: return in(res, "D000.Dat");
      case kPrintTemplate: return in(res, "TVRRMT01.DAT");
      case kSharedDataFile:
        requirePlainName(fileName);
        return in(CommonDataFolder(), fileName);
      case kUserDataFile: {
        if (!fileName.empty()) requirePlainName(fileName);
        if (subFolder.empty()) return in(CommonDataFolder(), fileName);
        requirePlainName(subFolder);
        return in(CommonDataFolder() + "/" + subFolder, fileName);
      }
      case kErrorLogFile: return in(CommonDataFolder(), "TVRLOG.DAT");
      default: return in("", "");
    }
  } catch (...) {
    raiseAgain("modGenApplicationSetting.GetFileSourceFolder");
  }
}

namespace {

// The name of a kept copy of `file` that nothing in its folder holds yet.
std::string keptCopyName(const FileSourceInfo& file) {
  const std::string stem =
      file.FileName + kKeptCopyMark + platform::now().toString(kKeptCopyStamp).toStdString();
  const auto taken = [&](const std::string& name) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(file.FolderPath + "/" + name, error));
  };
  std::string name = stem;
  for (int n = 2; taken(name); ++n) name = stem + "-" + std::to_string(n);
  return name;
}

}  // namespace

std::string KeepDamagedCopy(const FileSourceInfo& file, const std::string& bytes) {
  try {
    const std::string name = keptCopyName(file);
    modGenFunctionsFile::SaveFileContent(file.FolderPath, name, bytes, false, false, false);
    return name;
  } catch (...) {
    raiseAgain("modGenApplicationSetting.KeepDamagedCopy");
  }
}

std::string MoveAside(const FileSourceInfo& file) {
  try {
    const std::string name = keptCopyName(file);
    if (::rename(file.FullPath.c_str(), (file.FolderPath + "/" + name).c_str()) != 0) {
      modGenFunctionsFile::raiseSystemError(errno, "Cannot move aside", file.FullPath);
    }
    platform::syncFolder(file.FolderPath);
    return name;
  } catch (...) {
    raiseAgain("modGenApplicationSetting.MoveAside");
  }
}

bool CheckRequiredFiles() {
  try {
    using modGenFunctionsFile::FileExists;
    if (FileExists(GetFileSourceFolder(kResourceTextFile).FullPath)) {
      const FileSourceInfo settings = GetFileSourceFolder(kSettingsFile);
      if (FileExists(settings.FullPath)) return false;
      const FileSourceInfo settingsTemplate = GetFileSourceFolder(kSettingsTemplate);
      if (FileExists(settingsTemplate.FullPath)) {
        modGenFunctionsFile::CreateFolderPath(settings.FolderPath);
        modGenFunctionsFile::SaveFileContent(
            settings.FolderPath, settings.FileName,
            modGenFunctionsFile::ReadFileContent(settingsTemplate.FullPath));
        return false;
      }
    }
    modGenFunctions::ShowMessageBox(kMissingFileMessage, platform::kMbCritical,
                                    modGenFunctions::kAppTitle);
    return true;
  } catch (...) {
    raiseAgain("modGenApplicationSetting.CheckRequiredFiles");
  }
}

void SetStartAtLogon(int16_t mode) {
  try {
    const std::string runKey = platform::kRunKeyPath;
    clsGenRegistryManager registry;
    switch (mode) {
      case kRun:
        registry.SetValue(kHkeyCurrentUser, runKey, modGenFunctions::kAppTitle, programFilePath(),
                          kRegSz);
        break;
      case kRunOnce:
        registry.SetValue(kHkeyCurrentUser, runKey + "Once", modGenFunctions::kAppTitle,
                          programFilePath(), kRegSz);
        break;
      case kNoRun:
        registry.DeleteValue(kHkeyCurrentUser, runKey, modGenFunctions::kAppTitle);
        break;
      default:
        break;
    }
  } catch (...) {
    raiseAgain("modGenApplicationSetting.SetStartAtLogon");
  }
}

namespace {

bool isHelpFile(const std::string& path) {
  const QString name = QString::fromStdString(path);
  return !path.empty() && name.toUpper().endsWith(".CHM") &&
         modGenFunctionsFile::FileExists(path);
}

void showResourceMessage(int number, int flags, QWidget* owner,
                         const modGenFunctionsResource::MessageParameters& parameters = {}) {
  modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(number, parameters),
                                  flags, modGenFunctions::kAppTitle, owner);
}

// Opens a link of the Help menu; a failure leaves one line in the error log
// and nothing on the screen.
void openQuietly(const char* target, const char* operation) {
  const std::string where = std::string("modGenApplicationSetting.") + operation;
  std::string failure;
  try {
    if (!platform::shell::open(target)) failure = std::string("could not open ") + target;
  } catch (...) {
    failure = currentError().description();
  }
  if (failure.empty()) return;
  int handled = 0;
  GenErrorHandler().HandleError(0, where, failure, 1, 1, 0, "", 0, handled);
}

}  // namespace

void OpenHelpFile(QWidget* owner) {
  try {
    std::string path =
        ApplicationSetting ? ApplicationSetting->GetAppSetting(kHelpFileSetting) : std::string();
    if (path.empty()) {
      path = GetFileSourceFolder(kHelpFile).FullPath;
      if (ApplicationSetting) ApplicationSetting->SaveAppSetting(kHelpFileSetting, path);
    }
    while (!isHelpFile(path)) {
      const int answer = modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(kFindHelpFileQuestion),
          platform::kMbYesNo | platform::kMbQuestion,
          modGenFunctions::kAppTitle, owner);
      if (answer != platform::kMbResultYes) {
        showResourceMessage(kNoHelpFileMessage, platform::kMbInformation, owner);
        return;
      }
      path = modGenFunctionsFile::ShowOpenFileDialog(
          owner, std::string(kHelpFileName) + "|" + kHelpFileName, "");
      if (path.empty()) return;
    }
    if (ApplicationSetting) ApplicationSetting->SaveAppSetting(kHelpFileSetting, path);
    if (!platform::shell::open(path)) {
      showResourceMessage(kHelpNotShownMessage, platform::kMbInformation, owner, {path});
    }
  } catch (...) {
    endError("modGenApplicationSetting.OpenHelpFile");
  }
}

void OpenMakerWebSite(QWidget* /*owner*/) { openQuietly(kMakerWebSite, "OpenMakerWebSite"); }

void SendSupportMail(QWidget* /*owner*/) { openQuietly(kSupportMail, "SendSupportMail"); }

}  // namespace modGenApplicationSetting
