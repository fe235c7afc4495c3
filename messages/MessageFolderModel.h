#pragma once
// MessageFolderModel: the messages of one folder of the logged-in account
// (received, sent or history messages) as the rows of a table, in the order
// of one column, for a view that lays out only the rows it shows.
//
// Per message the model keeps its UID, when it arrived and the text of the
// sort column; the texts a row shows are read from the folder's collection
// when the row is shown (the rows shown last are kept). Filling costs one
// pass over the folder; following a changed message costs a look-up by UID
// and a binary search, however many messages the folder holds, and a new
// message that sorts after every other (the newest, by date) joins without
// moving the others. A view shifts its rows for each block of rows that
// comes or goes: the messages that one synchronize brings to one place (a
// burst of the newest) come as one block, adjacent deleted rows go as one,
// and many whose sort text changed move in one change of the layout.
//
// Order: by the sort column's text, compared as bytes (the date column's
// text is the time stamp); rows with equal texts in the order they arrived,
// which at a fill is the order of the folder. Descending reverses both, so
// that the messages of one second run newest first.
//
// data(any column, Qt::UserRole) is the row's key, the message's UID. A UID
// met twice in the folder is listed once, for its first row. The names and
// the preview are also their cells' tooltips (a narrow list cuts them).
//
// UI thread only. fill, synchronize and sort read the collection and raise
// its errors to the caller (the model stays consistent); data() ends them.
#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "TextList.h"

class clsGenObject;

class MessageFolderModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column : int { kFrom, kTo, kDate, kPriority, kStatus, kPreview, kColumnCount };

  explicit MessageFolderModel(QObject* parent = nullptr);

  // The record class of the folder listed (3 sent, 4 received, 5 history;
  // 0 before the first fill).
  int32_t folder() const { return folder_; }
  // Lists every message of the folder of class `classType` afresh.
  void fill(int32_t classType);
  // Follows changed messages of the folder: the deleted ones leave, the
  // updated ones are read again (added when not listed) and go to their
  // place. An updated UID that matches no message is passed over.
  void synchronize(const std::vector<std::string>& deleted,
                   const std::vector<std::string>& updated);
  // The row of the message `uid`, or -1.
  int rowOf(std::string_view uid) const;
  // The UID of the message at `row` (below rowCount()).
  std::string uidAt(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Orders the rows by `column`; persistent indexes (selection, current
  // row) follow their messages.
  void sort(int column, Qt::SortOrder order) override;

 private:
  using Texts = std::array<QString, kColumnCount>;
  struct Message {
    std::size_t arrival = 0;
    std::size_t keyBegin = 0;  // its sort text in keys_
    std::size_t keyLength = 0;
    bool listed = false;
  };

  // The text of `column` for `row`, the current row of `messages`.
  std::string columnText(clsGenObject& messages, pugi::xml_node row, int column) const;
  std::string_view keyOf(std::size_t place) const;
  void setKey(std::size_t place, std::string_view key);
  // Whether the message at `a` comes before the one at `b` in ascending order.
  bool before(std::size_t a, std::size_t b) const;
  // Where `place` stands in order_, or order_.size() when it is not listed.
  std::size_t positionOf(std::size_t place) const;
  // The row shown at `position` of order_ (with `count` rows) and back.
  int rowAt(std::size_t position, std::size_t count) const;
  std::size_t placeAt(int row) const;
  // Lists `places` (not listed, their sort texts set): those that join the
  // order at one place come as one block of rows.
  void insertRows(std::vector<std::size_t> places);
  // Takes the messages `uids` (those listed) off: adjacent rows go as one
  // block.
  void removeRows(const std::vector<std::string>& uids);
  // Puts a listed `place` whose sort text may have changed where it belongs.
  void moveToItsPlace(std::size_t place, std::string_view key);
  // Gives the listed places of `moved` their new sort texts and puts them
  // where they now belong (many in one change of the layout).
  void moveRows(std::vector<std::pair<std::size_t, std::string>> moved);
  // Runs `change` of the order as one change of the layout: persistent
  // indexes (selection, current row) follow their messages.
  void reorder(const std::function<void()>& change);
  void forgetKeys();
  const Texts& textsOf(std::size_t place) const;

  int32_t folder_ = 0;
  int sortColumn_ = kDate;
  Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
  TextList uids_;                   // a message's place is its UID's place here
  std::vector<Message> messages_;   // by place
  std::string keys_;                // the sort texts, one after another
  std::size_t unusedKeyChars_ = 0;  // of texts replaced or no longer listed
  std::vector<std::uint32_t> order_;  // listed places, ascending
  std::size_t nextArrival_ = 0;
  mutable QHash<std::size_t, Texts> shown_;
};
