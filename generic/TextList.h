#pragma once
// TextList: an ordered list of distinct texts, compared exactly, that grows
// until it is emptied. The texts lie one after another in one buffer and a
// flat table of places and hashes finds them, so adding a text costs no
// allocation of its own and a look-up one probe and one compare.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TextList {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Appends `text` unless it is listed: its place, and whether it was added.
  std::pair<std::size_t, bool> add(std::string_view text);
  // The place of `text`, or kNone.
  std::size_t find(std::string_view text) const;
  // Starts loading where `text` would be probed for, so that a look-up or add
  // soon after does not wait for memory.
  void prefetch(std::string_view text) const;
  // The text at `place` (below size()); valid until the next add or clear.
  std::string_view at(std::size_t place) const;
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  void clear();

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t placePlusOne = 0;  // 0: empty
  };
  static std::uint32_t hashOf(std::string_view text);
  std::size_t probe(std::string_view text, std::uint32_t hash) const;
  void grow();

  std::string chars_;
  std::vector<std::size_t> ends_;  // where each text ends in chars_
  std::vector<Slot> slots_;        // size a power of two, at most half used
};
