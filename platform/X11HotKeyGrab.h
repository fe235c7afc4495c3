#pragma once
// X11HotKeyGrab: the X server's side of the global hot keys when the
// application runs on the xcb platform.
//
// grab() grabs a combination (HotKeyModifier mask, Windows virtual-key code)
// on every root window of the application's X connection, once for each
// state of CapsLock and NumLock, so the key works whatever the locks are.
// Other clients then no longer see that combination; a combination that
// another client already grabbed is refused. A key press of a grabbed
// combination is consumed and reported to the press handler with the
// combination as it was grabbed.
//
// The grab keeps no registry of owners: callers grab a combination at most
// once and ungrab what they grabbed. The server drops every grab when the
// connection closes, so nothing is ungrabbed at destruction. Create after
// the QGuiApplication and use on the UI thread only.
#include <QAbstractNativeEventFilter>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct xcb_connection_t;

namespace platform {

class X11HotKeyGrab : public QAbstractNativeEventFilter {
 public:
  using PressHandler = std::function<void(int modifiers, int keyCode)>;

  // Null unless a QGuiApplication runs on the "xcb" platform.
  static std::unique_ptr<X11HotKeyGrab> create(PressHandler onPress);

  X11HotKeyGrab(xcb_connection_t* connection, PressHandler onPress);
  ~X11HotKeyGrab() override;
  X11HotKeyGrab(const X11HotKeyGrab&) = delete;
  X11HotKeyGrab& operator=(const X11HotKeyGrab&) = delete;

  // False when the server refuses the grab (another client holds the
  // combination). True without a grab when no key of the current keyboard
  // produces `keyCode`: such a combination can never be pressed.
  bool grab(int modifiers, int keyCode);
  // Releases this client's grab of the combination; nothing when none.
  void ungrab(int modifiers, int keyCode);

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  struct Grab {
    std::uint8_t keycode;       // X key code
    std::uint16_t xMask;        // X modifier mask, without the lock bits
    std::uint16_t numLockMask;  // the modifier bit of NumLock when grabbed
    int modifiers;              // as registered
    int keyCode;                // as registered
  };
  // The lock states a grab is repeated for: none, CapsLock, NumLock, both.
  static std::array<std::uint16_t, 4> lockVariants(std::uint16_t numLockMask);
  void ungrabOnServer(const Grab& grab);

  xcb_connection_t* connection_;
  PressHandler onPress_;
  std::vector<Grab> grabs_;
};

}  // namespace platform
