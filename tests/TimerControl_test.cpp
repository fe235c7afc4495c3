#include <gtest/gtest.h>

#include <QSignalSpy>
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
