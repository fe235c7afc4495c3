#include "ChildProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int kKillWaitMs = 5000;
constexpr int kTermWaitMs = 3000;

}  // namespace

bool waitUntil(const std::function<bool()>& done, int milliseconds, int pauseMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(static_cast<unsigned long>(pauseMs));
  }
  return true;
}

QString builtProgram(const QString& relativePath) {
  return qEnvironmentVariable("TAVINOR_TEST_BINARY_DIR") + "/" + relativePath;
}

QProcessEnvironment drawingEnvironment(const QString& display) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (display.isEmpty()) {
    env.insert("QT_QPA_PLATFORM", "offscreen");
  } else {
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", display);
  }
  return env;
}

QProcessEnvironment copyEnvironment(const QString& root, const QString& address,
                                    const QString& display) {
  QProcessEnvironment env = drawingEnvironment(display);
  env.insert("TAVINOR_DATA_ROOT", root + "/data");
  env.insert("TAVINOR_BIND_ADDRESS", address);
  env.insert("HOME", root + "/home");
  env.insert("XDG_CONFIG_HOME", root + "/home/.config");
  env.insert("TAVINOR_REGISTRY_FILE", root + "/registry.json");
  return env;
}

void ChildProcess::start(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment) {
  process.setProcessEnvironment(environment);
  out.clear();
  process.start(program, arguments);
}

const std::string& ChildProcess::read() {
  out += process.readAllStandardOutput().toStdString();
  return out;
}

bool ChildProcess::said(const std::string& text) { return read().find(text) != std::string::npos; }

bool ChildProcess::waitFor(const std::string& text, int milliseconds) {
  return waitUntil([&] { return said(text) || process.state() == QProcess::NotRunning; },
                   milliseconds) &&
         said(text);
}

std::string ChildProcess::lastValue(const std::string& key) {
  const std::string& all = read();
  const std::string start = key + " ";
  std::string value;
  for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    if (all.compare(at, start.size(), start) == 0) {
      value = all.substr(at + start.size(), end - at - start.size());
    }
  }
  return value;
}

void ChildProcess::tell(const std::string& line) { process.write((line + "\n").c_str()); }

std::string ChildProcess::errors() { return process.readAllStandardError().toStdString(); }

void ChildProcess::kill() {
  if (process.state() == QProcess::NotRunning) return;
  process.kill();
  process.waitForFinished(kKillWaitMs);
}

void ChildProcess::stop() {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(kTermWaitMs)) kill();
}
