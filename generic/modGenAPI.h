#pragma once
// modGenAPI: small window-level services: the global new-message hot key and
// its text form, the restart of a timer, the special folders, a quiet re-show
// of a window, and the high word of a number.
//
// HotKeyText: zero or more of "CTRL+", "ALT+", "SHIFT+" (written in that
// order) followed by "F1".."F12" or one character, the character whose code
// is the key's virtual-key code (A..Z and 0..9 are themselves). Default
// "CTRL+ALT+M". Key presses arrive with the shift mask 1 Shift, 2 Ctrl,
// 4 Alt; registrations use the modifier mask 1 Alt, 2 Ctrl, 4 Shift.
// Ids handed out for -1 come from modGenGlobals::AppHotKeyIdCounter and are
// never reused.
//
// Every operation reports its errors and raises them again.
#include <cstdint>
#include <string>

class QLineEdit;
class QObject;
class QWidget;

namespace platform {
class TimerControl;
}

namespace modGenAPI {

// The id TestHotKey registers under, the highest an application may use.
inline constexpr int kTestHotKeyId = 49151;
// Special folders: common application data, and the user's documents.
inline constexpr int kFolderCommonAppData = 35;
inline constexpr int kFolderDocuments = 5;

// Writes the HotKeyText of a key press (virtual-key code, shift mask) into
// the text box. Codes below 20 (Shift, Ctrl, Alt ...) add no key: Ctrl
// alone gives "CTRL+".
void HotKeyToText(QLineEdit* textBox, int keyCode, int shiftMask);

// Registers `text` as a hot key of `window`. id -1 takes the next id of the
// counter (which advances even when nothing is registered). Returns the id,
// or 0 when the text names no key or the combination is taken. Tokens are
// searched case-sensitively; the key is F1..F12 (any case) or the code of
// the first remaining character as written.
int RegisterAppHotKey(QObject* window, const std::string& text, int id = -1);

// Unregisters the id of `window` when the id is above 0.
void UnregisterAppHotKey(QObject* window, int id);

// Tells the user (resource message 11505, or 11506 when not) whether `text`
// can be registered; never leaves it registered.
void TestHotKey(QObject* window, const std::string& text);

// Stops the timer, sets its interval and starts it: a full interval counts
// from this call. Nothing for a null timer.
void RestartTimer(platform::TimerControl* timer, int interval);

// 35: $TAVINOR_DATA_ROOT when set, else the desktop's data folder;
// 5: the documents folder; "" for any other number.
std::string GetSpecialFolderPath(int folder);

// Shows the window again at its normal placement without activating it.
void RefreshWindowPlacement(QWidget* window);

// The high 16 bits of `value` as a signed number.
std::int16_t HiWord(std::int32_t value);

}  // namespace modGenAPI
