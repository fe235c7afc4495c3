#pragma once
// modGenFunctionsControl: the same behaviour for the common controls of
// every window.
//
// Controls on this platform: a list view is a QTreeWidget whose rows keep
// their key text in data(0, Qt::UserRole) and whose column headers keep
// their tag in headerItem()->data(column, Qt::UserRole) and their key in
// Qt::UserRole + 1; a list box is a QListWidget; a combo a QComboBox; a text
// box a QLineEdit, QPlainTextEdit or QTextEdit; a tab strip a QTabWidget.
// The four part boxes of an IP address are four QLineEdit, index 0 to 3.
//
// Key codes are virtual-key codes (65 "A", 9 Tab, 8 Backspace); shift masks
// 1 Shift, 2 Ctrl, 4 Alt (ShiftMaskOf maps Qt's modifiers).
//
// Errors are reported under "modGenFunctionsControl.<Operation>" and raised
// again; work done before an error stays done. UI thread only.
#include <QStringList>
#include <QVariant>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QAbstractItemView;
class QComboBox;
class QHeaderView;
class QLineEdit;
class QListWidget;
class QTabWidget;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace modGenFunctionsControl {

using IPPartBoxes = std::array<QLineEdit*, 4>;

// Column tag: the field number in the low 19 bits, the refresh flag above.
inline constexpr int32_t kColumnFieldMask = 0x7FFFF;
inline constexpr int32_t kColumnFlag = 0x80000;
// Twips per pixel of the program's sizes.
inline constexpr int kTwipsPerPixel = 15;

enum ShiftMask : int { kShift = 1, kCtrl = 2, kAlt = 4 };
int ShiftMaskOf(Qt::KeyboardModifiers modifiers);

// ---- IP part boxes ---------------------------------------------------------
// Empties the four boxes and gives box 0 the focus.
void ClearArrOfTextBoxes(const IPPartBoxes& boxes);
// Nothing for ""; otherwise parts 0..3 of the dotted text into boxes 0..3.
// A text of fewer than four parts raises 9.
void FillTextBoxesFromIP(const IPPartBoxes& boxes, const std::string& address);
// The four texts joined with "." as they stand.
std::string GetEnteredIPFromTextBoxes(const IPPartBoxes& boxes);
bool IsIPEnteredInTexboxes(const IPPartBoxes& boxes);
// The key filter of a part box: the character code to keep, 0 to swallow.
// Digits and Backspace (8) pass unless the part would exceed 255 (or would
// not be a number, next to a "*"); "*" with wildcards makes the box "*" and
// is swallowed; everything else is swallowed.
int TextBoxKeyPressManager(QLineEdit* box, int charCode, bool wildcardAllowed);

// Shows the IP entry dialog modally; the accepted address, "" when cancelled.
std::string InputIPFromUser(QWidget* owner, const std::string& defaultAddress,
                            bool wildcardAllowed);

// ---- List boxes and combos ---------------------------------------------------
// Clears when asked; then adds every item of the "||" text (empty ones too).
void ListBoxFillFromStringArray(QListWidget* list, const std::string& items, bool clearFirst);
// The entries joined with "||" (an empty entry before any other vanishes).
std::string ListBoxGetAllValueInAnString(QListWidget* list);
// The combo's entries from `startIndex` on, joined with "||".
std::string ListGetAllValuesInString(QComboBox* combo, int startIndex);

// ---- List views ---------------------------------------------------------------
int ListViewCountSelectedItems(QTreeWidget* list);
// Removes the row of each key, in order; keys that are not listed are
// passed over (a list refreshed from changed rows may never have shown them).
void ListViewRemoveItems(QTreeWidget* list, const std::vector<std::string>& keys);
// Every list view's check handler: rows are checked by the program only.
void BypassListViewCheckedItem(QTreeWidgetItem* row);
// Selects and checks every row, or none (no current row then).
void ListViewSelectAllItems(QTreeWidget* list, bool state);
// Adds a column header at `position` (0-based; -1 appends) with its key,
// caption, width in twips and alignment (0 left, 1 right, 2 centre). A
// numeric tag other than -1 gets kColumnFlag when flagTag; a text tag is
// kept as it is.
void ListViewAddColumn(QTreeWidget* list, int position, const std::string& key,
                       const std::string& caption, int widthTwips, int alignment,
                       const QVariant& tag, bool clearFirst, bool flagTag);
// The set-up of a list view, one call per list.
struct ListViewProperties {
  bool hideColumnHeaders = false;
  bool multiSelect = false;
  bool checkboxes = false;
  bool fullRowSelect = true;
  bool gridLines = false;
  bool sorted = false;
  int sortKey = 0;    // 0-based sort column
  int sortOrder = 0;  // 0 ascending, 1 descending
  bool dragEnabled = false;
  bool acceptDrops = false;
};
void ListViewInitializeProperties(QTreeWidget* list, const ListViewProperties& properties);
// Keys of the selected or checked rows (of every row with allRows), in list
// order; nothing when no row is current and allRows is not set. With
// removeRows the collected rows are removed.
std::optional<std::vector<std::string>> ListViewGetAllSelectedKeys(QTreeWidget* list,
                                                                   bool removeRows, bool allRows);
void ListViewRemoveSelectedItems(QTreeWidget* list);
// A header click: sorts on `column`, the order flipping on every click.
void ListViewSortColumn(QTreeWidget* list, int column);
// The row of `key`, or null. Costs the same whatever the list holds.
QTreeWidgetItem* ListViewFindItem(QTreeWidget* list, const std::string& key);
// What a column of ListViewFitColumnsToWidth shows besides its caption and
// rows: texts its rows may hold though none in view does now. An elastic
// column gives up what it needs when the visible width lacks, and its texts
// show whole on hover: a list over a model of its own gives them as its
// tooltips; in a QTreeWidget each row's tooltip in that column is kept equal
// to its text.
struct ColumnContent {
  bool elastic = false;
  QStringList samples;
};
// From now on keeps every column of the list (a QTreeView or QTableView)
// as wide as its caption, its rows in view and its samples (`content`, one
// entry per column from the first; none: plain columns) need, and as wide
// as it was set or as the person dragged it while the visible width allows;
// the last column fills the rest. When the visible width is less than the
// columns need, the elastic ones give up room, the widest first, none
// below its caption; the others are never cut. Follows the visible width at
// once and the rows in view at the next turn of the event loop: after a
// reset or a sort, and only with followRows when rows come, go or change or
// the list scrolls (measuring a text costs, and a long list whose samples
// cover what its rows may hold, kept in place as rows arrive, is better
// without). A list given another model afterwards is followed no more.
void ListViewFitColumnsToWidth(QAbstractItemView* list, std::vector<ColumnContent> content = {},
                               bool followRows = true);

// ---- Lists over a model --------------------------------------------------------
// Lists whose rows a model gives (QTableView, QTreeView): the view lays out
// only the rows it shows, so these helpers cost what the rows in view cost,
// whatever the model holds. Call them once the list has its model.

// A column header (for QTableView::setHorizontalHeader or
// QTreeView::setHeader) whose sort arrow points the way its list runs: down
// while the list runs descending (the newest date first), up while ascending.
QHeaderView* ListViewNewSortHeader(QWidget* parent);
// From now on, while rows of the list's model come, go or move, the first
// row in view that stays is kept at the top of the view, and the selected
// row that was in view (the current one first) stays in view.
void ListViewKeepPlace(QAbstractItemView* list);

// ---- Text boxes and tabs ----------------------------------------------------
// Inserts the text at the caret, replacing the selection.
void TextBoxAddText(QWidget* textBox, const std::string& text);
// Ctrl+A (key 65, mask exactly 2) selects the whole text.
void TextBoxManageKeys(QWidget* textBox, int keyCode, int shiftMask);
// Finds `find` as a whole word from the caret on and replaces it by
// `replacement` as plain text.
void RichTextReplace(QTextEdit* box, const std::string& find, const std::string& replacement);
// Ctrl+Tab selects the next tab, Ctrl+Shift+Tab the previous (wrapping).
void ManageTabSwitching(QTabWidget* tabs, int keyCode, int shiftMask);

}  // namespace modGenFunctionsControl
