#include "clsApplicationSetting.h"

#include <vector>

#include "TvrError.h"
#include "clsGenEncryption.h"
#include "clsGenErrorHandler.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"

std::unique_ptr<clsApplicationSetting> ApplicationSetting;

namespace {

// The text content of an element: its text and CDATA descendants in order.
std::string textContent(pugi::xml_node element) {
  std::string text;
  for (pugi::xml_node node = element.first_child(); node;) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && node != element && !node.next_sibling()) node = node.parent();
    node = (node && node != element) ? node.next_sibling() : pugi::xml_node();
  }
  return text;
}

constexpr int kSettingsDamagedMessage = 50105;
// An enciphered text carries four key bytes around its content.
constexpr std::size_t kCipherOverhead = 4;

// The settings document that `bytes`, a settings file's enciphered content,
// holds; none when they hold no document with a root element.
XMLDocumentRef settingsIn(const std::string& bytes) {
  if (bytes.size() < kCipherOverhead) return {};
  XMLDocumentRef document = clsGenXMLDocument::create();
  if (!modGenFunctionsXML::XMLLoadFromString(document, GenEncryption().DecryptString(bytes, 1)) ||
      !document->rootElement()) {
    return {};
  }
  return document;
}

[[noreturn]] void raiseObjectNotSet() {
  throw TvrError(kErrObjectNotSet, "", "Object variable or With block variable not set");
}

}  // namespace

clsApplicationSetting::clsApplicationSetting() {
  try {
    using namespace modGenApplicationSetting;
    const FileSourceInfo file = GetFileSourceFolder(kSettingsFile);
    if (!modGenFunctionsFile::FileExists(file.FullPath)) return;
    const std::string bytes = modGenFunctionsFile::ReadFileContent(file.FullPath);
    document_ = settingsIn(bytes);
    if (!document_) startFromTemplate(file, bytes);
  } catch (...) {
    document_.reset();
    endError("clsApplicationSetting.Class_Initialize");
  }
}

clsApplicationSetting::~clsApplicationSetting() {
  try {
    writeBack();
  } catch (...) {
    endError("clsApplicationSetting.Class_Terminate");
  }
}

// A settings file that holds no settings document must not stop the
// program: the shipped template's defaults stand in for it, and what it held
// is kept aside first and named to the person.
void clsApplicationSetting::startFromTemplate(const modGenApplicationSetting::FileSourceInfo& file,
                                              const std::string& bytes) {
  using namespace modGenApplicationSetting;
  document_ = settingsIn(
      modGenFunctionsFile::ReadFileContent(GetFileSourceFolder(kSettingsTemplate).FullPath));
  if (!document_ || bytes.empty()) return;
  const std::string kept = KeepDamagedCopy(file, bytes);
  ReportEvent(
      "clsApplicationSetting.Class_Initialize",
      modGenFunctionsResource::GetResourceMessage(kSettingsDamagedMessage, {file.FullPath, kept}));
}

// A document without a root is never written: an empty D000.Dat would keep
// the start-up from copying the template again, and every later look-up
// would fail.
void clsApplicationSetting::writeBack() {
  if (!document_ || !document_->rootElement()) return;
  const auto file = modGenApplicationSetting::GetFileSourceFolder(modGenApplicationSetting::kSettingsFile);
  modGenFunctionsFile::SaveFileContent(file.FolderPath, file.FileName,
                                       modGenFunctionsXML::XMLToString(document_->documentNode()),
                                       true, false, false);
}

pugi::xml_node clsApplicationSetting::requireRoot() const {
  if (!document_) raiseObjectNotSet();
  const pugi::xml_node root = document_->rootElement();
  if (!root) raiseObjectNotSet();
  return root;
}

pugi::xml_node clsApplicationSetting::findSetting(const std::string& name) const {
  const pugi::xml_node root = requireRoot();
  if (prefix_.empty()) throw TvrError(kErrInvalidCall, "", "The settings prefix is not set");
  const std::string qualified = prefix_ + ":P";
  for (pugi::xml_node child : root.children(qualified.c_str())) {
    if (name == child.attribute(kNameAttribute).value()) return child;
  }
  return {};
}

void clsApplicationSetting::setText(pugi::xml_node element, const std::string& value) {
  std::vector<pugi::xml_node> children;
  for (pugi::xml_node child : element.children()) children.push_back(child);
  for (pugi::xml_node child : children) document_->remove(child);
  if (!value.empty()) element.append_child(pugi::node_pcdata).set_value(value.c_str());
}

std::string clsApplicationSetting::GetAppSetting(const std::string& name,
                                                 const std::string& defaultValue) {
  try {
    const pugi::xml_node setting = findSetting(name);
    return setting ? textContent(setting) : defaultValue;
  } catch (...) {
    raiseAgain("clsApplicationSetting.GetAppSetting");
  }
}

void clsApplicationSetting::SaveAppSetting(const std::string& name, const std::string& value) {
  try {
    const pugi::xml_node setting = findSetting(name);
    if (setting) {
      setText(setting, value);
    } else {
      AddAppSettingNode(name, value);
    }
  } catch (...) {
    raiseAgain("clsApplicationSetting.SaveAppSetting");
  }
}

void clsApplicationSetting::AddAppSettingNode(const std::string& name, const std::string& value) {
  try {
    const pugi::xml_node element =
        modGenFunctionsXML::XMLAppendElement(requireRoot(), kSettingElement, value);
    modGenFunctionsXML::XMLSetAttribute(element, kNameAttribute, name);
  } catch (...) {
    raiseAgain("clsApplicationSetting.AddAppSettingNode");
  }
}
