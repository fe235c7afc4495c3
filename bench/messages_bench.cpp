// Messages from one copy to another over loopback, each copy in its own
// process with its own data folder, address and account, both logged in.
//
// This process is the sender (127.0.0.63): it sends through
// modCOMFunctions::SendMessageToRecipients, so the message row and the
// delivery action are stored, the queue works the action off (ping, connect,
// 200, 300, 1200, end) and settles it. The receiver is this same program
// started again with --receiver (127.0.0.64): the program's own message
// center, offscreen, logged in through its login dialog, with its timers,
// displays, board and action queue running; after each request answered
// 1200 (the message stored among the received messages, durably, before the
// reply) it prints the CLOCK_MONOTONIC time, which both processes share.
// Between cases that receiver is given more stored messages (folded into
// its file), as a mailbox that has been in use: 1,000, then 100,000, then
// 300,000. A second receiver (127.0.0.66) keeps 1,000 throughout. The first
// receiver also runs the reference server on 127.0.0.65: a bare QTcpServer
// answering length-prefixed requests.
//
//   one_message_N   from the call of SendMessageToRecipients (the queue
//                   ticked at once) to "stored" at the receiver holding N
//                   messages, median of kSingleRuns (the queue is left idle
//                   and empty between sends). The sends take turns with
//                   sends to the receiver holding 1,000
//                   (one_message_1000_beside_N), and the ratio of the two
//                   shows whether receiving costs more with more messages
//                   stored. Reference: a raw connect plus four request/reply
//                   round trips of similar sizes (POSIX blocking sockets),
//                   with one fdatasync on each side (the sender's before it
//                   connects, the server's before its last reply), as a
//                   durable exchange needs at the least.
//   burst_100000    kBurst messages delivered at once to the receiver
//                   holding 100,000 by an independent peer: kPeerConnections
//                   threads, each delivering one message per connection with
//                   the texts that the sender's queue sent for one message
//                   (recorded by the receiver; the message UID made new for
//                   each), from the first connect to the last "stored".
//                   Reference: the synced raw exchange repeated kBurst
//                   times, and a loop appending a journal record's bytes to
//                   a file and fdatasyncing it kBurst times (one sync per
//                   message). Counters give messages per second.
//   queued_burst_100000  the same through the sender's own queue: kBurst
//                   messages queued at once (one call each, in one turn of
//                   the event loop, the queue then ticked at once), one
//                   connection at a time, from the first call to the last
//                   "stored".
//   start_300000_journal, start_300000  a copy that has run for long: a
//                   receiver of its own holds 300,000 messages, and marks
//                   them read one save at a time until its journal is as
//                   large as the fold rule lets it grow (kJournalRoom short
//                   of due); its data folder is kept as it is and, folded,
//                   without the journal. Each run starts each once,
//                   taking turns which goes first: from the login's OK to
//                   the received messages loaded, and the peak resident
//                   size then (start_memory_*, MiB shown as ms in the
//                   ratio table). Reference: the start without.
//   stream_300000_fold, stream_300000  after one message, one message
//                   every kSteadyGapMs for kStreamSeconds to a fresh copy
//                   of each of those copies; the one with the journal
//                   passes its fold bound on the way. The longest the copy's event loop stood
//                   still (a kLoopTickMs timer's latest tick), and the
//                   longest greeting wait. Reference: the copy without.
//   folders_opening_N  the message folders opened at the receiver holding
//                   N (the one that keeps 1,000 for 1,000) through its menu:
//                   from the command to the window drawn. Reference: at 1,000.
//   one_message_folders_N  one_message_N with the folders open on both
//                   receivers, showing their received messages.
//   first_delivery_300000, later_delivery_300000  the copy holding 300,000
//                   without a journal started, and a message sent as soon as
//                   it is ready: the longest its event loop stood still while
//                   it took that first delivery, then the next one (the
//                   reference); counters: each delivery's time.
//   steady_100000   one message every kSteadyGapMs for kSteadySeconds to the
//                   receiver holding 100,000, while another thread connects
//                   every kProbeGapMs and times the receiver's greeting (a
//                   stalled event loop shows as a late greeting). Counters:
//                   the longest and median greeting wait, and the bytes the
//                   receiver handed to write() per message stored
//                   (/proc/<pid>/io). Reference: the greeting wait of the
//                   idle receiver just before.
//
// Every case is timed by hand (manual time, one iteration) and runs kRuns
// times; the ratio table (ours / reference) comes last. At the end the receiver's received-message
// file is read back from disk and must hold every message.
// MESSAGES_BENCH_COUNT overrides kBurst (for profiling smaller runs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcesses.h"
#include "DataJournal.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "RatioReport.h"
#include "TurnCommit.h"
#include "clsActionManager.h"
#include "clsGenObject.h"
#include "frmInternalServices.h"
#include "frmLogin.h"
#include "frmMessageCenter.h"
#include "frmMessageHistory.h"
#include "modCOMFunctions.h"
#include "modGenGlobals.h"
#include "modCOMRequestedAction.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modWireFrames.h"

namespace {

constexpr const char* kSenderAddress = "127.0.0.63";
constexpr const char* kReceiverAddress = "127.0.0.64";
constexpr const char* kSmallReceiverAddress = "127.0.0.66";
constexpr const char* kRawAddress = "127.0.0.65";
constexpr const char* kReceiverName = "RITA";
constexpr int kSingleRuns = 41;
constexpr int kDefaultBurst = 1000;
constexpr int kMessageChars = 200;
constexpr int kWaitLimitMs = 300'000;
constexpr int kLoginPollMs = 10;
constexpr int kSteadySeconds = 45;
constexpr int kSteadyGapMs = 200;
constexpr int kProbeGapMs = 50;
constexpr int kIdleProbes = 40;
constexpr int kPeerConnections = 8;
// Sizes of the reference exchange: requests like 200, 300, 1200 (carrying
// the message row) and the end, each answered by a reply record.
constexpr int kRequestBytes[4] = {330, 330, 330 + 2 * kMessageChars + 400, 80};
constexpr int kReplyBytes = 140;
// The copies that start with the largest journal and without it.
constexpr const char* kStartWithJournal = "start-journal";
constexpr const char* kStartWithout = "start-plain";
constexpr const char* kStartAddress = "127.0.0.67";
// Journal bytes left below the fold bound: some 30 received messages.
constexpr std::uint64_t kJournalRoom = 16 * 1024;
constexpr int kLoopTickMs = 5;
constexpr int kStreamSeconds = 16;
// A reply length with this bit set asks the reference server to append the
// request to its file and fdatasync it before the reply.
constexpr uint32_t kSyncFlag = 0x80000000u;

// The stored messages of the cases, and the question letter that asks the
// receiver to hold that many; 'C' asks for the count on disk, 'G' for the
// messages it was given that way, 'W' for the bytes it wrote so far, 'K'
// to keep the texts of the next delivery.
struct StoredCase {
  char letter;
  int messages;
};
constexpr StoredCase kStored[] = {{'a', 1'000}, {'b', 100'000}, {'c', 300'000}};

int burstCount() {
  const QByteArray given = qgetenv("MESSAGES_BENCH_COUNT");
  const int count = given.isEmpty() ? kDefaultBurst : given.toInt();
  return count > 0 ? count : kDefaultBurst;
}

std::string messageText(int n) {
  std::string text = "Message " + std::to_string(n) + ": ";
  while (static_cast<int>(text.size()) < kMessageChars) text += "the quick brown fox jumps. ";
  text.resize(kMessageChars);
  return text;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// ---- the receiving process ------------------------------------------------

// Appends `bytes` to the file `fd` and flushes them to disk.
void syncWrite(int fd, const char* bytes, std::size_t size) {
  if (::write(fd, bytes, size) != static_cast<ssize_t>(size) || ::fdatasync(fd) != 0) {
    fail("the synced reference cannot write");
  }
}

// Reference server: each request is [u32 length][u32 reply length][bytes];
// the reply is [u32 reply length][bytes].
class RawServer {
 public:
  explicit RawServer(const std::string& syncedFile) {
    syncFd_ = ::open(syncedFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (syncFd_ < 0) fail("the raw server cannot open its file");
    if (!server_.listen(QHostAddress(QString::fromLatin1(kRawAddress)), PeerConnections::kPeerPort)) {
      fail("the raw server cannot listen");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, buffer] {
          buffer->append(socket->readAll());
          while (buffer->size() >= 8) {
            uint32_t length = 0, replyLength = 0;
            std::memcpy(&length, buffer->constData(), 4);
            std::memcpy(&replyLength, buffer->constData() + 4, 4);
            if (buffer->size() < 8 + static_cast<qsizetype>(length)) break;
            if (replyLength & kSyncFlag) {
              replyLength &= ~kSyncFlag;
              syncWrite(syncFd_, buffer->constData() + 8, length);
            }
            buffer->remove(0, 8 + static_cast<qsizetype>(length));
            QByteArray reply(4 + static_cast<qsizetype>(replyLength), 'r');
            std::memcpy(reply.data(), &replyLength, 4);
            socket->write(reply);
          }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }
  ~RawServer() { ::close(syncFd_); }

 private:
  QTcpServer server_;
  int syncFd_ = -1;
};

// Adds a received message row as the receiver does (fields of a 1200 request).
void addReceived(clsGenObject& received, int n, int status) {
  received.CreateNewRow(true, 0);
  received.SetField(1, "5E0D0000-0000-4000-8000-00000000000" + std::to_string(n % 10));
  received.SetField(2, status);
  received.SetField(3, "2026-12-07 10:00:00");
  received.SetField(4, messageText(n));
  received.SetField(5, 1);
  received.AddCurrentRow();
}

// The messages that holdStored added.
long long given = 0;

// Adds opened messages until the received messages number `count`, and
// folds them into the file, as a mailbox in use holds them.
long long holdStored(int count) {
  PoolLoan received(modGlobalVariables::MessRec);
  for (int n = received->CountAll(); n < count; ++n, ++given) addReceived(*received, n, 100);
  received->FoldXMLDoc();
  modGenGlobals::UpdatedUIDList[modGlobalVariables::MessRec].clear();
  return received->CountAll();
}

// The bytes this process has handed to write() so far.
long long bytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string name;
  long long value = 0;
  while (io >> name >> value) {
    if (name == "wchar:") return value;
  }
  fail("no /proc/self/io");
}

// The texts of the next delivery that arrives, kept for the independent
// peer of the burst: each with whether it was answered. Written to
// kConversationFile beside the data folder once the message is stored.
struct Recording {
  bool on = false;
  std::string texts;
};
Recording recording;
constexpr const char* kConversationFile = "/../conversation";

void record(const std::string& text, const std::string& reply, bool stored) {
  if (!recording.on) return;
  recording.texts += (reply.empty() ? '0' : '1') + text + '\0';
  if (!stored) return;
  recording.on = false;
  std::ofstream(qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString() + kConversationFile,
                std::ios::binary)
      << recording.texts;
}

// When driveLogin clicked OK (CLOCK_MONOTONIC ns).
int64_t loginClickedNs = 0;

// Types the account's name and password into the login dialog once it is open.
void driveLogin() {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll] {
    auto* login = qobject_cast<frmLogin*>(QApplication::activeModalWidget());
    if (login == nullptr || !login->isVisible()) return;
    poll->deleteLater();
    login->findChild<QComboBox*>("cboUserName")->setEditText(kReceiverName);
    login->findChild<QLineEdit*>("txtPassword")->setText("pw");
    loginClickedNs = monotonicNs();
    login->findChild<QPushButton*>("cmdOK")->click();
  });
  poll->start(kLoginPollMs);
}

// ---- a copy that has run for long: its journal, its start, its stalls ----

// The received messages' data file of the logged-in receiver.
std::string receivedFilePath() {
  return qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString() + "/" + kReceiverName + "/D008.dat";
}

// The folder <base>/<name>/data of a copy beside this one's.
std::filesystem::path copyDataFolder(const char* name) {
  return std::filesystem::path(qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString()) / ".." / ".." /
         name / "data";
}

void copyDataFolderTo(const char* name) {
  const std::filesystem::path target = copyDataFolder(name);
  std::filesystem::remove_all(target);
  std::filesystem::create_directories(target);
  std::filesystem::copy(qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString(), target,
                        std::filesystem::copy_options::recursive);
}

// The received messages' journal in bytes (0 when there is none).
long long receivedJournalBytes() {
  return static_cast<long long>(DataJournal(receivedFilePath(), true).size());
}

// Marks the received messages read one at a time, each mark its own save
// (a journal record, as a person opening them one by one leaves), until
// kJournalRoom bytes more would make the journal due for folding: the
// largest journal the fold rule lets a copy start with, with room for a
// short stream of messages before it is due. Keeps a copy of the data
// folder with that journal (kStartWithJournal) and, after a fold, one
// without it (kStartWithout). The journal's bytes.
long long makeLargestJournal() {
  PoolLoan received(modGlobalVariables::MessRec);
  const std::string path = receivedFilePath();
  const DataJournal journal(path, true);
  const std::uint64_t dataBytes = DataJournal::dataFileSize(path);
  std::vector<std::string> uids;
  for (const pugi::xml_node row : received->XMLDocLinked()->rootElement().children()) {
    uids.emplace_back(row.attribute("UID").value());
  }
  for (std::size_t n = 0; !journal.dueForFold(journal.size() + kJournalRoom, dataBytes); ++n) {
    received->SetRowFieldByKey(modGlobalVariables::kMessageUID, uids[n % uids.size()],
                               modGlobalVariables::kMessageRTS,
                               "2027-01-0" + std::to_string(1 + n / uids.size()) + " 10:00:00");
    received->WriteXMLDoc();
  }
  DataJournal::flushWritten();
  modGenGlobals::UpdatedUIDList[modGlobalVariables::MessRec].clear();
  const long long bytes = receivedJournalBytes();
  copyDataFolderTo(kStartWithJournal);
  received->FoldXMLDoc();
  copyDataFolderTo(kStartWithout);
  return bytes;
}

// The longest the event loop went without turning, since last asked: a
// timer due every kLoopTickMs notes how late each tick comes.
class LoopStalls {
 public:
  LoopStalls() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const int64_t now = monotonicNs();
      if (last_ != 0) longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    timer_.start(kLoopTickMs);
  }
  // Microseconds. The loop turns as it answers: the next stall counts
  // from now, also when no tick came since the loop started.
  long long takeLongest() {
    const int64_t now = monotonicNs();
    if (last_ != 0) longest_ = std::max(longest_, now - last_);
    const long long longest = longest_ / 1000;
    longest_ = 0;
    last_ = now;
    return longest;
  }

 private:
  QTimer timer_;
  int64_t last_ = 0;
  int64_t longest_ = 0;
};

// Opens the message folders as a person does, through the main window's
// menu; the microseconds until the window is shown with its rows in view
// drawn. It shows the received messages.
long long openFolders(frmMessageCenter& messageCenter) {
  auto* command = messageCenter.findChild<QAction*>("mnuMessageFolders");
  if (command == nullptr) fail("receiver: no message folders command");
  const int64_t start = monotonicNs();
  command->trigger();
  frmMessageHistory* folders = nullptr;
  for (auto* window : messageCenter.findChildren<frmMessageHistory*>()) {
    if (window->isVisible()) folders = window;
  }
  if (folders == nullptr || folders->CurrentFolder() != modGlobalVariables::MessRec) {
    fail("receiver: the message folders did not open on the received messages");
  }
  folders->repaint();
  return (monotonicNs() - start) / 1000;
}

long long closeFolders() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (qobject_cast<frmMessageHistory*>(window) != nullptr) window->close();
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // closed windows go
  return 0;
}

// The peak resident size of this process in KiB.
long long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  fail("no VmHWM");
}

// argv: --receiver <sender UID> <resource file> [raw | started]. Runs the
// message center as the program's main does, offscreen; prints "S" per
// stored message. With "raw" it also runs the reference server. With
// "started" the copy's data folder is one that a receiver left (its
// account and messages are there): it logs in, reports how long the login
// took to be ready ('T', in microseconds, the received messages loaded)
// and its peak memory ('M'), and ends without its shut-down when its
// input ends, so that its files stay as they are.
int runReceiver(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  if (argc < 4) fail("receiver: arguments");
  const bool started = argc > 4 && std::strcmp(argv[4], "started") == 0;
  platform::setMessageBoxResponder(platform::unattendedResponder("messages_bench"));
  if (!started) {
    setUpCopy(argv[3], kReceiverName, [](int32_t) {});
    addUserRow(argv[2], "Sam", kSenderAddress);
  }
  modGlobalVariables::CurrentLocalUserUID.clear();

  frmInternalServices startupWindow;
  frmMessageCenter messageCenter;
  driveLogin();
  if (messageCenter.Form_Load() != frmMessageCenter::LoadResult::kRunning) {
    fail("receiver: the message center did not start");
  }
  const std::string own = modGlobalVariables::CurrentLocalUserUID;
  PoolLoan(modGlobalVariables::MessRec)->CountAll();
  const long long readyMicroseconds = (monotonicNs() - loginClickedNs) / 1000;
  const long long peakKiB = peakResidentKiB();
  LoopStalls stalls;
  if (messageCenter.Connections() == nullptr) fail("receiver: not listening");
  messageCenter.Connections()->SetDispatcher([](const std::string& text, ConnectionState& state) {
    std::string reply = modCOMRequestedAction::ProcessRequestedAction(text, state);
    static const std::string delivered = "V=\"1200\"/>";
    const bool stored = reply.size() >= delivered.size() &&
                        reply.compare(reply.size() - delivered.size(), delivered.size(), delivered) == 0;
    // Stored once on disk, as the reply then goes.
    if (stored) TurnCommit::after(nullptr, [](bool onDisk) { if (onDisk) reportStored(); });
    record(text, reply, stored);
    return reply;
  });
  std::unique_ptr<RawServer> raw;
  if (argc > 4 && std::strcmp(argv[4], "raw") == 0) {
    raw = std::make_unique<RawServer>(std::string(argv[3]) + ".synced-" + std::to_string(::getpid()));
  }
  const int result = serveQuestions(own, [&](char letter) -> long long {
    for (const StoredCase& stored : kStored) {
      if (letter == stored.letter) return holdStored(stored.messages);
    }
    if (letter == 'W') return bytesWritten();
    if (letter == 'G') return given;
    if (letter == 'K') recording = {true, {}};
    if (letter == 'J') return makeLargestJournal();
    if (letter == 'j') return receivedJournalBytes();
    if (letter == 'T') return readyMicroseconds;
    if (letter == 'M') return peakKiB;
    if (letter == 'L') return stalls.takeLongest();
    if (letter == 'F') return openFolders(messageCenter);
    if (letter == 'f') return closeFolders();
    return modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, own, true)->CountAll();
  });
  if (started) std::_Exit(result);
  messageCenter.Form_Unload();
  return result;
}

// ---- the sending process --------------------------------------------------

// The receiver whose stored messages grow, and the one that keeps 1,000.
ReceiverProcess* receiver = nullptr;
ReceiverProcess* smallReceiver = nullptr;
QString senderBase;

bool queueIdle() {
  clsActionManager& manager = ActionManager();
  return !manager.IsBusy() && manager.Actions().CountAll() == 0;
}

void holdStoredAt(ReceiverProcess& at, int messages) {
  for (const StoredCase& stored : kStored) {
    if (stored.messages == messages && at.ask(stored.letter) >= messages) return;
  }
  fail("the receiver does not hold " + std::to_string(messages) + " messages");
}

// Sends one message, ticking the queue at once (as AddAction's startNow
// does); the seconds until the receiver stored it.
double sendOne(ReceiverProcess& to, int n) {
  const std::size_t before = to.stored().size();
  const int64_t start = monotonicNs();
  modCOMFunctions::SendMessageToRecipients(messageText(n), 1, 1, to.uid(), "", false, false);
  ActionManager().SetActionTimer(1, true);
  if (!runUntil([&] { return to.stored().size() > before; }, kWaitLimitMs)) {
    fail("a message never arrived");
  }
  const double seconds = static_cast<double>(to.stored()[before] - start) / 1e9;
  if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled");
  return seconds;
}

// Seconds of the sends to the growing receiver, by its stored messages and
// whether the folders were open: one list per run of the pair, taken by the
// run of oneMessageAt that reports it.
std::map<std::pair<int, bool>, std::deque<std::vector<double>>> atStored;

void reportSends(benchmark::State& state, std::vector<double> seconds) {
  state.SetIterationTime(median(seconds));
  std::sort(seconds.begin(), seconds.end());
  state.counters["min_ms"] = seconds.front() * 1e3;
  state.counters["p90_ms"] = seconds[seconds.size() * 9 / 10] * 1e3;
}

// Sends take turns between the receiver holding 1,000 and the one holding
// `stored`, so that the disk's changing pace meets both alike. This case
// reports the first; oneMessageAt<stored> the second. With foldersOpen both
// receivers show their received messages in the message folders meanwhile.
template <int stored, bool foldersOpen = false>
void oneMessageBeside(benchmark::State& state) {
  holdStoredAt(*smallReceiver, 1'000);
  holdStoredAt(*receiver, stored);
  std::vector<double> small;
  std::vector<double>& large = atStored[{stored, foldersOpen}].emplace_back();
  if (foldersOpen) {
    smallReceiver->ask('F');
    receiver->ask('F');
  }
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const bool smallFirst = run % 2 == 0;
      (smallFirst ? small : large).push_back(sendOne(smallFirst ? *smallReceiver : *receiver, run));
      (smallFirst ? large : small).push_back(sendOne(smallFirst ? *receiver : *smallReceiver, run));
    }
  }
  if (foldersOpen) {
    smallReceiver->ask('f');
    receiver->ask('f');
  }
  reportSends(state, small);
}

template <int stored, bool foldersOpen = false>
void oneMessageAt(benchmark::State& state) {
  std::deque<std::vector<double>>& runs = atStored[{stored, foldersOpen}];
  if (runs.empty()) fail("one_message_" + std::to_string(stored) + " runs after its pair");
  for (auto _ : state) {}
  reportSends(state, runs.front());
  runs.pop_front();
}

// How long the message folders take to open at the receiver holding
// `stored` (the one that keeps 1,000 for 1,000): from the menu command to
// the window shown with its rows in view drawn.
template <int stored>
void foldersOpening(benchmark::State& state) {
  ReceiverProcess& at = stored == 1'000 ? *smallReceiver : *receiver;
  holdStoredAt(at, stored);
  for (auto _ : state) {
    state.SetIterationTime(static_cast<double>(at.ask('F')) / 1e6);
    at.ask('f');
  }
}

template <int stored>
void burst(benchmark::State& state) {
  holdStoredAt(*receiver, stored);
  const int count = burstCount();
  for (auto _ : state) {
    const std::size_t before = receiver->stored().size();
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) {
      modCOMFunctions::SendMessageToRecipients(messageText(n), 1, 1, receiver->uid(), "", false, false);
    }
    // The queue ticks at once, as in the other cases (not after the 500 ms
    // that StartActionManager gives a window's sends).
    ActionManager().SetActionTimer(1, true);
    const int64_t queued = monotonicNs();
    if (!runUntil([&] { return receiver->stored().size() >= before + count; }, kWaitLimitMs)) {
      fail("burst: only " + std::to_string(receiver->stored().size() - before) + " arrived");
    }
    const double total = static_cast<double>(receiver->stored().back() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
    state.counters["queueing_s"] = static_cast<double>(queued - start) / 1e9;
    if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled after the burst");
  }
}

// One delivery as the sender's queue made it: each text with whether the
// receiver answers it. The message's UID is replaced to make more.
struct Conversation {
  std::vector<std::pair<std::string, bool>> texts;
  std::string messageUID;
};

Conversation recordConversation(const QString& base) {
  receiver->ask('K');
  Conversation conversation;
  const std::size_t before = receiver->stored().size();
  conversation.messageUID =
      modCOMFunctions::SendMessageToRecipients(messageText(0), 1, 1, receiver->uid(), "", false, false);
  ActionManager().SetActionTimer(1, true);
  if (!runUntil([&] { return receiver->stored().size() > before && queueIdle(); }, kWaitLimitMs)) {
    fail("the recorded message never arrived");
  }
  std::ifstream file((base + "/receiver/data" + kConversationFile).toStdString(), std::ios::binary);
  if (!file) fail("no conversation recorded");
  for (std::string text; std::getline(file, text, '\0');) {
    conversation.texts.emplace_back(text.substr(1), text[0] == '1');
  }
  if (conversation.texts.empty() || conversation.messageUID.empty()) fail("no conversation recorded");
  return conversation;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The frames of message n's delivery, one string per text, the end last.
std::vector<std::string> deliveryFrames(const Conversation& conversation, int n) {
  char uid[40];
  std::snprintf(uid, sizeof uid, "B0000000-0000-4000-8000-%012X", n);
  std::vector<std::string> frames;
  for (const auto& [text, answered] : conversation.texts) {
    frames.push_back(modWireFrames::BuildFrames(replaced(text, conversation.messageUID, uid), true,
                                                true, modWireFrames::kMessageFrames, true));
  }
  frames.push_back(modWireFrames::BuildFrames(modWireFrames::kEndText, true, true,
                                              modWireFrames::kMessageFrames, true));
  return frames;
}

// Reads one frame (a short answer is one) from the blocking socket `fd`.
void receiveFrame(int fd) {
  unsigned char length[2];
  receiveAll(fd, reinterpret_cast<char*>(length), 2);
  std::vector<char> body(length[0] + 256u * length[1]);
  receiveAll(fd, body.data(), body.size());
}

// An independent peer: kPeerConnections threads deliver messages at once,
// each on its own connections, one message per connection.
template <int stored>
void peerBurst(benchmark::State& state) {
  holdStoredAt(*receiver, stored);
  static const Conversation conversation = recordConversation(senderBase);
  const int count = burstCount();
  // Every run delivers messages of its own: one the receiver holds is
  // answered again without being stored.
  static int runs = 0;
  const int first = runs++ * count;
  std::vector<std::vector<std::string>> deliveries;
  for (int n = 0; n < count; ++n) deliveries.push_back(deliveryFrames(conversation, first + n));
  for (auto _ : state) {
    const std::size_t before = receiver->stored().size();
    std::atomic<int> next{0};
    const int64_t start = monotonicNs();
    std::vector<std::thread> peers;
    for (int t = 0; t < kPeerConnections; ++t) {
      peers.emplace_back([&] {
        for (int n; (n = next++) < count;) {
          const int fd = rawConnection(kReceiverAddress, PeerConnections::kPeerPort, kSenderAddress, true);
          receiveFrame(fd);  // the greeting
          const std::vector<std::string>& frames = deliveries[static_cast<std::size_t>(n)];
          for (std::size_t i = 0; i < frames.size(); ++i) {
            sendAll(fd, frames[i].data(), frames[i].size());
            if (i < conversation.texts.size() && conversation.texts[i].second) receiveFrame(fd);
          }
          ::close(fd);
        }
      });
    }
    for (std::thread& peer : peers) peer.join();
    if (!runUntil([&] { return receiver->stored().size() >= before + count; }, kWaitLimitMs)) {
      fail("peer burst: only " + std::to_string(receiver->stored().size() - before) + " stored");
    }
    const double total = static_cast<double>(receiver->stored().back() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
  }
}

// Connects to the receiver every kProbeGapMs (from the sender's address,
// so that it is greeted as a known copy) and keeps how long each greeting
// took, until stopped.
class GreetingProbe {
 public:
  explicit GreetingProbe(int probes = 0, const char* address = kReceiverAddress) {
    thread_ = std::thread([this, probes, address] {
      for (int n = 0; probes == 0 ? !stop_ : n < probes; ++n) {
        const int64_t start = monotonicNs();
        const int fd = rawConnection(address, PeerConnections::kPeerPort, kSenderAddress, true);
        char first = 0;
        receiveAll(fd, &first, 1);
        waits_.push_back(static_cast<double>(monotonicNs() - start) / 1e6);
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(kProbeGapMs));
      }
    });
  }
  // Stops probing; the greeting waits in milliseconds, in order.
  std::vector<double> finish() {
    stop_ = true;
    thread_.join();
    return waits_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<double> waits_;
  std::thread thread_;
};

// The greeting waits of the idle receiver: the steady case's reference.
void idleGreeting(benchmark::State& state) {
  holdStoredAt(*receiver, 100'000);
  for (auto _ : state) {
    GreetingProbe probe(kIdleProbes);
    const std::vector<double> waits = probe.finish();
    state.SetIterationTime(median(waits) / 1e3);
    state.counters["max_greeting_ms"] = *std::max_element(waits.begin(), waits.end());
  }
}

template <int stored>
void steady(benchmark::State& state) {
  holdStoredAt(*receiver, stored);
  for (auto _ : state) {
    const long long writtenBefore = receiver->ask('W');
    const std::size_t before = receiver->stored().size();
    GreetingProbe probe;
    const int64_t end = monotonicNs() + int64_t{kSteadySeconds} * 1'000'000'000;
    int sent = 0;
    for (int64_t next = monotonicNs(); next < end; next += int64_t{kSteadyGapMs} * 1'000'000) {
      runUntil([&] { return monotonicNs() >= next; }, kWaitLimitMs);
      modCOMFunctions::SendMessageToRecipients(messageText(sent++), 1, 1, receiver->uid(), "", false,
                                               false);
      ActionManager().SetActionTimer(1, true);
    }
    if (!runUntil([&] { return receiver->stored().size() >= before + sent; }, kWaitLimitMs)) {
      fail("steady: a message never arrived");
    }
    const std::vector<double> waits = probe.finish();
    const double perMessage =
        static_cast<double>(receiver->ask('W') - writtenBefore) / static_cast<double>(sent);
    state.SetIterationTime(median(waits) / 1e3);
    state.counters["messages"] = sent;
    state.counters["greetings"] = static_cast<double>(waits.size());
    state.counters["max_greeting_ms"] = *std::max_element(waits.begin(), waits.end());
    state.counters["written_per_msg_KiB"] = perMessage / 1024;
    std::printf("steady, %d stored: %d messages, longest greeting wait %.1f ms, "
                "%.1f KiB written per message\n",
                stored, sent, *std::max_element(waits.begin(), waits.end()), perMessage / 1024);
    if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled");
  }
}

// ---- a copy that has run for long ------------------------------------------

// The arguments of every receiver (the sender's UID, the resource file).
QStringList receiverArguments;
// The account of the copies that start with and without the largest journal.
std::string startUID;

// Makes the data folders kStartWithJournal and kStartWithout once: a
// receiver of its own takes on 300,000 messages and the largest journal the
// fold rule allows.
void makeStartCopies() {
  if (!startUID.empty()) return;
  ReceiverProcess maker;
  maker.start(senderBase, kStartAddress, receiverArguments, "start-maker");
  if (maker.ask('c') < 300'000) fail("the copy to start does not hold 300,000 messages");
  const long long journal = maker.ask('J');
  std::printf("start-up copies: 300,000 stored, a journal of %.1f MB beside them and none\n",
              static_cast<double>(journal) / 1e6);
  startUID = maker.uid();
  maker.finish();
  addUserRow(startUID, "Rita", kStartAddress);
}

// One start of the copy in <base>/<name>, logged in until its received
// messages are loaded.
struct Start {
  double seconds = 0;
  double mebibytes = 0;
};

Start startCopy(const char* name) {
  ReceiverProcess copy;
  copy.start(senderBase, kStartAddress, receiverArguments + QStringList{"started"}, name);
  const Start start{static_cast<double>(copy.ask('T')) / 1e6, static_cast<double>(copy.ask('M')) / 1024};
  copy.finish();
  return start;
}

// The starts of one run: one of each copy.
struct StartPair {
  Start withJournal;
  Start without;
};
// By run of start_300000_journal, for the three cases that report them.
std::deque<StartPair> startRuns[3];

// Each run starts each copy once, the first of them taking turns by run.
void startTimeWithJournal(benchmark::State& state) {
  makeStartCopies();
  StartPair pair;
  for (auto _ : state) {
    const bool journalFirst = startRuns[0].size() % 2 == 0;
    (journalFirst ? pair.withJournal : pair.without) = startCopy(journalFirst ? kStartWithJournal : kStartWithout);
    (journalFirst ? pair.without : pair.withJournal) = startCopy(journalFirst ? kStartWithout : kStartWithJournal);
  }
  for (std::deque<StartPair>& runs : startRuns) runs.push_back(pair);
  state.SetIterationTime(pair.withJournal.seconds);
}

// The start of this run that `withJournal` names: its seconds, or its peak
// memory in MiB reported as if milliseconds (for the ratio table).
template <bool withJournal, bool memory>
void startReported(benchmark::State& state) {
  std::deque<StartPair>& runs = startRuns[withJournal ? 2 : memory ? 1 : 0];
  if (runs.empty()) fail("the start-up cases run after start_300000_journal");
  for (auto _ : state) {}
  const Start start = withJournal ? runs.front().withJournal : runs.front().without;
  runs.pop_front();
  state.SetIterationTime(memory ? start.mebibytes / 1e3 : start.seconds);
}

// One message every kSteadyGapMs for kStreamSeconds to the copy in
// <base>/<name>: the longest the copy's event loop stood still (reported in
// the ratio table as its time) and the longest greeting wait. The copy with
// the journal passes its fold bound during the stream; the one without
// folds nothing.
template <bool withJournal>
void streamAt300000(benchmark::State& state) {
  makeStartCopies();
  // Every run streams to a fresh copy of the copy to start, whose journal
  // is then due again.
  const char* streamed = withJournal ? "stream-journal" : "stream-plain";
  const std::filesystem::path base = senderBase.toStdString();
  std::filesystem::remove_all(base / streamed);
  std::filesystem::create_directories(base / streamed);
  std::filesystem::copy(base / (withJournal ? kStartWithJournal : kStartWithout) / "data", base / streamed / "data",
                        std::filesystem::copy_options::recursive);
  for (auto _ : state) {
    ReceiverProcess copy;
    copy.start(senderBase, kStartAddress, receiverArguments + QStringList{"started"}, streamed);
    // The first delivery after a start is not what this case measures.
    modCOMFunctions::SendMessageToRecipients(messageText(0), 1, 1, startUID, "", false, false);
    ActionManager().SetActionTimer(1, true);
    if (!runUntil([&] { return !copy.stored().empty() && queueIdle(); }, kWaitLimitMs)) {
      fail("stream: the first message never arrived");
    }
    const long long journalBefore = copy.ask('j');
    copy.ask('L');
    GreetingProbe probe(0, kStartAddress);
    const int64_t end = monotonicNs() + int64_t{kStreamSeconds} * 1'000'000'000;
    int sent = 1;
    for (int64_t next = monotonicNs(); next < end; next += int64_t{kSteadyGapMs} * 1'000'000) {
      runUntil([&] { return monotonicNs() >= next; }, kWaitLimitMs);
      modCOMFunctions::SendMessageToRecipients(messageText(sent++), 1, 1, startUID, "", false, false);
      ActionManager().SetActionTimer(1, true);
    }
    if (!runUntil([&] { return static_cast<int>(copy.stored().size()) >= sent; }, kWaitLimitMs)) {
      fail("stream: a message never arrived");
    }
    const std::vector<double> waits = probe.finish();
    const double stallMs = static_cast<double>(copy.ask('L')) / 1e3;
    const long long journalAfter = copy.ask('j');
    copy.finish();
    if (withJournal != (journalAfter < journalBefore)) {
      fail(withJournal ? "stream: the journal was not folded" : "stream: a journal was folded");
    }
    state.SetIterationTime(stallMs / 1e3);
    state.counters["messages"] = sent - 1;
    state.counters["max_greeting_ms"] = *std::max_element(waits.begin(), waits.end());
    std::printf("stream to 300,000 stored %s: %d messages, longest stall %.1f ms, longest greeting "
                "wait %.1f ms, journal %.1f MB before, %.1f MB after\n",
                withJournal ? "with the largest journal" : "without a journal", sent - 1, stallMs,
                *std::max_element(waits.begin(), waits.end()), static_cast<double>(journalBefore) / 1e6,
                static_cast<double>(journalAfter) / 1e6);
    if (!runUntil(queueIdle, kWaitLimitMs)) fail("the queue never settled");
  }
}

// ---- the first delivery after a start ------------------------------------

struct Delivery {
  double stallMs = 0;
  double seconds = 0;
};

// Delivers one message to the started copy `copy`: the longest its event
// loop stood still meanwhile, and the seconds from sending to stored.
Delivery deliverTo(ReceiverProcess& copy, int n) {
  copy.ask('L');
  const std::size_t before = copy.stored().size();
  const int64_t start = monotonicNs();
  modCOMFunctions::SendMessageToRecipients(messageText(n), 1, 1, startUID, "", false, false);
  ActionManager().SetActionTimer(1, true);
  if (!runUntil([&] { return copy.stored().size() > before && queueIdle(); }, kWaitLimitMs)) {
    fail("first delivery: a message never arrived");
  }
  return {static_cast<double>(copy.ask('L')) / 1e3,
          static_cast<double>(copy.stored()[before] - start) / 1e9};
}

// The delivery after the first, by run of firstDelivery.
std::deque<Delivery> laterDeliveries;

// The copy holding 300,000 messages without a journal is started, and a
// message is sent to it as soon as it is ready: the longest its event loop
// stood still while it took that first delivery (as the case's time) and
// the delivery's time; then the same for the next message (laterDelivery).
void firstDelivery(benchmark::State& state) {
  makeStartCopies();
  for (auto _ : state) {
    ReceiverProcess copy;
    copy.start(senderBase, kStartAddress, receiverArguments + QStringList{"started"}, kStartWithout);
    const Delivery first = deliverTo(copy, 0);
    laterDeliveries.push_back(deliverTo(copy, 1));
    copy.finish();
    state.SetIterationTime(first.stallMs / 1e3);
    state.counters["delivery_ms"] = first.seconds * 1e3;
  }
}

void laterDelivery(benchmark::State& state) {
  if (laterDeliveries.empty()) fail("later_delivery runs after first_delivery");
  for (auto _ : state) {}
  const Delivery later = laterDeliveries.front();
  laterDeliveries.pop_front();
  state.SetIterationTime(later.stallMs / 1e3);
  state.counters["delivery_ms"] = later.seconds * 1e3;
}

// ---- the reference ---------------------------------------------------------

int senderSyncFd = -1;

// Connect, four request/reply round trips, close. synced: the sender first
// appends the message to its file and fdatasyncs it, and the server does
// the same before its reply to the third request (the message).
template <bool synced>
void rawExchange() {
  if (synced) syncWrite(senderSyncFd, "q", 1);
  const int fd = rawConnection(kRawAddress, PeerConnections::kPeerPort, kSenderAddress, true);
  std::vector<char> buffer;
  for (const int bytes : kRequestBytes) {
    buffer.assign(8 + static_cast<std::size_t>(bytes), 'q');
    const bool syncHere = synced && &bytes == &kRequestBytes[2];
    const uint32_t length = static_cast<uint32_t>(bytes),
                   replyLength = kReplyBytes | (syncHere ? kSyncFlag : 0);
    std::memcpy(buffer.data(), &length, 4);
    std::memcpy(buffer.data() + 4, &replyLength, 4);
    sendAll(fd, buffer.data(), buffer.size());
    char reply[4 + kReplyBytes];
    receiveAll(fd, reply, sizeof reply);
  }
  ::close(fd);
}

template <bool synced>
void rawOne(benchmark::State& state) {
  std::vector<double> seconds;
  for (auto _ : state) {
    for (int run = 0; run < kSingleRuns; ++run) {
      const int64_t start = monotonicNs();
      rawExchange<synced>();
      seconds.push_back(static_cast<double>(monotonicNs() - start) / 1e9);
    }
    state.SetIterationTime(median(seconds));
  }
}

// Appends a record the size of a received message's journal record to a
// file and fdatasyncs it, kBurst times: one sync per message, on the disk
// that holds the receivers' files.
void rawAppendLoop(benchmark::State& state) {
  constexpr std::size_t kRecordBytes = 470;
  const int count = burstCount();
  const std::string path = (senderBase + "/append-synced").toStdString();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) fail("no file for the append loop");
  const std::string record(kRecordBytes, 'a');
  for (auto _ : state) {
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) syncWrite(fd, record.data(), record.size());
    const double total = static_cast<double>(monotonicNs() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
  }
  ::close(fd);
}

template <bool synced>
void rawBurst(benchmark::State& state) {
  const int count = burstCount();
  for (auto _ : state) {
    const int64_t start = monotonicNs();
    for (int n = 0; n < count; ++n) rawExchange<synced>();
    const double total = static_cast<double>(monotonicNs() - start) / 1e9;
    state.SetIterationTime(total);
    state.counters["messages"] = count;
    state.counters["msg/s"] = count / total;
  }
}

int runSender(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir folders;
  if (!folders.isValid()) fail("no temporary folder");
  const QString base = folders.path();
  senderBase = base;
  const char* resource = TAVINOR_BENCH_RESOURCE_FILE;

  useCopyFolders(base + "/sender", kSenderAddress);
  const std::string senderUID = setUpCopy(resource, "Sam", [](int32_t) {});
  const std::string syncedFile = (base + "/sender-synced").toStdString();
  senderSyncFd = ::open(syncedFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (senderSyncFd < 0) fail("no file for the synced reference");
  receiverArguments = {QString::fromStdString(senderUID), QString::fromUtf8(resource)};
  ReceiverProcess child;
  ReceiverProcess small;
  receiver = &child;
  smallReceiver = &small;
  child.start(base, kReceiverAddress,
              {QString::fromStdString(senderUID), QString::fromUtf8(resource), "raw"});
  small.start(base, kSmallReceiverAddress, {QString::fromStdString(senderUID), QString::fromUtf8(resource)},
              "small-receiver");
  addUserRow(child.uid(), "Rita", kReceiverAddress);
  addUserRow(small.uid(), "Rosa", kSmallReceiverAddress);
  std::printf("sender %s on %s, receiver %s on %s (the message center in a separate process), "
              "raw server on %s; %d-character messages, %d runs for one message, burst of %d\n",
              senderUID.c_str(), kSenderAddress, child.uid().c_str(), kReceiverAddress,
              kRawAddress, kMessageChars, kSingleRuns, burstCount());

  // The stored messages only grow: the cases run in this order.
  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"raw/one_exchange_synced", rawOne<true>},
      {"raw/burst_synced", rawBurst<true>},
      {"raw/append_synced_loop", rawAppendLoop},
      {"ours/one_message_1000_beside_100000", oneMessageBeside<100'000>},
      {"ours/one_message_100000", oneMessageAt<100'000>},
      {"ours/folders_opening_1000", foldersOpening<1'000>},
      {"ours/folders_opening_100000", foldersOpening<100'000>},
      {"ours/one_message_folders_1000_beside_100000", oneMessageBeside<100'000, true>},
      {"ours/one_message_folders_100000", oneMessageAt<100'000, true>},
      {"ours/queued_burst_100000", burst<100'000>},
      {"ours/burst_100000", peerBurst<100'000>},
      {"ours/idle_greeting_100000", idleGreeting},
      {"ours/steady_100000", steady<100'000>},
      {"ours/one_message_1000_beside_300000", oneMessageBeside<300'000>},
      {"ours/one_message_300000", oneMessageAt<300'000>},
      {"ours/folders_opening_300000", foldersOpening<300'000>},
      {"ours/one_message_folders_1000_beside_300000", oneMessageBeside<300'000, true>},
      {"ours/one_message_folders_300000", oneMessageAt<300'000, true>},
      {"ours/start_300000_journal", startTimeWithJournal},
      {"ours/start_300000", startReported<false, false>},
      {"ours/start_memory_300000_journal", startReported<true, true>},
      {"ours/start_memory_300000", startReported<false, true>},
      {"ours/stream_300000", streamAt300000<false>},
      {"ours/stream_300000_fold", streamAt300000<true>},
      {"ours/first_delivery_300000", firstDelivery},
      {"ours/later_delivery_300000", laterDelivery},
  };
  runWithRatios(
      argc, argv, benchmarks,
      {
          {"one message, 1,000 stored, vs synced raw (median)", "ours/one_message_1000_beside_100000",
           "raw/one_exchange_synced"},
          {"one message, 100,000 vs 1,000 stored (taking turns)", "ours/one_message_100000",
           "ours/one_message_1000_beside_100000"},
          {"one message, 300,000 vs 1,000 stored (taking turns)", "ours/one_message_300000",
           "ours/one_message_1000_beside_300000"},
          {"opening the message folders, 100,000 vs 1,000 stored", "ours/folders_opening_100000",
           "ours/folders_opening_1000"},
          {"opening the message folders, 300,000 vs 1,000 stored", "ours/folders_opening_300000",
           "ours/folders_opening_1000"},
          {"one message, folders open, 100,000 vs 1,000 stored (taking turns)",
           "ours/one_message_folders_100000", "ours/one_message_folders_1000_beside_100000"},
          {"one message, folders open, 300,000 vs 1,000 stored (taking turns)",
           "ours/one_message_folders_300000", "ours/one_message_folders_1000_beside_300000"},
          {"one message, 1,000 stored, folders open vs closed", "ours/one_message_folders_1000_beside_300000",
           "ours/one_message_1000_beside_300000"},
          {"longest stall (ms), first delivery after a start vs the next, 300,000 stored",
           "ours/first_delivery_300000", "ours/later_delivery_300000"},
          {"burst from 8 connections, 100,000 stored, vs synced raw", "ours/burst_100000",
           "raw/burst_synced"},
          {"burst from 8 connections, 100,000 stored, vs append+fdatasync loop",
           "ours/burst_100000", "raw/append_synced_loop"},
          {"burst through the queue, 100,000 stored, vs synced raw", "ours/queued_burst_100000",
           "raw/burst_synced"},
          {"start-up, 300,000 stored, with the largest journal vs without",
           "ours/start_300000_journal", "ours/start_300000"},
          {"peak memory at start (MiB), with the largest journal vs without",
           "ours/start_memory_300000_journal", "ours/start_memory_300000"},
          {"longest stall (ms), stream to 300,000 stored, folding vs not",
           "ours/stream_300000_fold", "ours/stream_300000"},
          {"greeting wait (median), one message per 200 ms vs idle", "ours/steady_100000",
           "ours/idle_greeting_100000"},
      },
      "ours (ms)", "reference (ms)", BenchTiming::kByHandOnce, kRuns);

  // Every message sent is on the receiver's disk.
  const long long onDisk = child.ask('C');
  const long long given = child.ask('G');
  std::printf("\nreceived messages on the receiver's disk: %lld (stored replies seen: %zu, "
              "messages given to it: %lld)\n",
              onDisk, child.stored().size(), given);
  ReleaseActionManager();
  ::close(senderSyncFd);
  child.finish();
  const bool complete = onDisk == given + static_cast<long long>(child.stored().size()) &&
                        small.ask('C') == small.ask('G') + static_cast<long long>(small.stored().size());
  small.finish();
  if (!complete) fail("a receiver's file does not hold every stored message");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return runReceiver(argc, argv);
  return runSender(argc, argv);
}
