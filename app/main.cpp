// tavinor: the office messaging program.
//
// Starts up (login included), then runs until the exit command is given
// (closing the main window only hides it: the notification-area icon brings
// it back), the desktop's session ends, or SIGTERM, SIGINT or SIGHUP
// arrives; each way ends through the normal shut-down, which saves what is
// open.
//
// Exit status: 0 after a run or when the login was cancelled, 1 when the
// start-up stopped (a required file is missing, or a start-up step failed),
// 2 when another copy already runs on the same data folder.
//
// On a platform that shows nothing (offscreen, minimal), nobody could read
// or answer a message box: each one is written to standard error instead and
// answered with its safe button (OK, Cancel or No).
#include <QApplication>
#include <QGuiApplication>
#include <cstdio>
#include <string>

#include "MessageBox.h"
#include "TerminationSignals.h"
#include "clsGenErrorHandler.h"
#include "frmInternalServices.h"
#include "frmMessageCenter.h"
#include "modLocalUserFunctions.h"

namespace {

bool isHeadless() {
  const QString platform = QGuiApplication::platformName();
  return platform == "offscreen" || platform == "minimal";
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
  QApplication::setQuitOnLastWindowClosed(false);
  if (isHeadless()) platform::setMessageBoxResponder(platform::unattendedResponder("Tavinor"));
  platform::TerminationSignals termination;

  frmInternalServices startupWindow;
  frmMessageCenter messageCenter;
  QObject::connect(&termination, &platform::TerminationSignals::requested, &messageCenter,
                   &frmMessageCenter::ExitProgram);
  // The desktop's log-out ends the program through its shut-down too.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &messageCenter,
                   &frmMessageCenter::ExitProgram);
  const frmMessageCenter::LoadResult result = messageCenter.Form_Load();
  switch (result) {
    case frmMessageCenter::LoadResult::kRunning:
      std::printf("Tavinor: %s is logged in.\n", loggedInUserName().c_str());
      std::fflush(stdout);
      messageCenter.show();
      app.exec();
      break;
    case frmMessageCenter::LoadResult::kNoLogin:
      std::puts("Tavinor: nobody logged in; the program ends.");
      break;
    case frmMessageCenter::LoadResult::kAlreadyRunning:
      std::fputs("Tavinor: another copy already runs on this data folder.\n", stderr);
      return 2;
    case frmMessageCenter::LoadResult::kStopped:
      std::fputs("Tavinor: the start-up stopped.\n", stderr);
      break;
  }
  messageCenter.Form_Unload();
  return result == frmMessageCenter::LoadResult::kStopped ? 1 : 0;
}
