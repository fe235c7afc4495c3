#include "modGenFunctionsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "AtomicFile.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"

namespace modGenFunctionsFile {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

int errorNumberFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return kErrPathNotFound;
    case EEXIST: return kErrFileAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS: return kErrPermissionDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    default: return kErrPathFileAccess;
  }
}

std::string programFolder() { return QCoreApplication::applicationDirPath().toStdString(); }

std::string underProgramFolder(const std::string& path) { return programFolder() + "/" + path; }

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// A file name given with a folder must name a file inside it; without a
// folder it is the whole path. Raises error 52 otherwise.
void requireFileName(const std::string& folder, const std::string& fileName) {
  if (folder.empty() ? fileName.empty() : !isPlainFileName(fileName)) {
    throw TvrError(kErrBadFileName, "", "Bad file name \"" + fileName + "\"");
  }
}

// A file descriptor closed when the owner leaves scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  // Closes now and reports the error of close itself.
  int release() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

void keepBackupOf(const std::string& path) {
  const std::string backup = path + ".bk";
  if (::unlink(backup.c_str()) != 0 && errno != ENOENT) raiseSystemError(errno, "Cannot delete", backup);
  if (::link(path.c_str(), backup.c_str()) == 0) return;
  if (!QFile::copy(q(path), q(backup))) raiseSystemError(EIO, "Cannot copy", path);
}

// Writes `bytes` as the whole file `path`; the old file stays as it was
// when the write fails. A replaced file keeps its permissions, made
// writable for its owner.
void replaceFileAtomically(const std::string& path, const std::string& bytes, bool keepBackup) {
  struct stat old {};
  const bool hadOld = ::stat(path.c_str(), &old) == 0;
  if (hadOld && S_ISDIR(old.st_mode)) raiseSystemError(EISDIR, "Cannot replace", path);
  if (keepBackup && hadOld) keepBackupOf(path);
  std::optional<mode_t> mode;
  if (hadOld) mode = (old.st_mode & 07777) | S_IWUSR;
  if (const auto failure = platform::replaceFile(path, bytes, mode)) {
    raiseSystemError(failure->error, "Cannot " + failure->step, path);
  }
}

std::string readWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raiseSystemError(errno, "Cannot open", path);
  Descriptor file(fd);
  // Read straight into a buffer of the file's size; a file that grows
  // meanwhile is read on to its end.
  struct stat info {};
  const bool sized = ::fstat(fd, &info) == 0 && info.st_size > 0;
  std::string content(sized ? static_cast<std::size_t>(info.st_size) + 1 : 65536, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2 + 65536);
    const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      raiseSystemError(errno, "Cannot read", path);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

void appendPlainLine(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) raiseSystemError(errno, "Cannot open", path);
  Descriptor file(fd);
  if (const int error = platform::writeFully(fd, line + "\r\n"); error != 0) {
    raiseSystemError(error, "Cannot write", path);
  }
  if (file.release() != 0) raiseSystemError(errno, "Cannot close", path);
}

std::string withoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
  return path;
}

// The folder's path from the character after the last "/" of the root.
std::string relativeFolder(const std::string& folder, const std::string& root) {
  const auto slash = root.rfind('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

void collectFiles(const std::string& folder, std::vector<std::string>& collection,
                  const std::string& root, int maximum) {
  const auto full = [&] { return maximum != -1 && static_cast<int>(collection.size()) >= maximum; };
  const QDir dir(q(folder));
  const std::string relative = relativeFolder(folder, root);
  const auto files = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
  for (const QString& file : files) {
    collection.push_back(folder + "/" + file.toStdString() + modGenFunctions::kListSeparator + relative);
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
    if (full()) return;
  }
  const auto folders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
  for (const QString& sub : folders) {
    if (full()) return;
    collectFiles(folder + "/" + sub.toStdString(), collection, root, maximum);
  }
}

// Deletes the folder and everything in it; read-only folders are opened up
// first so that their contents can go. Links are removed, never followed.
void removeFolderTree(const std::string& path) {
  namespace fs = std::filesystem;
  try {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
      if (entry.is_directory() && !entry.is_symlink()) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
      }
    }
    fs::remove_all(path);
  } catch (const fs::filesystem_error& error) {
    raiseSystemError(error.code().value(), "Cannot delete the folder", path);
  }
}

std::string nameCandidate(const std::string& base, const std::string& extension) {
  return extension.empty() ? base : base + "." + extension;
}

// "Desc|pattern|Desc|pattern" as the dialog's name filters.
QStringList nameFiltersFrom(const std::string& filter) {
  const auto parts = modGenFunctionsString::splitText(filter.empty() ? "All Files (*.*)|*.*" : filter, "|");
  QStringList filters;
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = q(parts[i + 1]).replace(';', ' ');
    patterns.replace("*.*", "*");
    filters << q(parts[i]) + " (" + patterns + ")";
  }
  if (filters.isEmpty()) filters << "All Files (*)";
  return filters;
}

// Shows the dialog modally: the chosen path, or "" when cancelled.
std::string chosenPath(QFileDialog& dialog) {
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? std::string() : chosen.first().toStdString();
}

}  // namespace

void raiseSystemError(int error, const std::string& what, const std::string& path) {
  throw TvrError(errorNumberFor(error), "", what + " \"" + path + "\": " + std::strerror(error));
}

bool SaveFileContent(const std::string& folder, const std::string& fileName,
                     const std::string& text, bool encrypt, bool keepBackup, bool relative) {
  try {
    std::string directory = relative ? underProgramFolder(folder) : folder;
    requireFileName(directory, fileName);
    if (!directory.empty()) {
      if (!FolderExists(directory)) CreateFolderPath(directory);
      modGenFunctions::AppendIfMissing(directory, "/");
    }
    ClearReadOnly(directory, fileName);
    const std::string path = directory + fileName;
    replaceFileAtomically(path, encrypt ? GenEncryption().EncryptString(text) : text, keepBackup);
    return true;
  } catch (...) {
    raiseAgain("modGenFunctionsFile.SaveFileContent");
  }
}

std::string ReadFileContent(const std::string& path, bool decrypt, bool relative) {
  try {
    const std::string fullPath = relative ? underProgramFolder(path) : path;
    if (!FileExists(fullPath)) return {};
    std::string content = readWholeFile(fullPath);
    if (decrypt) GenEncryption().DecryptInPlace(content, 0);
    return content;
  } catch (...) {
    raiseAgain("modGenFunctionsFile.ReadFileContent");
  }
}

void AppendLineToFile(const std::string& folder, const std::string& fileName,
                      const std::string& line, bool encrypted, bool relative,
                      std::size_t keepBytes) {
  try {
    std::string directory = relative ? underProgramFolder(folder) : folder;
    requireFileName(directory, fileName);
    if (!directory.empty()) modGenFunctions::AppendIfMissing(directory, "/");
    ClearReadOnly(directory, fileName);
    if (encrypted) {
      std::string content = ReadFileContent(directory + fileName, true);
      if (keepBytes > 0 && content.size() + line.size() > keepBytes) {
        const std::size_t cut = content.find("\r\n", content.size() - std::min(content.size(), keepBytes / 2));
        content = cut == std::string::npos ? std::string() : content.substr(cut + 2);
      }
      if (!content.empty()) content += "\r\n";
      content += line;
      SaveFileContent(directory, fileName, content, true, false, false);
    } else {
      appendPlainLine(directory + fileName, line);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsFile.AppendLineToFile");
  }
}

void CreateFolderPath(const std::string& path) {
  try {
    std::string soFar;
    const auto levels = modGenFunctionsString::splitText(path, "/");
    for (std::size_t i = 0; i < levels.size(); ++i) {
      if (i > 0 && levels[i].empty()) continue;
      soFar = i == 0 ? levels[i] : soFar + "/" + levels[i];
      if (soFar.empty()) continue;
      if (::mkdir(soFar.c_str(), 0777) != 0 && errno != EEXIST) {
        raiseSystemError(errno, "Cannot create the folder", soFar);
      }
    }
  } catch (...) {
    raiseAgain("modGenFunctionsFile.CreateFolderPath");
  }
}

void CollectFolderFiles(const std::string& folder, std::vector<std::string>& collection,
                        const std::string& rootFolder, int maximum) {
  try {
    collectFiles(withoutTrailingSeparators(folder), collection, withoutTrailingSeparators(rootFolder),
                 maximum);
  } catch (...) {
    raiseAgain("modGenFunctionsFile.CollectFolderFiles");
  }
}

std::optional<std::vector<std::string>> ExpandDroppedFiles(
    const std::optional<std::vector<std::string>>& dropped) {
  try {
    if (!dropped) return std::nullopt;
    std::vector<std::string> entries;
    for (const std::string& path : *dropped) {
      if (FileExists(path)) {
        entries.push_back(path);
      } else if (FolderExists(path)) {
        CollectFolderFiles(path, entries, path, kMaxDroppedEntries);
      }
      if (static_cast<int>(entries.size()) >= kMaxDroppedEntries) {
        modGenFunctions::ShowMessageBox(
            modGenFunctionsResource::GetResourceMessage(20252, {kMaxDroppedEntries, kMaxDroppedEntries}),
            64, modGenFunctions::kAppTitle);
        break;
      }
    }
    return entries;
  } catch (...) {
    raiseAgain("modGenFunctionsFile.ExpandDroppedFiles");
  }
}

bool FileExists(const std::string& name, const std::string& folder) {
  try {
    if (folder.empty()) return !name.empty() && QFileInfo(q(name)).isFile();
    if (!FolderExists(folder)) return false;
    std::string path = folder;
    modGenFunctions::AppendIfMissing(path, "/");
    return QFileInfo(q(path + name)).isFile();
  } catch (...) {
    raiseAgain("modGenFunctionsFile.FileExists");
  }
}

bool FolderExists(const std::string& path) {
  try {
    return !path.empty() && QFileInfo(q(path)).isDir();
  } catch (...) {
    raiseAgain("modGenFunctionsFile.FolderExists");
  }
}

std::string GetPathPart(const std::string& path, int part) {
  try {
    const std::string trimmed = withoutTrailingSeparators(path);
    if (trimmed.empty()) return {};
    std::size_t slash = trimmed.size();
    while (slash > 0 && !isSeparator(trimmed[slash - 1])) --slash;
    std::string name = trimmed.substr(slash);
    if (name == "." || name == "..") name.clear();
    const auto dot = name.rfind('.');
    switch (part) {
      case 0: return name;
      case 1: {
        // "..." and "..x" would give ".." and "."; a base name joins folders too.
        std::string base = dot == std::string::npos ? name : name.substr(0, dot);
        if (base == "." || base == "..") base.clear();
        return base;
      }
      case 2: return dot == std::string::npos ? std::string() : name.substr(dot + 1);
      case 3:
        if (slash == 0) return {};
        return slash == 1 ? trimmed.substr(0, 1) : trimmed.substr(0, slash - 1);
      default: return {};
    }
  } catch (...) {
    raiseAgain("modGenFunctionsFile.GetPathPart");
  }
}

std::string GetUniqueFileName(const std::string& folder, const std::string& fileName) {
  const std::string base = GetPathPart(fileName, 1);
  const std::string extension = GetPathPart(fileName, 2);
  if (base.empty() && extension.empty()) {
    throw TvrError(kErrBadFileName, "modGenFunctionsFile.GetUniqueFileName",
                   "Bad file name \"" + fileName + "\"");
  }
  std::string candidate = nameCandidate(base, extension);
  if (!FileExists(candidate, folder)) return candidate;
  const std::string prefixes[] = {"", "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                                  "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"};
  for (const std::string& prefix : prefixes) {
    for (int n = prefix.empty() ? 1 : 0; n <= 99999; ++n) {
      const std::string digits = std::to_string(n);
      candidate = nameCandidate(base + prefix + std::string(5 - digits.size(), '0') + digits, extension);
      if (!FileExists(candidate, folder)) return candidate;
    }
  }
  throw TvrError(kErrFileAlreadyExists, "modGenFunctionsFile.GetUniqueFileName",
                 "No free file name for \"" + fileName + "\"");
}

void ClearReadOnly(const std::string& folder, const std::string& fileName) {
  try {
    if (!FileExists(fileName, folder)) return;
    std::string path = folder;
    if (!path.empty()) modGenFunctions::AppendIfMissing(path, "/");
    path += fileName;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) raiseSystemError(errno, "Cannot read the attributes of", path);
    if ((info.st_mode & S_IWUSR) == 0 && ::chmod(path.c_str(), (info.st_mode & 07777) | S_IWUSR) != 0) {
      raiseSystemError(errno, "Cannot clear the read-only attribute of", path);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsFile.ClearReadOnly");
  }
}

void DeleteFileIfExists(const std::string& path) {
  try {
    if (path.empty()) return;
    const QFileInfo info(q(path));
    if (!info.isSymLink() && !info.isFile()) return;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) raiseSystemError(errno, "Cannot delete", path);
  } catch (...) {
    raiseAgain("modGenFunctionsFile.DeleteFileIfExists");
  }
}

void DeleteFolderIfExists(const std::string& path) {
  try {
    if (path.empty()) return;
    const QFileInfo info(q(path));
    if (info.isSymLink()) {
      DeleteFileIfExists(path);
      return;
    }
    if (info.isDir()) removeFolderTree(path);
  } catch (...) {
    raiseAgain("modGenFunctionsFile.DeleteFolderIfExists");
  }
}

std::string ShowOpenFileDialog(QWidget* parent, const std::string& filter,
                               const std::string& defaultName) {
  try {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFiltersFrom(filter));
    if (!defaultName.empty()) dialog.selectFile(q(defaultName));
    return chosenPath(dialog);
  } catch (...) {
    raiseAgain("modGenFunctionsFile.ShowOpenFileDialog");
  }
}

std::string BrowseForFolder(QWidget* owner, const std::string& startFolder) {
  try {
    QFileDialog dialog(owner, "Select a folder", q(startFolder));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    return chosenPath(dialog);
  } catch (...) {
    raiseAgain("modGenFunctionsFile.BrowseForFolder");
  }
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string confinedRelativePath(const std::string& untrusted) {
  std::string path;
  std::string level;
  const auto flush = [&] {
    if (!level.empty() && level != "." && level != "..") {
      if (!path.empty()) path += "/";
      path += level;
    }
    level.clear();
  };
  for (char c : untrusted) {
    if (isSeparator(c)) flush();
    else if (c != '\0') level += c;
  }
  flush();
  return path;
}

}  // namespace modGenFunctionsFile
