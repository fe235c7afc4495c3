#include "clsGenXMLDocument.h"

#include <algorithm>
#include <unordered_map>

namespace {

// The attribute that names a row to its data file's journal.
constexpr const char* kUIDAttribute = "UID";

// Emptied groups an index keeps before it is rebuilt, once they are also
// most of its groups.
constexpr std::size_t kEmptiedGroupsKept = 1024;

// Maps the document node of every live clsGenXMLDocument to its owner, so a
// bare node handle can find the document that keeps its indexes. Never
// destroyed: documents held by globals unregister after static destruction
// has begun.
std::unordered_map<const void*, clsGenXMLDocument*>& registry() {
  static auto* const instance = new std::unordered_map<const void*, clsGenXMLDocument*>();
  return *instance;
}

bool isAncestorOrSelf(pugi::xml_node candidate, pugi::xml_node node) {
  for (; node; node = node.parent()) {
    if (node == candidate) return true;
  }
  return false;
}

// The next node of a pre-order walk of `top`'s subtree, or null at its end.
pugi::xml_node nextInSubtree(pugi::xml_node node, pugi::xml_node top, int& depth) {
  if (const pugi::xml_node child = node.first_child()) {
    ++depth;
    return child;
  }
  for (; node != top; node = node.parent(), --depth) {
    if (const pugi::xml_node next = node.next_sibling()) return next;
  }
  return {};
}

// `top` and every node below it, iteratively (trees may come from peers).
NodeList subtreeOf(pugi::xml_node top) {
  NodeList nodes;
  int depth = 0;
  for (pugi::xml_node node = top; node; node = nextInSubtree(node, top, depth)) {
    nodes.push_back(node);
  }
  return nodes;
}

// One root element and nothing but markup beside it at the top level.
bool hasSingleRoot(pugi::xml_node documentNode) {
  int elements = 0;
  for (const pugi::xml_node node : documentNode.children()) {
    if (node.type() == pugi::node_element) ++elements;
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return false;
  }
  return elements == 1;
}

// Whether a node lies more than `limit` levels below `top`; pugixml walks
// the tree without recursion.
bool deeperThan(pugi::xml_node top, int limit) {
  struct DepthCheck : pugi::xml_tree_walker {
    explicit DepthCheck(int limit) : limit(limit) {}
    bool for_each(pugi::xml_node&) override { return depth() < limit; }
    int limit;
  } check(limit);
  return !top.traverse(check);
}

}  // namespace

clsGenXMLDocument::clsGenXMLDocument() { registry()[dom_.internal_object()] = this; }

clsGenXMLDocument::~clsGenXMLDocument() { registry().erase(dom_.internal_object()); }

clsGenXMLDocument* clsGenXMLDocument::owning(pugi::xml_node node) {
  if (!node) return nullptr;
  const auto found = registry().find(node.root().internal_object());
  return found == registry().end() ? nullptr : found->second;
}

// Line ends are kept as they are: the serialiser writes a CR in element
// text as it is, so turning it into LF on reading would change stored text.
bool clsGenXMLDocument::load(std::string text,
                             const std::function<void(pugi::xml_node root)>& amend) {
  clear();
  parsedText_ = std::move(text);
  constexpr unsigned kOptions = pugi::parse_default & ~pugi::parse_eol;
  const pugi::xml_parse_result parsed =
      dom_.load_buffer_inplace(parsedText_.data(), parsedText_.size(), kOptions, pugi::encoding_utf8);
  if (parsed && hasSingleRoot(dom_) && !deeperThan(dom_, kMaxDepth)) {
    if (amend) amend(rootElement());
    return true;
  }
  clear();
  return false;
}

void clsGenXMLDocument::clear() {
  announceReplacement();
  changes_.makeWhole();
  dom_.reset();
  std::string().swap(parsedText_);
}

pugi::xml_node clsGenXMLDocument::appendElement(pugi::xml_node parent, const char* name) {
  const pugi::xml_node added = joined(parent, parent.append_child(name));
  noteChange(added);
  return added;
}

pugi::xml_node clsGenXMLDocument::appendCopy(pugi::xml_node parent, pugi::xml_node source) {
  if (parent == rootElement()) prefetchRow(source);
  const pugi::xml_node added = joined(parent, parent.append_copy(source));
  noteChange(added);
  return added;
}

pugi::xml_node clsGenXMLDocument::appendMove(pugi::xml_node parent, pugi::xml_node node) {
  if (!node || !parent || node.root() != dom_ || parent.root() != dom_ ||
      isAncestorOrSelf(node, parent)) {
    return {};
  }
  if (isRow(node)) {
    noteRemoval(node);
    unindexRow(node);
  } else {
    noteChange(node);
    if (isRow(node.parent())) dropSubRowIndexes(node.parent(), node, {});
  }
  const std::vector<Holder*> holders = holders_;
  for (Holder* holder : holders) holder->nodeMoving(*this, node);
  const pugi::xml_node moved = joined(parent, parent.append_move(node));
  noteChange(moved);
  return moved;
}

void clsGenXMLDocument::remove(pugi::xml_node node) {
  if (!node || node.root() != dom_ || node == dom_) return;
  if (isAncestorOrSelf(node, rootElement())) {
    announceReplacement();
    changes_.makeWhole();
  } else {
    if (isRow(node)) {
      noteRemoval(node);
    } else {
      noteChange(node);
    }
    const NodeList removed = subtreeOf(node);
    const std::vector<Holder*> holders = holders_;
    for (Holder* holder : holders) holder->nodesRemoved(*this, removed);
    if (isRow(node)) {
      unindexRow(node);
    } else if (isRow(node.parent())) {
      dropSubRowIndexes(node.parent(), node, {});
    }
  }
  node.parent().remove_child(node);
}

void clsGenXMLDocument::setAttribute(pugi::xml_node node, const char* name,
                                     std::string_view value) {
  clsGenXMLDocument* owner = owning(node);
  pugi::xml_attribute attribute = node.attribute(name);
  // A row that takes another UID is, to its file, one row gone and another
  // placed where it stands.
  const bool renamed = owner && owner->isRow(node) && std::string_view(name) == kUIDAttribute &&
                       attribute && value != attribute.value();
  if (owner) {
    if (renamed) owner->noteRemoval(node);
    owner->beforeAttributeWrite(node, name);
  }
  if (!attribute) attribute = node.append_attribute(name);
  attribute.set_value(value.data(), value.size());
  if (owner) {
    owner->afterAttributeWrite(node, name);
    if (renamed) owner->noteRemoval(node);
    else owner->noteChange(node);
  }
}

void clsGenXMLDocument::removeAttribute(pugi::xml_node node, const char* name) {
  if (!node.attribute(name)) return;
  clsGenXMLDocument* owner = owning(node);
  // A row without the attribute belongs to no group of an index by it.
  if (owner) owner->beforeAttributeWrite(node, name);
  node.remove_attribute(name);
  if (owner) owner->noteChange(node);
}

NodeSpan clsGenXMLDocument::rowsWhere(std::string_view element, std::string_view attribute,
                                      std::string_view value) {
  return lookUp(element, {}, attribute, value);
}

pugi::xml_node clsGenXMLDocument::firstRowWhere(std::string_view element,
                                                std::string_view attribute,
                                                std::string_view value) {
  const NodeSpan rows = rowsWhere(element, attribute, value);
  return rows.empty() ? pugi::xml_node() : rows.front();
}

void clsGenXMLDocument::prepareIndex(std::string_view element, std::string_view attribute) {
  if (rootElement()) indexFor(element, {}, attribute);
}

bool clsGenXMLDocument::isIndexed(std::string_view element, std::string_view attribute) const {
  return std::any_of(indexes_.begin(), indexes_.end(), [&](const auto& index) {
    return index->element == element && index->subElement.empty() && index->attribute == attribute;
  });
}

NodeSpan clsGenXMLDocument::rowsWithSubRowWhere(std::string_view element,
                                                std::string_view subElement,
                                                std::string_view attribute,
                                                std::string_view value) {
  if (subElement.empty()) return {};
  return lookUp(element, subElement, attribute, value);
}

void clsGenXMLDocument::addHolder(Holder* holder) {
  if (std::find(holders_.begin(), holders_.end(), holder) == holders_.end()) {
    holders_.push_back(holder);
  }
}

void clsGenXMLDocument::removeHolder(Holder* holder) {
  holders_.erase(std::remove(holders_.begin(), holders_.end(), holder), holders_.end());
}

pugi::xml_node clsGenXMLDocument::joined(pugi::xml_node parent, pugi::xml_node added) {
  if (!added || parent == dom_) {
    // A refused move has already unindexed its node; a new top-level element
    // can become the root, or bring rows with it.
    dropAllIndexes();
    return added;
  }
  const pugi::xml_node root = rootElement();
  if (parent == root) {
    if (added.type() == pugi::node_element) indexRow(added);
  } else if (parent.parent() == root && parent.type() == pugi::node_element) {
    subRowAdded(parent, added);
  }
  return added;
}

bool clsGenXMLDocument::isRow(pugi::xml_node node) const {
  const pugi::xml_node parent = node.parent();
  return parent && parent == rootElement() && node.type() == pugi::node_element;
}

NodeSpan clsGenXMLDocument::lookUp(std::string_view element, std::string_view subElement,
                                   std::string_view attribute, std::string_view value) {
  const RowIndex& index = indexFor(element, subElement, attribute);
  if (last_.index == &index && index.groups.keyAt(last_.place) == value) {
    return index.groups.rowsAt(last_.place);
  }
  const std::size_t place = index.groups.find(value);
  if (place == TextList::kNone) return {};
  last_ = {&index, place};
  return index.groups.rowsAt(place);
}

clsGenXMLDocument::RowIndex& clsGenXMLDocument::indexFor(std::string_view element,
                                                         std::string_view subElement,
                                                         std::string_view attribute) {
  for (const auto& index : indexes_) {
    if (index->element == element && index->subElement == subElement &&
        index->attribute == attribute) {
      return *index;
    }
  }
  auto index = std::make_unique<RowIndex>();
  index->element = element;
  index->subElement = subElement;
  index->attribute = attribute;
  for (pugi::xml_node row : rootElement().children(index->element.c_str())) {
    forEachKey(*index, row, [&](std::string_view key) { addToGroup(*index, key, row); });
  }
  indexes_.push_back(std::move(index));
  return *indexes_.back();
}

template <typename Visit>
void clsGenXMLDocument::forEachKey(const RowIndex& index, pugi::xml_node row, Visit&& visit) {
  if (index.subElement.empty()) {
    const pugi::xml_attribute key = row.attribute(index.attribute.c_str());
    if (key) visit(std::string_view(key.value()));
    return;
  }
  std::vector<std::string_view> keys;
  for (const pugi::xml_node subRow : row.children(index.subElement.c_str())) {
    const pugi::xml_attribute key = subRow.attribute(index.attribute.c_str());
    if (key && std::find(keys.begin(), keys.end(), key.value()) == keys.end()) {
      keys.emplace_back(key.value());
    }
  }
  for (const std::string_view key : keys) visit(key);
}

// Rows only ever join at the end of the root element, so appending to their
// group keeps each group in document order.
void clsGenXMLDocument::addToGroup(RowIndex& index, std::string_view key, pugi::xml_node row) {
  const std::size_t place = index.groups.groupOf(key);
  const NodeSpan rows = index.groups.rowsAt(place);
  if (rows.empty() || rows.back() != row) index.groups.append(place, row);
  last_ = {&index, place};
}

// Starts loading the table entries that indexing and noting a copy of `row`
// look up, so that they arrive while the copy is made.
void clsGenXMLDocument::prefetchRow(pugi::xml_node row) const {
  changes_.prefetch(row.attribute(kUIDAttribute).value());
  for (const auto& index : indexes_) {
    if (index->subElement.empty() && index->element == row.name()) {
      index->groups.prefetch(row.attribute(index->attribute.c_str()).value());
    }
  }
}

void clsGenXMLDocument::indexRow(pugi::xml_node row) {
  for (const auto& index : indexes_) {
    if (index->element != row.name()) continue;
    forEachKey(*index, row, [&](std::string_view key) { addToGroup(*index, key, row); });
  }
}

void clsGenXMLDocument::unindexRow(pugi::xml_node row) {
  std::vector<const RowIndex*> stale;
  for (const auto& index : indexes_) {
    if (index->element == row.name() && !unindexRow(*index, row)) stale.push_back(index.get());
  }
  dropIndexes(stale);
}

// False when the row is not where its values say it should be, which means
// the index no longer matches the tree, or when emptied groups are most of
// the index: either way it is to be rebuilt.
bool clsGenXMLDocument::unindexRow(RowIndex& index, pugi::xml_node row) {
  bool found = true;
  forEachKey(index, row, [&](std::string_view key) {
    const std::size_t place = index.groups.find(key);
    found = found && place != TextList::kNone && index.groups.remove(place, row);
  });
  const std::size_t emptied = index.groups.emptied();
  return found && (emptied <= kEmptiedGroupsKept || emptied * 2 <= index.groups.size());
}

void clsGenXMLDocument::beforeAttributeWrite(pugi::xml_node node, const char* name) {
  std::vector<const RowIndex*> stale;
  if (isRow(node)) {
    for (const auto& index : indexes_) {
      if (index->subElement.empty() && index->attribute == name && index->element == node.name() &&
          !unindexRow(*index, node)) {
        stale.push_back(index.get());
      }
    }
  } else if (isRow(node.parent()) && node.attribute(name)) {
    // A sub row's value changes: whether its row keeps the old value through
    // another sub row is not worth working out.
    dropSubRowIndexes(node.parent(), node, name);
  }
  dropIndexes(stale);
}

// A row that is the last child, or whose new group is empty, can join its
// group at the end without breaking document order; otherwise the index is
// dropped and rebuilt by the next look-up.
void clsGenXMLDocument::afterAttributeWrite(pugi::xml_node node, const char* name) {
  const bool row = isRow(node);
  const pugi::xml_node owner = row ? node : node.parent();
  if (!row && !isRow(owner)) return;
  std::vector<const RowIndex*> stale;
  for (const auto& index : indexes_) {
    if (index->attribute != name || index->element != owner.name()) continue;
    if (row != index->subElement.empty() || (!row && index->subElement != node.name())) continue;
    const std::size_t place =
        index->groups.groupOf(node.attribute(index->attribute.c_str()).value());
    const NodeSpan group = index->groups.rowsAt(place);
    if (!group.empty() && group.back() == owner) continue;
    if (!row && std::find(group.begin(), group.end(), owner) != group.end()) continue;
    if (group.empty() || !owner.next_sibling()) {
      index->groups.append(place, owner);
    } else {
      stale.push_back(index.get());
    }
  }
  dropIndexes(stale);
}

void clsGenXMLDocument::subRowAdded(pugi::xml_node row, pugi::xml_node subRow) {
  std::vector<const RowIndex*> stale;
  for (const auto& index : indexes_) {
    if (index->subElement != subRow.name() || index->element != row.name()) continue;
    const pugi::xml_attribute key = subRow.attribute(index->attribute.c_str());
    if (!key) continue;
    const std::size_t place = index->groups.groupOf(key.value());
    const NodeSpan group = index->groups.rowsAt(place);
    if (std::find(group.begin(), group.end(), row) != group.end()) continue;
    if (group.empty() || !row.next_sibling()) {
      index->groups.append(place, row);
    } else {
      stale.push_back(index.get());
    }
  }
  dropIndexes(stale);
}

// Drops the sub-row indexes that `subRow` of `row` feeds (those on
// `attribute` only, unless it is empty).
void clsGenXMLDocument::dropSubRowIndexes(pugi::xml_node row, pugi::xml_node subRow,
                                          std::string_view attribute) {
  std::vector<const RowIndex*> stale;
  for (const auto& index : indexes_) {
    if (index->element == row.name() && index->subElement == subRow.name() &&
        (attribute.empty() || index->attribute == attribute)) {
      stale.push_back(index.get());
    }
  }
  dropIndexes(stale);
}

void clsGenXMLDocument::dropIndexes(const std::vector<const RowIndex*>& stale) {
  for (const RowIndex* index : stale) {
    if (last_.index == index) last_ = {};
    indexes_.erase(std::remove_if(indexes_.begin(), indexes_.end(),
                                  [index](const auto& held) { return held.get() == index; }),
                   indexes_.end());
  }
}

void clsGenXMLDocument::noteChange(pugi::xml_node node) {
  const pugi::xml_node root = rootElement();
  pugi::xml_node row = node;
  while (row && row.parent() != root) row = row.parent();
  const std::string_view uid = row ? row.attribute(kUIDAttribute).value() : "";
  if (!root || uid.empty()) {
    changes_.makeWhole();
  } else {
    changes_.touch(uid);
  }
}

void clsGenXMLDocument::noteRemoval(pugi::xml_node row) {
  const std::string_view uid = row.attribute(kUIDAttribute).value();
  if (uid.empty()) {
    changes_.makeWhole();
  } else {
    changes_.removed(uid);
  }
}

void clsGenXMLDocument::announceReplacement() {
  const std::vector<Holder*> holders = holders_;
  for (Holder* holder : holders) holder->documentReplaced(*this);
  dropAllIndexes();
}

void clsGenXMLDocument::dropAllIndexes() {
  last_ = {};
  indexes_.clear();
}
