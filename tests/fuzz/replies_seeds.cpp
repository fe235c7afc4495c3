// Writes the seed corpus of replies_fuzz: for every kind of action, the
// replies of a conversation that goes through, and of the usual ways one
// ends early, made as a peer makes them (BuildResponse).
//
//   replies_seeds <folder>
//
// Each seed is the action byte and the flags byte of replies_fuzz.cpp, then
// the reply texts separated by NUL bytes.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "modCOMRequestedAction.h"
#include "modGlobalVariables.h"

namespace {

// The peer's account (the "SD" of its replies) and the person it is.
constexpr const char* kPeerAccount = "5EE00000-0000-0000-0000-00000000000A";
constexpr const char* kPeer = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kPeerAddress = "127.0.0.142";

// Indexes into replies_fuzz's kActions, and its flags.
enum Action : char {
  kLocalUsers, kUsersDirectory, kDeliver, kUserInformation, kMessageStatus, kRecall,
  kOfferFile, kServerIdentity, kServerReport, kServerSearch,
};
constexpr char kRA = 1, kRetry = 2, kReport = 4, kPrimaryServer = 8, kPlainFrames = 16;

std::string reply(int code, const std::string& content = {}) {
  return modCOMRequestedAction::BuildResponse("", "", "", code, content, false);
}

std::string identity(const std::string& uid, const std::string& firstName,
                     const std::string& address = kPeerAddress) {
  return "<U LN=\"Smith\" FN=\"" + firstName + "\" UID=\"" + uid + "\" IP=\"" + address +
         "\" CN=\"BOBPC\" CS=\"3\"/>";
}

// A list of `count` people with nothing but a "UID".
std::string people(int count) {
  std::string list = "<TVR>";
  for (int i = 0; i < count; ++i) list += "<U UID=\"P" + std::to_string(i) + "\"/>";
  return list + "</TVR>";
}

struct Seed {
  const char* name;
  char action;
  char flags;
  std::vector<std::string> replies;
};

void write(const std::string& folder, const Seed& seed) {
  std::string bytes{seed.action, seed.flags};
  for (std::size_t i = 0; i < seed.replies.size(); ++i) {
    if (i > 0) bytes += '\0';
    bytes += seed.replies[i];
  }
  std::ofstream(folder + "/" + seed.name + ".bin", std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 1;
  }
  modGlobalVariables::CurrentLocalUserUID = kPeerAccount;
  const std::string hi = reply(100);
  const std::string found = "<TVR>" + identity(kPeer, "Bob") + identity("", "Nobody") +
                            identity("CA410000-0000-0000-0000-000000000002", "Carl") + "</TVR>";
  const std::string bob = reply(1300, identity(kPeer, "Robert"));
  const std::vector<Seed> seeds = {
      {"search_local_users", kLocalUsers, 0, {hi, reply(1000, found)}},
      {"search_answer_of_many", kLocalUsers, 0, {hi, reply(1000, people(1001))}},
      {"search_not_reached", kLocalUsers, 0, {reply(100101)}},
      {"users_directory", kUsersDirectory, kRetry, {hi, reply(200), reply(1100, found)}},
      {"users_directory_not_shared", kUsersDirectory, kRetry, {hi, reply(200), reply(101100)}},
      {"deliver_known_sender", kDeliver, kRA | kRetry | kReport,
       {hi, reply(200), reply(300), reply(1200)}},
      {"deliver_known_sender_plain_frames", kDeliver, kRA | kRetry | kPlainFrames,
       {hi, reply(200), reply(300), reply(1200)}},
      {"deliver_stranger", kDeliver, kRA | kRetry | kReport,
       {hi, reply(200), reply(100300), reply(400), reply(1201), reply(1200)}},
      {"deliver_sender_refused", kDeliver, kRA | kRetry, {hi, reply(200), reply(100301)}},
      {"deliver_refused_at_greeting", kDeliver, kRA | kRetry, {reply(100101)}},
      {"deliver_not_saved", kDeliver, kRetry, {hi, reply(200), reply(300), reply(101200)}},
      {"deliver_two_unexpected", kDeliver, kRetry, {hi, reply(200), reply(300), reply(999), reply(999)}},
      {"deliver_empty_reply", kDeliver, kRetry, {hi, "", reply(200), reply(300), reply(1200)}},
      {"deliver_hang_up", kDeliver, kRetry, {hi, reply(200)}},
      // Not found: reported to the primary server, whose answer makes the
      // delivery due again, which then goes through.
      {"deliver_reported_to_server", kDeliver, kRetry | kReport | kPrimaryServer,
       {hi, reply(100200), hi, bob, hi, reply(200), reply(300), reply(1200)}},
      {"user_information", kUserInformation, kRetry, {hi, reply(200), bob}},
      {"user_information_of_another", kUserInformation, kRetry,
       {hi, reply(200), reply(1300, identity("CA410000-0000-0000-0000-000000000002", "Carl"))}},
      {"message_status", kMessageStatus, kRA | kRetry, {hi, reply(200), reply(1400)}},
      {"recall", kRecall, kRA | kRetry, {hi, reply(200), reply(1500)}},
      {"file_sent", kOfferFile, kRetry | kReport,
       {hi, reply(200), reply(300), reply(2000), reply(2050), reply(2051)}},
      {"file_not_taken", kOfferFile, kRetry,
       {hi, reply(200), reply(300), reply(2000), reply(102051)}},
      {"server_identity", kServerIdentity, kPrimaryServer, {hi, reply(400)}},
      {"server_report", kServerReport, kPrimaryServer, {hi, bob}},
      {"server_search", kServerSearch, kPrimaryServer, {hi, reply(1100, found)}},
  };
  for (const Seed& seed : seeds) write(argv[1], seed);
  std::printf("%zu seeds written\n", seeds.size());
  return 0;
}
