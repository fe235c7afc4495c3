#include "LayoutCheck.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QSplitter>
#include <QTableView>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QWidget>

namespace LayoutCheck {
namespace {

QString describe(const QWidget* widget) {
  QString name = widget->objectName();
  if (const auto* label = qobject_cast<const QLabel*>(widget)) name += " \"" + label->text() + "\"";
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
    name += " \"" + button->text() + "\"";
  }
  return QString("%1 %2").arg(widget->metaObject()->className(), name.trimmed());
}

QString sizeText(const QSize& size) { return QString("%1x%2").arg(size.width()).arg(size.height()); }

bool holds(QLayout* layout, const QWidget* widget) {
  for (int i = 0; i < layout->count(); ++i) {
    QLayoutItem* item = layout->itemAt(i);
    if (item->widget() == widget) return true;
    if (item->layout() != nullptr && holds(item->layout(), widget)) return true;
  }
  return false;
}

// Controls that a layout or a splitter sizes; the inner parts of lists,
// combos and spin boxes are sized by their owner and are left out.
bool laidOut(const QWidget* widget) {
  QWidget* parent = widget->parentWidget();
  if (parent == nullptr) return false;
  if (qobject_cast<QSplitter*>(parent) != nullptr) return true;
  return parent->layout() != nullptr && holds(parent->layout(), widget);
}

// The least size a layout gives the widget.
QSize leastSize(const QWidget* widget) {
  const QSizePolicy policy = widget->sizePolicy();
  const QSize hint = widget->sizeHint();
  const QSize minimumHint = widget->minimumSizeHint();
  const auto least = [](QSizePolicy::Policy each, int hinted, int minimumHinted) {
    if (each == QSizePolicy::Ignored) return 0;
    return (each & QSizePolicy::ShrinkFlag) ? minimumHinted : std::max(hinted, minimumHinted);
  };
  QSize size(least(policy.horizontalPolicy(), hint.width(), minimumHint.width()),
             least(policy.verticalPolicy(), hint.height(), minimumHint.height()));
  if (widget->minimumWidth() > 0) size.setWidth(widget->minimumWidth());
  if (widget->minimumHeight() > 0) size.setHeight(widget->minimumHeight());
  return size.boundedTo(widget->maximumSize());
}

void checkControl(const QWidget* widget, QStringList& faults) {
  const QSize least = leastSize(widget);
  if (widget->width() < least.width() || widget->height() < least.height()) {
    faults << QString("%1 is %2, needs %3")
                  .arg(describe(widget), sizeText(widget->size()), sizeText(least));
  }
}

// A text that a box shows, cut: a combo's current entry, a line edit's hint.
void checkShownText(const QWidget* widget, QStringList& faults) {
  QString text;
  int room = 0;
  if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    text = combo->currentText();
    room = combo->style()
               ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo)
               .width();
  } else if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
    if (!edit->text().isEmpty() || edit->parentWidget()->inherits("QComboBox")) return;
    text = edit->placeholderText();
    room = edit->width() - edit->sizeHint().width() + edit->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 17;
  }
  const int needed = widget->fontMetrics().horizontalAdvance(text);
  if (needed > room) {
    faults << QString("%1 shows \"%2\" in %3 pixels, needs %4")
                  .arg(describe(widget), text)
                  .arg(room)
                  .arg(needed);
  }
}

void checkTabBar(const QTabBar* bar, QStringList& faults) {
  if (bar->width() < bar->sizeHint().width()) {
    faults << QString("%1 is %2 wide, its tabs need %3")
                  .arg(describe(bar))
                  .arg(bar->width())
                  .arg(bar->sizeHint().width());
  }
}

bool wholeOnHover(QAbstractItemView* list, int column);

void checkRows(QListView* list, QStringList& faults) {
  const int needed = static_cast<const QAbstractItemView*>(list)->sizeHintForColumn(0);
  if (list->viewport()->width() < needed && !wholeOnHover(list, 0)) {
    faults << QString("%1 shows %2 pixels of its rows, needs %3")
                  .arg(describe(list))
                  .arg(list->viewport()->width())
                  .arg(needed);
  }
}

// The columns of a list of either kind (QTreeView or QTableView).
QHeaderView* columnsOf(QAbstractItemView* list) {
  if (auto* tree = qobject_cast<QTreeView*>(list)) return tree->header();
  if (auto* table = qobject_cast<QTableView*>(list)) return table->horizontalHeader();
  return nullptr;
}

// What a column's caption and the texts of its rows in view need.
int neededWidth(QAbstractItemView* list, int column) {
  return std::max(columnsOf(list)->sectionSizeHint(column),
                  static_cast<const QAbstractItemView*>(list)->sizeHintForColumn(column));
}

QString captionOf(QAbstractItemView* list, int column) {
  return list->model()->headerData(column, Qt::Horizontal).toString();
}

// Whether every row in view of `column` shows its whole text on hover, so
// that a cut text can still be read.
bool wholeOnHover(QAbstractItemView* list, int column) {
  const QAbstractItemModel* model = list->model();
  const int height = list->viewport()->height();
  const QModelIndex top = list->indexAt(QPoint(0, 0));
  for (int row = top.isValid() ? top.row() : model->rowCount(); row < model->rowCount(); ++row) {
    const QModelIndex index = model->index(row, column);
    if (list->visualRect(index).top() >= height) break;
    const QString text = index.data().toString();
    if (!text.isEmpty() && index.data(Qt::ToolTipRole).toString() != text) return false;
  }
  return true;
}

void checkList(QAbstractItemView* list, QStringList& faults) {
  const QHeaderView* header = columnsOf(list);
  if (header == nullptr || header->isHidden()) return;
  if (header->length() > list->viewport()->width()) {
    faults << QString("%1 shows %2 of its columns' %3 pixels")
                  .arg(describe(list))
                  .arg(list->viewport()->width())
                  .arg(header->length());
  }
  for (int column = 0; column < header->count(); ++column) {
    if (header->isSectionHidden(column)) continue;
    const int needed = neededWidth(list, column);
    const bool captionWhole = header->sectionSize(column) >= header->sectionSizeHint(column);
    if (header->sectionSize(column) < needed && !(captionWhole && wholeOnHover(list, column))) {
      faults << QString("%1 column \"%2\" is %3 wide, needs %4")
                    .arg(describe(list), captionOf(list, column))
                    .arg(header->sectionSize(column))
                    .arg(needed);
    }
  }
}

void checkShown(QWidget* window, bool contents, const QString& where, QStringList& faults) {
  QStringList found;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisible() || widget->isWindow()) continue;
    if (auto* bar = qobject_cast<QTabBar*>(widget)) checkTabBar(bar, found);
    if (laidOut(widget)) checkControl(widget, found);
    if (!contents) continue;
    if (auto* list = qobject_cast<QAbstractItemView*>(widget)) checkList(list, found);
    if (auto* list = qobject_cast<QListView*>(widget)) checkRows(list, found);
    checkShownText(widget, found);
  }
  for (const QString& fault : found) faults << where + fault;
}

QStringList faultsOnEveryPage(QWidget* window, bool contents) {
  QStringList faults;
  QApplication::processEvents();
  checkShown(window, contents, {}, faults);
  for (QTabWidget* tabs : window->findChildren<QTabWidget*>()) {
    if (!tabs->isVisible()) continue;
    for (int page = 1; page < tabs->count(); ++page) {
      tabs->setCurrentIndex(page);
      QApplication::processEvents();
      checkShown(window, contents, QString("tab \"%1\": ").arg(tabs->tabText(page)), faults);
    }
    tabs->setCurrentIndex(0);
  }
  faults.removeDuplicates();
  return faults;
}

}  // namespace

QStringList cutControls(QWidget* window) { return faultsOnEveryPage(window, false); }

QStringList readabilityFaults(QWidget* window) { return faultsOnEveryPage(window, true); }

QStringList widerThanNeeded(QWidget* window, const QStringList& captions) {
  QApplication::processEvents();
  QStringList faults;
  for (QAbstractItemView* list : window->findChildren<QAbstractItemView*>()) {
    const QHeaderView* header = columnsOf(list);
    if (header == nullptr || !list->isVisible()) continue;
    for (int column = 0; column < header->count(); ++column) {
      if (header->isSectionHidden(column) || !captions.contains(captionOf(list, column))) continue;
      const int needed = neededWidth(list, column);
      if (header->sectionSize(column) > needed) {
        faults << QString("%1 column \"%2\" is %3 wide, needs %4")
                      .arg(describe(list), captionOf(list, column))
                      .arg(header->sectionSize(column))
                      .arg(needed);
      }
    }
  }
  return faults;
}

QStringList widerThanItsTexts(QWidget* window, const QString& caption, const QStringList& texts) {
  // A cell's text margins and grid line, and a few pixels of rounding.
  constexpr int kCellSlack = 12;
  QApplication::processEvents();
  QStringList faults;
  for (QAbstractItemView* list : window->findChildren<QAbstractItemView*>()) {
    const QHeaderView* header = columnsOf(list);
    if (header == nullptr || !list->isVisible()) continue;
    for (int column = 0; column < header->count(); ++column) {
      if (header->isSectionHidden(column) || captionOf(list, column) != caption) continue;
      int needed = neededWidth(list, column);
      for (const QString& text : texts) {
        needed = std::max(needed, list->fontMetrics().horizontalAdvance(text) + kCellSlack);
      }
      if (header->sectionSize(column) > needed) {
        faults << QString("%1 column \"%2\" is %3 wide, its texts need %4")
                      .arg(describe(list), caption)
                      .arg(header->sectionSize(column))
                      .arg(needed);
      }
    }
  }
  return faults;
}

std::string tabCycle(QWidget* first, bool backwards) {
  first->window()->activateWindow();
  if (!QTest::qWaitForWindowActive(first->window())) return "not active";
  first->setFocus(Qt::OtherFocusReason);
  QStringList reached;
  for (QWidget* focus = first; reached.size() < 60;) {
    QTest::keyClick(focus, backwards ? Qt::Key_Backtab : Qt::Key_Tab);
    focus = QApplication::focusWidget();
    if (focus == nullptr || focus == first) break;
    reached << focus->objectName();
  }
  return reached.join(' ').toStdString();
}

}  // namespace LayoutCheck
