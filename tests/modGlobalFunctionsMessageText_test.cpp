// Messages as plain text: the layout, the copy of several messages, the
// export into the message folder (with names that other copies chose), and
// the preset instant messages of the compose window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QPlainTextEdit>
#include <string>
#include <vector>

#include "Clock.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ShellOpen.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using namespace modGlobalVariables;
constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kEve = "E7E00000-0000-0000-0000-000000000003";
constexpr const char* kLayout = R"(|[MESSAGES]|
MSG20535=Unknown user
MSG20530=%% unknown recipient(s)
MSG30501=Files written:%%
MSG70900=(Choose)
|[MESSAGE PRIORITY OPTIONS]|
1=Normal
|[MESSAGE RESPONSE TYPE]|
1=None
|[MESSAGE STATUS]|
60=Not opened
|[PRINT MESSAGE KEYWORDS]|
LABELMINLENGTH=8.9
LINESEPARATORCHARACTER= *#
LINESEPARATORLENGTH=40
FROM=From
TO=To
DATE=Date
PRIORITY=Priority
RESPONSE=Response
STATUS=Status
CONTENT=Content
)";

class MessageText : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 10), QTime(12, 30, 0)));
    CurrentLocalUserUID = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    saving = environment.root() + "/saved";
    modLocalUserFunctions::LocalUserOptions.MessageSavingFolder = saving;
    PoolLoan users(User);
    for (const auto& [uid, last, first] : std::vector<std::array<std::string, 3>>{
             {kBob, "Smith", "Bob"}, {kEve, "../../escape", ""}}) {
      users->CreateNewRow(false, 0);
      users->SetFields({0, 2, 3}, {uid, last, first});
      users->AddCurrentRow();
    }
    platform::shell::setShellRecorder([this](const platform::shell::ShellRequest& request) {
      opened.push_back(request.target);
      return true;
    });
  }
  void TearDown() override {
    platform::shell::setShellRecorder({});
    modLocalUserFunctions::LocalUserOptions = {};
    platform::clearFixedTime();
  }
  void addReceived(const std::string& uid, const std::string& sender, const std::string& sent,
                   const std::string& content) {
    PoolLoan received(MessRec);
    received->CreateNewRow(false, 0);
    received->SetFields({0, 1, 2, 3, 4, 5, 6, 8}, {uid, sender, "60", sent, content, "1", "1", "1"});
    received->AddCurrentRow();
    received->AddSubRow(0, uid, 0, kBob);
  }

  ProgramTestEnvironment environment{kLayout};
  RecordingMessageBox boxes;
  std::string saving;
  std::vector<std::string> opened;
};

TEST_F(MessageText, LayoutCentresTheContentLabelUnderTheSeparator) {
  addReceived("M1", kBob, "2026-03-09 08:15:00", "Line one||%_CRLF_%||Line two");
  const std::string s(40, '*');  // the first character of " *#" after trimming
  const std::string expected = s + "\r\n" + "From    : Smith, Bob\r\n" + "To      : Smith, Bob\r\n" +
                               "Date    : 2026-03-09 08:15:00\r\n" + "Priority: Normal\r\n" +
                               "Response: None\r\n" + "Status  : Not opened\r\n" + s + "\r\n" +
                               std::string(16, ' ') + "Content\r\n" + s + "\r\n" +
                               "Line one\r\nLine two\r\n" + s;
  EXPECT_EQ(modGlobalFunctions::GetMessagesAsText({"M1"}, MessRec), expected);
  addReceived("M2", "NOT-IN-DIRECTORY", "2026-03-09 08:16:00", "x");
  const std::string both = modGlobalFunctions::GetMessagesAsText({"M1", "GONE", "M2"}, MessRec);
  EXPECT_EQ(both.substr(0, expected.size() + 4), expected + "\r\n\r\n");
  EXPECT_NE(both.find("From    : Unknown user\r\n", expected.size()), std::string::npos);
  PoolLoan received(MessRec);
  received->ClearCurrent();
  EXPECT_EQ(modGlobalFunctions::FormatMessageAsText(*received), "");
}

// Exports: one file per message, unique names, folders named after senders
// that never lead out of the message folder, a count shown or files opened.
TEST_F(MessageText, ExportStaysInTheMessageFolder) {
  addReceived("M1", kBob, "2026-03-09 08:15:00", "a");
  addReceived("M2", kEve, "2026-03-09 08:16:00", "b");
  addReceived("M3", "NOT-IN-DIRECTORY", "../../x\x01:y", "c");
  bool openAfter = false;
  EXPECT_EQ(modGlobalFunctions::SaveMessageToTextFile({"M1", "M1", "GONE", "M2", "M3"}, MessRec,
                                                      nullptr, openAfter),
            4);
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "Files written: 4");
  EXPECT_EQ(boxes.shown()[0].flags, 64);
  const QString bob = QString::fromStdString(saving + "/Smith.Bob");
  EXPECT_EQ(QDir(bob).entryList(QDir::Files),
            (QStringList{"MSG_2026-03-09_08-15-00.txt", "MSG_2026-03-09_08-15-0000001.txt"}));
  EXPECT_EQ(QDir(QString::fromStdString(saving + "/..-..-escape.")).entryList(QDir::Files),
            QStringList{"MSG_2026-03-09_08-16-00.txt"});
  EXPECT_EQ(QDir(QString::fromStdString(saving + "/Unknown user")).entryList(QDir::Files),
            QStringList{"MSG_2026-03-10_12-30-00.txt"});
  EXPECT_EQ(QDir(QString::fromStdString(saving)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 3);
  EXPECT_FALSE(QDir(QString::fromStdString(environment.root() + "/escape.")).exists());
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(bob.toStdString() + "/MSG_2026-03-09_08-15-00.txt")
                .substr(0, 40),
            std::string(40, '*'));

  boxes.clear();
  openAfter = true;
  EXPECT_EQ(modGlobalFunctions::SaveMessageToTextFile({"M1"}, MessRec, nullptr, openAfter), 1);
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_EQ(opened, std::vector<std::string>{bob.toStdString() + "/MSG_2026-03-09_08-15-0000002.txt"});
}

TEST_F(MessageText, PresetsFillTheComboAndInsertAtTheCaret) {
  PoolLoan presets(InstMess);
  const std::string sixty(60, 'x');
  for (const auto& [uid, type, content] : std::vector<std::array<std::string, 3>>{
           {"P1", "1", "First line||%_CRLF_%||second"}, {"P2", "2", "Other type"}, {"P3", "1", sixty}}) {
    presets->CreateNewRow(false, 0);
    presets->SetFields({0, 1, 2}, {uid, type, content});
    presets->AddCurrentRow();
  }
  QComboBox types, messages;
  types.addItem("one", 1);
  types.addItem("three", 3);
  std::vector<std::string> identifiers{"stale"};
  types.setCurrentIndex(0);
  modGlobalFunctions::FillInstantMessageCombo(*presets, types, messages, identifiers);
  ASSERT_EQ(messages.count(), 3);
  EXPECT_EQ(messages.itemText(0), "(Choose)");
  EXPECT_EQ(messages.itemText(1), "First line...");
  EXPECT_EQ(messages.itemText(2).toStdString(), std::string(50, 'x') + "...");
  EXPECT_EQ(identifiers, (std::vector<std::string>{"", "P1", "P3"}));
  EXPECT_EQ(messages.currentIndex(), 0);

  QPlainTextEdit box;
  box.setPlainText("Hello WORLD");
  QTextCursor caret = box.textCursor();
  caret.setPosition(6);
  caret.setPosition(11, QTextCursor::KeepAnchor);
  box.setTextCursor(caret);
  modGlobalFunctions::InsertInstantMessageText(*presets, messages, box, identifiers);  // the heading
  EXPECT_EQ(box.toPlainText(), "Hello WORLD");
  messages.setCurrentIndex(1);
  modGlobalFunctions::InsertInstantMessageText(*presets, messages, box, identifiers);
  EXPECT_EQ(box.toPlainText(), "Hello First line\nsecond\n");
  messages.setCurrentIndex(-1);
  modGlobalFunctions::InsertInstantMessageText(*presets, messages, box, identifiers);

  types.setCurrentIndex(1);
  modGlobalFunctions::FillInstantMessageCombo(*presets, types, messages, identifiers);
  EXPECT_EQ(messages.count(), 1);
  EXPECT_EQ(identifiers, std::vector<std::string>{""});
}

}  // namespace
