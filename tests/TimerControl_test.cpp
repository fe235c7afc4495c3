#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <stdexcept>

#include "TimerControl.h"

using platform::TimerControl;

TEST(TimerControl, TicksOnlyWhileEnabledWithAnInterval) {
  TimerControl timer;
  QSignalSpy ticks(&timer, &TimerControl::tick);
  timer.setInterval(1);
  EXPECT_FALSE(ticks.wait(30));  // not enabled
  timer.setInterval(0);
  timer.setEnabled(true);
  EXPECT_FALSE(ticks.wait(30));  // interval 0 never ticks
  timer.setInterval(1);
  EXPECT_TRUE(ticks.wait(5000));
  timer.setEnabled(false);
  ticks.clear();
  EXPECT_FALSE(ticks.wait(30));
  timer.setInterval(-5);
  EXPECT_EQ(timer.interval(), 0);
}

TEST(TimerControl, KeepsItsTagAndSurvivesAFailingHandler) {
  TimerControl timer;
  timer.setTag("60||0");
  EXPECT_EQ(timer.tag(), "60||0");
  QSignalSpy ticks(&timer, &TimerControl::tick);
  int calls = 0;
  QObject::connect(&timer, &TimerControl::tick, [&] {
    ++calls;
    throw std::runtime_error("handler failed");
  });
  timer.setInterval(1);
  timer.setEnabled(true);
  ASSERT_TRUE(ticks.wait(5000));
  EXPECT_TRUE(ticks.wait(5000));  // still ticking after the failure
  EXPECT_GE(calls, 2);
}

// A timer of 1 ms or less ticks at the next turn of the event loop once it
// is armed, and after that by its clock: however fast the loop turns, never
// more than once a millisecond.
TEST(TimerControl, TheNextTurnTickComesOnceAndTheClockGoesOn) {
  TimerControl timer;
  int ticks = 0;
  QObject::connect(&timer, &TimerControl::tick, [&] { ++ticks; });
  timer.setInterval(TimerControl::kNextTurnMs);
  timer.setEnabled(true);
  QCoreApplication::processEvents();
  EXPECT_EQ(ticks, 1) << "the first tick comes at the next turn";
  QElapsedTimer clock;
  clock.start();
  ticks = 0;
  for (int turn = 0; turn < 2000; ++turn) QCoreApplication::processEvents();
  EXPECT_LE(ticks, clock.elapsed() + 1) << "one tick a millisecond at the most";
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 2; }, 5000)) << "the clock goes on";
  timer.setEnabled(false);
  ticks = 0;
  for (int turn = 0; turn < 100; ++turn) QCoreApplication::processEvents();
  EXPECT_EQ(ticks, 0);
}
