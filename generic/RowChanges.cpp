#include "RowChanges.h"

#include <algorithm>

RowChanges::Entry& RowChanges::entryOf(std::string_view uid) {
  const auto [place, added] = uids_.add(uid);
  if (added) entries_.push_back({nextTurn_++, false});
  return entries_[place];
}

void RowChanges::touch(std::string_view uid) {
  if (uid == lastTouched_ && !uid.empty()) return;
  lastTouched_ = uid;
  entryOf(uid);
}

void RowChanges::removed(std::string_view uid) {
  Entry& entry = entryOf(uid);
  entry.turn = nextTurn_++;
  entry.removed = true;
}

void RowChanges::forget() {
  forgetRows();
  whole_ = false;
}

void RowChanges::forgetRows() {
  uids_.clear();
  entries_.clear();
  lastTouched_.clear();
}

std::vector<RowChanges::Touched> RowChanges::inTurn() const {
  std::vector<std::size_t> order(uids_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [this](std::size_t a, std::size_t b) { return entries_[a].turn < entries_[b].turn; });
  std::vector<Touched> rows;
  rows.reserve(order.size());
  for (const std::size_t place : order) {
    rows.push_back({std::string(uids_.at(place)), entries_[place].removed});
  }
  return rows;
}
