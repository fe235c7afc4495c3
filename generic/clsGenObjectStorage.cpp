// The data-file members of clsGenObject: load, save, unload and the lending
// lock. DataFileFormat: the document's XML text without declaration (root
// "TVR", owner attribute "OU" when the owner is checked), enciphered with
// clsGenEncryption when FileContentEncrypted, plain otherwise; the whole file
// is rewritten atomically on every save.
#include <array>
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

// The bytes of a data file as they are on disk; "" for a missing file or a
// collection without one.
std::string readDataBytes(const modGenApplicationSetting::FileSourceInfo& file) {
  if (file.FileName.empty()) return {};
  return modGenFunctionsFile::ReadFileContent(file.FullPath, false);
}

// The XML text held by `bytes`, deciphered when `encrypted`. Bytes too few to
// hold the cipher keys are marked damaged and give "".
std::string dataText(const std::string& bytes, bool encrypted, bool& damaged) {
  if (!encrypted) return bytes;
  if (bytes.size() >= kCipherOverhead) return GenEncryption().DecryptString(bytes, 1);
  damaged = !bytes.empty();
  return {};
}

// Keeps `bytes`, the content of a data file about to be replaced because it is
// damaged or belongs to another owner, beside it as
// "<name>.bad-<yyyyMMdd-hhmmss>" ("-2", "-3" ... added when that name is taken).
void keepDamagedCopy(const modGenApplicationSetting::FileSourceInfo& file, const std::string& bytes) {
  const std::string stem =
      file.FileName + ".bad-" + platform::now().toString("yyyyMMdd-hhmmss").toStdString();
  std::string name = stem;
  for (int n = 2; modGenFunctionsFile::FileExists(name, file.FolderPath); ++n) {
    name = stem + "-" + std::to_string(n);
  }
  modGenFunctionsFile::SaveFileContent(file.FolderPath, name, bytes, false, false, false);
}

// The owner named by a data file's root element ("" when it names none).
std::string ownerOf(pugi::xml_node root) {
  return modGenGlobals::ReadFieldValue(kRootAttributesClass, root, kOwnerField, true);
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
  const std::string bytes = readDataBytes(file);
  bool damaged = false;
  {
    const std::string text = dataText(bytes, FileContentEncrypted_, damaged);
    if (text.empty()) {
      modGenFunctionsXML::XMLClearDocument(doc_);
    } else if (!doc_->load(text)) {
      damaged = true;
    }
  }

  const bool foreign =
      ValidateOwnershipOnLoadingXMLDoc_ && rootElement() && ownerOf(rootElement()) != ClassOwner_;
  if (foreign) doc_->clear();
  if (damaged || foreign) keepDamagedCopy(file, bytes);
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
    const std::array<int32_t, 4> lastSeen = CounterSnapshot_;
    if (!IsXMLDocChanged()) return;
    try {
      writeDataFile();
    } catch (...) {
      // The changes are still unsaved: the next save must write them.
      CounterSnapshot_ = lastSeen;
      throw;
    }
  } catch (...) {
    raiseAgain("clsGenObject.SaveXMLDoc");
  }
}

void clsGenObject::writeDataFile() {
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  if (file.FileName.empty()) return;
  // A linked collection shares its class document whoever owns the
  // collection: rows of one account must never replace another's file.
  if (ValidateOwnershipOnLoadingXMLDoc_ && ownerOf(rootElement()) != ClassOwner_) {
    throw TvrError(kErrInvalidCall, "", "The rows held belong to another owner than " + file.FullPath);
  }
  modGenFunctionsFile::SaveFileContent(file.FolderPath, file.FileName,
                                       modGenFunctionsXML::XMLToString(doc_->documentNode()),
                                       FileContentEncrypted_, false, false);
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
