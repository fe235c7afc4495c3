#pragma once
// The program's one message box. The program shows a modal Qt dialog; tests
// install a responder that records each box and answers as told, so no dialog
// ever blocks a test run.
#include <functional>
#include <string>

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

// Replaces the dialog by `responder` until reset with an empty function.
void setMessageBoxResponder(MessageBoxResponder responder);

// A responder for a program that nobody watches: it writes each box to
// standard error, headed by `program`, and answers with the safe button
// (OK, Cancel or No).
MessageBoxResponder unattendedResponder(std::string program);

}  // namespace platform
