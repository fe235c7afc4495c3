#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace platform {
namespace {

constexpr int kNameAttempts = 20;

FileDoorWatch::Observer& observer() {
  static FileDoorWatch::Observer watching;
  return watching;
}

void tell(FileDoorStep step, const std::string& path) {
  if (observer()) observer()(step, path);
}

std::string temporaryNameBeside(const std::string& path) {
  thread_local std::mt19937 generator{std::random_device{}()};
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + name + ".tvrtmp-" + std::to_string(generator());
}

}  // namespace

FileDoorWatch::FileDoorWatch(Observer watching) : before_(std::move(observer())) {
  observer() = std::move(watching);
}

FileDoorWatch::~FileDoorWatch() { observer() = std::move(before_); }

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::optional<FileWriteFailure> appendToFile(const std::string& path, std::string_view bytes,
                                             bool flush, std::uint64_t& size) {
  bool created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    created = fd >= 0;
  }
  if (fd < 0) return FileWriteFailure{"create", errno};
  FileWriteFailure failure;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    failure = {"write", errno};
  } else if (!S_ISREG(info.st_mode)) {
    failure = {"write", EINVAL};
  } else if (const int error = writeFully(fd, bytes); error != 0) {
    failure = {"write", error};
  } else if ((flush || created) && ::fdatasync(fd) != 0) {
    failure = {"flush", errno};
  }
  const off_t before = info.st_size;
  // A failed append takes back what it wrote, so that later appends follow
  // the intact records; the file's size tells a caller whether that failed.
  if (failure.error != 0 && S_ISREG(info.st_mode)) {
    if (::ftruncate(fd, before) == 0) ::fdatasync(fd);
  } else if (failure.error == 0 && ::fstat(fd, &info) != 0) {
    failure = {"flush", errno};
  }
  if (::close(fd) != 0 && failure.error == 0) failure = {"close", errno};
  if (failure.error != 0) return failure;
  if (created) syncFolder(folderOf(path));
  tell(FileDoorStep::kWritten, path);
  if (flush || created) tell(FileDoorStep::kSynced, path);
  size = static_cast<std::uint64_t>(info.st_size);
  return std::nullopt;
}

std::optional<FileWriteFailure> flushFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return FileWriteFailure{"create", errno};
  FileWriteFailure failure;
  if (::fdatasync(fd) != 0) failure = {"flush", errno};
  if (::close(fd) != 0 && failure.error == 0) failure = {"close", errno};
  if (failure.error != 0) return failure;
  tell(FileDoorStep::kSynced, path);
  return std::nullopt;
}

std::optional<FileWriteFailure> truncateDurably(const std::string& path, std::uint64_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return FileWriteFailure{"create", errno};
  FileWriteFailure failure;
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    failure = {"write", errno};
  } else if (::fdatasync(fd) != 0) {
    failure = {"flush", errno};
  }
  if (::close(fd) != 0 && failure.error == 0) failure = {"close", errno};
  if (failure.error != 0) return failure;
  tell(FileDoorStep::kWritten, path);
  tell(FileDoorStep::kSynced, path);
  return std::nullopt;
}

int writeFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

namespace {

// Writes `bytes` to `fd` in pieces of `piece` bytes, each on disk before
// the next is written; 0 or the error number of the step that failed.
int writeInPieces(int fd, std::string_view bytes, std::size_t piece) {
  for (off_t at = 0; !bytes.empty();) {
    const std::string_view next = bytes.substr(0, piece);
    if (const int error = writeFully(fd, next); error != 0) return error;
    constexpr unsigned kWriteOut =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (::sync_file_range(fd, at, static_cast<off_t>(next.size()), kWriteOut) != 0) return errno;
    at += static_cast<off_t>(next.size());
    bytes.remove_prefix(next.size());
  }
  return 0;
}

}  // namespace

std::optional<FileWriteFailure> replaceFile(const std::string& path, std::string_view bytes,
                                            std::optional<mode_t> mode, std::size_t writtenOutEvery) {
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = temporaryNameBeside(path);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt >= kNameAttempts)) return FileWriteFailure{"create", errno};
  }
  FileWriteFailure failure;
  if (mode && ::fchmod(fd, *mode) != 0) {
    failure = {"create", errno};
  } else if (const int error = writtenOutEvery == 0 ? writeFully(fd, bytes)
                                                     : writeInPieces(fd, bytes, writtenOutEvery);
             error != 0) {
    failure = {"write", error};
  } else if (::fsync(fd) != 0) {
    failure = {"flush", errno};
  }
  if (::close(fd) != 0 && failure.error == 0) failure = {"close", errno};
  if (failure.error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = {"replace", errno};
  if (failure.error != 0) {
    ::unlink(temporary.c_str());
    return failure;
  }
  syncFolder(folderOf(path));
  tell(FileDoorStep::kWritten, path);
  tell(FileDoorStep::kSynced, path);
  return std::nullopt;
}

}  // namespace platform
