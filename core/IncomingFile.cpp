#include "IncomingFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "TvrError.h"
#include "modGenFunctionsFile.h"

namespace {

constexpr std::size_t kWriteBuffer = 256 * 1024;
// Writeback of what was written is started every kWritebackInterval bytes.
constexpr std::size_t kWritebackInterval = 4 * 1024 * 1024;
constexpr const char* kSource = "IncomingFile";

[[noreturn]] void fail(int error, const std::string& what, const std::string& path) {
  const int number = error == ENOSPC || error == EDQUOT ? modGenFunctionsFile::kErrDiskFull
                                                         : modGenFunctionsFile::kErrPathFileAccess;
  throw TvrError(number, kSource, what + " \"" + path + "\": " + std::strerror(error));
}

// Enters (creating when missing) the folder `name` of the open folder `parent`,
// refusing a symbolic link or anything that is not a folder.
int enterLevel(int parent, const std::string& name, const std::string& shownPath) {
  if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
    fail(errno, "Cannot create the folder", shownPath);
  }
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fail(errno, "Cannot enter the folder", shownPath);
  return fd;
}

std::string randomSuffix() {
  static std::mt19937 generator{std::random_device{}()};
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<int> pick(0, 35);
  std::string suffix(10, '0');
  for (char& c : suffix) c = kDigits[pick(generator)];
  return suffix;
}

// Deletes the temporary files of `fileName` that no running transfer holds
// (each holds a lock on its own): what a receiver killed mid-file left.
void removeAbandoned(int folder, const std::string& fileName) {
  const std::string prefix = "." + fileName + ".tvrpart-";
  const int listFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* list = ::fdopendir(listFd);
  if (list == nullptr) {
    ::close(listFd);
    return;
  }
  std::vector<std::string> abandoned;
  while (const dirent* entry = ::readdir(list)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) abandoned.push_back(name);
    ::close(fd);
  }
  ::closedir(list);
  for (const std::string& name : abandoned) ::unlinkat(folder, name.c_str(), 0);
}

}  // namespace

IncomingFile::IncomingFile(const std::string& baseFolder, const std::vector<std::string>& levels,
                           const std::string& fileName)
    : fileName_(fileName) {
  try {
    if (!modGenFunctionsFile::isPlainFileName(fileName)) {
      throw TvrError(modGenFunctionsFile::kErrBadFileName, kSource, "Bad file name \"" + fileName + "\"");
    }
    if (!modGenFunctionsFile::FolderExists(baseFolder)) modGenFunctionsFile::CreateFolderPath(baseFolder);
    folder_ = baseFolder;
    if (folder_.empty() || folder_.back() != '/') folder_ += '/';
    folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0) fail(errno, "Cannot open the folder", folder_);
    for (const std::string& level : levels) {
      if (!modGenFunctionsFile::isPlainFileName(level)) {
        throw TvrError(modGenFunctionsFile::kErrBadFileName, kSource, "Bad folder name \"" + level + "\"");
      }
      folder_ += level + "/";
      const int next = enterLevel(folderFd_, level, folder_);
      ::close(folderFd_);
      folderFd_ = next;
    }
    removeAbandoned(folderFd_, fileName);
    for (int attempt = 0; fileFd_ < 0; ++attempt) {
      temporaryName_ = "." + fileName + ".tvrpart-" + randomSuffix();
      fileFd_ = ::openat(folderFd_, temporaryName_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fileFd_ < 0 && (errno != EEXIST || attempt > 8)) {
        fail(errno, "Cannot create", folder_ + temporaryName_);
      }
    }
    if (::flock(fileFd_, LOCK_EX | LOCK_NB) != 0) fail(errno, "Cannot lock", folder_ + temporaryName_);
    buffer_.reserve(kWriteBuffer);
  } catch (...) {
    discard();
    throw;
  }
}

IncomingFile::~IncomingFile() { discard(); }

void IncomingFile::discard() noexcept {
  if (fileFd_ >= 0) ::close(fileFd_);
  fileFd_ = -1;
  if (!committed_ && !temporaryName_.empty() && folderFd_ >= 0) {
    ::unlinkat(folderFd_, temporaryName_.c_str(), 0);
  }
  temporaryName_.clear();
  if (folderFd_ >= 0) ::close(folderFd_);
  folderFd_ = -1;
}

void IncomingFile::Write(const char* data, std::size_t size) {
  if (fileFd_ < 0) throw TvrError(modGenFunctionsFile::kErrPathFileAccess, kSource, "The file is closed");
  buffer_.append(data, size);
  if (buffer_.size() >= kWriteBuffer) flush();
}

void IncomingFile::flush() {
  if (freeSpace() < reserve_ + buffer_.size()) {
    fail(ENOSPC, "No room left for the file", folder_ + fileName_);
  }
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t written = ::write(fileFd_, buffer_.data() + done, buffer_.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno, "Cannot write", folder_ + temporaryName_);
    }
    done += static_cast<std::size_t>(written);
  }
  written_ += buffer_.size();
  buffer_.clear();
  if (written_ - writebackFrom_ >= kWritebackInterval) startWriteback();
}

// Has the system start writing the bytes written since the last call to
// disk without waiting for it, so that few are left for the commit's sync
// and dirty pages do not pile up. A write error shows in that sync.
void IncomingFile::startWriteback() {
  ::sync_file_range(fileFd_, static_cast<off_t>(writebackFrom_),
                    static_cast<off_t>(written_ - writebackFrom_), SYNC_FILE_RANGE_WRITE);
  writebackFrom_ = written_;
}

uint64_t IncomingFile::freeSpace() const {
  struct statvfs space {};
  if (::fstatvfs(folderFd_, &space) != 0) fail(errno, "Cannot read the free space of", folder_);
  return static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
}

void IncomingFile::CheckSpace(uint64_t size, uint64_t reserve) {
  const uint64_t free = freeSpace();
  if (size > free || reserve > free - size) {
    fail(ENOSPC, "No room for " + std::to_string(size) + " bytes in", folder_);
  }
  reserve_ = reserve;
}

void IncomingFile::Commit() {
  const std::string path = folder_ + fileName_;
  flush();
  if (::fsync(fileFd_) != 0) fail(errno, "Cannot write", path);
  const int fd = fileFd_;
  fileFd_ = -1;
  if (::close(fd) != 0) fail(errno, "Cannot write", path);
  struct stat existing {};
  if (::fstatat(folderFd_, fileName_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      !S_ISREG(existing.st_mode)) {
    fail(EEXIST, "Cannot replace what is not a file", path);
  }
  if (::renameat(folderFd_, temporaryName_.c_str(), folderFd_, fileName_.c_str()) != 0) {
    fail(errno, "Cannot rename into", path);
  }
  committed_ = true;
  ::fsync(folderFd_);
  discard();
}
