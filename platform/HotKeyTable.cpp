#include "HotKeyTable.h"

#include <QCoreApplication>
#include <algorithm>

namespace platform {

QEvent::Type HotKeyEvent::eventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

HotKeyEvent::HotKeyEvent(int id, int modifiers, int keyCode)
    : QEvent(eventType()), id_(id), modifiers_(modifiers), keyCode_(keyCode) {}

HotKeyTable& HotKeyTable::instance() {
  static HotKeyTable table;
  return table;
}

void HotKeyTable::dropDestroyedWindows() {
  std::erase_if(registrations_, [](const Registration& r) { return r.window.isNull(); });
}

bool HotKeyTable::registerHotKey(QObject* window, int id, int modifiers, int keyCode) {
  if (window == nullptr || isTaken(modifiers, keyCode)) return false;
  registrations_.push_back({window, id, modifiers, keyCode});
  return true;
}

bool HotKeyTable::unregisterHotKey(QObject* window, int id) {
  dropDestroyedWindows();
  return std::erase_if(registrations_, [&](const Registration& r) {
           return r.window.data() == window && r.id == id;
         }) > 0;
}

bool HotKeyTable::isTaken(int modifiers, int keyCode) {
  dropDestroyedWindows();
  return std::any_of(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
    return r.modifiers == modifiers && r.keyCode == keyCode;
  });
}

bool HotKeyTable::press(int modifiers, int keyCode) {
  dropDestroyedWindows();
  for (const Registration& r : registrations_) {
    if (r.modifiers == modifiers && r.keyCode == keyCode) {
      QCoreApplication::postEvent(r.window.data(), new HotKeyEvent(r.id, modifiers, keyCode));
      return true;
    }
  }
  return false;
}

}  // namespace platform
