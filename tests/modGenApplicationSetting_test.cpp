#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>

#include "TvrError.h"
#include "modGenApplicationSetting.h"

using namespace modGenApplicationSetting;

namespace {

template <typename Body>
int errorNumberOf(Body&& body) {
  try {
    body();
  } catch (const TvrError& error) {
    return error.number();
  }
  return 0;
}

class FileSources : public ::testing::Test {
 protected:
  void SetUp() override {
    hadRoot_ = qEnvironmentVariableIsSet("TAVINOR_DATA_ROOT");
    saved_ = qgetenv("TAVINOR_DATA_ROOT");
    qputenv("TAVINOR_DATA_ROOT", "/srv/tavinor/data/");
  }
  void TearDown() override {
    if (hadRoot_) {
      qputenv("TAVINOR_DATA_ROOT", saved_);
    } else {
      qunsetenv("TAVINOR_DATA_ROOT");
    }
  }
  bool hadRoot_ = false;
  QByteArray saved_;
};

}  // namespace

TEST_F(FileSources, EveryKind) {
  const std::string res = QCoreApplication::applicationDirPath().toStdString() + "/Res";
  const std::string data = "/srv/tavinor/data";
  struct Case {
    int32_t kind;
    std::string folder, name;
  };
  const std::vector<Case> cases = {
      {0, res, "TVRRES01E.DAT"}, {1, res, "TVRHelp.chm"},  {2, data, "D000.Dat"},
      {3, res, "D000.Dat"},      {4, res, "TVRRMT01.DAT"}, {6, data, "D001.dat"},
      {7, data, "D010.dat"},     {8, data, "TVRLOG.DAT"},
  };
  for (const Case& c : cases) {
    const FileSourceInfo info = GetFileSourceFolder(c.kind, c.name, "");
    EXPECT_EQ(info.FolderPath, c.folder) << c.kind;
    EXPECT_EQ(info.FileName, c.name) << c.kind;
    EXPECT_EQ(info.FullPath, c.folder + "/" + c.name) << c.kind;
  }
  // Fixed kinds ignore the names they are given.
  EXPECT_EQ(GetFileSourceFolder(2, "other.dat", "sub").FullPath, data + "/D000.Dat");
}

TEST_F(FileSources, PerUserFilesAndTheAccountFolder) {
  FileSourceInfo info = GetFileSourceFolder(7, "D010.dat", "JOHN");
  EXPECT_EQ(info.FolderPath, "/srv/tavinor/data/JOHN");
  EXPECT_EQ(info.FullPath, "/srv/tavinor/data/JOHN/D010.dat");
  info = GetFileSourceFolder(7, "", "JOHN");
  EXPECT_EQ(info.FolderPath, "/srv/tavinor/data/JOHN");
  EXPECT_EQ(info.FileName, "");
}

TEST_F(FileSources, UnknownKindsGiveNoPath) {
  for (int32_t kind : {5, 9, -1}) {
    const FileSourceInfo info = GetFileSourceFolder(kind, "D001.dat", "JOHN");
    EXPECT_EQ(info.FullPath, "") << kind;
    EXPECT_EQ(info.FolderPath, "") << kind;
    EXPECT_EQ(info.FileName, "") << kind;
  }
}

TEST_F(FileSources, NamesNeverLeaveTheirFolder) {
  for (const char* bad : {"..", ".", "a/b", "..\\x", "../D001.dat"}) {
    EXPECT_EQ(errorNumberOf([&] { GetFileSourceFolder(7, "D010.dat", bad); }), kErrInvalidCall)
        << bad;
    EXPECT_EQ(errorNumberOf([&] { GetFileSourceFolder(7, bad, "JOHN"); }), kErrInvalidCall) << bad;
    EXPECT_EQ(errorNumberOf([&] { GetFileSourceFolder(6, bad, ""); }), kErrInvalidCall) << bad;
  }
  EXPECT_EQ(errorNumberOf([&] { GetFileSourceFolder(7, "D010.dat", std::string("A\0B", 3)); }),
            kErrInvalidCall);
  EXPECT_EQ(GetFileSourceFolder(7, "D010.dat", "..JOHN").FolderPath, "/srv/tavinor/data/..JOHN");
}

TEST_F(FileSources, DataFolderFallsBackToTheUsersDataFolder) {
  qunsetenv("TAVINOR_DATA_ROOT");
  const std::string expected =
      QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString() +
      "/Tavinor";
  EXPECT_EQ(CommonDataFolder(), expected);
  EXPECT_EQ(GetFileSourceFolder(8).FullPath, expected + "/TVRLOG.DAT");
}
