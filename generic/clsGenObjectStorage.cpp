// The data-file members of clsGenObject: load, save, unload and the lending
// lock. DataFileFormat: the document's XML text without declaration (root
// "TVR", owner attribute "OU" when the owner is checked), enciphered with
// clsGenEncryption when FileContentEncrypted, plain otherwise; the whole file
// is rewritten atomically on every save.
#include <string>

#include "Clock.h"
#include "MessageBox.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "clsGenErrorHandler.h"
#include "clsGenObject.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"

namespace {

// The local accounts are shared by every account of the machine: their file
// lies in the data folder itself, never in an account's folder.
constexpr int32_t kLocalUserClass = 7;
// Record class of the root element's attributes, and its owner field "OU".
constexpr int32_t kRootAttributesClass = 12;
constexpr int32_t kOwnerField = 1;
constexpr int kForeignOwnerMessage = 50101;
// An enciphered text carries four key bytes around its content.
constexpr std::size_t kCipherOverhead = 4;

// The text of a data file: "" for a missing or empty file (or none at all),
// deciphered when `encrypted`. A file too short to hold its cipher keys is
// marked damaged and gives "".
std::string readDataText(const modGenApplicationSetting::FileSourceInfo& file, bool encrypted,
                         bool& damaged) {
  if (file.FileName.empty()) return {};
  std::string bytes = modGenFunctionsFile::ReadFileContent(file.FullPath, false);
  if (!encrypted) return bytes;
  if (bytes.size() >= kCipherOverhead) return GenEncryption().DecryptString(bytes, 1);
  damaged = !bytes.empty();
  return {};
}

// A copy of a data file that is about to be replaced because it is damaged or
// belongs to another owner: "<name>.bad-<yyyyMMdd-hhmmss>" beside it (with
// "-2", "-3" ... when that name is taken), holding the file's bytes as they
// are (the file has not been written since it was read).
void keepDamagedCopy(const modGenApplicationSetting::FileSourceInfo& file) {
  const std::string bytes = modGenFunctionsFile::ReadFileContent(file.FullPath, false);
  const std::string stem =
      file.FileName + ".bad-" + platform::now().toString("yyyyMMdd-hhmmss").toStdString();
  std::string name = stem;
  for (int n = 2; modGenFunctionsFile::FileExists(name, file.FolderPath); ++n) {
    name = stem + "-" + std::to_string(n);
  }
  modGenFunctionsFile::SaveFileContent(file.FolderPath, name, bytes, false, false, false);
}

// Where a collection's data file lies; all empty for a collection without one.
modGenApplicationSetting::FileSourceInfo dataFileOf(int32_t classType, const std::string& fileName,
                                                   const std::string& localPath) {
  using namespace modGenApplicationSetting;
  if (fileName.empty()) return {};
  if (classType == kLocalUserClass) return GetFileSourceFolder(kSharedDataFile, fileName);
  return GetFileSourceFolder(kUserDataFile, fileName, localPath);
}

}  // namespace

// ---- Lending lock ------------------------------------------------------

void clsGenObject::GetExclusiveLock() { IsObjectLocked_ = true; }

void clsGenObject::ReleaseExclusiveLock() { IsObjectLocked_ = false; }

// ---- Load, save, unload ------------------------------------------------

void clsGenObject::setLoaded(bool loaded) {
  if (linked()) {
    if (ClassType_ < 0 || ClassType_ >= modGenGlobals::kClassCount) {
      throw TvrError(kErrSubscript, "", "Subscript out of range");
    }
    modGenGlobals::ClassDocLoaded[ClassType_] = loaded;
  }
  isLoaded_ = loaded;
}

void clsGenObject::LoadXMLDoc(bool force) {
  try {
    if (IsLoaded() && !force) return;
    // The flags are set before the file is read, as every linked instance
    // of the class must see the load under way.
    setLoaded(true);
    if (linked()) {
      countPrimaryUpdate();
      countSubUpdate();
    }
    try {
      readDataFile();
    } catch (...) {
      // A collection whose file could not be read does not count as loaded,
      // so no save writes its empty document over that file.
      setLoaded(false);
      throw;
    }
  } catch (...) {
    raiseAgain("clsGenObject.LoadXMLDoc");
  }
}

void clsGenObject::readDataFile() {
  if (!doc_) XMLDocLinked(clsGenXMLDocument::create());
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  bool damaged = false;
  {
    const std::string text = readDataText(file, FileContentEncrypted_, damaged);
    if (text.empty()) {
      modGenFunctionsXML::XMLClearDocument(doc_);
    } else if (!doc_->load(text)) {
      damaged = true;
    }
  }

  bool foreign = false;
  if (ValidateOwnershipOnLoadingXMLDoc_ && rootElement()) {
    const std::string owner =
        modGenGlobals::ReadFieldValue(kRootAttributesClass, rootElement(), kOwnerField, true);
    if (owner != ClassOwner_) {
      doc_->clear();
      foreign = true;
    }
  }
  if (damaged || foreign) keepDamagedCopy(file);
  if (foreign) {
    modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(kForeignOwnerMessage),
                                    platform::kMbInformation, modGenFunctions::kAppTitle);
  }

  if (!rootElement()) {
    const pugi::xml_node root = modGenFunctionsXML::XMLAppendElement(
        doc_->documentNode(), modGenFunctionsXML::kDefaultRootName, "");
    if (ValidateOwnershipOnLoadingXMLDoc_) {
      modGenFunctionsXML::XMLSetAttribute(
          root, modGenGlobals::FieldName(kRootAttributesClass, kOwnerField), ClassOwner_);
    }
    SaveXMLDoc();
  }
}

void clsGenObject::SaveXMLDoc() {
  try {
    // Only a loaded collection holds its file's rows; writing any other
    // would replace the file with whatever the document holds meanwhile.
    if (!IsLoaded() || !rootElement()) return;
    if (!IsXMLDocChanged()) return;
    const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
    if (file.FileName.empty()) return;
    modGenFunctionsFile::SaveFileContent(file.FolderPath, file.FileName,
                                         modGenFunctionsXML::XMLToString(doc_->documentNode()),
                                         FileContentEncrypted_, false, false);
  } catch (...) {
    raiseAgain("clsGenObject.SaveXMLDoc");
  }
}

void clsGenObject::UnloadXMLDoc() {
  try {
    setLoaded(false);
    if (linked()) {
      countPrimaryUpdate();
      countSubUpdate();
    }
    if (!doc_) XMLDocLinked(clsGenXMLDocument::create());
    doc_->clear();
    modGenFunctionsXML::XMLAppendElement(doc_->documentNode(), modGenFunctionsXML::kDefaultRootName, "");
  } catch (...) {
    raiseAgain("clsGenObject.UnloadXMLDoc");
  }
}
