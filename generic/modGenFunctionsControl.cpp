#include "modGenFunctionsControl.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPersistentModelIndex>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTabWidget>
#include <QTableView>
#include <QTextDocument>
#include <QTextEdit>
#include <QTreeWidget>

#include <algorithm>
#include <map>
#include <vector>

#include "TimerControl.h"
#include "TvrError.h"
#include "clsGenErrorHandler.h"
#include "frmInputIP.h"
#include "modGenFunctions.h"
#include "modGenFunctionsString.h"

namespace modGenFunctionsControl {
namespace {

constexpr int kBackspace = 8;
constexpr int kKeyA = 65;
constexpr int kKeyTab = 9;
constexpr int kMaxPart = 255;
// The dynamic property that keeps a list view's sort order (0 or 1).
constexpr const char* kSortOrderProperty = "SortOrder";

void requireControl(const void* control) {
  if (control == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
}

std::string keyOf(const QTreeWidgetItem* row) {
  return row->data(0, Qt::UserRole).toString().toStdString();
}

}  // namespace

int ShiftMaskOf(Qt::KeyboardModifiers modifiers) {
  int mask = 0;
  if (modifiers & Qt::ShiftModifier) mask |= kShift;
  if (modifiers & Qt::ControlModifier) mask |= kCtrl;
  if (modifiers & Qt::AltModifier) mask |= kAlt;
  return mask;
}

void ClearArrOfTextBoxes(const IPPartBoxes& boxes) {
  try {
    for (QLineEdit* box : boxes) {
      requireControl(box);
      box->clear();
    }
    boxes[0]->setFocus();
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ClearArrOfTextBoxes");
  }
}

void FillTextBoxesFromIP(const IPPartBoxes& boxes, const std::string& address) {
  try {
    if (address.empty()) return;
    const std::vector<std::string> parts = modGenFunctionsString::splitText(address, ".");
    if (parts.size() < boxes.size()) throw TvrError(kErrSubscript, "", "Subscript out of range");
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      requireControl(boxes[i]);
      boxes[i]->setText(QString::fromStdString(parts[i]));
    }
  } catch (...) {
    raiseAgain("modGenFunctionsControl.FillTextBoxesFromIP");
  }
}

std::string GetEnteredIPFromTextBoxes(const IPPartBoxes& boxes) {
  try {
    std::string address;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      requireControl(boxes[i]);
      if (i > 0) address += ".";
      address += boxes[i]->text().toStdString();
    }
    return address;
  } catch (...) {
    raiseAgain("modGenFunctionsControl.GetEnteredIPFromTextBoxes");
  }
}

bool IsIPEnteredInTexboxes(const IPPartBoxes& boxes) {
  for (const QLineEdit* box : boxes) {
    if (box != nullptr && !box->text().isEmpty()) return true;
  }
  return false;
}

int TextBoxKeyPressManager(QLineEdit* box, int charCode, bool wildcardAllowed) {
  if (box == nullptr) return 0;
  if (charCode == '*' && wildcardAllowed) {
    box->setText("*");
    return 0;
  }
  const bool digit = charCode >= '0' && charCode <= '9';
  if (!digit && charCode != kBackspace) return 0;
  if (charCode == kBackspace || box->text().isEmpty()) return charCode;
  const QString text = box->text();
  const int start = box->hasSelectedText() ? box->selectionStart() : box->cursorPosition();
  const int length = box->hasSelectedText() ? box->selectedText().size() : 0;
  const QString result = text.left(start) + QChar(charCode) + text.mid(start + length);
  bool number = false;
  const int value = result.toInt(&number);
  return number && value <= kMaxPart ? charCode : 0;
}

std::string InputIPFromUser(QWidget* owner, const std::string& defaultAddress,
                            bool wildcardAllowed) {
  try {
    frmInputIP dialog(owner);
    if (!defaultAddress.empty()) dialog.LetDefaultIP(defaultAddress);
    dialog.LetWildCardAllowed(wildcardAllowed);
    dialog.ShowModal();
    return dialog.GetEnteredIP();
  } catch (...) {
    raiseAgain("modGenFunctionsControl.InputIPFromUser");
  }
}

void ListBoxFillFromStringArray(QListWidget* list, const std::string& items, bool clearFirst) {
  try {
    requireControl(list);
    if (clearFirst) list->clear();
    if (items.empty()) return;
    for (const std::string& item : modGenFunctionsString::splitText(items, "||")) {
      list->addItem(QString::fromStdString(item));
    }
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListBoxFillFromStringArray");
  }
}

std::string ListBoxGetAllValueInAnString(QListWidget* list) {
  try {
    requireControl(list);
    std::string joined;
    for (int row = 0; row < list->count(); ++row) {
      modGenFunctions::AddToString(joined, list->item(row)->text().toStdString());
    }
    return joined;
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListBoxGetAllValueInAnString");
  }
}

std::string ListGetAllValuesInString(QComboBox* combo, int startIndex) {
  try {
    requireControl(combo);
    std::string joined;
    for (int index = startIndex; index < combo->count(); ++index) {
      modGenFunctions::AddToString(joined, combo->itemText(index).toStdString());
    }
    return joined;
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListGetAllValuesInString");
  }
}

int ListViewCountSelectedItems(QTreeWidget* list) {
  try {
    requireControl(list);
    return static_cast<int>(list->selectedItems().size());
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewCountSelectedItems");
  }
}

namespace {

// The top-level rows of one list by key, kept current from the list's model,
// so that finding a row costs the same whatever the list holds. Built at the
// first look-up after the list was created or cleared.
class KeyIndex : public QObject {
 public:
  explicit KeyIndex(QTreeWidget* list) : QObject(list), list_(list) {
    setObjectName(kName);
    QAbstractItemModel* model = list->model();
    connect(model, &QAbstractItemModel::modelReset, this, [this] { built_ = false; });
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex& parent, int first, int last) {
              if (built_ && !parent.isValid()) noteRows(first, last);
            });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex& parent, int first, int last) {
              if (built_ && !parent.isValid()) forgetRows(first, last);
            });
    connect(model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
              if (built_ && !topLeft.parent().isValid() && topLeft.column() == 0)
                noteRows(topLeft.row(), bottomRight.row());
            });
  }

  static KeyIndex* of(QTreeWidget* list) {
    auto* index = list->findChild<KeyIndex*>(kName, Qt::FindDirectChildrenOnly);
    return index != nullptr ? index : new KeyIndex(list);
  }

  QTreeWidgetItem* find(const std::string& key) {
    if (!built_) build();
    const auto found = items_.constFind(QString::fromStdString(key));
    return found == items_.cend() ? nullptr : *found;
  }

 private:
  static constexpr const char* kName = "ListViewKeyIndex";

  void build() {
    items_.clear();
    keys_.clear();
    shared_ = false;
    built_ = true;
    noteRows(0, list_->topLevelItemCount() - 1);
  }
  void noteRows(int first, int last) {
    for (int row = first; row <= last; ++row) {
      QTreeWidgetItem* item = list_->topLevelItem(row);
      if (item == nullptr) continue;
      forget(item);
      const QString key = item->data(0, Qt::UserRole).toString();
      if (key.isEmpty()) continue;
      keys_.insert(item, key);
      QTreeWidgetItem*& holder = items_[key];
      if (holder != nullptr) shared_ = true;
      else holder = item;
    }
  }
  void forgetRows(int first, int last) {
    for (int row = first; row <= last; ++row) forget(list_->topLevelItem(row));
  }
  void forget(QTreeWidgetItem* item) {
    const auto known = keys_.constFind(item);
    if (known == keys_.cend()) return;
    if (items_.value(*known) == item) {
      items_.remove(*known);
      // Another row may carry the same key: it is found again by a rebuild.
      if (shared_) built_ = false;
    }
    keys_.erase(known);
  }

  QTreeWidget* list_;
  bool built_ = false;
  bool shared_ = false;  // two rows were seen with one key
  QHash<QString, QTreeWidgetItem*> items_;
  QHash<QTreeWidgetItem*, QString> keys_;
};

}  // namespace

QTreeWidgetItem* ListViewFindItem(QTreeWidget* list, const std::string& key) {
  if (list == nullptr) return nullptr;
  return KeyIndex::of(list)->find(key);
}

namespace {

// The column header of a list of either kind.
QHeaderView* columnsOf(QAbstractItemView* list) {
  if (auto* tree = qobject_cast<QTreeView*>(list)) return tree->header();
  if (auto* table = qobject_cast<QTableView*>(list)) return table->horizontalHeader();
  return nullptr;
}

// Keeps the tooltip of each row's cell in `columns` of a QTreeWidget equal to
// its text, so that a column cut short still reads whole on hover. Follows
// each row as it comes or changes: costs what the changed rows cost.
class HoverTexts : public QObject {
 public:
  HoverTexts(QTreeWidget* list, std::vector<int> columns)
      : QObject(list), list_(list), columns_(std::move(columns)) {
    QAbstractItemModel* model = list->model();
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex& parent, int first, int last) { follow(parent, first, last); });
    connect(model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles) {
              if (roles.isEmpty() || roles.contains(Qt::DisplayRole)) {
                follow(topLeft.parent(), topLeft.row(), bottomRight.row());
              }
            });
    follow({}, 0, list->topLevelItemCount() - 1);
  }

 private:
  void follow(const QModelIndex& parent, int first, int last) {
    QAbstractItemModel* model = list_->model();
    for (int row = first; row <= last; ++row) {
      for (const int column : columns_) {
        const QModelIndex cell = model->index(row, column, parent);
        const QVariant text = cell.data(Qt::DisplayRole);
        if (cell.data(Qt::ToolTipRole) != text) model->setData(cell, text, Qt::ToolTipRole);
      }
    }
  }

  QTreeWidget* list_;
  std::vector<int> columns_;
};

// Keeps a list's columns readable: each as wide as it was set (or as the
// person dragged it) while the visible width allows, never narrower than
// its caption, rows and samples need unless it is elastic and the width
// lacks, the last one filling what is left. It fits when the visible area
// is shown or resized at once, and once at the next turn of the event loop
// after a width changed, its rows were reset or sorted, or (followRows) its
// rows or the rows in view changed, however many; a hidden list costs
// nothing until it is shown.
class ColumnFitter : public QObject {
 public:
  ColumnFitter(QAbstractItemView* list, QHeaderView* header, std::vector<ColumnContent> content,
               bool followRows)
      : QObject(list), list_(list), header_(header), content_(std::move(content)) {
    header->setStretchLastSection(false);
    // A tree's rows in view are what its columns need; scrolling brings
    // others into view. A table counts its rows in view first (QTableView).
    if (auto* tree = qobject_cast<QTreeView*>(list); tree != nullptr && tree->header() == header) {
      header->setResizeContentsPrecision(0);
    }
    list->viewport()->installEventFilter(this);
    // A width set or dragged is kept while the visible width allows.
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int size) {
      if (fitting_) return;
      chosen_[column] = size;
      fitAtNextTurn();
    });
    QAbstractItemModel* model = list->model();
    if (followRows) {
      connect(list->verticalScrollBar(), &QScrollBar::valueChanged, this,
              &ColumnFitter::fitAtNextTurn);
      connect(model, &QAbstractItemModel::rowsInserted, this, &ColumnFitter::fitAtNextTurn);
      connect(model, &QAbstractItemModel::rowsRemoved, this, &ColumnFitter::fitAtNextTurn);
      connect(model, &QAbstractItemModel::dataChanged, this, &ColumnFitter::fitAtNextTurn);
    }
    connect(model, &QAbstractItemModel::modelReset, this, &ColumnFitter::fitAtNextTurn);
    connect(model, &QAbstractItemModel::layoutChanged, this, &ColumnFitter::fitAtNextTurn);
    if (auto* tree = qobject_cast<QTreeWidget*>(list)) {
      std::vector<int> elastic;
      for (std::size_t column = 0; column < content_.size(); ++column) {
        if (content_[column].elastic) elastic.push_back(static_cast<int>(column));
      }
      if (!elastic.empty()) new HoverTexts(tree, std::move(elastic));
    }
  }

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show) fit();
    return false;
  }

 private:
  void fitAtNextTurn() {
    if (pending_) return;
    pending_ = true;
    platform::TimerControl::NextTurn(this, [this] {
      pending_ = false;
      fit();
    });
  }

  const ColumnContent& contentOf(int column) const {
    static const ColumnContent kPlain;
    return column < static_cast<int>(content_.size()) ? content_[static_cast<std::size_t>(column)]
                                                       : kPlain;
  }

  // What a sample text needs in a cell: its width, the item's margins and a
  // pixel for a grid line.
  int sampleNeed(const QString& sample) const {
    const int margin = list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
    return list_->fontMetrics().horizontalAdvance(sample) + 2 * margin + 1;
  }

  void fit() {
    if (!list_->isVisible()) return;  // fitted when shown
    std::vector<int> columns;  // visible, in the order shown
    for (int visual = 0; visual < header_->count(); ++visual) {
      const int column = header_->logicalIndex(visual);
      if (!header_->isSectionHidden(column)) columns.push_back(column);
    }
    if (columns.empty()) return;
    std::vector<int> need, floor, width;
    for (const int column : columns) {
      // A column is first seen at the width it was set to.
      const int chosen = chosen_.try_emplace(column, header_->sectionSize(column)).first->second;
      const int caption = header_->sectionSizeHint(column);
      int needed = std::max(caption, list_->sizeHintForColumn(column));
      for (const QString& sample : contentOf(column).samples) {
        needed = std::max(needed, sampleNeed(sample));
      }
      need.push_back(needed);
      floor.push_back(contentOf(column).elastic ? std::min(needed, caption) : needed);
      width.push_back(std::max(chosen, needed));
    }
    // Too wide: the columns give up what they have beyond their need, the
    // last first, then the elastic ones what they need; too narrow: the
    // last one takes the rest.
    int excess = -list_->viewport()->width();
    for (const int each : width) excess += each;
    for (std::size_t i = width.size(); i-- > 0 && excess > 0;) {
      const int cut = std::min(excess, width[i] - need[i]);
      width[i] -= cut;
      excess -= cut;
    }
    if (excess > 0) giveUpRoom(width, floor, excess);
    if (excess < 0) width.back() -= excess;
    fitting_ = true;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (header_->sectionSize(columns[i]) != width[i]) header_->resizeSection(columns[i], width[i]);
    }
    fitting_ = false;
  }

  // Lowers the widest elastic columns to one level, none below its floor,
  // until `excess` pixels are given up or every one is at its floor.
  static void giveUpRoom(std::vector<int>& widths, const std::vector<int>& floors, int excess) {
    const auto givenUpAt = [&](int level) {
      int given = 0;
      for (std::size_t c = 0; c < widths.size(); ++c) {
        given += std::max(0, widths[c] - std::max(level, floors[c]));
      }
      return given;
    };
    // The highest level at which at least `excess` is given up.
    int low = 0;
    int high = *std::max_element(widths.begin(), widths.end());
    if (givenUpAt(low) < excess) high = low;
    while (low < high) {
      const int middle = low + (high - low + 1) / 2;
      if (givenUpAt(middle) >= excess) low = middle;
      else high = middle - 1;
    }
    int spare = givenUpAt(low) - excess;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      const int lowered = std::min(widths[c], std::max(low, floors[c]));
      // What the level took beyond the excess goes back a pixel at a time.
      const int back = lowered < widths[c] && spare > 0 ? 1 : 0;
      spare -= back;
      widths[c] = lowered + back;
    }
  }

  QAbstractItemView* list_;
  QHeaderView* header_;
  std::vector<ColumnContent> content_;
  // The width each column was set to or dragged to, by column.
  std::map<int, int> chosen_;
  bool fitting_ = false;
  bool pending_ = false;
};

}  // namespace

void ListViewFitColumnsToWidth(QAbstractItemView* list, std::vector<ColumnContent> content,
                               bool followRows) {
  QHeaderView* header = list == nullptr ? nullptr : columnsOf(list);
  if (header != nullptr && list->model() != nullptr) {
    new ColumnFitter(list, header, std::move(content), followRows);
  }
}

void ListViewRemoveItems(QTreeWidget* list, const std::vector<std::string>& keys) {
  try {
    if (list == nullptr || keys.empty()) return;
    for (const std::string& key : keys) delete ListViewFindItem(list, key);
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewRemoveItems");
  }
}

void BypassListViewCheckedItem(QTreeWidgetItem* row) {
  if (row != nullptr && row->checkState(0) == Qt::Checked) row->setCheckState(0, Qt::Unchecked);
}

// The program's own checking goes round the check handlers (signals blocked).
void ListViewSelectAllItems(QTreeWidget* list, bool state) {
  try {
    requireControl(list);
    const QSignalBlocker quiet(list);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QTreeWidgetItem* row = list->topLevelItem(i);
      row->setSelected(state);
      if (row->data(0, Qt::CheckStateRole).isValid()) {
        row->setCheckState(0, state ? Qt::Checked : Qt::Unchecked);
      }
    }
    if (!state) list->setCurrentItem(nullptr);
    list->viewport()->update();
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewSelectAllItems");
  }
}

void ListViewAddColumn(QTreeWidget* list, int position, const std::string& key,
                       const std::string& caption, int widthTwips, int alignment,
                       const QVariant& tag, bool clearFirst, bool flagTag) {
  try {
    if (list == nullptr) return;
    if (clearFirst) list->setColumnCount(0);
    const int count = clearFirst ? 0 : list->columnCount();
    const int index = position == -1 ? count : position;
    if (index < 0 || index > count) throw TvrError(kErrInvalidCall, "", "Invalid column position");
    QTreeWidgetItem* header = list->headerItem();
    list->setColumnCount(count + 1);
    for (int column = count; column > index; --column) {
      for (int role : {int(Qt::DisplayRole), int(Qt::UserRole), int(Qt::UserRole) + 1,
                       int(Qt::TextAlignmentRole)}) {
        header->setData(column, role, header->data(column - 1, role));
      }
      list->setColumnWidth(column, list->columnWidth(column - 1));
    }
    const Qt::Alignment align = alignment == 1   ? Qt::AlignRight
                                : alignment == 2 ? Qt::AlignHCenter
                                                 : Qt::AlignLeft;
    header->setText(index, QString::fromStdString(caption));
    header->setData(index, Qt::UserRole + 1, QString::fromStdString(key));
    header->setTextAlignment(index, align | Qt::AlignVCenter);
    list->setColumnWidth(index, widthTwips / kTwipsPerPixel);
    bool numeric = false;
    const int value = tag.toString().toInt(&numeric);
    QVariant stored = tag;
    if (numeric) stored = (flagTag && value != -1) ? (value | kColumnFlag) : value;
    header->setData(index, Qt::UserRole, stored);
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewAddColumn");
  }
}

void ListViewInitializeProperties(QTreeWidget* list, const ListViewProperties& properties) {
  try {
    requireControl(list);
    list->setRootIsDecorated(false);
    list->setHeaderHidden(properties.hideColumnHeaders);
    list->setSelectionMode(properties.multiSelect ? QAbstractItemView::ExtendedSelection
                                                  : QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(properties.fullRowSelect ? QAbstractItemView::SelectRows
                                                        : QAbstractItemView::SelectItems);
    list->setAlternatingRowColors(properties.gridLines);
    list->setProperty(kSortOrderProperty, properties.sortOrder);
    list->setSortingEnabled(false);
    if (properties.sorted) {
      list->sortItems(properties.sortKey,
                      properties.sortOrder == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
    list->setDragEnabled(properties.dragEnabled);
    list->setAcceptDrops(properties.acceptDrops);
    list->setProperty("Checkboxes", properties.checkboxes);
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewInitializeProperties");
  }
}

std::optional<std::vector<std::string>> ListViewGetAllSelectedKeys(QTreeWidget* list,
                                                                   bool removeRows, bool allRows) {
  try {
    requireControl(list);
    if (list->currentItem() == nullptr && list->selectedItems().isEmpty() && !allRows) return {};
    std::vector<std::string> keys;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* row = list->topLevelItem(i);
      if (allRows || row->isSelected() || row->checkState(0) == Qt::Checked) {
        keys.push_back(keyOf(row));
      }
    }
    if (removeRows) ListViewRemoveItems(list, keys);
    return keys;
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewGetAllSelectedKeys");
  }
}

void ListViewRemoveSelectedItems(QTreeWidget* list) {
  try {
    requireControl(list);
    qDeleteAll(list->selectedItems());
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewRemoveSelectedItems");
  }
}

void ListViewSortColumn(QTreeWidget* list, int column) {
  try {
    if (list == nullptr) return;
    const int order = list->property(kSortOrderProperty).toInt() == 1 ? 0 : 1;
    list->setProperty(kSortOrderProperty, order);
    list->sortItems(column, order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
    list->header()->setSortIndicator(column, order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
    list->header()->setSortIndicatorShown(true);
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ListViewSortColumn");
  }
}


namespace {

// Qt shows an ascending order with the arrow the style draws for SortDown.
class SortHeader : public QHeaderView {
 public:
  explicit SortHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

 protected:
  void initStyleOptionForIndex(QStyleOptionHeader* option, int logicalIndex) const override {
    QHeaderView::initStyleOptionForIndex(option, logicalIndex);
    if (option->sortIndicator == QStyleOptionHeader::None) return;
    option->sortIndicator = sortIndicatorOrder() == Qt::DescendingOrder
                                ? QStyleOptionHeader::SortDown
                                : QStyleOptionHeader::SortUp;
  }
};

// Notes the rows in view before each change of the model's rows and puts
// them back after it.
class PlaceKeeper : public QObject {
 public:
  explicit PlaceKeeper(QAbstractItemView* list) : QObject(list), list_(list) {
    QAbstractItemModel* model = list->model();
    const auto save = [this] { note(1); };
    const auto saveBlock = [this](const QModelIndex&, int first, int last) {
      note(last - first + 1);
    };
    const auto restore = [this] { putBack(); };
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, saveBlock);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, saveBlock);
    connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, save);
    connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, save);
    connect(model, &QAbstractItemModel::rowsInserted, this, restore);
    connect(model, &QAbstractItemModel::rowsRemoved, this, restore);
    connect(model, &QAbstractItemModel::rowsMoved, this, restore);
    connect(model, &QAbstractItemModel::layoutChanged, this, restore);
  }

 private:
  // `rows`: how many rows come or go (1 for a move or a change of layout).
  void note(int rows) {
    rows_ = rows;
    inView_.clear();
    selectedInView_ = QPersistentModelIndex();
    const QAbstractItemModel* model = list_->model();
    const int height = list_->viewport()->height();
    const QModelIndex top = list_->indexAt(QPoint(0, 0));
    if (!top.isValid()) return;
    for (int row = top.row(); row < model->rowCount(); ++row) {
      const QModelIndex index = model->index(row, 0);
      const QRect rect = list_->visualRect(index);
      if (rect.top() >= height) break;
      inView_.push_back(index);
      const bool current = list_->currentIndex().row() == row;
      if (list_->selectionModel()->isRowSelected(row, {}) &&
          (!selectedInView_.isValid() || current)) {
        selectedInView_ = index;
      }
    }
  }

  void putBack() {
    if (inView_.empty()) return;
    QScrollBar* across = list_->horizontalScrollBar();
    const int acrossAt = across->value();
    // The scroll range follows the rows at the view's next layout: it may
    // lag a row behind, but not a block of rows that came above.
    if (rows_ > 1) list_->doItemsLayout();
    for (const QPersistentModelIndex& index : inView_) {
      if (!index.isValid()) continue;
      list_->scrollTo(index, QAbstractItemView::PositionAtTop);
      break;
    }
    if (selectedInView_.isValid() &&
        !list_->viewport()->rect().intersects(list_->visualRect(selectedInView_))) {
      list_->scrollTo(selectedInView_);
    }
    across->setValue(acrossAt);
    inView_.clear();
  }

  QAbstractItemView* list_;
  int rows_ = 1;
  std::vector<QPersistentModelIndex> inView_;
  QPersistentModelIndex selectedInView_;
};

}  // namespace

QHeaderView* ListViewNewSortHeader(QWidget* parent) {
  auto* header = new SortHeader(parent);
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return header;
}

void ListViewKeepPlace(QAbstractItemView* list) {
  if (list != nullptr && list->model() != nullptr) new PlaceKeeper(list);
}

void TextBoxAddText(QWidget* textBox, const std::string& text) {
  try {
    requireControl(textBox);
    const QString inserted = QString::fromStdString(text);
    if (auto* line = qobject_cast<QLineEdit*>(textBox)) {
      line->insert(inserted);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(textBox)) {
      plain->insertPlainText(inserted);
    } else if (auto* rich = qobject_cast<QTextEdit*>(textBox)) {
      rich->insertPlainText(inserted);
    } else {
      throw TvrError(kErrTypeMismatch, "", "Type mismatch");
    }
  } catch (...) {
    raiseAgain("modGenFunctionsControl.TextBoxAddText");
  }
}

void TextBoxManageKeys(QWidget* textBox, int keyCode, int shiftMask) {
  try {
    if (keyCode != kKeyA || shiftMask != kCtrl) return;
    requireControl(textBox);
    if (auto* line = qobject_cast<QLineEdit*>(textBox)) line->selectAll();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(textBox)) plain->selectAll();
    if (auto* rich = qobject_cast<QTextEdit*>(textBox)) rich->selectAll();
  } catch (...) {
    raiseAgain("modGenFunctionsControl.TextBoxManageKeys");
  }
}

// The replacement goes in as plain text: it may come from another person.
void RichTextReplace(QTextEdit* box, const std::string& find, const std::string& replacement) {
  try {
    if (box == nullptr) return;
    if (!box->find(QString::fromStdString(find), QTextDocument::FindWholeWords)) return;
    QTextCursor cursor = box->textCursor();
    if (cursor.hasSelection()) cursor.insertText(QString::fromStdString(replacement));
  } catch (...) {
    raiseAgain("modGenFunctionsControl.RichTextReplace");
  }
}

void ManageTabSwitching(QTabWidget* tabs, int keyCode, int shiftMask) {
  try {
    if (keyCode != kKeyTab || (shiftMask & kCtrl) == 0) return;
    requireControl(tabs);
    const int count = tabs->count();
    if (count == 0) return;
    const int current = tabs->currentIndex();
    tabs->setCurrentIndex((shiftMask & kShift) ? (current + count - 1) % count
                                               : (current + 1) % count);
  } catch (...) {
    raiseAgain("modGenFunctionsControl.ManageTabSwitching");
  }
}

}  // namespace modGenFunctionsControl
