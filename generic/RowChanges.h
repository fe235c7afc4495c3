#pragma once
// RowChanges: what changed in a document since it was last in step with its
// data file, in terms the data file's journal can record.
//
// A row is named by its "UID" attribute. A touched UID stands for a row that
// changed, was added, or went; a UID whose row was removed (moved to the
// end, renamed) is marked so, and its turn moves to the end. The journal
// finds the rows' order in the document itself. Anything that
// cannot be said of one named row (a row without UID, the root element's own
// attributes, a new tree) makes the changes whole: only a rewrite of the
// whole file expresses them.
//
// Holds only names, never node handles, so no removal can leave it dangling.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TextList.h"

class RowChanges {
 public:
  struct Touched {
    std::string uid;
    bool removed = false;
  };

  // The row named `uid` changed or was added.
  void touch(std::string_view uid);
  // The row named `uid` was removed, moved to the end or renamed.
  void removed(std::string_view uid);
  void makeWhole() { whole_ = true; }
  // Readies the look-up of `uid` by a touch soon after.
  void prefetch(std::string_view uid) const { uids_.prefetch(uid); }
  // The document is in step with its file again.
  void forget();
  // Nothing changed since the file was last in step.
  bool none() const { return !whole_ && uids_.empty(); }
  bool whole() const { return whole_; }
  bool anyRow() const { return !uids_.empty(); }
  // The touched rows in turn order.
  std::vector<Touched> inTurn() const;
  // Only the named rows are in step now (their records reached the journal);
  // the whole mark stays.
  void forgetRows();

 private:
  struct Entry {
    std::uint64_t turn = 0;
    bool removed = false;
  };
  // The entry of `uid`, made (taking the next turn) when it has none.
  Entry& entryOf(std::string_view uid);

  TextList uids_;
  std::vector<Entry> entries_;  // beside uids_
  // The row touched last: it is usually touched again at once (its sub
  // rows, its fields) and is then known without a look-up.
  std::string lastTouched_;
  std::uint64_t nextTurn_ = 0;
  bool whole_ = false;
};
