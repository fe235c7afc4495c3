#pragma once
// AtomicFile: whole-file writes that neither a failure nor a crash leaves
// half done. The new content goes to a temporary file beside the target
// (".<name>.tvrtmp-<number>"), is flushed to disk and renamed over the
// target, and the folder is flushed so that the rename lasts too. A failure
// removes the temporary file and leaves the target as it was; a crash may
// leave a temporary file beside it, which nothing reads.
//
// Writing through a symbolic link replaces the link by a file.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Why a write failed: the step ("create", "write", "flush", "close",
// "replace") and the system's error number.
struct FileWriteFailure {
  std::string step;
  int error = 0;
};

// Writes `bytes` as the whole file `path`. `mode` gives the new file's
// permission bits; without it the file is created 0666 less the umask.
std::optional<FileWriteFailure> replaceFile(const std::string& path, std::string_view bytes,
                                            std::optional<mode_t> mode = std::nullopt);

// Writes all of `bytes` to `fd`, going on after short or interrupted writes.
// 0, or the error number of the write that failed.
int writeFully(int fd, std::string_view bytes);

}  // namespace platform
