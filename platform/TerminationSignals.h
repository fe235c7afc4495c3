#pragma once
// TerminationSignals: SIGTERM, SIGINT and SIGHUP end the program through its
// normal shut-down. The signal handler only writes to a pipe; the event loop
// reads it and emits `requested`, so the shut-down runs on the UI thread.
// Install once, after the QApplication exists.
#include <QObject>

class QSocketNotifier;

namespace platform {

class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  TerminationSignals();
  ~TerminationSignals() override;

 signals:
  void requested();

 private:
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace platform
