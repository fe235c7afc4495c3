#pragma once
// TvrError: the one error type of the program. It carries the number, source and
// description that every trap reads, reports and passes upward unchanged
// (the source may grow a prefix naming the procedure that passed it on).
#include <stdexcept>
#include <string>

// Error numbers used across the program.
enum TvrErrorNumber : int {
  kErrInvalidCall = 5,
  kErrOverflow = 6,
  kErrOutOfMemory = 7,
  kErrSubscript = 9,
  kErrTypeMismatch = 13,
  kErrFileNotFound = 53,
  kErrFileAlreadyExists = 58,
  kErrDiskNotReady = 71,
  kErrPathNotFound = 76,
  kErrObjectNotSet = 91,
  kErrDuplicateKey = 457,
  kErrApplicationDefined = 1000,
};

class TvrError : public std::runtime_error {
 public:
  TvrError(int number, std::string source, std::string description,
           std::string helpFile = {}, int helpContext = 0);

  int number() const { return number_; }
  const std::string& source() const { return source_; }
  const std::string& description() const { return description_; }
  const std::string& helpFile() const { return helpFile_; }
  int helpContext() const { return helpContext_; }

  // The same error with `prefix` put in front of its source.
  TvrError withSourcePrefix(const std::string& prefix) const;

 private:
  int number_;
  std::string source_;
  std::string description_;
  std::string helpFile_;
  int helpContext_;
};
