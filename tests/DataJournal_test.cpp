#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <set>

#include "BackgroundFold.h"
#include "DataJournal.h"
#include "ErrorNumber.h"
#include "FileSizeLimit.h"
#include "JournalIntruder.h"
#include "JournalBytes.h"
#include "RecordingMessageBox.h"
#include "SyncLedger.h"
#include "TestDataFolder.h"
#include "clsGenEncryption.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

using modGlobalFunctions::CreateGenObject;
using modGlobalFunctions::GenObjectRef;

namespace {

constexpr const char* kDataFile = "ALICE/D010.dat";
constexpr const char* kJournal = "ALICE/.D010.dat.jnl";
constexpr int32_t kUID = 0;
constexpr int32_t kFirstName = 1;

// A fresh unlinked collection of the account's users file, loaded from disk.
GenObjectRef openUsers(bool encrypted) {
  GenObjectRef users = CreateGenObject(modGlobalVariables::User, "", false, false);
  users->FileContentEncrypted(encrypted);
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

void rename(clsGenObject& users, const std::string& uid, const std::string& name) {
  users.SetRowFieldByKey(kUID, uid, kFirstName, name);
}

// Every row as XML text, in order.
std::vector<std::string> rowsOf(const clsGenObject& users) {
  std::vector<std::string> rows;
  for (const pugi::xml_node row : users.XMLDocLinked()->rootElement().children()) {
    rows.push_back(modGenFunctionsXML::XMLToString(row));
  }
  return rows;
}

struct Case {
  const char* name;
  // Changes `users` and saves them; the journal or data file may be tampered
  // with, and then `users` holds the rows the next load must read.
  std::function<void(clsGenObject& users, TestDataFolder& data)> act;
  bool journalLeft;
  bool dataFileRewritten;
  // Copies of the journal that the next load keeps aside and tells.
  int journalsKept = 0;
  // The name of a case made by a loop over a family.
  std::string generated = {};
};

// Lets the rows of the stored file go from `users` without saving it, so
// that it holds what a load finds when the data file no longer has them.
void forgetStoredRows(clsGenObject& users) {
  for (const char* name : {"u0", "u1", "u2"}) users.Delete(false, kFirstName, name, false);
}

// A journal of `dataFile` and `owner` holding `entries` becomes the users' journal.
void putJournalOf(TestDataFolder& data, const std::string& dataFile, const std::string& owner,
                  const std::vector<std::string>& entries) {
  const bool encrypted = data.raw(kDataFile).find("TVR") == std::string::npos;
  const DataJournal journal(data.path(dataFile), encrypted, owner);
  QFile::remove(QString::fromStdString(data.path(kJournal)));
  journal.append(entries, true);
  if (journal.path() == data.path(kJournal)) return;
  ASSERT_TRUE(QFile::rename(QString::fromStdString(journal.path()),
                            QString::fromStdString(data.path(kJournal))));
}

std::string ownerOf(const clsGenObject& users) {
  return users.XMLDocLinked()->rootElement().attribute("OU").value();
}

using JournalBytes::putWordAt;
using JournalBytes::recordStarts;
using JournalBytes::wordAt;

// The journal without its identity record, as older builds wrote it.
std::string withoutIdentity(const std::string& journal) { return journal.substr(recordStarts(journal)[1]); }

// Adds a row whose save makes the journal due, and runs the event loop
// until the fold that runs beside it (one row a step) has ended.
void foldBesideTheLoop(clsGenObject& users, TestDataFolder& data) {
  const DataJournal::FoldBound foldAtEverySave(1);
  const BackgroundFold::Threshold inSteps(0, 1);
  addUser(users, "due");
  users.SaveXMLDoc();
  for (int turn = 0; BackgroundFold::running(data.path(kDataFile)); ++turn) {
    ASSERT_LT(turn, 10000) << "the fold never ends";
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

// A record of a journal that holds its identity and three saves.
enum class Position { kIdentity, kFirstSave, kMiddleSave, kLastSave };
// What befalls that record.
enum class Damage { kTextByte, kCheckByte, kShorterLength, kLengthPastTheEnd, kCutShort };

const char* nameOf(Position position) {
  switch (position) {
    case Position::kIdentity: return "identity";
    case Position::kFirstSave: return "first save";
    case Position::kMiddleSave: return "middle save";
    case Position::kLastSave: return "last save";
  }
  return "";
}

const char* nameOf(Damage damage) {
  switch (damage) {
    case Damage::kTextByte: return "a byte of its text flipped";
    case Damage::kCheckByte: return "a byte of its check flipped";
    case Damage::kShorterLength: return "its length one short";
    case Damage::kLengthPastTheEnd: return "its length past the end of the file";
    case Damage::kCutShort: return "the file cut inside it";
  }
  return "";
}

std::string damaged(std::string journal, Position position, Damage damage) {
  const std::size_t at = recordStarts(journal).at(static_cast<std::size_t>(position));
  const std::uint32_t length = wordAt(journal, at);
  switch (damage) {
    case Damage::kTextByte: journal = JournalBytes::withTextByteFlipped(journal, at); break;
    case Damage::kCheckByte: journal[at + 4] ^= 0x01; break;
    case Damage::kShorterLength: putWordAt(journal, at, length - 1); break;
    case Damage::kLengthPastTheEnd:
      putWordAt(journal, at, static_cast<std::uint32_t>(journal.size() - at - 8 + 1));
      break;
    case Damage::kCutShort: journal.resize(at + 8 + length / 2); break;
  }
  return journal;
}

// What a load must make of that journal. Only a record that the end of the
// file cuts short is a torn tail, cut silently: the saves before it apply.
// A complete record that fails its check is damage anywhere: the other saves
// apply, and the journal is kept and told. Damage to the identity leaves
// nothing that proves the journal ours: no save applies, and it is kept.
struct Outcome {
  std::vector<int> saves;  // those applied
  int kept = 0;
};
Outcome outcomeOf(Position position, Damage damage) {
  const int hit = static_cast<int>(position) - 1;  // the save damaged; -1: the identity
  const bool torn = damage == Damage::kCutShort ||
                    (damage == Damage::kLengthPastTheEnd && position == Position::kLastSave);
  Outcome outcome{{}, torn ? 0 : 1};
  for (int save = 0; save < 3; ++save) {
    const bool applies = torn ? save < hit : hit >= 0 && save != hit;
    if (applies) outcome.saves.push_back(save);
  }
  return outcome;
}

}  // namespace

// Each case starts from a stored file of three users, acts, and then a fresh
// load must read exactly the rows the acting collection holds.
TEST(DataJournal, SavesAppendFoldAndReplayToTheRowsHeld) {
  std::vector<Case> cases = {
      {"changed, added and removed rows go to the journal",
       [](clsGenObject& users, TestDataFolder&) {
         rename(users, users.GetRowFieldByKey(kFirstName, "u0", kUID, false), "renamed");
         addUser(users, "u3");
         users.Delete(false, kFirstName, "u1", true);
       },
       true, false},
      {"a row moved to the end keeps its place on replay",
       [](clsGenObject& users, TestDataFolder&) {
         users.PC_Init(false);
         users.PC_SelectSingleNode(kFirstName, "u0");
         const pugi::xml_node row = users.GetCurrent();
         users.AddRow(row);
         users.SaveXMLDoc();
       },
       true, false},
      {"nothing changed: nothing is written",
       [](clsGenObject& users, TestDataFolder&) { users.SaveXMLDoc(); }, false, false},
      {"a root attribute rewrites the whole file",
       [](clsGenObject& users, TestDataFolder&) {
         addUser(users, "u3");
         clsGenXMLDocument::setAttribute(users.XMLDocLinked()->rootElement(), "X", "1");
         users.SaveXMLDoc();
       },
       false, true},
      {"a row of another name rewrites the whole file",
       [](clsGenObject& users, TestDataFolder&) {
         pugi::xml_document other;
         other.load_string("<X UID=\"X1\"/>");
         users.XMLDocLinked()->appendCopy(users.XMLDocLinked()->rootElement(), other.first_child());
         users.SaveXMLDoc();
       },
       false, true},
      {"a fold rewrites the file and removes the journal",
       [](clsGenObject& users, TestDataFolder&) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         rename(users, users.GetRowFieldByKey(kFirstName, "u2", kUID, false), "later");
         users.FoldXMLDoc();
       },
       false, true},
      {"a fold whose rewrite fails has put every change in the journal first",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         rename(users, users.GetRowFieldByKey(kFirstName, "u2", kUID, false), "later");
         const QString file = QString::fromStdString(data.path(kDataFile));
         const std::string bytes = data.raw(kDataFile);
         ASSERT_TRUE(QFile::remove(file));
         ASSERT_TRUE(QDir().mkpath(file));
         EXPECT_NE(errorNumberOf([&] { users.FoldXMLDoc(); }), 0);
         ASSERT_TRUE(QDir(file).removeRecursively());
         data.writeRaw(kDataFile, bytes);
       },
       true, false},
      {"a torn last record is ignored and cut off",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         QFile journal(QString::fromStdString(data.path(kJournal)));
         ASSERT_TRUE(journal.open(QIODevice::Append));
         journal.write(QByteArray("\x40\x00\x00\x00\x01\x02\x03\x04<U UID", 15));
       },
       true, false},
      {"an older build's journal of its own rows is replayed",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         data.writeRaw(kJournal, withoutIdentity(data.raw(kJournal)));
       },
       true, false},
      {"a journal left by a fold that stopped before removing it changes nothing",
       [](clsGenObject& users, TestDataFolder& data) {
         const std::string u0 = users.GetRowFieldByKey(kFirstName, "u0", kUID, false);
         rename(users, u0, "first");
         users.Delete(false, kFirstName, "u2", true);
         addUser(users, "u3");
         users.SaveXMLDoc();
         rename(users, u0, "second");
         users.SaveXMLDoc();
         const std::string journal = data.path(kJournal);
         ASSERT_TRUE(QFile::copy(QString::fromStdString(journal), QString::fromStdString(journal + "~")));
         users.FoldXMLDoc();
         ASSERT_TRUE(QFile::rename(QString::fromStdString(journal + "~"), QString::fromStdString(journal)));
       },
       true, true},
      {"a failed append is cut back, and the saves after it are kept",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         rename(users, users.GetRowFieldByKey(kFirstName, "u0", kUID, false), "failed then kept");
         {
           const FileSizeLimit full(data.raw(kJournal).size() + 20);
           EXPECT_NE(errorNumberOf([&] { users.SaveXMLDoc(); }), 0);
         }
         addUser(users, "u4");
         users.SaveXMLDoc();
       },
       true, false},
      {"a damaged save is kept aside and told, and the saves after it apply",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         const std::size_t damaged = data.raw(kJournal).size();
         const std::string u1 = users.GetRowFieldByKey(kFirstName, "u1", kUID, false);
         rename(users, u1, "damaged");
         users.SaveXMLDoc();
         addUser(users, "u4");
         users.SaveXMLDoc();
         // Plain, a letter of the new name: the XML still parses and only
         // the CRC tells. Enciphered, a byte inside the save.
         std::string bytes = data.raw(kJournal);
         const std::size_t letter = bytes.find("damaged", damaged);
         bytes[letter != std::string::npos ? letter : damaged + 12] ^= 0x20;
         data.writeRaw(kJournal, bytes);
         rename(users, u1, "u1");
       },
       true, false, 1},
      {"a journal beside an empty data file is replayed onto the empty collection",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         data.writeRaw(kDataFile, "");
         forgetStoredRows(users);
       },
       true, true},
      {"a journal beside a damaged data file is replayed and kept aside with it",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         data.writeRaw(kDataFile, "\x01\x02\x03 not a data file");
         forgetStoredRows(users);
       },
       true, true, 1},
      {"a journal of another account is kept aside, not applied",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         putJournalOf(data, kDataFile, "SOMEONE-ELSE", {"R<U UID=\"X\" FN=\"theirs\"/>"});
         users.Delete(false, kFirstName, "u3", false);
       },
       true, false, 1},
      {"a journal of another data file is kept aside, not applied",
       [](clsGenObject& users, TestDataFolder& data) {
         putJournalOf(data, "ALICE/D008.dat", ownerOf(users), {"R<U UID=\"X\" FN=\"other file\"/>"});
       },
       true, false, 1},
      {"another account's journal whose identity is damaged is kept aside, not applied",
       [](clsGenObject&, TestDataFolder& data) {
         putJournalOf(data, kDataFile, "SOMEONE-ELSE",
                      {"R<U UID=\"X1\" FN=\"theirs\"/>", "R<U UID=\"X2\" FN=\"theirs too\"/>"});
         data.writeRaw(kJournal, damaged(data.raw(kJournal), Position::kIdentity, Damage::kTextByte));
       },
       true, false, 1},
      {"an older build's journal holding rows of another name is kept aside",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "u3");
         users.SaveXMLDoc();
         putJournalOf(data, kDataFile, ownerOf(users), {"R<M UID=\"X\" CO=\"a message\"/>"});
         data.writeRaw(kJournal, withoutIdentity(data.raw(kJournal)));
         users.Delete(false, kFirstName, "u3", false);
       },
       true, false, 1},
  };
  // Anything but a regular file where a journal belongs (its own path, or
  // the path of the journal a fold set aside), met by a save, by a fold
  // beside the event loop or by the next load, is moved aside once, and the
  // save stores; a link's target is never touched.
  enum class Meeting { kSave, kFoldBesideTheLoop, kLoad };
  for (const bool setAside : {false, true}) {
    for (const Intruder intruder : kIntruders) {
      for (const Meeting meeting : {Meeting::kSave, Meeting::kFoldBesideTheLoop, Meeting::kLoad}) {
        const bool folded = meeting == Meeting::kFoldBesideTheLoop;
        cases.push_back(
            {nullptr,
             [=](clsGenObject& users, TestDataFolder& data) {
               data.writeRaw("ALICE/target", "target");
               const DataJournal journal(data.path(kDataFile), true);
               const std::string at = setAside ? journal.beingFolded().path() : data.path(kJournal);
               ASSERT_TRUE(placeIntruder(intruder, at,
                                         data.path(intruder == Intruder::kLinkToAFile ? "ALICE/target"
                                                                                      : "ALICE/nothing")));
               if (folded) {
                 const PipeRelease release(at);
                 foldBesideTheLoop(users, data);
                 EXPECT_FALSE(release.released()) << "the fold stopped at the pipe";
               } else if (meeting == Meeting::kSave) {
                 addUser(users, "u3");
                 users.SaveXMLDoc();
               }
               EXPECT_EQ(data.raw("ALICE/target"), "target");
             },
             meeting == Meeting::kSave || (meeting == Meeting::kLoad && !setAside), folded, 1,
             std::string(nameOf(intruder)) + (setAside ? " at the set-aside journal's path" : " at the journal's path") +
                 (meeting == Meeting::kSave ? ", met by a save"
                                            : folded ? ", met by a fold beside the event loop" : ", met by a load")});
      }
    }
  }
  // Each record of a journal of three saves, with each kind of damage; the
  // journal where saves go, or the one a fold set aside, with a save in the
  // journal after it that applies whatever befell the one before.
  for (const bool setAside : {false, true}) {
    for (const Position position :
         {Position::kIdentity, Position::kFirstSave, Position::kMiddleSave, Position::kLastSave}) {
      for (const Damage damage : {Damage::kTextByte, Damage::kCheckByte, Damage::kShorterLength,
                                  Damage::kLengthPastTheEnd, Damage::kCutShort}) {
        const Outcome outcome = outcomeOf(position, damage);
        cases.push_back(
            {nullptr,
             [=](clsGenObject& users, TestDataFolder& data) {
               std::vector<std::string> added;
               for (int save = 0; save < 3; ++save) {
                 added.push_back(addUser(users, "s" + std::to_string(save)));
                 users.SaveXMLDoc();
               }
               ASSERT_EQ(recordStarts(data.raw(kJournal)).size(), 4u);
               std::string hit = kJournal;
               if (setAside) {
                 DataJournal(data.path(kDataFile), true).setAsideForFold();
                 hit += ".fold";
                 addUser(users, "after");
                 users.SaveXMLDoc();
               }
               data.writeRaw(hit, damaged(data.raw(hit), position, damage));
               for (int save = 0; save < 3; ++save) {
                 if (std::count(outcome.saves.begin(), outcome.saves.end(), save) == 0) {
                   users.Delete(false, kUID, added[static_cast<std::size_t>(save)], false);
                 }
               }
             },
             true, false, outcome.kept,
             std::string(setAside ? "the set-aside journal's " : "") + nameOf(position) + ", " + nameOf(damage)});
      }
    }
  }
  for (const bool encrypted : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE((c.name != nullptr ? c.name : c.generated) + (encrypted ? " (enciphered)" : " (plain)"));
      TestDataFolder data;
      RecordingMessageBox boxes;
      data.logIn("ALICE");
      GenObjectRef users = openUsers(encrypted);
      for (int n = 0; n < 3; ++n) addUser(*users, "u" + std::to_string(n));
      users->FoldXMLDoc();
      const std::string before = data.raw(kDataFile);

      c.act(*users, data);
      EXPECT_EQ(QFileInfo(QString::fromStdString(data.path(kJournal))).exists() ||
                    QFileInfo(QString::fromStdString(data.path(kJournal))).isSymLink(),
                c.journalLeft);
      EXPECT_EQ(data.raw(kDataFile) != before, c.dataFileRewritten);

      const GenObjectRef loaded = openUsers(encrypted);
      EXPECT_EQ(rowsOf(*loaded), rowsOf(*users));
      EXPECT_EQ(data.raw(kDataFile).find("TVR") == std::string::npos, encrypted);
      const auto kept = [&] {
        return QDir(QString::fromStdString(data.path("ALICE")))
            .entryList({"D010.dat.jnl.bad-*"}, QDir::AllEntries | QDir::System);
      };
      EXPECT_EQ(kept().size(), c.journalsKept);
      for (const QString& name : kept()) {
        EXPECT_NE(data.deciphered("TVRLOG.DAT").find(name.toStdString()), std::string::npos);
      }
      // Replay again over what the first load left: idempotent, and nothing
      // is kept or told twice.
      const GenObjectRef again = openUsers(encrypted);
      EXPECT_EQ(rowsOf(*again), rowsOf(*users));
      EXPECT_EQ(kept().size(), c.journalsKept) << "kept again by the next load";
      // What the loads left holds later saves: no journal they cannot apply.
      rename(*again, again->GetRowFieldByKey(kFirstName, "u0", kUID, false), "after the load");
      addUser(*again, "added after the load");
      again->SaveXMLDoc();
      EXPECT_EQ(rowsOf(*openUsers(encrypted)), rowsOf(*again));
      EXPECT_EQ(kept().size(), c.journalsKept);
      EXPECT_TRUE(boxes.shown().empty());
    }
  }
}

// Every data file that has a journal, the accounts file of the data folder
// too: a journal of three saves damaged at each record loads as the saves
// that the damage spares, and a damaged whole record is kept aside and told.
TEST(DataJournal, EveryDataFileKeepsItsJournalsSavesThroughDamageAtEachRecord) {
  using namespace modGlobalVariables;
  struct DataFile {
    int32_t classType;
    const char* name;
  };
  const DataFile files[] = {{User, "D010.dat"},   {Group, "D004.dat"},    {MessSent, "D009.dat"},
                            {MessRec, "D008.dat"}, {MessHist, "D006.dat"}, {LocalUser, "D001.dat"},
                            {Action, "D002.dat"},  {InstMess, "D003.dat"}, {ActivityLog, "D007.dat"}};
  for (const DataFile& file : files) {
    for (const Position position : {Position::kIdentity, Position::kFirstSave, Position::kLastSave}) {
      for (const Damage damage : {Damage::kTextByte, Damage::kCheckByte, Damage::kCutShort}) {
        SCOPED_TRACE(std::string(file.name) + ", " + nameOf(position) + ", " + nameOf(damage));
        TestDataFolder data;
        RecordingMessageBox boxes;
        const std::string account = data.logIn("ALICE");
        const std::string folder = file.classType == LocalUser ? "" : "ALICE/";
        const auto open = [&] { return modGlobalFunctions::GetUserDataObject(file.classType, account, true); };
        GenObjectRef rows = open();
        rows->FoldXMLDoc();
        std::vector<std::string> added;
        for (int save = 0; save < 3; ++save) {
          added.push_back(rows->CreateNewRow(true, 0));
          rows->SetField(1, "s" + std::to_string(save));
          rows->AddCurrentRow();
          rows->SaveXMLDoc();
        }
        const std::string journal = folder + "." + file.name + ".jnl";
        ASSERT_EQ(recordStarts(data.raw(journal)).size(), 4u);
        data.writeRaw(journal, damaged(data.raw(journal), position, damage));
        const Outcome outcome = outcomeOf(position, damage);
        for (int save = 0; save < 3; ++save) {
          if (std::count(outcome.saves.begin(), outcome.saves.end(), save) == 0) {
            rows->Delete(false, 0, added[static_cast<std::size_t>(save)], false);
          }
        }
        EXPECT_EQ(rowsOf(*open()), rowsOf(*rows));
        const QStringList kept = QDir(QString::fromStdString(data.path(folder)))
                                     .entryList({QString(file.name) + ".jnl.bad-*"}, QDir::Files);
        EXPECT_EQ(kept.size(), outcome.kept);
        for (const QString& name : kept) {
          EXPECT_NE(data.deciphered("TVRLOG.DAT").find(name.toStdString()), std::string::npos);
        }
        EXPECT_EQ(rowsOf(*open()), rowsOf(*rows)) << "loaded again";
        EXPECT_TRUE(boxes.shown().empty());
      }
    }
  }
}

// A load on a full disk: whatever housekeeping the load would do (fold a
// journal that is empty, of an older build or damaged, keep a damaged one
// aside) it reads the rows the file and its journal hold, and a later load
// with room does the housekeeping.
TEST(DataJournal, ALoadOnAFullDiskReadsTheRowsWhateverItsHousekeepingNeeds) {
  struct Found {
    const char* name;
    std::function<void(clsGenObject& users, TestDataFolder& data)> make;
    int kept;
  };
  const Found found[] = {
      {"an empty journal", [](clsGenObject&, TestDataFolder& data) { data.writeRaw(kJournal, ""); }, 0},
      {"an older build's journal",
       [](clsGenObject& users, TestDataFolder& data) {
         addUser(users, "older");
         users.SaveXMLDoc();
         data.writeRaw(kJournal, withoutIdentity(data.raw(kJournal)));
       },
       0},
      {"a journal with a damaged record",
       [](clsGenObject& users, TestDataFolder& data) {
         std::vector<std::string> added;
         for (int save = 0; save < 3; ++save) {
           added.push_back(addUser(users, "s" + std::to_string(save)));
           users.SaveXMLDoc();
         }
         data.writeRaw(kJournal, damaged(data.raw(kJournal), Position::kMiddleSave, Damage::kTextByte));
         users.Delete(false, kUID, added[1], false);
       },
       1},
      {"another account's journal",
       [](clsGenObject&, TestDataFolder& data) {
         putJournalOf(data, kDataFile, "SOMEONE-ELSE", {"R<U UID=\"X\" FN=\"theirs\"/>"});
       },
       1},
      {"a journal whose identity is damaged",
       [](clsGenObject& users, TestDataFolder& data) {
         const std::string uid = addUser(users, "unproven");
         users.SaveXMLDoc();
         data.writeRaw(kJournal, damaged(data.raw(kJournal), Position::kIdentity, Damage::kTextByte));
         users.Delete(false, kUID, uid, false);
       },
       1},
  };
  for (const Found& each : found) {
    SCOPED_TRACE(each.name);
    TestDataFolder data;
    RecordingMessageBox boxes;
    data.logIn("ALICE");
    GenObjectRef users = openUsers(true);
    for (int n = 0; n < 3; ++n) addUser(*users, "u" + std::to_string(n));
    users->FoldXMLDoc();
    each.make(*users, data);
    const auto kept = [&] {
      return QDir(QString::fromStdString(data.path("ALICE"))).entryList({"D010.dat.jnl.bad-*"}, QDir::Files);
    };
    {
      const FileSizeLimit full(0);
      GenObjectRef loaded;
      EXPECT_EQ(errorNumberOf([&] { loaded = openUsers(true); }), 0);
      EXPECT_TRUE(loaded && loaded->IsLoaded());
      if (!loaded) continue;
      EXPECT_EQ(rowsOf(*loaded), rowsOf(*users));
      users = loaded;
    }
    // What the loaded rows take once room returns is stored with them.
    addUser(*users, "after the load");
    users->SaveXMLDoc();
    EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
    EXPECT_EQ(kept().size(), each.kept);
    EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
    EXPECT_EQ(kept().size(), each.kept) << "kept again";
    EXPECT_TRUE(boxes.shown().empty());
  }
}

// The framing check is CRC-32 as zlib computes it.
TEST(DataJournal, RecordsAreCheckedByZlibsCRC) {
  EXPECT_EQ(DataJournal::crc32(""), 0u);
  EXPECT_EQ(DataJournal::crc32("123456789"), 0xCBF43926u);
}

// A journal whose first record was torn goes at load, and the next save
// starts one afresh that the load after it replays.
TEST(DataJournal, AJournalTornAtItsFirstRecordStartsAfresh) {
  TestDataFolder data;
  RecordingMessageBox boxes;
  data.logIn("ALICE");
  openUsers(true)->FoldXMLDoc();
  data.writeRaw(kJournal, "\x40\x00");
  const GenObjectRef torn = openUsers(true);
  EXPECT_EQ(data.raw(kJournal), "<missing>");
  addUser(*torn, "u6");
  torn->SaveXMLDoc();
  EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*torn));
}

namespace {

// Thrown by the step hook where a test stops a save, as a kill would.
struct Stopped {};

// Stops saves after the `count`-th step `stopAt` (none: records steps only).
class StepStopper {
 public:
  StepStopper(std::optional<DataJournal::Step> stopAt, int count = 1)
      : hook_([this, stopAt, count](DataJournal::Step step) {
          steps.push_back(step);
          if (stopAt == step && ++seen_ == count) throw Stopped{};
        }) {}
  std::vector<DataJournal::Step> steps;

 private:
  int seen_ = 0;
  const DataJournal::StepHook hook_;
};

// Rows renamed, removed, added and moved to the end, in one turn.
void changeMany(clsGenObject& users) {
  rename(users, users.GetRowFieldByKey(kFirstName, "u1", kUID, false), "renamed");
  users.Delete(false, kFirstName, "u2", false);
  addUser(users, "u4");
  users.PC_Init(false);
  users.PC_SelectSingleNode(kFirstName, "u3");
  users.AddRow(users.GetCurrent());
}

}  // namespace

// A save or fold stopped after any of its steps loads as the rows before it
// or after it, in their order, never a mix; once its append is done, as the
// rows after it. A fold flushes the journal before it rewrites the file.
// The same holds for the journal cut at every byte of a
// save's append (a power cut during the write).
TEST(DataJournal, ASaveStoppedAfterAnyStepLoadsAsBeforeOrAfterIt) {
  using Step = DataJournal::Step;
  struct Save {
    const char* name;
    std::function<void(clsGenObject&)> save;
  };
  const std::vector<Save> saves = {
      {"save", [](clsGenObject& users) { users.SaveXMLDoc(); }},
      {"fold", [](clsGenObject& users) { users.FoldXMLDoc(); }},
  };
  for (const Save& save : saves) {
    for (const Step step : {Step::kAppend, Step::kFlush, Step::kRewrite, Step::kRemove}) {
      SCOPED_TRACE(std::string(save.name) + ", stopped after step " + std::to_string(static_cast<int>(step)));
      TestDataFolder data;
      RecordingMessageBox boxes;
      data.logIn("ALICE");
      GenObjectRef users = openUsers(true);
      for (int n = 0; n < 3; ++n) addUser(*users, "u" + std::to_string(n));
      users->FoldXMLDoc();
      // A journal that moves u0 behind the rows and adds u3: replayed twice,
      // it would move u0 behind u3.
      users->PC_Init(false);
      users->PC_SelectSingleNode(kFirstName, "u0");
      users->AddRow(users->GetCurrent());
      addUser(*users, "u3");
      users->SaveXMLDoc();
      const std::vector<std::string> before = rowsOf(*users);
      changeMany(*users);
      const std::vector<std::string> after = rowsOf(*users);
      {
        StepStopper stopper(step);
        try {
          save.save(*users);
        } catch (...) {
        }
        if (step == Step::kRewrite && std::string(save.name) != "save") {
          ASSERT_GE(stopper.steps.size(), 2u);
          EXPECT_EQ(stopper.steps[stopper.steps.size() - 2], Step::kFlush)
              << "the journal is flushed before the rewrite";
        }
      }
      const std::vector<std::string> loaded = rowsOf(*openUsers(true));
      EXPECT_TRUE(loaded == before || loaded == after);
      EXPECT_EQ(loaded, after) << "every step named here comes after the append";
      EXPECT_EQ(rowsOf(*openUsers(true)), loaded);
    }
  }

  TestDataFolder data;
  RecordingMessageBox boxes;
  data.logIn("ALICE");
  GenObjectRef users = openUsers(false);
  for (int n = 0; n < 4; ++n) addUser(*users, "u" + std::to_string(n));
  users->SaveXMLDoc();
  const std::vector<std::string> before = rowsOf(*users);
  const std::string stored = data.raw(kDataFile);
  const std::string journalBefore = data.raw(kJournal);
  changeMany(*users);
  users->SaveXMLDoc();
  const std::vector<std::string> after = rowsOf(*users);
  const std::string journalAfter = data.raw(kJournal);
  for (std::size_t cut = journalBefore.size(); cut <= journalAfter.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    data.writeRaw(kDataFile, stored);
    data.writeRaw(kJournal, journalAfter.substr(0, cut));
    EXPECT_EQ(rowsOf(*openUsers(false)), cut == journalAfter.size() ? after : before);
  }
  EXPECT_TRUE(boxes.shown().empty());
}

// Random row changes, saves and folds (a small fold bound
// folds often too): every reload reads the rows the collection holds.
TEST(DataJournal, RandomChangesSavedAndFoldedReloadAsHeld) {
  unsigned seed = 20261207;
  if (const char* fixed = std::getenv("TAVINOR_JOURNAL_SEED")) seed = std::strtoul(fixed, nullptr, 10);
  std::printf("random seed %u (TAVINOR_JOURNAL_SEED replays it)\n", seed);
  std::mt19937 random(seed);
  const auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(random) < percent; };
  TestDataFolder data;
  RecordingMessageBox boxes;
  data.logIn("ALICE");
  const DataJournal::FoldBound foldBound(3000);
  GenObjectRef users = openUsers(true);
  std::vector<std::string> removed;
  int named = 0;
  for (int step = 0; step < 600; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    std::vector<std::string> uids;
    for (const pugi::xml_node row : users->XMLDocLinked()->rootElement().children()) {
      uids.push_back(row.attribute("UID").value());
    }
    const std::string some = uids.empty() ? "" : uids[random() % uids.size()];
    if (uids.size() < 3 || chance(25)) {
      addUser(*users, "n" + std::to_string(named++));
    } else if (!removed.empty() && chance(20)) {
      users->CreateNewRow(false, kUID);
      users->SetField(kUID, removed.back());
      users->SetField(kFirstName, "again" + std::to_string(step));
      users->AddCurrentRow();
      removed.pop_back();
    } else if (chance(25)) {
      users->Delete(false, kUID, some, false);
      removed.push_back(some);
    } else if (chance(30)) {
      users->PC_Init(false);
      users->PC_SelectSingleNode(kUID, some);
      users->AddRow(users->GetCurrent());
    } else {
      rename(*users, some, "r" + std::to_string(step));
    }
    if (chance(15)) continue;  // the next save holds this change too
    if (chance(5)) {
      users->FoldXMLDoc();
    } else {
      users->SaveXMLDoc();
    }
    if (step % 5 == 0) {
      ASSERT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
    }
  }
  EXPECT_TRUE(boxes.shown().empty());
}

// Every kind of row change, saved: once SaveXMLDoc returns, nothing it wrote
// waits for a sync, whether it started the journal, appended to it, or
// folded it. WriteXMLDoc leaves its append for flushWritten() or the next
// save.
TEST(DataJournal, EverySaveIsOnDiskWhenItReturns) {
  TestDataFolder data;
  RecordingMessageBox boxes;
  data.logIn("ALICE");
  const DataJournal::FoldBound foldBound(1500);
  GenObjectRef users = openUsers(true);
  for (int n = 0; n < 3; ++n) addUser(*users, "u" + std::to_string(n));
  users->FoldXMLDoc();
  SyncLedger ledger;
  const std::string journal = data.path(kJournal);
  int folds = 0;
  for (int step = 0; step < 40; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::string some =
        users->XMLDocLinked()->rootElement().first_child().attribute("UID").value();
    switch (step % 4) {
      case 0: addUser(*users, "n" + std::to_string(step)); break;
      case 1: rename(*users, some, "r" + std::to_string(step)); break;
      case 2:
        users->PC_Init(false);
        users->PC_SelectSingleNode(kUID, some);
        users->AddRow(users->GetCurrent());
        break;
      default: users->Delete(false, kFirstName, "n" + std::to_string(step - 3), false); break;
    }
    const bool existed = QFileInfo::exists(QString::fromStdString(journal));
    if (step % 5 == 4) {
      users->WriteXMLDoc();
      if (QFileInfo::exists(QString::fromStdString(journal)) && existed) {
        EXPECT_TRUE(ledger.unsynced(journal));
      }
      // Synced by the next save, even one with nothing new to write.
      if (step % 10 == 4) {
        DataJournal::flushWritten();
      } else {
        users->SaveXMLDoc();
      }
    } else {
      users->SaveXMLDoc();
    }
    folds += existed && !QFileInfo::exists(QString::fromStdString(journal)) ? 1 : 0;
    EXPECT_EQ(ledger.unsynced(), std::set<std::string>{});
    ASSERT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
  }
  EXPECT_GE(folds, 2) << "the bound folds the journal now and then";
  EXPECT_TRUE(boxes.shown().empty());
}

// With room on the disk for appends but not for rewriting the file, every
// save of a journal due by its size stores its rows and succeeds: the fold
// is tried again only once the journal has grown as much again, its failure
// is logged once, and once room returns the fold goes through; after it the
// journal is folded by its size again. Folds at once, and beside the event
// loop (where the journal set aside stays until a fold of it goes through).
TEST(DataJournal, ASaveWhoseAppendIsOnDiskSucceedsWhenItsFoldCannotBeWritten) {
  for (const bool besideTheLoop : {false, true}) {
    SCOPED_TRACE(besideTheLoop ? "folds beside the event loop" : "folds at once");
    TestDataFolder data;
    RecordingMessageBox boxes;
    data.logIn("ALICE");
    GenObjectRef users = openUsers(true);
    for (int n = 0; n < 30; ++n) addUser(*users, "u" + std::to_string(n) + std::string(1000, 'x'));
    users->FoldXMLDoc();
    const std::size_t dataBytes = data.raw(kDataFile).size();
    ASSERT_GT(dataBytes, 20000u);
    constexpr std::size_t kBound = 600;
    const DataJournal::FoldBound foldBound(kBound);
    std::optional<BackgroundFold::Threshold> inSteps;
    if (besideTheLoop) inSteps.emplace(0, 8);
    const std::string journal = data.path(kJournal);
    const auto sizeOf = [](const std::string& path) {
      const QFileInfo file(QString::fromStdString(path));
      return file.exists() ? static_cast<std::size_t>(file.size()) : std::size_t{0};
    };
    // Every byte the journals hold, the one a fold set aside too.
    const auto journalBytes = [&] { return sizeOf(journal) + sizeOf(journal + ".fold"); };
    const auto logged = [&] {
      const std::string log = data.deciphered("TVRLOG.DAT");
      std::size_t lines = 0;
      for (const char* where : {"clsGenObject.SaveXMLDoc", "BackgroundFold"}) {
        for (std::size_t at = log.find(where); at != std::string::npos; at = log.find(where, at + 1)) ++lines;
      }
      return lines;
    };
    // The folds a save started, each run to its end.
    int folds = 0;
    const auto foldsStarted = [&] {
      if (!BackgroundFold::running(data.path(kDataFile))) return;
      ++folds;
      for (int turn = 0; BackgroundFold::running(data.path(kDataFile)); ++turn) {
        ASSERT_LT(turn, 10000) << "the fold never ends";
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      }
    };
    std::size_t appended = 0;
    {
      const std::size_t before = journalBytes();
      const FileSizeLimit full(12000);
      SyncLedger ledger;
      for (int save = 0; save < 40; ++save) {
        SCOPED_TRACE("save " + std::to_string(save));
        addUser(*users, "s" + std::to_string(save));
        if (save % 4 == 3) {
          EXPECT_EQ(errorNumberOf([&] { users->WriteXMLDoc(); }), 0);
          DataJournal::flushWritten();
        } else {
          EXPECT_EQ(errorNumberOf([&] { users->SaveXMLDoc(); }), 0);
        }
        foldsStarted();
        EXPECT_EQ(ledger.unsynced(), std::set<std::string>{});
        EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
      }
      appended = journalBytes() - before;
      EXPECT_GT(appended, 4 * kBound) << "the journal kept growing";
      EXPECT_EQ(data.raw(kDataFile).size(), dataBytes) << "no fold got through";
      EXPECT_EQ(logged(), 1u);
      if (besideTheLoop) {
        EXPECT_LE(static_cast<std::size_t>(folds), appended / kBound + 1) << "tried again before the journal grew";
      }
    }
    const auto folded = [&] {
      return !QFileInfo::exists(QString::fromStdString(journal)) &&
             !QFileInfo::exists(QString::fromStdString(journal + ".fold"));
    };
    for (int save = 0; save < 10 && !folded(); ++save) {
      addUser(*users, "room" + std::to_string(save));
      users->SaveXMLDoc();
      foldsStarted();
    }
    EXPECT_TRUE(folded()) << "folded once room returned";
    EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
    // From here on a fold comes whenever the journal passes its bound.
    for (int save = 0; save < 12; ++save) {
      SCOPED_TRACE("save with room " + std::to_string(save));
      addUser(*users, "later" + std::to_string(save));
      users->SaveXMLDoc();
      foldsStarted();
      EXPECT_LE(journalBytes(), kBound) << "a journal past its bound was not folded";
    }
    EXPECT_EQ(rowsOf(*openUsers(true)), rowsOf(*users));
    EXPECT_EQ(logged(), 1u);
    EXPECT_TRUE(boxes.shown().empty());
  }
}

// A journal is due to be folded once it outgrows 4 MiB and a sixteenth of
// its data file, whatever the file's size: one byte below, at, and one byte
// past the bound.
TEST(DataJournal, AJournalIsDueOncePastFourMebibytesAndASixteenthOfItsFile) {
  TestDataFolder data;
  const DataJournal journal(data.path(kDataFile), true);
  constexpr std::uint64_t kMiB = 1u << 20;
  for (const std::uint64_t dataSize : {std::uint64_t{0}, kMiB, 64 * kMiB, 64 * kMiB + 16, 100 * kMiB,
                                       std::uint64_t{1} << 30}) {
    const std::uint64_t bound = std::max(4 * kMiB, dataSize / 16);
    for (const std::uint64_t journalSize : {bound - 1, bound, bound + 1}) {
      EXPECT_EQ(journal.dueForFold(journalSize, dataSize), journalSize > bound)
          << journalSize << " beside " << dataSize;
    }
  }
}
