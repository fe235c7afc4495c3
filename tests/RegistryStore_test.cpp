#include "RegistryStore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "ScopedEnvironment.h"

using platform::RegistryData;
using platform::RegistryStore;
using platform::kHkeyCurrentUser;
using Status = RegistryStore::Status;

namespace {

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  QString path(const QString& name) const { return dir_.path() + "/" + name; }

  QTemporaryDir dir_;
  ScopedEnv config_{"XDG_CONFIG_HOME", dir_.path().toUtf8().constData()};
  ScopedEnv file_{"TAVINOR_REGISTRY_FILE", nullptr};
};

}  // namespace

TEST_F(RegistryStoreTest, StoreFileFollowsTheEnvironment) {
  EXPECT_EQ(RegistryStore::defaultFile(), (dir_.path() + "/tavinor/registry.json").toStdString());
  ScopedEnv file("TAVINOR_REGISTRY_FILE", path("elsewhere.json").toUtf8().constData());
  EXPECT_EQ(RegistryStore::defaultFile(), path("elsewhere.json").toStdString());
  EXPECT_EQ(RegistryStore::autostartFolder(), (dir_.path() + "/autostart").toStdString());
}

TEST_F(RegistryStoreTest, BytesAreKeptExactly) {
  RegistryStore store(path("sub/registry.json").toStdString());
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  ASSERT_EQ(store.createKey(kHkeyCurrentUser, "A\\B"), Status::kOk);
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, "A\\B", "\xC3\xA9t\xC3\xA9", {3, bytes}), Status::kOk);
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, "", "AtRoot", {4, "abcd"}), Status::kOk);
  EXPECT_EQ(*store.value(kHkeyCurrentUser, "\\a\\\\b\\", "\xC3\x89T\xC3\x89"), (RegistryData{3, bytes}));
  EXPECT_EQ(*store.value(kHkeyCurrentUser, "", "atroot"), (RegistryData{4, "abcd"}));
  EXPECT_EQ(store.setValue(kHkeyCurrentUser, "A\\Missing", "x", {1, ""}), Status::kNoKey);
}

// A save that died before its rename leaves a temporary file beside a whole
// store; neither the store nor later saves are troubled by it.
TEST_F(RegistryStoreTest, InterruptedSaveLeavesTheStoreWhole) {
  const QString file = path("registry.json");
  RegistryStore store(file.toStdString());
  ASSERT_EQ(store.createKey(kHkeyCurrentUser, "K"), Status::kOk);
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, "K", "V", {1, std::string("one\0", 4)}), Status::kOk);
  writeAll(file + ".tmp-Ab12Cd", "{\"format\": \"tavinor-re");

  EXPECT_EQ(store.value(kHkeyCurrentUser, "K", "V")->bytes, std::string("one\0", 4));
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, "K", "W", {1, std::string("two\0", 4)}), Status::kOk);
  EXPECT_EQ(store.value(kHkeyCurrentUser, "K", "V")->bytes, std::string("one\0", 4));
  EXPECT_EQ(store.value(kHkeyCurrentUser, "K", "W")->bytes, std::string("two\0", 4));
  EXPECT_EQ(QDir(dir_.path()).entryList({"registry.json.tmp-*"}, QDir::Files),
            QStringList{"registry.json.tmp-Ab12Cd"});
}

TEST_F(RegistryStoreTest, StoresOfTheWrongShapeReadAsEmpty) {
  const QString file = path("registry.json");
  RegistryStore store(file.toStdString());
  const QByteArray shapes[] = {
      "",
      "[]",
      R"({"format":"other","version":1,"keys":[]})",
      R"({"format":"tavinor-registry","version":1,"keys":[{"root":2147483649,"path":"K","values":[{"name":"V","type":1,"data":"zz"}]}]})",
      R"({"format":"tavinor-registry","version":1,"keys":[{"root":7,"path":"K","values":[]}]})",
      R"({"format":"tavinor-registry","version":1,"keys":[{"root":2147483649,"path":"K","values":[]},{"root":2147483649,"path":"k","values":[]}]})",
  };
  for (const QByteArray& shape : shapes) {
    writeAll(file, shape);
    EXPECT_FALSE(store.keyExists(kHkeyCurrentUser, "K")) << shape.toStdString();
    EXPECT_FALSE(store.value(kHkeyCurrentUser, "K", "V")) << shape.toStdString();
  }
  writeAll(file, R"({"format":"tavinor-registry","version":1,"keys":[{"root":2147483649,"path":"K","values":[{"name":"V","type":1,"data":"6100"}]}]})");
  EXPECT_EQ(*store.value(kHkeyCurrentUser, "K", "V"), (RegistryData{1, std::string("a\0", 2)}));
}

TEST_F(RegistryStoreTest, AutostartEntryQuotesTheProgramAndKeepsToItsFolder) {
  RegistryStore store(path("registry.json").toStdString());
  ASSERT_EQ(store.createKey(kHkeyCurrentUser, platform::kRunKeyPath), Status::kOk);
  const std::string program = "/opt/my \"apps\"/$x\\tavinor 100%";
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, platform::kRunKeyPath, "../evil name",
                           {1, program + '\0'}),
            Status::kOk);
  const QStringList entries = QDir(path("autostart")).entryList(QDir::Files);
  ASSERT_EQ(entries, QStringList{"_.._evil_name.desktop"});
  const QString text = QString::fromUtf8(readAll(path("autostart/_.._evil_name.desktop")));
  EXPECT_TRUE(text.contains(R"(Exec="/opt/my \\"apps\\"/\\$x\\\\tavinor 100%%")" "\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("Name=../evil name\n"));

  // A number under Run starts nothing; deleting the key removes every entry.
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, platform::kRunKeyPath, "../evil name", {4, "abcd"}),
            Status::kOk);
  EXPECT_TRUE(QDir(path("autostart")).entryList(QDir::Files).isEmpty());
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, platform::kRunKeyPath, "One", {1, "/bin/one"}), Status::kOk);
  ASSERT_EQ(store.setValue(kHkeyCurrentUser, platform::kRunKeyPath, "Two", {2, "/bin/two"}), Status::kOk);
  EXPECT_EQ(QDir(path("autostart")).entryList(QDir::Files).size(), 2);
  ASSERT_EQ(store.deleteKey(kHkeyCurrentUser, platform::kRunKeyPath), Status::kOk);
  EXPECT_TRUE(QDir(path("autostart")).entryList(QDir::Files).isEmpty());
}
