#pragma once
// RowGroups: the rows of one index grouped by a key text (the value of one
// attribute), each group listing its rows in the order they joined.
//
// The keys lie in one TextList and the groups in a vector beside it, so a
// new key costs one probe and two appends, and a group of one row holds it
// inline without an allocation of its own. A group keeps its key, and its
// place, after its last row leaves; emptied() counts such groups so that
// their owner can rebuild when they are most of the table.
//
// Holds node handles only: whoever removes a row removes it here first.
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "TextList.h"

class RowGroups {
 public:
  using Rows = std::span<const pugi::xml_node>;

  // The place of the group of `key`, made empty when there is none.
  std::size_t groupOf(std::string_view key);
  // The place of the group of `key`, or TextList::kNone.
  std::size_t find(std::string_view key) const { return keys_.find(key); }
  void prefetch(std::string_view key) const { keys_.prefetch(key); }
  std::string_view keyAt(std::size_t place) const { return keys_.at(place); }
  Rows rowsAt(std::size_t place) const;
  // Appends `row` to the group at `place`.
  void append(std::size_t place, pugi::xml_node row);
  // Takes `row` out of the group at `place`; false when it is not in it.
  bool remove(std::size_t place, pugi::xml_node row);
  // Groups without rows.
  std::size_t emptied() const { return emptied_; }
  std::size_t size() const { return groups_.size(); }

 private:
  // `more` empty: the group is `one` alone, or nothing when it is null.
  // Otherwise `more` holds every row of the group.
  struct Group {
    pugi::xml_node one;
    std::vector<pugi::xml_node> more;
  };

  TextList keys_;
  std::vector<Group> groups_;  // beside keys_
  std::size_t emptied_ = 0;
};
