// The shipped files of the Res folder, as the build writes them beside the
// program: the resource texts must hold every message and code list the program
// asks for, with as many "%%" as the caller passes parameters; the settings and
// print templates must be what their readers expect.
//
// "What the program asks for" is the table below, plus every resource call with
// a literal number found in the program's sources, so new code that asks for a
// text the file lacks fails here.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ErrorNumber.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"

namespace fs = std::filesystem;
using namespace modGenFunctionsResource;

namespace {

struct WantedMessage {
  int number;
  int parameters;
};

// Every message the program shows, with the number of parameters its callers pass.
const WantedMessage kWantedMessages[] = {
    {10008, 0}, {10010, 0}, {10011, 0}, {10012, 0}, {10013, 0}, {10014, 0}, {11072, 0},
    {11505, 0}, {11506, 0}, {12200, 1}, {12210, 0}, {12300, 0}, {12400, 1}, {13010, 1}, {13020, 1}, {20001, 3},
    {20002, 2}, {20101, 1}, {20102, 1}, {20201, 1}, {20202, 1}, {20251, 1}, {20252, 2}, {20500, 1},
    {20510, 1}, {20520, 1}, {20530, 1}, {20535, 0}, {20540, 1}, {20541, 1}, {20545, 0}, {30001, 1}, {30002, 1}, {30101, 1}, {30102, 1}, {30103, 1}, {30104, 1},
    {30501, 1}, {50101, 0}, {65000, 1}, {65001, 1}, {65010, 2}, {70900, 0}, {80200, 0}, {80210, 2}, {80300, 0},
    {80400, 1}, {80401, 2}, {80402, 2}, {80470, 0}, {80471, 0}, {80472, 1}, {80473, 1}, {80474, 1}, {80501, 0}, {80502, 0},
    {80503, 0}, {80553, 0}, {80554, 2}, {80555, 2}, {100100, 2},
};

// Codes the program stores, compares or looks up in each code list.
const std::map<int, std::vector<std::string>> kWantedListCodes = {
    {200, {"1", "2", "3", "4", "5", "6"}},  // activity kinds
    {201, {"1", "2", "3"}},
    {202, {"1", "2", "3"}},
    {203, {"1", "-1", "50", "60", "100", "220", "400"}},
    {204, {"1000", "1100", "1200", "1300", "1400", "1500", "2000", "50000", "50200", "50300"}},
    {205, {"10", "20", "30", "40", "41", "50", "60", "70", "80", "90", "91", "100"}},
    {206, {"2"}},  // the default language
    {207, {"1", "2", "3"}},
    {208, {"1", "2"}},
    {5000,
     {"LABELMINLENGTH", "LINESEPARATORCHARACTER", "LINESEPARATORLENGTH", "FROM", "TO", "DATE",
      "PRIORITY", "RESPONSE", "STATUS", "CONTENT"}},
};

// Lists read as a whole; the program needs them not to be empty.
const int kWholeLists[] = {200, 209, 210, 1000, 1010};

const std::map<std::string, int> kHeaders = {
    {"|[MESSAGES]|", 100},
    {"|[MESSAGE CENTER ACTIVITIES TYPE]|", 200},
    {"|[MESSAGE PRIORITY OPTIONS]|", 201},
    {"|[MESSAGE RESPONSE TYPE]|", 202},
    {"|[MESSAGE STATUS]|", 203},
    {"|[LANGUAGE LIST]|", 206},
    {"|[FRMMESSAGEVIEWER]|", 1000},
    {"|[INSTMESSTYPE LIST]|", 207},
    {"|[DELETE INTERVAL TYPE]|", 208},
    {"|[PRINT MESSAGE KEYWORDS]|", 5000},
    {"|[DEFAULT GROUPS]|", 209},
    {"|[ACTION STATUS]|", 205},
    {"|[ACTION TYPE]|", 204},
    {"|[FILES EXTENSION VIRUS CHECK]|", 210},
    {"|[DEFAULT INSTANT MESSAGES]|", 1010},
};

const char* const kProgramFolders[] = {"app", "platform", "generic", "core", "center", "messages",
                                       "users"};

// The build names the source tree; __FILE__ may be relative under a compiler cache.
fs::path repositoryRoot() { return fs::path(TAVINOR_SOURCE_DIR); }

std::string readPlainFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string withoutBlanks(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string messageKey(int number) { return "MSG" + std::to_string(number); }
std::string listKey(const std::string& code) { return "I_" + withoutBlanks(code); }

// One item line of the source file, read independently of the program's reader.
struct SourceItem {
  int section;
  bool hasEquals;
  std::string code;
  std::string text;  // everything after the first "="
  int line;
};

std::vector<SourceItem> readSourceItems(const fs::path& path) {
  std::vector<SourceItem> items;
  std::istringstream in(readPlainFile(path));
  std::string line;
  int section = 0;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string text = trimmed(line);
    if (text.empty() || text.rfind("//", 0) == 0) continue;
    if (line.find("|[") != std::string::npos) {
      const auto header = kHeaders.find(upper(line));
      section = header == kHeaders.end() ? -1 : header->second;
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      items.push_back({section, false, line, {}, number});
    } else {
      items.push_back({section, true, line.substr(0, equals), line.substr(equals + 1), number});
    }
  }
  return items;
}

class ResourceFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const fs::path file = ProgramTestEnvironment::shippedFile(kResourceFileName);
    ASSERT_TRUE(fs::exists(file)) << file << " is missing: build the default target first";
    loadResourceFileFrom(file.string());
  }
};

TEST_F(ResourceFileTest, EveryMessageTakesExactlyItsParameters) {
  RecordingMessageBox boxes;
  for (const WantedMessage& wanted : kWantedMessages) {
    SCOPED_TRACE("message " + std::to_string(wanted.number));
    if (!GetResourceSection(kMessageSection).contains(messageKey(wanted.number))) {
      ADD_FAILURE() << "missing";
      continue;
    }
    MessageParameters parameters;
    for (int i = 1; i <= wanted.parameters; ++i) parameters.emplace_back("<p" + std::to_string(i) + ">");
    const std::string text = wanted.parameters == 0 ? GetResourceMessage(wanted.number)
                                                    : GetResourceMessage(wanted.number, parameters);
    EXPECT_FALSE(trimmed(text).empty());
    EXPECT_EQ(text.find("%%"), std::string::npos) << text;
    std::size_t previous = 0;
    for (const MessageParameter& parameter : parameters) {
      const std::size_t at = text.find(parameter.text());
      EXPECT_NE(at, std::string::npos) << text;
      if (at == std::string::npos) break;
      EXPECT_GE(at, previous) << "parameters out of order: " << text;
      previous = at;
    }
    if (wanted.parameters > 0) {
      parameters.pop_back();
      EXPECT_EQ(errorNumberOf([&] { GetResourceMessage(wanted.number, parameters); }),
                kErrSubscript)
          << "one parameter fewer, message " << wanted.number;
    }
  }
  EXPECT_TRUE(boxes.shown().empty()) << "a message holding %% was read without parameters";
}

TEST_F(ResourceFileTest, EveryCodeListHoldsTheCodesInUse) {
  for (const auto& [section, codes] : kWantedListCodes) {
    for (const std::string& code : codes) {
      SCOPED_TRACE("list " + std::to_string(section) + " code " + code);
      EXPECT_TRUE(GetResourceSection(section).contains(listKey(code)) &&
                  !trimmed(GetResourceListText(section, code)).empty());
    }
  }
  for (int section : kWholeLists) {
    EXPECT_GT(GetResourceSection(section).count(), 0u) << "list " << section;
  }
}

TEST_F(ResourceFileTest, ListTextsAreUniqueWithinTheirList) {
  // Combos and trees show the texts side by side; the virus-check list is
  // searched by text.
  for (const auto& [header, section] : kHeaders) {
    if (section == kMessageSection) continue;
    std::set<std::string> seen;
    for (const ResourceSection::Item& item : GetResourceSection(section).items()) {
      EXPECT_TRUE(seen.insert(upper(GetItemText(item.value))).second)
          << header << " repeats " << GetItemText(item.value);
    }
  }
}

TEST_F(ResourceFileTest, DefaultInstantMessagesCoverEveryType) {
  // Entries 1-4 get type 1, 5-8 type 2, the rest type 3.
  EXPECT_GE(GetResourceSection(1010).count(), 9u);
}

TEST_F(ResourceFileTest, VirusCheckExtensionsMatchFileExtensions) {
  // Compared with a file name's extension, which has no dot and no blanks.
  EXPECT_TRUE(FindResourceListItem(210, "exe"));
  for (const ResourceSection::Item& item : GetResourceSection(210).items()) {
    const std::string extension = GetItemText(item.value);
    EXPECT_EQ(extension.find_first_of(". "), std::string::npos) << extension;
  }
}

TEST_F(ResourceFileTest, PrintLayoutKeysAreUsable) {
  const int separatorLength = std::stoi(GetResourceListText(5000, "LINESEPARATORLENGTH"));
  const int labelLength = std::stoi(GetResourceListText(5000, "LABELMINLENGTH"));
  EXPECT_GT(separatorLength, 0);
  EXPECT_FALSE(trimmed(GetResourceListText(5000, "LINESEPARATORCHARACTER")).empty());
  for (const char* label : {"FROM", "TO", "DATE", "PRIORITY", "RESPONSE", "STATUS"}) {
    EXPECT_LE(static_cast<int>(GetResourceListText(5000, label).size()), labelLength) << label;
  }
  EXPECT_LE(GetResourceListText(5000, "CONTENT").size(), static_cast<std::size_t>(separatorLength));
}

TEST_F(ResourceFileTest, EverySourceLineIsServedAsWritten) {
  // Catches what the reader would silently drop or cut: a second "=" in a
  // text, a repeated code, a line outside every section.
  const std::vector<SourceItem> items = readSourceItems(repositoryRoot() / "res" / "TVRRES01E.txt");
  ASSERT_FALSE(items.empty());
  std::map<int, std::size_t> perSection;
  for (const SourceItem& item : items) {
    SCOPED_TRACE("TVRRES01E.txt line " + std::to_string(item.line));
    ASSERT_GT(item.section, 0) << "item outside a known section";
    ASSERT_TRUE(item.hasEquals) << "an item line needs CODE=TEXT";
    EXPECT_EQ(item.text.find('='), std::string::npos) << "a second = would cut the text";
    ++perSection[item.section];
    const ResourceSection& section = GetResourceSection(item.section);
    if (item.section == kMessageSection) {
      EXPECT_EQ(item.text.find("||"), std::string::npos) << "activity texts are split on ||";
      EXPECT_TRUE(section.contains(item.code) && section.item(item.code) == item.text);
    } else {
      EXPECT_TRUE(section.contains(listKey(item.code)) &&
                  GetResourceListText(item.section, trimmed(item.code)) == item.text);
    }
  }
  for (const auto& [section, count] : perSection) {
    EXPECT_EQ(GetResourceSection(section).count(), count) << "section " << section;
  }
}

// A resource call with a literal number (or list key) in the program's sources.
struct AskedText {
  enum Kind { kMessage, kList, kListKey } kind;
  int number;
  std::string key;
  std::string where;
};

std::vector<AskedText> scanProgramSources() {
  // Message readers (GetResourceMessage and any helper named after it) and the
  // progress label, which takes a message number; list readers and fillers.
  const std::regex messageCall(R"(\b(?:\w*ResourceMessage\w*|SetProgress)\s*\(\s*(\d+))");
  const std::regex listCall(R"(\b(?:\w*ResourceList\w*|GetResourceSection)\s*\(\s*(\d+))");
  const std::regex listKeyCall(R"(\bGetResourceListText\s*\(\s*(\d+)\s*,\s*"([^"]+)\")");
  const std::regex fillCall(R"(\bFill\w*FromResource\s*\([^,;()]*,\s*(\d+))");
  std::vector<AskedText> asked;
  for (const char* folder : kProgramFolders) {
    const fs::path root = repositoryRoot() / folder;
    if (!fs::is_directory(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
      const std::string source = readPlainFile(entry.path());
      const auto where = [&](const std::smatch& match) {
        const auto line = std::count(source.begin(), source.begin() + match.position(0), '\n') + 1;
        return fs::relative(entry.path(), repositoryRoot()).string() + ":" + std::to_string(line);
      };
      const auto collect = [&](const std::regex& pattern, AskedText::Kind kind) {
        for (std::sregex_iterator it(source.begin(), source.end(), pattern), end; it != end; ++it) {
          const std::smatch& match = *it;
          asked.push_back({kind, std::stoi(match[1].str()),
                           kind == AskedText::kListKey ? match[2].str() : std::string(), where(match)});
        }
      };
      collect(messageCall, AskedText::kMessage);
      collect(listCall, AskedText::kList);
      collect(fillCall, AskedText::kList);
      collect(listKeyCall, AskedText::kListKey);
    }
  }
  return asked;
}

TEST_F(ResourceFileTest, HoldsEveryTextTheProgramSourcesAskFor) {
  ASSERT_TRUE(fs::exists(repositoryRoot() / "generic" / "modGenFunctionsResource.h"))
      << "the sources were not found in " << TAVINOR_SOURCE_DIR;
  const std::vector<AskedText> asked = scanProgramSources();
  for (const AskedText& text : asked) {
    SCOPED_TRACE(text.where);
    switch (text.kind) {
      case AskedText::kMessage:
        EXPECT_TRUE(GetResourceSection(kMessageSection).contains(messageKey(text.number)))
            << "message " << text.number << " is missing";
        break;
      case AskedText::kList:
        EXPECT_GT(GetResourceSection(text.number).count(), 0u) << "list " << text.number << " is empty";
        break;
      case AskedText::kListKey:
        EXPECT_TRUE(GetResourceSection(text.number).contains(listKey(text.key)))
            << "list " << text.number << " lacks " << text.key;
        break;
    }
  }
  // Any message the sources name with a literal must also be in the table above,
  // so that its parameter count is checked.
  std::set<int> tabled;
  for (const WantedMessage& wanted : kWantedMessages) tabled.insert(wanted.number);
  for (const AskedText& text : asked) {
    if (text.kind == AskedText::kMessage) {
      EXPECT_TRUE(tabled.count(text.number)) << text.where << ": message " << text.number
                                             << " is not in this test's table";
    }
  }
}

TEST(ShippedFiles, SettingsTemplateTakesSettingsUnderThePrefix) {
  const std::string text =
      modGenFunctionsFile::ReadFileContent(ProgramTestEnvironment::shippedFile("D000.Dat"), true);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(text.c_str()));
  pugi::xml_node root = document.document_element();
  ASSERT_TRUE(root);
  EXPECT_TRUE(root.attribute("xmlns:TVR")) << "the template declares the prefix TVR";
  EXPECT_FALSE(root.first_child()) << "the template holds no setting";
  pugi::xml_node setting = root.append_child("TVR:P");
  setting.text().set("1.0.0");
  setting.append_attribute("NAME") = "PV";
  EXPECT_EQ(root.select_node("TVR:P[@NAME='PV']").node().text().as_string(), std::string("1.0.0"));
}

TEST(ShippedFiles, PrintTemplateHoldsEveryPlaceholder) {
  const std::string text = modGenFunctionsFile::ReadFileContent(
      ProgramTestEnvironment::shippedFile("TVRRMT01.DAT"), true);
  ASSERT_FALSE(text.empty());
  for (const char* name : {"FROM", "TO", "DATE", "PRIORITY", "RESPONSE", "STATUS", "CONTENT"}) {
    EXPECT_NE(text.find(std::string("@@") + name + "@@"), std::string::npos) << name;
  }
}

}  // namespace
