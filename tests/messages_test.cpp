// The message windows driven as a person uses them: composing and sending,
// viewing a message, and the message folders with their commands.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "Clock.h"
#include "DataJournal.h"
#include "FileSizeLimit.h"
#include "MessageWindowsServices.h"
#include "LayoutCheck.h"
#include "ModalDriver.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "TurnCommit.h"
#include "TvrError.h"
#include "clsActionManager.h"
#include "frmInternalServices.h"
#include "frmMessage.h"
#include "frmMessageHistory.h"
#include "frmMessageViewer.h"
#include "frmPrintForm.h"
#include "frmUser.h"
#include "MessageCenterServices.h"
#include "modCOMFunctions.h"
#include "modDisplaySynchFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

using namespace modGlobalVariables;

namespace {

constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kCarl = "CA410000-0000-0000-0000-000000000002";

struct QueuedAction {
  std::string type, ouid, ruid;
};

// The folders' list, read as a person reads it.
QString cell(QTableView* list, int row, int column) {
  return list->model()->index(row, column).data().toString();
}
std::string keyAt(QTableView* list, int row) {
  return list->model()->index(row, 0).data(Qt::UserRole).toString().toStdString();
}
// The row that shows message `uid`, or -1.
int rowShowing(QTableView* list, const std::string& uid) {
  for (int row = 0; row < list->model()->rowCount(); ++row) {
    if (keyAt(list, row) == uid) return row;
  }
  return -1;
}
void selectRow(QTableView* list, int row) {
  list->selectionModel()->select(list->model()->index(row, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
}
std::string topKey(QTableView* list) { return keyAt(list, list->rowAt(0)); }

class MessageWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0)));
    ann = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    CurrentLocalUserUID = ann;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true,
                                                "", "");
    modLocalUserFunctions::LocalUserOptions.MessageSavingFolder =
        environment.documentsFolder() + "/Saved";
    PoolLoan users(User);
    for (auto [uid, last, first, address] : {std::tuple{kCarl, "Adams", "Carl", "127.0.0.31"},
                                             {kBob, "Smith", "Bob", "127.0.0.32"}}) {
      users->CreateNewRow(false, 0);
      users->SetFields({0, 1, 2, 3, 7}, {uid, "1", last, first, address});
      users->AddCurrentRow();
    }
    users->SaveXMLDoc();
    // The queue works only when a test says so: no connection is tried.
    ActionManager().tmrWinsockActionManager.blockSignals(true);
  }
  void TearDown() override {
    MessageWindowsServices::InstallViewer({});
    ReleaseActionManager();
    modLocalUserFunctions::LocalUserOptions = {};
    platform::clearFixedTime();
  }

  static std::vector<QueuedAction> queued() {
    std::vector<QueuedAction> all;
    for (pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children("A"))
      all.push_back({row.attribute("AT").as_string(), row.attribute("OUID").as_string(),
                     row.attribute("RUID").as_string()});
    return all;
  }
  static std::string field(int32_t classType, const std::string& uid, const char* name) {
    PoolLoan messages(classType);
    messages->PC_SelectSingleNode(0, uid);
    return messages->GetCurrent().attribute(name).as_string();
  }
  // A received message from Bob (or `sender`) to Ann in status `status`.
  std::string receive(const std::string& status, const std::string& content,
                      const std::string& sender = kBob,
                      const std::string& time = "2026-03-02 08:15:00") {
    PoolLoan received(MessRec);
    const std::string uid = received->CreateNewRow(true, 0);
    received->SetFields({1, 2, 3, 4, 5, 6, 8},
                        {sender, status, time, content, "1", "3", "1"});
    received->AddCurrentRow();
    received->AddSubRow(0, uid, 0, ann);
    received->SubRowSetField(1, "50");
    return uid;
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
  std::string ann;
};

}  // namespace

TEST_F(MessageWindows, SendingStoresTheMessageAndQueuesOneDeliveryPerRecipient) {
  {
    PoolLoan presets(InstMess);
    presets->CreateNewRow(true, 0);
    presets->SetFields({1, 2}, {"2", "Can you call me?"});
    presets->AddCurrentRow();
  }
  const std::string question = receive("100", "Lunch?");

  frmMessage window(question, {kBob});
  window.show();
  auto* recipients = control<QListWidget>(&window, "lstRecipients");
  auto* send = control<QPushButton>(&window, "cmdSend");
  ASSERT_EQ(recipients->count(), 2);
  EXPECT_EQ(recipients->item(0)->text(), "Adams, Carl");
  EXPECT_EQ(recipients->item(1)->text(), "Smith, Bob");
  // The sender of the answered message comes ticked; no text yet.
  EXPECT_EQ(window.CheckedRecipients(), std::vector<std::string>{kBob});
  EXPECT_FALSE(send->isEnabled());

  auto* text = control<QPlainTextEdit>(&window, "txtMessage");
  text->setPlainText("Yes\n");
  text->moveCursor(QTextCursor::End);
  auto* types = control<QComboBox>(&window, "cboInstMessType");
  types->setCurrentIndex(types->findData(2));
  auto* presets = control<QComboBox>(&window, "cboInstMess");
  ASSERT_EQ(presets->count(), 2);
  presets->setCurrentIndex(1);
  control<QPushButton>(&window, "cmdInsertInstMess")->click();
  EXPECT_EQ(text->toPlainText(), "Yes\nCan you call me?\n");

  recipients->item(0)->setCheckState(Qt::Checked);
  // Tab and Shift+Tab go through the controls as the window reads.
  QStringList reading = {"cboPriority", "cboResponseType", "cboInstMessType", "cboInstMess",
                         "cmdInsertInstMess", "txtMessage", "lstAttachments", "cmdAttach",
                         "cmdSend", "cmdCloseAll", "cmdCancel"};
  EXPECT_EQ(LayoutCheck::tabCycle(recipients, false), reading.join(' ').toStdString());
  std::reverse(reading.begin(), reading.end());
  EXPECT_EQ(LayoutCheck::tabCycle(recipients, true), reading.join(' ').toStdString());
  auto* priority = control<QComboBox>(&window, "cboPriority");
  priority->setCurrentIndex(priority->findData(1));
  auto* response = control<QComboBox>(&window, "cboResponseType");
  response->setCurrentIndex(response->findData(3));
  ASSERT_TRUE(send->isEnabled());
  send->click();
  // Emptied for the next message, and still open.
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(text->toPlainText(), "");
  EXPECT_FALSE(send->isEnabled());

  PoolLoan sent(MessSent);
  ASSERT_EQ(sent->CountAll(), 1);
  const pugi::xml_node row = sent->XMLDocLinked()->rootElement().first_child();
  const std::string uid = row.attribute("UID").as_string();
  EXPECT_EQ(std::string(row.attribute("SD").as_string()), ann);
  EXPECT_EQ(std::string(row.attribute("CO").as_string()),
            "Yes||%_CRLF_%||Can you call me?||%_CRLF_%||");
  EXPECT_EQ(std::string(row.attribute("PR").as_string()), "1");
  EXPECT_EQ(std::string(row.attribute("RT").as_string()), "3");
  EXPECT_EQ(std::string(row.attribute("AMU").as_string()), question);
  std::vector<std::string> rowRecipients;
  for (pugi::xml_node recipient : row.children("U")) {
    rowRecipients.push_back(recipient.attribute("UID").as_string());
    EXPECT_EQ(std::string(recipient.attribute("ST").as_string()), "1");
  }
  EXPECT_EQ(rowRecipients, (std::vector<std::string>{kCarl, kBob}));
  std::vector<std::string> deliveredTo;
  for (const QueuedAction& action : queued()) {
    EXPECT_EQ(action.type, "1200");
    EXPECT_EQ(action.ouid, uid);
    deliveredTo.push_back(action.ruid);
  }
  EXPECT_EQ(deliveredTo, (std::vector<std::string>{kCarl, kBob}));
  EXPECT_EQ(field(MessRec, question, "ST"), "220");
  EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(MessageWindows, TheViewerShowsAReceivedMessageMarksItOpenedAndRunsItsCommands) {
  frmMessageViewer::InstallService();
  const std::string uid = receive("60", "Hello Ann||%_CRLF_%||See you");
  modGlobalFunctions::OpenMessageViewer(MessRec, uid);

  frmMessageViewer* viewer = frmMessageViewer::SharedViewer();
  ASSERT_TRUE(viewer->isVisible());
  EXPECT_EQ(viewer->windowTitle(), "Tavinor - Message viewer");
  EXPECT_EQ(control<QLabel>(viewer, "lblFrom")->text(), "Smith, Bob");
  EXPECT_EQ(control<QLabel>(viewer, "lblTo")->text(), "Lee, Ann");
  EXPECT_EQ(control<QLabel>(viewer, "lblDate")->text(), "2026-03-02 08:15:00");
  EXPECT_EQ(control<QLabel>(viewer, "lblPriority")->text(), "High");
  EXPECT_EQ(control<QLabel>(viewer, "lblResponse")->text(), "No reply needed");
  EXPECT_EQ(control<QLabel>(viewer, "lblStatus")->text(), "Opened");
  EXPECT_EQ(control<QPlainTextEdit>(viewer, "txtMessage")->toPlainText(), "Hello Ann\nSee you");
  EXPECT_EQ(field(MessRec, uid, "ST"), "100");
  ASSERT_EQ(queued().size(), 1u);
  EXPECT_EQ(queued()[0].type, "1400");
  EXPECT_EQ(queued()[0].ruid, kBob);
  EXPECT_FALSE(control<QPushButton>(viewer, "cmdRecall")->isEnabled());

  control<QPushButton>(viewer, "cmdCopy")->click();
  const QString copied = QApplication::clipboard()->text();
  EXPECT_TRUE(copied.contains("Smith, Bob")) << copied.toStdString();
  EXPECT_TRUE(copied.contains("See you"));

  control<QPushButton>(viewer, "cmdExport")->click();
  ASSERT_EQ(boxes.shown().size(), 1u);
  const QStringList written =
      QDir(QString::fromStdString(modLocalUserFunctions::LocalUserOptions.MessageSavingFolder +
                                  "/Smith.Bob"))
          .entryList(QDir::Files);
  ASSERT_EQ(written.size(), 1);

  control<QPushButton>(viewer, "cmdMoveToHistory")->click();
  EXPECT_EQ(field(MessRec, uid, "UID"), "");
  EXPECT_EQ(field(MessHist, uid, "ST"), "100");
  EXPECT_EQ(viewer->SourceClass(), MessHist);
  EXPECT_EQ(control<QLabel>(viewer, "lblFrom")->text(), "Smith, Bob");
  EXPECT_FALSE(control<QPushButton>(viewer, "cmdMoveToHistory")->isEnabled());
  delete viewer;
}

TEST_F(MessageWindows, TheFoldersListRecallMoveAndOpenTheSelectedMessages) {
  frmMessageViewer::InstallService();
  const std::string sentUID =
      modCOMFunctions::SendMessageToRecipients("Meeting at ten", 2, 1, kBob, "", true, false);
  receive("60", "Ping");

  frmMessageHistory window;
  EXPECT_EQ(window.windowTitle(), "Tavinor - Message history");
  auto* list = control<QTableView>(&window, "lvMessages");
  EXPECT_EQ(window.CurrentFolder(), MessRec);
  ASSERT_EQ(list->model()->rowCount(), 1);
  EXPECT_EQ(cell(list, 0, 0), "Smith, Bob");
  EXPECT_FALSE(control<QPushButton>(&window, "cmdRecall")->isEnabled());

  window.SelectFolder(MessSent);
  ASSERT_EQ(list->model()->rowCount(), 1);
  EXPECT_EQ(cell(list, 0, 0), "Lee, Ann");
  EXPECT_EQ(cell(list, 0, 1), "Smith, Bob");
  EXPECT_EQ(cell(list, 0, 5), "Meeting at ten");
  selectRow(list, 0);
  EXPECT_EQ(window.SelectedMessageUIDs(), std::vector<std::string>{sentUID});

  // Recalling asks first: No leaves everything as it was.
  boxes.answerNext(platform::kMbResultNo);
  control<QPushButton>(&window, "cmdRecall")->click();
  EXPECT_NE(field(MessSent, sentUID, "ST"), "400");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_NE(boxes.shown()[0].text.find("recall 1 message"), std::string::npos);
  boxes.clear();
  // Yes: not delivered yet, the delivery is withdrawn and the message is recalled.
  boxes.answerNext(platform::kMbResultYes);
  control<QPushButton>(&window, "cmdRecall")->click();
  EXPECT_EQ(field(MessSent, sentUID, "ST"), "400");
  for (const QueuedAction& action : queued()) EXPECT_NE(action.type, "1200");
  ASSERT_EQ(list->model()->rowCount(), 1);
  EXPECT_EQ(cell(list, 0, 4), "Recalled");
  ASSERT_EQ(boxes.shown().size(), 2u);  // the person is told how many went
  EXPECT_NE(boxes.shown()[1].text.find("sent for 1 message"), std::string::npos);

  selectRow(list, 0);
  control<QPushButton>(&window, "cmdMoveToHistory")->click();
  EXPECT_EQ(list->model()->rowCount(), 0);
  window.SelectFolder(MessHist);
  ASSERT_EQ(list->model()->rowCount(), 1);
  EXPECT_FALSE(control<QPushButton>(&window, "cmdMoveToHistory")->isEnabled());

  // Enter on the selected message opens it.
  list->setCurrentIndex(list->model()->index(0, 0));
  QTest::keyClick(list, Qt::Key_Return);
  frmMessageViewer* viewer = frmMessageViewer::SharedViewer();
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(viewer->isVisible());
  EXPECT_EQ(viewer->SourceClass(), MessHist);
  EXPECT_EQ(viewer->SourceMessageUID(), sentUID);
  EXPECT_EQ(control<QPlainTextEdit>(viewer, "txtMessage")->toPlainText(), "Meeting at ten");
  delete viewer;
  EXPECT_EQ(boxes.shown().size(), 2u);
}

// The viewer's reply opens a compose window to the sender with the caret
// above the quote (when the option asks for one); sending marks the
// received message answered.
TEST_F(MessageWindows, AReplyFromTheViewerAnswersTheSenderAndMarksTheMessageAnswered) {
  frmMessageViewer::InstallService();
  std::string reply;
  for (const bool quote : {true, false}) {
    SCOPED_TRACE(quote ? "quoting" : "not quoting");
    modLocalUserFunctions::LocalUserOptions.IncludeSenderMessageOnReply = quote;
    const std::string uid = receive("60", "Hello Ann||%_CRLF_%||See you");
    modGlobalFunctions::OpenMessageViewer(MessRec, uid);
    frmMessageViewer* viewer = frmMessageViewer::SharedViewer();
    control<QPushButton>(viewer, "cmdReply")->click();
    frmMessage* compose = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* each = qobject_cast<frmMessage*>(window); each && each->isVisible()) compose = each;
    }
    ASSERT_NE(compose, nullptr);
    EXPECT_EQ(compose->CheckedRecipients(), std::vector<std::string>{kBob});
    auto* text = control<QPlainTextEdit>(compose, "txtMessage");
    EXPECT_EQ(text->toPlainText().contains("See you"), quote);
    QTest::keyClicks(text, "Sure");
    control<QPushButton>(compose, "cmdSend")->click();
    EXPECT_TRUE(compose->isVisible());
    compose->close();  // emptied by the send: nothing to ask
    EXPECT_FALSE(compose->isVisible());

    PoolLoan sent(MessSent);
    const pugi::xml_node row = sent->XMLDocLinked()->rootElement().last_child();
    reply = row.attribute("UID").as_string();
    EXPECT_EQ(std::string(row.attribute("AMU").as_string()), uid);
    EXPECT_EQ(std::string(row.child("U").attribute("UID").as_string()), kBob);
    const std::string content = row.attribute("CO").as_string();
    if (quote) {
      EXPECT_EQ(content.rfind("Sure||%_CRLF_%||||%_CRLF_%||", 0), 0u) << content;
      EXPECT_NE(content.find("Hello Ann||%_CRLF_%||See you"), std::string::npos) << content;
    } else {
      EXPECT_EQ(content, "Sure");
    }
    EXPECT_EQ(field(MessRec, uid, "ST"), "220");
  }
  // A sent message cannot be answered.
  frmMessageViewer* viewer = frmMessageViewer::SharedViewer();
  viewer->SetSourceMessage(MessSent, reply);
  EXPECT_FALSE(control<QPushButton>(viewer, "cmdReply")->isEnabled());
  delete viewer;
  EXPECT_TRUE(boxes.shown().empty());
}

// Typed text and attached files are dropped only when the person says so,
// whether the window closes by Cancel or by sending with the option that
// keeps the text; each file is listed once and can be taken off again.
TEST_F(MessageWindows, TheComposeWindowAsksBeforeDroppingUnsentWorkAndListsEachFileOnce) {
  const std::string folder = environment.documentsFolder();
  for (const char* name : {"a.txt", "b.txt"}) modGenFunctionsFile::SaveFileContent(folder, name, "x");
  const std::string a = folder + "/a.txt";
  const std::string b = folder + "/b.txt";
  modLocalUserFunctions::LocalUserOptions.ClearMessageOnSend = false;

  frmMessage window({}, {kBob});
  window.show();
  auto* cancel = control<QPushButton>(&window, "cmdCancel");
  cancel->click();  // nothing typed: no question
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(boxes.shown().empty());

  window.show();
  auto* attachments = control<QListWidget>(&window, "lstAttachments");
  window.AddAttachments({a, a, b});
  window.AddAttachments({b});
  EXPECT_EQ(window.Attachments(), (std::vector<std::string>{a, b}));
  attachments->item(0)->setSelected(true);
  QTest::keyClick(attachments, Qt::Key_Delete);
  EXPECT_EQ(window.Attachments(), std::vector<std::string>{b});
  attachments->item(0)->setSelected(true);
  control<QPushButton>(&window, "cmdRemoveAttachment")->click();
  EXPECT_TRUE(window.Attachments().empty());

  auto* text = control<QPlainTextEdit>(&window, "txtMessage");
  QTest::keyClicks(text, "Draft");
  boxes.answerNext(platform::kMbResultNo);
  cancel->click();
  ASSERT_EQ(boxes.shown().size(), 1u);
  // Enter keeps the draft.
  EXPECT_EQ(boxes.shown()[0].flags,
            platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(text->toPlainText(), "Draft");

  // Sent, the text stays for another send; closing then drops nothing unsent.
  control<QPushButton>(&window, "cmdSend")->click();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(text->toPlainText(), "Draft");
  EXPECT_EQ(queued().size(), 1u);
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(boxes.shown().size(), 1u);

  window.show();
  QTest::keyClicks(text, " again");
  boxes.answerNext(platform::kMbResultYes);
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(boxes.shown().size(), 2u);
}

// Every state of the compose window: what Send offers, whether it shows
// that the message went, what is stored, and whether closing asks. A send
// to a recipient that no delivery could reach is refused before anything
// is stored, saying why and keeping the message; after a send, Send waits
// for a change, so the same message is not sent twice by a second press.
TEST_F(MessageWindows, TheComposeWindowShowsWhatBecameOfTheMessageAndAsksOnlyForUnsentWork) {
  constexpr const char* kStranger = "57A00000-0000-0000-0000-000000000009";  // removed since
  constexpr const char* kDan = "DA400000-0000-0000-0000-000000000004";       // no address
  {
    PoolLoan users(User);
    users->CreateNewRow(false, 0);
    users->SetFields({0, 1, 2, 3}, {kDan, "1", "Brown", "Dan"});
    users->AddCurrentRow();
  }
  modLocalUserFunctions::LocalUserOptions.IncludeSenderMessageOnReply = true;
  modGenFunctionsFile::SaveFileContent(environment.documentsFolder(), "a.txt", "x");
  const std::string unknown = modGenFunctionsResource::GetResourceMessage(20535);
  struct Row {
    const char* state;
    const char* to;       // the recipient
    bool reply;           // a reply to his message (else a new message)
    bool type, attach;
    bool send;
    bool keepText;        // the option that keeps the text after sending
    bool filesRefused;    // the disk refuses the files once the message is stored
    bool editAfter;       // typed into again after sending
    // What the window shows then:
    bool sendEnabled, sentShown, textKept, asks;
    const char* refusedFor;  // the names in the refusal, null when not refused
  };
  const Row rows[] = {
      {"typed", kBob, false, true, false, false, false, false, false,
       true, false, true, true, nullptr},
      {"quoted only", kBob, true, false, false, false, false, false, false,
       true, false, true, false, nullptr},
      {"quoted only, to a sender removed since", kStranger, true, false, false, false, false, false,
       false, true, false, true, false, nullptr},
      {"attached only", kBob, false, false, true, false, false, false, false,
       false, false, false, true, nullptr},
      {"sent, emptied", kBob, false, true, true, true, false, false, false,
       false, true, false, false, nullptr},
      {"sent, text kept", kBob, false, true, true, true, true, false, false,
       false, true, true, false, nullptr},
      {"sent, text kept, typed into again", kBob, false, true, false, true, true, false, true,
       true, false, true, true, nullptr},
      {"sent, its files refused", kBob, false, true, true, true, false, true, false,
       false, true, false, false, nullptr},
      {"a reply to a sender removed since", kStranger, true, true, false, true, false, false, false,
       true, false, true, true, ""},
      {"to a person without an address", kDan, false, true, true, true, true, false, false,
       true, false, true, true, "Brown, Dan"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    modLocalUserFunctions::LocalUserOptions.ClearMessageOnSend = !row.keepText;
    const std::string question = row.reply ? receive("100", "Hi", row.to) : std::string();
    frmMessage* window = row.reply ? frmMessage::OpenReply(MessRec, question, nullptr)
                                   : new frmMessage({}, {row.to});
    ASSERT_NE(window, nullptr);
    window->show();
    EXPECT_EQ(window->CheckedRecipients(), std::vector<std::string>{row.to});
    auto* text = control<QPlainTextEdit>(window, "txtMessage");
    auto* send = control<QPushButton>(window, "cmdSend");
    if (row.type) QTest::keyClicks(text, "Draft");
    if (row.attach) window->AddAttachments({environment.documentsFolder() + "/a.txt"});
    const QString before = text->toPlainText();
    const std::size_t stored = PoolLoan(MessSent)->CountAll();
    const std::size_t queuedBefore = queued().size();
    boxes.clear();
    if (row.send && row.filesRefused) {
      std::optional<FileSizeLimit> full;
      int appends = 0;
      const DataJournal::StepHook hook([&](DataJournal::Step step) {
        if (step == DataJournal::Step::kAppend && ++appends == 2) full.emplace(0);
      });
      EXPECT_ANY_THROW(window->SendMessage());
    } else if (row.send) {
      ASSERT_TRUE(send->isEnabled());
      send->click();
    }
    if (row.refusedFor != nullptr) {
      const std::string names = *row.refusedFor != '\0' ? row.refusedFor : unknown;
      ASSERT_EQ(boxes.shown().size(), 1u);
      EXPECT_EQ(boxes.shown()[0].text,
                modGenFunctionsResource::GetResourceMessage(20540, {names}));
      EXPECT_EQ(boxes.shown()[0].flags, platform::kMbExclamation);
      EXPECT_EQ(PoolLoan(MessSent)->CountAll(), stored);
      EXPECT_EQ(queued().size(), queuedBefore);
    } else {
      EXPECT_TRUE(boxes.shown().empty());
      EXPECT_EQ(PoolLoan(MessSent)->CountAll(), stored + (row.send ? 1 : 0));
    }
    if (row.reply) {
      EXPECT_EQ(field(MessRec, question, "ST"), row.send && !row.refusedFor ? "220" : "100");
    }
    if (row.editAfter) QTest::keyClicks(text, " again");
    EXPECT_EQ(send->isEnabled(), row.sendEnabled);
    EXPECT_EQ(control<QLabel>(window, "lblSent")->isVisible(), row.sentShown);
    EXPECT_EQ(text->toPlainText().startsWith(before) && !before.isEmpty(), row.textKept)
        << text->toPlainText().toStdString();
    // A second press on Send sends nothing more.
    if (row.sentShown) {
      send->click();
      EXPECT_EQ(PoolLoan(MessSent)->CountAll(), stored + 1);
    }
    boxes.clear();
    window->close();
    EXPECT_EQ(boxes.shown().size(), row.asks ? 1u : 0u);
    EXPECT_EQ(window->isVisible(), row.asks);  // the responder answers No: the work is kept
    delete window;
  }
}

// Every way a message or a file leaves for a person, to a person with an
// address, to one whose row has none and to one removed since: it goes to
// the one with an address; for the others it is refused before anything is
// stored or queued, saying why and naming him.
TEST_F(MessageWindows, EveryWayAMessageOrFileLeavesIsRefusedForAPersonWithoutAnAddress) {
  constexpr const char* kDan = "DA400000-0000-0000-0000-000000000004";       // no address
  constexpr const char* kStranger = "57A00000-0000-0000-0000-000000000009";  // removed since
  {
    PoolLoan users(User);
    users->CreateNewRow(false, 0);
    users->SetFields({0, 1, 2, 3}, {kDan, "1", "Brown", "Dan"});
    users->AddCurrentRow();
  }
  frmMessageViewer::InstallService();
  modGenFunctionsFile::SaveFileContent(environment.documentsFolder(), "a.txt", "x");
  const std::string file = environment.documentsFolder() + "/a.txt";
  constexpr int kMessageRefused = 20540;
  constexpr int kFilesRefused = 20541;
  // Types and sends in `window`.
  const auto send = [](frmMessage* window) {
    QTest::keyClicks(control<QPlainTextEdit>(window, "txtMessage"), "Hello");
    control<QPushButton>(window, "cmdSend")->click();
  };
  struct Way {
    const char* name;
    std::function<void(const std::string& person)> leave;
    int refusal;
    std::size_t messages, files;  // stored and queued when it goes
  };
  std::unique_ptr<QWidget> window;
  const Way ways[] = {
      {"a new message",
       [&](const std::string& person) {
         auto* compose = new frmMessage({}, {person});
         window.reset(compose);
         compose->show();
         send(compose);
       },
       kMessageRefused, 1, 0},
      {"a new message with a file",
       [&](const std::string& person) {
         auto* compose = new frmMessage({}, {person});
         window.reset(compose);
         compose->show();
         compose->AddAttachments({file});
         send(compose);
       },
       kMessageRefused, 1, 1},
      {"the viewer's reply to his message",
       [&](const std::string& person) {
         modGlobalFunctions::OpenMessageViewer(MessRec, receive("100", "Hi", person));
         control<QPushButton>(frmMessageViewer::SharedViewer(), "cmdReply")->click();
         for (QWidget* each : QApplication::topLevelWidgets()) {
           if (auto* reply = qobject_cast<frmMessage*>(each); reply && reply->isVisible()) {
             window.reset(reply);
             send(reply);
           }
         }
         ASSERT_NE(window, nullptr);
       },
       kMessageRefused, 1, 0},
      {"files dropped on him in the user manager",
       [&](const std::string& person) {
         auto* users = new frmUser;
         window.reset(users);
         users->show();
         users->SendFilesToUser(person, {file});
       },
       kFilesRefused, 0, 1},
  };
  struct Person {
    const char* name;
    const char* uid;
    const char* refusedFor;  // null: he has an address
  };
  const std::string unknown = modGenFunctionsResource::GetResourceMessage(20535);
  const Person people[] = {{"with an address", kBob, nullptr},
                           {"whose row has no address", kDan, "Brown, Dan"},
                           {"removed since", kStranger, unknown.c_str()}};
  const auto queuedFor = [](const std::string& person, const char* type) {
    std::size_t count = 0;
    for (const QueuedAction& action : queued()) count += action.ruid == person && action.type == type;
    return count;
  };
  for (const Way& way : ways) {
    for (const Person& person : people) {
      SCOPED_TRACE(std::string(way.name) + ", to a person " + person.name);
      const std::size_t stored = PoolLoan(MessSent)->CountAll();
      const std::size_t deliveries = queuedFor(person.uid, "1200");
      const std::size_t files = queuedFor(person.uid, "2000");
      const std::size_t actions = queued().size();
      boxes.clear();
      way.leave(person.uid);
      const bool goes = person.refusedFor == nullptr;
      if (goes) {
        EXPECT_TRUE(boxes.shown().empty());
      } else {
        EXPECT_EQ(boxes.shown().size(), 1u);
        for (const auto& box : boxes.shown()) {
          EXPECT_EQ(box.text,
                    modGenFunctionsResource::GetResourceMessage(way.refusal, {person.refusedFor}));
          EXPECT_EQ(box.flags, platform::kMbExclamation);
        }
      }
      EXPECT_EQ(PoolLoan(MessSent)->CountAll(), stored + (goes ? way.messages : 0));
      EXPECT_EQ(queuedFor(person.uid, "1200"), deliveries + (goes ? way.messages : 0));
      EXPECT_EQ(queuedFor(person.uid, "2000"), files + (goes ? way.files : 0));
      EXPECT_EQ(queued().size(), actions + (goes ? way.messages + way.files : 0));
      boxes.answerNext(platform::kMbResultYes);  // a refused message is dropped on closing
      window.reset();
    }
  }
  delete frmMessageViewer::SharedViewer();
}

// Every way a recall leaves, for a message delivered to a person with an
// address, delivered to one whose address is gone since or who was removed
// since, and not yet delivered to one removed since: a recall goes to the
// one with an address; for the others none is queued and the person is told
// why, naming them, and the message stays as it was with them; a delivery
// still waiting is withdrawn whoever it was for.
TEST_F(MessageWindows, EveryWayARecallLeavesIsRefusedForAPersonWithoutAnAddress) {
  frmMessageViewer::InstallService();
  struct Person {
    const char* name;
    const char* uid;
    bool delivered;
    std::function<void()> since;  // what became of him since the send
    const char* refusedFor;       // null: no refusal
  };
  const auto clearAddress = [](const char* uid) {
    return [uid] {
      modGlobalFunctions::SetObjectFieldValue(User, 0, uid, 7, "", true);
    };
  };
  const auto removeRow = [](const char* uid) {
    return [uid] { PoolLoan(User)->Delete(false, 0, uid, true); };
  };
  const std::string unknown = modGenFunctionsResource::GetResourceMessage(20535);
  const Person people[] = {
      {"with an address", kBob, true, [] {}, nullptr},
      {"whose address is gone", "DA400000-0000-0000-0000-000000000004", true,
       clearAddress("DA400000-0000-0000-0000-000000000004"), "Brown, Dan"},
      {"removed since", "57A00000-0000-0000-0000-000000000009", true,
       removeRow("57A00000-0000-0000-0000-000000000009"), unknown.c_str()},
      {"removed before his delivery went", "F4A00000-0000-0000-0000-000000000006", false,
       removeRow("F4A00000-0000-0000-0000-000000000006"), nullptr},
  };
  struct Way {
    const char* name;
    std::function<void(const std::string& message)> recall;
  };
  std::unique_ptr<frmMessageHistory> folders;
  const Way ways[] = {
      {"the folders' recall",
       [&](const std::string& message) {
         folders = std::make_unique<frmMessageHistory>();
         folders->show();
         folders->SelectFolder(MessSent);
         auto* list = control<QTableView>(folders.get(), "lvMessages");
         selectRow(list, rowShowing(list, message));
         control<QPushButton>(folders.get(), "cmdRecall")->click();
       }},
      {"the viewer's recall",
       [&](const std::string& message) {
         modGlobalFunctions::OpenMessageViewer(MessSent, message);
         control<QPushButton>(frmMessageViewer::SharedViewer(), "cmdRecall")->click();
       }},
  };
  const auto recallsFor = [](const std::string& person) {
    std::size_t count = 0;
    for (const QueuedAction& action : queued()) count += action.ruid == person && action.type == "1500";
    return count;
  };
  for (const Way& way : ways) {
    for (const Person& person : people) {
      SCOPED_TRACE(std::string(way.name) + ", a message to a person " + person.name);
      {
        PoolLoan users(User);
        users->Delete(false, 0, person.uid, false);
        users->CreateNewRow(false, 0);
        users->SetFields({0, 1, 2, 3, 7}, {person.uid, "1", "Brown", "Dan", "127.0.0.33"});
        users->AddCurrentRow();
        users->SaveXMLDoc();
      }
      const std::string message =
          modCOMFunctions::SendMessageToRecipients("Hi", 2, 1, person.uid, "", true, false);
      if (person.delivered) {
        for (pugi::xml_node row :
             ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
          if (message == row.attribute("OUID").value()) {
            ActionManager().DeleteAction(row.attribute("UID").value(), true);
            break;
          }
        }
        modCOMFunctions::UpdateRecipientStatus(message, person.uid, 50, nullptr,
                                               modCOMFunctions::StatusSave::kWritten);
      }
      person.since();
      const std::size_t actions = queued().size();
      const std::size_t recalls = recallsFor(person.uid);
      boxes.clear();
      boxes.answerNext(platform::kMbResultYes);  // "Do you really want to recall ...?"
      way.recall(message);
      const bool recalled = person.refusedFor == nullptr;
      EXPECT_EQ(recallsFor(person.uid), recalls + (recalled && person.delivered ? 1 : 0));
      EXPECT_EQ(queued().size(), actions + (recalled && person.delivered ? 1 : 0) -
                                     (person.delivered ? 0 : 1))
          << "a waiting delivery is withdrawn";
      EXPECT_EQ(field(MessSent, message, "ST"), person.delivered ? "50" : "400");
      std::vector<std::string> told;
      for (std::size_t i = 1; i < boxes.shown().size(); ++i) told.push_back(boxes.shown()[i].text);
      std::vector<std::string> expected;
      if (!recalled) {
        expected.push_back(modGenFunctionsResource::GetResourceMessage(30104, {person.refusedFor}));
      }
      expected.push_back(modGenFunctionsResource::GetResourceMessage(30102, {recalled ? 1 : 0}));
      EXPECT_EQ(told, expected);
      folders.reset();
    }
  }
  delete frmMessageViewer::SharedViewer();
}

// A send whose records the disk will not sync (the sent messages' or the
// queue's journal): the window keeps the message and shows nothing sent,
// and nothing of it is stored or queued.
TEST_F(MessageWindows, ASendWhoseSyncTheDiskRefusesKeepsTheMessage) {
  // The journals exist, so that the next appends wait for the turn's sync.
  modCOMFunctions::SendMessageToRecipients("Earlier", 1, 1, kBob, "", true, false);
  TurnCommit::now();
  const std::string folder = ProgramTestEnvironment::accountField(ann, modLocalUserFunctions::kLocalUserPA);
  for (const char* refused : {"D009.dat", "D002.dat"}) {
    SCOPED_TRACE(refused);
    const std::string journal =
        DataJournal(modGenApplicationSetting::GetFileSourceFolder(modGenApplicationSetting::kUserDataFile,
                                                                  refused, folder)
                        .FullPath,
                    true)
            .path();
    frmMessage window({}, {kBob});
    window.show();
    auto* text = control<QPlainTextEdit>(&window, "txtMessage");
    QTest::keyClicks(text, "Draft");
    const int stored = PoolLoan(MessSent)->CountAll();
    const std::size_t queuedBefore = queued().size();
    {
      const platform::FileDoorWatch refuse([&](platform::FileDoorStep step, const std::string& path) {
        if (step == platform::FileDoorStep::kSynced && path == journal) {
          throw TvrError(75, "test", "the disk refuses the sync");
        }
      });
      control<QPushButton>(&window, "cmdSend")->click();
    }
    EXPECT_EQ(text->toPlainText(), "Draft");
    EXPECT_FALSE(control<QLabel>(&window, "lblSent")->isVisible());
    EXPECT_EQ(PoolLoan(MessSent)->CountAll(), stored);
    EXPECT_EQ(queued().size(), queuedBefore);
    // The disk takes the removals; the next send goes through.
    PoolLoan(MessSent)->SaveXMLDoc();
    ActionManager().SaveStore();
    modCOMFunctions::SendMessageToRecipients("Earlier", 1, 1, kBob, "", true, false);
    TurnCommit::now();
    boxes.clear();
    window.close();
  }
}

// A message sent, fifty newer ones received and one deleted while the folders
// show two selected rows of a long list: the two stay selected, and the rows
// in view stay in view.
TEST_F(MessageWindows, TheFoldersKeepTheirSelectionAndPlaceWhenMessagesComeAndGo) {
  frmMessageViewer::InstallService();
  std::vector<std::string> uids;
  for (int i = 0; i < 60; ++i) uids.push_back(receive("100", "Note " + std::to_string(i)));
  frmMessageHistory window;
  window.resize(700, 300);
  window.show();
  auto* list = control<QTableView>(&window, "lvMessages");
  ASSERT_EQ(list->model()->rowCount(), 60);
  selectRow(list, 30);
  selectRow(list, 32);
  const std::vector<std::string> selected = window.SelectedMessageUIDs();
  ASSERT_EQ(selected.size(), 2u);
  list->scrollTo(list->model()->index(30, 0), QAbstractItemView::PositionAtTop);
  const std::string top = topKey(list);
  ASSERT_EQ(top, keyAt(list, 30));
  const std::string unselected = keyAt(list, 40);
  modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kAllLists, false, 0);

  modCOMFunctions::SendMessageToRecipients("Out", 2, 1, kBob, "", true, false);
  std::string arrived;
  for (int i = 0; i < 50; ++i) arrived = receive("60", "New one", kBob, "2026-03-02 09:30:00");
  {
    PoolLoan received(MessRec);
    received->Delete(false, 0, unselected, false);
  }
  modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kAllLists, false, 0);
  EXPECT_EQ(list->model()->rowCount(), 109);
  EXPECT_EQ(rowShowing(list, arrived), 0);  // the newest of one second first
  EXPECT_EQ(rowShowing(list, unselected), -1);
  EXPECT_EQ(window.SelectedMessageUIDs(), selected);
  EXPECT_EQ(topKey(list), top);
  // Each synchronised row went to its place: newest first.
  const auto newestFirst = [list](bool newest = true) {
    for (int i = 1; i < list->model()->rowCount(); ++i) {
      const QString earlier = cell(list, i - 1, 2);
      const QString later = cell(list, i, 2);
      if (newest ? earlier < later : later < earlier) return false;
    }
    return true;
  };
  EXPECT_TRUE(newestFirst());

  // Opening one shows its new status in place; the whole list read again
  // keeps the selection too.
  const int opened = rowShowing(list, arrived);
  emit list->activated(list->model()->index(opened, 0));  // a double click or Enter
  EXPECT_EQ(cell(list, rowShowing(list, arrived), 4), "Opened");
  window.RefreshList();
  EXPECT_EQ(window.SelectedMessageUIDs(), selected);
  EXPECT_EQ(topKey(list), top);
  EXPECT_TRUE(newestFirst());
  list->horizontalHeader()->setSortIndicator(2, Qt::AscendingOrder);  // a click on the date's header
  EXPECT_TRUE(newestFirst(false));
  EXPECT_FALSE(newestFirst());
  EXPECT_EQ(window.SelectedMessageUIDs(), std::vector<std::string>(selected.rbegin(), selected.rend()));
  delete frmMessageViewer::SharedViewer();
}

// The folders' commands on two selected rows of a long list, in each folder
// they serve: only the rows they change follow (the folder is not read again,
// which costs what the folder holds); the rows in view stay in view, and
// rows still listed stay selected.
TEST_F(MessageWindows, TheFoldersCommandsFollowOnlyTheRowsTheyChange) {
  struct Command {
    const char* name;
    int32_t folder;
    const char* button;
    bool rowsLeave;  // the selected rows leave the folder, else they change
  };
  const Command commands[] = {{"move received messages to the history", MessRec, "cmdMoveToHistory", true},
                              {"move sent messages to the history", MessSent, "cmdMoveToHistory", true},
                              {"recall sent messages", MessSent, "cmdRecall", false}};
  for (const Command& command : commands) {
    SCOPED_TRACE(command.name);
    for (int i = 0; i < 60; ++i) {
      if (command.folder == MessRec) {
        receive("100", "Note " + std::to_string(i));
      } else {
        modCOMFunctions::SendMessageToRecipients("Note " + std::to_string(i), 2, 1, kBob, "", true,
                                                 false);
      }
    }
    frmMessageHistory window;
    window.resize(700, 300);
    window.show();
    window.SelectFolder(command.folder);
    auto* list = control<QTableView>(&window, "lvMessages");
    const int rows = list->model()->rowCount();
    list->scrollTo(list->model()->index(30, 0), QAbstractItemView::PositionAtTop);
    const std::string top = topKey(list);
    selectRow(list, 31);
    selectRow(list, 33);
    const std::vector<std::string> selected = window.SelectedMessageUIDs();
    QSignalSpy readAgain(list->model(), &QAbstractItemModel::modelReset);
    boxes.answerNext(platform::kMbResultYes);
    control<QPushButton>(&window, command.button)->click();
    EXPECT_EQ(readAgain.size(), 0);
    EXPECT_EQ(list->model()->rowCount(), rows - (command.rowsLeave ? 2 : 0));
    EXPECT_EQ(topKey(list), top);
    for (const std::string& uid : selected) {
      EXPECT_EQ(rowShowing(list, uid) < 0, command.rowsLeave);
      if (!command.rowsLeave) {
        EXPECT_EQ(cell(list, rowShowing(list, uid), 4), "Recalled");
      }
    }
    EXPECT_EQ(window.SelectedMessageUIDs(),
              command.rowsLeave ? std::vector<std::string>{} : selected);
    modDisplaySynchFunctions::SynchronizeDisplays(modDisplaySynchFunctions::kAllLists, false, 0);
    EXPECT_EQ(list->model()->rowCount(), rows - (command.rowsLeave ? 2 : 0));
    PoolLoan(command.folder)->DeleteAll(false);
  }
}

TEST_F(MessageWindows, ThePrintTemplateIsReadDeciphered) {
  const std::string page = frmPrintForm::LoadPrintTemplate();
  EXPECT_EQ(page.rfind("<html>", 0), 0u) << page.substr(0, 40);
  EXPECT_NE(page.find("@@CONTENT@@"), std::string::npos);
}
