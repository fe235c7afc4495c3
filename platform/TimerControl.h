#pragma once
// TimerControl: a window's timer control. It ticks every `interval`
// milliseconds while it is enabled and its interval is above 0. Enabling an
// enabled timer changes nothing; a new interval, or disabling and enabling
// again, starts a full interval from that moment. An interval of
// kNextTurnMs or less ticks first at the next turn of the event loop,
// without waiting for the clock, and then every kNextTurnMs while it stays
// enabled. `tag` is free text for the owner (several timers keep their
// state there).
//
// A tick runs unattended (no message box, see MessageBox.h). No exception
// leaves a tick: handlers trap their own errors, and one that escapes is
// dropped here. NextTurn is the one way to run other work at the next turn
// of the event loop, and runs it as a tick. UI thread only.
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class TimerControl : public QObject {
  Q_OBJECT

 public:
  static constexpr int kNextTurnMs = 1;

  explicit TimerControl(QObject* parent = nullptr);

  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  int interval() const { return interval_; }
  // Milliseconds; values below 0 count as 0 (never ticks).
  void setInterval(int milliseconds);
  const std::string& tag() const { return tag_; }
  void setTag(std::string tag) { tag_ = std::move(tag); }

  // Runs `work` once at the next turn of the event loop, unattended and with
  // its escaping errors dropped, unless `context` is gone by then.
  static void NextTurn(QObject* context, std::function<void()> work);

 signals:
  void tick();

 private:
  void restart();
  void tickAtNextTurn();
  void onTimeout();

  QTimer timer_;
  bool enabled_ = false;
  int interval_ = 0;
  // Counts restarts, so that a next-turn tick armed before one is passed over.
  std::uint64_t armed_ = 0;
  std::string tag_;
};

}  // namespace platform
