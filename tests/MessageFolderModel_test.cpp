// The folder list's rows followed through arrivals, changes and deletions,
// sorted by every column both ways: after every step the rows are those of
// the folder, in the order a person expects (by the column's text, messages
// of equal text in the order they arrived, all reversed when descending),
// each found at its row by its UID, showing its own texts, and the
// selection holds what it held less what was deleted.
#include <gtest/gtest.h>

#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "MessageFolderModel.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "clsGenObject.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

using namespace modGlobalVariables;

namespace {

constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kCarl = "CA410000-0000-0000-0000-000000000002";
constexpr const char* kDora = "D0A00000-0000-0000-0000-000000000003";

// What a received message holds, and so what its row must show.
struct Sent {
  const char* sender;
  const char* status;
  const char* time;
  const char* content;
  const char* priority;
  bool toBobToo;  // a second recipient
};

const std::map<std::string, std::string> kNames = {
    {kBob, "Smith, Bob"}, {kCarl, "Adams, Carl"}, {kDora, "Young, Dora"}};
const std::map<std::string, std::string> kStatuses = {
    {"60", "Not opened"}, {"100", "Opened"}, {"220", "Answered"}};
const std::map<std::string, std::string> kPriorities = {{"1", "High"}, {"2", "Normal"}, {"3", "Low"}};

class FolderRows : public ::testing::Test {
 protected:
  void SetUp() override {
    ann = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    CurrentLocalUserUID = ann;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true,
                                                "", "");
    PoolLoan users(User);
    for (const auto& [uid, last, first] :
         {std::tuple{kBob, "Smith", "Bob"}, {kCarl, "Adams", "Carl"}, {kDora, "Young", "Dora"}}) {
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3}, {uid, "1", last, first});
      users->AddCurrentRow();
    }
  }
  void TearDown() override { modLocalUserFunctions::LocalUserOptions = {}; }

  // Stores `message` among the received messages, under `uid` when given
  // (its recipients only when no row holds that UID yet).
  std::string receive(const Sent& message, const std::string& uid = {}) {
    PoolLoan received(MessRec);
    const std::string made = received->CreateNewRow(uid.empty(), 0);
    const std::string key = uid.empty() ? made : uid;
    if (!uid.empty()) received->SetField(0, uid);
    received->SetFields({1, 2, 3, 4, 5, 6, 8}, {message.sender, message.status, message.time,
                                                message.content, message.priority, "3", "1"});
    const bool twin = held.count(key) > 0;
    received->AddCurrentRow();
    if (!twin) {
      received->AddSubRow(0, key, 0, ann);
      if (message.toBobToo) received->AddSubRow(0, key, 0, kBob);
    }
    held[key] = message;
    return key;
  }
  void setStatus(const std::string& uid, const char* status) {
    PoolLoan received(MessRec);
    received->SetRowFieldByKey(0, uid, 2, status);
    held[uid].status = status;
  }
  void remove(const std::string& uid) {
    PoolLoan received(MessRec);
    received->Delete(false, 0, uid, false);
    held.erase(uid);
  }

  // The text the row of `uid` must show in `column`.
  std::string expectedText(const std::string& uid, int column) const {
    const Sent& message = held.at(uid);
    switch (column) {
      case MessageFolderModel::kFrom: return kNames.at(message.sender);
      case MessageFolderModel::kTo: return message.toBobToo ? "Lee, Ann; Smith, Bob" : "Lee, Ann";
      case MessageFolderModel::kDate: return message.time;
      case MessageFolderModel::kPriority: return kPriorities.at(message.priority);
      case MessageFolderModel::kStatus: return kStatuses.at(message.status);
      default: return message.content;
    }
  }

  // The folder's messages in arrival order, sorted as a person expects.
  std::vector<std::string> expectedOrder(const std::vector<std::string>& arrived, int column,
                                         Qt::SortOrder order) const {
    std::vector<std::string> rows = arrived;
    std::stable_sort(rows.begin(), rows.end(), [&](const std::string& a, const std::string& b) {
      return expectedText(a, column) < expectedText(b, column);
    });
    if (order == Qt::DescendingOrder) std::reverse(rows.begin(), rows.end());
    return rows;
  }

  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
  std::string ann;
  std::map<std::string, Sent> held;
};

// The rows the model shows, by their keys, and each row's texts checked.
std::vector<std::string> shownRows(const MessageFolderModel& model) {
  std::vector<std::string> rows;
  for (int row = 0; row < model.rowCount(); ++row) {
    rows.push_back(model.index(row, 0).data(Qt::UserRole).toString().toStdString());
  }
  return rows;
}

std::set<std::string> selectedKeys(const QItemSelectionModel& selection) {
  std::set<std::string> keys;
  for (const QModelIndex& index : selection.selectedRows()) {
    keys.insert(index.data(Qt::UserRole).toString().toStdString());
  }
  return keys;
}

const Sent kFirst[] = {
    {kBob, "60", "2026-03-02 08:15:00", "Lunch?", "2", false},
    {kCarl, "100", "2026-03-02 08:15:00", "Budget figures", "1", true},
    {kDora, "220", "2026-03-01 17:40:12", "Lunch?", "3", false},
    {kBob, "100", "2026-03-02 09:00:59", "Agenda", "2", true},
    {kCarl, "60", "2026-02-28 23:59:59", "Zebra crossing", "2", false},
    {kDora, "60", "2026-03-02 08:15:00", "Agenda", "1", false},
    {kBob, "220", "2026-03-02 09:01:00", "Minutes", "3", false},
    {kCarl, "100", "2026-03-01 17:40:12", "Budget figures", "2", false},
    {kDora, "100", "2026-03-02 10:30:00", "Holiday", "2", true},
};

}  // namespace

TEST_F(FolderRows, EveryStepLeavesTheRowsInTheirOrderWithTheirTextsAndTheSelection) {
  std::vector<std::string> firstUIDs;
  for (const Sent& message : kFirst) firstUIDs.push_back(receive(message));
  const std::map<std::string, Sent> firstHeld = held;

  for (int column = 0; column < MessageFolderModel::kColumnCount; ++column) {
    for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
      SCOPED_TRACE("sorted by column " + std::to_string(column) +
                   (order == Qt::AscendingOrder ? " ascending" : " descending"));
      // Every sort starts from the first nine messages, in their state.
      {
        PoolLoan received(MessRec);
        received->DeleteAll(false);
      }
      held.clear();
      for (std::size_t i = 0; i < firstUIDs.size(); ++i) receive(firstHeld.at(firstUIDs[i]), firstUIDs[i]);
      std::vector<std::string> arrived = firstUIDs;
      std::set<std::string> selected;

      MessageFolderModel model;
      model.sort(column, order);
      model.fill(MessRec);
      QItemSelectionModel selection(&model);

      // Each row as a view follows it, through the model's notices only.
      std::map<std::string, QPersistentModelIndex> followed;
      const auto check = [&](const std::string& step) {
        SCOPED_TRACE("after " + step);
        for (const auto& [uid, index] : followed) {
          const bool listed = std::find(arrived.begin(), arrived.end(), uid) != arrived.end();
          EXPECT_EQ(index.isValid() ? index.data(Qt::UserRole).toString().toStdString() : "",
                    listed ? uid : "")
              << "the row followed for " << uid;
        }
        followed.clear();
        for (int row = 0; row < model.rowCount(); ++row) followed[model.uidAt(row)] = model.index(row, 0);
        const std::vector<std::string> shown = shownRows(model);
        EXPECT_EQ(shown, expectedOrder(arrived, column, order));
        for (int row = 0; row < static_cast<int>(shown.size()); ++row) {
          EXPECT_EQ(model.rowOf(shown[static_cast<std::size_t>(row)]), row);
          EXPECT_EQ(model.uidAt(row), shown[static_cast<std::size_t>(row)]);
          for (int each = 0; each < MessageFolderModel::kColumnCount; ++each) {
            const QModelIndex index = model.index(row, each);
            EXPECT_EQ(index.data().toString().toStdString(),
                      expectedText(shown[static_cast<std::size_t>(row)], each))
                << "row " << row << " column " << each;
            // The texts a narrow list cuts show whole on hover.
            const bool cutFirst = each == MessageFolderModel::kFrom ||
                                  each == MessageFolderModel::kTo ||
                                  each == MessageFolderModel::kPreview;
            EXPECT_EQ(index.data(Qt::ToolTipRole), cutFirst ? index.data() : QVariant());
          }
        }
        EXPECT_EQ(selectedKeys(selection), selected);
      };
      check("the fill");
      for (const int row : {0, 4, 8}) {
        selection.select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selected.insert(model.uidAt(row));
      }
      check("selecting three rows");

      const auto arrive = [&](const Sent& message) {
        const std::string uid = receive(message);
        arrived.push_back(uid);
        model.synchronize({}, {uid});
        return uid;
      };
      arrive({kCarl, "60", "2026-03-02 11:00:00", "Newest", "2", false});
      check("an arrival newer than all");
      arrive({kBob, "60", "2026-03-02 08:15:00", "Lunch?", "2", false});
      check("an arrival within a second that three others share");
      arrive({kDora, "60", "2026-02-01 07:00:00", "Oldest", "3", true});
      check("an arrival older than all");

      const std::string opened = *selected.begin();
      setStatus(opened, "100");
      model.synchronize({}, {opened});
      check("a selected message opened");
      const std::string answered = arrived[4];
      setStatus(answered, "220");
      model.synchronize({}, {answered});
      check("another answered");

      // The first row, one in the middle, the last.
      for (const int place : {0, 1, 2}) {
        const int row = place * (model.rowCount() - 1) / 2;
        const std::string uid = model.uidAt(row);
        remove(uid);
        arrived.erase(std::find(arrived.begin(), arrived.end(), uid));
        selected.erase(uid);
        model.synchronize({uid}, {});
        check("row " + std::to_string(row) + " deleted");
      }

      // A change announced for a message no longer there is passed over;
      // its UID coming back is a new arrival.
      const std::string gone = model.uidAt(1);
      remove(gone);
      arrived.erase(std::find(arrived.begin(), arrived.end(), gone));
      selected.erase(gone);
      model.synchronize({}, {gone});
      EXPECT_EQ(model.rowOf(gone), 1);  // not yet told it went
      model.synchronize({gone}, {});
      check("a message updated after it went, then deleted");
      receive({kBob, "220", "2026-03-02 08:15:00", "Back again", "1", false}, gone);
      arrived.push_back(gone);
      model.synchronize({}, {gone});
      check("its UID coming back");

      // Changes that come together, as the display's tick hands them over:
      // a view shifts its rows once for each block of rows that comes or
      // goes together, however many rows the block holds.
      QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
      QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
      const auto blocks = [](const std::vector<std::string>& rows, const std::set<std::string>& of) {
        int count = 0;
        for (std::size_t row = 0; row < rows.size(); ++row) {
          count += of.count(rows[row]) > 0 && (row == 0 || of.count(rows[row - 1]) == 0);
        }
        return count;
      };
      std::set<std::string> burst;
      std::vector<std::string> burstInArrival;
      for (int i = 0; i < 24; ++i) {
        const char* time = i % 3 == 0 ? "2026-02-01 06:00:00" : "2026-03-04 12:00:00";
        const std::string uid = receive({i % 2 ? kBob : kDora, i % 2 ? "60" : "100", time, "Burst",
                                         i % 4 ? "2" : "1", false});
        burst.insert(uid);
        burstInArrival.push_back(uid);
        arrived.push_back(uid);
      }
      model.synchronize({}, burstInArrival);
      check("a burst of arrivals at once");
      EXPECT_EQ(inserted.size(), blocks(shownRows(model), burst));
      selection.select(model.index(model.rowOf(*burst.begin()), 0),
                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
      selected.insert(*burst.begin());
      for (const std::string& uid : burst) setStatus(uid, "220");
      model.synchronize({}, burstInArrival);
      check("the burst answered at once");

      const std::vector<std::string> before = shownRows(model);
      const std::size_t last = before.size() - 1;
      std::set<std::string> deleted;
      for (const std::size_t row : {std::size_t{0}, last / 2, last / 2 + 1, last}) {
        deleted.insert(before[row]);
      }
      for (const std::string& uid : deleted) {
        remove(uid);
        arrived.erase(std::find(arrived.begin(), arrived.end(), uid));
        selected.erase(uid);
      }
      model.synchronize(std::vector<std::string>(deleted.begin(), deleted.end()), {});
      check("the first, two adjacent and the last deleted at once");
      EXPECT_EQ(removed.size(), blocks(before, deleted));

      // A second row under a listed UID is not listed again.
      const Sent copy = held.at(arrived[0]);
      receive({kDora, "60", "2026-03-03 00:00:00", "Twin", "2", false}, arrived[0]);
      held[arrived[0]] = copy;
      model.synchronize({}, {arrived[0]});
      check("a second row under a listed UID");
    }
  }
}

// Sorting again by another column keeps the selected messages selected.
TEST_F(FolderRows, SortingByEachColumnKeepsTheSelectedMessages) {
  std::vector<std::string> arrived;
  for (const Sent& message : kFirst) arrived.push_back(receive(message));
  MessageFolderModel model;
  model.fill(MessRec);
  QItemSelectionModel selection(&model);
  std::set<std::string> selected;
  for (const int row : {1, 2, 7}) {
    selection.select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selected.insert(model.uidAt(row));
  }
  for (int column = 0; column < MessageFolderModel::kColumnCount; ++column) {
    for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
      SCOPED_TRACE(column);
      model.sort(column, order);
      EXPECT_EQ(shownRows(model), expectedOrder(arrived, column, order));
      EXPECT_EQ(selectedKeys(selection), selected);
    }
  }
}
