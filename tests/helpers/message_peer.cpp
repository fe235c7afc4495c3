// message_peer: one copy without its windows, played through the program's
// libraries, for tests that need a sender or a receiver they can kill at any
// moment. It logs in the account NAME of $TAVINOR_DATA_ROOT (created with
// password "pw" when missing), listens on $TAVINOR_BIND_ADDRESS unless told
// not to, runs the action queue and takes commands on standard input:
//
//   message_peer NAME [--no-listen] [--modal-boxes] [--idle-tick MS] [--user UID ADDRESS]...
//       --user puts a person with that UID and address into the users
//       directory (when not there yet).
//       --modal-boxes holds every message box open for a while with the
//       events running beneath it, as a person reading a real box would,
//       and prints "box TEXT" for it (otherwise boxes go to standard
//       error and are answered at once).
//       --idle-tick makes the listener's idle controller tick every MS
//       milliseconds instead of every second (its limits count ticks).
//   commands, one a line:
//     send UIDS TEXT     SendMessageToRecipients (UIDS: "||" between several
//                        recipients); prints "sent MESSAGE_UID"
//     ask TYPE UID       queues a request of TYPE (1100 users directory,
//                        1300 identity) to that person
//     retry              makes every planned retry due now, as the queue
//                        list's "retry now" does
//
// A users directory that comes back is printed as "found XML" (one line),
// an entry of the events list as "event TEXT" (one line).
// The users directory is written with the sent messages.
//
// It prints "account UID" and then "ready" once it listens and the queue
// runs, and "queue N" whenever the number of stored actions changes. The
// sent messages are written every 100 ms (the program itself does so every
// few seconds). SIGTERM or the end of standard input ends it normally.
#include <QEventLoop>
#include <QTimer>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PeerProcess.h"
#include "PoolLoan.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "modCOMFunctions.h"
#include "modGlobalVariables.h"

namespace {

// How often the queue is looked at and the sent messages written.
constexpr int kWatchMs = 100;
// How long a box stays open with --modal-boxes.
constexpr int kBoxOpenMs = 1000;

bool modalBoxes = false;
int idleTick = 1000;

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

int holdBoxOpen(const platform::MessageBoxRequest& box) {
  say("box " + oneLine(box.text));
  QEventLoop reading;
  QTimer::singleShot(kBoxOpenMs, &reading, &QEventLoop::quit);
  reading.exec();
  return platform::kMbResultOk;
}

void send(const std::string& arguments) {
  const std::size_t space = arguments.find(' ');
  const std::string recipient = arguments.substr(0, space);
  const std::string text = space == std::string::npos ? "" : arguments.substr(space + 1);
  say("sent " + modCOMFunctions::SendMessageToRecipients(text, 1, 1, recipient, "", false, false));
}

void ask(const std::string& arguments) {
  const int32_t type = std::stoi(arguments.substr(0, arguments.find(' ')));
  const std::string person = arguments.substr(arguments.find(' ') + 1);
  clsActionManager& queue = ActionManager();
  queue.AddAction(type, "", person, "", false, "", true, false, false);
  queue.SaveStore();
}

void saveSentMessages() {
  PoolLoan sent(modGlobalVariables::MessSent);
  sent->SaveXMLDoc();
}

}  // namespace

int main(int argc, char** argv) {
  const PeerProgram program{
      .name = "message_peer",
      .ownOptions = "[--modal-boxes] [--idle-tick MS] ",
      .watchMs = kWatchMs,
      .option = [](const std::vector<std::string>& words, std::size_t at) -> std::size_t {
        if (words[at] == "--idle-tick" && at + 1 < words.size()) {
          idleTick = std::atoi(words[at + 1].c_str());
          return 2;
        }
        if (words[at] != "--modal-boxes") return 0;
        modalBoxes = true;
        return 1;
      },
      .installServices =
          [] {
            MessageCenterServices::Install({[](int32_t kind, const std::string& text, int32_t,
                                               const std::string&, const std::string&) {
                                              if (kind == MessageCenterServices::kEvents) {
                                                say("event " + oneLine(text));
                                              }
                                            },
                                            [] {}});
            UsersAndOptionsServices::InstallSearch(
                [](const std::string& users) { say("found " + oneLine(users)); });
          },
      .loggedIn =
          [] {
            if (modalBoxes) platform::setMessageBoxResponder(holdBoxOpen);
          },
      .listening =
          [](PeerConnections& connections) { connections.tmrConnectionTimeoutController.setInterval(idleTick); },
      .command =
          [](const std::string& command, const std::string& arguments) {
            if (command == "send") {
              send(arguments);
            } else if (command == "ask") {
              ask(arguments);
            } else if (command == "retry") {
              retryEveryAction();
            } else {
              return false;
            }
            return true;
          },
      .watched =
          [] {
            saveSentMessages();
            PoolLoan users(modGlobalVariables::User);
            users->SaveXMLDoc();
          },
      .ending = saveSentMessages,
  };
  return runPeerProgram(argc, argv, program);
}
