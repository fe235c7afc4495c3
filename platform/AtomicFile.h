#pragma once
// AtomicFile: whole-file writes that neither a failure nor a crash leaves
// half done. The new content goes to a temporary file beside the target
// (".<name>.tvrtmp-<number>"), is flushed to disk and renamed over the
// target, and the folder is flushed so that the rename lasts too. A failure
// removes the temporary file and leaves the target as it was; a crash may
// leave a temporary file beside it, which nothing reads.
//
// Writing through a symbolic link replaces the link by a file.
//
// Appends (appendToFile, flushFile, truncateDurably) never follow a symbolic
// link. An append adds bytes at a file's end; a failed one is cut back off,
// but a crash may leave the last append torn, so readers of such a file must
// frame and check what they read.
#include <sys/types.h>

#include <cstdint>
#include <functional>
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
// With `writtenOutEvery`, each piece of that many bytes goes to disk before
// the next is written, so that syncs of other files meanwhile never wait
// for much of it (a large file written away from the event loop).
std::optional<FileWriteFailure> replaceFile(const std::string& path, std::string_view bytes,
                                            std::optional<mode_t> mode = std::nullopt,
                                            std::size_t writtenOutEvery = 0);

// Appends `bytes` to `path` (created 0666 less the umask when missing) with
// one write; with flush they are on disk before this returns, without it a
// later flush of the file (or the system's own writeback) puts them there.
// A new file is always flushed, and its folder too, so the file itself
// lasts. `size` gets the file's size afterwards. On failure the file is cut
// back to its former size (when even that fails it may keep part of them).
std::optional<FileWriteFailure> appendToFile(const std::string& path, std::string_view bytes,
                                             bool flush, std::uint64_t& size);

// Flushes what was written to the file `path` to disk.
std::optional<FileWriteFailure> flushFile(const std::string& path);

// Cuts the file `path` to `length` bytes and flushes it.
std::optional<FileWriteFailure> truncateDurably(const std::string& path, std::uint64_t length);

// Flushes the folder so that entries made or removed in it survive a crash.
// Best effort: a folder that cannot be opened is passed over.
void syncFolder(const std::string& folder);

// The folder part of `path` ("." without one).
std::string folderOf(const std::string& path);

// Writes all of `bytes` to `fd`, going on after short or interrupted writes.
// 0, or the error number of the write that failed.
int writeFully(int fd, std::string_view bytes);

// What a file door function did to a file, in order: bytes went into it
// (kWritten: an append, a cut, or a whole new content), or what was written
// to it is on disk (kSynced). A failed step tells nothing.
enum class FileDoorStep { kWritten, kSynced };

// While it lives, `observer` hears every step that the functions above take
// on a file (folders are not told), on the thread that takes it. Lets tests
// see what a caller left unsynced; not for the program. A watch made while
// another lives replaces it until it ends.
class FileDoorWatch {
 public:
  using Observer = std::function<void(FileDoorStep step, const std::string& path)>;
  explicit FileDoorWatch(Observer observer);
  ~FileDoorWatch();
  FileDoorWatch(const FileDoorWatch&) = delete;
  FileDoorWatch& operator=(const FileDoorWatch&) = delete;

 private:
  Observer before_;
};

}  // namespace platform
