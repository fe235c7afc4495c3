// tavinor: the office messaging program.
//
// This build starts up as far as it goes: the required files, the resource
// texts, the settings document and the login. The rest of the program
// (listening for other copies, the timers, the action queue, the main window
// and the message board) is not built yet, so after a successful login the
// program says who is logged in, saves what the start-up changed and ends.
//
// Exit status: 0 after a login or when the login was cancelled, 1 when the
// start-up stopped (a required file is missing, or a start-up step failed).
//
// On a platform that shows nothing (offscreen, minimal), nobody could read
// or answer a message box: each one is written to standard error instead and
// answered with its safe button (OK, Cancel or No).
#include <QApplication>
#include <QGuiApplication>
#include <cstdio>
#include <string>

#include "MessageBox.h"
#include "clsGenErrorHandler.h"
#include "frmInternalServices.h"
#include "frmMessageCenter.h"
#include "modLocalUserFunctions.h"

namespace {

bool isHeadless() {
  const QString platform = QGuiApplication::platformName();
  return platform == "offscreen" || platform == "minimal";
}

int writeMessageBox(const platform::MessageBoxRequest& request) {
  std::fprintf(stderr, "Tavinor message (%s): %s\n", request.title.c_str(), request.text.c_str());
  switch (request.flags & 7) {
    case platform::kMbOkCancel:
    case platform::kMbYesNoCancel:
      return platform::kMbResultCancel;
    case platform::kMbYesNo:
      return platform::kMbResultNo;
    default:
      return platform::kMbResultOk;
  }
}

// The logged-in person's user name, for the closing line.
std::string loggedInUserName() {
  try {
    return modLocalUserFunctions::GetLocalUserFieldValue(modLocalUserFunctions::kLocalUserUN, "",
                                                         false);
  } catch (...) {
    endError("main.loggedInUserName");
    return {};
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tavinor");
  QApplication::setApplicationVersion(frmMessageCenter::kProgramVersion);
  if (isHeadless()) platform::setMessageBoxResponder(writeMessageBox);
  std::puts(
      "Tavinor: this build starts up to the login. Listening for other copies, the timers, the "
      "action queue, the main window and the message board are not built yet.");
  std::fflush(stdout);

  frmInternalServices startupWindow;
  frmMessageCenter::LoadResult result;
  {
    frmMessageCenter messageCenter;
    result = messageCenter.Form_Load();
    if (result == frmMessageCenter::LoadResult::kRunning) {
      const std::string userName = loggedInUserName();
      std::printf("Tavinor: %s is logged in; nothing more runs in this build, so it ends here.\n",
                  userName.c_str());
    } else if (result == frmMessageCenter::LoadResult::kNoLogin) {
      std::puts("Tavinor: nobody logged in; the program ends.");
    } else {
      std::fputs("Tavinor: the start-up stopped.\n", stderr);
    }
    messageCenter.Form_Unload();
  }
  return result == frmMessageCenter::LoadResult::kStopped ? 1 : 0;
}
