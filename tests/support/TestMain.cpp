// Entry point of every test suite: a private home for the whole process
// (PrivateHome), a QApplication (offscreen unless a display is asked for)
// so that widgets, timers and sockets work, then every GoogleTest case.
// Started by hand instead of by ctest, a suite finds the build folder
// (TAVINOR_TEST_BINARY_DIR) as the parent of its own folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

#include "DataJournal.h"
#include "PrivateHome.h"
#include "TurnCommit.h"

namespace {

// What one test leaves set in the process (a journal's fold bound or step
// hook after a failed assertion, journals and work waiting for their sync)
// never reaches the next.
class ProcessStateReset : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    TurnCommit::resetProcessState();
    DataJournal::resetProcessState();
  }
};

}  // namespace

int main(int argc, char** argv) {
  const PrivateHome home;
  if (!home.ok()) {
    std::fputs("cannot make a private home folder for the tests\n", stderr);
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("TAVINOR_TEST_BINARY_DIR")) {
    const QDir suiteFolder = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteDir();
    qputenv("TAVINOR_TEST_BINARY_DIR", QDir::cleanPath(suiteFolder.absoluteFilePath("..")).toLocal8Bit());
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ProcessStateReset);
  return RUN_ALL_TESTS();
}
