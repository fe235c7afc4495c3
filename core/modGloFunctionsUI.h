#pragma once
// modGloFunctionsUI: where each window opens, how small it may get, and
// hiding or restoring all windows at once.
//
// Each window's placement is kept per local account in one field of the
// account row, as the text Left||Top||Width||Height in twips (15 twips to a
// pixel), when the account's option SaveWindowsSetting is on. A window
// applies its placement once per instance, when it is first shown (a saved
// placement is pulled back onto a visible screen), or else opens at its
// default size, centred; it saves the placement when it is hidden or closed
// (never while it is being resized), unless minimised or maximised. The
// window's object name picks the field (kPlacementFields).
//
// No window gets smaller than its layout needs to show every control
// whole: its minimum size is the larger of the one given and its layout's,
// and its default size the largest of the one given, the size the window
// gave itself before it was first shown and its layout's preferred size
// (within the screen).
//
// WindowPlacement wires all of that into a window with one call. Needs the
// record globals; reading and writing need a logged-in account (nothing
// happens without one). Errors are reported under "modGloFunctionsUI.<name>"
// and raised again, but for the placement's own event handling, which
// reports and goes on. UI thread only.
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>

class QPushButton;
class QWidget;

namespace modGloFunctionsUI {

// A window's state record (AppScreenState is the program's own).
struct FormScreenState {
  bool WindowsHidden = false;        // AppScreenState only: all windows are hidden
  bool IsScreenInitialized = false;  // the placement was applied to this instance
  bool IsLoading = false;            // the placement is not saved meanwhile
  bool IsScreenReady = false;        // false while the placement is being applied
  bool IsInitialized = false;
};

// The sizes of a window, in twips.
struct SubclassRecord {
  int32_t DefaultWidth = 0;
  int32_t DefaultHeight = 0;
  int32_t MinimumWidth = 0;
  int32_t MinimumHeight = 0;
};

extern FormScreenState AppScreenState;
// The window from which all windows were hidden ("" when none).
extern std::string LastActiveFormName;

// Called last by SetAllFormsWindowState (the main window's menu update).
void SetMenuStateHandler(std::function<void()> handler);

// The saved placement of `form` when reading, "" when writing. Nothing when
// SaveWindowsSetting is off or nobody is logged in. A window name without a
// field shows "Error : form not defined 436gf5gd".
std::string GetSetFormSetting(QWidget* form, bool write);
void InitFormGeometry(FormScreenState& state, bool force);
// Applies the placement when this instance has not had it yet, or with
// reset; firstTime tells the caller whether it was the first time.
void InitializeFormScreen(QWidget* form, FormScreenState& state, bool& firstTime,
                          SubclassRecord& record, int32_t width, int32_t height, int32_t minWidth,
                          int32_t minHeight, bool reset, int32_t left = -1, int32_t top = -1);
// Records the sizes, sets the minimum size and applies the placement.
void InitializeCurrentFormScreen(QWidget* form, SubclassRecord& record, int32_t width,
                                 int32_t height, int32_t minWidth, int32_t minHeight, bool reset,
                                 int32_t left = -1, int32_t top = -1);
// The saved placement (unless reset), else the size given at (left, top),
// centred when either is -1; the always-on-top option is then applied.
void ApplyFormScreenSetting(QWidget* form, int32_t width, int32_t height, bool reset,
                            int32_t left = -1, int32_t top = -1);
// hide: hides every open window (not the start-up window, nor the stand-in
// of the notification-area icon). Otherwise shows again the windows that
// the last hide hid (only those) and the given window, and gives the focus
// to the window the hide was started from.
void SetAllFormsWindowState(QWidget* form, bool hide);
// The button of `window` that hides all windows ("Close all &windows").
QPushButton* closeAllWindowsButton(QWidget* window);

// Placement of one window: applied at its first show, saved when it hides.
// Escape closes a window that is no dialog (dialogs cancel on it already).
class WindowPlacement : public QObject {
 public:
  // Sizes in twips.
  WindowPlacement(QWidget* window, int32_t width, int32_t height, int32_t minWidth,
                  int32_t minHeight);
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<QWidget> window_;
  FormScreenState state_;
  SubclassRecord record_;
  int32_t width_, height_, minWidth_, minHeight_;
};

}  // namespace modGloFunctionsUI
