#pragma once
// TimerControl: a window's timer control. It ticks every `interval`
// milliseconds while it is enabled and its interval is above 0. Enabling an
// enabled timer changes nothing; a new interval, or disabling and enabling
// again, starts a full interval from that moment. `tag` is free text for
// the owner (several timers keep their state there).
//
// A tick runs unattended (no message box, see MessageBox.h). No exception
// leaves a tick: handlers trap their own errors, and one that escapes is
// dropped here. UI thread only.
#include <QObject>
#include <QTimer>
#include <string>

namespace platform {

class TimerControl : public QObject {
  Q_OBJECT

 public:
  explicit TimerControl(QObject* parent = nullptr);

  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  int interval() const { return interval_; }
  // Milliseconds; values below 0 count as 0 (never ticks).
  void setInterval(int milliseconds);
  const std::string& tag() const { return tag_; }
  void setTag(std::string tag) { tag_ = std::move(tag); }

 signals:
  void tick();

 private:
  void restart();
  void onTimeout();

  QTimer timer_;
  bool enabled_ = false;
  int interval_ = 0;
  std::string tag_;
};

}  // namespace platform
