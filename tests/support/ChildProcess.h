#pragma once
// ChildProcess: a program that an end-to-end test runs as a separate process
// and talks to through its standard input and output (the helper programs,
// the program itself, an X server). It keeps everything the child printed
// since its last start. Waiting lets the test's events in, so scripted
// peers, relays and sockets of the test keep working meanwhile.
//
// Callers own the object for the child's whole life and end it in their
// teardown (kill() or stop()), so a failing test leaves no child behind.
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

// Runs the test's events until `done` holds or `milliseconds` pass, resting
// `pauseMs` between checks; false when the time ran out.
bool waitUntil(const std::function<bool()>& done, int milliseconds, int pauseMs = 2);

// A program of this build: <build folder>/<relativePath>.
QString builtProgram(const QString& relativePath);

// This process's environment with Qt drawing on the X display `display`,
// offscreen when it is "".
QProcessEnvironment drawingEnvironment(const QString& display);

// drawingEnvironment(display) for one copy of the program whose folders are
// below `root`: data folder root/data, home root/home (its configuration in
// root/home/.config), registry file root/registry.json, bound to `address`.
QProcessEnvironment copyEnvironment(const QString& root, const QString& address,
                                    const QString& display = {});

struct ChildProcess {
  QProcess process;
  std::string out;  // its standard output since the last start

  void start(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment);
  // Takes in what it printed since; everything it printed.
  const std::string& read();
  bool said(const std::string& text);
  // Lets events in until it has printed `text` or has ended; true when it
  // printed it.
  bool waitFor(const std::string& text, int milliseconds);
  // The rest of the last complete line it printed that begins with
  // "`key` ", "" when there is none.
  std::string lastValue(const std::string& key);
  // Writes `line` and a line end to its standard input.
  void tell(const std::string& line);
  // Its standard error since the last look.
  std::string errors();
  // SIGKILL, then waits for the end.
  void kill();
  // SIGTERM, so that it ends through its normal shut-down; SIGKILL when it
  // has not ended 3 s later.
  void stop();
};
