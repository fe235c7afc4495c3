#include "modGenFunctionsUI.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>
#include <QTreeWidget>

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace modGenFunctionsUI {
namespace {

constexpr int kEntryMargin = 8;
constexpr int kScreenMargin = 16;

void requireControl(const void* control) {
  if (control == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
}

// A scroll bar of its own, not one of a list's or text box's.
bool standalone(const QScrollBar* bar) {
  for (const QWidget* parent = bar->parentWidget(); parent != nullptr;
       parent = parent->parentWidget()) {
    if (qobject_cast<const QAbstractScrollArea*>(parent) != nullptr) return false;
  }
  return true;
}

void setTopmost(QWidget* window, bool topmost) {
  if (window->testAttribute(Qt::WA_WState_Created) &&
      bool(window->windowFlags() & Qt::WindowStaysOnTopHint) == topmost) {
    return;
  }
  const bool visible = window->isVisible();
  window->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
  if (visible) window->show();  // changing the flag hides the window
}

}  // namespace

void ResetFormControls(QWidget* window, bool clearCombos) {
  try {
    requireControl(window);
    for (QWidget* control : window->findChildren<QWidget*>()) {
      if (auto* list = qobject_cast<QListWidget*>(control)) {
        list->clear();
      } else if (auto* view = qobject_cast<QTreeWidget*>(control)) {
        view->clear();
      } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        if (clearCombos) {
          combo->clear();
        } else {
          combo->setCurrentIndex(-1);
        }
      } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
        if (qobject_cast<QComboBox*>(line->parentWidget()) == nullptr) line->clear();
      } else if (auto* plain = qobject_cast<QPlainTextEdit*>(control)) {
        plain->clear();
      } else if (auto* rich = qobject_cast<QTextEdit*>(control)) {
        rich->clear();
      } else if (auto* bar = qobject_cast<QScrollBar*>(control);
                 bar != nullptr && bar->orientation() == Qt::Horizontal && standalone(bar)) {
        bar->setRange(1, 1);
        bar->setValue(1);
      }
    }
  } catch (...) {
    raiseAgain("modGenFunctionsUI.ResetFormControls");
  }
}

bool ComboSelectByItemData(QComboBox* combo, int32_t value) {
  try {
    requireControl(combo);
    for (int index = 0; index < combo->count(); ++index) {
      if (combo->itemData(index).toInt() == value) {
        combo->setCurrentIndex(index);
        return true;
      }
    }
    return false;
  } catch (...) {
    raiseAgain("modGenFunctionsUI.ComboSelectByItemData");
  }
}

void ComboSetDroppedWidth(QComboBox* combo, int widthPixels) {
  try {
    requireControl(combo);
    combo->view()->setMinimumWidth(widthPixels);
  } catch (...) {
    raiseAgain("modGenFunctionsUI.ComboSetDroppedWidth");
  }
}

void AutoSizeComboDropDown(QComboBox* combo, int maximumPixels) {
  try {
    requireControl(combo);
    const QFontMetrics metrics(combo->font());
    int widest = 0;
    for (int index = 0; index < combo->count(); ++index) {
      widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(index)) + kEntryMargin);
    }
    if (maximumPixels <= 0) {
      const QScreen* screen =
          combo->screen() != nullptr ? combo->screen() : QGuiApplication::primaryScreen();
      maximumPixels = screen->geometry().width() - kScreenMargin;
    }
    widest = std::min(widest, maximumPixels);
    ComboSetDroppedWidth(combo, std::max(widest, combo->width()));
  } catch (...) {
    raiseAgain("modGenFunctionsUI.AutoSizeComboDropDown");
  }
}

void SetFormsTopmost(int32_t choice, QWidget* window) {
  try {
    const bool topmost = choice == kHwndTopmost;
    if (window != nullptr) {
      setTopmost(window->window(), topmost);
      return;
    }
    for (QWidget* each : QApplication::topLevelWidgets()) {
      if (each->objectName().toUpper() == kMessageBoardName) continue;
      if (each->isVisible()) setTopmost(each, topmost);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsUI.SetFormsTopmost");
  }
}

}  // namespace modGenFunctionsUI
