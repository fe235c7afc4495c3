#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <functional>

#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"

using namespace modGenFunctionsFile;

namespace {

std::string pathIn(const QTemporaryDir& dir, const std::string& relative = {}) {
  return dir.path().toStdString() + (relative.empty() ? "" : "/" + relative);
}

std::string rawContent(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

void writeRaw(const std::string& path, const std::string& bytes) {
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

QStringList entriesOf(const std::string& folder) {
  return QDir(QString::fromStdString(folder))
      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

void makeFiles(const std::string& folder, int count) {
  QDir().mkpath(QString::fromStdString(folder));
  for (int i = 0; i < count; ++i) writeRaw(folder + "/f" + std::to_string(1000 + i) + ".txt", "x");
}

// Runs `act` on the file dialog once it is shown.
void onNextDialog(const std::function<void(QFileDialog*)>& act) {
  QTimer::singleShot(0, [act] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      onNextDialog(act);
      return;
    }
    act(dialog);
  });
}

}  // namespace

TEST(modGenFunctionsFile, SaveAndReadWholeFiles) {
  QTemporaryDir dir;
  const std::string folder = pathIn(dir, "a/b/c");
  std::string bytes("plain\0text\r\n\xFF\xE9", 14);
  EXPECT_TRUE(SaveFileContent(folder, "x.dat", bytes));  // every missing level is created
  EXPECT_EQ(rawContent(folder + "/x.dat"), bytes);
  EXPECT_EQ(ReadFileContent(folder + "/x.dat"), bytes);

  EXPECT_TRUE(SaveFileContent(folder + "/", "y.dat", bytes, true));
  const std::string stored = rawContent(folder + "/y.dat");
  EXPECT_EQ(stored.size(), bytes.size() + 4);
  EXPECT_NE(stored.substr(3, bytes.size()), bytes);
  EXPECT_EQ(ReadFileContent(folder + "/y.dat", true), bytes);

  writeRaw(folder + "/empty.dat", "");
  EXPECT_EQ(ReadFileContent(folder + "/empty.dat"), "");
  EXPECT_EQ(ReadFileContent(folder + "/empty.dat", true), "");
  EXPECT_EQ(ReadFileContent(folder + "/missing.dat"), "");
  EXPECT_EQ(ReadFileContent(folder + "/missing.dat", true), "");
  EXPECT_EQ(ReadFileContent(folder), "");  // a folder is not a file
}

TEST(modGenFunctionsFile, SaveReplacesAReadOnlyFileAndKeepsABackupWhenAsked) {
  QTemporaryDir dir;
  const std::string path = pathIn(dir, "r.dat");
  writeRaw(path, "old");
  ::chmod(path.c_str(), 0444);
  EXPECT_TRUE(SaveFileContent(pathIn(dir), "r.dat", "new"));
  EXPECT_EQ(rawContent(path), "new");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IWUSR, 0u);

  EXPECT_TRUE(SaveFileContent(pathIn(dir), "r.dat", "newer", false, true));
  EXPECT_EQ(rawContent(path + ".bk"), "new");
  EXPECT_EQ(rawContent(path), "newer");
  EXPECT_EQ(entriesOf(pathIn(dir)), (QStringList{"r.dat", "r.dat.bk"}));
}

TEST(modGenFunctionsFile, FailedSaveKeepsTheOldContentAndLeavesNoTemporaryFile) {
  QTemporaryDir dir;
  const std::string path = pathIn(dir, "big.dat");
  const std::string old(1000, 'o');
  writeRaw(path, old);

  // A file-size limit makes the write itself fail half way.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int error = errorNumberOf([&] { SaveFileContent(pathIn(dir), "big.dat", std::string(1 << 20, 'n'), true); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(error, kErrDiskFull);
  EXPECT_EQ(rawContent(path), old);
  EXPECT_EQ(entriesOf(pathIn(dir)), QStringList{"big.dat"});

  // Large content saves whole once the limit is gone.
  const std::string large(8 << 20, 'L');
  EXPECT_TRUE(SaveFileContent(pathIn(dir), "big.dat", large, true));
  EXPECT_EQ(ReadFileContent(path, true), large);
  EXPECT_EQ(entriesOf(pathIn(dir)), QStringList{"big.dat"});
}

TEST(modGenFunctionsFile, NamesFromOutsideNeverLeaveTheirFolder) {
  QTemporaryDir dir;
  const std::string inner = pathIn(dir, "inner");
  for (const char* name : {"../escape.txt", "..\\escape.txt", "..", ".", "", "sub/x.txt"}) {
    EXPECT_EQ(errorNumberOf([&] { SaveFileContent(inner, name, "x"); }), kErrBadFileName) << name;
  }
  for (const bool encrypted : {true, false}) {
    EXPECT_EQ(errorNumberOf([&] { AppendLineToFile(inner, "../escape.txt", "x", encrypted); }), kErrBadFileName);
  }
  EXPECT_FALSE(QFile::exists(QString::fromStdString(pathIn(dir, "escape.txt"))));

  EXPECT_EQ(GetPathPart("..\\..\\etc/passwd", 0), "passwd");
  EXPECT_EQ(GetPathPart("a/..", 0), "");
  EXPECT_EQ(GetUniqueFileName(inner, "..\\..\\x.txt"), "x.txt");
  EXPECT_EQ(errorNumberOf([&] { GetUniqueFileName(inner, "../.."); }), kErrBadFileName);
  // Dots only before the last "." must not make a base name of "." or "..".
  EXPECT_EQ(GetPathPart("x/...", 1), "");
  EXPECT_EQ(GetPathPart("..x", 1), "");
  EXPECT_EQ(errorNumberOf([&] { GetUniqueFileName(inner, "..."); }), kErrBadFileName);
  EXPECT_EQ(GetUniqueFileName(inner, "..txt"), ".txt");
  EXPECT_EQ(confinedRelativePath("..\\docs/../sub//./x"), "docs/sub/x");
  EXPECT_EQ(confinedRelativePath("/etc"), "etc");
  EXPECT_EQ(confinedRelativePath(".."), "");
}

TEST(modGenFunctionsFile, PlainFileNames) {
  for (const char* plain : {"ANN", "a.txt", "..ANN", ".profile", "a b"}) {
    EXPECT_TRUE(isPlainFileName(plain)) << plain;
  }
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\\b"), std::string("ANN/"), std::string("A\0B", 3)}) {
    EXPECT_FALSE(isPlainFileName(name)) << name;
  }
}

TEST(modGenFunctionsFile, AppendedLogLines) {
  QTemporaryDir dir;
  const std::string folder = pathIn(dir, "log");
  AppendLineToFile(folder, "TVRLOG.DAT", "first", true);
  EXPECT_EQ(ReadFileContent(folder + "/TVRLOG.DAT", true), "first");
  AppendLineToFile(folder, "TVRLOG.DAT", "second", true);
  EXPECT_EQ(ReadFileContent(folder + "/TVRLOG.DAT", true), "first\r\nsecond");

  // A bounded log drops its oldest whole lines and keeps the newest.
  for (int n = 0; n < 40; ++n) AppendLineToFile(folder, "bounded.dat", "line " + std::to_string(n), true, false, 100);
  const std::string kept = ReadFileContent(folder + "/bounded.dat", true);
  EXPECT_LE(kept.size(), 100u);
  EXPECT_EQ(kept.rfind("line ", 0), 0u) << kept;
  EXPECT_EQ(kept.substr(kept.size() - 7), "line 39");

  AppendLineToFile(folder, "plain.txt", "one", false);
  AppendLineToFile(folder + "/", "plain.txt", "two", false);
  EXPECT_EQ(rawContent(folder + "/plain.txt"), "one\r\ntwo\r\n");
}

TEST(modGenFunctionsFile, FolderPaths) {
  QTemporaryDir dir;
  const std::string deep = pathIn(dir, "one/two/three/");
  CreateFolderPath(deep);
  EXPECT_TRUE(FolderExists(deep));
  CreateFolderPath(deep);  // existing levels are passed over
  EXPECT_TRUE(FolderExists(pathIn(dir, "one/two")));
  writeRaw(pathIn(dir, "file"), "x");
  EXPECT_NE(errorNumberOf([&] { CreateFolderPath(pathIn(dir, "file/sub")); }), 0);

  EXPECT_TRUE(FileExists("file", pathIn(dir)));
  EXPECT_TRUE(FileExists("file", pathIn(dir) + "/"));
  EXPECT_TRUE(FileExists(pathIn(dir, "file")));
  EXPECT_FALSE(FileExists("file", pathIn(dir, "nowhere")));
  EXPECT_FALSE(FileExists("one", pathIn(dir)));
  EXPECT_FALSE(FolderExists(pathIn(dir, "file")));
  EXPECT_FALSE(FolderExists(""));
}

TEST(modGenFunctionsFile, PathParts) {
  struct Case {
    const char* path;
    const char* name;
    const char* base;
    const char* extension;
    const char* parent;
  };
  const Case cases[] = {
      {"/x/docs/a.txt", "a.txt", "a", "txt", "/x/docs"},
      {"C:\\x\\a.tar.gz", "a.tar.gz", "a.tar", "gz", "C:\\x"},
      {"report", "report", "report", "", ""},
      {"/x/docs/", "docs", "docs", "", "/x"},
      {"/a.txt", "a.txt", "a", "txt", "/"},
      {".profile", ".profile", "", "profile", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPathPart(c.path, 0), c.name) << c.path;
    EXPECT_EQ(GetPathPart(c.path, 1), c.base) << c.path;
    EXPECT_EQ(GetPathPart(c.path, 2), c.extension) << c.path;
    EXPECT_EQ(GetPathPart(c.path, 3), c.parent) << c.path;
    EXPECT_EQ(GetPathPart(c.path, 4), "") << c.path;
  }
  for (int part = 0; part <= 3; ++part) EXPECT_EQ(GetPathPart("", part), "");
}

TEST(modGenFunctionsFile, UniqueFileNames) {
  QTemporaryDir dir;
  const std::string folder = pathIn(dir);
  EXPECT_EQ(GetUniqueFileName(folder, "a.txt"), "a.txt");
  writeRaw(pathIn(dir, "a.txt"), "");
  EXPECT_EQ(GetUniqueFileName(folder, "a.txt"), "a00001.txt");
  writeRaw(pathIn(dir, "a00001.txt"), "");
  EXPECT_EQ(GetUniqueFileName(folder, "a.txt"), "a00002.txt");
  writeRaw(pathIn(dir, "report"), "");
  EXPECT_EQ(GetUniqueFileName(folder, "report"), "report00001");
  EXPECT_EQ(GetUniqueFileName(pathIn(dir, "missing"), "a.txt"), "a.txt");
}

TEST(modGenFunctionsFile, DeletionsOfFilesAndFolders) {
  QTemporaryDir dir;
  QTemporaryDir outside;
  writeRaw(pathIn(outside, "keep.txt"), "keep");
  makeFiles(pathIn(dir, "tree/ro"), 2);
  ::chmod(pathIn(dir, "tree/ro/f1000.txt").c_str(), 0444);
  ::chmod(pathIn(dir, "tree/ro").c_str(), 0555);
  ASSERT_EQ(::symlink(pathIn(outside).c_str(), pathIn(dir, "tree/link").c_str()), 0);

  DeleteFileIfExists(pathIn(dir, "tree/ro/f1000.txt"));
  EXPECT_FALSE(FileExists(pathIn(dir, "tree/ro/f1000.txt")));
  DeleteFileIfExists(pathIn(dir, "tree/none.txt"));
  DeleteFileIfExists(pathIn(dir, "tree"));  // a folder is not a file
  EXPECT_TRUE(FolderExists(pathIn(dir, "tree")));

  DeleteFolderIfExists("");
  DeleteFolderIfExists(pathIn(dir, "none"));
  DeleteFolderIfExists(pathIn(dir, "tree"));
  EXPECT_FALSE(FolderExists(pathIn(dir, "tree")));
  EXPECT_EQ(rawContent(pathIn(outside, "keep.txt")), "keep");  // the link was not followed
}

TEST(modGenFunctionsFile, ReadOnlyAttribute) {
  QTemporaryDir dir;
  writeRaw(pathIn(dir, "ro.txt"), "x");
  ::chmod(pathIn(dir, "ro.txt").c_str(), 0444);
  ClearReadOnly(pathIn(dir), "ro.txt");
  struct stat info {};
  ASSERT_EQ(::stat(pathIn(dir, "ro.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  ClearReadOnly(pathIn(dir), "missing.txt");
}

TEST(modGenFunctionsFile, FolderWalkEntries) {
  QTemporaryDir dir;
  const std::string root = pathIn(dir, "docs");
  makeFiles(root, 2);
  makeFiles(root + "/sub", 1);
  makeFiles(root + "/sub/deeper", 1);
  ASSERT_EQ(::symlink(root.c_str(), (root + "/loop").c_str()), 0);
  std::vector<std::string> entries;
  CollectFolderFiles(root, entries, root, -1);
  const std::vector<std::string> expected{
      root + "/f1000.txt||docs",
      root + "/f1001.txt||docs",
      root + "/sub/f1000.txt||docs/sub",
      root + "/sub/deeper/f1000.txt||docs/sub/deeper",
  };
  EXPECT_EQ(entries, expected);

  std::vector<std::string> limited;
  CollectFolderFiles(root + "/", limited, root + "/", 3);
  EXPECT_EQ(limited, std::vector<std::string>(expected.begin(), expected.begin() + 3));
}

TEST(modGenFunctionsFile, DroppedFilesStopAtFiveHundred) {
  RecordingMessageBox boxes;
  modGenFunctionsResource::loadResourceText("|[MESSAGES]|\r\nMSG20252=Only the first %% of %% files are taken.");
  QTemporaryDir dir;
  makeFiles(pathIn(dir, "big"), 600);
  makeFiles(pathIn(dir, "exact"), 500);
  writeRaw(pathIn(dir, "single.txt"), "x");

  EXPECT_FALSE(ExpandDroppedFiles(std::nullopt).has_value());

  const auto big = ExpandDroppedFiles(std::vector<std::string>{pathIn(dir, "big"), pathIn(dir, "single.txt")});
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->size(), 500u);
  EXPECT_EQ(big->front(), pathIn(dir, "big/f1000.txt") + "||big");
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, "Only the first 500 of 500 files are taken.");
  EXPECT_EQ(boxes.shown()[0].flags, 64);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");

  boxes.clear();
  std::vector<std::string> files;
  for (int i = 0; i < 500; ++i) files.push_back(pathIn(dir, "exact/f" + std::to_string(1000 + i) + ".txt"));
  files.push_back(pathIn(dir, "single.txt"));
  const auto exact = ExpandDroppedFiles(files);
  EXPECT_EQ(exact->size(), 500u);
  EXPECT_EQ(exact->back(), files[499]);
  EXPECT_EQ(boxes.shown().size(), 1u);

  boxes.clear();
  const auto mixed = ExpandDroppedFiles(std::vector<std::string>{pathIn(dir, "missing"), pathIn(dir, "single.txt")});
  EXPECT_EQ(*mixed, std::vector<std::string>{pathIn(dir, "single.txt")});
  EXPECT_TRUE(boxes.shown().empty());
}

TEST(modGenFunctionsFile, PickersReturnTheChoiceOrNothing) {
  QTemporaryDir dir;
  writeRaw(pathIn(dir, "pick.txt"), "x");
  const std::string chosenFile = pathIn(dir, "pick.txt");

  onNextDialog([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_EQ(ShowOpenFileDialog(nullptr, "", ""), "");

  onNextDialog([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Text (*.txt *.log)"});
    dialog->selectFile(QString::fromStdString(chosenFile));
    static_cast<QDialog*>(dialog)->accept();
  });
  EXPECT_EQ(ShowOpenFileDialog(nullptr, "Text|*.txt;*.log", chosenFile), chosenFile);

  onNextDialog([](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Select a folder");
    dialog->reject();
  });
  EXPECT_EQ(BrowseForFolder(nullptr, pathIn(dir)), "");

  onNextDialog([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), pathIn(dir));
    static_cast<QDialog*>(dialog)->accept();
  });
  EXPECT_EQ(BrowseForFolder(nullptr, pathIn(dir)), pathIn(dir));
}
