// Sending: the stored sent row, its recipients and deliveries, written
// before the send returns and on disk once the turn's commit is done.
#include "modCOMFunctions.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "AtomicFile.h"
#include "DataJournal.h"
#include "DiskImage.h"
#include "ErrorNumber.h"
#include "FileSizeLimit.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "SyncLedger.h"
#include "TurnCommit.h"
#include "clsActionManager.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "TvrError.h"

namespace {

using namespace modGlobalVariables;
using modCOMFunctions::SendMessageToRecipients;

class Sending : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 10), QTime(12, 30, 0)));
    uid_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    CurrentLocalUserUID = uid_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    // X, Y and Z can be reached; N is listed without an address.
    int host = 50;
    for (const char* person : {"X", "Y", "Z"}) {
      ProgramTestEnvironment::addPerson(uid_, person, "1", person, "P",
                                        "127.0.0." + std::to_string(++host));
    }
    ProgramTestEnvironment::addPerson(uid_, "N", "1", "N", "P", "");
    ActionManager().tmrWinsockActionManager.blockSignals(true);
  }
  void TearDown() override {
    ReleaseActionManager();
    modLocalUserFunctions::LocalUserOptions = {};
    platform::clearFixedTime();
  }
  // Stored rows of classType on disk as "UID ST [recipient:ST ...]".
  std::vector<std::string> onDisk(int32_t classType) {
    std::vector<std::string> rows;
    auto stored = modGlobalFunctions::GetUserDataObject(classType, uid_, true);
    for (pugi::xml_node row : stored->XMLDocLinked()->rootElement().children()) {
      std::string text = std::string(row.attribute("UID").value()) + " " + row.attribute("ST").value();
      for (pugi::xml_node recipient : row.children()) {
        text += std::string(" ") + recipient.attribute("UID").value() + ":" + recipient.attribute("ST").value();
      }
      rows.push_back(text);
    }
    return rows;
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.42"};
  RecordingMessageBox boxes;
  std::string uid_;
};

TEST_F(Sending, MessagesAndDeliveriesAreStoredTogether) {
  {
    PoolLoan received(MessRec);
    for (const auto& [uid, status] : std::vector<std::pair<std::string, std::string>>{{"OPENED", "100"}, {"NEW", "60"}}) {
      received->CreateNewRow(false, 0);
      received->SetFields({0, 2}, {uid, status});
      received->AddCurrentRow();
    }
  }
  const std::string three =
      modCOMFunctions::SendMessageToRecipients("a\r\nb", 2, 1, "X||Y||||X||Z", "OPENED", true, false);
  const std::string other = modCOMFunctions::SendMessageToRecipients("c", 1, 1, "Y", "NEW", true, false);
  modCOMFunctions::SendMessageToRecipients("auto", 1, 1, "Z", "", false, true);
  EXPECT_EQ(onDisk(MessSent), (std::vector<std::string>{three + " 1 X:1 Y:1 Z:1", other + " 1 Y:1"}));
  std::vector<std::string> deliveries;
  const auto queue = modGlobalFunctions::GetUserDataObject(Action, uid_, true);
  for (pugi::xml_node row : queue->XMLDocLinked()->rootElement().children()) {
    deliveries.push_back(std::string(row.attribute("AT").value()) + " " + row.attribute("RUID").value());
  }
  EXPECT_EQ(deliveries, (std::vector<std::string>{"1200 X", "1200 Y", "1200 Z", "1200 Y", "1200 Z"}));
  PoolLoan received(MessRec);
  EXPECT_EQ(received->GetRowFieldByKey(0, "OPENED", 2, false), "220");
  EXPECT_EQ(received->GetRowFieldByKey(0, "NEW", 2, false), "60");
  {
    PoolLoan sent(MessSent);
    EXPECT_EQ(sent->GetRowFieldByKey(0, three, 4, false), "a||%_CRLF_%||b");
  }
  EXPECT_TRUE(boxes.shown().empty());

  // A send that the disk refuses, its sent row or its deliveries, raises and
  // leaves nothing that a later save writes or the queue delivers.
  for (const bool rowRefused : {true, false}) {
    SCOPED_TRACE(rowRefused ? "sent row refused" : "deliveries refused");
    {
      // The disk fills up before the sent row, or once it is stored.
      std::optional<FileSizeLimit> full;
      if (rowRefused) full.emplace(0);
      const DataJournal::StepHook hook([&](DataJournal::Step step) {
        if (step == DataJournal::Step::kAppend && !full) full.emplace(0);
      });
      EXPECT_ANY_THROW(modCOMFunctions::SendMessageToRecipients("d", 1, 1, "X||Y", "", true, false));
    }
    PoolLoan(MessSent)->SaveXMLDoc();
    ActionManager().SaveStore();
    EXPECT_EQ(onDisk(MessSent), (std::vector<std::string>{three + " 1 X:1 Y:1 Z:1", other + " 1 Y:1"}));
    EXPECT_EQ(modGlobalFunctions::GetUserDataObject(Action, uid_, true)->CountAll(), 5);
    EXPECT_EQ(ActionManager().Actions().CountAll(), 5);
  }
}

// A send is written when it returns: a kill of the program right after it
// and two starts keep the sent row; a row removed while its deliveries wait
// stays removed.
TEST_F(Sending, SentRowsOutliveKillsAndRemovedOnesStayRemoved) {
  using modCOMFunctions::SendMessageToRecipients;
  const std::string kept = SendMessageToRecipients("one", 1, 1, "X", "", false, false);
  const std::string removed = SendMessageToRecipients("two", 1, 1, "Y", "", false, false);
  const auto twoStarts = [&](const std::vector<std::string>& rows) {
    for (int start = 1; start <= 2; ++start) {
      ReleaseActionManager(false);  // the kill: nothing in memory is saved again
      PoolLoan(MessSent)->LoadXMLDoc(true);
      ActionManager().tmrWinsockActionManager.blockSignals(true);
      EXPECT_EQ(onDisk(MessSent), rows) << "start " << start;
    }
  };
  twoStarts({kept + " 1 X:1", removed + " 1 Y:1"});
  PoolLoan(MessSent)->Delete(false, 0, removed, true);
  twoStarts({kept + " 1 X:1"});
}

// A send to a recipient that no delivery could reach, wherever he stands
// among the recipients and whatever message it is, stores nothing, queues
// nothing and marks nothing answered: it is refused as a whole.
TEST_F(Sending, ASendToARecipientWithoutAnAddressIsRefusedWhole) {
  {
    PoolLoan received(MessRec);
    received->CreateNewRow(false, 0);
    received->SetFields({0, 2}, {"OPENED", "100"});
    received->AddCurrentRow();
  }
  const std::string before = SendMessageToRecipients("kept", 1, 1, "X", "", true, false);
  const std::vector<std::string> reachable = {"X", "Y", "Z"};
  // Not in the directory (G: a person removed), or listed without an address (N).
  for (const char* unreachable : {"G", "N"}) {
    for (std::size_t at = 0; at <= reachable.size(); ++at) {
      for (const bool automatic : {false, true}) {
        std::vector<std::string> to = reachable;
        to.insert(to.begin() + static_cast<std::ptrdiff_t>(at), unreachable);
        std::string joined;
        for (const std::string& uid : to) joined += (joined.empty() ? "" : "||") + uid;
        SCOPED_TRACE(joined + (automatic ? " (automatic reply)" : ""));
        EXPECT_EQ(modCOMFunctions::RecipientsWithoutAddress(to),
                  std::vector<std::string>{unreachable});
        try {
          SendMessageToRecipients("refused", 1, 1, joined, automatic ? "" : "OPENED", true,
                                  automatic);
          ADD_FAILURE() << "sent";
        } catch (const TvrError& error) {
          EXPECT_EQ(error.number(), modCOMFunctions::kErrNoRecipientAddress);
        }
        EXPECT_EQ(onDisk(MessSent), std::vector<std::string>{before + " 1 X:1"});
        EXPECT_EQ(ActionManager().Actions().CountAll(), 1);
        EXPECT_EQ(modGlobalFunctions::GetUserDataObject(Action, uid_, true)->CountAll(), 1);
        EXPECT_EQ(PoolLoan(MessRec)->GetRowFieldByKey(0, "OPENED", 2, false), "100");
      }
    }
  }
  EXPECT_TRUE(modCOMFunctions::RecipientsWithoutAddress({"X", "", "Z"}).empty());
  EXPECT_TRUE(boxes.shown().empty());
}

// Sends of one turn share the commit's syncs; when a sync fails, every send
// of the turn is taken back whole (its sent row and every delivery), in
// memory and on disk, and the queue contacts nobody for them; sends of an
// earlier turn stay. For each count of sends, whichever journal's sync
// fails, whether the window commits or the queue's tick does.
TEST_F(Sending, SendsWhoseSyncFailsAreTakenBackWhole) {
  const auto journalOf = [&](const char* file) {
    return DataJournal(modGenApplicationSetting::GetFileSourceFolder(
                           modGenApplicationSetting::kUserDataFile, file,
                           ProgramTestEnvironment::accountField(uid_, modLocalUserFunctions::kLocalUserPA))
                           .FullPath,
                       true)
        .path();
  };
  // The deliveries queued, as "OUID RUID", in memory or on disk.
  const auto deliveries = [](clsGenObject& store) {
    std::vector<std::string> queued;
    for (const pugi::xml_node row : store.XMLDocLinked()->rootElement().children("A")) {
      queued.push_back(std::string(row.attribute("OUID").value()) + " " + row.attribute("RUID").value());
    }
    return queued;
  };
  std::vector<std::string> keptRows;
  std::vector<std::string> keptDeliveries;
  for (const int sends : {1, 3}) {
    for (const char* refused : {"D009.dat", "D002.dat"}) {
      for (const bool byTheQueue : {false, true}) {
        SCOPED_TRACE(std::to_string(sends) + " sends, " + refused + " refused, committed by the " +
                     (byTheQueue ? "queue" : "window"));
        // A send of an earlier turn; its appends leave both journals in
        // place, so that the next appends wait for a sync.
        const std::string kept = SendMessageToRecipients("kept", 1, 1, "X", "", true, false);
        TurnCommit::now();
        keptRows.push_back(kept + " 1 X:1");
        keptDeliveries.push_back(kept + " X");
        for (int n = 0; n < sends; ++n) SendMessageToRecipients("lost", 1, 1, "X||Y", "", true, false);
        ASSERT_TRUE(TurnCommit::pending());
        {
          const std::string journal = journalOf(refused);
          const platform::FileDoorWatch refuse([&](platform::FileDoorStep step, const std::string& path) {
            if (step == platform::FileDoorStep::kSynced && path == journal) {
              throw TvrError(75, "test", "the disk refuses the sync");
            }
          });
          if (byTheQueue) {
            ActionManager().ManageActionQueue();
            EXPECT_FALSE(ActionManager().IsBusy()) << "an action was taken up";
          } else {
            EXPECT_NE(errorNumberOf([] { TurnCommit::now(); }), 0);
          }
        }
        EXPECT_EQ(deliveries(ActionManager().Actions()), keptDeliveries);
        EXPECT_EQ(PoolLoan(MessSent)->CountAll(), static_cast<int>(keptRows.size()));
        PoolLoan(MessSent)->SaveXMLDoc();
        ActionManager().SaveStore();
        EXPECT_EQ(onDisk(MessSent), keptRows);
        EXPECT_EQ(deliveries(*modGlobalFunctions::GetUserDataObject(Action, uid_, true)), keptDeliveries);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace

namespace {


}  // namespace

// A send stopped at any of its writes, by a kill there or by a disk that
// fills up there (and a kill before room returns), is after the next start
// either shown and queued to every recipient, or neither: never a sent row
// that waits for good. A send the person was told failed is neither; one
// told done is both.
TEST_F(Sending, ASendCutShortAnywhereIsQueuedWholeOrNotAtAll) {
  const std::string folder = environment.dataFolder();
  const std::string storeJournal = folder + "/ANN/.D002.dat.jnl";
  const std::string sentJournal = folder + "/ANN/.D009.dat.jnl";
  // The sent row and its deliveries are written when the send returns, and
  // the turn's commit syncs each journal once.
  const auto writesOfASend = [&] {
    int appends = 0;
    const DataJournal::StepHook hook([&](DataJournal::Step step) { appends += step == DataJournal::Step::kAppend; });
    const SyncLedger ledger;
    SendMessageToRecipients("counted", 1, 1, "X||Y", "", true, false);
    EXPECT_TRUE(ledger.unsynced(sentJournal));
    EXPECT_TRUE(ledger.unsynced(storeJournal));
    const int appendsOfTheSend = appends;
    TurnCommit::now();
    EXPECT_EQ(ledger.syncs(sentJournal), 1);
    EXPECT_EQ(ledger.syncs(storeJournal), 1);
    return appendsOfTheSend;
  };
  SendMessageToRecipients("first", 1, 1, "X", "", true, false);  // the journals exist
  const int writes = writesOfASend();
  ASSERT_GE(writes, 2);
  // The message shown and its deliveries, as the person sees them after a
  // start: "" when neither.
  const auto shown = [&](const std::string& text) {
    std::string message;
    {
      PoolLoan sent(MessSent);
      for (const pugi::xml_node row : sent->XMLDocLinked()->rootElement().children()) {
        if (sent->GetRowFieldByKey(0, row.attribute("UID").value(), 4, false) == text) {
          message = row.attribute("UID").value();
        }
      }
    }
    std::string deliveries;
    for (const pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children()) {
      const std::string value = row.attribute("V").value();
      if (value.find("CO=\"" + text + "\"") != std::string::npos) {
        deliveries += std::string(row.attribute("RUID").value()) +
                      (message == row.attribute("OUID").value() ? "" : "(of another message)");
      }
    }
    return (message.empty() ? std::string() : "message ") + deliveries;
  };
  const auto start = [&](const Disk& disk) {
    TurnCommit::resetProcessState();
    ReleaseActionManager(false);
    modGlobalVariables::InitGlobalVariables();
    putDisk(folder, disk);
    CurrentLocalUserUID = uid_;
    ActionManager().tmrWinsockActionManager.blockSignals(true);
  };
  for (const bool diskFills : {false, true}) {
    for (int stop = diskFills ? 0 : 1; stop <= writes; ++stop) {
      const std::string text = std::string(diskFills ? "full" : "killed") + " after write " + std::to_string(stop);
      SCOPED_TRACE(text);
      const Disk before = diskOf(folder);
      std::optional<Disk> killed;
      std::optional<FileSizeLimit> full;
      if (diskFills && stop == 0) full.emplace(0);
      bool toldDone = false;
      {
        int appends = 0;
        const DataJournal::StepHook hook([&](DataJournal::Step step) {
          if (step != DataJournal::Step::kAppend || ++appends != stop) return;
          if (diskFills) {
            full.emplace(0);
          } else {
            killed = diskOf(folder);
          }
        });
        try {
          SendMessageToRecipients(text, 1, 1, "X||Y", "", true, false);
          toldDone = true;
        } catch (const TvrError&) {
        }
      }
      full.reset();
      if (diskFills) killed = diskOf(folder);
      ASSERT_TRUE(killed.has_value());
      for (int restart = 1; restart <= 2; ++restart) {
        start(*killed);
        const std::string after = shown(text);
        EXPECT_TRUE(after.empty() || after == "message XY") << after << " at start " << restart;
        if (diskFills) {
          EXPECT_EQ(after, toldDone ? "message XY" : "") << "at start " << restart;
        }
        killed = diskOf(folder);
      }
      start(before);
    }
  }
  // The machine stops after the send returned, before the turn's commit:
  // each journal that the send wrote reached the disk, or not.
  for (const bool rowKept : {false, true}) {
    for (const bool deliveriesKept : {false, true}) {
      const std::string text = std::string("stopped, row ") + (rowKept ? "kept" : "lost") +
                               ", deliveries " + (deliveriesKept ? "kept" : "lost");
      SCOPED_TRACE(text);
      const Disk before = diskOf(folder);
      SendMessageToRecipients(text, 1, 1, "X||Y", "", true, false);
      const Disk written = diskOf(folder);
      Disk stopped = before;
      for (const auto& [journal, kept] : {std::pair{sentJournal, rowKept}, {storeJournal, deliveriesKept}}) {
        if (kept) stopped[journal] = written.at(journal);
      }
      for (int restart = 1; restart <= 2; ++restart) {
        start(stopped);
        EXPECT_EQ(shown(text), rowKept && deliveriesKept ? "message XY" : "") << "at start " << restart;
        stopped = diskOf(folder);
      }
      start(before);
    }
  }
}
