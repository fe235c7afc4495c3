#pragma once
// HotKeyTable: the program's global hot keys, one table per process.
//
// A registration ties a combination (modifier mask, virtual-key code) to a
// window and an id. A combination is held by at most one registration, so
// registering a taken combination fails. A window's registrations vanish
// when the window is destroyed. press() stands for the desktop reporting the
// key: it posts a HotKeyEvent to the window that holds the combination.
//
// On an X11 desktop (Qt platform "xcb") every registration also grabs its
// combination on the X server: a combination that another program holds
// cannot be registered, and a press of a registered combination anywhere on
// the desktop arrives through press(). Elsewhere the table stands alone.
//
// Used on the UI thread only, once the QGuiApplication exists.
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <memory>
#include <vector>

namespace platform {

// Modifier mask of a registration (not the shift mask of key events).
enum HotKeyModifier : int {
  kHotKeyAlt = 1,
  kHotKeyControl = 2,
  kHotKeyShift = 4,
};

// Posted to the window that holds a pressed hot key.
class HotKeyEvent : public QEvent {
 public:
  static QEvent::Type eventType();
  HotKeyEvent(int id, int modifiers, int keyCode);
  int id() const { return id_; }
  int modifiers() const { return modifiers_; }
  int keyCode() const { return keyCode_; }

 private:
  int id_;
  int modifiers_;
  int keyCode_;
};

class X11HotKeyGrab;

class HotKeyTable {
 public:
  HotKeyTable();
  ~HotKeyTable();

  static HotKeyTable& instance();

  // False when `window` is null or the combination is already held, here
  // or by another program on the desktop.
  bool registerHotKey(QObject* window, int id, int modifiers, int keyCode);
  // Removes the window's registrations under `id`; false when there was none.
  bool unregisterHotKey(QObject* window, int id);
  bool isTaken(int modifiers, int keyCode);
  // Posts a HotKeyEvent to the holder of the combination; false when none holds it.
  bool press(int modifiers, int keyCode);

 private:
  struct Registration {
    QPointer<QObject> window;
    int id;
    int modifiers;
    int keyCode;
    QMetaObject::Connection watch;  // drops the registration with its window
  };
  // Null off X11; made on first use because the application may start late.
  X11HotKeyGrab* desktopGrab();
  void release(Registration& registration);
  // Releases and removes the registrations that `gone` tells apart.
  template <typename Predicate>
  bool releaseIf(Predicate gone);
  void dropDestroyedWindows();

  std::vector<Registration> registrations_;
  std::unique_ptr<X11HotKeyGrab> grab_;
};

}  // namespace platform
