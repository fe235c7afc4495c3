#include "MessageBox.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform {
namespace {

MessageBoxResponder& responder() {
  static MessageBoxResponder instance;
  return instance;
}

NoticeSink& noticeSink() {
  static NoticeSink instance;
  return instance;
}

int unattendedDepth = 0;

int safeAnswer(int flags) {
  switch (flags & 7) {
    case kMbOkCancel:
    case kMbYesNoCancel:
      return kMbResultCancel;
    case kMbYesNo:
      return kMbResultNo;
    default:
      return kMbResultOk;
  }
}

void writeToStandardError(const std::string& program, const MessageBoxRequest& request) {
  std::fprintf(stderr, "%s message (%s): %s\n", program.c_str(), request.title.c_str(),
               request.text.c_str());
}

QMessageBox::StandardButtons buttonsFor(int flags) {
  switch (flags & 7) {
    case kMbOkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case kMbYesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case kMbYesNo: return QMessageBox::Yes | QMessageBox::No;
    default: return QMessageBox::Ok;
  }
}

QMessageBox::Icon iconFor(int flags) {
  switch (flags & 0x70) {
    case kMbCritical: return QMessageBox::Critical;
    case kMbQuestion: return QMessageBox::Question;
    case kMbExclamation: return QMessageBox::Warning;
    case kMbInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

int resultFor(int button) {
  switch (button) {
    case QMessageBox::Yes: return kMbResultYes;
    case QMessageBox::No: return kMbResultNo;
    case QMessageBox::Cancel: return kMbResultCancel;
    default: return kMbResultOk;
  }
}

QMessageBox::StandardButton defaultFor(int flags) {
  if ((flags & kMbDefaultButton2) == 0) return QMessageBox::NoButton;
  switch (flags & 7) {
    case kMbOkCancel: return QMessageBox::Cancel;
    case kMbYesNoCancel:
    case kMbYesNo: return QMessageBox::No;
    default: return QMessageBox::NoButton;
  }
}

// A box that places itself once its show event has given it its final size,
// before it reaches the screen.
class PlacedMessageBox : public QMessageBox {
 public:
  PlacedMessageBox(int flags, const std::string& title, const std::string& text, QWidget* owner,
                   QWidget* over)
      : QMessageBox(iconFor(flags), QString::fromStdString(title), QString::fromStdString(text),
                    buttonsFor(flags), owner),
        over_(over) {
    if (const QMessageBox::StandardButton preferred = defaultFor(flags)) {
      setDefaultButton(preferred);
    }
  }

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    fitScreen();
    centreWindow(this, over_);
  }

 private:
  // On a small screen the box may size itself as wide as the screen,
  // frame left out: it is narrowed, its text wrapping onto more lines.
  void fitScreen() {
    const QScreen* shown = over_ != nullptr && over_->isVisible() ? over_->screen() : screen();
    const QSize room = usableScreenArea(shown).size() - (frameGeometry().size() - size());
    if (room.isEmpty() || width() <= room.width()) return;
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(room.width())
                                                     : this->height();
    setFixedSize(room.width(), std::min(height, room.height()));
  }

  QPointer<QWidget> over_;
};

QWidget* boxAnchor(QWidget* owner) {
  if (owner != nullptr && owner->isVisible()) return owner;
  QWidget* active = QApplication::activeWindow();
  return active != nullptr && active->isVisible() ? active : nullptr;
}

}  // namespace

UnattendedScope::UnattendedScope() { ++unattendedDepth; }

UnattendedScope::~UnattendedScope() { --unattendedDepth; }

bool isUnattended() { return unattendedDepth > 0; }

void setNoticeSink(NoticeSink sink) { noticeSink() = std::move(sink); }

int showMessageBox(const std::string& text, int flags, const std::string& title, void* owner) {
  if (isUnattended()) {
    const MessageBoxRequest request{text, flags, title};
    if (noticeSink()) {
      noticeSink()(request);
    } else {
      writeToStandardError("Tavinor", request);
    }
    return safeAnswer(flags);
  }
  if (responder()) return responder()(MessageBoxRequest{text, flags, title});
  if (!QApplication::instance()) return kMbResultOk;
  auto* ownerWidget = static_cast<QWidget*>(owner);
  PlacedMessageBox box(flags, title, text, ownerWidget, boxAnchor(ownerWidget));
  return resultFor(box.exec());
}

QRect usableScreenArea(const QScreen* screen) {
  if (screen == nullptr) return QRect();
  QRect area = screen->availableGeometry();
  const qreal scale = screen->devicePixelRatio();
  const auto whole = [scale](int logical) {
    return static_cast<int>(std::floor(std::floor(logical * scale) / scale));
  };
  area.setSize(QSize(whole(area.width()), whole(area.height())));
  return area;
}

void centreWindow(QWidget* window, const QWidget* over) {
  const QScreen* screen = over != nullptr && over->isVisible() ? over->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = usableScreenArea(screen);
  const QRect target = over != nullptr && over->isVisible() ? over->frameGeometry() : area;
  // The frame counts once the window has one.
  QRect placed(QPoint(), window->frameGeometry().size());
  placed.moveCenter(target.center());
  placed.moveLeft(std::clamp(placed.left(), area.left(),
                             std::max(area.left(), area.right() - placed.width() + 1)));
  placed.moveTop(std::clamp(placed.top(), area.top(),
                            std::max(area.top(), area.bottom() - placed.height() + 1)));
  window->move(placed.topLeft());
}

void setMessageBoxResponder(MessageBoxResponder r) { responder() = std::move(r); }

MessageBoxResponder unattendedResponder(std::string program) {
  return [program = std::move(program)](const MessageBoxRequest& request) {
    writeToStandardError(program, request);
    return safeAnswer(request.flags);
  };
}

}  // namespace platform
