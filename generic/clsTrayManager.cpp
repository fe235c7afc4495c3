#include "clsTrayManager.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QWidget>

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace {

constexpr int kStandInIconSize = 32;

// The notification-area icon where the desktop has none: a small window
// that answers a double click and a right click like the icon.
class TrayStandIn : public QWidget {
 public:
  explicit TrayStandIn(clsTrayManager& tray) : tray_(tray) {
    setObjectName(clsTrayManager::kStandInName);
    icon_ = new QLabel(this);
    text_ = new QLabel(this);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon_);
    layout->addWidget(text_);
    text_->setText("Double-click: main window. Right-click: menu.");
  }

  void refresh(const QIcon& icon, const QString& tip) {
    setWindowIcon(icon);
    setWindowTitle(tip);
    setToolTip(tip);
    icon_->setPixmap(icon.pixmap(kStandInIconSize, kStandInIconSize));
  }

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) emit tray_.mouseAction(clsTrayManager::kDoubleClick);
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::RightButton) emit tray_.mouseAction(clsTrayManager::kRightButtonUp);
  }
  // The stand-in is the way back to the program: a person closing it only
  // minimises it (the program's own ending still closes it).
  void closeEvent(QCloseEvent* event) override {
    if (!event->spontaneous()) return;
    event->ignore();
    showMinimized();
  }

 private:
  clsTrayManager& tray_;
  QLabel* icon_;
  QLabel* text_;
};

void requireSet(bool set) {
  if (!set) throw TvrError(kErrObjectNotSet, "", "Object variable or With block variable not set");
}

}  // namespace

clsTrayManager::clsTrayManager() = default;

clsTrayManager::~clsTrayManager() { delete standIn_; }

bool clsTrayManager::IsNotificationAreaAvailable() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

QString clsTrayManager::ShownTip() const {
  return QString::fromStdString(tooltip_).left(kMaxTipLength);
}

void clsTrayManager::Show(bool adding) {
  requireSet(owner_ != nullptr && !icon_.isNull());
  if (IsNotificationAreaAvailable()) {
    if (!tray_) {
      tray_ = std::make_unique<QSystemTrayIcon>();
      connect(tray_.get(), &QSystemTrayIcon::activated, this,
              [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) emit mouseAction(kDoubleClick);
                if (reason == QSystemTrayIcon::Context) emit mouseAction(kRightButtonUp);
              });
    }
    tray_->setIcon(icon_);
    tray_->setToolTip(ShownTip());
    tray_->show();
    return;
  }
  if (standIn_ == nullptr) standIn_ = new TrayStandIn(*this);
  static_cast<TrayStandIn*>(standIn_.data())->refresh(icon_, ShownTip());
  if (adding) standIn_->show();
}

void clsTrayManager::Add() {
  try {
    Show(true);
    state_ = 1;
  } catch (...) {
    endError("clsGenTrayManager.Add");
  }
}

void clsTrayManager::Modify() {
  try {
    Show(false);
    state_ = 2;
  } catch (...) {
    endError("clsGenTrayManager.Modify");
  }
}

void clsTrayManager::Remove() {
  if (tray_) tray_->hide();
  delete standIn_;
  state_ = 0;
}
