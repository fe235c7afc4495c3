#pragma once
// Driving the program's dialogs from a test.
//
// onNextModal<T>(action): runs `action` on the next modal dialog of type T
// once it is open (a modal dialog's exec() cannot be driven from the code
// that called it). The check runs from the event loop every few
// milliseconds; when no such dialog shows up after many tries the test
// fails and every open modal dialog is rejected, so nothing hangs.
//
// control<T>(dialog, name): the child widget of type T with that object
// name; the test fails (and null is returned) when there is none.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <functional>

template <typename T>
T* control(QWidget* dialog, const char* name) {
  T* found = dialog->findChild<T*>(name);
  EXPECT_NE(found, nullptr) << name;
  return found;
}

namespace modal_driver_detail {
inline constexpr int kPollMilliseconds = 5;
inline constexpr int kMaxTries = 4000;
}  // namespace modal_driver_detail

template <typename T>
void onNextModal(std::function<void(T*)> action, int triesLeft = modal_driver_detail::kMaxTries) {
  QTimer::singleShot(modal_driver_detail::kPollMilliseconds, [action, triesLeft] {
    T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog != nullptr && dialog->isVisible()) {
      action(dialog);
      return;
    }
    if (triesLeft > 0) {
      onNextModal<T>(action, triesLeft - 1);
      return;
    }
    ADD_FAILURE() << "the expected modal dialog " << T::staticMetaObject.className()
                  << " never opened";
    while (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) open->reject();
  });
}
