#include "modGloFunctionsUI.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "MessageBox.h"
#include "clsGenErrorHandler.h"
#include "clsTrayManager.h"
#include "modGenFunctions.h"
#include "modGenFunctionsString.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsUI.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace modGloFunctionsUI {

using modGenFunctionsControl::kTwipsPerPixel;


FormScreenState AppScreenState;
std::string LastActiveFormName;

namespace {

constexpr const char* kStartupWindowName = "FRMINTERNALSERVICES";
constexpr int32_t kAccountUIDField = 0;

std::function<void()> menuStateHandler;
// The windows the last hide-all hid, shown again by the next restore.
std::vector<QPointer<QWidget>> hiddenWindows;

// The account field of each window's placement.
int32_t placementField(const QString& upperName) {
  static const std::map<QString, int32_t> fields = {
      {"FRMABOUT", 14},         {"FRMINSTANTMESSAGE", 15}, {"FRMLOGIN", 16},
      {"FRMMESSAGE", 17},       {"FRMMESSAGECENTER", 18},  {"FRMMESSAGEHISTORY", 19},
      {"FRMMESSAGEVIEWER", 20}, {"FRMOPTIONS", 21},        {"FRMUSER", 22},
      {"FRMUSERSELECTION", 23}, {"FRMMESSAGEBOARD", 24}};
  const auto found = fields.find(upperName);
  return found == fields.end() ? -1 : found->second;
}

bool placementsKept() {
  return modLocalUserFunctions::LocalUserOptions.SaveWindowsSetting &&
         !modGlobalVariables::CurrentLocalUserUID.empty();
}

std::optional<int> twipsNumber(const std::string& text) {
  const std::optional<int32_t> number = modGenFunctions::ParseWholeNumber(text);
  if (!number) return std::nullopt;
  return *number;
}

// The rectangle moved (and cut when larger) into the available area of the
// screen it lies most on, or of the primary screen when it lies on none.
QRect onVisibleScreen(QRect rect) {
  const QScreen* best = QGuiApplication::primaryScreen();
  int bestArea = 0;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect common = platform::usableScreenArea(screen).intersected(rect);
    if (common.width() * common.height() > bestArea) {
      bestArea = common.width() * common.height();
      best = screen;
    }
  }
  if (best == nullptr) return rect;
  const QRect area = platform::usableScreenArea(best);
  rect.setWidth(std::min(rect.width(), area.width()));
  rect.setHeight(std::min(rect.height(), area.height()));
  rect.moveLeft(std::clamp(rect.left(), area.left(), area.right() - rect.width() + 1));
  rect.moveTop(std::clamp(rect.top(), area.top(), area.bottom() - rect.height() + 1));
  return rect;
}

QRect availableArea() { return platform::usableScreenArea(QGuiApplication::primaryScreen()); }

// What the window's frame adds to its size (nothing before it has one).
QSize frameSize(const QWidget* form) { return form->frameGeometry().size() - form->size(); }

// The larger of the given minimum and the least size the window's layout
// needs to show every control whole.
QSize neededMinimum(QWidget* form, int32_t minWidth, int32_t minHeight) {
  if (QLayout* layout = form->layout()) layout->activate();
  const QSize needed = QSize(minWidth / kTwipsPerPixel, minHeight / kTwipsPerPixel)
                           .expandedTo(form->minimumSizeHint());
  const QRect area = availableArea();
  return area.isEmpty() ? needed : needed.boundedTo(area.size() - frameSize(form));
}

// The default size: the largest of the given size, the size the window
// gave itself before it was first shown and the size its layout prefers,
// within the screen.
QSize neededDefault(const QWidget* form, int32_t width, int32_t height) {
  QSize size(width / kTwipsPerPixel, height / kTwipsPerPixel);
  if (form->testAttribute(Qt::WA_Resized)) size = size.expandedTo(form->size());
  size = size.expandedTo(form->sizeHint()).expandedTo(form->minimumSize());
  const QRect area = availableArea();
  return area.isEmpty() ? size : size.boundedTo(area.size() - frameSize(form));
}

bool isNeverShown(const QWidget* window) {
  const QString name = window->objectName();
  return name.toUpper() == kStartupWindowName || name == clsTrayManager::kStandInName;
}

}  // namespace

void SetMenuStateHandler(std::function<void()> handler) { menuStateHandler = std::move(handler); }

std::string GetSetFormSetting(QWidget* form, bool write) {
  try {
    if (!placementsKept() || form == nullptr) return {};
    const int32_t field = placementField(form->objectName().toUpper());
    if (field < 0) {
      modGenFunctions::ShowMessageBox("Error : form not defined 436gf5gd", platform::kMbOkOnly, "");
      return {};
    }
    if (!write) {
      return modGlobalFunctions::GetObjectFieldValue(
          modGlobalVariables::LocalUser, kAccountUIDField, modGlobalVariables::CurrentLocalUserUID,
          field, true);
    }
    if (form->isMinimized() || form->isMaximized()) return {};
    const QPoint at = form->pos();
    const QSize size = form->size();
    const std::string text = std::to_string(at.x() * kTwipsPerPixel) + "||" +
                             std::to_string(at.y() * kTwipsPerPixel) + "||" +
                             std::to_string(size.width() * kTwipsPerPixel) + "||" +
                             std::to_string(size.height() * kTwipsPerPixel);
    modGlobalFunctions::SetObjectFieldValue(modGlobalVariables::LocalUser, kAccountUIDField,
                                            modGlobalVariables::CurrentLocalUserUID, field, text,
                                            true);
    return {};
  } catch (...) {
    raiseAgain("modGloFunctionsUI.GetSetFormSetting");
  }
}

void InitFormGeometry(FormScreenState& state, bool force) {
  if (state.IsInitialized && !force) return;
  const bool hidden = state.WindowsHidden;
  state = FormScreenState{};
  state.WindowsHidden = hidden;
  state.IsInitialized = true;
  state.IsScreenReady = true;
}

void InitializeFormScreen(QWidget* form, FormScreenState& state, bool& firstTime,
                          SubclassRecord& record, int32_t width, int32_t height, int32_t minWidth,
                          int32_t minHeight, bool reset, int32_t left, int32_t top) {
  if (!firstTime && state.IsScreenInitialized && !reset) return;
  firstTime = !state.IsScreenInitialized || firstTime;
  state.IsScreenInitialized = true;
  state.IsScreenReady = false;
  InitializeCurrentFormScreen(form, record, width, height, minWidth, minHeight, reset, left, top);
  state.IsScreenReady = true;
}

void InitializeCurrentFormScreen(QWidget* form, SubclassRecord& record, int32_t width,
                                 int32_t height, int32_t minWidth, int32_t minHeight, bool reset,
                                 int32_t left, int32_t top) {
  try {
    record = {width, height, minWidth, minHeight};
    form->setMinimumSize(neededMinimum(form, minWidth, minHeight));
    ApplyFormScreenSetting(form, width, height, reset, left, top);
  } catch (...) {
    raiseAgain("modGloFunctionsUI.InitializeCurrentFormScreen");
  }
}

void ApplyFormScreenSetting(QWidget* form, int32_t width, int32_t height, bool reset, int32_t left,
                            int32_t top) {
  bool useDefault = true;
  if (!reset) {
    const std::string saved = GetSetFormSetting(form, false);
    const std::vector<std::string> parts = modGenFunctionsString::splitText(saved, "||");
    if (!saved.empty() && parts.size() == 4) {
      std::vector<int> numbers;
      for (const std::string& part : parts) {
        if (const auto number = twipsNumber(part)) numbers.push_back(*number / kTwipsPerPixel);
      }
      if (numbers.size() == 4) {
        const QRect placed = onVisibleScreen(QRect(numbers[0], numbers[1], numbers[2], numbers[3]));
        form->resize(placed.size());
        form->move(placed.topLeft());
        useDefault = false;
      }
    }
    if (form->isMinimized() || form->isMaximized()) form->showNormal();
  }
  if (useDefault) {
    form->resize(neededDefault(form, width, height));
    if (left == -1 || top == -1) {
      const QRect area = availableArea();
      const QSize outer = form->size() + frameSize(form);
      form->move(area.left() + (area.width() - outer.width()) / 2,
                 area.top() + (area.height() - outer.height()) / 2);
    } else {
      form->move(left / kTwipsPerPixel, top / kTwipsPerPixel);
    }
  }
  if (modLocalUserFunctions::LocalUserOptions.AlwaysOnTop) {
    modGenFunctionsUI::SetFormsTopmost(modGenFunctionsUI::kHwndTopmost, form);
  }
}

void SetAllFormsWindowState(QWidget* form, bool hide) {
  if (form == nullptr) return;
  if (LastActiveFormName.empty()) LastActiveFormName = form->objectName().toStdString();
  AppScreenState.WindowsHidden = hide;
  if (hide) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (!window->isVisible() || isNeverShown(window)) continue;
      hiddenWindows.emplace_back(window);
      window->hide();
    }
  } else {
    std::vector<QPointer<QWidget>> toShow;
    toShow.swap(hiddenWindows);
    toShow.emplace_back(form);
    QWidget* focus = form;
    for (const QPointer<QWidget>& window : toShow) {
      if (window == nullptr) continue;
      window->show();
      if (window->objectName().compare(QString::fromStdString(LastActiveFormName),
                                       Qt::CaseInsensitive) == 0) {
        focus = window;
      }
    }
    focus->raise();
    focus->activateWindow();
    LastActiveFormName.clear();
  }
  if (menuStateHandler) menuStateHandler();
}

QPushButton* closeAllWindowsButton(QWidget* window) {
  auto* button = new QPushButton("Close all &windows", window);
  button->setObjectName("cmdCloseAll");
  QObject::connect(button, &QPushButton::clicked, window, [window] {
    try {
      SetAllFormsWindowState(window, true);
    } catch (...) {
      endError((window->objectName().toStdString() + ".cmdCloseAll_Click").c_str());
    }
  });
  return button;
}

WindowPlacement::WindowPlacement(QWidget* window, int32_t width, int32_t height, int32_t minWidth,
                                 int32_t minHeight)
    : QObject(window),
      window_(window),
      width_(width),
      height_(height),
      minWidth_(minWidth),
      minHeight_(minHeight) {
  InitFormGeometry(state_, true);
  window->installEventFilter(this);
}

bool WindowPlacement::eventFilter(QObject* watched, QEvent* event) {
  if (watched != window_) return false;
  if (event->type() == QEvent::KeyPress && qobject_cast<QDialog*>(window_) == nullptr &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    window_->close();
    return true;
  }
  try {
    if (event->type() == QEvent::Show && !state_.IsScreenInitialized) {
      bool firstTime = false;
      InitializeFormScreen(window_, state_, firstTime, record_, width_, height_, minWidth_,
                           minHeight_, false);
    } else if (event->type() == QEvent::Hide && state_.IsScreenReady && !state_.IsLoading) {
      GetSetFormSetting(window_, true);
    }
  } catch (...) {
    endError("modGloFunctionsUI.WindowPlacement");
  }
  return false;
}

}  // namespace modGloFunctionsUI
