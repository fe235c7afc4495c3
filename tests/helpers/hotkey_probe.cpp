// hotkey_probe: one program instance on an X display (QT_QPA_PLATFORM=xcb)
// that registers CTRL+ALT+M as its new-message hot key and reports on stdout.
//
//   hotkey_probe          prints "registered", then "hotkey" and exits 0 when
//                         the hot key arrives
//   hotkey_probe release  prints "registered", unregisters the key, prints
//                         "released", then waits the same way
//   hotkey_probe drop     the same, but destroys the registering window
//                         instead of unregistering
//
// A refused registration prints "refused" and exits 1; no hot key within
// 10 seconds exits 2.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <iostream>
#include <memory>
#include <string>

#include "HotKeyTable.h"
#include "modGenAPI.h"

namespace {

constexpr int kWaitMilliseconds = 10000;

class HotKeyWindow : public QObject {
 protected:
  bool event(QEvent* event) override {
    if (event->type() != platform::HotKeyEvent::eventType()) return QObject::event(event);
    std::cout << "hotkey" << std::endl;
    QCoreApplication::exit(0);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  auto window = std::make_unique<HotKeyWindow>();
  const int id = modGenAPI::RegisterAppHotKey(window.get(), "CTRL+ALT+M");
  if (id == 0) {
    std::cout << "refused" << std::endl;
    return 1;
  }
  std::cout << "registered" << std::endl;
  if (mode == "release") modGenAPI::UnregisterAppHotKey(window.get(), id);
  if (mode == "drop") window.reset();
  if (mode == "release" || mode == "drop") std::cout << "released" << std::endl;
  QTimer::singleShot(kWaitMilliseconds, [] { QCoreApplication::exit(2); });
  return app.exec();
}
