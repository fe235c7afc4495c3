#pragma once
// clsGenVirtualXMLCursor: a position over one selection (a list of element
// handles) with a current node and two end flags. Used only by clsGenObject,
// which keeps the handles valid: before a node of the list is freed the
// collection calls forgetNodes, and the node's entry becomes empty. An empty
// entry still counts in Count and keeps every position, relative moves step
// over it, and MoveTo or GetNodeAt onto it give no node.
//
// A new cursor has no list, no current node, position -1, BOL and EOL False.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "clsGenXMLDocument.h"

// Direction codes of clsGenVirtualXMLCursor::Move.
enum XMLCursorMove : int32_t {
  MoveFirst = 0,
  MoveLast = 1,
  MoveNext = 2,
  MovePrevious = 3,
  MoveTo = 4,
};

class clsGenVirtualXMLCursor {
 public:
  // True when a list is attached.
  bool NodesSelected() const { return list_.has_value(); }
  // Entries of the attached list; 0 without one.
  int32_t Count() const;
  pugi::xml_node Current() const { return current_; }
  bool BOL() const { return bol_; }
  bool EOL() const { return eol_; }
  // Index of the first entry whose attribute `attributeName` equals `value`
  // (case-sensitive; a missing attribute never matches); -1 when none does
  // or no list is attached.
  int32_t CurrentPos(const std::string& attributeName, std::string_view value) const;

  // Detaches the list and drops the current node; BOL and EOL become True and
  // the position stays. CloseCursor does the same.
  void Reset();
  void CloseCursor();

  // Moves by the move table and returns the new current node. `position` is
  // read by MoveTo only. Raises 91 without an attached list; MoveTo outside
  // 0..Count-1 shows "Node Position out of range" and leaves no current node.
  pugi::xml_node Move(XMLCursorMove direction, int32_t position);
  // Makes entry min(position, Count-1) current (none for a negative position)
  // without changing position or flags, except that a list without nodes sets
  // both flags. Raises 91 without an attached list.
  pugi::xml_node GetNodeAt(int32_t position);
  // Attaches `nodes`: position 0, BOL True, EOL True only when empty, first
  // node current. Returns the current node.
  pugi::xml_node SetNodes(NodeList nodes);
  // Makes `node` current; list, position and flags stay.
  pugi::xml_node SetCurrentNode(pugi::xml_node node);

  // Empties every entry (and the current node) that is one of `removed`.
  void forgetNodes(const NodeList& removed);
  // Empties every entry (and the current node) lying in the tree of
  // `documentNode`.
  void forgetNodesOf(pugi::xml_node documentNode);

 private:
  int32_t nextLive(int32_t from, int step) const;
  bool endsOnEmptyList();
  pugi::xml_node moveOnList(XMLCursorMove direction, int32_t position);
  void settleAt(int32_t index);

  std::optional<NodeList> list_;
  pugi::xml_node current_;
  bool eol_ = false;
  bool bol_ = false;
  int32_t position_ = -1;
  // Where each node of the list sits, built on the first forgetNodes call.
  std::unordered_map<pugi::xml_node_struct*, std::size_t> where_;
};
