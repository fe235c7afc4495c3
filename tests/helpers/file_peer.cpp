// file_peer: one copy without its main window, played through the program's
// libraries, for the file-transfer tests that kill a sender or a receiver. It
// logs in the account NAME of $TAVINOR_DATA_ROOT (created with password "pw"
// when missing), listens on $TAVINOR_BIND_ADDRESS unless told not to, runs
// the action queue and takes commands on standard input:
//
//   file_peer NAME [--no-listen] [--plain] [--idle-tick MS] [--user UID ADDRESS]...
//       --plain sends files without enciphering them; --idle-tick runs the
//       idle controller every MS milliseconds instead of every second;
//       --user puts a person with that UID and address into the users
//       directory (when not there yet).
//   commands, one a line:
//     compose UID[,UID]... PATH...   the compose window: ticks the people,
//                                    types a text, attaches the files and
//                                    folders and sends; prints "composed"
//     retry                          the queue list's "Retry now" on every action
//
// It prints "account UID", "upload FOLDER" and then "ready", "queue N"
// whenever the number of stored actions changes, "progress N" for every
// value the progress bar takes and "activity KIND TEXT" for every activity.
// SIGTERM or the end of standard input ends it normally.
#include <QApplication>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "HelperAccount.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "frmMessage.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void addPerson(const std::string& uid, const std::string& address) {
  PoolLoan users(modGlobalVariables::User);
  if (!users->GetRowFieldByKey(0, uid, 0, false).empty()) return;
  users->CreateNewRow(false, 0);
  users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Peer", address, address});
  users->AddCurrentRow();
  users->SaveXMLDoc();
}

// A progress bar that tells every value it takes.
void installProgressBar() {
  static bool reserved = false;
  MessageCenterServices::Displays displays;
  displays.ReserveProgressBar = [](bool take) {
    if (reserved) return true;
    reserved = take;
    return false;
  };
  displays.SetProgress = [](int32_t, int32_t, int32_t, bool keepReserved, const std::string&) {
    if (!keepReserved) reserved = false;
  };
  displays.SetProgressValue = [](int32_t value, const std::string&) {
    say("progress " + std::to_string(value));
  };
  MessageCenterServices::InstallDisplays(std::move(displays));
}

void compose(const std::string& arguments) {
  std::vector<std::string> words = modGenFunctionsString::splitText(arguments, " ");
  const std::vector<std::string> recipients = modGenFunctionsString::splitText(words.at(0), ",");
  words.erase(words.begin());
  auto* window = new frmMessage("", recipients);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->findChild<QPlainTextEdit*>("txtMessage")->setPlainText("Files for you");
  window->AddAttachments(words);
  window->SendMessage();
  say("composed");
}

int termPipe[2];

void onTerm(int) {
  const char byte = 1;
  (void)!::write(termPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fputs("usage: file_peer NAME [--no-listen] [--plain] [--idle-tick MS] [--user UID ADDRESS]...\n",
               stderr);
    return 1;
  }
  const std::string name = argv[1];
  bool listen = true;
  bool plain = false;
  int idleTick = 1000;
  std::vector<std::pair<std::string, std::string>> people;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--no-listen") {
      listen = false;
    } else if (option == "--plain") {
      plain = true;
    } else if (option == "--idle-tick" && i + 1 < argc) {
      idleTick = std::atoi(argv[++i]);
    } else if (option == "--user" && i + 2 < argc) {
      people.emplace_back(argv[i + 1], argv[i + 2]);
      i += 2;
    } else {
      std::fputs("file_peer: unknown option\n", stderr);
      return 1;
    }
  }
  try {
    platform::setMessageBoxResponder(platform::unattendedResponder("file_peer"));
    MessageCenterServices::Install({[](int32_t kind, const std::string& text, int32_t,
                                       const std::string&, const std::string&) {
                                      say("activity " + std::to_string(kind) + " " + text);
                                    },
                                    [] {}});
    installProgressBar();
    modGlobalVariables::InitGlobalVariables();
    modGenFunctionsResource::LoadResourceFile(1);
    say("account " + logInHelperAccount(name));
    modLocalUserFunctions::LocalUserOptions.EncryptSendingFile = !plain;
    say("upload " + modLocalUserFunctions::LocalUserOptions.UploadFolder);
    for (const auto& [uid, address] : people) addPerson(uid, address);

    std::unique_ptr<PeerConnections> connections;
    if (listen) {
      connections = std::make_unique<PeerConnections>();
      connections->tmrConnectionTimeoutController.setInterval(idleTick);
      if (!connections->StartListening()) {
        std::fprintf(stderr, "file_peer: cannot listen: %s\n", connections->LastListenError().c_str());
        return 1;
      }
    }
    clsActionManager& queue = ActionManager();
    queue.StartActionManager();
    queue.SetActionTimer(1, true);

    if (::pipe(termPipe) != 0) return 1;
    std::signal(SIGTERM, onTerm);
    QSocketNotifier term(termPipe[0], QSocketNotifier::Read);
    QObject::connect(&term, &QSocketNotifier::activated, &app, [] { QCoreApplication::exit(0); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
      char buffer[4096];
      const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (count <= 0) {
        input.setEnabled(false);
        QCoreApplication::exit(0);
        return;
      }
      pending.append(buffer, static_cast<std::size_t>(count));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        const std::size_t space = line.find(' ');
        const std::string command = line.substr(0, space);
        try {
          if (command == "compose" && space != std::string::npos) {
            compose(line.substr(space + 1));
          } else if (command == "retry") {
            const auto& document = queue.Actions().XMLDocLinked();
            std::vector<std::string> uids;
            for (const pugi::xml_node row : document->rootElement().children("A")) {
              uids.emplace_back(row.attribute("UID").value());
            }
            for (const std::string& uid : uids) queue.ScheduleRetry(uid, true);
            say("retried");
          } else {
            say("unknown " + command);
          }
        } catch (...) {
          say("failed " + command);
        }
      }
    });

    int shown = -1;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
      const int left = queue.Actions().CountAll();
      if (left == shown) return;
      shown = left;
      say("queue " + std::to_string(left));
    });
    watch.start();
    say("ready");
    const int result = app.exec();
    ReleaseActionManager();
    if (connections) connections->CloseAll();
    return result;
  } catch (...) {
    std::fputs("file_peer: failed\n", stderr);
    return 1;
  }
}
