#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStyle>
#include <QTableView>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>
#include <algorithm>
#include <functional>

#include "ModalDriver.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "TestNetns.h"
#include "TvrError.h"
#include "frmInputIP.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsUI.h"

using namespace modGenFunctionsControl;

namespace {

struct KeyCase {
  const char* text;
  int selectionStart;  // -1: caret at the end, no selection
  int selectionLength;
  char typed;
  bool wildcards;
  int kept;
  const char* textAfter;
};

// The key filter of an IP part box.
const KeyCase kKeyCases[] = {
    {"25", -1, 0, '5', false, '5', "25"},   // 255 passes
    {"25", -1, 0, '6', false, 0, "25"},     // 256 is too large
    {"255", 0, 3, '9', false, '9', "255"},  // replaces the whole selection
    {"1", 0, 0, '3', false, '3', "1"},      // 31 at the start
    {"", -1, 0, '7', false, '7', ""},      {"12", -1, 0, 8, false, 8, "12"},  // Backspace
    {"12", -1, 0, 'a', false, 0, "12"},    {"12", -1, 0, '.', false, 0, "12"},
    {"12", -1, 0, '*', false, 0, "12"},    {"12", -1, 0, '*', true, 0, "*"},
    {"*", -1, 0, '1', true, 0, "*"},  // no digit beside a "*"
};

QTreeWidget* listOf(const std::vector<std::string>& keys) {
  auto* list = new QTreeWidget;
  list->setColumnCount(1);
  for (const std::string& key : keys) {
    auto* row = new QTreeWidgetItem(list, {QString::fromStdString(key)});
    row->setData(0, Qt::UserRole, QString::fromStdString(key));
  }
  return list;
}

std::vector<std::string> keysOf(QTreeWidget& list) {
  std::vector<std::string> keys;
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    keys.push_back(list.topLevelItem(i)->data(0, Qt::UserRole).toString().toStdString());
  }
  return keys;
}

}  // namespace

TEST(modGenFunctionsControl, PartBoxKeyFilter) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(std::string(c.text) + " + " + c.typed);
    QLineEdit box(c.text);
    if (c.selectionStart >= 0) {
      box.setSelection(c.selectionStart, c.selectionLength);
    } else {
      box.end(false);
    }
    EXPECT_EQ(TextBoxKeyPressManager(&box, c.typed, c.wildcards), c.kept);
    EXPECT_EQ(box.text().toStdString(), c.textAfter);
  }
}

TEST(modGenFunctionsControl, PartBoxesAndListTexts) {
  QLineEdit a, b, c, d;
  const IPPartBoxes boxes{&a, &b, &c, &d};
  EXPECT_FALSE(IsIPEnteredInTexboxes(boxes));
  FillTextBoxesFromIP(boxes, "10.0.*.5");
  EXPECT_EQ(GetEnteredIPFromTextBoxes(boxes), "10.0.*.5");
  EXPECT_THROW(FillTextBoxesFromIP(boxes, "10.0.5"), TvrError);
  ClearArrOfTextBoxes(boxes);
  EXPECT_EQ(GetEnteredIPFromTextBoxes(boxes), "...");

  QListWidget list;
  ListBoxFillFromStringArray(&list, "a||||b", false);
  ASSERT_EQ(list.count(), 3);
  EXPECT_EQ(list.item(1)->text(), "");
  EXPECT_EQ(ListBoxGetAllValueInAnString(&list), "a||||b");
  list.clear();
  list.addItems({"", "b"});
  EXPECT_EQ(ListBoxGetAllValueInAnString(&list), "b");  // a leading empty entry vanishes
  ListBoxFillFromStringArray(&list, "", true);
  EXPECT_EQ(list.count(), 0);
  QComboBox combo;
  combo.addItems({"x", "y", "z"});
  EXPECT_EQ(ListGetAllValuesInString(&combo, 1), "y||z");
}

TEST(modGenFunctionsControl, ListViewRowsColumnsAndSorting) {
  std::unique_ptr<QTreeWidget> list(listOf({"k1", "k2", "k3"}));
  // A key that is not listed is passed over; the others go.
  ListViewRemoveItems(list.get(), {"k1", "gone", "k3"});
  EXPECT_EQ(keysOf(*list), std::vector<std::string>{"k2"});

  list.reset(listOf({"b", "a", "c"}));
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  EXPECT_FALSE(ListViewGetAllSelectedKeys(list.get(), false, false).has_value());
  EXPECT_EQ(*ListViewGetAllSelectedKeys(list.get(), false, true),
            (std::vector<std::string>{"b", "a", "c"}));
  list->topLevelItem(2)->setSelected(true);
  list->setCurrentItem(list->topLevelItem(2));
  EXPECT_EQ(ListViewCountSelectedItems(list.get()), 1);
  EXPECT_EQ(*ListViewGetAllSelectedKeys(list.get(), true, false), std::vector<std::string>{"c"});
  EXPECT_EQ(keysOf(*list), (std::vector<std::string>{"b", "a"}));

  ListViewSortColumn(list.get(), 0);  // first click: descending
  EXPECT_EQ(keysOf(*list), (std::vector<std::string>{"b", "a"}));
  ListViewSortColumn(list.get(), 0);  // second: ascending
  EXPECT_EQ(keysOf(*list), (std::vector<std::string>{"a", "b"}));

  ListViewSelectAllItems(list.get(), true);
  EXPECT_EQ(ListViewCountSelectedItems(list.get()), 2);
  ListViewRemoveSelectedItems(list.get());
  EXPECT_EQ(list->topLevelItemCount(), 0);

  ListViewAddColumn(list.get(), -1, "UserName", "User Name", 2600, 0, 50000, true, true);
  ListViewAddColumn(list.get(), -1, "Plain", "Plain", 1500, 1, -1, false, true);
  ListViewAddColumn(list.get(), 0, "Text", "Text", 1500, 2, "tag", false, true);
  ASSERT_EQ(list->columnCount(), 3);
  const QTreeWidgetItem* header = list->headerItem();
  EXPECT_EQ(header->text(0), "Text");
  EXPECT_EQ(header->data(0, Qt::UserRole).toString(), "tag");
  EXPECT_EQ(header->data(1, Qt::UserRole).toInt(), 50000 | kColumnFlag);
  EXPECT_EQ(header->data(1, Qt::UserRole + 1).toString(), "UserName");
  EXPECT_EQ(list->columnWidth(1), 2600 / kTwipsPerPixel);
  EXPECT_EQ(header->data(2, Qt::UserRole).toInt(), -1);
}

// Finding a row by key follows every way a list changes after the first look-up.
TEST(modGenFunctionsControl, ListViewFindsRowsAfterEveryChange) {
  std::unique_ptr<QTreeWidget> list(listOf({"b", "a", "c"}));
  const auto found = [&](const std::string& key) {
    QTreeWidgetItem* item = ListViewFindItem(list.get(), key);
    return item == nullptr ? std::string("-") : item->data(0, Qt::UserRole).toString().toStdString();
  };
  EXPECT_EQ(found("a"), "a");
  list->sortItems(0, Qt::AscendingOrder);
  delete ListViewFindItem(list.get(), "b");
  EXPECT_EQ(found("b"), "-");
  auto* added = new QTreeWidgetItem(list.get());  // keyed after it was listed
  added->setData(0, Qt::UserRole, "d");
  auto* inserted = new QTreeWidgetItem();  // keyed before it was listed
  inserted->setData(0, Qt::UserRole, "e");
  list->insertTopLevelItem(0, inserted);
  EXPECT_EQ(ListViewFindItem(list.get(), "d"), added);
  EXPECT_EQ(ListViewFindItem(list.get(), "e"), inserted);
  added->setData(0, Qt::UserRole, "f");
  EXPECT_EQ(found("d"), "-");
  EXPECT_EQ(ListViewFindItem(list.get(), "f"), added);
  delete list->takeTopLevelItem(list->indexOfTopLevelItem(added));
  EXPECT_EQ(found("f"), "-");
  // Two rows with one key: either is found while one of them is listed.
  auto* twin = new QTreeWidgetItem(list.get());
  twin->setData(0, Qt::UserRole, "a");
  delete ListViewFindItem(list.get(), "a");
  EXPECT_EQ(found("a"), "a");
  list->clear();
  EXPECT_EQ(found("c"), "-");
  list.reset(listOf({"g"}));
  EXPECT_EQ(found("g"), "g");
}

// A list's columns at every visible width, their rows shown from the start
// or arriving later: never narrower than caption and rows need, as wide as
// set while the width allows, the last one filling the rest, and a column
// the person dragged keeps his width while the width allows.
TEST(modGenFunctionsControl, ListViewColumnsFitTheirRowsAtEveryWidth) {
  const QStringList captions = {"Name", "Address", "Computer"};
  const QStringList rowTexts = {"Whitfield-Ross, Annabelle", "192.168.100.200", "pc-7"};
  for (const bool rowsLater : {false, true}) {
    SCOPED_TRACE(rowsLater ? "rows arriving after the list is shown" : "rows shown from the start");
    QTreeWidget list;
    // Its visible width changes only when the list is resized.
    list.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list.setColumnCount(3);
    list.setHeaderLabels(captions);
    std::vector<int> chosen = {120, 80, 100};
    for (int column = 0; column < 3; ++column) list.setColumnWidth(column, chosen[column]);
    ListViewFitColumnsToWidth(&list);
    const auto addRows = [&] {
      new QTreeWidgetItem(&list, {"Lee, Ann", "10.0.0.7", "pc-1"});
      new QTreeWidgetItem(&list, rowTexts);
    };
    if (!rowsLater) addRows();
    list.show();
    if (rowsLater) {
      QApplication::processEvents();
      addRows();
    }
    const auto needs = [&] {
      std::vector<int> need;
      for (int column = 0; column < 3; ++column) {
        need.push_back(std::max(list.header()->sectionSizeHint(column),
                                static_cast<QAbstractItemView&>(list).sizeHintForColumn(column)));
      }
      return need;
    };
    const auto check = [&](const std::string& step) {
      SCOPED_TRACE(step + ", " + std::to_string(list.viewport()->width()) + " pixels");
      QApplication::processEvents();
      const std::vector<int> need = needs();
      const int room = list.viewport()->width();
      int total = 0, wanted = 0, least = 0;
      for (int column = 0; column < 3; ++column) {
        const int width = list.header()->sectionSize(column);
        EXPECT_GE(width, need[column]) << captions[column].toStdString();
        total += width;
        wanted += std::max(chosen[column], need[column]);
        least += need[column];
      }
      EXPECT_EQ(total, std::max(room, least));
      if (wanted <= room) {
        for (int column = 0; column < 2; ++column) {
          EXPECT_EQ(list.header()->sectionSize(column), std::max(chosen[column], need[column]))
              << captions[column].toStdString();
        }
      }
    };
    const int frame = list.width() - list.viewport()->width();
    for (int room = 150; room <= 520; room += 7) {
      list.resize(room + frame, 200);
      check("resized");
    }
    // The person widens the address; it keeps that width while there is room.
    list.resize(600 + frame, 200);
    list.header()->resizeSection(1, 170);
    chosen[1] = 170;
    check("address dragged wider");
    for (int room = 600; room >= 300; room -= 50) {
      list.resize(room + frame, 200);
      check("narrowed after the drag");
    }
    new QTreeWidgetItem(&list, {"Ng, Bo", "10.1.1.1", "a-computer-with-a-long-name"});
    check("a wider computer name arrived");
    // Only the rows in view count, and scrolling brings others into view.
    for (int row = 0; row < 60; ++row) new QTreeWidgetItem(&list, {"Oz, Al", "10.0.0.9", "pc"});
    new QTreeWidgetItem(&list, {"Far, Below", "10.10.10.10", "a-far-computer-whose-name-is-longer-than-any-other"});
    list.scrollToTop();
    check("the widest row out of view");
    list.scrollToBottom();
    check("scrolled to the widest row");
  }
}

namespace {

// A table of `rows` rows keyed "r<n>" in column 0, with `columns` columns.
std::unique_ptr<QStandardItemModel> keyedRows(int rows, int columns = 1) {
  auto model = std::make_unique<QStandardItemModel>(rows, columns);
  for (int row = 0; row < rows; ++row) {
    model->setData(model->index(row, 0), QString("r%1").arg(row, 3, 10, QChar('0')));
  }
  return model;
}

QString keyAt(const QTableView& list, int row) { return list.model()->index(row, 0).data().toString(); }

// The rows of the header's sort mark: how many pixels each row of it has,
// from its top, found as what changes when the mark is shown.
std::vector<int> sortMarkRows(QHeaderView* header) {
  header->setSortIndicatorShown(false);
  const QImage bare = header->grab().toImage();
  header->setSortIndicatorShown(true);
  const QImage marked = header->grab().toImage();
  std::vector<int> rows;
  for (int y = 0; y < marked.height(); ++y) {
    int changed = 0;
    for (int x = 0; x < marked.width(); ++x) changed += marked.pixel(x, y) != bare.pixel(x, y);
    if (changed > 0) rows.push_back(changed);
  }
  return rows;
}

}  // namespace

// The arrow's wide end lies where the list's larger values are: at the top
// of an arrow pointing down, for a list that runs from the largest down.
TEST(modGenFunctionsControl, TheSortArrowPointsTheWayTheListRuns) {
  const std::unique_ptr<QStandardItemModel> model = keyedRows(3, 2);
  QTableView list;
  list.setModel(model.get());
  QHeaderView* header = ListViewNewSortHeader(&list);
  list.setHorizontalHeader(header);
  list.resize(300, 200);
  list.show();
  for (const Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
    SCOPED_TRACE(order == Qt::DescendingOrder ? "descending" : "ascending");
    header->setSortIndicator(0, order);
    const std::vector<int> mark = sortMarkRows(header);
    ASSERT_GE(mark.size(), 2u);
    if (order == Qt::DescendingOrder) EXPECT_GT(mark.front(), mark.back());
    else EXPECT_LT(mark.front(), mark.back());
  }
  EXPECT_TRUE(header->sectionsClickable());
}

// Rows come and go above, in and below the rows in view, and the list is
// sorted: the first row in view that stays stays at the top, and the
// selected row stays in view.
TEST(modGenFunctionsControl, AListKeepsItsPlaceWhileItsRowsChange) {
  struct Change {
    const char* name;
    std::function<void(QStandardItemModel&)> apply;
  };
  const auto insertAt = [](int row, int count) {
    return [row, count](QStandardItemModel& model) {
      for (int n = 0; n < count; ++n) {
        model.insertRow(row, new QStandardItem(QString("new %1 %2").arg(row).arg(n)));
      }
    };
  };
  const auto removeAt = [](int row, int count) {
    return [row, count](QStandardItemModel& model) { model.removeRows(row, count); };
  };
  // The list shows rows 40 to 49 or so, with row 44 selected.
  const Change changes[] = {
      {"one row inserted at the start", insertAt(0, 1)},
      {"fifty inserted just above the top", insertAt(39, 50)},
      {"one inserted at the top", insertAt(40, 1)},
      {"one inserted in view", insertAt(43, 1)},
      {"one inserted below the view", insertAt(80, 1)},
      {"one appended", insertAt(100, 1)},
      {"the first row removed", removeAt(0, 1)},
      {"ten removed above the top", removeAt(30, 10)},
      {"the top row removed", removeAt(40, 1)},
      {"the top three removed", removeAt(40, 3)},
      {"the selected row removed", removeAt(44, 1)},
      {"one removed below the view", removeAt(90, 1)},
      {"sorted the other way", [](QStandardItemModel& model) { model.sort(0, Qt::DescendingOrder); }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    const std::unique_ptr<QStandardItemModel> model = keyedRows(100);
    QTableView list;
    list.setModel(model.get());
    list.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list.verticalHeader()->setDefaultSectionSize(20);
    list.resize(200, 230);
    list.show();
    ListViewKeepPlace(&list);
    list.scrollTo(model->index(40, 0), QAbstractItemView::PositionAtTop);
    list.setCurrentIndex(model->index(44, 0));
    ASSERT_EQ(list.rowAt(0), 40);
    std::vector<QString> inView;
    for (int row = 40; list.rowViewportPosition(row) < list.viewport()->height(); ++row) {
      inView.push_back(keyAt(list, row));
    }
    const QString selected = keyAt(list, 44);

    change.apply(*model);
    QString expectedTop;
    for (const QString& key : inView) {
      if (!model->findItems(key).isEmpty()) {
        expectedTop = key;
        break;
      }
    }
    const QList<QStandardItem*> stillThere = model->findItems(selected);
    const int topRow = model->findItems(expectedTop).front()->row();
    // The selected row comes first: when it would not be in view under
    // that top, it is brought into view instead.
    const int selectedBelowTop =
        stillThere.isEmpty() ? 0 : stillThere.front()->row() - topRow;
    if (selectedBelowTop >= 0 && selectedBelowTop < static_cast<int>(inView.size()) - 1) {
      EXPECT_EQ(keyAt(list, list.rowAt(0)), expectedTop);
    }
    if (!stillThere.isEmpty()) {
      const QRect shown = list.visualRect(stillThere.front()->index());
      EXPECT_TRUE(list.viewport()->rect().contains(shown)) << "the selected row is out of view";
    }
  }
}

// Column sizes at every width of the list, from wide to narrow: the fixed
// columns get what their caption, rows and samples need; the elastic ones
// share what is left, the widest giving up room first, none below its
// caption; room to spare goes to the last column.
TEST(modGenFunctionsControl, ColumnsFitTheirContentAtEveryWidth) {
  auto model = std::make_unique<QStandardItemModel>(3, 4);
  model->setHorizontalHeaderLabels({"Name", "Date", "Status", "Message"});
  const QStringList rows[] = {
      {"Whitfield, Annabelle", "2026-12-07 13:27:08", "Opened", "Are you coming to the meeting?"},
      {"Lee, Ann", "2026-12-07 13:27:09", "Opened", "Yes"},
      {"Martin, Alice", "2026-12-08 02:41:00", "Not opened", "The figures for the budget, as asked"}};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column) model->setData(model->index(row, column), rows[row][column]);
  }
  const QString wideStatus = "Automatic reply";  // on no row in view
  QTableView list;
  list.setModel(model.get());
  list.setWordWrap(false);
  list.verticalHeader()->hide();
  for (int column = 0; column < 4; ++column) {
    list.horizontalHeader()->resizeSection(column, list.horizontalHeader()->minimumSectionSize());
  }
  // As a long list has it: its rows in view measured when it is shown,
  // resized, reset or sorted, not at every row that comes.
  ListViewFitColumnsToWidth(&list, {{true, {}}, {false, {}}, {false, {"Opened", wideStatus}}, {true, {}}},
                            false);
  list.resize(900, 200);
  list.show();
  QHeaderView* header = list.horizontalHeader();
  const bool elastic[] = {true, false, false, true};
  const int margin = list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
  for (int width = 900; width >= 150; width -= 7) {
    SCOPED_TRACE("list " + std::to_string(width) + " pixels wide");
    list.resize(width, 200);
    QApplication::processEvents();
    const int room = list.viewport()->width();
    int needed = 0;
    int floors = 0;
    std::vector<int> need(4);
    std::vector<int> floor(4);
    for (int column = 0; column < 4; ++column) {
      need[column] = std::max(header->sectionSizeHint(column),
                              static_cast<const QAbstractItemView&>(list).sizeHintForColumn(column));
      floor[column] = elastic[column] ? std::min(need[column], header->sectionSizeHint(column)) : need[column];
      needed += need[column];
      floors += floor[column];
    }
    // A sample is drawn as a row's text is, with a pixel for a grid line.
    const int sampleNeed = list.fontMetrics().horizontalAdvance(wideStatus) + 2 * margin + 1;
    needed += std::max(need[2], sampleNeed) - need[2];
    floors += std::max(need[2], sampleNeed) - need[2];
    need[2] = floor[2] = std::max(need[2], sampleNeed);
    for (int column = 0; column < 4; ++column) {
      SCOPED_TRACE("column " + std::to_string(column));
      const int size = header->sectionSize(column);
      if (!elastic[column]) {
        EXPECT_EQ(size, need[column]);
      }
      if (needed <= room) {
        EXPECT_EQ(size, need[column] + (column == 3 ? room - needed : 0));
        continue;
      }
      EXPECT_LE(size, need[column]);
      EXPECT_GE(size, floor[column]);
    }
    if (needed > room && floors <= room) {
      EXPECT_EQ(header->length(), room);
      // The elastic columns stand at one level, give or take a pixel, but
      // for one that needs less.
      for (const int a : {0, 3}) {
        for (const int b : {0, 3}) {
          if (header->sectionSize(a) > header->sectionSize(b) + 1) {
            EXPECT_TRUE(header->sectionSize(b) == need[b] || header->sectionSize(a) == floor[a])
                << a << " stands above " << b;
          }
        }
      }
    }
  }
}

TEST(modGenFunctionsControl, TabsTextBoxesAndCombos) {
  QTabWidget tabs;
  for (const char* name : {"one", "two", "three"}) tabs.addTab(new QWidget, name);
  tabs.setCurrentIndex(2);
  ManageTabSwitching(&tabs, 9, kCtrl);
  EXPECT_EQ(tabs.currentIndex(), 0);
  ManageTabSwitching(&tabs, 9, kCtrl | kShift);
  EXPECT_EQ(tabs.currentIndex(), 2);
  ManageTabSwitching(&tabs, 9, 0);
  EXPECT_EQ(tabs.currentIndex(), 2);

  QLineEdit line("hello world");
  line.setSelection(0, 5);
  TextBoxAddText(&line, "HELLO");
  EXPECT_EQ(line.text(), "HELLO world");
  TextBoxManageKeys(&line, 65, kCtrl | kShift);
  EXPECT_FALSE(line.hasSelectedText());
  TextBoxManageKeys(&line, 65, kCtrl);
  EXPECT_EQ(line.selectedText(), "HELLO world");

  // Text from another person goes into the template as plain text.
  QTextEdit rich;
  rich.setPlainText("Sender: FROM, to TO");
  RichTextReplace(&rich, "FROM", "<b>Eve</b>");
  EXPECT_EQ(rich.toPlainText().toStdString(), "Sender: <b>Eve</b>, to TO");

  QComboBox combo;
  EXPECT_FALSE(modGenFunctionsUI::ComboSelectByItemData(&combo, 3));
  combo.addItem("a", 7);
  combo.addItem("b", 3);
  combo.addItem("c", 3);
  EXPECT_TRUE(modGenFunctionsUI::ComboSelectByItemData(&combo, 3));
  EXPECT_EQ(combo.currentIndex(), 1);
  QComboBox empty;
  empty.resize(120, 24);
  modGenFunctionsUI::AutoSizeComboDropDown(&empty, 0);
  EXPECT_EQ(empty.view()->minimumWidth(), 120);
}

// ---- The IP entry dialog and the checked address -------------------------------

class InputIP : public ::testing::Test {
 protected:
  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
};

TEST_F(InputIP, ButtonsFollowTheTypedAddress) {
  // An invalid default is not shown; typing "*" needs wildcards.
  onNextModal<frmInputIP>([](frmInputIP* dialog) {
    const IPPartBoxes& parts = dialog->IPParts();
    EXPECT_EQ(GetEnteredIPFromTextBoxes(parts), "...");
    auto* ok = control<QPushButton>(dialog, "cmdOK");
    auto* clear = control<QPushButton>(dialog, "cmdClearIP");
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_FALSE(clear->isEnabled());
    QTest::keyClicks(parts[0], "192");
    EXPECT_TRUE(clear->isEnabled());
    QTest::keyClicks(parts[1], "168*");
    QTest::keyClicks(parts[2], "1");
    QTest::keyClicks(parts[3], "300");  // the last 0 would make 300
    EXPECT_EQ(GetEnteredIPFromTextBoxes(parts), "192.168.1.30");
    EXPECT_TRUE(ok->isEnabled());
    clear->click();
    EXPECT_FALSE(ok->isEnabled());
    QTest::keyClicks(parts[0], "10");
    control<QPushButton>(dialog, "cmdCancel")->click();
  });
  EXPECT_EQ(InputIPFromUser(nullptr, "10.0.0.*", false), "");

  onNextModal<frmInputIP>([](frmInputIP* dialog) {
    EXPECT_EQ(GetEnteredIPFromTextBoxes(dialog->IPParts()), "10.0.0.*");
    QTest::keyClicks(dialog->IPParts()[1], "*");
    control<QPushButton>(dialog, "cmdOK")->click();
  });
  EXPECT_EQ(InputIPFromUser(nullptr, "10.0.0.*", true), "10.*.0.*");

  onNextModal<frmInputIP>([](frmInputIP* dialog) {
    control<QPushButton>(dialog, "cmdCopyLocalIP")->click();
    control<QPushButton>(dialog, "cmdOK")->click();
  });
  ScopedEnv bind("TAVINOR_BIND_ADDRESS", "127.0.0.102");
  EXPECT_EQ(InputIPFromUser(nullptr, "", false), "127.0.0.102");
  EXPECT_TRUE(boxes.shown().empty());
}

// Keys typed where the focus is, as a person types them ("\t" is Tab), and
// Enter: three digits move on by themselves, and the "." or Tab typed after
// them out of habit does not move on again.
TEST_F(InputIP, AnAddressTypedAsItIsWrittenIsTakenWhole) {
  struct Case {
    const char* keys;
    const char* address;
  };
  const Case cases[] = {
      {"127.0.0.3", "127.0.0.3"},       {"127\t0\t0\t3", "127.0.0.3"},
      {"10.1.2.3", "10.1.2.3"},         {"192.168.100.200", "192.168.100.200"},
      {"1\t22\t255.7", "1.22.255.7"}, {"1.2.3", ""},  // incomplete: Enter does nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    // Keys go to the dialog's focus widget, whether or not the window
    // system has made the dialog active yet.
    onNextModal<frmInputIP>([keys = std::string(c.keys)](frmInputIP* dialog) {
      for (const char key : keys) {
        QWidget* focus = dialog->focusWidget();
        EXPECT_NE(focus, nullptr);
        if (focus == nullptr) break;
        if (key == '\t') {
          QTest::keyClick(focus, Qt::Key_Tab);
        } else {
          QTest::keyClick(focus, key);
        }
      }
      if (QWidget* focus = dialog->focusWidget()) QTest::keyClick(focus, Qt::Key_Return);
      if (dialog->isVisible()) dialog->reject();
    });
    EXPECT_EQ(InputIPFromUser(nullptr, "", false), c.address);
  }
}

TEST_F(InputIP, CheckedAddressTellsWhetherItAnswers) {
  EXPECT_EQ(modGenFunctions::GetCheckedIPAddress(nullptr, "127.0.0.103", false), "127.0.0.103");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "The computer at the address 127.0.0.103 answers.");
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbInformation);

  // Asked, and cancelled: nothing is pinged or shown.
  onNextModal<frmInputIP>([](frmInputIP* dialog) { dialog->reject(); });
  EXPECT_EQ(modGenFunctions::GetCheckedIPAddress(nullptr, "127.0.0.103", true), "");
  EXPECT_EQ(boxes.shown().size(), 1u);

  TestNetns silent;
  if (!silent.ok()) GTEST_SKIP() << silent.skipReason();
  ASSERT_TRUE(silent.sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
  const auto answer = silent.run(
      [] { return modGenFunctions::GetCheckedIPAddress(nullptr, "127.0.0.104", false); });
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, "127.0.0.104");
  ASSERT_EQ(boxes.shown().size(), 2u);
  EXPECT_EQ(boxes.shown()[1].text, "The computer at the address 127.0.0.104 does not answer.");
}
