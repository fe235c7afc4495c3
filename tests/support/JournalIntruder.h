#pragma once
// What tests put where a data file's journal belongs instead of a journal,
// and a watch that lets go of whatever stops at a named pipe put there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "modGenFunctionsFile.h"

enum class Intruder { kFolder, kFolderWithAFile, kLinkToAFile, kLinkToNothing, kNamedPipe };

inline constexpr Intruder kIntruders[] = {Intruder::kFolder, Intruder::kFolderWithAFile,
                                          Intruder::kLinkToAFile, Intruder::kLinkToNothing,
                                          Intruder::kNamedPipe};

inline const char* nameOf(Intruder intruder) {
  switch (intruder) {
    case Intruder::kFolder: return "a folder";
    case Intruder::kFolderWithAFile: return "a folder holding a file";
    case Intruder::kLinkToAFile: return "a link to a file";
    case Intruder::kLinkToNothing: return "a link to nothing";
    case Intruder::kNamedPipe: return "a named pipe";
  }
  return "";
}

// Puts `intruder` at `path`; a link leads to `target` (a file for
// kLinkToAFile, nothing for kLinkToNothing). False when it cannot.
inline bool placeIntruder(Intruder intruder, const std::string& path, const std::string& target) {
  const QString at = QString::fromStdString(path);
  QFile::remove(at);
  switch (intruder) {
    case Intruder::kFolder: return QDir().mkpath(at);
    case Intruder::kFolderWithAFile:
      if (!QDir().mkpath(at)) return false;
      modGenFunctionsFile::SaveFileContent(path, "inside", "inside", false);
      return true;
    case Intruder::kLinkToAFile:
    case Intruder::kLinkToNothing: return QFile::link(QString::fromStdString(target), at);
    case Intruder::kNamedPipe: return ::mkfifo(path.c_str(), 0600) == 0;
  }
  return false;
}

// While it lives, opens and closes the named pipe at `path` for writing
// whenever a reader waits at it, so that a test whose code stops at the
// pipe goes on and fails instead of waiting for good. released() tells
// whether a reader had to be let go.
class PipeRelease {
 public:
  explicit PipeRelease(std::string path)
      : path_(std::move(path)), thread_([this] {
          while (!stop_) {
            // Opening a pipe for writing succeeds only while a reader waits.
            struct stat info {};
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
              released_ = released_ || (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode));
              ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~PipeRelease() {
    stop_ = true;
    thread_.join();
  }
  PipeRelease(const PipeRelease&) = delete;
  PipeRelease& operator=(const PipeRelease&) = delete;
  bool released() const { return released_; }

 private:
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> released_{false};
  std::thread thread_;
};
