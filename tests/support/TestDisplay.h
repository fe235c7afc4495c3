#pragma once
// TestDisplay: an X server (Xvfb) of the test's own, on the first display
// number of a range that no other server claims, so that suites running at
// the same time do not meet. Programs run on it as separate X clients. The
// server ends when the object does; callers end their own clients first.
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include "ChildProcess.h"

class TestDisplay {
 public:
  // What a program run on the display left behind.
  struct Result {
    int exitCode = -1;  // -1 when it did not end by itself in time
    QString out;        // its standard output, trimmed
    std::string errors;
  };

  TestDisplay() = default;
  ~TestDisplay();
  TestDisplay(const TestDisplay&) = delete;
  TestDisplay& operator=(const TestDisplay&) = delete;

  // The first of `programs` that is not on the PATH, "" when all are.
  static QString missingProgram(const QStringList& programs);

  // Starts the server on a free display from :first to :last, with a
  // screen of `screen` pixels (Xvfb's own size when empty); false when none
  // could be had.
  bool start(int first, int last, const QSize& screen = {});
  // ":N" once started.
  const QString& name() const { return name_; }
  // This process's environment with Qt drawing on the display.
  QProcessEnvironment environment() const;
  // Runs `program` on the display until it ends, killing it after
  // `milliseconds`.
  Result run(const QString& program, const QStringList& arguments, int milliseconds) const;
  // Where the window is on the screen, as the X server has it.
  QRect geometry(const QString& window) const;
  // Sizes and moves the window to `where` with xdotool; false when the X
  // server does not have it there within `milliseconds`.
  bool place(const QString& window, const QRect& where, int milliseconds) const;

 private:
  ChildProcess server_;
  QString name_;
};
