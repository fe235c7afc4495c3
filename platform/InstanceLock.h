#pragma once
// InstanceLock: one running copy of the program per data folder. The lock is
// an advisory lock on a file in the folder, held for the object's lifetime
// and released by the system when the process ends in any way, so a copy
// that was killed never blocks the next start.
#include <string>

namespace platform {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of `folder` (created when missing). False when another
  // process holds it or the folder cannot be used.
  bool Acquire(const std::string& folder);
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace platform
