#pragma once
// The program's one message box. The program shows a modal Qt dialog owned
// by the given window, placed once it has its final size: centred on the
// owner when it is shown, else on the window the person works in, else on
// the screen, and always wholly on the screen. Tests install a responder
// that records each box and answers as told, so no dialog ever blocks a
// test run.
//
// Work that no person started (what a socket or timer event sets off) runs
// inside an UnattendedScope. There no box is shown and no nested event loop
// runs: the box is handed to the notice sink instead and answered with its
// safe button (OK, Cancel or No). The scope follows the call stack, so work a
// person started is never taken for unattended work, nor the reverse.
#include <functional>
#include <string>

#include <QRect>

class QScreen;
class QWidget;

namespace platform {

// Button and icon flags, and the pressed-button results, as callers pass them.
enum MessageBoxFlag : int {
  kMbOkOnly = 0,
  kMbOkCancel = 1,
  kMbYesNoCancel = 3,
  kMbYesNo = 4,
  kMbCritical = 16,
  kMbQuestion = 32,
  kMbExclamation = 48,
  kMbInformation = 64,
  kMbDefaultButton2 = 256,  // Enter presses the second button (No, Cancel)
};
enum MessageBoxResult : int {
  kMbResultOk = 1,
  kMbResultCancel = 2,
  kMbResultYes = 6,
  kMbResultNo = 7,
};

struct MessageBoxRequest {
  std::string text;
  int flags = 0;
  std::string title;
};

using MessageBoxResponder = std::function<int(const MessageBoxRequest&)>;

// Shows a box and returns the pressed button. `owner` is a QWidget* or null.
int showMessageBox(const std::string& text, int flags, const std::string& title,
                   void* owner = nullptr);

// The available area of `screen` (null: nothing) that a window may fill
// without passing its edge by a pixel of the screen: at a fractional scale
// the logical size is rounded up and would.
QRect usableScreenArea(const QScreen* screen);

// Moves `window` (at its current size) to the middle of `over`, or of the
// screen when `over` is null or hidden, then into the screen's available
// area. Also used for dialogs that open before any window is shown.
void centreWindow(QWidget* window, const QWidget* over);

// Replaces the dialog by `responder` until reset with an empty function.
void setMessageBoxResponder(MessageBoxResponder responder);

// Marks the work done during its life as unattended. Scopes nest.
class UnattendedScope {
 public:
  UnattendedScope();
  ~UnattendedScope();
  UnattendedScope(const UnattendedScope&) = delete;
  UnattendedScope& operator=(const UnattendedScope&) = delete;
};

// Whether the current work runs inside an UnattendedScope.
bool isUnattended();

// Where the boxes of unattended work go; without one they are written to
// standard error.
using NoticeSink = std::function<void(const MessageBoxRequest&)>;
void setNoticeSink(NoticeSink sink);

// A responder for a program that nobody watches: it writes each box to
// standard error, headed by `program`, and answers with the safe button
// (OK, Cancel or No).
MessageBoxResponder unattendedResponder(std::string program);

}  // namespace platform
