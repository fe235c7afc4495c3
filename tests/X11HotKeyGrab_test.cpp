// The hot-key grab on a real X server: each case starts its own Xvfb, runs
// hotkey_probe instances on it as separate X clients and presses keys with
// xdotool, as a person at that desktop would.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QStringList>
#include <memory>
#include <vector>

#include "ChildProcess.h"
#include "TestDisplay.h"

namespace {

constexpr int kFirstDisplay = 90;
constexpr int kLastDisplay = 140;
constexpr int kStartMilliseconds = 10000;
// Longer than the probe's own wait for the hot key.
constexpr int kProbeMilliseconds = 15000;

class X11HotKeyGrabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString missing = TestDisplay::missingProgram({"Xvfb", "xdotool"});
    if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString() << " is not installed";
    probePath_ = builtProgram("tests/hotkey_probe");
    ASSERT_TRUE(QFileInfo(probePath_).isExecutable()) << probePath_.toStdString();
    ASSERT_TRUE(display_.start(kFirstDisplay, kLastDisplay))
        << "no Xvfb display could be started from :" << kFirstDisplay;
  }

  void TearDown() override {
    for (auto& probe : probes_) probe->stop();
  }

  ChildProcess& startProbe(const QStringList& arguments = {}) {
    probes_.push_back(std::make_unique<ChildProcess>());
    ChildProcess& probe = *probes_.back();
    probe.start(probePath_, arguments, display_.environment());
    return probe;
  }

  // Presses keys on the display as a person would (xdotool key syntax).
  void pressKeys(const QStringList& keys) {
    const TestDisplay::Result xdotool =
        display_.run("xdotool", QStringList{"key"} + keys, kStartMilliseconds);
    ASSERT_EQ(xdotool.exitCode, 0) << xdotool.errors;
  }

  // The probe once it has ended, with all it printed read in.
  static ChildProcess& finished(ChildProcess& probe) {
    probe.process.waitForFinished(kProbeMilliseconds);
    probe.read();
    return probe;
  }

  QString probePath_;
  TestDisplay display_;
  std::vector<std::unique_ptr<ChildProcess>> probes_;
};

TEST_F(X11HotKeyGrabTest, GrabbedKeyPressReachesTheHolderWhateverTheLocks) {
  ChildProcess& plain = startProbe();
  ASSERT_TRUE(plain.waitFor("registered", kProbeMilliseconds)) << plain.errors();
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finished(plain).said("hotkey"));
  EXPECT_EQ(plain.process.exitCode(), 0);

  // With NumLock and CapsLock on, the server reports extra modifier bits.
  pressKeys({"Num_Lock", "Caps_Lock"});
  ChildProcess& locked = startProbe();
  ASSERT_TRUE(locked.waitFor("registered", kProbeMilliseconds));
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finished(locked).said("hotkey"));
  EXPECT_EQ(locked.process.exitCode(), 0);
}

TEST_F(X11HotKeyGrabTest, CombinationHeldByAnotherProgramIsRefused) {
  ChildProcess& holder = startProbe();
  ASSERT_TRUE(holder.waitFor("registered", kProbeMilliseconds));

  ChildProcess& latecomer = startProbe();
  EXPECT_TRUE(finished(latecomer).said("refused"));
  EXPECT_EQ(latecomer.process.exitCode(), 1);

  // The refused attempt leaves the holder's grab in place.
  pressKeys({"ctrl+alt+m"});
  EXPECT_TRUE(finished(holder).said("hotkey"));
  EXPECT_EQ(holder.process.exitCode(), 0);
}

TEST_F(X11HotKeyGrabTest, UnregisteringOrClosingTheWindowReleasesTheCombination) {
  for (const QString mode : {"release", "drop"}) {
    SCOPED_TRACE(mode.toStdString());
    ChildProcess& former = startProbe({mode});
    ASSERT_TRUE(former.waitFor("released", kProbeMilliseconds));

    ChildProcess& next = startProbe();
    ASSERT_TRUE(next.waitFor("registered", kProbeMilliseconds));
    pressKeys({"ctrl+alt+m"});
    EXPECT_TRUE(finished(next).said("hotkey"));
    EXPECT_EQ(next.process.exitCode(), 0);

    // The former holder is still running and heard nothing.
    EXPECT_EQ(former.process.state(), QProcess::Running);
    EXPECT_FALSE(former.said("hotkey"));
  }
}

}  // namespace
