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
#include <QPlainTextEdit>
#include <cstdlib>
#include <string>
#include <vector>

#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PeerProcess.h"
#include "frmMessage.h"
#include "modGenFunctionsString.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr int kWatchMs = 50;

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

}  // namespace

int main(int argc, char** argv) {
  bool plain = false;
  int idleTick = 1000;
  const PeerProgram program{
      .name = "file_peer",
      .ownOptions = "[--plain] [--idle-tick MS] ",
      .watchMs = kWatchMs,
      .option = [&](const std::vector<std::string>& words, std::size_t at) -> std::size_t {
        if (words[at] == "--plain") {
          plain = true;
          return 1;
        }
        if (words[at] == "--idle-tick" && at + 1 < words.size()) {
          idleTick = std::atoi(words[at + 1].c_str());
          return 2;
        }
        return 0;
      },
      .installServices =
          [] {
            MessageCenterServices::Install({[](int32_t kind, const std::string& text, int32_t,
                                               const std::string&, const std::string&) {
                                              say("activity " + std::to_string(kind) + " " + text);
                                            },
                                            [] {}});
            installProgressBar();
          },
      .loggedIn =
          [&] {
            modLocalUserFunctions::LocalUserOptions.EncryptSendingFile = !plain;
            say("upload " + modLocalUserFunctions::LocalUserOptions.UploadFolder);
          },
      .listening =
          [&](PeerConnections& connections) {
            connections.tmrConnectionTimeoutController.setInterval(idleTick);
          },
      .command =
          [](const std::string& command, const std::string& arguments) {
            if (command == "compose" && !arguments.empty()) {
              compose(arguments);
            } else if (command == "retry") {
              retryEveryAction();
              say("retried");
            } else {
              return false;
            }
            return true;
          },
  };
  return runPeerProgram(argc, argv, program);
}
