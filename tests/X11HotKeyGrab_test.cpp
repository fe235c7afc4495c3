// The hot-key grab on a real X server: each case starts its own Xvfb, runs
// hotkey_probe instances on it as separate X clients and presses keys with
// xdotool, as a person at that desktop would.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <memory>

namespace {

constexpr int kFirstDisplay = 90;
constexpr int kLastDisplay = 140;
constexpr int kStartMilliseconds = 10000;
// Longer than the probe's own wait for the hot key.
constexpr int kProbeMilliseconds = 15000;

// Stops a child process whatever state it is in.
void stop(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(3000)) {
    process.kill();
    process.waitForFinished(3000);
  }
}

// Reads the process's stdout until `word` shows up or the process ends.
QString readUntil(QProcess& process, const QString& word, int milliseconds) {
  QString output;
  while (!output.contains(word) && process.state() != QProcess::NotRunning &&
         process.waitForReadyRead(milliseconds)) {
    output += QString::fromLocal8Bit(process.readAllStandardOutput());
  }
  return output + QString::fromLocal8Bit(process.readAllStandardOutput());
}

class X11HotKeyGrabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) GTEST_SKIP() << "Xvfb is not installed";
    if (QStandardPaths::findExecutable("xdotool").isEmpty()) GTEST_SKIP() << "xdotool is not installed";
    probePath_ = qEnvironmentVariable("TAVINOR_TEST_BINARY_DIR") + "/tests/hotkey_probe";
    ASSERT_TRUE(QFileInfo(probePath_).isExecutable()) << probePath_.toStdString();
    ASSERT_TRUE(startServer()) << "no Xvfb display could be started from :" << kFirstDisplay;
  }

  void TearDown() override {
    for (auto& probe : probes_) stop(*probe);
    stop(server_);
  }

  // Tries the displays from kFirstDisplay up that no other server claims;
  // Xvfb writes the display number to its stdout once it accepts clients.
  bool startServer() {
    for (int n = kFirstDisplay; n <= kLastDisplay; ++n) {
      const bool claimed = QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
                           QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n));
      if (claimed) continue;
      server_.start("Xvfb", {QString(":%1").arg(n), "-nolisten", "tcp", "-noreset", "-displayfd", "1"});
      if (readUntil(server_, "\n", kStartMilliseconds).trimmed() == QString::number(n)) {
        display_ = QString(":%1").arg(n);
        return true;
      }
      stop(server_);  // lost the display to another server starting at the same moment
    }
    return false;
  }

  QProcessEnvironment displayEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
  }

  QProcess& startProbe(const QStringList& arguments = {}) {
    probes_.push_back(std::make_unique<QProcess>());
    QProcess& probe = *probes_.back();
    probe.setProcessEnvironment(displayEnvironment());
    probe.start(probePath_, arguments);
    return probe;
  }

  // Presses keys on the display as a person would (xdotool key syntax).
  void pressKeys(const QStringList& keys) {
    QProcess xdotool;
    xdotool.setProcessEnvironment(displayEnvironment());
    xdotool.start("xdotool", QStringList{"key"} + keys);
    ASSERT_TRUE(xdotool.waitForFinished(kStartMilliseconds));
    ASSERT_EQ(xdotool.exitCode(), 0) << xdotool.readAllStandardError().toStdString();
  }

  // The probe's remaining output once it has ended.
  static QString finish(QProcess& probe) {
    probe.waitForFinished(kProbeMilliseconds);
    return QString::fromLocal8Bit(probe.readAllStandardOutput());
  }

  QString probePath_;
  QString display_;
  QProcess server_;
  std::vector<std::unique_ptr<QProcess>> probes_;
};

TEST_F(X11HotKeyGrabTest, GrabbedKeyPressReachesTheHolderWhateverTheLocks) {
  QProcess& plain = startProbe();
  ASSERT_TRUE(readUntil(plain, "registered", kProbeMilliseconds).contains("registered"))
      << plain.readAllStandardError().toStdString();
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finish(plain).contains("hotkey"));
  EXPECT_EQ(plain.exitCode(), 0);

  // With NumLock and CapsLock on, the server reports extra modifier bits.
  pressKeys({"Num_Lock", "Caps_Lock"});
  QProcess& locked = startProbe();
  ASSERT_TRUE(readUntil(locked, "registered", kProbeMilliseconds).contains("registered"));
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finish(locked).contains("hotkey"));
  EXPECT_EQ(locked.exitCode(), 0);
}

TEST_F(X11HotKeyGrabTest, CombinationHeldByAnotherProgramIsRefused) {
  QProcess& holder = startProbe();
  ASSERT_TRUE(readUntil(holder, "registered", kProbeMilliseconds).contains("registered"));

  QProcess& latecomer = startProbe();
  EXPECT_TRUE(finish(latecomer).contains("refused"));
  EXPECT_EQ(latecomer.exitCode(), 1);

  // The refused attempt leaves the holder's grab in place.
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finish(holder).contains("hotkey"));
  EXPECT_EQ(holder.exitCode(), 0);
}

TEST_F(X11HotKeyGrabTest, UnregisteringOrClosingTheWindowReleasesTheCombination) {
  for (const QString mode : {"release", "drop"}) {
    SCOPED_TRACE(mode.toStdString());
    QProcess& former = startProbe({mode});
    ASSERT_TRUE(readUntil(former, "released", kProbeMilliseconds).contains("released"));

    QProcess& next = startProbe();
    ASSERT_TRUE(readUntil(next, "registered", kProbeMilliseconds).contains("registered"));
    pressKeys({"ctrl+alt+m"});
    EXPECT_TRUE(finish(next).contains("hotkey"));
    EXPECT_EQ(next.exitCode(), 0);

    // The former holder is still running and heard nothing.
    EXPECT_EQ(former.state(), QProcess::Running);
    EXPECT_FALSE(QString::fromLocal8Bit(former.readAllStandardOutput()).contains("hotkey"));
  }
}

}  // namespace
