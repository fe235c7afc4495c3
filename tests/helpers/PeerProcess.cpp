#include "PeerProcess.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <utility>

#include "HelperAccount.h"
#include "MessageBox.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"

namespace {

struct Arguments {
  std::string name;
  bool listen = true;
  std::vector<std::pair<std::string, std::string>> people;  // UID, address
};

bool readArguments(int argc, char** argv, const PeerProgram& program, Arguments& arguments) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s NAME [--no-listen] %s[--user UID ADDRESS]...\n", program.name,
                 program.ownOptions);
    return false;
  }
  arguments.name = argv[1];
  const std::vector<std::string> words(argv + 2, argv + argc);
  for (std::size_t i = 0; i < words.size();) {
    if (words[i] == "--no-listen") {
      arguments.listen = false;
      ++i;
    } else if (words[i] == "--user" && i + 2 < words.size()) {
      arguments.people.emplace_back(words[i + 1], words[i + 2]);
      i += 3;
    } else if (const std::size_t taken = program.option(words, i)) {
      i += taken;
    } else {
      std::fprintf(stderr, "%s: unknown option\n", program.name);
      return false;
    }
  }
  return true;
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

// Runs the program's command of `line`.
void runCommand(const PeerProgram& program, const std::string& line) {
  const std::size_t space = line.find(' ');
  const std::string command = line.substr(0, space);
  const std::string arguments = space == std::string::npos ? "" : line.substr(space + 1);
  try {
    if (!program.command(command, arguments)) say("unknown " + command);
  } catch (...) {
    say("failed " + command);
  }
}

int runLoggedIn(QApplication& app, const PeerProgram& program, const Arguments& arguments) {
  platform::setMessageBoxResponder(platform::unattendedResponder(program.name));
  program.installServices();
  modGlobalVariables::InitGlobalVariables();
  modGenFunctionsResource::LoadResourceFile(1);
  say("account " + logInHelperAccount(arguments.name));
  program.loggedIn();
  for (const auto& [uid, address] : arguments.people) addPerson(uid, address);

  std::unique_ptr<PeerConnections> connections;
  if (arguments.listen) {
    connections = std::make_unique<PeerConnections>();
    program.listening(*connections);
    if (!connections->StartListening()) {
      std::fprintf(stderr, "%s: cannot listen: %s\n", program.name,
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
      runCommand(program, line);
    }
  });

  int shown = -1;
  QTimer watch;
  watch.setInterval(program.watchMs);
  QObject::connect(&watch, &QTimer::timeout, &app, [&] {
    const int left = queue.Actions().CountAll();
    if (left != shown) {
      shown = left;
      say("queue " + std::to_string(left));
    }
    program.watched();
  });
  watch.start();
  say("ready");
  const int result = app.exec();
  program.ending();
  ReleaseActionManager();
  if (connections) connections->CloseAll();
  return result;
}

}  // namespace

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void retryEveryAction() {
  clsActionManager& queue = ActionManager();
  std::vector<std::string> planned;
  for (const pugi::xml_node row : queue.Actions().XMLDocLinked()->rootElement().children("A")) {
    planned.emplace_back(row.attribute("UID").value());
  }
  for (const std::string& uid : planned) queue.ScheduleRetry(uid, true);
}

int runPeerProgram(int argc, char** argv, const PeerProgram& program) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  Arguments arguments;
  if (!readArguments(argc, argv, program, arguments)) return 1;
  try {
    return runLoggedIn(app, program, arguments);
  } catch (...) {
    std::fprintf(stderr, "%s: failed\n", program.name);
    return 1;
  }
}
