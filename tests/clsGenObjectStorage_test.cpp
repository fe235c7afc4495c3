#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "ClassCounters.h"
#include "Clock.h"
#include "ErrorNumber.h"
#include "FileSizeLimit.h"
#include "MessageCenterServices.h"
#include "PeerConnections.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "SocketControl.h"
#include "TestDataFolder.h"
#include "TimerControl.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modWireFrames.h"

using namespace modGlobalVariables;
using modGlobalFunctions::CreateGenObject;
using modGlobalFunctions::GenObjectRef;
using modGlobalFunctions::GetUserDataObject;

namespace {

// The root element of an XML text.
struct Parsed {
  XMLDocumentRef document;
  pugi::xml_node root() const { return document ? document->rootElement() : pugi::xml_node(); }
};
Parsed parse(const std::string& text) {
  Parsed parsed;
  modGenFunctionsXML::XMLLoadFromString(parsed.document, text);
  return parsed;
}

// Every row of the collection as XML text, in order.
std::vector<std::string> rowsOf(clsGenObject& records) {
  std::vector<std::string> rows;
  const pugi::xml_node root = records.XMLDocLinked()->rootElement();
  for (pugi::xml_node row : root.children()) rows.push_back(modGenFunctionsXML::XMLToString(row));
  return rows;
}

QStringList filesIn(const std::string& folder) {
  return QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Fills every field of a new row with awkward text and adds it.
std::string addFullRow(clsGenObject& records, int32_t classType, int n) {
  const std::string uid = records.CreateNewRow(true, 0);
  for (int32_t field = 1; field < modGenGlobals::kFieldCount; ++field) {
    if (modGenGlobals::FieldNameTable[classType][field].empty()) break;
    records.SetField(field, "v" + std::to_string(n) + "-" + std::to_string(field) +
                                " <&>\"' é||%_CRLF_%||\t end");
  }
  records.AddCurrentRow();
  return uid;
}

class DataFiles : public ::testing::Test {
 protected:
  void TearDown() override { MessageCenterServices::Install({}); }

  TestDataFolder data_;
  RecordingMessageBox boxes_;
};

TEST_F(DataFiles, MissingFileIsCreatedEncipheredWithItsOwner) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef users = CreateGenObject(User, "", false, false);
  users->XMLDocLinked(clsGenXMLDocument::create());
  users->LoadXMLDoc(false);

  EXPECT_TRUE(users->IsLoaded());
  EXPECT_EQ(users->CountAll(), 0);
  const std::string raw = data_.raw("ALICE/D010.dat");
  EXPECT_EQ(raw.find("TVR"), std::string::npos) << "stored enciphered";
  const Parsed file = parse(data_.deciphered("ALICE/D010.dat"));
  EXPECT_STREQ(file.root().name(), "TVR");
  EXPECT_EQ(std::string(file.root().attribute("OU").value()), owner);
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(DataFiles, AccountsFileHasNoOwnerAndNeverShowsTheOwnerMessage) {
  GenObjectRef accounts = GetUserDataObject(LocalUser, "", true);
  const Parsed file = parse(data_.deciphered("D001.dat"));
  EXPECT_STREQ(file.root().name(), "TVR");
  EXPECT_FALSE(file.root().attribute("OU"));

  data_.writeRaw("D001.dat", GenEncryption().EncryptString("<TVR OU=\"SOMEONE\"><U UID=\"A\"/></TVR>"));
  GenObjectRef again = GetUserDataObject(LocalUser, "", true);
  EXPECT_EQ(again->CountAll(), 1);
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(DataFiles, EveryDataFileClassRoundTripsRowForRow) {
  const std::string owner = data_.logIn("ALICE");
  const std::vector<std::pair<int32_t, std::string>> files = {
      {User, "ALICE/D010.dat"},    {Group, "ALICE/D004.dat"},  {MessSent, "ALICE/D009.dat"},
      {MessRec, "ALICE/D008.dat"}, {MessHist, "ALICE/D006.dat"}, {LocalUser, "D001.dat"},
      {Action, "ALICE/D002.dat"},  {InstMess, "ALICE/D003.dat"}, {ActivityLog, "ALICE/D007.dat"}};
  for (const auto& [classType, file] : files) {
    SCOPED_TRACE(file);
    GenObjectRef written = GetUserDataObject(classType, owner, true);
    for (int n = 0; n < 3; ++n) {
      const std::string uid = addFullRow(*written, classType, n);
      if (classType == Group || classType == MessSent) {
        written->AddSubRow(0, uid, 0, "MEMBER-" + std::to_string(n));
        written->AddSubRow(0, uid, 0, "SECOND");
      }
    }
    written->SaveXMLDoc();
    EXPECT_EQ(data_.raw(file).find("v0-1"), std::string::npos) << "stored enciphered";

    GenObjectRef read = GetUserDataObject(classType, owner, true);
    EXPECT_EQ(rowsOf(*read), rowsOf(*written));
    EXPECT_EQ(read->CountAll(), classType == LocalUser ? 4 : 3);
  }
  EXPECT_TRUE(boxes_.shown().empty());
}

// The file is the document's XML text without declaration, each byte raised
// by its key (K0 K1 K2 K3 in turn, modulo 256) between the key bytes K0, K2,
// K1 in front and K3 at the end.
TEST_F(DataFiles, FileHoldsTheEncipheredXMLText) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef users = GetUserDataObject(User, owner, true);
  for (int n = 0; n < 20; ++n) addFullRow(*users, User, n);
  users->FoldXMLDoc();
  const std::string xml = modGenFunctionsXML::XMLToString(users->XMLDocLinked()->documentNode());
  ASSERT_EQ(xml.rfind("<TVR OU=\"" + owner + "\"><U UID=", 0), 0u);

  const std::string file = data_.raw("ALICE/D010.dat");
  ASSERT_EQ(file.size(), xml.size() + 4);
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(file[at]); };
  const unsigned keys[4] = {byte(0), byte(2), byte(1), byte(file.size() - 1)};
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < xml.size(); ++i) {
    if (byte(3 + i) != ((static_cast<unsigned char>(xml[i]) + keys[i % 4]) & 0xFF)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
}

TEST_F(DataFiles, FileOfAnotherOwnerIsKeptAsideAndReplacedOnce) {
  data_.logIn("ALICE");
  const std::string foreign =
      GenEncryption().EncryptString("<TVR OU=\"SOMEONE-ELSE\"><M UID=\"1\" CO=\"theirs\"/></TVR>");
  data_.writeRaw("ALICE/D008.dat", foreign);
  platform::setFixedTime(QDateTime(QDate(2024, 3, 9), QTime(14, 5, 7)));

  GenObjectRef received = CreateGenObject(MessRec, "", true, true);
  platform::clearFixedTime();

  EXPECT_EQ(received->CountAll(), 0);
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].text, "This data file belongs to another user.");
  EXPECT_EQ(boxes_.shown()[0].flags, platform::kMbInformation);
  EXPECT_EQ(boxes_.shown()[0].title, "Tavinor");
  EXPECT_EQ(data_.raw("ALICE/D008.dat.bad-20240309-140507"), foreign);
  EXPECT_EQ(std::string(parse(data_.deciphered("ALICE/D008.dat")).root().attribute("OU").value()),
            CurrentLocalUserUID);

  GenObjectRef second = CreateGenObject(MessRec, "", true, true);
  EXPECT_EQ(boxes_.shown().size(), 1u) << "the class document is loaded once";
}

// Work that a peer or a timer sets off never opens a box (its nested event
// loop would let other connections in under the handler): what a person
// would have seen is told in the events list and the error log. A person's
// own path still shows the box.
TEST_F(DataFiles, NoBoxOpensForWorkAPeerOrATimerSetsOff) {
  const std::string alice = data_.logIn("ALICE");
  const std::string carl = data_.addAccount("CARL");
  const std::string foreign =
      GenEncryption().EncryptString("<TVR OU=\"" + alice + "\"><U UID=\"BOB\" CS=\"1\"/></TVR>");
  std::vector<std::string> events;
  MessageCenterServices::Install(
      {[&](int32_t kind, const std::string& text, int32_t, const std::string&, const std::string&) {
         events.push_back(std::to_string(kind) + ":" + text);
       },
       [] {}});
  const ScopedEnv bind("TAVINOR_BIND_ADDRESS", "127.0.0.36");
  PeerConnections connections;
  ASSERT_TRUE(connections.StartListening()) << connections.LastListenError();
  const auto loadCarlsUsers = [&] { GetUserDataObject(User, carl, true); };
  const auto onTick = [](const std::function<void()>& work) {
    platform::TimerControl timer;
    bool ticked = false;
    QObject::connect(&timer, &platform::TimerControl::tick, [&] {
      timer.setEnabled(false);
      try {
        work();
      } catch (...) {
        // A tick ends its errors.
      }
      ticked = true;
    });
    timer.setInterval(1);
    timer.setEnabled(true);
    ASSERT_TRUE(ScriptedPeer::waitFor([&] { return ticked; }));
  };

  struct Row {
    const char* path;
    std::function<void()> run;
    std::string told;  // the box's text
    bool boxShown;
  };
  const std::vector<Row> rows = {
      {"a peer's request loads a file of another owner",
       [&] {
         QTcpSocket peer;
         peer.connectToHost("127.0.0.36", PeerConnections::kPeerPort);
         const std::string request = "<A UID=\"Q\" AT=\"300\" SUID=\"BOB\" RUID=\"" + carl +
                                     "\" V=\"1\" AZ=\"0\" TC=\"1\" RA=\"1\"/>";
         const std::string frames = modWireFrames::BuildFrames(request, true, true, 1, true);
         peer.write(frames.data(), static_cast<qint64>(frames.size()));
         ASSERT_TRUE(ScriptedPeer::waitFor([&] { return events.size() >= 2; }));
       },
       "This data file belongs to another user.", false},
      {"a timer tick loads a file of another owner", [&] { onTick(loadCarlsUsers); },
       "This data file belongs to another user.", false},
      {"a timer tick misuses a cursor",
       [&] { onTick([] { CreateGenObject(User, "", false, false)->PC_MoveNext(); }); },
       "Error CursorNotInitialized", false},
      {"a reply arriving on a connection of our own loads a file of another owner",
       [&] {
         platform::SocketControl own;
         bool arrived = false;
         QObject::connect(&own, &platform::SocketControl::dataArrival, [&] {
           if (std::exchange(arrived, true)) return;
           try {
             loadCarlsUsers();
           } catch (...) {
             // A socket event ends its errors.
           }
         });
         own.setRemoteHost("127.0.0.36");
         own.setRemotePort(PeerConnections::kPeerPort);
         own.Connect();
         ASSERT_TRUE(ScriptedPeer::waitFor([&] { return arrived; }));
       },
       "This data file belongs to another user.", false},
      {"work run at the next turn loads a file of another owner",
       [&] {
         QObject context;
         bool ran = false;
         platform::TimerControl::NextTurn(&context, [&] {
           ran = true;
           loadCarlsUsers();
         });
         ASSERT_TRUE(ScriptedPeer::waitFor([&] { return ran; }));
       },
       "This data file belongs to another user.", false},
      {"a person's own path", loadCarlsUsers, "This data file belongs to another user.", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    data_.writeRaw("CARL/D010.dat", foreign);
    modGlobalVariables::InitGlobalVariables();
    boxes_.clear();
    events.clear();
    row.run();
    if (row.boxShown) {
      ASSERT_EQ(boxes_.shown().size(), 1u);
      EXPECT_EQ(boxes_.shown()[0].text, row.told);
    } else {
      EXPECT_TRUE(boxes_.shown().empty());
      EXPECT_NE(std::find(events.begin(), events.end(), "6:" + row.told), events.end());
      EXPECT_NE(data_.deciphered("TVRLOG.DAT").find(row.told), std::string::npos);
    }
  }
}

TEST_F(DataFiles, DamagedFilesGiveAnEmptyCollectionAndAreKeptAside) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef good = GetUserDataObject(MessRec, owner, false);
  good->LoadXMLDoc(false);
  for (int n = 0; n < 50; ++n) addFullRow(*good, MessRec, n);
  good->FoldXMLDoc();
  const std::string whole = data_.raw("ALICE/D008.dat");
  GenObjectRef users = GetUserDataObject(User, owner, true);
  const std::string otherFile = data_.raw("ALICE/D010.dat");

  const std::vector<std::pair<std::string, std::string>> damages = {
      {"cut short", whole.substr(0, whole.size() / 2)},
      {"cut to three bytes", whole.substr(0, 3)},
      {"garbage", std::string(5000, '\x9c')},
      {"plain text", "<TVR OU=\"" + owner + "\"/>"},
      {"no root", GenEncryption().EncryptString("just text")},
  };
  int expectedBackups = 0;
  for (const auto& [what, bytes] : damages) {
    SCOPED_TRACE(what);
    data_.writeRaw("ALICE/D008.dat", bytes);
    platform::setFixedTime(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)));
    GenObjectRef read = GetUserDataObject(MessRec, owner, true);
    platform::clearFixedTime();
    EXPECT_TRUE(read->IsLoaded());
    EXPECT_EQ(read->CountAll(), 0);
    EXPECT_EQ(std::string(parse(data_.deciphered("ALICE/D008.dat")).root().attribute("OU").value()), owner);
    ++expectedBackups;
    const QStringList backups = filesIn(data_.path("ALICE")).filter(".bad-");
    ASSERT_EQ(backups.size(), expectedBackups);
    EXPECT_EQ(data_.raw("ALICE/" + backups.last().toStdString()), bytes) << "kept byte for byte";
  }
  EXPECT_TRUE(filesIn(data_.path("ALICE")).contains("D008.dat.bad-20240102-030405-5"));
  EXPECT_EQ(data_.raw("ALICE/D010.dat"), otherFile) << "nothing beyond the damaged file is touched";
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(DataFiles, EmptyFileIsReplacedWithoutBackup) {
  const std::string owner = data_.logIn("ALICE");
  data_.writeRaw("ALICE/D003.dat", "");
  GenObjectRef presets = GetUserDataObject(InstMess, owner, true);
  EXPECT_EQ(presets->CountAll(), 0);
  EXPECT_EQ(filesIn(data_.path("ALICE")), QStringList{"D003.dat"});
}

TEST_F(DataFiles, UnreadableFileLeavesTheCollectionNotLoadedAndIsNeverOverwritten) {
  const std::string owner = data_.logIn("ALICE");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(data_.path("ALICE/D010.dat"))));
  GenObjectRef users = CreateGenObject(User, "", true, false);
  EXPECT_NE(errorNumberOf([&] { users->LoadXMLDoc(false); }), 0);
  EXPECT_FALSE(users->IsLoaded());
  EXPECT_FALSE(modGenGlobals::ClassDocLoaded[User]);
  users->SaveXMLDoc();
  EXPECT_TRUE(QFileInfo(QString::fromStdString(data_.path("ALICE/D010.dat"))).isDir());
}

TEST_F(DataFiles, LinkedClassLoadsOnceAndSavesOnlyAfterAChange) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef first = CreateGenObject(MessSent, "", true, true);
  addFullRow(*first, MessSent, 1);
  first->FoldXMLDoc();
  const std::string saved = data_.raw("ALICE/D009.dat");
  first->SaveXMLDoc();
  first->FoldXMLDoc();
  EXPECT_EQ(data_.raw("ALICE/D009.dat"), saved) << "no change, no write";

  data_.writeRaw("ALICE/D009.dat", GenEncryption().EncryptString("<TVR OU=\"" + owner + "\"/>"));
  GenObjectRef second = CreateGenObject(MessSent, "", true, false);
  second->LoadXMLDoc(false);
  EXPECT_EQ(second->CountAll(), 1) << "the loaded class document is not read again";
  second->LoadXMLDoc(true);
  EXPECT_EQ(first->CountAll(), 0) << "a forced load reads the file again for every instance";
}

TEST_F(DataFiles, UnchangedCollectionIsNeverWritten) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef presets = GetUserDataObject(InstMess, owner, true);
  const std::string before = data_.raw("ALICE/D003.dat");
  presets->SaveXMLDoc();
  presets->FoldXMLDoc();
  EXPECT_EQ(data_.raw("ALICE/D003.dat"), before);
}

TEST_F(DataFiles, UnloadedCollectionIsNeverWrittenOverItsFile) {
  data_.logIn("ALICE");
  GenObjectRef history = CreateGenObject(MessHist, "", true, true);
  addFullRow(*history, MessHist, 1);
  addFullRow(*history, MessHist, 2);
  history->SaveXMLDoc();
  const std::string saved = data_.raw("ALICE/D006.dat");

  GenObjectRef other = CreateGenObject(MessHist, "", true, false);
  other->UnloadXMLDoc();
  EXPECT_FALSE(history->IsLoaded());
  EXPECT_EQ(history->CountAll(), 0) << "every linked instance sees the bare root";
  history->SaveXMLDoc();
  other->SaveXMLDoc();
  EXPECT_EQ(data_.raw("ALICE/D006.dat"), saved);

  history->LoadXMLDoc(false);
  EXPECT_EQ(other->CountAll(), 2);
}

TEST_F(DataFiles, ChangesOfAFailedSaveAreWrittenByTheNextSave) {
  data_.logIn("ALICE");
  GenObjectRef sent = CreateGenObject(MessSent, "", true, true);
  addFullRow(*sent, MessSent, 1);
  {
    const FileSizeLimit full(0);
    EXPECT_NE(errorNumberOf([&] { sent->SaveXMLDoc(); }), 0);
  }
  sent->SaveXMLDoc();
  GenObjectRef read = GetUserDataObject(MessSent, CurrentLocalUserUID, true);
  EXPECT_EQ(rowsOf(*read), rowsOf(*sent));
}

TEST_F(DataFiles, RowsOfOneAccountNeverReplaceAnotherAccountsFile) {
  data_.logIn("ALICE");
  GenObjectRef alices = CreateGenObject(MessRec, "", true, true);
  addFullRow(*alices, MessRec, 1);
  const std::string bob = data_.addAccount("BOB");
  GetUserDataObject(MessRec, bob, true);
  const std::string bobsFile = data_.raw("BOB/D008.dat");

  GenObjectRef linkedForBob = CreateGenObject(MessRec, bob, true, true);
  EXPECT_EQ(linkedForBob->CountAll(), 1) << "the class document holds Alice's rows";
  addFullRow(*linkedForBob, MessRec, 2);
  EXPECT_EQ(errorNumberOf([&] { linkedForBob->SaveXMLDoc(); }), kErrInvalidCall);
  EXPECT_EQ(data_.raw("BOB/D008.dat"), bobsFile);
  alices->SaveXMLDoc();
  EXPECT_EQ(GetUserDataObject(MessRec, CurrentLocalUserUID, true)->CountAll(), 2);
}

TEST_F(DataFiles, LoadAndUnloadCountAsUpdatesOfALinkedClassOnly) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef sent = CreateGenObject(MessSent, "", true, false);
  Counters before = countersOf(MessSent);
  sent->LoadXMLDoc(false);
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{1, 0, 1, 0}));
  before = countersOf(MessSent);
  sent->LoadXMLDoc(false);  // already loaded: nothing read, nothing counted
  EXPECT_EQ(countersOf(MessSent), before);
  sent->UnloadXMLDoc();
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{1, 0, 1, 0}));

  before = countersOf(MessSent);
  GenObjectRef own = GetUserDataObject(MessSent, owner, true);
  own->UnloadXMLDoc();
  own->LoadXMLDoc(false);
  EXPECT_EQ(countersOf(MessSent), before);
}

TEST_F(DataFiles, LendingLock) {
  data_.logIn("ALICE");
  GenObjectRef users = CreateGenObject(User, "", true, false);
  EXPECT_FALSE(users->IsObjectLocked());
  users->GetExclusiveLock();
  EXPECT_TRUE(users->IsObjectLocked());
  users->ReleaseExclusiveLock();
  EXPECT_FALSE(users->IsObjectLocked());
}

// A child process saves a large data file over and over and is killed at
// random moments; after every kill the file loads whole, with every row.
TEST_F(DataFiles, KilledWhileSavingTheFileStillLoads) {
  const std::string owner = data_.logIn("ALICE");
  GenObjectRef received = GetUserDataObject(MessRec, owner, true);
  const std::string content(480, 'x');
  constexpr int kRows = 100000;  // about 50 MB of XML
  for (int n = 0; n < kRows; ++n) {
    received->CreateNewRow(true, 0);
    received->SetField(4, content);
    received->SetField(2, n);
    received->AddCurrentRow();
  }
  received->SaveXMLDoc();
  ASSERT_GT(data_.raw("ALICE/D008.dat").size(), 50'000'000u);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pause(20, 1500);
  std::uniform_int_distribution<int> intoWrite(0, 40);
  const auto writing = [&] { return !filesIn(data_.path("ALICE")).filter(".tvrtmp-").isEmpty(); };
  constexpr int kKills = 14;
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        // Each round folds, so that the whole file is rewritten every time.
        for (int round = 0;; ++round) {
          received->SetRowFieldByKey(2, 0, 4, "round " + std::to_string(round));
          received->FoldXMLDoc();
        }
      } catch (...) {
        ::_exit(1);
      }
    }
    if (kill % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    } else {
      // Every other kill lands while the file is being written.
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!writing() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(intoWrite(random)));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped saving by itself";

    GenObjectRef read = GetUserDataObject(MessRec, owner, true);
    ASSERT_EQ(read->CountAll(), kRows) << "after kill " << kill;
    // A killed save may leave its hidden temporary file behind.
    for (const QString& left : filesIn(data_.path("ALICE")).filter(".tvrtmp-")) {
      QFile::remove(QString::fromStdString(data_.path("ALICE/")) + left);
    }
  }
  EXPECT_TRUE(filesIn(data_.path("ALICE")).filter(".bad-").isEmpty());
  EXPECT_TRUE(boxes_.shown().empty());
}

// However a load ends - no file, the file alone, the file with a journal
// that adds, changes, renames or removes rows, a damaged file beside its
// journal - the rows' UID index is ready when the load returns, and it
// finds every row where a walk over the rows finds it.
TEST_F(DataFiles, ALoadLeavesItsRowsIndexedByUID) {
  const std::string owner = data_.logIn("ALICE");
  std::vector<std::string> gone;
  const auto check = [&](const char* step) {
    SCOPED_TRACE(step);
    GenObjectRef read = GetUserDataObject(MessRec, owner, true);
    clsGenXMLDocument& document = *read->XMLDocLinked();
    EXPECT_TRUE(document.isIndexed("M", "UID"));
    int rows = 0;
    for (const pugi::xml_node row : document.rootElement().children("M")) {
      const char* uid = row.attribute("UID").value();
      EXPECT_EQ(document.firstRowWhere("M", "UID", uid),
                document.rootElement().find_child_by_attribute("M", "UID", uid));
      ++rows;
    }
    EXPECT_EQ(rows, read->CountAll());
    for (const std::string& uid : gone) EXPECT_FALSE(document.firstRowWhere("M", "UID", uid)) << uid;
  };
  check("no file");
  GenObjectRef writer = GetUserDataObject(MessRec, owner, true);
  std::vector<std::string> uids;
  for (int n = 0; n < 5; ++n) uids.push_back(addFullRow(*writer, MessRec, n));
  writer->FoldXMLDoc();
  check("the file alone");
  addFullRow(*writer, MessRec, 5);
  writer->SaveXMLDoc();
  check("a row added through the journal");
  writer->SetRowFieldByKey(0, uids[1], 4, "changed");
  writer->SaveXMLDoc();
  check("a row changed through the journal");
  writer->SetRowFieldByKey(0, uids[2], 0, "RENAMED-ROW");
  gone.push_back(uids[2]);
  writer->SaveXMLDoc();
  check("a row renamed through the journal");
  writer->Delete(false, 0, uids[3], false);
  gone.push_back(uids[3]);
  writer->SaveXMLDoc();
  check("a row removed through the journal");
  {
    QFile file(QString::fromStdString(data_.path("ALICE/D008.dat")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("not a data file");
  }
  check("a damaged file beside its journal");
}

}  // namespace
