#include "HotKeyTable.h"

#include <QCoreApplication>
#include <algorithm>

#include "X11HotKeyGrab.h"

namespace platform {

QEvent::Type HotKeyEvent::eventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

HotKeyEvent::HotKeyEvent(int id, int modifiers, int keyCode)
    : QEvent(eventType()), id_(id), modifiers_(modifiers), keyCode_(keyCode) {}

HotKeyTable::HotKeyTable() = default;
HotKeyTable::~HotKeyTable() = default;

HotKeyTable& HotKeyTable::instance() {
  static HotKeyTable table;
  return table;
}

X11HotKeyGrab* HotKeyTable::desktopGrab() {
  if (!grab_) grab_ = X11HotKeyGrab::create([this](int modifiers, int keyCode) { press(modifiers, keyCode); });
  return grab_.get();
}

void HotKeyTable::release(Registration& registration) {
  QObject::disconnect(registration.watch);
  if (grab_) grab_->ungrab(registration.modifiers, registration.keyCode);
}

template <typename Predicate>
bool HotKeyTable::releaseIf(Predicate gone) {
  const auto removed = std::partition(registrations_.begin(), registrations_.end(),
                                      [&](const Registration& r) { return !gone(r); });
  if (removed == registrations_.end()) return false;
  std::for_each(removed, registrations_.end(), [this](Registration& r) { release(r); });
  registrations_.erase(removed, registrations_.end());
  return true;
}

void HotKeyTable::dropDestroyedWindows() {
  releaseIf([](const Registration& r) { return r.window.isNull(); });
}

bool HotKeyTable::registerHotKey(QObject* window, int id, int modifiers, int keyCode) {
  if (window == nullptr || isTaken(modifiers, keyCode)) return false;
  X11HotKeyGrab* grab = desktopGrab();
  if (grab != nullptr && !grab->grab(modifiers, keyCode)) return false;
  // A widget's pointer is still set while it announces its destruction; a
  // plain object's is already cleared.
  const auto watch = QObject::connect(window, &QObject::destroyed, [this](QObject* gone) {
    releaseIf([gone](const Registration& r) { return r.window.isNull() || r.window.data() == gone; });
  });
  registrations_.push_back({window, id, modifiers, keyCode, watch});
  return true;
}

bool HotKeyTable::unregisterHotKey(QObject* window, int id) {
  dropDestroyedWindows();
  return releaseIf([&](const Registration& r) { return r.window.data() == window && r.id == id; });
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
