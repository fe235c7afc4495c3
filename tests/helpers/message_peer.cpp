// message_peer: one copy without its windows, played through the program's
// libraries, for tests that need a sender or a receiver they can kill at any
// moment. It logs in the account NAME of $TAVINOR_DATA_ROOT (created with
// password "pw" when missing), listens on $TAVINOR_BIND_ADDRESS unless told
// not to, runs the action queue and takes commands on standard input:
//
//   message_peer NAME [--no-listen] [--user UID ADDRESS]...
//       --user puts a person with that UID and address into the users
//       directory (when not there yet).
//   commands, one a line:
//     send UIDS TEXT     SendMessageToRecipients (UIDS: "||" between several
//                        recipients); prints "sent MESSAGE_UID"
//     ask TYPE UID       queues a request of TYPE (1100 users directory,
//                        1300 identity) to that person
//     retry              makes every planned retry due now, as the queue
//                        list's "retry now" does
//
// A users directory that comes back is printed as "found XML" (one line).
// The users directory is written with the sent messages.
//
// It prints "account UID" and then "ready" once it listens and the queue
// runs, and "queue N" whenever the number of stored actions changes. The
// sent messages are written every 100 ms (the program itself does so every
// few seconds). SIGTERM or the end of standard input ends it normally.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "modCOMFunctions.h"
#include "modGenFunctionsResource.h"
#include "HelperAccount.h"
#include "UsersAndOptionsServices.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using namespace modLocalUserFunctions;

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
    std::fputs("usage: message_peer NAME [--no-listen] [--user UID ADDRESS]...\n", stderr);
    return 1;
  }
  const std::string name = argv[1];
  bool listen = true;
  std::vector<std::pair<std::string, std::string>> people;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--no-listen") {
      listen = false;
    } else if (option == "--user" && i + 2 < argc) {
      people.emplace_back(argv[i + 1], argv[i + 2]);
      i += 2;
    } else {
      std::fputs("message_peer: unknown option\n", stderr);
      return 1;
    }
  }
  try {
    platform::setMessageBoxResponder(platform::unattendedResponder("message_peer"));
    MessageCenterServices::Install({[](int32_t, const std::string&, int32_t, const std::string&,
                                       const std::string&) {},
                                    [] {}});
    modGlobalVariables::InitGlobalVariables();
    modGenFunctionsResource::LoadResourceFile(1);
    UsersAndOptionsServices::InstallSearch([](const std::string& users) {
      std::string line = users;
      for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      say("found " + line);
    });
    say("account " + logInHelperAccount(name));
    for (const auto& [uid, address] : people) addPerson(uid, address);

    std::unique_ptr<PeerConnections> connections;
    if (listen) {
      connections = std::make_unique<PeerConnections>();
      if (!connections->StartListening()) {
        std::fprintf(stderr, "message_peer: cannot listen: %s\n",
                     connections->LastListenError().c_str());
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
        const std::string command = line.substr(0, line.find(' '));
        const std::string rest = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        try {
          if (command == "send") {
            const std::string recipient = rest.substr(0, rest.find(' '));
            const std::string text = rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);
            say("sent " + modCOMFunctions::SendMessageToRecipients(text, 1, 1, recipient, "", false,
                                                                  false));
          } else if (command == "ask") {
            const int32_t type = std::stoi(rest.substr(0, rest.find(' ')));
            const std::string person = rest.substr(rest.find(' ') + 1);
            queue.AddAction(type, "", person, "", false, "", true, false, false);
            queue.SaveStore();
          } else if (command == "retry") {
            std::vector<std::string> planned;
            for (const pugi::xml_node row :
                 queue.Actions().XMLDocLinked()->rootElement().children()) {
              planned.emplace_back(row.attribute("UID").value());
            }
            for (const std::string& uid : planned) queue.ScheduleRetry(uid, true);
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
    watch.setInterval(100);
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
      const int left = queue.Actions().CountAll();
      if (left != shown) {
        shown = left;
        say("queue " + std::to_string(left));
      }
      PoolLoan sent(modGlobalVariables::MessSent);
      sent->SaveXMLDoc();
      PoolLoan users(modGlobalVariables::User);
      users->SaveXMLDoc();
    });
    watch.start();
    say("ready");
    const int result = app.exec();
    {
      PoolLoan sent(modGlobalVariables::MessSent);
      sent->SaveXMLDoc();
    }
    ReleaseActionManager();
    if (connections) connections->CloseAll();
    return result;
  } catch (...) {
    std::fputs("message_peer: failed\n", stderr);
    return 1;
  }
}
