#pragma once
// modGenFunctionsUI: form and combo services of every window: emptying a
// window's input controls, choosing a combo entry by its item data, the
// width of a combo's drop-down list, and keeping windows above the others.
//
// Errors are reported under "modGenFunctionsUI.<Operation>" and raised
// again. UI thread only.
#include <cstdint>

class QComboBox;
class QWidget;

namespace modGenFunctionsUI {

// Z-order choices of SetFormsTopmost.
inline constexpr int32_t kHwndTopmost = -1;
inline constexpr int32_t kHwndNoTopmost = -2;
// The window SetFormsTopmost(choice, nullptr) leaves alone.
inline constexpr const char* kMessageBoardName = "FRMMESSAGEBOARD";

// Empties the window's list boxes, list views and text boxes; combos lose
// their entries with clearCombos, else only their selection; scroll bars
// go to 1.
void ResetFormControls(QWidget* window, bool clearCombos);
// Selects the first entry whose item data (Qt::UserRole) equals `value`;
// false, leaving the selection alone, when none does.
bool ComboSelectByItemData(QComboBox* combo, int32_t value);
void ComboSetDroppedWidth(QComboBox* combo, int widthPixels);
// The drop-down list as wide as the widest entry (+ 8 pixels) and at least
// as wide as the combo, cut to `maximumPixels` (0 or less: the screen's
// width less 16). Measured in the combo's own font.
void AutoSizeComboDropDown(QComboBox* combo, int maximumPixels);
// kHwndTopmost puts the window (every window of the program but the
// message board when null) above the others; kHwndNoTopmost ends that.
// The window manager may ignore the request.
void SetFormsTopmost(int32_t choice, QWidget* window);

}  // namespace modGenFunctionsUI
