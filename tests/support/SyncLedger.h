#pragma once
// SyncLedger: while it lives, keeps account of what the file door
// (platform::FileDoorWatch) wrote and synced: which files hold writes not yet
// on disk, and how often each file was synced. A kill of the process loses
// no written page, so a test that must see a sync asks the ledger.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "AtomicFile.h"

class SyncLedger {
 public:
  // `onWrite`, when given, runs at each write, before the ledger counts it.
  explicit SyncLedger(std::function<void(const std::string& path)> onWrite = {})
      : onWrite_(std::move(onWrite)),
        watch_([this](platform::FileDoorStep step, const std::string& path) {
          if (step == platform::FileDoorStep::kSynced) {
            unsynced_.erase(path);
            ++syncs_[path];
            return;
          }
          if (onWrite_) onWrite_(path);
          unsynced_.insert(path);
        }) {}

  // The files written since their last sync.
  const std::set<std::string>& unsynced() const { return unsynced_; }
  bool unsynced(const std::string& path) const { return unsynced_.count(path) != 0; }
  int syncs(const std::string& path) const {
    const auto found = syncs_.find(path);
    return found == syncs_.end() ? 0 : found->second;
  }

 private:
  std::function<void(const std::string& path)> onWrite_;
  std::set<std::string> unsynced_;
  std::map<std::string, int> syncs_;
  platform::FileDoorWatch watch_;
};
