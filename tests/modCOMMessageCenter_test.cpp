// Tracking sent and received messages: recall, opening, deletion of old
// messages, recipient names, the board, the viewer and links, with the clock
// fixed, the queue's own tick held and the shell recorded.
#include "modCOMMessageCenter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <string>
#include <vector>

#include "Clock.h"
#include "ErrorNumber.h"
#include "FileSizeLimit.h"
#include "MessageCenterServices.h"
#include "MessageWindowsServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "TurnCommit.h"
#include "ShellOpen.h"
#include "TvrError.h"
#include "clsActionManager.h"
#include "modCOMFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using namespace modGlobalVariables;
using modCOMFunctions::StatusSave;
constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kNobody = "00000000-0000-0000-0000-00000000DEAD";

class Messages : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 10), QTime(12, 30, 0)));
    uid_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    kCid = ProgramTestEnvironment::addAccount("CID", "pw", "Cid", "Roe");
    CurrentLocalUserUID = uid_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    {
      // Everybody can be written to; Cid's own account names him first.
      PoolLoan users(User);
      for (const auto& [uid, last, first, address] :
           {std::tuple{kBob, "Smith", "Bob", "127.0.0.44"},
            {kCid.c_str(), "Doe", "Other", "127.0.0.45"},
            {kNobody, "Gone", "Soon", "127.0.0.46"}}) {
        users->CreateNewRow(false, 0);
        users->SetFields({0, 2, 3, 7}, {uid, last, first, address});
        users->AddCurrentRow();
      }
      users->SaveXMLDoc();
    }
    ActionManager().tmrWinsockActionManager.blockSignals(true);
    platform::shell::setShellRecorder([this](const platform::shell::ShellRequest& request) {
      shell.push_back((request.verb == platform::shell::Verb::kOpen ? "open " : "explore ") +
                      request.target);
      return shellAnswer;
    });
  }
  void TearDown() override {
    ReleaseActionManager();
    platform::shell::setShellRecorder({});
    MessageCenterServices::InstallDisplays({});
    MessageWindowsServices::InstallViewer({});
    modLocalUserFunctions::LocalUserOptions = {};
    platform::clearFixedTime();
  }

  // The queued actions as "type:OUID:RUID:V".
  std::vector<std::string> actions() {
    std::vector<std::string> all;
    for (pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      all.push_back(std::string(row.attribute("AT").value()) + ":" + row.attribute("OUID").value() +
                    ":" + row.attribute("RUID").value() + ":" + row.attribute("V").value());
    }
    return all;
  }
  void setActionField(int32_t type, const std::string& ruid, const char* name, const char* value) {
    for (pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      if (row.attribute("AT").as_int() == type && ruid == row.attribute("RUID").value()) {
        row.attribute(name).set_value(value);
      }
    }
  }
  void dropActions() {
    std::vector<std::string> uids;
    for (pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      uids.push_back(row.attribute("UID").value());
    }
    for (const std::string& uid : uids) ActionManager().DeleteAction(uid, true);
  }
  // A field of a message as stored on disk ("<none>" without the row).
  std::string onDisk(int32_t classType, const std::string& uid, const char* name) {
    auto stored = modGlobalFunctions::GetUserDataObject(classType, uid_, true);
    stored->PC_SelectSingleNode(0, uid);
    return stored->IsRowSelected() ? stored->GetCurrent().attribute(name).value() : "<none>";
  }
  std::string pooled(int32_t classType, const std::string& uid, const char* name) {
    PoolLoan messages(classType);
    messages->PC_SelectSingleNode(0, uid);
    return messages->IsRowSelected() ? messages->GetCurrent().attribute(name).value() : "<none>";
  }
  std::string recipientStatus(const std::string& uid, const std::string& recipient) {
    PoolLoan messages(MessSent);
    messages->PC_SelectSingleNode(0, uid);
    messages->SC_SelectSingleNode(0, recipient);
    return messages->GetFieldFromSubRow(1);
  }
  void addReceived(const std::string& uid, const std::string& status, const std::string& opened = {}) {
    PoolLoan received(MessRec);
    received->CreateNewRow(false, 0);
    received->SetFields({0, 1, 2, 3, 4, 8, 9},
                        {uid, kBob, status, "2026-03-01 08:00:00", "Hi", "1", opened});
    received->AddCurrentRow();
  }
  std::string send(const std::string& recipients) {
    return modCOMFunctions::SendMessageToRecipients("Text", 1, 1, recipients, "", true, false);
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.41"};
  RecordingMessageBox boxes;
  std::string uid_;
  std::string kCid;  // a second local account
  std::vector<std::string> shell;
  bool shellAnswer = true;
};

// A recall withdraws deliveries that never left, recalls where the message
// may have arrived, and never recalls twice a message already recalled.
TEST_F(Messages, RecallWithdrawsWaitingDeliveriesAndRecallsOnlyWhereNeeded) {
  const std::string three = send(std::string(kBob) + "||" + kCid + "||" + kNobody);
  setActionField(kRequestDeliverMessage, kCid, "AZ", "1");  // tried once, may have arrived
  std::vector<std::string> selection{three, "NO-SUCH-MESSAGE"};
  std::vector<std::string> unreachable;
  EXPECT_EQ(modCOMMessageCenter::RecallMessage(selection, unreachable), 1);
  EXPECT_TRUE(selection.empty());
  EXPECT_EQ(actions(), (std::vector<std::string>{"1500:" + three + ":" + kCid + ":"}));
  EXPECT_EQ(recipientStatus(three, kBob), "400");
  EXPECT_EQ(recipientStatus(three, kCid), "1");
  EXPECT_EQ(pooled(MessSent, three, "ST"), "1");  // several recipients: the row stays 1
  EXPECT_EQ(modGlobalFunctions::GetUserDataObject(Action, uid_, true)->CountAll(), 1);

  dropActions();
  const std::string one = send(kBob);
  dropActions();  // delivered: the 1200 is settled and gone
  modCOMFunctions::UpdateRecipientStatus(one, kBob, 50, nullptr, StatusSave::kWritten);
  selection = {one};
  modCOMMessageCenter::RecallMessage(selection, unreachable);
  EXPECT_EQ(actions(), (std::vector<std::string>{"1500:" + one + ":" + kBob + ":"}));
  modCOMFunctions::UpdateRecipientStatus(one, kBob, 400, nullptr, StatusSave::kDurable);
  EXPECT_EQ(onDisk(MessSent, one, "ST"), "400");
  dropActions();
  selection = {one};
  EXPECT_EQ(modCOMMessageCenter::RecallMessage(selection, unreachable), 0);
  EXPECT_TRUE(actions().empty());
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_TRUE(unreachable.empty());
}

// A recall the disk refuses, whatever it refuses and however many of the
// recipients' deliveries are still waiting: what is stored afterwards, and
// what the folder shows, is each recipient either recalled with no delivery
// left or as he was with his delivery still queued, never queued with no
// delivery that would ever send it.
TEST_F(Messages, ARecallTheDiskRefusesLeavesEachRecipientRecalledOrStillQueued) {
  struct Refusal {
    const char* name;
    // Of the sent messages' journal and the queue's, the one a file size
    // limit refuses: the larger is refused, the other takes its append.
    bool sentMessagesRefused;
  };
  for (const Refusal refusal : {Refusal{"the sent messages refused", true}, Refusal{"the queue refused", false}}) {
    for (const int waiting : {1, 2}) {
      SCOPED_TRACE(std::string(refusal.name) + ", deliveries waiting: " + std::to_string(waiting));
      dropActions();
      const std::string message = send(waiting == 1 ? std::string(kBob) : std::string(kBob) + "||" + kCid);
      TurnCommit::now();
      // The journal to refuse is made the larger one.
      ActionManager().Actions().FoldXMLDoc();
      PoolLoan(MessSent)->FoldXMLDoc();
      {
        PoolLoan padded(refusal.sentMessagesRefused ? MessSent : Action);
        padded->CreateNewRow(true, 0);
        padded->SetField(refusal.sentMessagesRefused ? 4 : 6, std::string(4000, 'p'));
        padded->AddCurrentRow();
        padded->SaveXMLDoc();
      }
      {
        const FileSizeLimit full(3000);
        std::vector<std::string> selection{message};
        std::vector<std::string> unreachable;
        EXPECT_NE(errorNumberOf([&] { modCOMMessageCenter::RecallMessage(selection, unreachable); }), 0);
      }
      // The turn ends (the queue saves what changed in it), and then the
      // program is killed: what is stored must hold together.
      TurnCommit::now();
      QCoreApplication::processEvents();
      const auto stored = modGlobalFunctions::GetUserDataObject(MessSent, uid_, true);
      const auto queued = modGlobalFunctions::GetUserDataObject(Action, uid_, true);
      for (const std::string& recipient : {std::string(kBob), kCid}) {
        if (recipient == kCid && waiting == 1) continue;
        SCOPED_TRACE(recipient);
        stored->PC_SelectSingleNode(0, message);
        stored->SC_SelectSingleNode(0, recipient);
        const std::string status = stored->GetFieldFromSubRow(1);
        bool delivery = false;
        for (const pugi::xml_node row : queued->XMLDocLinked()->rootElement().children("A")) {
          delivery = delivery || (row.attribute("AT").as_int() == kRequestDeliverMessage &&
                                  message == row.attribute("OUID").value() &&
                                  recipient == row.attribute("RUID").value());
        }
        EXPECT_TRUE((status == "400" && !delivery) || (status == "1" && delivery))
            << "stored status " << status << (delivery ? " with" : " without") << " a delivery";
        EXPECT_EQ(recipientStatus(message, recipient), status) << "the folder shows";
      }
    }
  }
}

// Statuses go 1, 50, 100, 400 and never back; a message moved to the
// history still takes them.
TEST_F(Messages, RecipientStatusOnlyMovesForwardAlsoInTheHistory) {
  const std::string one = send(kBob);
  modCOMFunctions::UpdateRecipientStatus(one, kBob, 100, nullptr, StatusSave::kWritten);
  // A late delivery reply.
  modCOMFunctions::UpdateRecipientStatus(one, kBob, 50, nullptr, StatusSave::kWritten);
  EXPECT_EQ(pooled(MessSent, one, "ST"), "100");
  modGlobalFunctions::CopyMessageToHistory(MessSent, {one, "NO-SUCH-MESSAGE"});
  EXPECT_EQ(onDisk(MessSent, one, "ST"), "<none>");
  EXPECT_EQ(onDisk(MessHist, one, "ST"), "100");
  modCOMFunctions::UpdateRecipientStatus(one, kBob, 400, nullptr, StatusSave::kDurable);
  EXPECT_EQ(onDisk(MessHist, one, "ST"), "400");
}

// Opening stores the row and the read notice at once, tells the sender
// only once, and never for an automatic reply.
TEST_F(Messages, OpeningIsStoredWithOneReadNotice) {
  addReceived("R1", "60");
  addReceived("R2", "-1");
  addReceived("R3", "abc");
  modGlobalFunctions::MarkReceivedMessageAsOpened("R1");
  modGlobalFunctions::MarkReceivedMessageAsOpened("R1");
  modGlobalFunctions::MarkReceivedMessageAsOpened("R2");
  modGlobalFunctions::MarkReceivedMessageAsOpened("");
  EXPECT_EQ(onDisk(MessRec, "R1", "ST"), "100");
  EXPECT_EQ(onDisk(MessRec, "R1", "RTS"), "2026-03-10 12:30:00");
  EXPECT_EQ(onDisk(MessRec, "R2", "ST"), "100");
  EXPECT_EQ(actions(), (std::vector<std::string>{std::string("1400:R1:") + kBob + ": 100"}));
  auto store = modGlobalFunctions::GetUserDataObject(Action, uid_, true);
  EXPECT_EQ(store->CountAll(), 1);
  try {
    modGlobalFunctions::MarkReceivedMessageAsOpened("R3");
    FAIL() << "a status that is no number must fail";
  } catch (const TvrError& error) {
    EXPECT_EQ(error.number(), 13);
  }
}

TEST_F(Messages, DeletionOfOldMessagesFollowsUnitIntervalAndStatus) {
  struct Case {
    const char* name;
    int unit;
    int interval;
    std::vector<std::string> kept;  // of R8 (opened 8 days ago), R7 (7 days), RU (unopened),
                                    // RB (bad date), RH (opened 3 hours ago), S1, S3
  };
  const std::vector<Case> cases = {
      {"days", 1, 7, {"R7", "RU", "RB", "RH", "S3"}},
      {"hours", 2, 2, {"RU", "RB", "S3"}},
      {"hours counted by hour boundaries", 2, 180, {"R7", "RU", "RB", "RH", "S3"}},
      {"negative limit", 1, -1, {"R8", "R7", "RU", "RB", "RH", "S1", "S3"}},
      {"unknown unit", 3, 0, {"R8", "R7", "RU", "RB", "RH", "S1", "S3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      PoolLoan received(MessRec);
      received->DeleteAll(false);
      PoolLoan sent(MessSent);
      sent->DeleteAll(false);
    }
    addReceived("R8", "100", "2026-03-02 23:59:00");
    addReceived("R7", "220", "2026-03-03 00:00:00");
    addReceived("RU", "60");
    addReceived("RB", "100", "yesterday");
    addReceived("RH", "100", "2026-03-10 09:59:00");
    platform::setFixedTime(QDateTime(QDate(2026, 2, 1), QTime(8, 0, 0)));
    const std::string single = send(kBob);
    const std::string several = send(std::string(kBob) + "||" + kCid);
    modCOMFunctions::UpdateRecipientStatus(single, kBob, 50, nullptr, StatusSave::kWritten);
    modCOMFunctions::UpdateRecipientStatus(several, kBob, 100, nullptr, StatusSave::kWritten);
    modCOMFunctions::UpdateRecipientStatus(several, kCid, 100, nullptr, StatusSave::kWritten);
    platform::setFixedTime(QDateTime(QDate(2026, 3, 10), QTime(12, 30, 0)));
    auto& options = modLocalUserFunctions::LocalUserOptions;
    options.DeleteMessageOlderThan = true;
    options.DeleteIntervalType = c.unit;
    options.DeleteInterval = c.interval;
    modCOMMessageCenter::DeleteExpiredMessages();
    std::vector<std::string> kept;
    for (const char* uid : {"R8", "R7", "RU", "RB", "RH"}) {
      if (pooled(MessRec, uid, "UID") != "<none>") kept.push_back(uid);
    }
    if (pooled(MessSent, single, "UID") != "<none>") kept.push_back("S1");
    if (pooled(MessSent, several, "UID") != "<none>") kept.push_back("S3");
    EXPECT_EQ(kept, c.kept);
  }
}

TEST_F(Messages, RecipientNamesCountTheUnknown) {
  const std::string three = send(std::string(kBob) + "||" + kNobody + "||" + kCid);
  modCOMFunctions::UpdateRecipientStatus(three, kBob, 50, nullptr, StatusSave::kWritten);
  PoolLoan(User)->Delete(false, 0, kNobody, true);  // removed from the users since
  PoolLoan sent(MessSent);
  sent->PC_SelectSingleNode(0, three);
  const std::string unknown = modGenFunctionsResource::GetResourceMessage(20530, {1});
  const std::string delivered = modGenFunctionsResource::GetResourceListText(203, 50);
  const std::string queued = modGenFunctionsResource::GetResourceListText(203, 1);
  EXPECT_EQ(modCOMMessageCenter::GetRecipientNames(*sent, false, false),
            "Smith, Bob||Roe, Cid||" + unknown);
  EXPECT_EQ(modCOMMessageCenter::GetRecipientNames(*sent, true, false),
            "Smith, Bob - " + delivered + "||Roe, Cid - " + queued + "||" + unknown);
  EXPECT_EQ(modCOMMessageCenter::GetRecipientNames(*sent, true, true),
            std::string(kBob) + "||" + kNobody + "||" + kCid);
  sent->ClearCurrent();
  EXPECT_EQ(modCOMMessageCenter::GetRecipientNames(*sent, false, false), "");
}

TEST_F(Messages, BoardAndViewerGetTheRightMessages) {
  std::vector<std::string> board, viewer;
  MessageCenterServices::Displays displays;
  displays.AddBoardItem = [&](int32_t kind, const std::string& uid) {
    board.push_back(std::to_string(kind) + ":" + uid);
  };
  MessageCenterServices::InstallDisplays(displays);
  addReceived("A-1", "-1");
  addReceived("O-100", "100");
  addReceived("N-60", "60");
  modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage = false;
  modGlobalFunctions::ShowNotOpenedMessagesOnBoard();
  EXPECT_TRUE(board.empty());  // the option is off
  modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage = true;
  modGlobalFunctions::ShowNotOpenedMessagesOnBoard();
  EXPECT_EQ(board, (std::vector<std::string>{"4:N-60", "4:A-1"}));

  modGlobalFunctions::OpenMessageViewer(MessRec, "N-60");  // nothing installed: nothing happens
  MessageWindowsServices::InstallViewer(
      {[&](bool modal, void*) { viewer.push_back(modal ? "modal" : "shown"); },
       [&](int32_t classType, const std::string& uid) {
         viewer.push_back(std::to_string(classType) + ":" + uid);
       }});
  modGlobalFunctions::OpenMessageViewer(MessRec, "N-60");
  EXPECT_EQ(viewer, (std::vector<std::string>{"shown", "4:N-60"}));
}

TEST_F(Messages, LinksAndFilesOpenOnlyAsTheyShould) {
  const std::string folder = environment.root() + "/links";
  QDir().mkpath(QString::fromStdString(folder));
  auto write = [&](const std::string& name, bool executable) {
    QFile file(QString::fromStdString(folder + "/" + name));
    file.open(QIODevice::WriteOnly);
    file.write("x");
    file.close();
    if (executable) file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return folder + "/" + name;
  };
  const std::string exe = write("setup.EXE", false);
  const std::string script = write("tool", true);
  const std::string text = write("notes.txt", false);
  const std::string ask = modGenFunctionsResource::GetResourceMessage(80300);
  // A warning, and Enter does not open.
  const int warning = platform::kMbOkCancel | platform::kMbExclamation | platform::kMbDefaultButton2;
  const auto notOpened = [](const std::string& target) {
    return modGenFunctionsResource::GetResourceMessage(20202, {target});
  };
  struct Case {
    const char* name;
    std::string target;
    bool warnOption;
    bool askFirst;
    int answer;
    std::string opened;  // what the shell got, "" for nothing
    std::string box;     // text of the one box shown, "" for none
    int flags;
    bool shellOpens = true;  // the desktop has a program for it
  };
  const std::vector<Case> cases = {
      {"www in small letters", "www.example.org", false, true, 1, "open http://www.example.org", "", 0},
      {"https", "HTTPS://example.org/a", false, true, 1, "open HTTPS://example.org/a", "", 0},
      {"mail", "MailTo:bob@example.org", false, true, 1, "open MailTo:bob@example.org", "", 0},
      {"listed type, warning on, cancelled", exe, true, true, 2, "", ask, warning},
      {"listed type, warning on, accepted", exe, true, true, 1, "open " + exe, ask, warning},
      {"listed type, not asked", exe, true, false, 1, "open " + exe, "", 0},
      {"runnable file, warning off", script, false, true, 2, "", ask, warning},
      {"plain file", text, true, true, 1, "open " + text, "", 0},
      {"plain file the desktop cannot open", text, true, true, 1, "open " + text, notOpened(text),
       64, false},
      {"link the desktop cannot open", "https://example.org", true, true, 1,
       "open https://example.org", notOpened("https://example.org"), 64, false},
      {"folder", folder, true, true, 1, "explore " + folder, "", 0},
      {"nothing there", folder + "/gone", true, true, 1, "",
       modGenFunctionsResource::GetResourceMessage(20201, {folder + "/gone"}), 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    shell.clear();
    boxes.clear();
    if (!c.box.empty()) boxes.answerNext(c.answer);
    modLocalUserFunctions::LocalUserOptions.WarnOnFileOpen = c.warnOption;
    shellAnswer = c.shellOpens;
    modGlobalFunctions::OpenLinkOrFile(c.target, nullptr, c.askFirst);
    EXPECT_EQ(shell, c.opened.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.opened});
    ASSERT_EQ(boxes.shown().size(), c.box.empty() ? 0u : 1u);
    if (!c.box.empty()) {
      EXPECT_EQ(boxes.shown()[0].text, c.box);
      EXPECT_EQ(boxes.shown()[0].flags, c.flags);
      EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
    }
  }
  shellAnswer = false;
  boxes.clear();
  modGlobalFunctions::OpenLinkOrFile(folder, nullptr, false);
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(20251, {folder}));
}

}  // namespace
