// Sending: the stored sent row, its recipients and deliveries, on disk
// before the send returns.
#include "modCOMFunctions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "DataJournal.h"
#include "FileSizeLimit.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "clsActionManager.h"
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

// A send is on disk when it returns: a kill right after it and two starts
// keep the sent row; a row removed while its deliveries wait stays removed.
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

}  // namespace
