#include "modMenuManager.h"

#include "MessageBox.h"
#include "ShellOpen.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modLocalUserFunctions.h"

namespace modMenuManager {
namespace {

constexpr int kFolderNotOpened = 20251;

std::string folderOf(int kind, const std::string& path) {
  const auto& options = modLocalUserFunctions::LocalUserOptions;
  switch (kind) {
    case kMessageSavingFolder:
      return options.MessageSavingFolder;
    case kUploadFolder:
      return options.UploadFolder;
    default:
      return path;
  }
}

}  // namespace

void ExploreFolder(QWidget* window, int kind, const std::string& path) {
  const std::string folder = folderOf(kind, path);
  try {
    bool opened = false;
    if (!folder.empty()) {
      if (!modGenFunctionsFile::FolderExists(folder)) modGenFunctionsFile::CreateFolderPath(folder);
      opened = platform::shell::explore(folder);
    }
    if (!opened) {
      modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(kFolderNotOpened, {folder}),
          platform::kMbInformation, modGenFunctions::kAppTitle, window);
    }
  } catch (...) {
    endError("modMenuManager.ExploreFolder");
  }
}

}  // namespace modMenuManager
