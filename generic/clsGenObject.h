#pragma once
// clsGenObject: a collection of records of one record class held as one XML
// document. Rows are the child elements of the root element, named
// XMLElementBaseName; sub rows are child elements of a row, named
// XMLSubElementBaseName; fields are attributes named through
// modGenGlobals::FieldNameTable. Every value is text.
//
// A linked collection works on the shared ClassDocument of its ClassType and
// records every change in that class's counters and changed-row lists
// (modGenGlobals); an unlinked one works on a private document and records
// nothing. The collection owns two cursors (rows, and sub rows of the current
// row), the current row and sub row, and a private document that holds a row
// made by CreateNewRow until AddCurrentRow puts it into the collection.
//
// Look-ups compare one attribute with one value for exact equality, in
// document order, first match first; a value is never turned into query
// text, so any text (apostrophes, brackets, query syntax) is only compared.
//
// Errors: methods report a failure to the error handler under
// "clsGenObject.<Member>" and raise it again; properties report it and return
// their empty value. Error numbers: 9 field or class outside the table,
// 91 no row/document where one is needed, 1000 cursor misuse (after a message
// box), 6 counter overflow.
//
// Handles. The collection keeps its own handles valid: rows removed through
// any collection of the same document disappear from its current row, sub
// row and cursors. Handles it gives out (GetCurrent, PC_Current, SC_Current,
// the rows listed by SelectRowsBySubField) are valid only until that row is
// removed, through any collection of the document, or the document is
// reloaded, unloaded or replaced; callers must not keep them past that.
// A cursor's list is a snapshot taken at selection: rows added later are not
// in it, and a row removed later leaves an empty entry that moves step over.
//
// Not copyable; use on the UI thread only.
#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DataJournal.h"
#include "clsGenVirtualXMLCursor.h"
#include "clsGenXMLDocument.h"
#include "modGenApplicationSetting.h"

// A field value as callers pass it: a text, or a whole number taken in its
// decimal text form. Values are always compared and stored as text.
// A parameter type only: it refers to the caller's text, which outlives the
// call, instead of copying it.
class FieldValue {
 public:
  FieldValue(const std::string& text) : text_(text) {}
  FieldValue(std::string_view text) : text_(text) {}
  FieldValue(const char* text) : text_(text) {}
  template <std::integral Number>
    requires(!std::same_as<Number, bool> && !std::same_as<Number, char>)
  FieldValue(Number number) : number_(std::to_string(number)), text_(number_) {}
  FieldValue(const FieldValue&) = delete;
  FieldValue& operator=(const FieldValue&) = delete;

  std::string_view text() const { return text_; }

 private:
  std::string number_;
  std::string_view text_;
};

// Cursor kinds and selection modes of clsGenObject::SelectRows.
enum SelectCursorKind : int32_t { kPrimaryCursor = 1, kSubCursor = 2 };
enum SelectMode : int32_t { kSelectSingle = 1, kSelectMultiple = 2 };
// The field argument that selects without a criterion.
inline constexpr int32_t kNoCriterion = -1;

class clsGenObject final : private clsGenXMLDocument::Holder {
 public:
  clsGenObject() = default;
  ~clsGenObject();
  clsGenObject(const clsGenObject&) = delete;
  clsGenObject& operator=(const clsGenObject&) = delete;

  // ---- Properties ------------------------------------------------------
  void ClassOwner(const std::string& owner) { ClassOwner_ = owner; }
  void ClassType(int32_t classType) { ClassType_ = classType; }
  int32_t ClassType() const { return ClassType_; }
  // Child nodes of the root element; 0 without one.
  int32_t CountAll() const;
  void FileContentEncrypted(bool encrypted) { FileContentEncrypted_ = encrypted; }
  void FileName(const std::string& fileName) { FileName_ = fileName; }
  pugi::xml_node GetCurrent() const { return CurrentRow_; }
  int32_t GetPrimaryDeleteCounter() const;
  int32_t GetPrimaryUpdateCounter() const;
  int32_t GetSubDeleteCounter() const;
  int32_t GetSubUpdateCounter() const;
  void IsLinkedToGlobalXMLDoc(bool linked) { IsLinkedToGlobalXMLDoc_ = linked; }
  // Linked: the class document was loaded; unlinked: this document was.
  bool IsLoaded() const;
  bool IsObjectLocked() const { return IsObjectLocked_; }
  bool IsRowSelected() const { return static_cast<bool>(CurrentRow_); }
  bool IsSubRowSelected() const { return static_cast<bool>(CurrentSubRow_); }
  void LocalPath(const std::string& localPath) { LocalPath_ = localPath; }
  bool PC_BeginningOfList() const;
  int32_t PC_Count() const;
  pugi::xml_node PC_Current() const;
  // Index of the first row of the primary selection whose `field` equals
  // `value` (selecting every row first when nothing is selected); -1 when
  // none matches, 0 after a reported failure.
  int32_t PC_CurrentPos(int32_t field, const FieldValue& value);
  bool PC_EndOfList() const;
  bool PC_IsInitialized() const { return static_cast<bool>(PrimaryCursor_); }
  bool SC_BOL() const;
  int32_t SC_Count() const;
  pugi::xml_node SC_Current() const;
  bool SC_EOL() const;
  void SubClassType(int32_t classType) { SubClassType_ = classType; }
  int32_t SubClassType() const { return SubClassType_; }
  void ValidateOwnershipOnLoadingXMLDoc(bool validate) {
    ValidateOwnershipOnLoadingXMLDoc_ = validate;
  }
  // The document the collection works on. Setting another document drops
  // the current row, sub row and cursor entries that lie in the old one.
  void XMLDocLinked(XMLDocumentRef document);
  const XMLDocumentRef& XMLDocLinked() const { return doc_; }
  const std::string& XMLElementBaseName() const { return XMLElementBaseName_; }
  void XMLElementBaseName(const std::string& name) { XMLElementBaseName_ = name; }
  void XMLPrimaryTemplate(const std::string& xml) {
    XMLPrimaryTemplate_ = xml;
    primaryTemplateChanged_ = true;
  }
  const std::string& XMLSubElementBaseName() const { return XMLSubElementBaseName_; }
  void XMLSubElementBaseName(const std::string& name) { XMLSubElementBaseName_ = name; }
  void XMLSubTemplate(const std::string& xml) {
    XMLSubTemplate_ = xml;
    subTemplate_.reset();
  }

  // ---- Rows and fields -------------------------------------------------
  // Appends the current row (one made by CreateNewRow) to the collection; it
  // stays current. Nothing without a current row.
  void AddCurrentRow();
  // Appends `element` (copied when it lies in another document, moved when it
  // lies in this one) and makes it the current row. Nothing for a null element.
  void AddRow(pugi::xml_node element);
  // Selects the first row whose keyField equals keyValue and appends to it a
  // sub row from XMLSubTemplate with subField set to subValue; the new sub row
  // becomes current. Raises 91 when no row matches.
  void AddSubRow(int32_t keyField, const FieldValue& keyValue, int32_t subField,
                 const FieldValue& subValue);
  void AddToDeletedList(std::string_view uid);
  void AddToUpdatedList(std::string_view uid);
  void ClearCurrent();
  // Makes a new row from XMLPrimaryTemplate current, outside the collection
  // until AddCurrentRow. With assignUID it writes a new UID into uidField and
  // returns it, else returns "". Raises 5 when the template does not parse.
  std::string CreateNewRow(bool assignUID, int32_t uidField);
  // Removes the current row (useCurrent; then ClearCurrent) or the first row
  // whose field equals value; true when a row went. save: SaveXMLDoc after a
  // removal.
  bool Delete(bool useCurrent, int32_t field, const FieldValue& value, bool save);
  void DeleteAll(bool save);
  void DeleteByCollection(int32_t field, const std::vector<std::string>& values, bool save);
  void DeleteSubRow(int32_t keyField, const FieldValue& keyValue, int32_t subField,
                    const FieldValue& subValue);
  // The current row's field (a computed value for 50000 and above); "" when
  // the attribute is missing. Without a current row "" and the field is not
  // checked; with one, a field outside the table raises 9.
  std::string GetField(int32_t field);
  // The same for the current sub row, its fields named by SubClassType.
  std::string GetFieldFromSubRow(int32_t field);
  // wantedField of the first row whose keyField equals key, through the
  // installed field-value reader; the current row does not move.
  std::string GetRowFieldByKey(int32_t keyField, const FieldValue& key, int32_t wantedField,
                               bool showEmptyText);
  // Linked: whether a counter of the class moved since this collection last
  // asked (then remembers them). Unlinked: always true.
  bool IsXMLDocChanged();
  void MarkRowAsUpdated(std::string uid);
  // Moves the first sub row of row (keyField = fromKey) whose subField equals
  // subValue to the end of row (toKeyField = toKey). Raises 91, moving
  // nothing, when either row is missing. No current row afterwards.
  void MoveSubRow(int32_t keyField, const FieldValue& fromKey, int32_t toKeyField,
                  const FieldValue& toKey, int32_t subField, const FieldValue& subValue);
  // SetField, SetFields, SetIncrementedField (and SubRowSetField for the
  // current sub row) do nothing, and check nothing, without a current row.
  // With one, a field outside the table (or unused in it) raises 9 before
  // anything changes.
  void SetField(int32_t field, const FieldValue& value);
  // Writes values[i] into fields[i], skipping fields of -1. Raises 9 before
  // writing anything when a field is outside the table or a value is missing.
  void SetFields(const std::vector<int32_t>& fields, const std::vector<std::string>& values);
  // Adds delta to the field read as a whole number (non-numbers read as 0,
  // fractions round half to even). Raises 6 on overflow.
  void SetIncrementedField(int32_t field, int32_t delta);
  void SetRowFieldByKey(int32_t keyField, const FieldValue& key, int32_t field,
                        const FieldValue& value);
  void SubRowSetField(int32_t field, const FieldValue& value);

  // ---- Data file (clsGenObjectStorage.cpp) -----------------------------
  // Reads the data file into the document unless loaded (force: again). A
  // missing, empty or damaged file, or one of another owner (after resource
  // message 50101), gives an empty collection under a fresh root that is
  // written at once; a damaged or foreign file is first kept beside it as
  // "<name>.bad-<yyyyMMdd-hhmmss>", and the events list and the error log
  // name the kept copy (ReportEvent). A file that cannot be read raises and
  // leaves the collection not loaded.
  // The file's journal is replayed onto the rows, or onto the empty
  // collection that replaces the file. A damaged journal, one beside a
  // damaged or foreign file, and one that names another file or owner or
  // whose first record fails its check (then not replayed) are kept as
  // "<name>.jnl.bad-..." and named the same way; a damaged one, or one of an
  // older build, is then folded into the file at once. Anything else at the
  // journal's path (a folder, a link ...) is moved aside under that name and
  // named, here or at the next save, and a fresh journal starts.
  void LoadXMLDoc(bool force);
  // The owner ("OU") that the enciphered data file at fullPath names; "" when
  // it names none or cannot be read.
  static std::string DataFileOwner(const std::string& fullPath);
  // Makes every change of the document since its file was last in step
  // durable: rows changed, added or removed go to the file's journal with
  // one sync; other changes rewrite the whole file atomically. A journal
  // that the append made due by its size is then folded into the file; a
  // fold that fails is logged once and leaves the save done (the journal
  // holds its rows). Nothing is written when nothing changed (what an
  // earlier WriteXMLDoc wrote is then synced), and a
  // collection that is not loaded is never written. Raises 5, writing
  // nothing, when the owner checked on loading is not the one the document's
  // root names (a linked collection of another account). After a failed
  // write the next save writes again.
  void SaveXMLDoc();
  // Writes like SaveXMLDoc without waiting for the disk: a crash of the
  // program keeps what it wrote, a crash of the machine may lose it until
  // DataJournal::flushWritten() (or a later save of this file) returns.
  void WriteXMLDoc();
  // Saves, then rewrites the whole file and removes its journal when one is
  // left (the save timer and the shut-down).
  void FoldXMLDoc();
  // Drops the rows: the document keeps a bare root "TVR" (for a linked
  // collection, every instance of the class sees it) until the next load.
  void UnloadXMLDoc();
  // The pools' lending mark (IsObjectLocked); not a thread lock.
  void GetExclusiveLock();
  void ReleaseExclusiveLock();

  // ---- Selection and cursors -------------------------------------------
  void PC_Close();
  void PC_Init(bool selectAll);
  void PC_MoveFirst();
  void PC_MoveLast();
  void PC_MoveNext();
  void PC_MovePrevious();
  void PC_MoveTo(int32_t position);
  void PC_SelectNodes(int32_t field, const FieldValue& value);
  void PC_SelectSingleNode(int32_t field, const FieldValue& value);
  void PC_SetPosition(int32_t position);
  void SC_Close();
  void SC_Init(bool selectAll);
  void SC_MoveFirst();
  void SC_MoveLast();
  void SC_MoveNext();
  void SC_MovePrevious();
  void SC_SelectNodes(int32_t field, const FieldValue& value);
  void SC_SelectSingleNode(int32_t field, const FieldValue& value);
  // The selection core: one field compared with one value (kNoCriterion: no
  // comparison), on the rows (kPrimaryCursor) or the current row's sub rows.
  void SelectRows(int32_t cursorKind, int32_t mode, int32_t field, const FieldValue& value);
  // The rows that have a sub row whose subField equals value, in document
  // order; no list for kNoCriterion. Cursors and current rows stay.
  std::optional<NodeList> SelectRowsBySubField(int32_t subField, const FieldValue& value);

 private:
  // clsGenXMLDocument::Holder
  void nodesRemoved(const clsGenXMLDocument& document, const NodeList& removed) override;
  void documentReplaced(const clsGenXMLDocument& document) override;
  // Drops the current row, sub row and cursor entries that lie in `tree`;
  // the row cursor's only with rowCursorToo (it never lists the new row).
  void forgetNodesOf(pugi::xml_node tree, bool rowCursorToo);

  bool linked() const { return IsLinkedToGlobalXMLDoc_; }
  void setLoaded(bool loaded);
  void readDataFile();
  // Saves the document's changes; fold: leaves no journal behind; without
  // flush, an append is not synced (a rewrite always is).
  void writeDataFile(bool fold, bool flush);
  // Appends the rows' records; after a failure that left part of them in
  // the journal, the next save rewrites the whole file.
  std::uint64_t appendRows(const DataJournal& journal, const std::vector<std::string>& records,
                                   bool flush);
  // Syncs the journal when a WriteXMLDoc left an append unsynced.
  void flushWrittenJournal();
  // Folds the journal that a save's append made due by its size; never raises.
  void foldAfterAppend(const modGenApplicationSetting::FileSourceInfo& file, const DataJournal& journal,
                       std::uint64_t journalSize);
  // Starts folding the journal that a save's append made due, away from the
  // event loop (BackgroundFold); never raises.
  void foldInBackground(const modGenApplicationSetting::FileSourceInfo& file, const DataJournal& journal,
                        std::uint64_t journalSize);
  // Removes the journal and the one a fold set aside, once the file holds them.
  static void removeFolded(const DataJournal& journal);
  // Rewrites the whole file, naming the journal it folds, and removes that journal.
  void rewriteDataFile(const modGenApplicationSetting::FileSourceInfo& file, const DataJournal& journal);
  // The rewrite alone: the journal flushed, then the file written whole.
  void writeWholeFile(const modGenApplicationSetting::FileSourceInfo& file, const DataJournal& journal);
  // Hands the journal found at load to the person when it was set aside;
  // true when the load is to fold it into the file (it is damaged and a copy
  // of it was kept, or it is an older build's).
  static bool settleJournal(const DataJournal& journal, const DataJournal::Replayed& replayed,
                            const modGenApplicationSetting::FileSourceInfo& file, bool fileLost);
  // The owner the file's journal names.
  std::string journalOwner() const;
  // Whether the owner is checked and `root` names another.
  bool ofAnotherOwner(pugi::xml_node root) const;
  // The text of an empty collection's root.
  std::string emptyRootText() const;
  pugi::xml_node rootElement() const;
  const std::string& rowFieldName(int32_t field) const;
  const std::string& subFieldName(int32_t field) const;
  const std::string& writableName(int32_t classType, int32_t field) const;
  pugi::xml_node findRow(int32_t field, std::string_view value);
  pugi::xml_node findSubRow(pugi::xml_node row, int32_t subField, std::string_view value) const;
  void writeField(pugi::xml_node node, const std::string& name, std::string_view value);
  // Appends `row` as the last row: moved when it lies in this document,
  // else copied. Returns the appended row; raises 91 without a root.
  pugi::xml_node appendRow(pugi::xml_node row);
  void removeRow(pugi::xml_node row);
  void countPrimaryUpdate();
  void countPrimaryDelete();
  void countSubUpdate();
  void countSubDelete();
  void listUpdated(pugi::xml_node row);
  // The parse of a row template; raises 5 when it is not XML with an element.
  static std::unique_ptr<pugi::xml_document> parsedTemplate(const std::string& xml);
  clsGenVirtualXMLCursor& primaryCursor() const;
  clsGenVirtualXMLCursor& subCursor() const;
  // A move of the row (sub-row) cursor, reported under `where` on failure.
  void moveRows(const char* where, XMLCursorMove direction, int32_t position = -1);
  void moveSubRows(const char* where, XMLCursorMove direction);
  void selectPrimary(int32_t mode, bool withCriterion, int32_t field, std::string_view value);
  void selectSub(int32_t mode, bool withCriterion, int32_t field, std::string_view value);

  std::unique_ptr<clsGenVirtualXMLCursor> PrimaryCursor_;
  std::unique_ptr<clsGenVirtualXMLCursor> SubCursor_;
  pugi::xml_node CurrentRow_;
  pugi::xml_node CurrentSubRow_;
  XMLDocumentRef doc_;
  bool IsLinkedToGlobalXMLDoc_ = false;
  std::string XMLPrimaryTemplate_;
  std::string XMLSubTemplate_;
  int32_t ClassType_ = 0;
  int32_t SubClassType_ = 0;
  std::string ClassOwner_;
  std::string XMLElementBaseName_;
  std::string XMLSubElementBaseName_;
  std::string FileName_;
  std::string LocalPath_;
  bool isLoaded_ = false;
  bool ValidateOwnershipOnLoadingXMLDoc_ = true;
  bool FileContentEncrypted_ = false;
  bool IsObjectLocked_ = false;
  // Primary update, primary delete, sub update, sub delete, as last seen.
  std::array<int32_t, 4> CounterSnapshot_{};
  // The primary template, parsed where it stands, then the row made by
  // CreateNewRow (newRow_) until it is copied into the collection: a plain
  // tree, with no indexes or change notes to keep, where the new row shares
  // the template's names instead of copying them.
  std::unique_ptr<pugi::xml_document> newRowTree_;
  pugi::xml_node newRow_;
  // XMLPrimaryTemplate changed since newRowTree_ was parsed.
  bool primaryTemplateChanged_ = true;
  // The sub-row template, parsed on first use.
  std::unique_ptr<pugi::xml_document> subTemplate_;
};
