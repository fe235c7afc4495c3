// The data-file members of clsGenObject: load, save, unload and the lending
// lock. DataFileFormat: the document's XML text without declaration (root
// "TVR", owner attribute "OU" when the owner is checked), enciphered with
// clsGenEncryption when FileContentEncrypted, plain otherwise. A save that
// only changed rows with a UID appends them to the file's DataJournal; the
// whole file is rewritten atomically (folding the journal in) when that cannot
// express the changes, when the journal grows past its bound, and on a fold.
#include <QFile>
#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "BackgroundFold.h"
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
constexpr int32_t kUIDField = 0;
constexpr int kForeignOwnerMessage = 50101;
constexpr int kDamagedCopyKeptMessage = 50102;
constexpr int kForeignCopyKeptMessage = 50103;
constexpr int kAccountsDamagedMessage = 50104;
constexpr int kJournalDamagedMessage = 50112;
constexpr int kJournalForeignMessage = 50113;
constexpr int kJournalBesideLostFileMessage = 50114;
constexpr int kJournalUnprovenMessage = 50115;
constexpr int kJournalNotAFileMessage = 50116;

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

// Keeps a copy of `bytes` beside `file` and tells the person the file and
// the copy's name in the events list and the error log, in `message`.
void keepCopyAndTell(int message, const modGenApplicationSetting::FileSourceInfo& file,
                     const std::string& bytes) {
  const std::string kept = modGenApplicationSetting::KeepDamagedCopy(file, bytes);
  ReportEvent("clsGenObject.LoadXMLDoc",
              modGenFunctionsResource::GetResourceMessage(message, {file.FullPath, kept}));
}

// Moves what lies at `file` aside and tells the person, in `message`, what
// was there and where it went.
void moveAsideAndTell(int message, const modGenApplicationSetting::FileSourceInfo& file) {
  const std::string kept = modGenApplicationSetting::MoveAside(file);
  ReportEvent("clsGenObject.SaveXMLDoc",
              modGenFunctionsResource::GetResourceMessage(message, {file.FullPath, kept}));
}

// What tells that a data file was set aside; the accounts file has its own
// text, as losing it loses every account of the machine.
int keptDataFileMessage(int32_t classType, bool foreign) {
  return foreign                        ? kForeignCopyKeptMessage
         : classType == kLocalUserClass ? kAccountsDamagedMessage
                                        : kDamagedCopyKeptMessage;
}

// The journal as a file to keep copies of: "<name>.jnl" beside its data file.
modGenApplicationSetting::FileSourceInfo journalFileOf(const modGenApplicationSetting::FileSourceInfo& file,
                                                      const DataJournal& journal) {
  return {file.FileName + ".jnl", file.FolderPath, journal.path()};
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
    // Rows are looked up by UID from the first delivery on: their index is
    // built where they have just been read, not at the first look-up.
    doc_->prepareIndex(XMLElementBaseName_, modGenGlobals::FieldName(ClassType_, kUIDField));
  } catch (...) {
    raiseAgain("clsGenObject.LoadXMLDoc");
  }
}

// Rows of another owner's file are never shown, so the journal goes onto
// the rows of this owner's file, or onto the empty collection that replaces
// a missing, damaged or foreign file; the load then rewrites the file whole
// when the journal's rows are not all in it yet in a form a later load trusts.
void clsGenObject::readDataFile() {
  if (!doc_) XMLDocLinked(clsGenXMLDocument::create());
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  // The journal a fold set aside holds the records before the journal's.
  std::vector<DataJournal> journals;
  if (!file.FileName.empty()) {
    const DataJournal journal(file.FullPath, FileContentEncrypted_, journalOwner());
    journals = {journal.beingFolded(), journal};
  }
  std::vector<DataJournal::Replayed> replayed(journals.size());
  const auto replay = [&](pugi::xml_node root) {
    if (ofAnotherOwner(root)) return;
    for (std::size_t n = 0; n < journals.size(); ++n) {
      replayed[n] = journals[n].replayOnto(root, XMLElementBaseName_, true);
    }
  };

  bool damaged = false;
  std::string text = readDataBytes(file);
  toDataText(text, FileContentEncrypted_, damaged);
  const bool empty = text.empty();
  const bool stored = !empty && doc_->load(std::move(text), replay);
  damaged = damaged || (!empty && !stored);
  const bool foreign = stored && ofAnotherOwner(rootElement());
  if (damaged || foreign) {
    // The text went into the parse: the copy kept is read again from the file.
    keepCopyAndTell(keptDataFileMessage(ClassType_, foreign), file, readDataBytes(file));
  }
  if (foreign) {
    modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(kForeignOwnerMessage),
                                    platform::kMbInformation, modGenFunctions::kAppTitle);
  }
  if (!stored || foreign) doc_->load(emptyRootText(), replay);
  bool journalToFold = false;
  for (std::size_t n = 0; n < journals.size(); ++n) {
    journalToFold = settleJournal(journals[n], replayed[n], file, damaged || foreign) || journalToFold;
  }
  doc_->changes().forget();

  if (!stored || foreign || journalToFold) {
    doc_->changes().makeWhole();
    try {
      writeDataFile(true, true);
    } catch (...) {
      // Only a file that was lost must be written now. A journal's fold is
      // housekeeping: the file and its journals still hold the rows read,
      // and the next load folds them (a full disk must not keep the rows
      // from being read).
      if (!stored || foreign) throw;
      logError("clsGenObject.LoadXMLDoc");
      doc_->changes().forget();
    }
  }
}

std::string clsGenObject::journalOwner() const {
  return ValidateOwnershipOnLoadingXMLDoc_ ? ClassOwner_ : std::string();
}

bool clsGenObject::ofAnotherOwner(pugi::xml_node root) const {
  return ValidateOwnershipOnLoadingXMLDoc_ && ownerOf(root) != ClassOwner_;
}

std::string clsGenObject::emptyRootText() const {
  pugi::xml_document fresh;
  pugi::xml_node root = fresh.append_child(modGenFunctionsXML::kDefaultRootName);
  if (ValidateOwnershipOnLoadingXMLDoc_) {
    root.append_attribute(modGenGlobals::FieldName(kRootAttributesClass, kOwnerField).c_str())
        .set_value(ClassOwner_.c_str());
  }
  return modGenFunctionsXML::XMLToString(fresh);
}

// A damaged journal kept aside is copied, so that its rows stay where the
// load put them until the rewrite that follows holds them; when no copy can
// be written (a full disk), it stays where it is, applied, and the next load
// keeps it. One that was not applied is moved aside at once (a rename needs
// no room), so that later appends start a journal of their own.
bool clsGenObject::settleJournal(const DataJournal& journal, const DataJournal::Replayed& replayed,
                                 const modGenApplicationSetting::FileSourceInfo& file,
                                 bool fileLost) {
  const modGenApplicationSetting::FileSourceInfo kept = journalFileOf(file, journal);
  bool fold = replayed.found && replayed.legacy && !replayed.foreign;
  if (replayed.notAFile) {
    moveAsideAndTell(kJournalNotAFileMessage, kept);
  } else if (replayed.foreign || replayed.unproven) {
    moveAsideAndTell(replayed.foreign ? kJournalForeignMessage : kJournalUnprovenMessage, kept);
  } else if (replayed.damaged) {
    try {
      keepCopyAndTell(kJournalDamagedMessage, kept, journal.bytes());
      fold = true;
    } catch (...) {
      logError("clsGenObject.LoadXMLDoc");
    }
  } else if (fileLost && replayed.found) {
    keepCopyAndTell(kJournalBesideLostFileMessage, kept, journal.bytes());
  }
  if (replayed.folded) journal.remove();
  return fold;
}

void clsGenObject::SaveXMLDoc() {
  try {
    // Only a loaded collection holds its file's rows; writing any other
    // would replace the file with whatever the document holds meanwhile.
    if (!IsLoaded() || !rootElement()) return;
    if (doc_->changes().none()) {
      flushWrittenJournal();
      return;
    }
    writeDataFile(false, true);
  } catch (...) {
    raiseAgain("clsGenObject.SaveXMLDoc");
  }
}

// What an earlier WriteXMLDoc left unsynced is a change not yet durable.
void clsGenObject::flushWrittenJournal() {
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  if (file.FileName.empty()) return;
  const DataJournal journal(file.FullPath, FileContentEncrypted_, journalOwner());
  if (journal.written()) journal.flush();
}

void clsGenObject::WriteXMLDoc() {
  try {
    if (!IsLoaded() || !rootElement() || doc_->changes().none()) return;
    writeDataFile(false, false);
  } catch (...) {
    raiseAgain("clsGenObject.WriteXMLDoc");
  }
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
// whenever a journal exists it holds every row's last form on disk. The
// rewrite names the journal it folds, so that a crash before the journal is
// removed leaves a journal that the next load knows to be in the file.
void clsGenObject::writeDataFile(bool fold, bool flush) {
  const modGenApplicationSetting::FileSourceInfo file = dataFileOf(ClassType_, FileName_, LocalPath_);
  if (file.FileName.empty()) return;
  // A linked collection shares its class document whoever owns the
  // collection: rows of one account must never replace another's file.
  if (ofAnotherOwner(rootElement())) {
    throw TvrError(kErrInvalidCall, "", "The rows held belong to another owner than " + file.FullPath);
  }
  const DataJournal journal(file.FullPath, FileContentEncrypted_, journalOwner());
  // Whatever is no journal where one belongs would stop every fold.
  bool journalHeld = false;
  for (const DataJournal& each : {journal.beingFolded(), journal}) {
    const DataJournal::Kind found = each.kind();
    if (found == DataJournal::Kind::kOther) moveAsideAndTell(kJournalNotAFileMessage, journalFileOf(file, each));
    journalHeld = journalHeld || found == DataJournal::Kind::kFile;
  }
  RowChanges& changes = doc_->changes();
  bool rewrite = changes.whole() || (fold && (journalHeld || changes.anyRow()));
  if (changes.anyRow() && (journalHeld || !rewrite)) {
    const DataJournal::Records rows = journal.recordsFor(*doc_, XMLElementBaseName_, changes.inTurn());
    if (!rows.complete) {
      changes.makeWhole();
      rewrite = true;
    }
    std::uint64_t journalSize = 0;
    if (!rows.records.empty()) {
      // A rewrite flushes the journal first: the append need not.
      journalSize = appendRows(journal, rows.records, flush && !rewrite);
    }
    changes.forgetRows();
    const std::uint64_t dataSize = DataJournal::dataFileSize(file.FullPath);
    if (!rewrite && journalSize > 0 && journal.dueForFold(journalSize, dataSize) &&
        !BackgroundFold::running(file.FullPath)) {
      if (BackgroundFold::worthIt(dataSize)) {
        foldInBackground(file, journal, journalSize);
      } else {
        foldAfterAppend(file, journal, journalSize);
      }
      return;
    }
  }
  if (!rewrite) return;
  rewriteDataFile(file, journal);
  changes.forget();
}

// The save has succeeded once its rows are in the journal: a fold that fails
// keeps the journal, which stays valid, is logged once, and is tried again
// once the journal has grown as much again, or at the next fold asked for.
void clsGenObject::foldAfterAppend(const modGenApplicationSetting::FileSourceInfo& file,
                                   const DataJournal& journal, std::uint64_t journalSize) {
  RowChanges& changes = doc_->changes();
  try {
    writeWholeFile(file, journal);
  } catch (...) {
    // Only the root's mark of the journal it would have folded changed.
    changes.forget();
    if (journal.foldFailed(journalSize)) logError("clsGenObject.SaveXMLDoc");
    return;
  }
  try {
    removeFolded(journal);
    changes.forget();
  } catch (...) {
    // The file names the journal as folded: appends to it would be passed
    // over, so the changes stay whole until a rewrite removes it.
    if (journal.foldFailed(journalSize)) logError("clsGenObject.SaveXMLDoc");
  }
}

// As foldAfterAppend, away from the event loop: the save has succeeded.
void clsGenObject::foldInBackground(const modGenApplicationSetting::FileSourceInfo& file,
                                    const DataJournal& journal, std::uint64_t journalSize) {
  try {
    BackgroundFold::start(doc_, file, FileContentEncrypted_, journal);
  } catch (...) {
    if (journal.foldFailed(journalSize)) logError("clsGenObject.SaveXMLDoc");
  }
}

std::uint64_t clsGenObject::appendRows(const DataJournal& journal,
                                               const std::vector<std::string>& records, bool flush) {
  const std::uint64_t before = journal.size();
  try {
    return journal.append(records, flush);
  } catch (...) {
    // Part of the failed append stayed: only a rewrite puts the journal right.
    if (journal.size() != before) doc_->changes().makeWhole();
    throw;
  }
}

void clsGenObject::rewriteDataFile(const modGenApplicationSetting::FileSourceInfo& file,
                                   const DataJournal& journal) {
  writeWholeFile(file, journal);
  removeFolded(journal);
}

void clsGenObject::removeFolded(const DataJournal& journal) {
  const DataJournal aside = journal.beingFolded();
  if (aside.kind() == DataJournal::Kind::kFile) aside.remove();
  journal.remove();
}

// A fold under way in the background ends first, so that it never puts an
// older file over this one.
void clsGenObject::writeWholeFile(const modGenApplicationSetting::FileSourceInfo& file,
                                  const DataJournal& journal) {
  BackgroundFold::settle(file.FullPath);
  const pugi::xml_node root = rootElement();
  std::string folded;
  for (const DataJournal& each : {journal.beingFolded(), journal}) {
    if (each.kind() != DataJournal::Kind::kFile) continue;
    // Earlier saves may have left the journal's tail unflushed.
    each.flush();
    const std::string id = each.id();
    if (!id.empty()) folded += (folded.empty() ? "" : " ") + id;
  }
  if (!folded.empty()) clsGenXMLDocument::setAttribute(root, DataJournal::kFoldedAttribute, folded);
  modGenFunctionsFile::SaveFileContent(file.FolderPath, file.FileName,
                                       modGenFunctionsXML::XMLToString(doc_->documentNode()),
                                       FileContentEncrypted_, false, false);
  DataJournal::stepDone(DataJournal::Step::kRewrite);
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
