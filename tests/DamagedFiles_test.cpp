// The program started in this process over data files that a crash or a
// failing disk damaged, and over what killed saves and transfers left behind.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <functional>
#include <string>
#include <vector>

#include "Clock.h"
#include "ModalDriver.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "StoredText.h"
#include "clsActionManager.h"
#include "clsGenEncryption.h"
#include "frmInternalServices.h"
#include "frmLogin.h"
#include "frmMessageCenter.h"
#include "frmOptions.h"
#include "modGenFunctionsFile.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

using LoadResult = frmMessageCenter::LoadResult;

namespace {

constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
// Bob's address; the queue only works when a test drives it.
constexpr const char* kBobAddress = "127.0.0.38";
constexpr const char* kSettings =
    "<TVR xmlns:TVR=\"urn:morvane:tavinor:settings\"><TVR:P NAME=\"PV\">1.0.0</TVR:P></TVR>";

std::string readBytes(const std::string& path) {
  QFile file(QString::fromStdString(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
}

void writeBytes(const std::string& path, const std::string& bytes) {
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Writes an enciphered data file whole with its journal folded in, so that
// damaging its bytes damages every row it holds.
void foldJournal(const std::string& path) {
  const DataJournal journal(path, true);
  if (!journal.exists()) return;
  writeBytes(path, GenEncryption().EncryptString(storedText(path, true)));
  journal.remove();
}

// Every file below `folder` whose name holds `mark`, relative to it.
std::string filesMarked(const std::string& folder, const QString& mark) {
  QStringList found;
  const QDir root(QString::fromStdString(folder));
  for (QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
       it.hasNext();) {
    if (it.next().contains(mark)) found << root.relativeFilePath(it.filePath());
  }
  found.sort();
  return found.join(", ").toStdString();
}

// Logs "ann" in; when the account is unknown its making is answered too.
void driveLogin(bool makesTheAccount) {
  onNextModal<frmLogin>([makesTheAccount](frmLogin* login) {
    control<QComboBox>(login, "cboUserName")->setEditText("ann");
    control<QLineEdit>(login, "txtPassword")->setText("pw");
    if (makesTheAccount) {
      onNextModal<frmOptions>([](frmOptions* options) {
        control<QLineEdit>(options, "txtFirstName")->setText("Ann");
        control<QLineEdit>(options, "txtLastName")->setText("Lee");
        control<QPushButton>(options, "cmdOK")->click();
      });
    }
    control<QPushButton>(login, "cmdOK")->click();
  });
}

class DamagedFiles : public ::testing::Test {
 protected:
  void TearDown() override { platform::clearFixedTime(); }

  // Ann's account with Bob in her users, a received message and a delivery
  // to Bob waiting in her queue, and the settings of an earlier run.
  std::string prepare(const ProgramTestEnvironment& environment) {
    const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    ProgramTestEnvironment::addPerson(ann, kBob, "1", "Smith", "Bob", kBobAddress);
    const auto received =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, ann, true);
    message_ = received->CreateNewRow(true, 0);
    received->AddCurrentRow();
    received->SaveXMLDoc();
    modGlobalVariables::CurrentLocalUserUID = ann;
    ActionManager().AddAction(1200, "MSG-1", kBob, "V", true, "", false, true, false);
    ReleaseActionManager();
    modGlobalVariables::CurrentLocalUserUID.clear();
    modGenFunctionsFile::SaveFileContent(environment.dataFolder(), "D000.Dat", kSettings, true);
    return ann;
  }

  // "AS" of the queued delivery, "gone" when it left the queue; with tryIt,
  // once the queue has tried it.
  static std::string delivery(bool tryIt) {
    clsActionManager& queue = ActionManager();
    if (tryIt) {
      queue.ManageActionQueue();
      EXPECT_TRUE(ScriptedPeer::waitFor([&] { return !queue.IsBusy(); }, 15000));
    }
    const pugi::xml_node row = queue.Actions().XMLDocLinked()->rootElement().child("A");
    return row ? row.attribute("AS").value() : "gone";
  }

  frmInternalServices startupWindow_;
  ScopedEnv address_{"TAVINOR_BIND_ADDRESS", "127.0.0.37"};
  std::string message_;
};

}  // namespace

// Each damaged file is set aside under a name the person is told in the
// events list and the error log, the program starts, and nothing else is
// lost: the account keeps its identity (even when the accounts file is the
// damaged one), its users, messages and queued delivery, which is not given
// up because its recipient's row went with a damaged users file.
TEST_F(DamagedFiles, EachIsKeptAsideNamedToThePersonAndNothingElseIsLost) {
  struct Row {
    const char* file;  // relative to the data folder
    const char* told;  // the start of what the events list says
    // The file's journal is left beside it: its rows come through, and it
    // is kept aside with the file and named too.
    bool withJournal = false;
  };
  const std::vector<Row> rows = {
      {"D000.Dat", "The settings file "}, {"D001.dat", "The file of the local accounts "},
      {"ANN/D002.dat", "The data file "}, {"ANN/D008.dat", "The data file "},
      {"ANN/D010.dat", "The data file "}, {"ANN/D008.dat", "The data file ", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.file) + (row.withJournal ? " with its journal" : ""));
    ProgramTestEnvironment environment;
    RecordingMessageBox boxes(platform::kMbResultYes);
    // The delivery is queued before the file is damaged.
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(8, 59, 0)));
    const std::string ann = prepare(environment);
    const std::string file = row.file;
    if (!row.withJournal) foldJournal(environment.dataFolder() + "/" + file);
    const std::string damaged = readBytes(environment.dataFolder() + "/" + file).substr(0, 40);
    writeBytes(environment.dataFolder() + "/" + file, damaged);
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0)));
    const std::string kept = file + ".bad-20260302-090000";

    frmMessageCenter messageCenter;
    driveLogin(file == "D001.dat");
    ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
    ActionManager().tmrWinsockActionManager.blockSignals(true);

    // What the person is told, and the kept copy.
    const std::string keptName = kept.substr(kept.rfind('/') + 1);
    std::string told;
    for (const auto& item : messageCenter.ActivityItems()) {
      if (item.kind == 6 && item.subItem.find(keptName) != std::string::npos) told = item.subItem;
    }
    EXPECT_EQ(told.rfind(row.told, 0), 0u) << told;
    EXPECT_NE(told.find(environment.dataFolder() + "/" + file), std::string::npos) << told;
    EXPECT_NE(modGenFunctionsFile::ReadFileContent(environment.dataFolder() + "/TVRLOG.DAT", true)
                  .find(told),
              std::string::npos);
    EXPECT_EQ(readBytes(environment.dataFolder() + "/" + kept), damaged);
    const std::string keptJournal = file + ".jnl.bad-20260302-090000";
    EXPECT_EQ(filesMarked(environment.dataFolder(), ".bad-"),
              row.withJournal ? kept + ", " + keptJournal : kept)
        << "no other file was set aside";
    if (row.withJournal) {
      const std::string journalName = keptJournal.substr(keptJournal.rfind('/') + 1);
      bool journalTold = false;
      for (const auto& item : messageCenter.ActivityItems()) {
        journalTold = journalTold || (item.kind == 6 && item.subItem.find(journalName) != std::string::npos);
      }
      EXPECT_TRUE(journalTold);
    }
    EXPECT_EQ(boxes.shown().size(), file == "D001.dat" ? 1u : 0u)
        << "only the question to make the account";

    // Nothing else is lost.
    EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, ann);
    const auto users = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, ann, true);
    EXPECT_EQ(users->GetRowFieldByKey(0, kBob, 0, false), file == "ANN/D010.dat" ? "" : kBob);
    const auto received =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::MessRec, ann, true);
    EXPECT_EQ(received->GetRowFieldByKey(0, message_, 0, false),
              file == "ANN/D008.dat" && !row.withJournal ? "" : message_);
    EXPECT_EQ(delivery(false), file == "ANN/D002.dat" ? "gone" : "10");
    if (file == "ANN/D010.dat") {
      EXPECT_EQ(delivery(true), "50") << "waits for Bob to come back";
    }
    messageCenter.Form_Unload();
    const std::string settings =
        modGenFunctionsFile::ReadFileContent(environment.dataFolder() + "/D000.Dat", true);
    EXPECT_NE(settings.find("<TVR:P NAME=\"LLU\">" + ann + "<"), std::string::npos) << settings;
    platform::clearFixedTime();
  }
}

// What killed saves (".<name>.tvrtmp-<n>") and killed transfers
// (".<name>.tvrpart-<id>") left goes at the next start, in the data folder,
// the account folders and the upload folder; nothing else goes, nothing a
// running transfer holds, nothing outside those folders or behind a link.
TEST_F(DamagedFiles, LeftoversOfKilledSavesAndTransfersGoAtTheNextStart) {
  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
  prepare(environment);
  const std::string data = environment.dataFolder();
  const std::string upload = environment.documentsFolder() + "/Tavinor/ANN/Transferts";
  const std::string outside = environment.documentsFolder() + "/elsewhere";
  for (const std::string& folder : {upload + "/from bob", outside}) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  }
  ASSERT_TRUE(
      QFile::link(QString::fromStdString(outside), QString::fromStdString(upload + "/link")));
  const std::vector<std::string> leftovers = {
      data + "/.D001.dat.tvrtmp-4242", data + "/.TVRLOG.DAT.tvrtmp-1",
      data + "/ANN/.D010.dat.tvrtmp-99", upload + "/.a.txt.tvrpart-abcdefghij",
      upload + "/from bob/.b b.txt.tvrpart-0123456789"};
  const std::vector<std::string> kept = {
      data + "/D001.dat.tvrtmp-5", data + "/.notes.tvrtmp-12x", data + "/ANN/.D010.dat.tvrtmp-",
      data + "/.hidden", upload + "/.held.txt.tvrpart-held012345", upload + "/.d.txt.tvrpart-short",
      upload + "/e.txt", outside + "/.f.txt.tvrpart-abcdefghij", outside + "/.g.tvrtmp-1"};
  for (const std::string& path : leftovers) writeBytes(path, "left");
  for (const std::string& path : kept) writeBytes(path, "kept");
  // A transfer of another copy that shares the upload folder holds its file.
  QFile held(QString::fromStdString(upload + "/.held.txt.tvrpart-held012345"));
  ASSERT_TRUE(held.open(QIODevice::ReadOnly));
  ASSERT_EQ(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);

  frmMessageCenter messageCenter;
  driveLogin(false);
  ASSERT_EQ(messageCenter.Form_Load(), LoadResult::kRunning);
  messageCenter.Form_Unload();

  for (const std::string& path : leftovers) EXPECT_EQ(readBytes(path), "<missing>") << path;
  for (const std::string& path : kept) EXPECT_EQ(readBytes(path), "kept") << path;
  EXPECT_TRUE(boxes.shown().empty());
}
