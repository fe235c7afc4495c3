// The data file journal survives SIGKILL: journal_writer saves numbered
// changes to a groups file one by one, with a small fold bound so that the
// file is rewritten every few saves, and is killed at random moments. After
// every kill the stored rows must be those of every step it reported saved,
// each exactly once, plus at most the step it was saving when it died.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
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
constexpr int kKills = 36;
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

class JournalCrashTest : public ::testing::Test {
 protected:
  void TearDown() override { writer_.kill(); }

  void start(int firstStep) {
    QProcessEnvironment environment =
        copyEnvironment(QString::fromStdString(environment_.root()), kWriterAddress);
    environment.insert("TAVINOR_JOURNAL_BOUND", kFoldBound);
    writer_.start(builtProgram("tests/journal_writer"), {QString::number(firstStep)}, environment);
  }

  ProgramTestEnvironment environment_;
  RecordingMessageBox boxes_;
  ChildProcess writer_;
};

TEST_F(JournalCrashTest, EverySavedStepIsStoredExactlyOnceAfterEachKill) {
  const std::string account = ProgramTestEnvironment::addAccount("JOURNAL", "pw");
  const std::string folder = environment_.dataFolder() + "/JOURNAL";
  // What the stored rows must be: the steps applied in memory.
  const modGlobalFunctions::GenObjectRef model =
      modGlobalFunctions::CreateGenObject(modGlobalVariables::Group, account, false, false);
  model->XMLDocLinked(clsGenXMLDocument::create());
  ASSERT_TRUE(model->XMLDocLinked()->load("<TVR/>"));

  unsigned seed = std::random_device{}();
  if (const char* fixed = std::getenv("TAVINOR_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
  std::printf("random seed %u (TAVINOR_CRASH_SEED replays it)\n", seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> runMs(0, kMaxRunMs);

  int next = 0;  // the first step not applied to the model
  int unsavedButStored = 0;
  int killsInFold = 0;
  std::string firstFile;
  for (int kill = 1; kill <= kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    start(next);
    ASSERT_TRUE(writer_.waitFor("saved ", kStartLimitMs)) << writer_.out << writer_.errors();
    waitUntil([] { return false; }, runMs(random));
    writer_.kill();
    ASSERT_EQ(writer_.process.exitStatus(), QProcess::CrashExit) << writer_.errors();
    const int saved = std::stoi(writer_.lastValue("saved"));
    const QStringList temporary = QDir(QString::fromStdString(folder))
                                      .entryList({".D004.dat.tvrtmp-*"}, QDir::Files | QDir::Hidden);
    killsInFold += temporary.isEmpty() ? 0 : 1;
    for (const QString& name : temporary) QDir(QString::fromStdString(folder)).remove(name);

    while (next <= saved) JournalSteps::apply(*model, next++);
    const modGlobalFunctions::GenObjectRef stored =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::Group, account, true);
    if (rowsOf(*stored) != rowsOf(*model)) {
      // The step under way when it died may have reached the disk.
      JournalSteps::apply(*model, next++);
      ++unsavedButStored;
    }
    ASSERT_EQ(rowsOf(*stored), rowsOf(*model)) << "after step " << saved;
    if (firstFile.empty()) firstFile = modGenFunctionsFile::ReadFileContent(folder + "/D004.dat");
  }
  EXPECT_NE(modGenFunctionsFile::ReadFileContent(folder + "/D004.dat"), firstFile) << "never folded";
  EXPECT_TRUE(QDir(QString::fromStdString(folder)).entryList({"*.bad-*"}).isEmpty());
  EXPECT_TRUE(boxes_.shown().empty());
  std::printf("%d kills, %d steps saved, %d kills during a fold, %d with the step under way stored\n",
              kKills, next, killsInFold, unsavedButStored);
}

}  // namespace
