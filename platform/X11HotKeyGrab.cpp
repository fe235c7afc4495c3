#include "X11HotKeyGrab.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "HotKeyTable.h"

namespace platform {
namespace {

// X key symbols (X11/keysymdef.h) of the keys a virtual-key code can name.
constexpr xcb_keysym_t kKeysymEscape = 0xff1b;
constexpr xcb_keysym_t kKeysymHome = 0xff50;  // Home, Left, Up, Right, Down, Prior, Next, End follow
constexpr xcb_keysym_t kKeysymInsert = 0xff63;
constexpr xcb_keysym_t kKeysymDelete = 0xffff;
constexpr xcb_keysym_t kKeysymKeypad0 = 0xffb0;
constexpr xcb_keysym_t kKeysymKeypadMultiply = 0xffaa;  // Add, Separator, Subtract, Decimal, Divide follow
constexpr xcb_keysym_t kKeysymF1 = 0xffbe;
constexpr xcb_keysym_t kKeysymNumLock = 0xff7f;
constexpr xcb_keysym_t kKeysymAltLeft = 0xffe9;

// Windows virtual-key codes whose key symbol is not their own character.
constexpr int kVkPrior = 0x21;
constexpr int kVkEnd = 0x23;
constexpr int kVkHome = 0x24;
constexpr int kVkDown = 0x28;
constexpr int kVkInsert = 0x2D;
constexpr int kVkDelete = 0x2E;
constexpr int kVkNumpad0 = 0x60;
constexpr int kVkMultiply = 0x6A;
constexpr int kVkDivide = 0x6F;
constexpr int kVkF1 = 0x70;
constexpr int kVkF24 = 0x87;

// The punctuation keys of a US keyboard (VK_OEM_*) and their characters.
constexpr std::array<std::pair<int, char>, 11> kPunctuationKeys{{
    {0xBA, ';'}, {0xBB, '='}, {0xBC, ','}, {0xBD, '-'}, {0xBE, '.'}, {0xBF, '/'},
    {0xC0, '`'}, {0xDB, '['}, {0xDC, '\\'}, {0xDD, ']'}, {0xDE, '\''},
}};

// 0 when the code names no key a hot key can use.
xcb_keysym_t keysymOfVirtualKey(int keyCode) {
  if (keyCode == 0x1B) return kKeysymEscape;
  if (keyCode == ' ' || (keyCode >= '0' && keyCode <= '9')) return static_cast<xcb_keysym_t>(keyCode);
  if (keyCode >= 'A' && keyCode <= 'Z') return static_cast<xcb_keysym_t>(keyCode - 'A' + 'a');
  // X orders Home, Left, Up, Right, Down, Prior, Next, End; Windows starts at Prior.
  if (keyCode >= kVkPrior && keyCode <= kVkEnd) return kKeysymHome + 5 + static_cast<xcb_keysym_t>(keyCode - kVkPrior);
  if (keyCode >= kVkHome && keyCode <= kVkDown) return kKeysymHome + static_cast<xcb_keysym_t>(keyCode - kVkHome);
  if (keyCode == kVkInsert) return kKeysymInsert;
  if (keyCode == kVkDelete) return kKeysymDelete;
  if (keyCode >= kVkNumpad0 && keyCode < kVkMultiply) {
    return kKeysymKeypad0 + static_cast<xcb_keysym_t>(keyCode - kVkNumpad0);
  }
  if (keyCode >= kVkMultiply && keyCode <= kVkDivide) {
    return kKeysymKeypadMultiply + static_cast<xcb_keysym_t>(keyCode - kVkMultiply);
  }
  if (keyCode >= kVkF1 && keyCode <= kVkF24) return kKeysymF1 + static_cast<xcb_keysym_t>(keyCode - kVkF1);
  for (const auto& [code, character] : kPunctuationKeys) {
    if (code == keyCode) return static_cast<xcb_keysym_t>(character);
  }
  return 0;
}

template <typename T>
using ReplyPtr = std::unique_ptr<T, decltype(&std::free)>;

// The key codes of the current keyboard and the key symbols on each.
class KeyboardMap {
 public:
  explicit KeyboardMap(xcb_connection_t* connection)
      : first_(xcb_get_setup(connection)->min_keycode), reply_(nullptr, &std::free) {
    const std::uint8_t last = xcb_get_setup(connection)->max_keycode;
    reply_.reset(xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, first_, static_cast<std::uint8_t>(last - first_ + 1)),
        nullptr));
  }

  // The lowest key code that carries `keysym` in any column; 0 when none.
  std::uint8_t keycodeOf(xcb_keysym_t keysym) const {
    if (!reply_ || keysym == 0 || reply_->keysyms_per_keycode == 0) return 0;
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(reply_.get());
    const int count = xcb_get_keyboard_mapping_keysyms_length(reply_.get());
    const auto at = std::find(symbols, symbols + count, keysym);
    if (at == symbols + count) return 0;
    return static_cast<std::uint8_t>(first_ + (at - symbols) / reply_->keysyms_per_keycode);
  }

 private:
  std::uint8_t first_;
  ReplyPtr<xcb_get_keyboard_mapping_reply_t> reply_;
};

// The X modifier bit that a key is mapped to, or `fallback` when the key is
// on no modifier (or not on the keyboard).
std::uint16_t modifierMaskOf(xcb_connection_t* connection, std::uint8_t keycode, std::uint16_t fallback) {
  if (keycode == 0) return fallback;
  ReplyPtr<xcb_get_modifier_mapping_reply_t> reply(
      xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr), &std::free);
  if (!reply) return fallback;
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
  const int perModifier = reply->keycodes_per_modifier;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int n = 0; n < perModifier; ++n) {
      if (keycodes[modifier * perModifier + n] == keycode) return static_cast<std::uint16_t>(1u << modifier);
    }
  }
  return fallback;
}

std::vector<xcb_window_t> rootWindows(xcb_connection_t* connection) {
  std::vector<xcb_window_t> roots;
  for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem > 0; xcb_screen_next(&it)) {
    roots.push_back(it.data->root);
  }
  return roots;
}

}  // namespace

std::unique_ptr<X11HotKeyGrab> X11HotKeyGrab::create(PressHandler onPress) {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (app == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
  auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->connection() == nullptr) return nullptr;
  return std::make_unique<X11HotKeyGrab>(x11->connection(), std::move(onPress));
}

X11HotKeyGrab::X11HotKeyGrab(xcb_connection_t* connection, PressHandler onPress)
    : connection_(connection), onPress_(std::move(onPress)) {
  QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyGrab::~X11HotKeyGrab() = default;  // the base class removes the filter

std::array<std::uint16_t, 4> X11HotKeyGrab::lockVariants(std::uint16_t numLockMask) {
  const std::uint16_t caps = XCB_MOD_MASK_LOCK;
  return {0, caps, numLockMask, static_cast<std::uint16_t>(caps | numLockMask)};
}

bool X11HotKeyGrab::grab(int modifiers, int keyCode) {
  // The keyboard can change while the program runs: read it for every grab.
  const KeyboardMap keyboard(connection_);
  const std::uint8_t keycode = keyboard.keycodeOf(keysymOfVirtualKey(keyCode));
  if (keycode == 0) return true;
  const std::uint16_t altMask = modifierMaskOf(connection_, keyboard.keycodeOf(kKeysymAltLeft), XCB_MOD_MASK_1);
  const std::uint16_t numLockMask = modifierMaskOf(connection_, keyboard.keycodeOf(kKeysymNumLock), XCB_MOD_MASK_2);

  std::uint16_t xMask = 0;
  if (modifiers & kHotKeyAlt) xMask |= altMask;
  if (modifiers & kHotKeyControl) xMask |= XCB_MOD_MASK_CONTROL;
  if (modifiers & kHotKeyShift) xMask |= XCB_MOD_MASK_SHIFT;

  std::vector<xcb_void_cookie_t> requests;
  for (xcb_window_t root : rootWindows(connection_)) {
    for (std::uint16_t locks : lockVariants(numLockMask)) {
      requests.push_back(xcb_grab_key_checked(connection_, 0, root, static_cast<std::uint16_t>(xMask | locks), keycode,
                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
  }
  bool refused = false;
  for (xcb_void_cookie_t request : requests) {
    if (xcb_generic_error_t* error = xcb_request_check(connection_, request)) {
      refused = true;
      std::free(error);
    }
  }
  if (refused) {
    // Ungrabbing touches only this client's grabs, so the other holder keeps its own.
    ungrabOnServer({keycode, xMask, numLockMask, modifiers, keyCode});
    return false;
  }
  grabs_.push_back({keycode, xMask, numLockMask, modifiers, keyCode});
  return true;
}

void X11HotKeyGrab::ungrab(int modifiers, int keyCode) {
  const auto at = std::find_if(grabs_.begin(), grabs_.end(),
                               [&](const Grab& g) { return g.modifiers == modifiers && g.keyCode == keyCode; });
  if (at == grabs_.end()) return;
  ungrabOnServer(*at);
  grabs_.erase(at);
}

void X11HotKeyGrab::ungrabOnServer(const Grab& grab) {
  for (xcb_window_t root : rootWindows(connection_)) {
    for (std::uint16_t locks : lockVariants(grab.numLockMask)) {
      xcb_ungrab_key(connection_, grab.keycode, root, static_cast<std::uint16_t>(grab.xMask | locks));
    }
  }
  xcb_flush(connection_);
}

bool X11HotKeyGrab::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
  const auto* press = static_cast<const xcb_key_press_event_t*>(message);
  // The low byte holds the modifiers; the pointer buttons above it and the
  // lock states do not tell hot keys apart.
  for (const Grab& g : grabs_) {
    const auto ignored = static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | g.numLockMask);
    if (g.keycode == press->detail && g.xMask == (press->state & 0xff & ~ignored)) {
      onPress_(g.modifiers, g.keyCode);
      return true;
    }
  }
  return false;
}

}  // namespace platform
