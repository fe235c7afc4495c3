// The data-file members of clsGenObject: load, save, unload and the lending
// lock. DataFileFormat: the document's XML text without declaration (root
// "TVR", owner attribute "OU" when the owner is checked), enciphered with
// clsGenEncryption when FileContentEncrypted, plain otherwise. A save that
// only changed rows with a UID appends them to the file's DataJournal; the
// whole file is rewritten atomically (folding the journal in) when that cannot
// express the changes, when the journal grows past its bound, and on a fold.
#include <QDir>
#include <QFile>
#include <algorithm>
#include <map>
#include <string>

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
constexpr int kDamagedCopyKeptMessage = 50102;
constexpr int kForeignCopyKeptMessage = 50103;
constexpr int kAccountsDamagedMessage = 50104;

// The journal each data file had when it was last loaded, by the file's path.
std::map<std::string, DataJournal::Position>& journalsAtLoad() {
  static std::map<std::string, DataJournal::Position> journals;
  return journals;
}

// An enciphered text carries four key bytes around its content.
constexpr std::size_t kCipherOverhead = 4;
// A data file's root start tag lies within its first bytes.
constexpr qint64 kStartTagBytes = 4096;

// The bytes of a data file as they are on disk; "" for a missing file or a
// collection without one.
std::string readDataBytes(const modGenApplicationSetting::FileSourceInfo& file) {
  if (file.FileName.empty()) return {};
  return modGenFunctionsFile::ReadFileContent(file.FullPath, false);
}

// Turns `bytes` into the XML text they hold, deciphered where they stand when
// `encrypted`. Bytes too few to hold the cipher keys are marked damaged and give "".
void toDataText(std::string& bytes, bool encrypted, bool& damaged) {
  if (!encrypted) return;
  if (bytes.size() >= kCipherOverhead) {
    GenEncryption().DecryptInPlace(bytes, 0);
    return;
  }
  damaged = !bytes.empty();
  bytes.clear();
}

// Tells the person which file was set aside under which name; the accounts
// file has its own text, as losing it loses every account of the machine.
void reportKeptCopy(int32_t classType, bool foreign,
                    const modGenApplicationSetting::FileSourceInfo& file, const std::string& kept) {
  const int message = foreign                        ? kForeignCopyKeptMessage
                      : classType == kLocalUserClass ? kAccountsDamagedMessage
                                                     : kDamagedCopyKeptMessage;
  ReportEvent("clsGenObject.LoadXMLDoc",
              modGenFunctionsResource::GetResourceMessage(message, {file.FullPath, kept}));
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

// The cipher works byte by byte with keys at both ends, so the head of the
// file with its last byte deciphers to the head of the text.
std::string clsGenObject::DataFileOwner(const std::string& fullPath) {
  try {
    QFile file(QString::fromStdString(fullPath));
    if (!file.open(QIODevice::ReadOnly) || file.size() < static_cast<qint64>(kCipherOverhead)) {
      return {};
    }
    QByteArray head = file.read(std::min(file.size() - 1, kStartTagBytes));
    if (!file.seek(file.size() - 1)) return {};
    head += file.read(1);
    const std::string text = GenEncryption().DecryptString(head.toStdString(), 1);
    const std::size_t end = text.find('>');
    const std::string root = std::string("<") + modGenFunctionsXML::kDefaultRootName;
    if (end == std::string::npos || text.compare(0, root.size(), root) != 0) return {};
    std::string startTag = text.substr(0, end);
    if (startTag.back() == '/') startTag.pop_back();
    pugi::xml_document document;
    if (!document.load_string((startTag + "/>").c_str())) return {};
    return ownerOf(document.document_element());
  } catch (...) {
    endError("clsGenObject.DataFileOwner");
    return {};
  }
}

bool clsGenObject::HasKeptCopies() const {
  try {
    const modGenApplicationSetting::FileSourceInfo file =
        dataFileOf(ClassType_, FileName_, LocalPath_);
    if (file.FileName.empty()) return false;
    const QString pattern =
        QString::fromStdString(file.FileName + modGenApplicationSetting::kKeptCopyMark) + "*";
    return !QDir(QString::fromStdString(file.FolderPath))
                .entryList({pattern}, QDir::Files)
                .isEmpty();
  } catch (...) {
    endError("clsGenObject.HasKeptCopies");
    return false;
  }
}

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
  journalsAtLoad().erase(file.FullPath);
  {
    std::string text = readDataBytes(file);
    toDataText(text, FileContentEncrypted_, damaged);
    if (text.empty()) {
      modGenFunctionsXML::XMLClearDocument(doc_);
    } else if (doc_->load(std::move(text), [&](pugi::xml_node root) {
                 journalsAtLoad()[file.FullPath] =
                     DataJournal(file.FullPath, FileContentEncrypted_).replayOnto(root, true);
               })) {
      doc_->changes().forget();
    } else {
      damaged = true;
    }
  }

  const bool foreign =
      ValidateOwnershipOnLoadingXMLDoc_ && rootElement() && ownerOf(rootElement()) != ClassOwner_;
  if (foreign) doc_->clear();
  if (damaged || foreign) {
    // The text went into the parse: the copy kept is read again from the file.
    reportKeptCopy(ClassType_, foreign, file,
                   modGenApplicationSetting::KeepDamagedCopy(file, readDataBytes(file)));
  }
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
    if (!IsLoaded() || !rootElement() || doc_->changes().none()) return;
    writeDataFile(false, true);
  } catch (...) {
    raiseAgain("clsGenObject.SaveXMLDoc");
  }
}

std::optional<DataJournal::Position> clsGenObject::SaveXMLDocUnflushed() {
  try {
    if (!IsLoaded() || !rootElement() || doc_->changes().none()) return std::nullopt;
    return writeDataFile(false, false);
  } catch (...) {
    raiseAgain("clsGenObject.SaveXMLDocUnflushed");
  }
}

bool clsGenObject::WriteLost(const DataJournal::Position& written) const {
  const std::string path = dataFileOf(ClassType_, FileName_, LocalPath_).FullPath;
  const auto loaded = journalsAtLoad().find(path);
  return loaded != journalsAtLoad().end() && DataJournal::Position::lostSince(loaded->second, written);
}

void clsGenObject::FoldXMLDoc() {
  try {
    if (!IsLoaded() || !rootElement()) return;
    writeDataFile(true, true);
  } catch (...) {
    raiseAgain("clsGenObject.FoldXMLDoc");
  }
}

// Changes that the journal can hold are appended and synced first, so that
// whenever a journal exists it holds every row's last form on disk: a
// rewrite that a crash interrupts before the journal is removed replays to
// the same rows.
std::optional<DataJournal::Position> clsGenObject::writeDataFile(bool fold, bool flush) {
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  if (file.FileName.empty()) return std::nullopt;
  // A linked collection shares its class document whoever owns the
  // collection: rows of one account must never replace another's file.
  if (ValidateOwnershipOnLoadingXMLDoc_ && ownerOf(rootElement()) != ClassOwner_) {
    throw TvrError(kErrInvalidCall, "", "The rows held belong to another owner than " + file.FullPath);
  }
  const DataJournal journal(file.FullPath, FileContentEncrypted_);
  RowChanges& changes = doc_->changes();
  const bool journalHeld = journal.exists();
  bool rewrite = changes.whole() || (fold && (journalHeld || changes.anyRow()));
  std::optional<DataJournal::Position> unflushed;
  if (changes.anyRow() && (journalHeld || !rewrite)) {
    const DataJournal::Records rows = journal.recordsFor(*doc_, XMLElementBaseName_, changes.inTurn());
    if (!rows.complete) {
      changes.makeWhole();
      rewrite = true;
    }
    if (!rows.records.empty()) {
      // A rewrite flushes the journal first: the append need not.
      const DataJournal::Appended appended = journal.append(rows.records, flush && !rewrite);
      if (!appended.flushed) unflushed = appended.at;
      rewrite = rewrite ||
                DataJournal::dueForFold(appended.at.end, DataJournal::dataFileSize(file.FullPath));
    }
    changes.forgetRows();
  }
  if (!rewrite) return unflushed;
  // Earlier saves may have left the journal's tail unflushed.
  if (journalHeld) journal.flush();
  modGenFunctionsFile::SaveFileContent(file.FolderPath, file.FileName,
                                       modGenFunctionsXML::XMLToString(doc_->documentNode()),
                                       FileContentEncrypted_, false, false);
  journal.remove();
  changes.forget();
  return std::nullopt;
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
