// The desktop program walked through as a new person would, on an X display
// the test starts, with xdotool: log in (creating the account), open every
// window from the menus (the message folders, moved, closed and opened
// again, come back where they were left), add a colleague (another running
// copy) by address through the IP entry dialog, make a group and drag him
// into it, close all windows and bring them back from the notification-area
// icon (Xvfb has no notification area: its stand-in window), and exit.
// Pictures of the screen are saved under <build>/desktop-walk/ (not compared).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "modGenFunctionsFile.h"
#include "modGlobalVariables.h"

namespace {

constexpr int kFirstDisplay = 101;
constexpr int kLastDisplay = 119;
constexpr int kWaitMs = 15000;
// The user search at a known place and size, and its buttons there.
const QRect kSearchPlace(300, 200, 372, 389);
const QPoint kSearchAdd(100, 366);
const QPoint kSearchClose(320, 366);

bool waitUntil(const std::function<bool()>& done, int milliseconds = kWaitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(50);
  }
  return true;
}

void stop(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(3000)) {
    process.kill();
    process.waitForFinished(3000);
  }
}

struct Copy {
  std::string name;
  QString address;
  QString root;
  QProcess process;
  QString out;
  QString dataRoot() const { return root + "/data"; }
  std::string file(const char* name) const {
    return dataRoot().toStdString() + "/" + this->name + "/" + name;
  }
  QString readOut() { return out += QString::fromLocal8Bit(process.readAllStandardOutput()); }
};

class DesktopWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xdotool"}) {
      if (QStandardPaths::findExecutable(tool).isEmpty())
        GTEST_SKIP() << tool << " is not installed";
    }
    const QString binaryDir = qEnvironmentVariable("TAVINOR_TEST_BINARY_DIR");
    programPath_ = binaryDir + "/app/tavinor";
    grabPath_ = binaryDir + "/tests/screen_grab";
    shotFolder_ = binaryDir + "/desktop-walk";
    ASSERT_TRUE(QFileInfo(programPath_).isExecutable()) << programPath_.toStdString();
    QDir(shotFolder_).removeRecursively();
    QDir().mkpath(shotFolder_);
    ASSERT_TRUE(folders_.isValid());
    ASSERT_TRUE(startServer()) << "no Xvfb display could be started from :" << kFirstDisplay;
  }

  void TearDown() override {
    for (auto& copy : copies_) stop(copy->process);
    stop(server_);
    modGlobalVariables::InitGlobalVariables();
  }

  bool startServer() {
    for (int n = kFirstDisplay; n <= kLastDisplay; ++n) {
      if (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
          QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n))) {
        continue;
      }
      server_.start("Xvfb",
                    {QString(":%1").arg(n), "-nolisten", "tcp", "-noreset", "-displayfd", "1"});
      QString line;
      while (!line.contains('\n') && server_.waitForReadyRead(kWaitMs)) {
        line += QString::fromLocal8Bit(server_.readAllStandardOutput());
      }
      if (line.trimmed() == QString::number(n)) {
        display_ = QString(":%1").arg(n);
        return true;
      }
      stop(server_);
    }
    return false;
  }

  // withAccount: an account made as an earlier run would have left it.
  Copy& addCopy(const std::string& name, const char* address, bool withAccount) {
    copies_.push_back(std::make_unique<Copy>());
    Copy& copy = *copies_.back();
    copy.name = name;
    copy.address = address;
    copy.root = folders_.path() + "/" + QString::fromStdString(name);
    if (withAccount) {
      ScopedEnv dataRoot("TAVINOR_DATA_ROOT", copy.dataRoot().toUtf8().constData());
      modGlobalVariables::InitGlobalVariables();
      ProgramTestEnvironment::addAccount(name, "pw-" + name, "Ann", "Lee");
      modGlobalVariables::InitGlobalVariables();
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("TAVINOR_DATA_ROOT", copy.dataRoot());
    env.insert("TAVINOR_BIND_ADDRESS", copy.address);
    env.insert("HOME", copy.root + "/home");
    env.insert("XDG_CONFIG_HOME", copy.root + "/home/.config");
    env.insert("TAVINOR_REGISTRY_FILE", copy.root + "/registry.json");
    copy.process.setProcessEnvironment(env);
    copy.process.start(programPath_, {});
    return copy;
  }

  // Runs a program on the display; its standard output, trimmed.
  QString onDisplay(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    tool.setProcessEnvironment(env);
    tool.start(program, arguments);
    if (!tool.waitForFinished(kWaitMs)) stop(tool);
    if (exitCode != nullptr) *exitCode = tool.exitCode();
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
  }

  QString xdotool(const QStringList& arguments) {
    const QString out = onDisplay("xdotool", arguments);
    QThread::msleep(60);
    return out;
  }

  // The visible windows of the copy whose title matches, newest last.
  QStringList windowsOf(Copy& copy, const QString& title) {
    const QString found = xdotool({"search", "--all", "--onlyvisible", "--pid",
                                   QString::number(copy.process.processId()), "--name", title});
    return found.isEmpty() ? QStringList() : found.split('\n');
  }

  // Waits for a window of the copy with that title that is not in `known`.
  QString waitWindow(Copy& copy, const QString& title, const QStringList& known = {}) {
    QString window;
    waitUntil([&] {
      for (const QString& each : windowsOf(copy, title)) {
        if (!known.contains(each)) window = each;
      }
      return !window.isEmpty() || copy.process.state() == QProcess::NotRunning;
    });
    if (!window.isEmpty()) {
      xdotool({"windowraise", window});
      xdotool({"windowfocus", "--sync", window});
      QThread::msleep(250);
    }
    return window;
  }

  void keys(const QString& window, const QStringList& sequence) {
    xdotool({"windowfocus", "--sync", window});
    for (const QString& key : sequence) {
      xdotool({"key", key});
      QThread::msleep(150);
    }
  }

  void type(const QString& text) { xdotool({"type", "--delay", "30", text}); }

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

  // Windows open where they were last left: the walk puts each one it
  // clicks into at a known place and size, so that places in it are fixed.
  void place(const QString& window, const QRect& rect) {
    xdotool({"windowsize", "--sync", window, QString::number(rect.width()),
             QString::number(rect.height())});
    xdotool({"windowmove", "--sync", window, QString::number(rect.x()), QString::number(rect.y())});
    waitUntil([&] { return geometryOf(window) == rect; });
    QThread::msleep(200);
  }

  void click(const QString& window, int x, int y, int button = 1) {
    xdotool({"mousemove", "--window", window, QString::number(x), QString::number(y), "click",
             QString::number(button)});
    QThread::msleep(150);
  }

  void shot(const char* name) {
    int exitCode = -1;
    onDisplay(grabPath_, {shotFolder_ + "/" + name + ".png"}, &exitCode);
    EXPECT_EQ(exitCode, 0) << "no picture " << name;
  }

  bool loggedIn(Copy& copy) {
    return waitUntil([&] {
             return copy.readOut().contains("is logged in") ||
                    copy.process.state() == QProcess::NotRunning;
           }) &&
           copy.out.contains("is logged in");
  }

  // The group rows of the copy's group file: "name:member,member;".
  static std::string groupsOnDisk(const Copy& copy) {
    pugi::xml_document document;
    if (!document.load_string(
            modGenFunctionsFile::ReadFileContent(copy.file("D004.dat"), true).c_str())) {
      return {};
    }
    std::string rows;
    for (const pugi::xml_node group : document.document_element().children("G")) {
      rows += std::string(group.attribute("N").value()) + ":";
      for (const pugi::xml_node member : group.children("U")) {
        rows += std::string(member.attribute("UID").value()) + ",";
      }
      rows += ";";
    }
    return rows;
  }

  QTemporaryDir folders_;
  ProgramTestEnvironment environment_;
  QString programPath_, grabPath_, shotFolder_, display_;
  QProcess server_;
  std::vector<std::unique_ptr<Copy>> copies_;
};

TEST_F(DesktopWalk, ANewPersonWalksThroughEveryWindow) {
  // Ann's copy runs already; her new-message hot key opens a message.
  Copy& ann = addCopy("ANN", "127.0.0.100", true);
  QString window = waitWindow(ann, "^Tavinor - Login$");
  ASSERT_FALSE(window.isEmpty()) << ann.process.readAllStandardError().toStdString();
  type("ANN");
  keys(window, {"Tab"});
  type("pw-ANN");
  keys(window, {"Return"});
  ASSERT_TRUE(loggedIn(ann)) << ann.out.toStdString();
  const QString annCenter = waitWindow(ann, "^Tavinor - Message center$");
  xdotool({"key", "ctrl+alt+m"});
  const QString annMessage = waitWindow(ann, "^Tavinor - Message$");
  EXPECT_FALSE(annMessage.isEmpty()) << "the hot key opened no message";
  keys(annCenter, {"alt+m", "c"});  // Ann closes her windows out of the way

  // Bob is new: the login offers to create his account, the options take
  // his names, and he is logged in.
  Copy& bob = addCopy("BOB", "127.0.0.101", false);
  window = waitWindow(bob, "^Tavinor - Login$");
  ASSERT_FALSE(window.isEmpty()) << bob.process.readAllStandardError().toStdString();
  type("BOB");
  keys(window, {"Tab"});
  type("pw-BOB");
  keys(window, {"Return"});
  window = waitWindow(bob, "^Tavinor$");
  ASSERT_FALSE(window.isEmpty()) << "no offer to create the account";
  shot("01-new-account-question");
  keys(window, {"Return"});
  window = waitWindow(bob, "^Tavinor - Options$");
  ASSERT_FALSE(window.isEmpty());
  shot("02-new-account-options");
  type("Bob");
  keys(window, {"Tab"});
  type("Ray");
  keys(window, {"Return"});
  ASSERT_TRUE(loggedIn(bob)) << bob.out.toStdString()
                             << bob.process.readAllStandardError().toStdString();
  const QString center = waitWindow(bob, "^Tavinor - Message center$");
  ASSERT_FALSE(center.isEmpty());
  QStringList standIn;
  ASSERT_TRUE(waitUntil([&] { return (standIn = windowsOf(bob, "^Tavinor$")).size() == 1; }))
      << "no single stand-in for the notification-area icon: " << standIn.join(' ').toStdString();
  shot("03-message-center");

  // Every window from the menus.
  keys(center, {"ctrl+n"});
  EXPECT_FALSE(waitWindow(bob, "^Tavinor - Message$").isEmpty());
  shot("04-new-message");
  // The message folders, left elsewhere and closed, open there again.
  keys(center, {"alt+m", "f"});
  QString folders = waitWindow(bob, "^Tavinor - Message history$");
  ASSERT_FALSE(folders.isEmpty());
  const QRect foldersLeftAt(140, 90, 700, 380);
  place(folders, foldersLeftAt);
  click(folders, foldersLeftAt.width() - 45, foldersLeftAt.height() - 24);  // Close
  EXPECT_TRUE(waitUntil([&] { return windowsOf(bob, "^Tavinor - Message history$").isEmpty(); }));
  keys(center, {"alt+m", "f"});
  folders = waitWindow(bob, "^Tavinor - Message history$");
  ASSERT_FALSE(folders.isEmpty());
  const QRect reopened = geometryOf(folders);
  EXPECT_EQ(reopened, foldersLeftAt) << reopened.x() << "," << reopened.y() << " "
                                     << reopened.width() << "x" << reopened.height();
  shot("05-message-folders");
  keys(center, {"alt+u", "f"});
  const QString search = waitWindow(bob, "^Tavinor - User search$");
  ASSERT_FALSE(search.isEmpty());
  place(search, kSearchPlace);
  shot("06-user-search");
  click(search, kSearchClose.x(), kSearchClose.y());
  EXPECT_TRUE(waitUntil([&] { return windowsOf(bob, "^Tavinor - User search$").isEmpty(); }));
  keys(center, {"alt+u", "o"});
  window = waitWindow(bob, "^Tavinor - Options$");
  EXPECT_FALSE(window.isEmpty());
  shot("07-options");
  keys(window, {"Escape"});
  // No help file is installed: the program offers to look for it, then says so.
  keys(center, {"alt+h", "h"});
  window = waitWindow(bob, "^Tavinor$", standIn);
  EXPECT_FALSE(window.isEmpty()) << "no help question";
  shot("08-help-question");
  keys(window, {"Escape"});
  window = waitWindow(bob, "^Tavinor$", standIn);
  EXPECT_FALSE(window.isEmpty()) << "no word about the missing help file";
  shot("09-help-missing");
  keys(window, {"Return"});

  // The user manager: Ann is added by her address, typed in the IP dialog.
  keys(center, {"alt+u", "u"});
  const QString users = waitWindow(bob, "^Tavinor - User manager$");
  ASSERT_FALSE(users.isEmpty());
  place(users, QRect(200, 150, 615, 386));
  keys(users, {"alt+a"});
  window = waitWindow(bob, "^Tavinor - IP capture$");
  ASSERT_FALSE(window.isEmpty());
  type("127");  // three digits move on by themselves; "." moves on too
  type("0.0.100");
  shot("10-ip-capture");
  keys(window, {"Return"});
  const QString found = waitWindow(bob, "^Tavinor - User search$");
  ASSERT_FALSE(found.isEmpty());
  place(found, kSearchPlace);
  // Ann's row in Bob's users directory, found by her address.
  std::string annUID;
  const auto annKnown = [&] {
    pugi::xml_document directory;
    directory.load_string(modGenFunctionsFile::ReadFileContent(bob.file("D010.dat"), true).c_str());
    annUID = directory.document_element()
                 .find_child_by_attribute("U", "IP", "127.0.0.100")
                 .attribute("UID")
                 .value();
    return !annUID.empty();
  };
  for (int attempt = 0; attempt < 50 && !annKnown(); ++attempt) {
    QThread::msleep(200);
    click(found, 40, 65);  // the person found
    click(found, kSearchAdd.x(), kSearchAdd.y());
  }
  shot("11-colleague-found");
  ASSERT_TRUE(annKnown()) << "Ann was not found and added";
  click(found, kSearchClose.x(), kSearchClose.y());

  // A group, and Ann dragged from the users list into it.
  waitWindow(bob, "^Tavinor - User manager$");
  keys(users, {"alt+g"});
  window = waitWindow(bob, "^Tavinor - New group$");
  ASSERT_FALSE(window.isEmpty());
  type("Team");
  keys(window, {"Return"});
  ASSERT_TRUE(waitUntil([&] { return groupsOnDisk(bob) == "Team:;"; })) << groupsOnDisk(bob);
  waitWindow(bob, "^Tavinor - User manager$");
  const int userX = 265;  // the first user of the list
  xdotool({"mousemove", "--window", users, QString::number(userX), "38"});
  xdotool({"mousedown", "1"});
  for (int step = 1; step <= 10; ++step) {
    xdotool({"mousemove", "--window", users, QString::number(userX - step * (userX - 50) / 10),
             QString::number(38 - step * 2)});
  }
  xdotool({"mouseup", "1"});
  EXPECT_TRUE(waitUntil([&] { return groupsOnDisk(bob) == "Team:" + annUID + ",;"; }))
      << groupsOnDisk(bob);
  shot("12-user-manager");

  // Close all windows; the icon's stand-in brings them back.
  keys(center, {"alt+m", "c"});
  EXPECT_TRUE(waitUntil([&] { return windowsOf(bob, "Tavinor") == standIn; }))
      << windowsOf(bob, "Tavinor").join(' ').toStdString();
  shot("13-all-closed");
  click(standIn.front(), 60, 20, 3);
  QThread::msleep(300);
  xdotool({"key", "r"});
  EXPECT_TRUE(waitUntil([&] {
    return !windowsOf(bob, "^Tavinor - Message center$").isEmpty() &&
           !windowsOf(bob, "^Tavinor - User manager$").isEmpty();
  }));
  shot("14-all-restored");

  // Exit ends the program through its shut-down, with no error on the way.
  keys(center, {"alt+m", "x"});
  ASSERT_TRUE(bob.process.waitForFinished(kWaitMs)) << "Exit did not end the program";
  EXPECT_EQ(bob.process.exitCode(), 0);
  const QString errors = QString::fromLocal8Bit(bob.process.readAllStandardError());
  EXPECT_FALSE(errors.contains("rror")) << errors.toStdString();
  EXPECT_FALSE(QFileInfo::exists(bob.dataRoot() + "/TVRLOG.DAT"));
  EXPECT_FALSE(QFileInfo::exists(ann.dataRoot() + "/TVRLOG.DAT"));
}

}  // namespace
