#pragma once
// frmMessageBoard: the small window that scrolls the received messages not
// yet opened, one after the other. Items wait in a pending list of
// "kind||identifier" texts; only kind 4 (a received message, by UID) is
// shown, and only while that message is still unopened ("ST" 60 or -1).
// A click on the board opens the message shown.
//
// The unopened messages found at start-up are queued as the backlog, which
// keeps its order and pace; an item queued later is shown before the rest of
// the backlog, as soon as the message scrolling ends.
//
// Owned by the main window; UI thread only.
#include <QWidget>
#include <deque>
#include <functional>
#include <string>

#include "TimerControl.h"

class QLabel;

class frmMessageBoard : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kScrollIntervalMs = 40;
  static constexpr int kScrollStepPixels = 2;

  explicit frmMessageBoard(QWidget* parent = nullptr);

  // Queues an item and, unless a message is scrolling, shows the next one.
  void AddBoardItem(int32_t kind, const std::string& identifier);
  // Runs `queueBacklog`, whose AddBoardItem calls queue the backlog.
  void ReplayBacklog(const std::function<void()>& queueBacklog);
  // Places the board at the right of the screen, a fifth of its width wide.
  void LayoutBoard();
  // The UID of the message shown, "" when none.
  const std::string& ShownMessage() const { return shownUID_; }
  std::size_t PendingCount() const { return pending_.size() + backlog_.size(); }
  // Called with the UID of the message the person clicked.
  void SetOpenHandler(std::function<void(const std::string&)> open) { open_ = std::move(open); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void ShowNext();
  void Scroll();
  // The board text of a received message still unopened, else "".
  static std::string BoardText(const std::string& uid);

  // The items that came after the backlog, shown first.
  std::deque<std::string> pending_;
  std::deque<std::string> backlog_;
  bool queuingBacklog_ = false;
  std::string shownUID_;
  QLabel* text_ = nullptr;
  int offset_ = 0;
  platform::TimerControl tmrScroll_;
  std::function<void(const std::string&)> open_;
};
