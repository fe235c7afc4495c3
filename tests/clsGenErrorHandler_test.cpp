#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "Clock.h"
#include "ScopedEnvironment.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctionsFile.h"

// The log goes to the test's own data folder, never to that of whoever runs
// the tests.
TEST(ErrorHandler, HandledIsAlwaysTrue) {
  QTemporaryDir root;
  const ScopedEnv dataRoot("TAVINOR_DATA_ROOT", root.path().toUtf8().constData());
  for (int writeLog : {0, -1}) {
    int handled = 0;
    GenErrorHandler().HandleError(5, "src", "desc", writeLog, -1, 0, "", 0, handled);
    EXPECT_EQ(handled, -1);
  }
  EXPECT_TRUE(modGenFunctionsFile::FileExists(root.path().toStdString() + "/TVRLOG.DAT"));
}

TEST(ErrorHandler, LogLineFormat) {
  platform::setFixedTime(QDateTime(QDate(2025, 3, 9), QTime(7, 5, 1)));
  EXPECT_EQ(formatErrorLogLine("-S->", 5, "Invalid call", true),
            "2025-03-09 07:05:01 -S->  5 Invalid call");
  EXPECT_EQ(formatErrorLogLine("-S->", -2147221504, "Negative", true),
            "2025-03-09 07:05:01 -S-> -2147221504 Negative");
  EXPECT_EQ(formatErrorLogLine("-S->", 0, "No number", false), "-S-> No number");
  platform::clearFixedTime();
}

namespace {
int levelTwo() { throw TvrError(kErrObjectNotSet, "", "Object variable not set"); }
int levelOne() {
  try {
    return levelTwo();
  } catch (...) {
    raiseAgain("modA.LevelOne");
  }
}
bool clickHandler() {
  try {
    levelOne();
    return true;
  } catch (...) {
    endError("frmX.cmd_Click");
    return false;
  }
}
}  // namespace

TEST(ErrorHandler, ErrorClimbsToTheEventHandlerAndStops) {
  try {
    levelOne();
    FAIL() << "no error raised";
  } catch (const TvrError& error) {
    EXPECT_EQ(error.number(), kErrObjectNotSet);
    EXPECT_EQ(error.source(), "modA.LevelOne");
  }
  EXPECT_FALSE(clickHandler());
}

TEST(ErrorHandler, StandardExceptionsBecomeNumberedErrors) {
  try {
    try {
      throw std::out_of_range("index");
    } catch (...) {
      raiseAgain("modB.Read");
    }
  } catch (const TvrError& error) {
    EXPECT_EQ(error.number(), kErrSubscript);
    EXPECT_EQ(error.source(), "modB.Read");
  }
}

TEST(ErrorHandler, LogLinesAreAppendedEnciphered) {
  QTemporaryDir root;
  const ScopedEnv dataRoot("TAVINOR_DATA_ROOT", root.path().toUtf8().constData());
  const std::string log = root.path().toStdString() + "/TVRLOG.DAT";
  platform::setFixedTime(QDateTime(QDate(2025, 3, 9), QTime(7, 5, 1)));
  int handled = 0;

  GenErrorHandler().HandleError(5, "modA.Proc", "Invalid call", 0, -1, 0, "", 0, handled);
  EXPECT_FALSE(modGenFunctionsFile::FileExists(log));

  GenErrorHandler().HandleError(5, "modA.Proc", "Invalid call", -1, -1, 0, "", 0, handled);
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(log, true), "2025-03-09 07:05:01 -modA.Proc->  5 Invalid call");

  GenErrorHandler().HandleError(0, "frmB.Click", "No number", -1, 0, 0, "", 0, handled);
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(log, true),
            "2025-03-09 07:05:01 -modA.Proc->  5 Invalid call\r\n-frmB.Click-> No number");
  EXPECT_EQ(handled, -1);

  platform::clearFixedTime();
}

TEST(ErrorHandler, AnUnwritableLogIsPassedOver) {
  QTemporaryDir root;
  // The log's path is taken by a folder, so the log cannot be written.
  QDir(root.path()).mkdir("TVRLOG.DAT");
  const ScopedEnv dataRoot("TAVINOR_DATA_ROOT", root.path().toUtf8().constData());
  int handled = 0;
  GenErrorHandler().HandleError(5, "modA.Proc", "Invalid call", -1, -1, 0, "", 0, handled);
  EXPECT_EQ(handled, -1);
  EXPECT_THROW(GenErrorHandler().WriteErrorLog("-modA.Proc->", 5, "Invalid call", -1), TvrError);
}
