#include "AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

std::string contentOf(const std::string& path) {
  QFile file(QString::fromStdString(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
}

QStringList entriesOf(const QTemporaryDir& dir) {
  return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

}  // namespace

TEST(AtomicFile, ReplacesTheWholeFileWithTheGivenMode) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/f.dat";
  ASSERT_FALSE(platform::replaceFile(path, std::string("one\0two", 7)));
  EXPECT_EQ(contentOf(path), std::string("one\0two", 7));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(modeOf(path) & 0777, 0666 & ~mask);

  ASSERT_FALSE(platform::replaceFile(path, "", 0600));
  EXPECT_EQ(contentOf(path), "");
  EXPECT_EQ(modeOf(path) & 0777, 0600u);
  EXPECT_EQ(entriesOf(dir), QStringList{"f.dat"});
}

TEST(AtomicFile, ALinkIsReplacedNotWrittenThrough) {
  QTemporaryDir dir;
  const std::string target = dir.path().toStdString() + "/target";
  const std::string link = dir.path().toStdString() + "/link";
  ASSERT_FALSE(platform::replaceFile(target, "kept"));
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_FALSE(platform::replaceFile(link, "new"));
  EXPECT_EQ(contentOf(target), "kept");
  EXPECT_TRUE(S_ISREG(modeOf(link)));
  EXPECT_EQ(contentOf(link), "new");
}

TEST(AtomicFile, AFailedReplaceLeavesTheTargetAndNoTemporaryFile) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString() + "/folder";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder + "/inside")));
  const auto failure = platform::replaceFile(folder, "x");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->step, "replace");
  EXPECT_EQ(failure->error, EISDIR);
  EXPECT_EQ(entriesOf(dir), QStringList{"folder"});

  const auto missing = platform::replaceFile(dir.path().toStdString() + "/none/f", "x");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->step, "create");
  EXPECT_EQ(missing->error, ENOENT);
}
