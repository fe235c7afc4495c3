#pragma once
// PeerProcess: the frame of the helper programs that play one copy without
// its main window (file_peer, message_peer), for tests that kill a sender or
// a receiver at any moment. runPeerProgram:
//   - reads the command line NAME [--no-listen] [--user UID ADDRESS]... and
//     the program's own options; a usage line on a bad one (exit 1);
//   - installs the unattended message-box responder and the program's
//     services, logs in the account NAME of $TAVINOR_DATA_ROOT (created with
//     password "pw" when missing) and prints "account UID";
//   - puts each --user person (UID and address) into the users directory
//     when not there yet; listens on $TAVINOR_BIND_ADDRESS unless told not
//     to; starts the action queue;
//   - runs the program's command for each line of standard input, printing
//     "unknown COMMAND" for one it does not know and "failed COMMAND" when it
//     threw;
//   - prints "ready", then "queue N" whenever the number of stored actions
//     changes; ends normally on SIGTERM or the end of standard input.
// Any failure outside a command prints "NAME: failed" and exits 1.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class PeerConnections;

struct PeerProgram {
  const char* name;        // the program's name, for its messages
  const char* ownOptions;  // its own options for the usage line, each followed by a space
  int watchMs;             // how often the queue is looked at
  // The program's own option words[at] (words: what follows NAME): how many
  // words it took, 0 when it is none of its own.
  std::function<std::size_t(const std::vector<std::string>& words, std::size_t at)> option =
      [](const std::vector<std::string>&, std::size_t) -> std::size_t { return 0; };
  // Installs the program's services; before the globals are initialised.
  std::function<void()> installServices;
  // Right after "account UID".
  std::function<void()> loggedIn = [] {};
  // Before it starts listening.
  std::function<void(PeerConnections&)> listening = [](PeerConnections&) {};
  // Runs `command` with the rest of its line; false when it knows none.
  std::function<bool(const std::string& command, const std::string& arguments)> command;
  // At every look at the queue.
  std::function<void()> watched = [] {};
  // Once the event loop has ended, before the queue is released.
  std::function<void()> ending = [] {};
};

// Prints `line` on standard output at once.
void say(const std::string& line);

// Makes every planned retry of the queue due now, as the queue list's
// "Retry now" does.
void retryEveryAction();

int runPeerProgram(int argc, char** argv, const PeerProgram& program);
