#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <memory>

#include "RegistryStore.h"
#include "ScopedEnvironment.h"
#include "TvrError.h"
#include "clsGenRegistryManager.h"

namespace {

constexpr const char* kKey = "Software\\Tavinor\\Test";
using Bytes = std::vector<std::uint8_t>;

// Every test works on a registry and an autostart folder of its own.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    config_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_.path().toUtf8().constData());
    file_ = std::make_unique<ScopedEnv>("TAVINOR_REGISTRY_FILE", nullptr);
  }

  std::optional<platform::RegistryData> stored(const std::string& path, const std::string& name) {
    return platform::RegistryStore().value(platform::kHkeyCurrentUser, path, name);
  }

  QString autostartEntry(const QString& name) const {
    return dir_.path() + "/autostart/" + name + ".desktop";
  }

  // The error `work` raises; fails the test when it raises none.
  template <typename Work>
  TvrError errorOf(Work work) {
    try {
      work();
    } catch (const TvrError& error) {
      return error;
    }
    ADD_FAILURE() << "no error raised";
    return TvrError(0, "", "");
  }

  QTemporaryDir dir_;
  std::unique_ptr<ScopedEnv> config_;
  std::unique_ptr<ScopedEnv> file_;
  clsGenRegistryManager registry_;
};

const std::string kSource = std::string(program_invocation_short_name) + ".clsRegistryManager";

}  // namespace

TEST_F(RegistryTest, ValuesRoundTripByType) {
  registry_.SetValue(kHkeyCurrentUser, kKey, "Text", std::string("C:\\Tavinor\\tavinor.exe"), kRegSz);
  registry_.SetValue(kHkeyCurrentUser, kKey, "Number", std::int32_t{-5}, kRegDword);
  registry_.SetValue(kHkeyCurrentUser, kKey, "Bytes", Bytes{0, 1, 0xFF}, kRegBinary);
  registry_.SetValue(kHkeyCurrentUser, kKey, "Count", std::int32_t{12}, kRegSz);

  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Text", "none"),
            RegistryValue(std::string("C:\\Tavinor\\tavinor.exe")));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Number", "none"), RegistryValue(-5));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Bytes", "none"),
            RegistryValue(Bytes{0, 1, 0xFF}));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Count", "none"),
            RegistryValue(std::string("12")));
  // Names are found without regard to case, as the registry finds them.
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, "software\\TAVINOR\\test", "TEXT", "none"),
            RegistryValue(std::string("C:\\Tavinor\\tavinor.exe")));
  EXPECT_EQ(stored(kKey, "Text")->bytes, std::string("C:\\Tavinor\\tavinor.exe\0", 23));
}

TEST_F(RegistryTest, TextNamingAVariableIsStoredForExpansion) {
  ScopedEnv root("TVR_TEST_ROOT", "/opt/tvr");
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"%TVR_TEST_ROOT%\\x", kRegExpandSz}, {"%a%", kRegExpandSz}, {"%%%", kRegExpandSz},
      {"100%", kRegSz},                     {"%%", kRegSz},        {"%%x", kRegSz},
  };
  for (const auto& [text, type] : cases) {
    registry_.SetValue(kHkeyCurrentUser, kKey, "V", std::string(text), kRegSz);
    EXPECT_EQ(stored(kKey, "V")->type, type) << text;
  }
  registry_.SetValue(kHkeyCurrentUser, kKey, "V", std::string("%TVR_TEST_ROOT%\\x"), kRegExpandSz);
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "V", ""),
            RegistryValue(std::string("/opt/tvr\\x")));
  registry_.SetValue(kHkeyCurrentUser, kKey, "V", std::string("plain"), kRegExpandSz);
  EXPECT_EQ(stored(kKey, "V")->type, static_cast<std::uint32_t>(kRegSz));
}

TEST_F(RegistryTest, NumbersAreStoredLowByteFirst) {
  registry_.SetValue(kHkeyCurrentUser, kKey, "Big", std::int32_t{1}, kRegDwordBigEndian);
  EXPECT_EQ(*stored(kKey, "Big"), (platform::RegistryData{4, std::string("\x01\0\0\0", 4)}));

  platform::RegistryStore().setValue(platform::kHkeyCurrentUser, kKey, "Raw",
                                     {5, std::string("\0\0\0\x01", 4)});
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Raw", ""), RegistryValue(1));
  EXPECT_EQ(clsGenRegistryManager::SwapEndian(0x01020304), 0x04030201);
  EXPECT_EQ(clsGenRegistryManager::SwapEndian(static_cast<std::int32_t>(0x80000001u)), 0x01000080);
}

TEST_F(RegistryTest, StoredTextsLoseTheirLastByte) {
  registry_.SetValue(kHkeyCurrentUser, kKey, "Empty", std::string(), kRegSz);
  EXPECT_EQ(stored(kKey, "Empty")->bytes, std::string(1, '\0'));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Empty", "none"), RegistryValue(std::string()));

  platform::RegistryStore store;
  store.setValue(platform::kHkeyCurrentUser, kKey, "Multi", {7, std::string("a\0b\0\0", 5)});
  store.setValue(platform::kHkeyCurrentUser, kKey, "NoBytes", {1, ""});
  store.setValue(platform::kHkeyCurrentUser, kKey, "Other", {6, "xy"});
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Multi", ""),
            RegistryValue(std::string("a\0b\0", 4)));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "NoBytes", "none"), RegistryValue(std::string()));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Other", ""), RegistryValue(Bytes{'x', 'y'}));
}

TEST_F(RegistryTest, ValuesATypeCannotTakeAreRefused) {
  registry_.SetValue(kHkeyCurrentUser, kKey, "Keep", std::int32_t{7}, kRegDword);

  const TvrError notNumber = errorOf([&] {
    registry_.SetValue(kHkeyCurrentUser, kKey, "Keep", std::string("12"), kRegDword);
  });
  EXPECT_EQ(notNumber.number(), kRegistryWriteFailed);
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "Keep", ""), RegistryValue(7));

  const TvrError notBytes = errorOf([&] {
    registry_.SetValue(kHkeyCurrentUser, kKey, "B", std::string("ab"), kRegBinary);
  });
  EXPECT_EQ(notBytes.number(), 26001);
  EXPECT_EQ(notBytes.description(), "");

  const TvrError badType = errorOf([&] {
    registry_.SetValue(kHkeyCurrentUser, kKey, "M", std::string("a"), kRegMultiSz);
  });
  EXPECT_EQ(badType.number(), static_cast<int>(0x800469A9u));
  EXPECT_EQ(badType.source(), kSource);
  EXPECT_EQ(badType.description(),
            "Failed to set registry value Key: '-2147483647',Section: 'Software\\Tavinor\\Test', "
            "Key: 'M' to value: 'a'");
  EXPECT_FALSE(stored(kKey, "M"));
  EXPECT_FALSE(stored(kKey, "B"));
}

TEST_F(RegistryTest, MissingKeysAndValues) {
  EXPECT_FALSE(registry_.KeyExists(kHkeyCurrentUser, kKey));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "V", "default"),
            RegistryValue(std::string("default")));

  const TvrError noKey = errorOf([&] { registry_.DeleteValue(kHkeyCurrentUser, kKey, "V"); });
  EXPECT_EQ(noKey.number(), 26001);
  EXPECT_EQ(noKey.source(), kSource);
  EXPECT_EQ(noKey.description(),
            "Failed to open key '-2147483647',Section: 'Software\\Tavinor\\Test' for delete access");

  registry_.CreateKey(kHkeyCurrentUser, kKey);
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "V", "default"),
            RegistryValue(std::string("default")));
  const TvrError noValue = errorOf([&] { registry_.DeleteValue(kHkeyCurrentUser, kKey, "V"); });
  EXPECT_EQ(noValue.number(), 26001);
  EXPECT_EQ(noValue.description(),
            "Failed to delete registry Key: '-2147483647',Section: 'Software\\Tavinor\\Test',Key: 'V");

  const TvrError badRoot = errorOf([&] { registry_.CreateKey(42, kKey); });
  EXPECT_EQ(badRoot.description(), "Failed to create registry Key: 'Software\\Tavinor\\Test");
  EXPECT_FALSE(registry_.KeyExists(42, ""));
}

TEST_F(RegistryTest, KeysComeWithTheirParentsAndGoLeafFirst) {
  EXPECT_TRUE(registry_.CreateKey(kHkeyCurrentUser, kKey));
  EXPECT_TRUE(registry_.KeyExists(kHkeyCurrentUser, "Software\\Tavinor"));
  EXPECT_TRUE(registry_.KeyExists(kHkeyCurrentUser, "SOFTWARE\\tavinor\\TEST"));
  EXPECT_FALSE(registry_.KeyExists(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(registry_.KeyExists(kHkeyCurrentUser, ""));

  const TvrError hasChild = errorOf([&] { registry_.DeleteKey(kHkeyCurrentUser, "Software\\Tavinor"); });
  EXPECT_EQ(hasChild.number(), 26001);
  EXPECT_EQ(hasChild.description(), "Failed to delete registry Key: '-2147483647',Section: 'Software\\Tavinor");

  registry_.SetValue(kHkeyCurrentUser, kKey, "V", std::string("x"), kRegSz);
  EXPECT_TRUE(registry_.DeleteKey(kHkeyCurrentUser, kKey));
  EXPECT_FALSE(registry_.KeyExists(kHkeyCurrentUser, kKey));
  EXPECT_FALSE(stored(kKey, "V"));
  EXPECT_TRUE(registry_.DeleteKey(kHkeyCurrentUser, "Software\\Tavinor"));
  EXPECT_THROW(registry_.DeleteKey(kHkeyCurrentUser, "Software\\Tavinor"), TvrError);
}

TEST_F(RegistryTest, RunValueStartsTheProgramAtLogOn) {
  const std::string run = platform::kRunKeyPath;
  registry_.SetValue(kHkeyCurrentUser, run, "Tavinor", std::string("/opt/tavinor/bin/tavinor"), kRegSz);
  QFile entry(autostartEntry("Tavinor"));
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(entry.readAll());
  entry.close();
  EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
  EXPECT_TRUE(text.contains("\nType=Application\n"));
  EXPECT_TRUE(text.contains("\nExec=\"/opt/tavinor/bin/tavinor\"\n"));

  registry_.DeleteValue(kHkeyCurrentUser, run, "TAVINOR");
  EXPECT_FALSE(entry.exists());
  // Removing it again is the registry error the options dialog ends quietly.
  EXPECT_EQ(errorOf([&] { registry_.DeleteValue(kHkeyCurrentUser, run, "Tavinor"); }).number(), 26001);

  registry_.SetValue(kHkeyCurrentUser, run + "Once", "Tavinor", std::string("/opt/tavinor"), kRegSz);
  registry_.SetValue(kHkeyCurrentUser, kKey, "Tavinor", std::string("/opt/tavinor"), kRegSz);
  EXPECT_FALSE(entry.exists());
}

TEST_F(RegistryTest, CorruptStoreReadsEmptyAndIsKeptAside) {
  const QString file = QString::fromStdString(platform::RegistryStore::defaultFile());
  ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
  QFile garbage(file);
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write("{\"format\": \"tavinor-registry\", \"keys\": [");
  garbage.close();

  EXPECT_FALSE(registry_.KeyExists(kHkeyCurrentUser, kKey));
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "V", "default"),
            RegistryValue(std::string("default")));
  registry_.SetValue(kHkeyCurrentUser, kKey, "V", std::string("kept"), kRegSz);
  EXPECT_EQ(registry_.QueryValue(kHkeyCurrentUser, kKey, "V", ""), RegistryValue(std::string("kept")));

  const QStringList aside =
      QDir(QFileInfo(file).absolutePath()).entryList({"registry.json.corrupt-*"}, QDir::Files);
  ASSERT_EQ(aside.size(), 1);
  QFile old(QFileInfo(file).absolutePath() + "/" + aside.front());
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_EQ(old.readAll(), "{\"format\": \"tavinor-registry\", \"keys\": [");
}

TEST_F(RegistryTest, ExpandEnvStrReplacesOnlySetVariables) {
  ScopedEnv set("TVR_TEST_VAR", "abc");
  ScopedEnv unset("TVR_TEST_UNSET", nullptr);
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr("x%TVR_TEST_VAR%y%TVR_TEST_VAR%"), "xabcyabc");
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr("%TVR_TEST_UNSET%"), "%TVR_TEST_UNSET%");
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr("%TVR_TEST_UNSET%TVR_TEST_VAR%"), "%TVR_TEST_UNSETabc");
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr("100%"), "100%");
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr("%%"), "%%");
  EXPECT_EQ(clsGenRegistryManager::ExpandEnvStr(""), "");
}
