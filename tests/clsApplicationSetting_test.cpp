#include "clsApplicationSetting.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <memory>

#include "Clock.h"
#include "ErrorNumber.h"
#include "ProgramTestEnvironment.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "clsGenErrorHandler.h"
#include "clsGenXMLDocument.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"

namespace {

constexpr const char* kTemplate = "<TVR xmlns:TVR=\"urn:morvane:tavinor:settings\"/>";

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() { QDir().mkpath(QString::fromStdString(environment_.dataFolder())); }
  void TearDown() override {
    SetEventsList({});
    platform::clearFixedTime();
  }

  std::string path() const { return environment_.dataFolder() + "/D000.Dat"; }
  void writePlain(const std::string& text) {
    modGenFunctionsFile::SaveFileContent("", path(), text, true);
  }
  std::string raw() const {
    QFile file(QString::fromStdString(path()));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
  }
  std::string plain() const { return modGenFunctionsFile::ReadFileContent(path(), true); }
  std::unique_ptr<clsApplicationSetting> open(const std::string& prefix = "TVR") {
    auto settings = std::make_unique<clsApplicationSetting>();
    settings->SetXMLAppNameSpace(prefix);
    return settings;
  }
  // The settings elements of the file as written, in order.
  std::vector<std::pair<std::string, std::string>> stored() const {
    XMLDocumentRef document;
    EXPECT_TRUE(modGenFunctionsXML::XMLLoadFromString(document, plain()));
    std::vector<std::pair<std::string, std::string>> items;
    for (pugi::xml_node child : document->rootElement().children()) {
      EXPECT_STREQ(child.name(), "TVR:P");
      items.emplace_back(child.attribute("NAME").value(), child.text().get());
    }
    return items;
  }

  ProgramTestEnvironment environment_;
};

TEST_F(SettingsTest, StoredValuesComeBackAfterShutDownAndRestart) {
  writePlain(kTemplate);
  {
    auto settings = open();
    EXPECT_EQ(settings->GetAppSetting("PV", ""), "");
    EXPECT_EQ(settings->GetAppSetting("PV", "fallback"), "fallback");
    settings->SaveAppSetting("PV", "1.0.0");
    settings->SaveAppSetting("LLU", "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(settings->GetAppSetting("PV", ""), "1.0.0");
    EXPECT_EQ(plain(), kTemplate) << "nothing reaches the disk before shut-down";
  }
  EXPECT_EQ(stored(), (std::vector<std::pair<std::string, std::string>>{
                          {"PV", "1.0.0"}, {"LLU", "6F9619FF-8B86-D011-B42D-00C04FC964FF"}}));
  EXPECT_NE(plain().find("xmlns:TVR=\"urn:morvane:tavinor:settings\""), std::string::npos);

  auto again = open();
  EXPECT_EQ(again->GetAppSetting("PV"), "1.0.0");
  EXPECT_EQ(again->GetAppSetting("LLU"), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
}

TEST_F(SettingsTest, KeysAreComparedExactlyAndNeverAsQueryText) {
  writePlain(kTemplate);
  {
    auto settings = open();
    settings->SaveAppSetting("HFL", "/old/help.chm");
    settings->SaveAppSetting("HFL", "/new/help.chm");
    settings->SaveAppSetting("hfl", "lower case");
    const std::string hostile = "x'] | //*[@NAME='HFL";
    settings->SaveAppSetting(hostile, "<&>\"' value");
    EXPECT_EQ(settings->GetAppSetting("HFL"), "/new/help.chm");
    EXPECT_EQ(settings->GetAppSetting("hfl"), "lower case");
    EXPECT_EQ(settings->GetAppSetting(hostile), "<&>\"' value");
    EXPECT_EQ(settings->GetAppSetting("HFL "), "");
  }
  const auto items = stored();
  ASSERT_EQ(items.size(), 3u) << "a changed key is changed in place, a differently cased one is new";
  EXPECT_EQ(items[0], (std::pair<std::string, std::string>{"HFL", "/new/help.chm"}));
  EXPECT_EQ(items[1].first, "hfl");
  EXPECT_EQ(items[2].second, "<&>\"' value");
}

TEST_F(SettingsTest, ChangingAValueToEmptyKeepsTheElement) {
  writePlain(kTemplate);
  {
    auto settings = open();
    settings->SaveAppSetting("PV", "2.0.1");
    settings->SaveAppSetting("PV", "");
    EXPECT_EQ(settings->GetAppSetting("PV", "none"), "");
  }
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(SettingsTest, ShutDownRewritesWithFreshKeysEvenWhenNothingChanged) {
  writePlain("<TVR xmlns:TVR=\"urn:morvane:tavinor:settings\"><TVR:P NAME=\"PV\">1.0.0</TVR:P></TVR>");
  const std::string before = raw();
  const std::string text = plain();
  open().reset();
  EXPECT_NE(raw(), before);
  EXPECT_EQ(plain(), text);
}

TEST_F(SettingsTest, MissingFileFailsLookUpsAndIsNotCreated) {
  {
    auto settings = open();
    EXPECT_EQ(errorNumberOf([&] { settings->GetAppSetting("PV"); }), kErrObjectNotSet);
    EXPECT_EQ(errorNumberOf([&] { settings->SaveAppSetting("PV", "1"); }), kErrObjectNotSet);
    EXPECT_EQ(errorNumberOf([&] { settings->AddAppSettingNode("PV", "1"); }), kErrObjectNotSet);
  }
  EXPECT_EQ(raw(), "<missing>") << "an empty D000.Dat would keep the template from being copied";
}

// A file that holds no settings document gives the template's defaults; what
// it held is kept beside it, and the person is told under which name.
TEST_F(SettingsTest, DamagedFileIsKeptAsideAndTheDefaultsStandIn) {
  std::vector<std::string> events;
  SetEventsList([&](const std::string& text) { events.push_back(text); });
  platform::setFixedTime(QDateTime(QDate(2026, 5, 6), QTime(7, 8, 9)));
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"cut short", GenEncryption().EncryptString("<TVR><TVR:P NAME='PV'>1")},
      {"not XML", GenEncryption().EncryptString("garbage")},
      {"two bytes", std::string("\x01\x02", 2)},
      {"empty", ""},
  };
  int kept = 0;
  for (const auto& [what, bytes] : damages) {
    SCOPED_TRACE(what);
    events.clear();
    QFile file(QString::fromStdString(path()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    file.close();
    {
      auto settings = open();
      EXPECT_EQ(settings->GetAppSetting("PV"), "");
      settings->SaveAppSetting("PV", "2");
    }
    EXPECT_EQ(stored(), (std::vector<std::pair<std::string, std::string>>{{"PV", "2"}}));
    if (bytes.empty()) {
      EXPECT_TRUE(events.empty()) << "nothing to keep";
      continue;
    }
    const std::string name =
        "D000.Dat.bad-20260506-070809" + (kept++ ? "-" + std::to_string(kept) : "");
    EXPECT_EQ(modGenFunctionsFile::ReadFileContent(environment_.dataFolder() + "/" + name), bytes);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find(name), std::string::npos) << events[0];
    EXPECT_NE(events[0].find(path()), std::string::npos) << events[0];
  }
}

TEST_F(SettingsTest, NewSettingsAlwaysUseThePrefixTVR) {
  writePlain(kTemplate);
  auto settings = open("OTHER");
  settings->SaveAppSetting("PV", "1");
  EXPECT_EQ(settings->GetAppSetting("PV", "none"), "none") << "look-ups use the prefix set";
  settings->SetXMLAppNameSpace("TVR");
  EXPECT_EQ(settings->GetAppSetting("PV"), "1");

  settings->SetXMLAppNameSpace("");
  EXPECT_EQ(errorNumberOf([&] { settings->GetAppSetting("PV"); }), kErrInvalidCall);
}

}  // namespace
