#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "RegistryStore.h"
#include "TvrError.h"
#include "clsGenRegistryManager.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"

using namespace modGenApplicationSetting;

namespace {

class FileSources : public ::testing::Test {
 protected:
  ScopedEnv dataRoot_{"TAVINOR_DATA_ROOT", "/srv/tavinor/data/"};
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

TEST_F(FileSources, UnknownKindsGiveNoFolderAndNoName) {
  for (int32_t kind : {5, 9, -1}) {
    const FileSourceInfo info = GetFileSourceFolder(kind, "D001.dat", "JOHN");
    EXPECT_EQ(info.FolderPath, "") << kind;
    EXPECT_EQ(info.FileName, "") << kind;
    EXPECT_EQ(info.FullPath, "/") << kind;
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

TEST(DataFolder, WithoutADataRootItLiesInTheCommonApplicationData) {
  const ScopedEnv noRoot("TAVINOR_DATA_ROOT", nullptr);
  const std::string expected =
      QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString() +
      "/Morvane/Tavinor/Data";
  EXPECT_EQ(CommonDataFolder(), expected);
  EXPECT_EQ(GetFileSourceFolder(8).FullPath, expected + "/TVRLOG.DAT");
}

TEST(RequiredFiles, FirstRunCopiesTheSettingsTemplateIntoANewFolder) {
  QTemporaryDir folder;
  const std::string data = folder.path().toStdString() + "/new/data";
  const ScopedEnv root("TAVINOR_DATA_ROOT", data.c_str());
  RecordingMessageBox boxes;
  const std::string shipped =
      modGenFunctionsFile::ReadFileContent(GetFileSourceFolder(kSettingsTemplate).FullPath);
  ASSERT_FALSE(shipped.empty());

  EXPECT_FALSE(CheckRequiredFiles());
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(data + "/D000.Dat"), shipped);

  // An existing settings document is never replaced by the template.
  modGenFunctionsFile::SaveFileContent(data, "D000.Dat", "kept");
  EXPECT_FALSE(CheckRequiredFiles());
  EXPECT_EQ(modGenFunctionsFile::ReadFileContent(data + "/D000.Dat"), "kept");
  EXPECT_TRUE(boxes.shown().empty());
}

TEST(StartAtLogon, RunValueAndAutostartEntryFollowTheMode) {
  QTemporaryDir folder;
  const std::string root = folder.path().toStdString();
  const ScopedEnv registryFile("TAVINOR_REGISTRY_FILE", (root + "/registry.json").c_str());
  const ScopedEnv configHome("XDG_CONFIG_HOME", (root + "/config").c_str());
  const std::string entry = root + "/config/autostart/Tavinor.desktop";
  const std::string program = QCoreApplication::applicationFilePath().toStdString();
  const std::string run = platform::kRunKeyPath;
  clsGenRegistryManager registry;
  auto runValue = [&](const std::string& key) {
    return std::get<std::string>(registry.QueryValue(kHkeyCurrentUser, key, "Tavinor", "<none>"));
  };

  // RunOnce holds the value but starts nothing at every log-on.
  SetStartAtLogon(0);
  EXPECT_EQ(runValue(run + "Once"), program);
  EXPECT_EQ(runValue(run), "<none>");
  EXPECT_FALSE(modGenFunctionsFile::FileExists(entry));

  SetStartAtLogon(1);
  EXPECT_EQ(runValue(run), program);
  const std::string desktopEntry = modGenFunctionsFile::ReadFileContent(entry);
  EXPECT_NE(desktopEntry.find("Exec=\"" + program + "\""), std::string::npos) << desktopEntry;

  // Modes the program does not know change nothing.
  for (const int16_t mode : {-1, 3}) SetStartAtLogon(mode);
  EXPECT_EQ(runValue(run), program);

  SetStartAtLogon(2);
  EXPECT_EQ(runValue(run), "<none>");
  EXPECT_FALSE(modGenFunctionsFile::FileExists(entry));
  EXPECT_EQ(runValue(run + "Once"), program);

  // Nothing left to delete is the registry's error, raised to the caller.
  EXPECT_EQ(errorNumberOf([] { SetStartAtLogon(2); }), kRegistryError);
}
