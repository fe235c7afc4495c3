#include "TestDisplay.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace {

constexpr int kServerStartMs = 15000;
constexpr int kToolMs = 15000;

bool claimed(int number) {
  return QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(number)) ||
         QFileInfo::exists(QString("/tmp/.X%1-lock").arg(number));
}

}  // namespace

TestDisplay::~TestDisplay() { server_.stop(); }

QString TestDisplay::missingProgram(const QStringList& programs) {
  for (const QString& program : programs) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return program;
  }
  return {};
}

bool TestDisplay::start(int first, int last, const QSize& screen) {
  for (int n = first; n <= last; ++n) {
    if (claimed(n)) continue;
    // Xvfb writes the display number to its standard output once it
    // accepts clients.
    QStringList arguments = {QString(":%1").arg(n), "-nolisten", "tcp", "-noreset", "-displayfd", "1"};
    if (!screen.isEmpty()) {
      arguments << "-screen" << "0" << QString("%1x%2x24").arg(screen.width()).arg(screen.height());
    }
    server_.start("Xvfb", arguments, QProcessEnvironment::systemEnvironment());
    if (server_.waitFor("\n", kServerStartMs) &&
        QString::fromStdString(server_.out).trimmed() == QString::number(n)) {
      name_ = QString(":%1").arg(n);
      return true;
    }
    server_.stop();  // lost the display to another server starting at the same moment
  }
  return false;
}

QProcessEnvironment TestDisplay::environment() const { return drawingEnvironment(name_); }

TestDisplay::Result TestDisplay::run(const QString& program, const QStringList& arguments,
                                     int milliseconds) const {
  ChildProcess child;
  child.start(program, arguments, environment());
  Result result;
  if (child.process.waitForFinished(milliseconds) &&
      child.process.exitStatus() == QProcess::NormalExit) {
    result.exitCode = child.process.exitCode();
  }
  child.kill();
  result.out = QString::fromStdString(child.read()).trimmed();
  result.errors = child.errors();
  return result;
}

QRect TestDisplay::geometry(const QString& window) const {
  QRect rect;
  for (const QString& line :
       run("xdotool", {"getwindowgeometry", "--shell", window}, kToolMs).out.split('\n')) {
    const int value = line.section('=', 1).toInt();
    const QString name = line.section('=', 0, 0);
    if (name == "X") rect.moveLeft(value);
    if (name == "Y") rect.moveTop(value);
    if (name == "WIDTH") rect.setWidth(value);
    if (name == "HEIGHT") rect.setHeight(value);
  }
  return rect;
}

bool TestDisplay::place(const QString& window, const QRect& where, int milliseconds) const {
  run("xdotool",
      {"windowsize", "--sync", window, QString::number(where.width()),
       QString::number(where.height())},
      kToolMs);
  run("xdotool",
      {"windowmove", "--sync", window, QString::number(where.x()), QString::number(where.y())},
      kToolMs);
  return waitUntil([&] { return geometry(window) == where; }, milliseconds, 20);
}
