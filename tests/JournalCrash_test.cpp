// The data file journal survives SIGKILL: journal_writer saves numbered
// changes to a groups file one by one, with a small fold bound so that the
// file is rewritten every few saves, and is killed at random moments. After
// every kill the stored rows must be those of every step it reported saved,
// each exactly once, plus at most the step it was saving when it died.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "JournalSteps.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

constexpr const char* kWriterAddress = "127.0.0.43";
constexpr int kKills = 24;
constexpr int kMaxRunMs = 150;
constexpr int kStartLimitMs = 15000;
// Folds every few saves: the rows of a step take about 100 bytes.
constexpr const char* kFoldBound = "600";

std::vector<std::string> rowsOf(const clsGenObject& groups) {
  std::vector<std::string> rows;
  for (const pugi::xml_node row : groups.XMLDocLinked()->rootElement().children()) {
    rows.push_back(modGenFunctionsXML::XMLToString(row));
  }
  return rows;
}

// How the writer saves and folds.
struct Mode {
  const char* name;
  const char* foldSteps;  // rows a step of a fold beside the event loop; null: folds at once
  int stepsPerTurn;       // steps written a turn and synced by its commit; 0: each saved alone
};

class JournalCrashTest : public ::testing::Test {
 protected:
  void TearDown() override { writer_.kill(); }

  void start(const ProgramTestEnvironment& environment, const Mode& mode, int firstStep) {
    QProcessEnvironment variables = copyEnvironment(QString::fromStdString(environment.root()), kWriterAddress);
    variables.insert("TAVINOR_JOURNAL_BOUND", kFoldBound);
    if (mode.foldSteps != nullptr) variables.insert("TAVINOR_FOLD_STEPS", mode.foldSteps);
    if (mode.stepsPerTurn > 0) variables.insert("TAVINOR_TURN_STEPS", QString::number(mode.stepsPerTurn));
    writer_.start(builtProgram("tests/journal_writer"), {QString::number(firstStep)}, variables);
  }

  RecordingMessageBox boxes_;
  ChildProcess writer_;
};

// Each way of saving and folding: after every kill, the steps reported
// saved are stored, each exactly once, and at most the steps under way
// beyond them.
TEST_F(JournalCrashTest, EverySavedStepIsStoredExactlyOnceAfterEachKill) {
  unsigned seed = std::random_device{}();
  if (const char* fixed = std::getenv("TAVINOR_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
  std::printf("random seed %u (TAVINOR_CRASH_SEED replays it)\n", seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> runMs(0, kMaxRunMs);
  const Mode modes[] = {
      {"a save a step, folds at once", nullptr, 0},
      {"a save a step, folds beside the event loop", "64", 0},
      {"three steps a turn's commit, folds beside the event loop", "64", 3},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    const ProgramTestEnvironment environment;
    const std::string account = ProgramTestEnvironment::addAccount("JOURNAL", "pw");
    const std::string folder = environment.dataFolder() + "/JOURNAL";
    // What the stored rows must be: the steps applied in memory.
    const modGlobalFunctions::GenObjectRef model =
        modGlobalFunctions::CreateGenObject(modGlobalVariables::Group, account, false, false);
    model->XMLDocLinked(clsGenXMLDocument::create());
    ASSERT_TRUE(model->XMLDocLinked()->load("<TVR/>"));

    int next = 0;  // the first step not applied to the model
    int unsavedButStored = 0;
    int killsInFold = 0;
    std::string firstFile;
    for (int kill = 1; kill <= kKills; ++kill) {
      SCOPED_TRACE("kill " + std::to_string(kill));
      start(environment, mode, next);
      ASSERT_TRUE(writer_.waitFor("saved ", kStartLimitMs)) << writer_.out << writer_.errors();
      waitUntil([] { return false; }, runMs(random));
      writer_.kill();
      ASSERT_EQ(writer_.process.exitStatus(), QProcess::CrashExit) << writer_.errors();
      const int saved = std::stoi(writer_.lastValue("saved"));
      QDir data(QString::fromStdString(folder));
      const QStringList temporary = data.entryList({".D004.dat.tvrtmp-*"}, QDir::Files | QDir::Hidden);
      killsInFold += temporary.isEmpty() && !data.exists(".D004.dat.jnl.fold") ? 0 : 1;
      for (const QString& name : temporary) data.remove(name);

      while (next <= saved) JournalSteps::apply(*model, next++);
      const modGlobalFunctions::GenObjectRef stored =
          modGlobalFunctions::GetUserDataObject(modGlobalVariables::Group, account, true);
      // The steps under way when it died may have reached the disk.
      for (int beyond = 0; rowsOf(*stored) != rowsOf(*model) && beyond < std::max(1, mode.stepsPerTurn);
           ++beyond) {
        JournalSteps::apply(*model, next++);
        ++unsavedButStored;
      }
      ASSERT_EQ(rowsOf(*stored), rowsOf(*model)) << "after step " << saved;
      if (firstFile.empty()) firstFile = modGenFunctionsFile::ReadFileContent(folder + "/D004.dat");
    }
    EXPECT_TRUE(modGenFunctionsFile::ReadFileContent(folder + "/D004.dat") != firstFile) << "never folded";
    EXPECT_TRUE(QDir(QString::fromStdString(folder)).entryList({"*.bad-*"}).isEmpty());
    std::printf("%s: %d kills, %d steps saved, %d kills during a fold, %d steps under way stored\n", mode.name,
                kKills, next, killsInFold, unsavedButStored);
  }
  EXPECT_TRUE(boxes_.shown().empty());
}

}  // namespace
