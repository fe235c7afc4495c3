// The group commit: work waits for every append made before it without a
// sync, one sync per journal ends the turn, and a failed sync is told.
#include "TurnCommit.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "DataJournal.h"
#include "ErrorNumber.h"
#include "ScriptedPeer.h"

namespace {

class TurnCommitTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Nothing handed over by one test may run in the next.
    try {
      TurnCommit::now();
    } catch (...) {
    }
  }

  // The journal of data file `n` in the temporary folder.
  DataJournal journal(int n) const {
    return DataJournal(folder_.filePath(QString("D%1.dat").arg(n)).toStdString(), false);
  }
  // Appends a save to journal `n` without a sync (its first append, which
  // starts the file, is synced).
  void writeTo(int n) {
    const DataJournal target = journal(n);
    if (!target.exists()) target.append({"R<U UID=\"1\"/>"}, true);
    target.append({"R<U UID=\"1\"/>"}, false);
  }
  // Runs the event loop until the turn's commit has run.
  static void endTurn() {
    ScriptedPeer::waitFor([] { return !DataJournal::anyWritten(); }, 2000);
    QCoreApplication::processEvents();
  }

  QTemporaryDir folder_;
};

struct Ran {
  int work;
  bool onDisk;
  bool anythingUnsynced;
};

// For every number of journals written in the turn: work runs at once when
// nothing waits, otherwise only at the turn's end, in order, after one sync
// of each journal.
TEST_F(TurnCommitTest, WorkRunsInOrderOnceEveryAppendBeforeItIsOnDisk) {
  for (int journals = 0; journals <= 3; ++journals) {
    SCOPED_TRACE("journals written: " + std::to_string(journals));
    for (int n = 0; n < journals; ++n) writeTo(n);
    int syncs = 0;
    std::optional<platform::FileDoorWatch> watch(
        std::in_place, [&](platform::FileDoorStep step, const std::string&) {
          syncs += step == platform::FileDoorStep::kSynced;
        });
    std::vector<Ran> ran;
    for (int work = 0; work < 3; ++work) {
      TurnCommit::after(nullptr, [&ran, work](bool onDisk) {
        ran.push_back({work, onDisk, DataJournal::anyWritten()});
      });
    }
    EXPECT_EQ(ran.size(), journals == 0 ? 3u : 0u) << "ran before the turn's end";
    endTurn();
    watch.reset();
    ASSERT_EQ(ran.size(), 3u);
    for (int work = 0; work < 3; ++work) {
      EXPECT_EQ(ran[static_cast<std::size_t>(work)].work, work);
      EXPECT_TRUE(ran[static_cast<std::size_t>(work)].onDisk);
      EXPECT_FALSE(ran[static_cast<std::size_t>(work)].anythingUnsynced);
    }
    EXPECT_EQ(syncs, journals);
  }
}

// Work handed over while earlier work waits runs after it, even when its own
// writes are already synced; work handed over by waiting work waits for the
// next commit; now() commits at once.
TEST_F(TurnCommitTest, LaterWorkNeverOvertakesAndNowCommitsAtOnce) {
  std::vector<std::string> ran;
  writeTo(0);
  TurnCommit::after(nullptr, [&](bool) {
    ran.push_back("first");
    writeTo(1);
    TurnCommit::after(nullptr, [&](bool onDisk) { ran.push_back(onDisk ? "nested" : "nested lost"); });
  });
  DataJournal::flushWritten();
  TurnCommit::after(nullptr, [&](bool) { ran.push_back("second"); });
  EXPECT_TRUE(ran.empty());
  TurnCommit::now();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(DataJournal::anyWritten()) << "the nested work's append";
  endTurn();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "nested"}));
}

// A sync that fails tells every waiting work so, now() raises it, and the
// commit at a turn's end lets the event loop go on.
TEST_F(TurnCommitTest, AFailedSyncIsToldToEveryWaitingWork) {
  for (const bool atTurnEnd : {false, true}) {
    SCOPED_TRACE(atTurnEnd ? "at the turn's end" : "now");
    const std::string path = journal(0).path();
    writeTo(0);
    std::filesystem::rename(path, path + ".aside");
    std::filesystem::create_symlink(path + ".aside", path);
    std::vector<bool> told;
    for (int work = 0; work < 2; ++work) {
      TurnCommit::after(nullptr, [&](bool onDisk) { told.push_back(onDisk); });
    }
    if (atTurnEnd) {
      ScriptedPeer::waitFor([&] { return told.size() == 2; }, 2000);
    } else {
      EXPECT_NE(errorNumberOf([] { TurnCommit::now(); }), 0);
    }
    EXPECT_EQ(told, (std::vector<bool>{false, false}));
    std::filesystem::remove(path);
    std::filesystem::rename(path + ".aside", path);
    TurnCommit::now();
    EXPECT_FALSE(DataJournal::anyWritten());
  }
}

TEST_F(TurnCommitTest, WorkOfAContextThatWentIsDropped) {
  writeTo(0);
  bool ran = false;
  bool otherRan = false;
  {
    QObject context;
    TurnCommit::after(&context, [&](bool) { ran = true; });
  }
  QObject kept;
  TurnCommit::after(&kept, [&](bool) { otherRan = true; });
  endTurn();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(otherRan);
}

}  // namespace
