#include "modGenAPI.h"

#include <QLineEdit>
#include <QStandardPaths>
#include <QString>
#include <QWidget>
#include <array>

#include "HotKeyTable.h"
#include "TimerControl.h"
#include "TvrError.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"

namespace modGenAPI {
namespace {

constexpr int kShiftMaskShift = 1;
constexpr int kShiftMaskCtrl = 2;
constexpr int kShiftMaskAlt = 4;
constexpr int kKeyF1 = 112;
constexpr int kKeyF12 = 123;
constexpr int kFirstCharacterKey = 20;

void removeAll(std::string& text, const std::string& token) {
  for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
    text.erase(at, token.size());
  }
}

// The virtual-key code named by the text left once the modifiers are gone.
int keyCodeOf(const std::string& key) {
  const QString name = QString::fromStdString(key);
  const QString upper = name.toUpper();
  for (int n = 1; n <= 12; ++n) {
    if (upper == QString("F%1").arg(n)) return kKeyF1 + n - 1;
  }
  return static_cast<int>(name.at(0).unicode());
}

}  // namespace

void HotKeyToText(QLineEdit* textBox, int keyCode, int shiftMask) {
  try {
    if (textBox == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    textBox->clear();
    QString text;
    if (shiftMask & kShiftMaskCtrl) text += "CTRL+";
    if (shiftMask & kShiftMaskAlt) text += "ALT+";
    if (shiftMask & kShiftMaskShift) text += "SHIFT+";
    if (keyCode >= kKeyF1 && keyCode <= kKeyF12) {
      text += QString("F%1").arg(keyCode - kKeyF1 + 1);
    } else if (keyCode >= kFirstCharacterKey && keyCode <= 255) {
      text += QChar(static_cast<char16_t>(keyCode));
    }
    textBox->setText(text);
  } catch (...) {
    raiseAgain("modGenAPI.HotKeyToText");
  }
}

int RegisterAppHotKey(QObject* window, const std::string& text, int id) {
  try {
    if (id == -1) id = modGenFunctions::Increment(modGenGlobals::AppHotKeyIdCounter);
    if (text.empty()) return 0;
    int modifiers = 0;
    if (text.find("CTRL+") != std::string::npos) modifiers |= platform::kHotKeyControl;
    if (text.find("ALT+") != std::string::npos) modifiers |= platform::kHotKeyAlt;
    if (text.find("SHIFT+") != std::string::npos) modifiers |= platform::kHotKeyShift;
    std::string key = text;
    for (const char* token : {"ALT+", "CTRL+", "SHIFT+"}) removeAll(key, token);
    key = modGenFunctionsString::trimBlanks(key);
    if (key.empty()) return 0;
    if (window == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    return platform::HotKeyTable::instance().registerHotKey(window, id, modifiers, keyCodeOf(key)) ? id : 0;
  } catch (...) {
    raiseAgain("modGenAPI.RegisterAppHotKey");
  }
}

void UnregisterAppHotKey(QObject* window, int id) {
  try {
    if (id > 0) platform::HotKeyTable::instance().unregisterHotKey(window, id);
  } catch (...) {
    raiseAgain("modGenAPI.UnregisterAppHotKey");
  }
}

void TestHotKey(QObject* window, const std::string& text) {
  try {
    const bool free = RegisterAppHotKey(window, text, kTestHotKeyId) != 0;
    if (free) UnregisterAppHotKey(window, kTestHotKeyId);
    modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(free ? 11505 : 11506), 64,
                                    modGenFunctions::kAppTitle);
  } catch (...) {
    raiseAgain("modGenAPI.TestHotKey");
  }
}

void RestartTimer(platform::TimerControl* timer, int interval) {
  try {
    if (timer == nullptr) return;
    timer->setEnabled(false);
    timer->setInterval(interval);
    timer->setEnabled(true);
  } catch (...) {
    raiseAgain("modGenAPI.RestartTimer");
  }
}

std::string GetSpecialFolderPath(int folder) {
  try {
    switch (folder) {
      case kFolderCommonAppData: {
        const QString root = qEnvironmentVariable("TAVINOR_DATA_ROOT");
        if (!root.isEmpty()) return root.toStdString();
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
      }
      case kFolderDocuments:
        return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
      default: return {};
    }
  } catch (...) {
    raiseAgain("modGenAPI.GetSpecialFolderPath");
  }
}

void RefreshWindowPlacement(QWidget* window) {
  try {
    if (window == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    const bool quiet = window->testAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_ShowWithoutActivating, true);
    window->setWindowState(window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    window->show();
    window->setAttribute(Qt::WA_ShowWithoutActivating, quiet);
  } catch (...) {
    raiseAgain("modGenAPI.RefreshWindowPlacement");
  }
}

std::int16_t HiWord(std::int32_t value) {
  return static_cast<std::int16_t>(static_cast<std::uint32_t>(value) >> 16);
}

}  // namespace modGenAPI
