#include "TimerControl.h"

#include <QtGlobal>

#include "MessageBox.h"

namespace platform {

TimerControl::TimerControl(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &TimerControl::onTimeout);
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
  if (enabled_ && interval_ > 0) timer_.start(interval_);
}

void TimerControl::onTimeout() {
  const UnattendedScope unattended;
  try {
    emit tick();
  } catch (...) {
    qWarning("TimerControl: an error escaped a timer handler and was dropped");
  }
}

}  // namespace platform
