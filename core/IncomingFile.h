#pragma once
// IncomingFile: one file that another copy sends, on its way into a folder
// below a base folder that this copy trusts (the receiving account's upload
// folder).
//
// The levels below the base are created when missing and entered without
// ever following a symbolic link, so nothing a peer names leads outside the
// base. The bytes go to a hidden temporary file beside the final name; only
// Commit (everything flushed to disk and closed without error) renames it
// over the final name, which then holds the whole file or nothing new. An
// object destroyed without a commit deletes its temporary file, so a
// transfer that ends any other way never leaves a file that looks received,
// and nothing but that temporary file is ever deleted (and those that a
// receiver killed mid-file left beside the same name, which no running
// transfer holds locked).
//
// Callers give plain names (no "/", "\", NUL, "." or ".."): the levels and
// the file name. Errors raise TvrError (75 path/file access, 61 disk full).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class IncomingFile {
 public:
  IncomingFile(const std::string& baseFolder, const std::vector<std::string>& levels,
               const std::string& fileName);
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // Raises 61 unless the file system's free space takes the `size` bytes
  // the file will hold and still leaves `reserve`. Nothing is set aside for
  // them: every later write checks again that `reserve` stays free, so a
  // size that a peer announces shuts no other transfer out.
  void CheckSpace(uint64_t size, uint64_t reserve);
  // Writes are sent on to the disk as they go (the system starts writing
  // every few MiB, without the receiver waiting for it), so the commit has
  // little left to sync. Raises 61 when writing would cut into the reserve
  // of CheckSpace.
  void Write(const char* data, std::size_t size);
  // Flushes, syncs and closes the file and renames it into place (replacing
  // a regular file of that name, never anything else); the folder is synced.
  void Commit();
  // The folder of the file, ending in "/".
  const std::string& Folder() const { return folder_; }

 private:
  void flush();
  void startWriteback();
  uint64_t freeSpace() const;
  void discard() noexcept;

  std::string folder_;
  std::string fileName_;
  std::string temporaryName_;
  std::string buffer_;
  int folderFd_ = -1;
  int fileFd_ = -1;
  // What the file system must keep free when this file grows.
  uint64_t reserve_ = 0;
  // Bytes written to the file, and where the writeback not yet started begins.
  uint64_t written_ = 0;
  uint64_t writebackFrom_ = 0;
  bool committed_ = false;
};
