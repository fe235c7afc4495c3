#include "TimerControl.h"

#include <QtGlobal>

#include "MessageBox.h"

namespace platform {
namespace {

void runUnattended(const std::function<void()>& work) {
  const UnattendedScope unattended;
  try {
    work();
  } catch (...) {
    qWarning("TimerControl: an error escaped a timer handler and was dropped");
  }
}

}  // namespace

TimerControl::TimerControl(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &TimerControl::onTimeout);
}

void TimerControl::NextTurn(QObject* context, std::function<void()> work) {
  QMetaObject::invokeMethod(
      context, [work = std::move(work)] { runUnattended(work); }, Qt::QueuedConnection);
}

void TimerControl::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  restart();
}

void TimerControl::setInterval(int milliseconds) {
  interval_ = milliseconds < 0 ? 0 : milliseconds;
  restart();
}

void TimerControl::restart() {
  timer_.stop();
  ++armed_;
  if (!enabled_ || interval_ <= 0) return;
  if (interval_ > kNextTurnMs) {
    timer_.start(interval_);
  } else {
    tickAtNextTurn();
  }
}

// One tick at the next turn; a timer still enabled after it goes on by the
// clock, so that it never posts itself turn after turn.
void TimerControl::tickAtNextTurn() {
  NextTurn(this, [this, armed = armed_] {
    if (armed != armed_) return;
    // The clock starts first, so that a failing handler keeps the timer
    // going; a handler that disables or re-arms the timer stops it.
    timer_.start(kNextTurnMs);
    emit tick();
  });
}

void TimerControl::onTimeout() {
  runUnattended([this] { emit tick(); });
}

}  // namespace platform
