// Folds that run beside the event loop: while the rows change and are
// saved between their steps, and when the program is killed at any moment.
#include "BackgroundFold.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "DataJournal.h"
#include "DiskImage.h"
#include "RecordingMessageBox.h"
#include "ScriptedPeer.h"
#include "TestDataFolder.h"
#include "clsGenObject.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

using modGlobalFunctions::GenObjectRef;

constexpr const char* kDataFile = "ALICE/D010.dat";
constexpr int32_t kUID = 0;
constexpr int32_t kFirstName = 1;
constexpr int kRows = 6;

GenObjectRef openUsers() {
  GenObjectRef users = modGlobalFunctions::CreateGenObject(modGlobalVariables::User, "", false, false);
  users->FileContentEncrypted(true);
  users->XMLDocLinked(clsGenXMLDocument::create());
  users->LoadXMLDoc(false);
  return users;
}

std::string addUser(clsGenObject& users, const std::string& name) {
  const std::string uid = users.CreateNewRow(true, kUID);
  users.SetField(kFirstName, name);
  users.AddCurrentRow();
  return uid;
}

std::vector<std::string> rowsOf(const clsGenObject& users) {
  std::vector<std::string> rows;
  for (const pugi::xml_node row : users.XMLDocLinked()->rootElement().children()) {
    rows.push_back(modGenFunctionsXML::XMLToString(row));
  }
  return rows;
}


// A change of the rows made between two steps of a fold, then saved.
struct Change {
  const char* name;
  std::function<void(clsGenObject&)> make;
};

const std::vector<Change>& changes() {
  static const std::vector<Change> all = {
      {"none", [](clsGenObject&) {}},
      {"a row renamed",
       [](clsGenObject& users) {
         users.SetRowFieldByKey(kFirstName, "u2", kFirstName, "renamed");
       }},
      {"a row removed", [](clsGenObject& users) { users.Delete(false, kFirstName, "u3", false); }},
      {"a row moved to the end",
       [](clsGenObject& users) {
         users.PC_Init(false);
         users.PC_SelectSingleNode(kFirstName, "u1");
         users.AddRow(users.GetCurrent());
       }},
      {"rows added",
       [](clsGenObject& users) {
         addUser(users, "new1");
         addUser(users, "new2");
       }},
      {"the first and the last rows removed",
       [](clsGenObject& users) {
         users.Delete(false, kFirstName, "u0", false);
         users.Delete(false, kFirstName, "u" + std::to_string(kRows - 1), false);
       }},
  };
  return all;
}

// A fold of a file of kRows rows written one row per step, its journal made
// due by a save; at turn `changeAt` of the fold (each turn one step, then
// the turns while its thread writes) the rows change and are saved. A kill
// at any moment (between two turns, or while the new file is in place but
// the journal set aside is not yet gone) loads as the rows last saved, in
// their order; and once the fold is over no journal set aside is left.
TEST(BackgroundFold, AKillAtAnyMomentLoadsTheRowsLastSaved) {
  for (const Change& change : changes()) {
    for (int changeAt = 0; changeAt <= kRows + 2; ++changeAt) {
      SCOPED_TRACE(std::string(change.name) + " at turn " + std::to_string(changeAt));
      TestDataFolder data;
      RecordingMessageBox boxes;
      data.logIn("ALICE");
      const std::string folder = data.path("");
      GenObjectRef users = openUsers();
      for (int n = 0; n < kRows; ++n) addUser(*users, "u" + std::to_string(n));
      users->FoldXMLDoc();

      struct Kill {
        Disk disk;
        std::vector<std::string> saved;
      };
      std::vector<Kill> kills;
      std::mutex saving;  // the fold's thread takes its kill between saves
      std::vector<std::string> saved;
      {
        const DataJournal::FoldBound foldAtEverySave(1);
        const BackgroundFold::Threshold inSteps(0, 1);
        const platform::FileDoorWatch watch([&](platform::FileDoorStep step, const std::string& path) {
          if (step != platform::FileDoorStep::kSynced || path != data.path(kDataFile)) return;
          const std::lock_guard<std::mutex> lock(saving);
          kills.push_back({diskOf(folder), saved});
        });
        {
          const std::lock_guard<std::mutex> lock(saving);
          users->SetRowFieldByKey(kFirstName, "u0", kFirstName, "u0");  // unchanged: no save
          addUser(*users, "due");
          users->SaveXMLDoc();
          saved = rowsOf(*users);
        }
        ASSERT_TRUE(BackgroundFold::running(data.path(kDataFile)));
        for (int turn = 0; BackgroundFold::running(data.path(kDataFile)); ++turn) {
          {
            const std::lock_guard<std::mutex> lock(saving);
            if (turn == changeAt) {
              change.make(*users);
              users->SaveXMLDoc();
              saved = rowsOf(*users);
            }
            kills.push_back({diskOf(folder), saved});
          }
          ASSERT_LT(turn, 10000) << "the fold never ends";
          QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
      }
      kills.push_back({diskOf(folder), rowsOf(*users)});
      EXPECT_FALSE(QFile::exists(QString::fromStdString(DataJournal(data.path(kDataFile), true).beingFolded().path())));
      for (std::size_t k = 0; k < kills.size(); ++k) {
        SCOPED_TRACE("killed at moment " + std::to_string(k));
        putDisk(folder, kills[k].disk);
        EXPECT_EQ(rowsOf(*openUsers()), kills[k].saved);
        if (HasFailure()) return;
      }
      EXPECT_TRUE(boxes.shown().empty());
    }
  }
}

// Whatever rewrites the file while a fold runs settles the fold first: a
// fold still in its steps is dropped, one whose thread writes is waited
// for; the file then holds every row and no journal is left.
TEST(BackgroundFold, ARewriteSettlesTheFoldUnderWay) {
  for (int turnsBefore = 0; turnsBefore <= kRows + 2; ++turnsBefore) {
    SCOPED_TRACE("rewritten after turn " + std::to_string(turnsBefore));
    TestDataFolder data;
    RecordingMessageBox boxes;
    data.logIn("ALICE");
    GenObjectRef users = openUsers();
    for (int n = 0; n < kRows; ++n) addUser(*users, "u" + std::to_string(n));
    users->FoldXMLDoc();
    {
      const DataJournal::FoldBound foldAtEverySave(1);
      const BackgroundFold::Threshold inSteps(0, 1);
      addUser(*users, "due");
      users->SaveXMLDoc();
      for (int turn = 0; turn < turnsBefore; ++turn) QCoreApplication::processEvents();
      addUser(*users, "last");
      users->FoldXMLDoc();
      EXPECT_FALSE(BackgroundFold::running(data.path(kDataFile)));
    }
    // Nothing of the fold comes after the rewrite.
    ScriptedPeer::waitFor([] { return false; }, 20);
    const DataJournal journal(data.path(kDataFile), true);
    EXPECT_FALSE(journal.exists());
    EXPECT_FALSE(journal.beingFolded().exists());
    EXPECT_EQ(rowsOf(*openUsers()), rowsOf(*users));
  }
}

}  // namespace
