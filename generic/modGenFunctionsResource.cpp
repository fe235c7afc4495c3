#include "modGenFunctionsResource.h"

#include <QComboBox>
#include <QListWidget>
#include <QString>
#include <QTreeWidget>
#include <array>
#include <optional>
#include <string_view>

#include "TvrError.h"
#include "clsGenErrorHandler.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsString.h"

namespace modGenFunctionsResource {
namespace {

struct SectionHeader {
  std::string_view text;
  int id;
};

// In the order the reader compares them.
constexpr std::array<SectionHeader, 15> kHeaders{{
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
}};

constexpr const char* kParameterMark = "%%";

std::map<std::string, ResourceSection>& sections() {
  static std::map<std::string, ResourceSection> instance;
  return instance;
}

std::string foldCase(const std::string& key) {
  return QString::fromStdString(key).toCaseFolded().toStdString();
}

std::string upperCase(const std::string& text) {
  return QString::fromStdString(text).toUpper().toStdString();
}

bool isBlankLine(std::string_view line) { return line.find_first_not_of(' ') == std::string_view::npos; }

bool isComment(std::string_view line) {
  const auto first = line.find_first_not_of(' ');
  return first != std::string_view::npos && line.substr(first).starts_with("//");
}

// The id of the header line, or 0 when it names no section.
int headerId(const std::string& line) {
  const std::string upper = upperCase(line);
  for (const SectionHeader& header : kHeaders) {
    if (upper == header.text) return header.id;
  }
  return 0;
}

// Reports an error met while loading without ending the load.
void reportLoadError(int number, const std::string& description) {
  int handled = 0;
  GenErrorHandler().HandleError(number, "modGenFunctionsResource.LoadResourceFile", description, 0, -1,
                                0, "", 0, handled);
}

void readItemLine(const std::string& line, int sectionId, ResourceSection& section) {
  const auto fields = modGenFunctionsString::splitText(line, "=");
  if (fields.size() < 2) {
    reportLoadError(kErrSubscript, "Resource line without \"=\" skipped: " + line);
    return;
  }
  const std::string key =
      sectionId == kMessageSection ? fields[0] : modGenFunctions::MakeCollectionKey(fields[0]);
  if (section.contains(key)) {
    reportLoadError(kErrDuplicateKey, "Duplicate resource key " + key + " in section " +
                                          std::to_string(sectionId) + "; the first text is kept");
    return;
  }
  section.add(key, sectionId == kMessageSection ? fields[1] : key + modGenFunctions::kListSeparator + fields[1]);
}

std::vector<std::string> lines(const std::string& text) {
  auto parts = modGenFunctionsString::splitText(text, "\n");
  for (std::string& part : parts) {
    if (!part.empty() && part.back() == '\r') part.pop_back();
  }
  return parts;
}

// Numeric value of the code part of a list key (after its first "_").
std::int32_t itemData(const std::string& key) {
  const auto underscore = key.find('_');
  return modGenFunctions::StrToLong(underscore == std::string::npos ? key : key.substr(underscore + 1));
}

// The text of message `number` as stored; nothing while no message is
// loaded. A missing number raises error 5.
std::optional<std::string> storedMessage(int number) {
  const ResourceSection& messages = GetResourceSection(kMessageSection);
  if (messages.count() == 0) return std::nullopt;
  return messages.item("MSG" + std::to_string(number));
}

}  // namespace

void ResourceSection::add(const std::string& key, std::string value) {
  const std::string folded = foldCase(key);
  if (index_.contains(folded)) {
    throw TvrError(kErrDuplicateKey, "", "Key is already associated with an element of this collection");
  }
  index_.emplace(folded, items_.size());
  items_.push_back({key, std::move(value)});
}

bool ResourceSection::contains(const std::string& key) const { return index_.contains(foldCase(key)); }

const std::string& ResourceSection::item(const std::string& key) const {
  const auto found = index_.find(foldCase(key));
  if (found == index_.end()) throw TvrError(kErrInvalidCall, "", "No resource item " + key);
  return items_[found->second].value;
}

void ResourceSection::clear() {
  items_.clear();
  index_.clear();
}

void loadResourceText(const std::string& text, int filter) {
  try {
    ResourceSection* current = nullptr;
    int currentId = 0;
    for (const std::string& line : lines(text)) {
      if (isBlankLine(line) || isComment(line)) continue;
      if (line.find("|[") != std::string::npos) {
        currentId = headerId(line);
        current = currentId != 0 ? &GetResourceSection(currentId) : nullptr;
        if (current != nullptr) current->clear();
        continue;
      }
      if (current != nullptr && (filter == 1 || filter == currentId)) readItemLine(line, currentId, *current);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsResource.LoadResourceFile");
  }
}

void loadResourceFileFrom(const std::string& path, int filter) {
  try {
    const std::string text = modGenFunctionsFile::ReadFileContent(path, true);
    if (!text.empty()) loadResourceText(text, filter);
  } catch (...) {
    raiseAgain("modGenFunctionsResource.LoadResourceFile");
  }
}

void LoadResourceFile(int filter) {
  try {
    loadResourceFileFrom(
        modGenApplicationSetting::GetFileSourceFolder(modGenApplicationSetting::kResourceTextFile).FullPath,
        filter);
  } catch (...) {
    raiseAgain("modGenFunctionsResource.LoadResourceFile");
  }
}

std::string MakeSectionKey(int sectionId) { return "C" + std::to_string(sectionId); }

ResourceSection& GetResourceSection(int sectionId) { return sections()[MakeSectionKey(sectionId)]; }

std::string GetResourceMessage(int number) {
  try {
    const auto text = storedMessage(number);
    if (!text) return {};
    return text->find(kParameterMark) == std::string::npos ? *text : ReplaceMessageParameters(*text);
  } catch (...) {
    raiseAgain("modGenFunctionsResource.GetResourceMessage");
  }
}

std::string GetResourceMessage(int number, const MessageParameters& parameters) {
  try {
    const auto text = storedMessage(number);
    if (!text) return {};
    return text->find(kParameterMark) == std::string::npos ? *text
                                                           : ReplaceMessageParameters(*text, parameters);
  } catch (...) {
    raiseAgain("modGenFunctionsResource.GetResourceMessage");
  }
}

std::string ReplaceMessageParameters(const std::string& text) {
  try {
    modGenFunctions::ShowMessageBox("Development error. Parameter for message not provided. 2145075", 0,
                                    modGenFunctions::kAppTitle);
    return text;
  } catch (...) {
    raiseAgain("modGenFunctionsResource.ReplaceMessageParameters");
  }
}

std::string ReplaceMessageParameters(const std::string& text, const MessageParameters& parameters) {
  try {
    std::string result;
    std::size_t from = 0;
    std::size_t index = 0;
    for (std::size_t mark; (mark = text.find(kParameterMark, from)) != std::string::npos; from = mark + 2) {
      if (index >= parameters.size()) {
        throw TvrError(kErrSubscript, "", "Subscript out of range: message parameter " +
                                              std::to_string(index) + " is missing");
      }
      result.append(text, from, mark - from);
      result += parameters[index++].text();
    }
    result.append(text, from);
    return result;
  } catch (...) {
    raiseAgain("modGenFunctionsResource.ReplaceMessageParameters");
  }
}

std::string GetResourceListText(int sectionId, const std::string& code) {
  try {
    if (code.empty()) return {};
    return GetItemText(GetResourceSection(sectionId).item(modGenFunctions::MakeCollectionKey(code)));
  } catch (...) {
    raiseAgain("modGenFunctionsResource.GetResourceListText");
  }
}

std::string GetResourceListText(int sectionId, std::int64_t code) {
  try {
    return GetItemText(GetResourceSection(sectionId).item(modGenFunctions::MakeCollectionKey(code)));
  } catch (...) {
    raiseAgain("modGenFunctionsResource.GetResourceListText");
  }
}

std::string GetResourceListText(int sectionId, const char* code) {
  return GetResourceListText(sectionId, std::string(code));
}

std::string GetItemText(const std::string& item) {
  try {
    if (item.empty()) return {};
    const auto fields = modGenFunctionsString::splitText(item, modGenFunctions::kListSeparator);
    if (fields.size() < 2) throw TvrError(kErrSubscript, "", "Subscript out of range: no item text");
    return fields[1];
  } catch (...) {
    raiseAgain("modGenFunctionsResource.GetItemText");
  }
}

bool FindResourceListItem(int sectionId, const std::string& text) {
  try {
    const std::string wanted = upperCase(text);
    for (const auto& item : GetResourceSection(sectionId).items()) {
      if (upperCase(GetItemText(item.value)) == wanted) return true;
    }
    return false;
  } catch (...) {
    raiseAgain("modGenFunctionsResource.FindResourceListItem");
  }
}

void FillComboFromResource(QComboBox* combo, int sectionId) {
  try {
    if (combo == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    for (const auto& item : GetResourceSection(sectionId).items()) {
      combo->addItem(QString::fromStdString(GetItemText(item.value)), itemData(item.key));
    }
  } catch (...) {
    raiseAgain("modGenFunctionsResource.FillComboFromResource");
  }
}

void FillComboFromResource(QListWidget* list, int sectionId) {
  try {
    if (list == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    for (const auto& item : GetResourceSection(sectionId).items()) {
      auto* entry = new QListWidgetItem(QString::fromStdString(GetItemText(item.value)));
      entry->setData(Qt::UserRole, itemData(item.key));
      list->addItem(entry);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsResource.FillComboFromResource");
  }
}

void FillTreeFromResource(QTreeWidget* tree, int sectionId) {
  try {
    if (tree == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    for (const auto& item : GetResourceSection(sectionId).items()) {
      auto* node = new QTreeWidgetItem(QStringList{QString::fromStdString(GetItemText(item.value))});
      node->setData(0, Qt::UserRole, QString::fromStdString(item.key));
      tree->addTopLevelItem(node);
    }
  } catch (...) {
    raiseAgain("modGenFunctionsResource.FillTreeFromResource");
  }
}

}  // namespace modGenFunctionsResource
