#pragma once
// modMenuManager: menu commands that several windows share. UI thread only.
#include <string>

class QWidget;

namespace modMenuManager {

// Folder kinds of ExploreFolder.
enum FolderKind : int { kMessageSavingFolder = 0, kUploadFolder = 1, kGivenFolder = 2 };

// Shows the folder (the logged-in person's message or received-files
// folder, or `path`) in the file manager, creating it when missing; when
// that fails the person is told (message 20251). Reports and ends its errors.
void ExploreFolder(QWidget* window, int kind, const std::string& path = {});

}  // namespace modMenuManager
