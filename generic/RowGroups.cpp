#include "RowGroups.h"

#include <algorithm>

std::size_t RowGroups::groupOf(std::string_view key) {
  const auto [place, added] = keys_.add(key);
  if (added) {
    groups_.emplace_back();
    ++emptied_;
  }
  return place;
}

RowGroups::Rows RowGroups::rowsAt(std::size_t place) const {
  const Group& group = groups_[place];
  if (!group.more.empty()) return group.more;
  return group.one ? Rows(&group.one, 1) : Rows();
}

void RowGroups::append(std::size_t place, pugi::xml_node row) {
  Group& group = groups_[place];
  if (!group.more.empty()) {
    group.more.push_back(row);
  } else if (group.one) {
    group.more = {group.one, row};
    group.one = {};
  } else {
    group.one = row;
    --emptied_;
  }
}

bool RowGroups::remove(std::size_t place, pugi::xml_node row) {
  Group& group = groups_[place];
  if (group.more.empty()) {
    if (!group.one || group.one != row) return false;
    group.one = {};
    ++emptied_;
    return true;
  }
  const auto at = std::find(group.more.begin(), group.more.end(), row);
  if (at == group.more.end()) return false;
  group.more.erase(at);
  if (group.more.size() == 1) {
    group.one = group.more.front();
    std::vector<pugi::xml_node>().swap(group.more);
  }
  return true;
}
