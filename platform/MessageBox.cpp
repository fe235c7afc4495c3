#include "MessageBox.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QString>
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

// Puts a box, once it is shown and its size known, over the middle of the
// window the person works in, whatever window owns it.
class CentreOnShow : public QObject {
 public:
  CentreOnShow(QWidget* box, QWidget* over) : QObject(box), over_(over) {
    box->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && over_ != nullptr && over_->isVisible()) {
      auto* box = static_cast<QWidget*>(watched);
      box->move(over_->frameGeometry().center() - box->rect().center());
    }
    return false;
  }

 private:
  QPointer<QWidget> over_;
};

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
  QMessageBox box(iconFor(flags), QString::fromStdString(title), QString::fromStdString(text),
                  buttonsFor(flags), static_cast<QWidget*>(owner));
  QWidget* active = QApplication::activeWindow();
  new CentreOnShow(&box, active != nullptr ? active : static_cast<QWidget*>(owner));
  return resultFor(box.exec());
}

void setMessageBoxResponder(MessageBoxResponder r) { responder() = std::move(r); }

MessageBoxResponder unattendedResponder(std::string program) {
  return [program = std::move(program)](const MessageBoxRequest& request) {
    writeToStandardError(program, request);
    return safeAnswer(request.flags);
  };
}

}  // namespace platform
