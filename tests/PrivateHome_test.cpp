// Every suite runs under a private home that its main() makes: every folder
// a test or the program could write to lies below one fresh temporary
// folder that is not the home of whoever runs the tests, and that folder is
// gone once the suite has ended.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <iostream>

namespace {

constexpr const char* kSays = "private home: ";

bool below(const QString& path, const QString& folder) {
  return QDir::cleanPath(path).startsWith(QDir::cleanPath(folder) + "/");
}

TEST(PrivateHome, EveryFolderLiesInIt) {
  const QString home = qEnvironmentVariable("HOME");
  const QString root = QFileInfo(home).absolutePath();
  std::cout << kSays << root.toStdString() << std::endl;
  ASSERT_TRUE(below(root, QDir::tempPath())) << root.toStdString();
  if (const passwd* entry = ::getpwuid(::getuid())) {
    EXPECT_FALSE(below(QString::fromLocal8Bit(entry->pw_dir), root) ||
                 below(root, QString::fromLocal8Bit(entry->pw_dir)))
        << root.toStdString();
  }
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                               "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "TAVINOR_DATA_ROOT",
                               "TAVINOR_REGISTRY_FILE"}) {
    EXPECT_TRUE(below(qEnvironmentVariable(variable), root)) << variable;
  }
  for (const auto location : {QStandardPaths::ConfigLocation, QStandardPaths::GenericDataLocation,
                              QStandardPaths::DocumentsLocation, QStandardPaths::CacheLocation}) {
    EXPECT_TRUE(below(QStandardPaths::writableLocation(location), home)) << location;
  }
}

// A suite run as a child gets a home of its own, removed when it ends.
TEST(PrivateHome, EachRunHasItsOwnAndLeavesNothing) {
  QProcess child;
  child.start(QCoreApplication::applicationFilePath(),
              {"--gtest_filter=PrivateHome.EveryFolderLiesInIt"});
  ASSERT_TRUE(child.waitForFinished(30000));
  const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
  ASSERT_EQ(child.exitCode(), 0) << out.toStdString();
  const qsizetype at = out.indexOf(kSays);
  ASSERT_GE(at, 0) << out.toStdString();
  const QString childRoot = out.mid(at + qsizetype(strlen(kSays))).section('\n', 0, 0);
  EXPECT_NE(childRoot, QFileInfo(qEnvironmentVariable("HOME")).absolutePath());
  EXPECT_FALSE(QFileInfo::exists(childRoot)) << childRoot.toStdString();
}

}  // namespace
