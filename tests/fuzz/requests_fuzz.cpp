// Request texts as peers send them, answered by the request dispatcher on
// one connection. An input holds one or more texts separated by NUL bytes,
// all taken on one fresh connection, so a sender check can precede the
// requests that need it. A text that starts with kFilePiece or kLastFilePiece
// is the payload of a file frame instead (after an accepted offer, the
// receiving side writes it); a connection that ends with its file open ends
// as a failed transfer.
//
// Two local accounts exist (one logged in, one not), each with one person
// in its users directory; the automatic reply is on for every fourth input.
// The connection comes from that person's address on file, every fifth
// input from another address.
// Every input starts from that installation (files, record pools, an empty
// queue).
//
// Checked after every text:
//  - the reply is empty, the fallback reply, or an "R" record whose "V" is a
//    whole number and whose "SD" is the logged-in account;
//  - no message box is shown;
//  - neither account's received messages hold a UID twice, and every row
//    there is a message "M" of the sender that the connection's sender
//    check accepted;
//  - no file lies anywhere in the installation but in the data folder and
//    the upload folder, names below the upload folder are well-formed UTF-8,
//    and after the connection has ended no unfinished file is left there;
//  - the person's "CS" never goes down, and a connection from another
//    address changes nothing of the person;
//  - no data file was set aside as damaged, and no error was raised.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string_view>

#include "FuzzSupport.h"
#include "MessageCenterServices.h"
#include "MessageBox.h"
#include "PoolLoan.h"
#include "TurnCommit.h"
#include "Utf8.h"
#include "clsActionManager.h"
#include "clsGenXMLDocument.h"
#include "modCOMRequestedAction.h"
#include "modFileTransfer.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr const char* kContact = "B0B00000-0000-0000-0000-000000000001";
// The accounts get fixed UIDs, so that the seeds can address them.
constexpr const char* kLoggedIn = "F0220000-0000-0000-0000-000000000001";
constexpr const char* kOther = "07E40000-0000-0000-0000-000000000002";
constexpr const char* kContactAddress = "127.0.0.77";
constexpr const char* kOtherAddress = "127.0.0.78";
constexpr char kFilePiece = '\x01';
constexpr char kLastFilePiece = '\x02';

std::string& loggedIn() {
  static std::string uid;
  return uid;
}
std::string& other() {
  static std::string uid;
  return uid;
}
bool& autoReply() {
  static bool on = false;
  return on;
}
int& boxesShown() {
  static int count = 0;
  return count;
}

std::string addAccount(const std::string& name, const std::string& uid) {
  const std::string made = ProgramTestEnvironment::addAccount(name, "secret", name, "Owner");
  PoolLoan accounts(modGlobalVariables::LocalUser);
  accounts->SetRowFieldByKey(0, made, 0, uid);
  accounts->SaveXMLDoc();
  return uid;
}

void addContact(const std::string& owner) {
  ProgramTestEnvironment::addPerson(owner, kContact, "5", "Smith", "Bob", kContactAddress);
}

// The person's row in the account's users directory.
std::string contactRow(const std::string& account) {
  const auto directory =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, account, true);
  return modGenFunctionsXML::XMLToString(
      directory->XMLDocLinked()->firstRowWhere("U", "UID", kContact));
}

int64_t changeCounter(const std::string& row) {
  const XMLDocumentRef element = clsGenXMLDocument::create();
  require(element->load(row));
  return modGenFunctions::ParseWholeNumber(element->rootElement().attribute("CS").value())
      .value_or(0);
}

// With `impostor`, the person is as he was; otherwise his "CS" is no lower.
void requireContactKept(const std::string& account, const std::string& before, bool impostor) {
  const std::string after = contactRow(account);
  if (impostor) {
    require(after == before);
  } else {
    require(changeCounter(after) >= changeCounter(before));
  }
}

void requireReply(const std::string& reply) {
  if (reply.empty() || reply == modGlobalVariables::FallbackResponseText) return;
  const XMLDocumentRef answer = clsGenXMLDocument::create();
  require(answer->load(reply));
  const pugi::xml_node root = answer->rootElement();
  require(std::string_view(root.name()) == "R");
  require(loggedIn() == root.attribute("SD").value());
  const std::string_view code = root.attribute("V").value();
  require(!code.empty() && code.find_first_not_of("0123456789") == std::string_view::npos);
}

void requireReceivedSound(const std::string& account) {
  const auto received =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, account, true);
  std::set<std::string> uids;
  for (const pugi::xml_node row : received->XMLDocLinked()->rootElement().children()) {
    require(std::string_view(row.name()) == "M");
    require(std::string_view(row.attribute("SD").value()).size() > 0);
    require(uids.insert(row.attribute("UID").value()).second);
  }
}

ProgramTestEnvironment*& installation() {
  static ProgramTestEnvironment* environment = nullptr;
  return environment;
}

std::unique_ptr<InstallationSnapshot>& startingInstallation() {
  static std::unique_ptr<InstallationSnapshot> snapshot;
  return snapshot;
}

void logIn() {
  modGlobalVariables::CurrentLocalUserUID = loggedIn();
  modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
}

// Back to the installation as set up: an automatic reply may have queued an
// action, received messages and files and changed people are dropped.
void resetInstallation() {
  if (ActionManagerExists()) ReleaseActionManager(false);
  startingInstallation()->restore();
  logIn();
}

// The hidden temporary name an incoming file has until it is committed:
// "." + its name + ".tvrpart-" + ten digits or lower-case letters.
bool isUnfinishedFile(const std::string& name) {
  constexpr std::string_view kMark = ".tvrpart-";
  constexpr std::size_t kSuffixLength = 10;
  if (name.size() < 2 + kMark.size() + kSuffixLength || name[0] != '.') return false;
  const std::size_t suffix = name.size() - kSuffixLength;
  return name.compare(suffix - kMark.size(), kMark.size(), kMark) == 0 &&
         name.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz", suffix) == std::string::npos;
}

bool liesBelow(const std::filesystem::path& path, const std::string& folder) {
  const std::string text = path.string();
  return !folder.empty() && text.compare(0, folder.size(), folder) == 0;
}

// Every file of the installation lies in the data folder or the upload
// folder, below which every name is well-formed UTF-8; with `ended`, no
// unfinished file is left (a received file may well be named ".x").
void requireFilesConfined(bool ended) {
  namespace fs = std::filesystem;
  const std::string upload = modLocalUserFunctions::LocalUserOptions.UploadFolder;
  std::error_code error;
  for (fs::recursive_directory_iterator it(installation()->root(), error), end; it != end && !error;
       it.increment(error)) {
    if (!it->is_regular_file(error) && !it->is_symlink(error)) continue;
    const bool inUpload = liesBelow(it->path(), upload + "/");
    require(inUpload || liesBelow(it->path(), installation()->dataFolder() + "/") ||
            liesBelow(it->path(), installation()->root() + "/registry"));
    if (!inUpload) continue;
    const std::string below = it->path().string().substr(upload.size());
    require(platform::utf8::valid(below, '_') == below);
    if (ended) require(!isUnfinishedFile(it->path().filename().string()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  installation() = &startFuzzProgram();
  platform::setMessageBoxResponder([](const platform::MessageBoxRequest&) {
    ++boxesShown();
    return platform::kMbResultOk;
  });
  qputenv("TAVINOR_BIND_ADDRESS", "127.0.0.71");
  modGenFunctionsResource::loadResourceText(
      "|[MESSAGES]|\r\nMSG20102=Message received from %%.\r\nMSG20510=%% was added.\r\n"
      "MSG30001=%% was updated.\r\nMSG30002=%% is unchanged.\r\nMSG20535=Unknown user\r\n");
  loggedIn() = addAccount("FUZZ", kLoggedIn);
  other() = addAccount("OTHER", kOther);
  logIn();
  addContact(loggedIn());
  addContact(other());
  MessageCenterServices::Install(
      {[](int32_t, const std::string&, int32_t, const std::string&, const std::string&) {}, [] {}});
  MessageCenterServices::Displays displays;
  displays.AddBoardItem = [](int32_t, const std::string&) {};
  displays.SynchronizeDisplays = [](int32_t, bool) {};
  displays.AutoReplyOn = [] { return autoReply(); };
  displays.AutoReplyText = [] { return std::string("Away"); };
  MessageCenterServices::InstallDisplays(std::move(displays));
  startingInstallation() = std::make_unique<InstallationSnapshot>(installation()->root());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  resetInstallation();
  autoReply() = size % 4 == 0;
  modLocalUserFunctions::LocalUserOptions.AcceptMessFileFromUserInMyUserList = size % 3 == 0;
  const std::string input = fuzzText(data, size);
  const bool impostor = size % 5 == 0;
  const std::string contactBefore = contactRow(loggedIn());
  const std::string otherContactBefore = contactRow(other());
  ConnectionState state;
  InitConnectionState(state);
  state.PeerAddress = impostor ? kOtherAddress : kContactAddress;
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    const std::string text = input.substr(start, end - start);
    start = end + 1;
    if (!text.empty() && (text[0] == kFilePiece || text[0] == kLastFilePiece)) {
      if (!state.FileOffered || state.RawMode) continue;
      state.IsLastChunk = text[0] == kLastFilePiece;
      bool rawMode = false;
      const std::string reply = modFileTransfer::ReceiveFileData(state, text.substr(1), rawMode);
      state.RawMode = rawMode || !reply.empty();
      continue;
    }
    requireReply(modCOMRequestedAction::ProcessRequestedAction(text, state));
    // A reply goes once what its request stored is on disk.
    TurnCommit::now();
  }
  requireFilesConfined(false);
  if (state.FileOpened) modFileTransfer::HandleConnectionTimeout(state, true);
  requireFilesConfined(true);
  require(boxesShown() == 0);
  requireContactKept(loggedIn(), contactBefore, impostor);
  requireContactKept(other(), otherContactBefore, impostor);
  requireReceivedSound(loggedIn());
  requireReceivedSound(other());
  require(!damagedCopyKept(installation()->dataFolder()));
  return 0;
}
