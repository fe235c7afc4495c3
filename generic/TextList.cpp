#include "TextList.h"

#include <functional>
#include <limits>

#include "TvrError.h"

std::uint32_t TextList::hashOf(std::string_view text) {
  const std::size_t hash = std::hash<std::string_view>{}(text);
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

std::pair<std::size_t, bool> TextList::add(std::string_view text) {
  const std::uint32_t hash = hashOf(text);
  std::size_t at = 0;
  if (!slots_.empty()) {
    at = probe(text, hash);
    if (slots_[at].placePlusOne != 0) return {slots_[at].placePlusOne - 1, false};
  }
  if (ends_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
    throw TvrError(kErrOverflow, "", "Overflow");
  }
  if ((ends_.size() + 1) * 2 > slots_.size()) {
    grow();
    at = probe(text, hash);
  }
  chars_.append(text);
  ends_.push_back(chars_.size());
  slots_[at] = {hash, static_cast<std::uint32_t>(ends_.size())};
  return {ends_.size() - 1, true};
}

std::size_t TextList::find(std::string_view text) const {
  if (slots_.empty()) return kNone;
  const Slot& slot = slots_[probe(text, hashOf(text))];
  return slot.placePlusOne == 0 ? kNone : slot.placePlusOne - 1;
}

void TextList::prefetch(std::string_view text) const {
  if (!slots_.empty()) __builtin_prefetch(&slots_[hashOf(text) & (slots_.size() - 1)]);
}

std::string_view TextList::at(std::size_t place) const {
  const std::size_t begin = place == 0 ? 0 : ends_[place - 1];
  return std::string_view(chars_).substr(begin, ends_[place] - begin);
}

void TextList::clear() {
  std::string().swap(chars_);
  std::vector<std::size_t>().swap(ends_);
  std::vector<Slot>().swap(slots_);
}

// The slot that holds `text`, or the empty slot where it would go.
std::size_t TextList::probe(std::string_view text, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  while (slots_[slot].placePlusOne != 0 &&
         (slots_[slot].hash != hash || at(slots_[slot].placePlusOne - 1) != text)) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

void TextList::grow() {
  std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.placePlusOne == 0) continue;
    std::size_t at = slot.hash & mask;
    while (slots_[at].placePlusOne != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}
