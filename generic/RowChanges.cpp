#include "RowChanges.h"

#include <algorithm>

void RowChanges::touch(std::string_view uid) {
  if (uid == lastTouched_ && !uid.empty()) return;
  lastTouched_ = uid;
  if (touched_.find(uid) != touched_.end()) return;
  touched_.emplace(std::string(uid), Entry{nextTurn_++, false});
}

void RowChanges::removed(std::string_view uid) {
  Entry& entry = touched_[std::string(uid)];
  entry.turn = nextTurn_++;
  entry.removed = true;
}

void RowChanges::forget() {
  touched_.clear();
  lastTouched_.clear();
  whole_ = false;
}

std::vector<RowChanges::Touched> RowChanges::inTurn() const {
  std::vector<std::pair<std::uint64_t, Touched>> ordered;
  ordered.reserve(touched_.size());
  for (const auto& [uid, entry] : touched_) ordered.push_back({entry.turn, {uid, entry.removed}});
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Touched> rows;
  rows.reserve(ordered.size());
  for (auto& [turn, row] : ordered) rows.push_back(std::move(row));
  return rows;
}
