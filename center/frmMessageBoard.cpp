#include "frmMessageBoard.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "PoolLoan.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

using modGlobalVariables::kMessageSD;
using modGlobalVariables::kMessageST;
using modGlobalVariables::kMessageUID;

constexpr int32_t kReceivedMessage = 4;
constexpr int32_t kMessagePreview = 50501;
constexpr int32_t kUserFullName = 50001;

}  // namespace

frmMessageBoard::frmMessageBoard(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
  setObjectName("frmMessageBoard");
  setWindowTitle("Tavinor - Message board");
  text_ = new QLabel(this);
  text_->setObjectName("lblBoardText");
  text_->setTextFormat(Qt::PlainText);
  tmrScroll_.setInterval(kScrollIntervalMs);
  connect(&tmrScroll_, &platform::TimerControl::tick, this, [this] { Scroll(); });
}

void frmMessageBoard::AddBoardItem(int32_t kind, const std::string& identifier) {
  (queuingBacklog_ ? backlog_ : pending_).push_back(std::to_string(kind) + "||" + identifier);
  if (!tmrScroll_.enabled()) ShowNext();
}

void frmMessageBoard::ReplayBacklog(const std::function<void()>& queueBacklog) {
  queuingBacklog_ = true;
  try {
    queueBacklog();
  } catch (...) {
    queuingBacklog_ = false;
    throw;
  }
  queuingBacklog_ = false;
}

void frmMessageBoard::LayoutBoard() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  setGeometry(area.x() + static_cast<int>(area.width() * 0.77),
              area.y() + static_cast<int>(area.height() * 0.22),
              static_cast<int>(area.width() * 0.2), static_cast<int>(area.height() * 0.19));
}

std::string frmMessageBoard::BoardText(const std::string& uid) {
  PoolLoan received(modGlobalVariables::MessRec);
  received->PC_SelectSingleNode(kMessageUID, uid);
  if (!received->IsRowSelected()) return {};
  const std::string status = received->GetField(kMessageST);
  if (status != "60" && status != "-1") return {};
  std::string sender = modGlobalFunctions::GetObjectFieldValue(
      modGlobalVariables::User, 0, received->GetField(kMessageSD), kUserFullName, true);
  if (sender.find_first_not_of(' ') == std::string::npos) {
    sender = modGenFunctionsResource::GetResourceMessage(modGlobalFunctions::kMissingNameMessage);
  }
  return sender + ": " + received->GetField(kMessagePreview);
}

// Items that cannot be shown (another kind, a message opened or gone
// meanwhile) are passed over.
void frmMessageBoard::ShowNext() {
  try {
    tmrScroll_.setEnabled(false);
    shownUID_.clear();
    while (!pending_.empty() || !backlog_.empty()) {
      std::deque<std::string>& next = pending_.empty() ? backlog_ : pending_;
      const std::vector<std::string> item = modGenFunctionsString::splitText(next.front(), "||");
      next.pop_front();
      if (item.size() != 2 || item[0] != std::to_string(kReceivedMessage)) continue;
      const std::string text = BoardText(item[1]);
      if (text.empty()) continue;
      shownUID_ = item[1];
      text_->setText(QString::fromStdString(text));
      text_->adjustSize();
      offset_ = width();
      text_->move(offset_, (height() - text_->height()) / 2);
      show();
      tmrScroll_.setEnabled(true);
      return;
    }
    hide();
  } catch (...) {
    endError("frmMessageBoard.ShowNext");
  }
}

void frmMessageBoard::Scroll() {
  offset_ -= kScrollStepPixels;
  text_->move(offset_, text_->y());
  if (offset_ + text_->width() < 0) ShowNext();
}

void frmMessageBoard::mousePressEvent(QMouseEvent* /*event*/) {
  if (!shownUID_.empty() && open_) open_(shownUID_);
  ShowNext();
}
