// The replies that a peer, or the primary server, sends back to this copy's
// own actions: each input queues one action of the logged-in account, the
// real action queue takes it up (ping, connect to a loopback listener that
// stands for the peer, the requests of its path), and the peer sends every
// reply text of the input on the connection as a sender frames it
// (enciphered, or plain when the flags say so), each once the copy has read
// the one before. When the replies run out, the peer resets the connection.
// An action that the conversation queued or made due (a status report, a
// delivery made due again) is worked on with the replies left, up to
// kMaxConversations, while its recipient stays on loopback. A user search
// window is open, so the user-search answers reach its found list.
//
// Input: a byte choosing the action (kActions), a byte of flags (kFlag*),
// then the reply texts, separated by NUL bytes.
//
// Every input starts from the installation as set up (files, record pools,
// an empty queue, a fresh search window).
// Checked after every reply and at the end:
//  - while a conversation runs its row is in progress; when it ends nothing
//    is current;
//  - the queue holds each UID once, no row in progress, only types with a
//    path; what it holds is on disk: a store read afresh holds the same;
//  - no message box is shown, no file changes outside the data folder, no
//    data file is set aside as damaged;
//  - the users directory holds each UID once and still holds the peer;
//  - the found list holds what the search counted, never the logged-in
//    person, at most kMaxUsersPerAnswer people per answer.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

#include "FuzzSupport.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "frmUserSelection.h"
#include "modCOMFunctions.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

using namespace modGlobalVariables;

constexpr const char* kOwnAddress = "127.0.0.141";
constexpr const char* kPeerAddress = "127.0.0.142";
constexpr const char* kPeer = "B0B00000-0000-0000-0000-000000000001";
constexpr int kMaxConversations = 3;
constexpr int32_t kUserUIDField = 0;
constexpr int32_t kUserIPField = 7;
constexpr int kWaitMs = 5000;

// The texts of what the conversations tell the person.
constexpr const char* kResourceText =
    "|[MESSAGES]|\r\n"
    "MSG20001=File %% (%%) received by %%.\r\nMSG20101=Message delivered to %%.\r\n"
    "MSG20500=%% does not accept your messages and files.\r\n"
    "MSG20510=%% has been added to your users.\r\nMSG20520=%% does not share the list of users.\r\n"
    "MSG30001=The information of %% has been updated.\r\n"
    "MSG30002=The information of %% is unchanged.\r\nMSG30101=Message recalled from %%.\r\n"
    "MSG20535=Unknown user\r\n"
    "MSG65001=%% refused the connection.\r\nMSG80210=%% to %% was given up.\r\n"
    "MSG80555=The file %% was not received by %%.\r\n"
    "MSG100100=The file %% could not be sent to %%.\r\n"
    "|[ACTION TYPE]|\r\n1000=List the users of a computer\r\n1100=Ask for a user list\r\n"
    "1200=Deliver a message\r\n1300=Ask for user information\r\n1400=Send a read notice\r\n"
    "1500=Recall a message\r\n2000=Send a file\r\n";

constexpr std::uint8_t kFlagRA = 1;
constexpr std::uint8_t kFlagRetry = 2;
constexpr std::uint8_t kFlagReport = 4;
constexpr std::uint8_t kFlagPrimaryServer = 8;
constexpr std::uint8_t kFlagPlainFrames = 16;

// How the program queues each kind of action: to the peer by its UID, or to
// an address (the searches, the primary server's actions).
struct ActionKind {
  int32_t type;
  bool byAddress;
};
constexpr ActionKind kActions[] = {
    {kRequestLocalUsers, true},      {kRequestUsersDirectory, false},
    {kRequestDeliverMessage, false}, {kRequestUserInformation, false},
    {kRequestMessageStatus, false},  {kRequestRecallMessage, false},
    {kRequestOfferFiles, false},     {kRequestServerIdentity, true},
    {kRequestServerStatusReport, true}, {kRequestServerUserSearch, true},
};

// What the harness set up once.
struct Installation {
  ProgramTestEnvironment* environment = nullptr;
  std::unique_ptr<InstallationSnapshot> snapshot;
  std::string account;
  std::string message;      // a sent message to the peer
  std::string messageText;  // its delivery's "V"
  std::string file;         // a file to offer
  // Takes the answers from its making on. Never shown; made for every
  // input, the last left to the end of the process.
  frmUserSelection* search = nullptr;
  int boxes = 0;
};

Installation& installation() {
  static Installation setUp;
  return setUp;
}

// The peer's side of every connection: accepted, read and dropped.
class PeerListener {
 public:
  PeerListener() {
    for (const int port : {clsActionManager::kPeerPort, clsActionManager::kServerPort}) {
      auto server = std::make_unique<QTcpServer>();
      require(server->listen(QHostAddress(kPeerAddress), static_cast<quint16>(port)));
      QTcpServer* listener = server.get();
      QObject::connect(listener, &QTcpServer::newConnection, [this, listener] {
        while (QTcpSocket* socket = listener->nextPendingConnection()) {
          socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
          QObject::connect(socket, &QTcpSocket::readyRead, [socket] { socket->readAll(); });
          sockets_.push_back(socket);
        }
      });
      servers_.push_back(std::move(server));
    }
  }

  bool connected() const { return !sockets_.empty(); }
  // The port the copy's side of the connection has.
  quint16 copyPort() const { return sockets_.back()->peerPort(); }
  // Bytes sent that the system has not yet handed to the copy's side.
  bool sending() const {
    QTcpSocket& socket = *sockets_.back();
    int unsent = 0;
    return socket.bytesToWrite() > 0 ||
           (::ioctl(static_cast<int>(socket.socketDescriptor()), SIOCOUTQNSD, &unsent) == 0 &&
            unsent > 0);
  }

  void send(const std::string& bytes) {
    sockets_.back()->write(bytes.data(), static_cast<qint64>(bytes.size()));
    sockets_.back()->flush();
  }

  // Resets every connection (no linger: nothing is left waiting out its
  // time in the system, however many inputs run).
  void dropConnections() {
    const linger reset{1, 0};
    for (QTcpSocket* socket : sockets_) {
      ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                   sizeof reset);
      socket->abort();
      socket->deleteLater();
    }
    sockets_.clear();
  }

 private:
  std::vector<std::unique_ptr<QTcpServer>> servers_;
  std::vector<QTcpSocket*> sockets_;
};

PeerListener& peer() {
  static PeerListener listener;
  return listener;
}

void logIn(std::uint8_t flags) {
  CurrentLocalUserUID = installation().account;
  modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "",
                                              "");
  modLocalUserFunctions::LocalUserOptions.PrimaryServerIP =
      (flags & kFlagPrimaryServer) != 0 ? kPeerAddress : "";
}

// The queue works only when the harness says so: its own tick never runs.
clsActionManager& queue() {
  clsActionManager& manager = ActionManager();
  manager.tmrWinsockActionManager.blockSignals(true);
  manager.tmrActionManagerFailOver.blockSignals(true);
  return manager;
}

void addAction(const ActionKind& kind, std::uint8_t flags) {
  const Installation& setUp = installation();
  std::string OUID, V;
  switch (kind.type) {
    case kRequestDeliverMessage: OUID = setUp.message; V = setUp.messageText; break;
    case kRequestMessageStatus: OUID = setUp.message; V = " 2"; break;
    case kRequestRecallMessage: OUID = setUp.message; break;
    case kRequestOfferFiles: V = setUp.file; break;
    case kRequestServerStatusReport: V = kPeer; break;
    default: break;
  }
  queue().AddAction(kind.type, OUID, kind.byAddress ? "" : kPeer, V, (flags & kFlagRA) != 0,
                    kind.byAddress ? kPeerAddress : "", false, (flags & kFlagRetry) != 0,
                    (flags & kFlagReport) != 0);
}

std::vector<pugi::xml_node> queuedRows() {
  std::vector<pugi::xml_node> rows;
  const XMLDocumentRef& document = queue().Actions().XMLDocLinked();
  for (const pugi::xml_node row : document->rootElement().children("A")) rows.push_back(row);
  return rows;
}

// An action due now goes nowhere but to loopback (an address-less one is
// given up without a connection).
bool dueActionsStayLocal() {
  for (const pugi::xml_node row : queuedRows()) {
    const std::string_view status = row.attribute("AS").value();
    if (status != "10" && !(status == "50" && std::string_view(row.attribute("NCTS").value()).empty())) {
      continue;
    }
    std::string address = row.attribute("RIU").value();
    if (address.empty()) {
      address = modGlobalFunctions::GetObjectFieldValue(User, kUserUIDField,
                                                        row.attribute("RUID").value(), kUserIPField,
                                                        false);
    }
    if (!address.empty() && address.rfind("127.", 0) != 0) return false;
  }
  return true;
}

std::string rowStatus(const std::string& uid) {
  for (const pugi::xml_node row : queuedRows()) {
    if (uid == row.attribute("UID").value()) return row.attribute("AS").value();
  }
  return {};
}

void requireConversationSound() {
  clsActionManager& manager = queue();
  if (manager.IsBusy()) {
    require(rowStatus(manager.Current().ID) == "20");
  } else {
    require(manager.Current().ID.empty());
  }
}

// Runs events while `waiting` holds and the conversation goes on.
template <typename Waiting>
void runEventsWhile(clsActionManager& manager, Waiting waiting) {
  const QDeadlineTimer deadline(kWaitMs);
  while (manager.IsBusy() && waiting()) {
    require(!deadline.hasExpired());
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
  }
}

// The copy's socket of the connection from `port` on its own address.
int copySocket(quint16 port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
        QHostAddress(ntohl(address.sin_addr.s_addr)) == QHostAddress(kOwnAddress)) {
      return fd;
    }
  }
  return -1;
}

int unread(int fd) {
  int bytes = 0;
  return ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : 0;
}

// Works one due action with the replies from `next` on; false when none was due.
bool converse(const std::vector<std::string>& replies, std::size_t& next, bool encipher) {
  clsActionManager& manager = queue();
  manager.ManageActionQueue();
  if (!manager.IsBusy()) return false;
  runEventsWhile(manager, [&] { return !(manager.IsConnectionEstablished() && peer().connected()); });
  const int copySide = manager.IsBusy() ? copySocket(peer().copyPort()) : -1;
  while (manager.IsBusy() && next < replies.size()) {
    require(copySide >= 0);
    peer().send(modWireFrames::BuildFrames(replies[next++], true, true,
                                           modWireFrames::kMessageFrames, encipher));
    runEventsWhile(manager, [&] { return peer().sending() || unread(copySide) > 0; });
    requireConversationSound();
  }
  peer().dropConnections();
  runEventsWhile(manager, [] { return true; });
  requireConversationSound();
  return true;
}

std::string storeText(const clsGenObject& store) {
  return modGenFunctionsXML::XMLToString(store.XMLDocLinked()->documentNode());
}

void requireQueueSound() {
  std::set<std::string> uids;
  for (const pugi::xml_node row : queuedRows()) {
    const std::string uid = row.attribute("UID").value();
    require(!uid.empty() && uids.insert(uid).second);
    require(std::string_view(row.attribute("AS").value()) != "20");
    const auto type = modGenFunctions::ParseWholeNumber(row.attribute("AT").value());
    require(type && ActionPath.count(*type) != 0);
  }
  // Written: a store loaded from the file holds the same rows (settled
  // actions go at release).
  queue().RemoveSettled();
  QCoreApplication::processEvents();
  const std::string held = storeText(queue().Actions());
  ReleaseActionManager();
  const auto stored = modGlobalFunctions::CreateGenObject(Action, "", false, true);
  require(storeText(*stored) == held);
}

void requireDirectorySound() {
  const auto directory = modGlobalFunctions::GetUserDataObject(User, installation().account, true);
  std::set<std::string> uids;
  for (const pugi::xml_node row : directory->XMLDocLinked()->rootElement().children()) {
    require(uids.insert(row.attribute("UID").value()).second);
  }
  require(uids.count(kPeer) != 0);
}

void requireFoundListSound() {
  frmUserSelection& search = *installation().search;
  const auto* list = search.findChild<QTreeWidget*>("lvFoundUsers");
  require(list != nullptr && list->topLevelItemCount() == search.UsersFound());
  require(search.UsersFound() <= frmUserSelection::kMaxUsersPerAnswer * search.HostsAnswered());
  std::set<QString> uids;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QString uid = list->topLevelItem(i)->data(0, Qt::UserRole).toString();
    require(uid.toStdString() != installation().account && uids.insert(uid).second);
  }
}

// Back to the installation as set up.
void resetInstallation(std::uint8_t flags) {
  Installation& setUp = installation();
  if (ActionManagerExists()) ReleaseActionManager();
  delete setUp.search;
  // As the program's event loop does between events; objects left to be
  // deleted later are deleted only when that is asked for outside a loop.
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  setUp.snapshot->restore();
  logIn(flags);
  setUp.search = new frmUserSelection();
}

std::vector<std::string> replyTexts(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts;
  const std::string input = fuzzText(data, size);
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    texts.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  return texts;
}

// The sent message and its delivery, queued as the program queues it.
void addSentMessage() {
  Installation& setUp = installation();
  setUp.message = modCOMFunctions::SendMessageToRecipients("Hello Bob", 1, 1, kPeer, "", true, false);
  for (const pugi::xml_node row : queuedRows()) {
    setUp.messageText = row.attribute("V").value();
    queue().DeleteAction(row.attribute("UID").value(), false);
  }
  ReleaseActionManager();
}

}  // namespace

// Fontconfig keeps what it caches for the first window texts until exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
// The leak check of the sanitizer build; absent elsewhere.
extern "C" __attribute__((weak)) void __lsan_do_leak_check();

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Installation& setUp = installation();
  setUp.environment = &startFuzzProgram();
  modGenFunctionsResource::loadResourceText(kResourceText);
  platform::setMessageBoxResponder([](const platform::MessageBoxRequest&) {
    ++installation().boxes;
    return platform::kMbResultOk;
  });
  qputenv("TAVINOR_BIND_ADDRESS", kOwnAddress);
  peer();
  MessageCenterServices::Install(
      {[](int32_t, const std::string&, int32_t, const std::string&, const std::string&) {}, [] {}});
  MessageCenterServices::Displays displays;
  displays.AddBoardItem = [](int32_t, const std::string&) {};
  displays.SynchronizeDisplays = [](int32_t, bool) {};
  MessageCenterServices::InstallDisplays(std::move(displays));
  UsersAndOptionsServices::Install({});

  setUp.account = ProgramTestEnvironment::addAccount("FUZZ", "secret", "Fuzz", "Owner");
  logIn(0);
  ProgramTestEnvironment::addPerson(setUp.account, kPeer, "2", "Smith", "Bob", kPeerAddress);
  setUp.file = setUp.environment->documentsFolder() + "/report.txt";
  std::ofstream(setUp.file) << "The quarterly report.\n";
  addSentMessage();
  setUp.snapshot = std::make_unique<InstallationSnapshot>(setUp.environment->root());
  // The first window loads the fonts, which lasts as long as the process.
  resetInstallation(0);
  // At exit the window's Qt data dies with the main thread, before the
  // application: the process ends before either is taken down, leaving
  // nothing but the installation to remove, after the leak check that the
  // sanitizers would run at exit. Only a run that went through exits (a
  // finding ends it at once).
  std::atexit([] {
    if (__lsan_do_leak_check) __lsan_do_leak_check();
    std::error_code ignored;
    std::filesystem::remove_all(installation().environment->root(), ignored);
    std::_Exit(0);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const ActionKind& kind = kActions[data[0] % std::size(kActions)];
  const std::uint8_t flags = data[1];
  const std::vector<std::string> replies = replyTexts(data + 2, size - 2);
  resetInstallation(flags);

  addAction(kind, flags);
  std::size_t next = 0;
  for (int conversation = 0; conversation < kMaxConversations && dueActionsStayLocal();
       ++conversation) {
    if (!converse(replies, next, (flags & kFlagPlainFrames) == 0)) break;
  }

  Installation& setUp = installation();
  require(setUp.boxes == 0);
  requireQueueSound();
  requireDirectorySound();
  requireFoundListSound();
  require(setUp.snapshot->changedOnlyBelow(setUp.environment->dataFolder()));
  require(!damagedCopyKept(setUp.environment->dataFolder()));
  return 0;
}
