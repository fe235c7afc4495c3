#include "PrivateHome.h"

#include <QDir>
#include <QFile>
#include <cstdlib>

namespace {

// The folder below the home, made, and the variable naming it.
struct Folder {
  const char* variable;
  const char* path;
};

constexpr Folder kFolders[] = {
    {"HOME", "home"},
    {"XDG_CONFIG_HOME", "home/.config"},
    {"XDG_DATA_HOME", "home/.local/share"},
    {"XDG_CACHE_HOME", "home/.cache"},
    {"XDG_STATE_HOME", "home/.local/state"},
    {"XDG_RUNTIME_DIR", "run"},
    {"TAVINOR_DATA_ROOT", "data"},
};

}  // namespace

PrivateHome::PrivateHome() : dir_(QDir::tempPath() + "/tavinor-test-XXXXXX") {
  if (!dir_.isValid()) return;
  const QDir root(dir_.path());
  for (const Folder& folder : kFolders) {
    if (!root.mkpath(folder.path)) return;
  }
  // Programs refuse a runtime folder that others may enter.
  if (!QFile::setPermissions(root.filePath("run"),
                             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
    return;
  }
  for (const Folder& folder : kFolders) {
    ::setenv(folder.variable, root.filePath(folder.path).toLocal8Bit().constData(), 1);
  }
  ::setenv("TAVINOR_REGISTRY_FILE", root.filePath("registry.json").toLocal8Bit().constData(), 1);
  ok_ = true;
}
