// Two copies of the built program on one machine, as two people would run
// them: each under its own address, data folder and home, on an X display
// the test starts, logged in by typing into the login dialog with xdotool.
// Both must listen and greet; a third start on a folder in use must end at
// once; SIGTERM must end a copy through its normal shut-down.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRect>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QDir>
#include <QDirIterator>
#include <pugixml.hpp>
#include <QThread>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DataJournal.h"
#include "JournalBytes.h"
#include "ConnectionState.h"
#include "PeerConnections.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "StoredText.h"
#include "TestDisplay.h"
#include "modGenFunctionsFile.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modWireFrames.h"

namespace {

constexpr int kFirstDisplay = 141;
constexpr int kLastDisplay = 190;
constexpr int kStartMs = 15000;
constexpr int kEndMs = 15000;
constexpr int kPauseMs = 20;  // between the checks of a wait
// A delivery whose first try failed on a busy machine goes again a minute later.
constexpr int kDeliveryMs = 90000;
constexpr const char* kLoginTitle = "^Tavinor - Login$";
// Windows open where they were last left: the test puts each one it clicks
// into at a known place and size, so that places in it are fixed: Bob's
// over his main window at the bottom of the screen, Ann's over hers at the top.
const QRect kSearchPlace(300, 560, 372, 389);
const QRect kComposePlace(300, 560, 533, 333);
const QRect kFoldersPlace(100, 560, 700, 380);
const QRect kAnnFoldersPlace(100, 20, 700, 380);

// "UID:ST recipient-ST..." of every message row of `file` in the account's
// folder, read from disk.
std::string messagesOnDisk(const QString& dataRoot, const std::string& account, const char* file) {
  const std::string path = dataRoot.toStdString() + "/" + account + "/" + file;
  if (!QFileInfo::exists(QString::fromStdString(path))) return {};
  pugi::xml_document document;
  if (!document.load_string(storedText(path, true).c_str())) return {};
  std::string rows;
  for (const pugi::xml_node row : document.document_element().children("M")) {
    rows += std::string(row.attribute("CO").value()) + ":" + row.attribute("ST").value();
    for (const pugi::xml_node recipient : row.children("U")) {
      rows += std::string(" ") + recipient.attribute("ST").value();
    }
    rows += ";";
  }
  return rows;
}

// "AT AS AZ NCTS;" of every action in the account's queue, read from disk.
std::string actionsOnDisk(const QString& dataRoot, const std::string& account) {
  const std::string path = dataRoot.toStdString() + "/" + account + "/D002.dat";
  if (!QFileInfo::exists(QString::fromStdString(path))) return {};
  pugi::xml_document document;
  if (!document.load_string(storedText(path, true).c_str())) return {};
  std::string rows;
  for (const pugi::xml_node row : document.document_element().children("A")) {
    for (const char* name : {"AT", "AS", "AZ", "NCTS"}) rows += std::string(row.attribute(name).value()) + " ";
    rows += ";";
  }
  return rows;
}

// One copy: its folders, address and account.
struct Copy {
  std::string name;
  QString address;
  QString root;
  std::string accountUID;
  ChildProcess program;

  QString dataRoot() const { return root + "/data"; }
};

// The first complete text that `address` sends after a connection, "" when
// none comes within the time limit or the bytes are no valid frames.
std::string greetingOf(const QString& address) {
  QTcpSocket socket;
  socket.connectToHost(address, PeerConnections::kPeerPort);
  if (!socket.waitForConnected(kStartMs)) return {};
  modWireFrames::FrameReader frames;
  modWireFrames::MessageAssembler texts;
  ConnectionState state;
  InitConnectionState(state);
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kStartMs && socket.waitForReadyRead(kStartMs)) {
    const QByteArray data = socket.readAll();
    frames.Append(std::string(data.constData(), static_cast<std::size_t>(data.size())));
    std::string body;
    for (;;) {
      const auto result = frames.Next(body);
      if (result == modWireFrames::FrameReader::Result::kNeedMore) break;
      if (result == modWireFrames::FrameReader::Result::kProtocolError) return {};
      // Bit 0 of the flag byte marks an enciphered body.
      if (body.empty() || (static_cast<unsigned char>(body[0]) & 1) == 0) return {};
      if (!modWireFrames::ParseFrame(state, body)) return {};
      std::string text;
      if (texts.Add(state, body, text) == modWireFrames::MessageAssembler::Result::kComplete) {
        return text;
      }
    }
  }
  return {};
}

class TwoCopiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString missing = TestDisplay::missingProgram({"Xvfb", "xdotool"});
    if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString() << " is not installed";
    programPath_ = builtProgram("app/tavinor");
    ASSERT_TRUE(QFileInfo(programPath_).isExecutable()) << programPath_.toStdString();
    ASSERT_TRUE(folders_.isValid());
    ASSERT_TRUE(display_.start(kFirstDisplay, kLastDisplay))
        << "no Xvfb display could be started from :" << kFirstDisplay;
  }

  void TearDown() override {
    for (auto& peer : peers_) peer->stop();
    for (auto& copy : copies_) copy->program.stop();
  }

  // A copy with its own folders and an account made through the program's
  // own account store, as an earlier run would have left it.
  // Its folders are below `folder` (the name when empty).
  Copy& addCopy(const std::string& name, const char* address, const std::string& folder = {}) {
    copies_.push_back(std::make_unique<Copy>());
    Copy& copy = *copies_.back();
    copy.name = name;
    copy.address = address;
    copy.root = folders_.path() + "/" + QString::fromStdString(folder.empty() ? name : folder);
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy.dataRoot().toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    copy.accountUID = ProgramTestEnvironment::addAccount(name, "pw-" + name, name, "Tester");
    modGlobalVariables::InitGlobalVariables();
    return copy;
  }

  // Lets only the peers at the addresses of `allowed` ("||" between them)
  // talk to the copy's account.
  void restrictPeers(Copy& copy, const std::string& allowed) {
    using namespace modLocalUserFunctions;
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy.dataRoot().toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    UserOptions options;
    LoadLocalUserOptions(options, true, copy.accountUID, copy.name);
    options.EnableIPFiltering = true;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      accounts->SetRowFieldByKey(kLocalUserUID, copy.accountUID, kLocalUserOP,
                                 BuildOptionsString(options));
      accounts->SetRowFieldByKey(kLocalUserUID, copy.accountUID, kLocalUserFIP, allowed);
      accounts->SaveXMLDoc();
    }
    modGlobalVariables::InitGlobalVariables();
  }

  // Puts a person into the users directory of the copy's account.
  void addPerson(Copy& copy, const std::string& uid, const std::string& firstName,
                 const char* address) {
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy.dataRoot().toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    ProgramTestEnvironment::addPerson(copy.accountUID, uid, "1", "Known", firstName, address);
    modGlobalVariables::InitGlobalVariables();
  }

  // The first visible window of the copy whose name matches `title`.
  QString windowOf(Copy& copy, const char* title) {
    return xdotool({"search", "--all", "--onlyvisible", "--pid",
                    QString::number(copy.program.process.processId()), "--name", title})
        .out.section('\n', -1);
  }

  void start(Copy& copy) {
    copy.program.start(programPath_, {},
                       copyEnvironment(copy.root, copy.address, display_.name()));
  }

  TestDisplay::Result xdotool(const QStringList& arguments) {
    return display_.run("xdotool", arguments, kStartMs);
  }

  // Puts the window at `rect` and gives it the keyboard.
  void place(const QString& window, const QRect& rect) {
    display_.place(window, rect, kStartMs);
    xdotool({"windowraise", window});
    xdotool({"windowfocus", "--sync", window});
    QThread::msleep(200);
  }

  // Types the name and password into the copy's login dialog and presses
  // Return (OK is the default button), as a person would. A returning
  // person finds his name filled in and the password box ready.
  void logIn(Copy& copy, bool returning = false) {
    QString window;
    ASSERT_TRUE(waitUntil(
        [&] {
          window = xdotool({"search", "--onlyvisible", "--pid",
                            QString::number(copy.program.process.processId()), "--name",
                            kLoginTitle})
                       .out;
          return !window.isEmpty() || copy.program.process.state() == QProcess::NotRunning;
        },
        kStartMs, kPauseMs))
        << "no login dialog: " << copy.program.errors();
    ASSERT_FALSE(window.isEmpty()) << copy.program.errors();
    window = window.section('\n', 0, 0);
    ASSERT_EQ(xdotool({"windowfocus", "--sync", window}).exitCode, 0);
    if (!returning) {
      ASSERT_EQ(xdotool({"type", "--delay", "20", QString::fromStdString(copy.name)}).exitCode, 0);
      xdotool({"key", "Tab"});
    }
    ASSERT_EQ(
        xdotool({"type", "--delay", "20", QString::fromStdString("pw-" + copy.name)}).exitCode, 0);
    xdotool({"key", "Return"});
    ASSERT_TRUE(waitUntil(
        [&] {
          return copy.program.said("is logged in") ||
                 copy.program.process.state() == QProcess::NotRunning;
        },
        kStartMs, kPauseMs))
        << "not logged in: " << copy.program.read() << copy.program.errors();
    ASSERT_TRUE(copy.program.said(copy.name + " is logged in"))
        << copy.program.out << copy.program.errors();
  }

  // Starts message_peer as the account `name` at `address`, knowing the
  // people of `known` (UID, address); its account UID once it is ready.
  ChildProcess& startPeer(const std::string& name, const char* address,
                          const std::vector<std::pair<std::string, QString>>& known) {
    peers_.push_back(std::make_unique<ChildProcess>());
    ChildProcess& peer = *peers_.back();
    const QString root = folders_.path() + "/" + QString::fromStdString(name);
    QStringList arguments{QString::fromStdString(name)};
    for (const auto& [uid, at] : known) arguments << "--user" << QString::fromStdString(uid) << at;
    peer.start(builtProgram("tests/message_peer"), arguments, copyEnvironment(root, address));
    peer.waitFor("ready", kStartMs);
    return peer;
  }

  QTemporaryDir folders_;
  TestDisplay display_;
  std::vector<std::unique_ptr<ChildProcess>> peers_;
  ProgramTestEnvironment environment_;  // puts the process's record globals back
  QString programPath_;
  std::vector<std::unique_ptr<Copy>> copies_;
};

TEST_F(TwoCopiesTest, TwoCopiesListenAndAThirdOnTheSameFolderEndsAtOnce) {
  Copy& ann = addCopy("ANN", "127.0.0.2");
  Copy& bob = addCopy("BOB", "127.0.0.3");
  for (Copy* copy : {&ann, &bob}) {
    start(*copy);
    logIn(*copy);
    if (HasFatalFailure()) return;
  }

  for (Copy* copy : {&ann, &bob}) {
    SCOPED_TRACE(copy->name);
    const std::string greeting = greetingOf(copy->address);
    ASSERT_FALSE(greeting.empty()) << "no enciphered greeting from " << copy->address.toStdString();
    EXPECT_EQ(ScriptedPeer::attribute(greeting, "V"), "100") << greeting;
    // Signed by the account logged in there, so it is that copy that answers.
    EXPECT_EQ(ScriptedPeer::attribute(greeting, "SD"), copy->accountUID) << greeting;
  }

  // A third start on Ann's folder gives up before its login: a login dialog
  // would wait for a person, so ending unattended shows it never came.
  Copy third;
  third.address = ann.address;
  third.root = ann.root;
  start(third);
  ASSERT_TRUE(third.program.process.waitForFinished(kEndMs))
      << "the third copy did not end by itself";
  EXPECT_EQ(third.program.process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(third.program.process.exitCode(), 2);
  EXPECT_TRUE(third.program.process.readAllStandardOutput().isEmpty());
  EXPECT_TRUE(third.program.process.readAllStandardError().contains("another copy already runs"));
  EXPECT_FALSE(greetingOf(ann.address).empty()) << "the first copy stopped listening";

  for (Copy* copy : {&ann, &bob}) {
    SCOPED_TRACE(copy->name);
    copy->program.process.terminate();
    ASSERT_TRUE(copy->program.process.waitForFinished(kEndMs)) << "SIGTERM did not end the copy";
    EXPECT_EQ(copy->program.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy->program.process.exitCode(), 0) << copy->program.errors();
    // The shut-down saved the address the copy recorded for its account.
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy->dataRoot().toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    EXPECT_EQ(ProgramTestEnvironment::accountField(copy->accountUID,
                                                   modLocalUserFunctions::kLocalUserIP),
              copy->address.toStdString());
  }
  modGlobalVariables::InitGlobalVariables();
}

// A person finds a colleague by address and types him a message; the other
// copy stores it, answers with its automatic reply, opening it there sends
// the read notice back, its person answers it from the viewer, and the
// sender's recall takes it away again.
TEST_F(TwoCopiesTest, ATypedMessageIsDeliveredAnsweredReadAndRecalled) {
  Copy& ann = addCopy("ANN", "127.0.0.4");
  Copy& bob = addCopy("BOB", "127.0.0.5");
  for (Copy* copy : {&ann, &bob}) {
    start(*copy);
    logIn(*copy);
    if (HasFatalFailure()) return;
  }
  // The main windows open centred: Ann's goes to the top left and Bob's
  // below it, so that the two do not overlap and places in them are fixed.
  const QString bobWindow = windowOf(bob, "^Tavinor - Message center$");
  ASSERT_FALSE(bobWindow.isEmpty());
  xdotool({"windowsize", "--sync", bobWindow, "900", "520"});
  xdotool({"windowmove", "--sync", bobWindow, "0", "540"});
  const QString annCenter = windowOf(ann, "^Tavinor - Message center$");
  ASSERT_FALSE(annCenter.isEmpty());
  xdotool({"windowsize", "--sync", annCenter, "900", "520"});
  xdotool({"windowmove", "--sync", annCenter, "0", "0"});

  // Bob finds Ann by her address (Users > Find users) and adds her.
  xdotool({"windowraise", bobWindow});
  xdotool({"windowfocus", "--sync", bobWindow});
  xdotool({"key", "alt+u"});
  xdotool({"key", "f"});
  QString search;
  ASSERT_TRUE(waitUntil([&] { return !(search = windowOf(bob, "^Tavinor - User search$")).isEmpty(); },
                        kStartMs, kPauseMs));
  place(search, kSearchPlace);
  xdotool({"mousemove", "--window", search, "190", "20", "click", "1"});
  xdotool({"type", "--delay", "10", ann.address});
  xdotool({"key", "Return"});
  const std::string bobUsers = bob.dataRoot().toStdString() + "/BOB/D010.dat";
  const auto annKnown = [&] {
    return storedText(bobUsers, true).find(ann.accountUID) !=
           std::string::npos;
  };
  // The answer takes a moment: select and add until the directory holds her.
  for (int attempt = 0; attempt < 50 && !annKnown(); ++attempt) {
    QThread::msleep(200);
    xdotool({"mousemove", "--window", search, "40", "65", "click", "1"});   // the person found
    xdotool({"mousemove", "--window", search, "100", "366", "click", "1"});  // Add
  }
  ASSERT_TRUE(annKnown()) << "Ann was not found and added";
  xdotool({"mousemove", "--window", search, "320", "366", "click", "1"});  // Close
  EXPECT_TRUE(waitUntil([&] { return windowOf(bob, "^Tavinor - User search$").isEmpty(); },
                        kStartMs, kPauseMs));

  // Ann is away: her automatic reply (at the bottom of her main window) is on.
  const QString annWindow = windowOf(ann, "^Tavinor - Message center$");
  ASSERT_FALSE(annWindow.isEmpty());
  xdotool({"windowraise", annWindow});
  xdotool({"windowfocus", "--sync", annWindow});
  xdotool({"mousemove", "16", "472", "click", "1"});
  xdotool({"mousemove", "500", "472", "click", "1"});
  xdotool({"type", "--delay", "10", "Back soon"});

  // Bob: Messages > New message, tick Ann, type, Send.
  xdotool({"windowraise", bobWindow});
  xdotool({"windowfocus", "--sync", bobWindow});
  xdotool({"key", "ctrl+n"});
  QString compose;
  ASSERT_TRUE(waitUntil([&] { return !(compose = windowOf(bob, "^Tavinor - Message$")).isEmpty(); },
                        kStartMs, kPauseMs));
  place(compose, kComposePlace);
  const auto click = [&](int x, int y) {
    xdotool({"mousemove", "--window", compose, QString::number(x), QString::number(y),
             "click", "1"});
    QThread::msleep(100);
  };
  click(22, 38);    // Ann, the first recipient
  click(300, 140);  // the text
  xdotool({"type", "--delay", "10", "Lunch at noon"});
  QThread::msleep(100);
  click(274, 310);  // Send

  // Ann's copy stored it unread before it answered; Bob's shows it delivered.
  ASSERT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") ==
                                     "Lunch at noon:60 1;"; }, kDeliveryMs, kPauseMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") << " queue: "
      << actionsOnDisk(bob.dataRoot(), "BOB") << " events: " << bob.program.read();
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:50 50;"; }, kStartMs, kPauseMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");
  // Ann's copy answered by itself, and Bob keeps the answer marked as automatic (-1).
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") ==
                                     "Back soon:-1 1;"; }, kDeliveryMs, kPauseMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") << " ann's queue: "
      << actionsOnDisk(ann.dataRoot(), "ANN");

  // Ann opens it from her received messages; Bob's copy hears of it.
  xdotool({"windowraise", annWindow});
  xdotool({"windowfocus", "--sync", annWindow});
  xdotool({"mousemove", "100", "300", "click", "1"});  // out of the automatic-reply text
  xdotool({"key", "alt+m"});
  xdotool({"key", "f"});
  QString folders;
  ASSERT_TRUE(waitUntil([&] { return !(folders = windowOf(ann, "^Tavinor - Message history$")).isEmpty(); },
                        kStartMs, kPauseMs));
  place(folders, kAnnFoldersPlace);
  xdotool({"mousemove", "--window", folders, "100", "65", "click", "--repeat", "2", "1"});
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") ==
                                     "Lunch at noon:100 1;"; }, kStartMs, kPauseMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat");
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:100 100;"; }, kStartMs, kPauseMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");

  // Ann answers from the viewer (Alt+R): the reply goes to Bob with his text
  // quoted below hers, and her copy of his message becomes answered.
  QString viewer;
  ASSERT_TRUE(waitUntil([&] { return !(viewer = windowOf(ann, "^Tavinor - Message viewer$")).isEmpty(); },
                        kStartMs, kPauseMs));
  xdotool({"windowraise", viewer});
  xdotool({"windowfocus", "--sync", viewer});
  xdotool({"key", "alt+r"});
  QString reply;
  ASSERT_TRUE(waitUntil([&] { return !(reply = windowOf(ann, "^Tavinor - Message$")).isEmpty(); },
                        kStartMs, kPauseMs));
  xdotool({"windowraise", reply});
  xdotool({"windowfocus", "--sync", reply});
  QThread::msleep(200);
  xdotool({"type", "--delay", "10", "See you there"});
  xdotool({"key", "alt+s"});
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") ==
                                     "Lunch at noon:220 1;"; }, kDeliveryMs, kPauseMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat");
  const auto replyArrived = [&] {
    const std::string received = messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat");
    const std::size_t answer = received.find("Back soon:-1 1;See you there||%_CRLF_%||");
    return answer != std::string::npos && received.find("Lunch at noon", answer) != std::string::npos;
  };
  EXPECT_TRUE(waitUntil(replyArrived, kDeliveryMs, kPauseMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") << " ann's queue: "
      << actionsOnDisk(ann.dataRoot(), "ANN");

  // Bob recalls it from his sent messages: it leaves Ann's copy.
  xdotool({"windowraise", bobWindow});
  xdotool({"windowfocus", "--sync", bobWindow});
  xdotool({"key", "alt+m"});
  xdotool({"key", "f"});
  QString sent;
  ASSERT_TRUE(waitUntil([&] { return !(sent = windowOf(bob, "^Tavinor - Message history$")).isEmpty(); },
                        kStartMs, kPauseMs));
  place(sent, kFoldersPlace);
  xdotool({"mousemove", "--window", sent, "276", "21", "click", "1"});  // the folder choice
  QThread::msleep(300);
  xdotool({"key", "Down", "Return"});  // sent messages
  QThread::msleep(300);
  xdotool({"mousemove", "--window", sent, "100", "65", "click", "1"});
  QThread::msleep(200);
  xdotool({"mousemove", "--window", sent, "136", "329", "click", "1"});  // Recall
  QThread::msleep(500);
  xdotool({"key", "alt+y"});  // Yes, recall it (Enter would say No)
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat").empty(); },
                        kStartMs, kPauseMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat");
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:400 400;"; }, kStartMs, kPauseMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");
  for (Copy* copy : {&ann, &bob}) {
    copy->program.process.terminate();
    EXPECT_TRUE(copy->program.process.waitForFinished(kEndMs));
  }
  modGlobalVariables::InitGlobalVariables();
}

// Two copies typed into by their people, and two more played by
// message_peer: Cid asks Ann's copy for her users directory and her
// identity and writes to Ann and Bob at once; Ann's copy answers that a
// person it does not hold is not on that computer, and turns away Dan, whose
// address her filter does not list; what Cid writes while Bob's copy is down
// reaches Bob once his copy is back and the planned try runs.
TEST_F(TwoCopiesTest, PeersAreServedFilteredAndReachedAgainAfterADowntime) {
  Copy& ann = addCopy("ANN", "127.0.0.4");
  Copy& bob = addCopy("BOB", "127.0.0.5");
  restrictPeers(ann, "127.0.0.5||127.0.0.6");
  addPerson(ann, "EVE-UID", "Eve", "127.0.0.9");
  for (Copy* copy : {&ann, &bob}) {
    start(*copy);
    logIn(*copy);
    if (HasFatalFailure()) return;
  }
  const std::string ghost = "GHOST-UID";
  ChildProcess& cid = startPeer("CID", "127.0.0.6",
                            {{ann.accountUID, ann.address}, {bob.accountUID, bob.address},
                             {ghost, ann.address}});
  ChildProcess& dan = startPeer("DAN", "127.0.0.7", {{ann.accountUID, ann.address}});
  ASSERT_FALSE(cid.lastValue("account").empty()) << cid.errors();
  ASSERT_FALSE(dan.lastValue("account").empty()) << dan.errors();
  const QString cidRoot = folders_.path() + "/CID/data";

  // Ann shares her users directory, and tells who she is.
  cid.tell("ask 1100 " + ann.accountUID);
  EXPECT_TRUE(cid.waitFor("EVE-UID", kDeliveryMs)) << cid.out;
  cid.tell("ask 1300 " + ann.accountUID);
  const std::string cidUsers = cidRoot.toStdString() + "/CID/D010.dat";
  EXPECT_TRUE(waitUntil([&] {
    return storedText(cidUsers, true).find("LN=\"Tester\"") !=
           std::string::npos;
  }, kDeliveryMs, kPauseMs)) << storedText(cidUsers, true);

  // One message to both: each copy stores it, Ann's shows it on her board,
  // and Cid's row has both deliveries.
  cid.tell("send " + ann.accountUID + "||" + bob.accountUID + " For you both");
  for (Copy* copy : {&ann, &bob}) {
    EXPECT_TRUE(waitUntil([&] {
      return messagesOnDisk(copy->dataRoot(), copy->name, "D008.dat") == "For you both:60 1 1;";
    }, kDeliveryMs, kPauseMs)) << copy->name << ": " << messagesOnDisk(copy->dataRoot(), copy->name, "D008.dat");
  }
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(cidRoot, "CID", "D009.dat") == "For you both:1 50 50;";
  }, kStartMs, kPauseMs)) << messagesOnDisk(cidRoot, "CID", "D009.dat");
  EXPECT_FALSE(windowOf(ann, "^Tavinor - Message board$").isEmpty());

  // Nobody of that UID lives on Ann's computer: Cid keeps the message for a
  // later try. Dan's address is not let in: his queue gives it up at once,
  // his row still says queued. Ann stores neither.
  cid.tell("send " + ghost + " Anyone there?");
  dan.tell("send " + ann.accountUID + " Let me in");
  EXPECT_TRUE(waitUntil([&] { return actionsOnDisk(cidRoot, "CID").rfind("1200 50 1 2", 0) == 0; },
                        kDeliveryMs, kPauseMs)) << actionsOnDisk(cidRoot, "CID");
  const QString danRoot = folders_.path() + "/DAN/data";
  EXPECT_TRUE(waitUntil([&] {
    return actionsOnDisk(danRoot, "DAN").empty() &&
           messagesOnDisk(danRoot, "DAN", "D009.dat") == "Let me in:1 1;";
  }, kDeliveryMs, kPauseMs)) << actionsOnDisk(danRoot, "DAN") << messagesOnDisk(danRoot, "DAN", "D009.dat");
  EXPECT_EQ(messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat"), "For you both:60 1 1;");

  // Bob's copy ends; what Cid writes now waits until it is back.
  bob.program.process.terminate();
  ASSERT_TRUE(bob.program.process.waitForFinished(kEndMs)) << bob.program.errors();
  cid.tell("send " + bob.accountUID + " While you were away");
  EXPECT_TRUE(waitUntil([&] {
    const std::string queue = actionsOnDisk(cidRoot, "CID");
    return std::count(queue.begin(), queue.end(), ';') == 2;
  }, kDeliveryMs, kPauseMs)) << actionsOnDisk(cidRoot, "CID");
  start(bob);
  logIn(bob, true);
  if (HasFatalFailure()) return;
  cid.tell("retry");
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") ==
           "For you both:60 1 1;While you were away:60 1;";
  }, kDeliveryMs, kPauseMs)) << messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") << " Cid's queue: "
                    << actionsOnDisk(cidRoot, "CID") << " Cid: " << cid.read()
                    << " Bob: " << bob.program.read();
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(cidRoot, "CID", "D009.dat").find("While you were away:50 50;") !=
           std::string::npos;
  }, kStartMs, kPauseMs)) << messagesOnDisk(cidRoot, "CID", "D009.dat");
  modGlobalVariables::InitGlobalVariables();
}

// Copies whose received messages' journal met harm before they started, or
// whose disk has room only for appends.
class JournalHarmTest : public TwoCopiesTest {
 protected:
  // Cid (message_peer at `cidRoot`) sends each text to Ann, and each is
  // answered as stored: Cid's sent row shows it delivered.
  void deliver(ChildProcess& cid, const QString& cidRoot, const std::string& cidName, Copy& ann,
               const std::vector<std::string>& texts) {
    for (const std::string& text : texts) cid.tell("send " + ann.accountUID + " " + text);
    const auto delivered = [&] {
      const std::string sent = messagesOnDisk(cidRoot, cidName, "D009.dat");
      return std::all_of(texts.begin(), texts.end(), [&](const std::string& text) {
        return sent.find(text + ":50 50;") != std::string::npos;
      });
    };
    EXPECT_TRUE(waitUntil(delivered, kDeliveryMs, kPauseMs))
        << messagesOnDisk(cidRoot, cidName, "D009.dat") << " Cid's queue: " << actionsOnDisk(cidRoot, cidName)
        << " Ann: " << ann.program.read() << ann.program.errors();
  }

  // Runs `work` on the data folder of `copy` in this process.
  static void inDataFolderOf(Copy& copy, const std::function<void()>& work) {
    ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy.dataRoot().toUtf8().constData());
    modGlobalVariables::InitGlobalVariables();
    work();
    modGlobalVariables::InitGlobalVariables();
  }

  // Fills the journal of the copy's received messages with opened messages
  // until a few more deliveries make it due for folding.
  static void fillJournalToItsFold(Copy& copy) {
    constexpr std::uint64_t kFoldAt = 4u << 20;
    constexpr std::uint64_t kRoomLeft = 2048;
    inDataFolderOf(copy, [&] {
      using namespace modGlobalVariables;
      const auto received = modGlobalFunctions::GetUserDataObject(MessRec, copy.accountUID, true);
      const DataJournal journal(copy.dataRoot().toStdString() + "/" + copy.name + "/D008.dat", true);
      const std::string content(2000, 'x');
      for (int n = 0; journal.size() + kRoomLeft < kFoldAt; ++n) {
        const bool batch = journal.size() + (300u << 10) < kFoldAt;
        for (int row = 0; row < (batch ? 100 : 1); ++row) {
          received->CreateNewRow(true, kMessageUID);
          received->SetFields({kMessageSD, kMessageST, kMessageTS, kMessageCO, kMessageMT},
                              {"SOMEONE", "100", "2026-01-01 10:00:00", content, "1"});
          received->AddCurrentRow();
        }
        received->SaveXMLDoc();
      }
    });
  }

  // The journal of another account's received messages, twenty of them.
  static std::string journalOfAnotherAccount(Copy& copy) {
    std::string bytes;
    inDataFolderOf(copy, [&] {
      using namespace modGlobalVariables;
      const std::string other = ProgramTestEnvironment::addAccount("OTHER", "pw", "Other", "Person");
      const auto received = modGlobalFunctions::GetUserDataObject(MessRec, other, true);
      for (int n = 0; n < 20; ++n) {
        received->CreateNewRow(true, kMessageUID);
        received->SetFields({kMessageSD, kMessageST, kMessageCO, kMessageMT},
                            {"SOMEONE", "60", "not for Ann " + std::to_string(n), "1"});
        received->AddCurrentRow();
        received->SaveXMLDoc();
      }
      bytes = modGenFunctionsFile::ReadFileContent(copy.dataRoot().toStdString() + "/OTHER/.D008.dat.jnl");
    });
    return bytes;
  }

  // Starts the copy with its data folder on a disk of its own: a tmpfs
  // holding what the folder holds and `slack` bytes more, in a mount
  // namespace of the copy's own. False when no such namespace can be made.
  bool startOnSmallDisk(Copy& copy, std::uint64_t slack) {
    if (QProcess::execute("unshare", {"-rm", "true"}) != 0) return false;
    std::uint64_t used = 0;
    for (QDirIterator it(copy.dataRoot(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
      used += (static_cast<std::uint64_t>(QFileInfo(it.next()).size()) + 4095) / 4096 * 4096;
    }
    const char* script =
        "cp -a \"$1\" \"$1.staged\" && mount -t tmpfs -o size=\"$2\" tmpfs \"$1\" && "
        "cp -a \"$1.staged/.\" \"$1/\" && rm -rf \"$1.staged\" && shift 2 && exec \"$@\"";
    copy.program.start("unshare",
                       {"-rm", "sh", "-c", script, "sh", copy.dataRoot(), QString::number(used + slack),
                        programPath_},
                       copyEnvironment(copy.root, copy.address, display_.name()));
    return true;
  }
};

// A real copy receives from Cid (message_peer) whatever befell the journal
// of its received messages before it started, or on a disk with room for
// appends but not for folding that journal: every delivery is answered as
// stored and is stored once, nothing of a journal that is not proved the
// copy's own comes in, and what it could not use is set aside once and
// named in its error log. A damaged record, the last one too, is never cut
// silently.
TEST_F(JournalHarmTest, DeliveriesAreStoredWhateverBefellTheJournal) {
  constexpr const char* kAnnAddress = "127.0.0.180";
  constexpr const char* kCidAddress = "127.0.0.181";
  constexpr std::uint64_t kSmallDiskSlack = 512 * 1024;
  std::string damagedJournal;
  struct Row {
    const char* name;
    // Readies Ann's account before her copy starts, with Cid at hand; sets
    // the rows her received messages hold after her start ("CO:ST
    // recipient-ST;" as messagesOnDisk gives them).
    std::function<void(Copy& ann, const std::function<void(const std::vector<std::string>&)>& deliver,
                       std::string& expected)>
        prepare;
    bool onSmallDisk = false;
    int keptAside = 1;
  };
  const auto journalOf = [](Copy& ann) { return ann.dataRoot().toStdString() + "/" + ann.name + "/.D008.dat.jnl"; };
  const std::vector<Row> rows = {
      {"its last record damaged after it was acknowledged",
       [&](Copy& ann, const auto& deliverToAnn, std::string& expected) {
         start(ann);
         logIn(ann);
         if (HasFatalFailure()) return;
         deliverToAnn({"early one", "early two"});
         ann.program.kill();
         const std::string bytes = modGenFunctionsFile::ReadFileContent(journalOf(ann));
         const std::size_t last = JournalBytes::recordStarts(bytes).back();
         modGenFunctionsFile::SaveFileContent("", journalOf(ann), bytes.substr(0, last), false);
         expected = messagesOnDisk(ann.dataRoot(), ann.name, "D008.dat");
         damagedJournal = JournalBytes::withTextByteFlipped(bytes, last);
         modGenFunctionsFile::SaveFileContent("", journalOf(ann), damagedJournal, false);
       }},
      {"a disk with room for appends but not for folding its journal",
       [&](Copy& ann, const auto&, std::string&) { fillJournalToItsFold(ann); }, true, 0},
      {"another account's journal in its place, the identity damaged",
       [&](Copy& ann, const auto&, std::string&) {
         damagedJournal = JournalBytes::withTextByteFlipped(journalOfAnotherAccount(ann), 0);
         modGenFunctionsFile::SaveFileContent(ann.dataRoot().toStdString() + "/" + ann.name,
                                              ".D008.dat.jnl", damagedJournal, false);
       }},
      {"a folder in its place",
       [&](Copy& ann, const auto&, std::string&) {
         damagedJournal.clear();
         ASSERT_TRUE(QDir().mkpath(QString::fromStdString(journalOf(ann) + "/inside")));
       }},
  };
  for (std::size_t n = 0; n < rows.size(); ++n) {
    const Row& row = rows[n];
    SCOPED_TRACE(row.name);
    const std::string annName = "ANN";
    const std::string cidName = std::string("CID") + static_cast<char>('A' + n);
    Copy& ann = addCopy(annName, kAnnAddress, "ANN-" + cidName);
    // Cid starts once Ann's copy is up.
    ChildProcess* cid = nullptr;
    const QString cidRoot = folders_.path() + "/" + QString::fromStdString(cidName) + "/data";
    const auto deliverToAnn = [&](const std::vector<std::string>& texts) {
      if (cid == nullptr) {
        cid = &startPeer(cidName, kCidAddress, {{ann.accountUID, ann.address}});
        ASSERT_FALSE(cid->lastValue("account").empty()) << cid->errors();
      }
      deliver(*cid, cidRoot, cidName, ann, texts);
    };
    std::string expected;
    row.prepare(ann, deliverToAnn, expected);
    if (HasFatalFailure()) return;
    if (!row.onSmallDisk) {
      start(ann);
    } else if (!startOnSmallDisk(ann, kSmallDiskSlack)) {
      GTEST_SKIP() << "no mount namespace can be made here for a disk of its own";
    }
    // A copy killed never stored who logged in last: the name is typed again.
    logIn(ann);
    if (HasFatalFailure()) return;
    // Files of a copy on a disk of its own are seen through its root.
    const QString seen = row.onSmallDisk
                             ? QString("/proc/%1/root").arg(ann.program.process.processId()) + ann.dataRoot()
                             : ann.dataRoot();
    const std::string folder = seen.toStdString() + "/" + annName;
    if (row.onSmallDisk) {
      QFile mounts(QString("/proc/%1/mounts").arg(ann.program.process.processId()));
      ASSERT_TRUE(mounts.open(QIODevice::ReadOnly));
      ASSERT_TRUE(mounts.readAll().contains((" " + ann.dataRoot() + " tmpfs ").toUtf8()));
    }
    std::vector<std::string> texts;
    for (int message = 0; message < (row.onSmallDisk ? 12 : 4); ++message) {
      texts.push_back(cidName + " message " + std::to_string(message));
    }
    deliverToAnn(texts);
    // What is stored: what the start found usable, then each delivery once.
    std::string stored = messagesOnDisk(seen, annName, "D008.dat");
    if (row.onSmallDisk) {
      EXPECT_GT(QFileInfo(QString::fromStdString(folder + "/.D008.dat.jnl")).size(), 4 << 20)
          << "the journal is past its fold";
      stored = stored.substr(std::min(stored.size(), stored.find(texts.front())));
    }
    for (const std::string& text : texts) expected += text + ":60 1;";
    EXPECT_EQ(stored, expected);
    // Set aside once, as it was, and named where the person is told.
    QStringList kept;
    for (QDirIterator it(QString::fromStdString(folder), {"*.bad-*"},
                         QDir::AllEntries | QDir::Hidden | QDir::System);
         it.hasNext();) {
      kept << it.next();
    }
    ASSERT_EQ(kept.size(), row.keptAside) << kept.join(", ").toStdString();
    const std::string log = modGenFunctionsFile::ReadFileContent(seen.toStdString() + "/TVRLOG.DAT", true);
    if (row.onSmallDisk) {
      const auto foldFailures = [&] {
        std::size_t lines = 0;
        for (std::size_t at = log.find("clsGenObject.SaveXMLDoc"); at != std::string::npos;
             at = log.find("clsGenObject.SaveXMLDoc", at + 1)) {
          ++lines;
        }
        return lines;
      };
      EXPECT_EQ(foldFailures(), 1u) << "the failed fold is logged once";
    }
    for (const QString& path : kept) {
      EXPECT_NE(log.find(QFileInfo(path).fileName().toStdString()), std::string::npos) << log;
      EXPECT_EQ(QFileInfo(path).isDir(), damagedJournal.empty());
      if (!damagedJournal.empty()) {
        EXPECT_EQ(modGenFunctionsFile::ReadFileContent(path.toStdString()), damagedJournal);
      }
    }
    ann.program.stop();
    cid->stop();
  }
  modGlobalVariables::InitGlobalVariables();
}

}  // namespace
