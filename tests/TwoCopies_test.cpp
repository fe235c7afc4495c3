// Two copies of the built program on one machine, as two people would run
// them: each under its own address, data folder and home, on an X display
// the test starts, logged in by typing into the login dialog with xdotool.
// Both must listen and greet; a third start on a folder in use must end at
// once; SIGTERM must end a copy through its normal shut-down.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <pugixml.hpp>
#include <QThread>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionState.h"
#include "PeerConnections.h"
#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "PoolLoan.h"
#include "modGenFunctionsFile.h"
#include "modWireFrames.h"

namespace {

constexpr int kFirstDisplay = 141;
constexpr int kLastDisplay = 190;
constexpr int kStartMs = 15000;
constexpr int kEndMs = 15000;
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

void stop(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(3000)) {
    process.kill();
    process.waitForFinished(3000);
  }
}

// Lets events (the children's output) in until `done` holds.
bool waitUntil(const std::function<bool()>& done, int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(20);
  }
  return true;
}

// "UID:ST recipient-ST..." of every message row of `file` in the account's
// folder, read from disk.
std::string messagesOnDisk(const QString& dataRoot, const std::string& account, const char* file) {
  const std::string path = dataRoot.toStdString() + "/" + account + "/" + file;
  if (!QFileInfo::exists(QString::fromStdString(path))) return {};
  pugi::xml_document document;
  if (!document.load_string(modGenFunctionsFile::ReadFileContent(path, true).c_str())) return {};
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
  if (!document.load_string(modGenFunctionsFile::ReadFileContent(path, true).c_str())) return {};
  std::string rows;
  for (const pugi::xml_node row : document.document_element().children("A")) {
    for (const char* name : {"AT", "AS", "AZ", "NCTS"}) rows += std::string(row.attribute(name).value()) + " ";
    rows += ";";
  }
  return rows;
}

// A copy played by message_peer (the program's libraries, without
// windows), driven through its standard input.
struct PeerCopy {
  QProcess process;
  std::string out;
  std::string accountUID;

  std::string read() { return out += process.readAllStandardOutput().toStdString(); }
  bool says(const std::string& text, int milliseconds) {
    return waitUntil([&] { return read().find(text) != std::string::npos ||
                                  process.state() == QProcess::NotRunning; }, milliseconds) &&
           out.find(text) != std::string::npos;
  }
  void tell(const std::string& line) { process.write((line + "\n").c_str()); }
};

// One copy: its folders, address and account.
struct Copy {
  std::string name;
  QString address;
  QString root;
  std::string accountUID;
  QProcess process;
  QString out;

  QString dataRoot() const { return root + "/data"; }
  QString readOut() { return out += QString::fromLocal8Bit(process.readAllStandardOutput()); }
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
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) GTEST_SKIP() << "Xvfb is not installed";
    if (QStandardPaths::findExecutable("xdotool").isEmpty()) {
      GTEST_SKIP() << "xdotool is not installed";
    }
    programPath_ = qEnvironmentVariable("TAVINOR_TEST_BINARY_DIR") + "/app/tavinor";
    ASSERT_TRUE(QFileInfo(programPath_).isExecutable()) << programPath_.toStdString();
    ASSERT_TRUE(folders_.isValid());
    ASSERT_TRUE(startServer()) << "no Xvfb display could be started from :" << kFirstDisplay;
  }

  void TearDown() override {
    for (auto& peer : peers_) stop(peer->process);
    for (auto& copy : copies_) stop(copy->process);
    stop(server_);
  }

  bool startServer() {
    for (int n = kFirstDisplay; n <= kLastDisplay; ++n) {
      const bool claimed = QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
                           QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n));
      if (claimed) continue;
      server_.start("Xvfb", {QString(":%1").arg(n), "-nolisten", "tcp", "-noreset", "-displayfd", "1"});
      QString line;
      while (!line.contains('\n') && server_.waitForReadyRead(kStartMs)) {
        line += QString::fromLocal8Bit(server_.readAllStandardOutput());
      }
      if (line.trimmed() == QString::number(n)) {
        display_ = QString(":%1").arg(n);
        return true;
      }
      stop(server_);  // lost the display to a server starting at the same moment
    }
    return false;
  }

  // A copy with its own folders and an account made through the program's
  // own account store, as an earlier run would have left it.
  Copy& addCopy(const std::string& name, const char* address) {
    copies_.push_back(std::make_unique<Copy>());
    Copy& copy = *copies_.back();
    copy.name = name;
    copy.address = address;
    copy.root = folders_.path() + "/" + QString::fromStdString(name);
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
    {
      const auto users = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User,
                                                               copy.accountUID, true);
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3, 7}, {uid, "1", "Known", firstName, address});
      users->AddCurrentRow();
      users->SaveXMLDoc();
    }
    modGlobalVariables::InitGlobalVariables();
  }

  QProcessEnvironment environmentOf(const Copy& copy) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("TAVINOR_DATA_ROOT", copy.dataRoot());
    env.insert("TAVINOR_BIND_ADDRESS", copy.address);
    env.insert("HOME", copy.root + "/home");
    env.insert("XDG_CONFIG_HOME", copy.root + "/home/.config");
    env.insert("TAVINOR_REGISTRY_FILE", copy.root + "/registry.json");
    return env;
  }

  // The first visible window of the copy whose name matches `title`.
  QString windowOf(Copy& copy, const char* title) {
    return xdotool({"search", "--all", "--onlyvisible", "--pid",
                    QString::number(copy.process.processId()), "--name", title})
        .section('\n', -1);
  }

  void start(Copy& copy) {
    copy.out.clear();
    copy.process.setProcessEnvironment(environmentOf(copy));
    copy.process.start(programPath_, {});
  }

  // Runs xdotool on the display; its standard output, trimmed.
  QString xdotool(const QStringList& arguments, int* exitCode = nullptr) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    tool.setProcessEnvironment(env);
    tool.start("xdotool", arguments);
    if (!tool.waitForFinished(kStartMs)) {
      tool.kill();
      tool.waitForFinished();
    }
    if (exitCode) *exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
  }

  // Where the window is on the screen, as the X server has it.
  QRect geometryOf(const QString& window) {
    QRect rect;
    for (const QString& line : xdotool({"getwindowgeometry", "--shell", window}).split('\n')) {
      const int value = line.section('=', 1).toInt();
      const QString name = line.section('=', 0, 0);
      if (name == "X") rect.moveLeft(value);
      if (name == "Y") rect.moveTop(value);
      if (name == "WIDTH") rect.setWidth(value);
      if (name == "HEIGHT") rect.setHeight(value);
    }
    return rect;
  }

  void place(const QString& window, const QRect& rect) {
    xdotool({"windowsize", "--sync", window, QString::number(rect.width()),
             QString::number(rect.height())});
    xdotool({"windowmove", "--sync", window, QString::number(rect.x()), QString::number(rect.y())});
    waitUntil([&] { return geometryOf(window) == rect; }, kStartMs);
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
                            QString::number(copy.process.processId()), "--name", kLoginTitle});
          return !window.isEmpty() || copy.process.state() == QProcess::NotRunning;
        },
        kStartMs))
        << "no login dialog: " << copy.process.readAllStandardError().toStdString();
    ASSERT_FALSE(window.isEmpty()) << copy.process.readAllStandardError().toStdString();
    window = window.section('\n', 0, 0);
    int code = 0;
    xdotool({"windowfocus", "--sync", window}, &code);
    ASSERT_EQ(code, 0);
    if (!returning) {
      xdotool({"type", "--delay", "20", QString::fromStdString(copy.name)}, &code);
      ASSERT_EQ(code, 0);
      xdotool({"key", "Tab"});
    }
    xdotool({"type", "--delay", "20", QString::fromStdString("pw-" + copy.name)}, &code);
    ASSERT_EQ(code, 0);
    xdotool({"key", "Return"});
    ASSERT_TRUE(waitUntil(
        [&] {
          return copy.readOut().contains("is logged in") ||
                 copy.process.state() == QProcess::NotRunning;
        },
        kStartMs))
        << "not logged in: " << copy.readOut().toStdString()
        << copy.process.readAllStandardError().toStdString();
    ASSERT_TRUE(copy.out.contains(QString::fromStdString(copy.name + " is logged in")))
        << copy.out.toStdString() << copy.process.readAllStandardError().toStdString();
  }

  // Starts message_peer as the account `name` at `address`, knowing the
  // people of `known` (UID, address); its account UID once it is ready.
  PeerCopy& startPeer(const std::string& name, const char* address,
                      const std::vector<std::pair<std::string, QString>>& known) {
    peers_.push_back(std::make_unique<PeerCopy>());
    PeerCopy& peer = *peers_.back();
    const QString root = folders_.path() + "/" + QString::fromStdString(name);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TAVINOR_DATA_ROOT", root + "/data");
    env.insert("TAVINOR_BIND_ADDRESS", address);
    env.insert("HOME", root + "/home");
    env.insert("TAVINOR_REGISTRY_FILE", root + "/registry.json");
    peer.process.setProcessEnvironment(env);
    QStringList arguments{QString::fromStdString(name)};
    for (const auto& [uid, at] : known) arguments << "--user" << QString::fromStdString(uid) << at;
    peer.process.start(qEnvironmentVariable("TAVINOR_TEST_BINARY_DIR") + "/tests/message_peer",
                       arguments);
    if (peer.says("ready", kStartMs)) {
      const std::size_t at = peer.out.find("account ") + 8;
      peer.accountUID = peer.out.substr(at, peer.out.find('\n', at) - at);
    }
    return peer;
  }

  QTemporaryDir folders_;
  std::vector<std::unique_ptr<PeerCopy>> peers_;
  ProgramTestEnvironment environment_;  // puts the process's record globals back
  QString programPath_;
  QString display_;
  QProcess server_;
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
  ASSERT_TRUE(third.process.waitForFinished(kEndMs)) << "the third copy did not end by itself";
  EXPECT_EQ(third.process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(third.process.exitCode(), 2);
  EXPECT_TRUE(third.process.readAllStandardOutput().isEmpty());
  EXPECT_TRUE(third.process.readAllStandardError().contains("another copy already runs"));
  EXPECT_FALSE(greetingOf(ann.address).empty()) << "the first copy stopped listening";

  for (Copy* copy : {&ann, &bob}) {
    SCOPED_TRACE(copy->name);
    copy->process.terminate();
    ASSERT_TRUE(copy->process.waitForFinished(kEndMs)) << "SIGTERM did not end the copy";
    EXPECT_EQ(copy->process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy->process.exitCode(), 0) << copy->process.readAllStandardError().toStdString();
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
// copy stores it, answers
// with its automatic reply, opening it there sends the read notice back, and
// the sender's recall takes it away again.
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
                        kStartMs));
  place(search, kSearchPlace);
  xdotool({"mousemove", "--window", search, "190", "20", "click", "1"});
  xdotool({"type", "--delay", "10", ann.address});
  xdotool({"key", "Return"});
  const std::string bobUsers = bob.dataRoot().toStdString() + "/BOB/D010.dat";
  const auto annKnown = [&] {
    return modGenFunctionsFile::ReadFileContent(bobUsers, true).find(ann.accountUID) !=
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
                        kStartMs));

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
                        kStartMs));
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
                                     "Lunch at noon:60 1;"; }, kDeliveryMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") << " queue: "
      << actionsOnDisk(bob.dataRoot(), "BOB") << " events: " << bob.readOut().toStdString();
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:50 50;"; }, kStartMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");
  // Ann's copy answered by itself, and Bob keeps the answer marked as automatic (-1).
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") ==
                                     "Back soon:-1 1;"; }, kDeliveryMs))
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
                        kStartMs));
  place(folders, kAnnFoldersPlace);
  xdotool({"mousemove", "--window", folders, "100", "65", "click", "--repeat", "2", "1"});
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat") ==
                                     "Lunch at noon:100 1;"; }, kStartMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat");
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:100 100;"; }, kStartMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");

  // Bob recalls it from his sent messages: it leaves Ann's copy.
  xdotool({"windowraise", bobWindow});
  xdotool({"windowfocus", "--sync", bobWindow});
  xdotool({"key", "alt+m"});
  xdotool({"key", "f"});
  QString sent;
  ASSERT_TRUE(waitUntil([&] { return !(sent = windowOf(bob, "^Tavinor - Message history$")).isEmpty(); },
                        kStartMs));
  place(sent, kFoldersPlace);
  xdotool({"mousemove", "--window", sent, "276", "21", "click", "1"});  // the folder choice
  QThread::msleep(300);
  xdotool({"key", "Down", "Return"});  // sent messages
  QThread::msleep(300);
  xdotool({"mousemove", "--window", sent, "100", "65", "click", "1"});
  QThread::msleep(200);
  xdotool({"mousemove", "--window", sent, "136", "329", "click", "1"});  // Recall
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat").empty(); },
                        kStartMs))
      << messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat");
  EXPECT_TRUE(waitUntil([&] { return messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat") ==
                                     "Lunch at noon:400 400;"; }, kStartMs))
      << messagesOnDisk(bob.dataRoot(), "BOB", "D009.dat");
  for (Copy* copy : {&ann, &bob}) {
    copy->process.terminate();
    EXPECT_TRUE(copy->process.waitForFinished(kEndMs));
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
  PeerCopy& cid = startPeer("CID", "127.0.0.6",
                            {{ann.accountUID, ann.address}, {bob.accountUID, bob.address},
                             {ghost, ann.address}});
  PeerCopy& dan = startPeer("DAN", "127.0.0.7", {{ann.accountUID, ann.address}});
  ASSERT_FALSE(cid.accountUID.empty()) << cid.process.readAllStandardError().toStdString();
  ASSERT_FALSE(dan.accountUID.empty()) << dan.process.readAllStandardError().toStdString();
  const QString cidRoot = folders_.path() + "/CID/data";

  // Ann shares her users directory, and tells who she is.
  cid.tell("ask 1100 " + ann.accountUID);
  EXPECT_TRUE(cid.says("EVE-UID", kDeliveryMs)) << cid.out;
  cid.tell("ask 1300 " + ann.accountUID);
  const std::string cidUsers = cidRoot.toStdString() + "/CID/D010.dat";
  EXPECT_TRUE(waitUntil([&] {
    return modGenFunctionsFile::ReadFileContent(cidUsers, true).find("LN=\"Tester\"") !=
           std::string::npos;
  }, kDeliveryMs)) << modGenFunctionsFile::ReadFileContent(cidUsers, true);

  // One message to both: each copy stores it, Ann's shows it on her board,
  // and Cid's row has both deliveries.
  cid.tell("send " + ann.accountUID + "||" + bob.accountUID + " For you both");
  for (Copy* copy : {&ann, &bob}) {
    EXPECT_TRUE(waitUntil([&] {
      return messagesOnDisk(copy->dataRoot(), copy->name, "D008.dat") == "For you both:60 1 1;";
    }, kDeliveryMs)) << copy->name << ": " << messagesOnDisk(copy->dataRoot(), copy->name, "D008.dat");
  }
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(cidRoot, "CID", "D009.dat") == "For you both:1 50 50;";
  }, kStartMs)) << messagesOnDisk(cidRoot, "CID", "D009.dat");
  EXPECT_FALSE(windowOf(ann, "^Tavinor - Message board$").isEmpty());

  // Nobody of that UID lives on Ann's computer: Cid keeps the message for a
  // later try. Dan's address is not let in: his queue gives it up at once,
  // his row still says queued. Ann stores neither.
  cid.tell("send " + ghost + " Anyone there?");
  dan.tell("send " + ann.accountUID + " Let me in");
  EXPECT_TRUE(waitUntil([&] { return actionsOnDisk(cidRoot, "CID").rfind("1200 50 1 2", 0) == 0; },
                        kDeliveryMs)) << actionsOnDisk(cidRoot, "CID");
  const QString danRoot = folders_.path() + "/DAN/data";
  EXPECT_TRUE(waitUntil([&] {
    return actionsOnDisk(danRoot, "DAN").empty() &&
           messagesOnDisk(danRoot, "DAN", "D009.dat") == "Let me in:1 1;";
  }, kDeliveryMs)) << actionsOnDisk(danRoot, "DAN") << messagesOnDisk(danRoot, "DAN", "D009.dat");
  EXPECT_EQ(messagesOnDisk(ann.dataRoot(), "ANN", "D008.dat"), "For you both:60 1 1;");

  // Bob's copy ends; what Cid writes now waits until it is back.
  bob.process.terminate();
  ASSERT_TRUE(bob.process.waitForFinished(kEndMs)) << bob.process.readAllStandardError().toStdString();
  cid.tell("send " + bob.accountUID + " While you were away");
  EXPECT_TRUE(waitUntil([&] {
    const std::string queue = actionsOnDisk(cidRoot, "CID");
    return std::count(queue.begin(), queue.end(), ';') == 2;
  }, kDeliveryMs)) << actionsOnDisk(cidRoot, "CID");
  start(bob);
  logIn(bob, true);
  if (HasFatalFailure()) return;
  cid.tell("retry");
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") ==
           "For you both:60 1 1;While you were away:60 1;";
  }, kDeliveryMs)) << messagesOnDisk(bob.dataRoot(), "BOB", "D008.dat") << " Cid's queue: "
                    << actionsOnDisk(cidRoot, "CID") << " Cid: " << cid.read()
                    << " Bob: " << bob.readOut().toStdString();
  EXPECT_TRUE(waitUntil([&] {
    return messagesOnDisk(cidRoot, "CID", "D009.dat").find("While you were away:50 50;") !=
           std::string::npos;
  }, kStartMs)) << messagesOnDisk(cidRoot, "CID", "D009.dat");
  modGlobalVariables::InitGlobalVariables();
}

}  // namespace
