#include "clsGenVirtualXMLCursor.h"

#include <algorithm>

#include "MessageBox.h"
#include "TvrError.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"

namespace {

void requireList(bool attached) {
  if (!attached) {
    throw TvrError(kErrObjectNotSet, "", "Object variable or With block variable not set");
  }
}

}  // namespace

int32_t clsGenVirtualXMLCursor::Count() const {
  return list_ ? static_cast<int32_t>(list_->size()) : 0;
}

int32_t clsGenVirtualXMLCursor::CurrentPos(const std::string& attributeName,
                                           std::string_view value) const {
  if (!list_) return -1;
  for (std::size_t i = 0; i < list_->size(); ++i) {
    const pugi::xml_attribute attribute = (*list_)[i].attribute(attributeName.c_str());
    if (attribute && value == attribute.value()) return static_cast<int32_t>(i);
  }
  return -1;
}

void clsGenVirtualXMLCursor::Reset() {
  list_.reset();
  where_.clear();
  current_ = {};
  bol_ = true;
  eol_ = true;
}

void clsGenVirtualXMLCursor::CloseCursor() { Reset(); }

pugi::xml_node clsGenVirtualXMLCursor::Move(XMLCursorMove direction, int32_t position) {
  try {
    requireList(list_.has_value());
    if (endsOnEmptyList()) return current_;
    return moveOnList(direction, position);
  } catch (...) {
    raiseAgain("clsGenVirtualXMLCursor.Move");
  }
}

pugi::xml_node clsGenVirtualXMLCursor::GetNodeAt(int32_t position) {
  try {
    requireList(list_.has_value());
    if (endsOnEmptyList()) return current_;
    current_ = position < 0 ? pugi::xml_node()
                            : (*list_)[std::min<std::size_t>(position, list_->size() - 1)];
    return current_;
  } catch (...) {
    raiseAgain("clsGenVirtualXMLCursor.GetNodeAt");
  }
}

pugi::xml_node clsGenVirtualXMLCursor::SetNodes(NodeList nodes) {
  list_ = std::move(nodes);
  where_.clear();
  position_ = 0;
  bol_ = true;
  eol_ = list_->empty();
  current_ = list_->empty() ? pugi::xml_node() : list_->front();
  return current_;
}

pugi::xml_node clsGenVirtualXMLCursor::SetCurrentNode(pugi::xml_node node) {
  current_ = node;
  return current_;
}

void clsGenVirtualXMLCursor::forgetNodes(const NodeList& removed) {
  for (const pugi::xml_node node : removed) {
    if (node == current_) current_ = {};
  }
  if (!list_ || list_->empty()) return;
  if (where_.empty()) {
    for (std::size_t i = 0; i < list_->size(); ++i) {
      if ((*list_)[i]) where_.emplace((*list_)[i].internal_object(), i);
    }
  }
  for (const pugi::xml_node node : removed) {
    const auto found = where_.find(node.internal_object());
    if (found == where_.end()) continue;
    (*list_)[found->second] = {};
    where_.erase(found);
  }
}

void clsGenVirtualXMLCursor::forgetNodesOf(pugi::xml_node documentNode) {
  if (current_ && current_.root() == documentNode) current_ = {};
  if (!list_) return;
  for (pugi::xml_node& node : *list_) {
    if (node && node.root() == documentNode) node = {};
  }
  where_.clear();
}

// The index of the first live entry from `from` on in steps of `step`
// (+1 or -1), or -1 when there is none.
int32_t clsGenVirtualXMLCursor::nextLive(int32_t from, int step) const {
  const auto count = static_cast<int32_t>(list_->size());
  for (int32_t i = from; i >= 0 && i < count; i += step) {
    if ((*list_)[i]) return i;
  }
  return -1;
}

// A list without a live entry leaves no current node and both flags set.
bool clsGenVirtualXMLCursor::endsOnEmptyList() {
  if (nextLive(0, 1) >= 0) return false;
  current_ = {};
  bol_ = true;
  eol_ = true;
  return true;
}

void clsGenVirtualXMLCursor::settleAt(int32_t index) {
  position_ = index;
  current_ = (*list_)[index];
}

pugi::xml_node clsGenVirtualXMLCursor::moveOnList(XMLCursorMove direction, int32_t position) {
  const auto count = static_cast<int32_t>(list_->size());
  switch (direction) {
    case MoveFirst:
      settleAt(nextLive(0, 1));
      bol_ = true;
      eol_ = false;
      break;
    case MoveLast:
      settleAt(nextLive(count - 1, -1));
      bol_ = false;
      eol_ = true;
      break;
    case MoveNext: {
      const int32_t next = nextLive(position_ + 1, 1);
      if (next >= 0) {
        settleAt(next);
        eol_ = false;
      } else {
        current_ = {};
        eol_ = true;
      }
      break;
    }
    case MovePrevious: {
      const int32_t previous = position_ > 0 ? nextLive(position_ - 1, -1) : -1;
      if (previous >= 0) {
        settleAt(previous);
        bol_ = false;
      } else {
        current_ = {};
        bol_ = true;
      }
      break;
    }
    case MoveTo:
      if (position >= 0 && position < count) {
        settleAt(position);
        bol_ = position == 0;
        eol_ = position == count - 1;
      } else {
        platform::showMessageBox("Node Position out of range", platform::kMbOkOnly,
                                 modGenFunctions::kAppTitle);
        current_ = {};
      }
      break;
  }
  return current_;
}
