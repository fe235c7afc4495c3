#include "clsGenObject.h"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>

#include "MessageBox.h"
#include "TvrError.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenGlobals.h"

namespace {

constexpr const char* kUIDAttribute = "UID";

[[noreturn]] void raiseObjectNotSet() {
  throw TvrError(kErrObjectNotSet, "", "Object variable or With block variable not set");
}

[[noreturn]] void raiseSubscript() {
  throw TvrError(kErrSubscript, "", "Subscript out of range");
}

// Cursor misuse is a programming error: it is shown, then raised as 1000.
[[noreturn]] void raiseMisuse(const char* message) {
  platform::showMessageBox(message, platform::kMbOkOnly, modGenFunctions::kAppTitle);
  throw TvrError(kErrApplicationDefined, "", "Application-defined or object-defined error");
}

std::string_view uidOf(pugi::xml_node row) { return row.attribute(kUIDAttribute).value(); }

// A text that reads as a decimal number, rounded to a whole number (halves to
// even); anything else reads as 0. Raises 6 when the number does not fit.
int32_t toWholeNumber(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return 0;
  const std::string number = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (number.find_first_not_of("0123456789+-.eE") != std::string::npos) return 0;
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size()) return 0;
  // nearbyint rounds in the default mode: to nearest, halves to even.
  const double whole = std::nearbyint(value);
  if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max()) {
    throw TvrError(kErrOverflow, "", "Overflow");
  }
  return static_cast<int32_t>(whole);
}

int32_t classIndex(int32_t classType) {
  if (classType < 0 || classType >= modGenGlobals::kClassCount) raiseSubscript();
  return classType;
}

void resetOrCreate(std::unique_ptr<clsGenVirtualXMLCursor>& cursor) {
  if (cursor) {
    cursor->Reset();
  } else {
    cursor = std::make_unique<clsGenVirtualXMLCursor>();
  }
}

template <typename Body>
auto trapped(const char* where, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raiseAgain(where);
  }
}

template <typename Result, typename Body>
Result ended(const char* where, Result empty, Body&& body) {
  try {
    return body();
  } catch (...) {
    endError(where);
    return empty;
  }
}

}  // namespace

clsGenObject::~clsGenObject() {
  if (doc_) doc_->removeHolder(this);
}

// ---- Properties --------------------------------------------------------

int32_t clsGenObject::CountAll() const {
  const pugi::xml_node root = rootElement();
  return static_cast<int32_t>(std::distance(root.begin(), root.end()));
}

int32_t clsGenObject::GetPrimaryDeleteCounter() const {
  return ended("clsGenObject.GetPrimaryDeleteCounter", 0,
               [&] { return modGenGlobals::PrimaryDeleteCounter[classIndex(ClassType_)]; });
}

int32_t clsGenObject::GetPrimaryUpdateCounter() const {
  return ended("clsGenObject.GetPrimaryUpdateCounter", 0,
               [&] { return modGenGlobals::PrimaryUpdateCounter[classIndex(ClassType_)]; });
}

int32_t clsGenObject::GetSubDeleteCounter() const {
  return ended("clsGenObject.GetSubDeleteCounter", 0,
               [&] { return modGenGlobals::SubDeleteCounter[classIndex(ClassType_)]; });
}

int32_t clsGenObject::GetSubUpdateCounter() const {
  return ended("clsGenObject.GetSubUpdateCounter", 0,
               [&] { return modGenGlobals::SubUpdateCounter[classIndex(ClassType_)]; });
}

bool clsGenObject::IsLoaded() const {
  if (!linked()) return isLoaded_;
  return ended("clsGenObject.IsLoaded", false,
               [&] { return modGenGlobals::ClassDocLoaded[classIndex(ClassType_)]; });
}

bool clsGenObject::PC_BeginningOfList() const {
  return ended("clsGenObject.PC_BeginningOfList", false, [&] {
    if (!PrimaryCursor_) raiseObjectNotSet();
    return PrimaryCursor_->BOL();
  });
}

bool clsGenObject::PC_EndOfList() const {
  return ended("clsGenObject.PC_EndOfList", false, [&] {
    if (!PrimaryCursor_) raiseObjectNotSet();
    return PrimaryCursor_->EOL();
  });
}

int32_t clsGenObject::PC_Count() const {
  return ended("clsGenObject.PC_Count", 0, [&] {
    const clsGenVirtualXMLCursor& cursor = primaryCursor();
    return doc_ ? cursor.Count() : 0;
  });
}

pugi::xml_node clsGenObject::PC_Current() const {
  return ended("clsGenObject.PC_Current", pugi::xml_node(),
               [&] { return primaryCursor().Current(); });
}

int32_t clsGenObject::PC_CurrentPos(int32_t field, const FieldValue& value) {
  return ended("clsGenObject.PC_CurrentPos", 0, [&] {
    clsGenVirtualXMLCursor& cursor = primaryCursor();
    if (!doc_) return -1;
    const std::string& name = rowFieldName(field);
    if (!cursor.NodesSelected()) PC_SelectNodes(kNoCriterion, "");
    return cursor.NodesSelected() ? cursor.CurrentPos(name, value.text()) : -1;
  });
}

bool clsGenObject::SC_BOL() const {
  return ended("clsGenObject.SC_BOL", false, [&] { return subCursor().BOL(); });
}

int32_t clsGenObject::SC_Count() const {
  return ended("clsGenObject.SC_Count", 0, [&] {
    const clsGenVirtualXMLCursor& cursor = subCursor();
    return doc_ ? cursor.Count() : 0;
  });
}

pugi::xml_node clsGenObject::SC_Current() const {
  return ended("clsGenObject.SC_Current", pugi::xml_node(), [&] { return subCursor().Current(); });
}

bool clsGenObject::SC_EOL() const {
  return ended("clsGenObject.SC_EOL", false, [&] { return subCursor().EOL(); });
}

void clsGenObject::XMLDocLinked(XMLDocumentRef document) {
  if (document == doc_) return;
  if (doc_) {
    doc_->removeHolder(this);
    documentReplaced(*doc_);
  }
  doc_ = std::move(document);
  if (doc_) doc_->addHolder(this);
}

// ---- Rows and fields ---------------------------------------------------

void clsGenObject::AddCurrentRow() {
  trapped("clsGenObject.AddCurrentRow", [&] {
    if (!CurrentRow_) return;
    CurrentRow_ = appendRow(CurrentRow_);
    if (!linked()) return;
    countPrimaryUpdate();
    listUpdated(CurrentRow_);
  });
}

void clsGenObject::AddRow(pugi::xml_node element) {
  trapped("clsGenObject.AddRow", [&] {
    if (!element) return;
    if (linked()) countPrimaryUpdate();
    CurrentRow_ = appendRow(element);
    if (linked()) listUpdated(CurrentRow_);
  });
}

void clsGenObject::AddSubRow(int32_t keyField, const FieldValue& keyValue, int32_t subField,
                             const FieldValue& subValue) {
  trapped("clsGenObject.AddSubRow", [&] {
    if (linked()) countPrimaryUpdate();
    PC_SelectSingleNode(keyField, keyValue);
    if (!CurrentRow_) raiseObjectNotSet();
    const std::string& name = writableName(SubClassType_, subField);
    // The value goes into the parsed template for the copy, so the new sub
    // row joins the indexes with its value; the template is then restored.
    if (!subTemplate_) subTemplate_ = parsedTemplate(XMLSubTemplate_);
    pugi::xml_node subRow = subTemplate_->document_element();
    pugi::xml_attribute attribute = subRow.attribute(name.c_str());
    const bool inTemplate = static_cast<bool>(attribute);
    const std::string original = attribute.value();
    if (!inTemplate) attribute = subRow.append_attribute(name.c_str());
    attribute.set_value(subValue.text().data(), subValue.text().size());
    CurrentSubRow_ = doc_->appendCopy(CurrentRow_, subRow);
    if (inTemplate) {
      attribute.set_value(original.c_str());
    } else {
      subRow.remove_attribute(attribute);
    }
    if (linked()) listUpdated(CurrentRow_);
  });
}

void clsGenObject::AddToDeletedList(std::string_view uid) {
  trapped("clsGenObject.AddToDeletedList",
          [&] { modGenGlobals::DeletedUIDList[classIndex(ClassType_)].add(uid); });
}

void clsGenObject::AddToUpdatedList(std::string_view uid) {
  trapped("clsGenObject.AddToUpdatedList", [&] {
    if (!uid.empty()) modGenGlobals::UpdatedUIDList[classIndex(ClassType_)].add(uid);
  });
}

void clsGenObject::ClearCurrent() {
  trapped("clsGenObject.ClearCurrent", [&] {
    if (linked()) countPrimaryUpdate();
    CurrentRow_ = {};
  });
}

std::string clsGenObject::CreateNewRow(bool assignUID, int32_t uidField) {
  return trapped("clsGenObject.CreateNewRow", [&]() -> std::string {
    if (assignUID) writableName(ClassType_, uidField);
    if (!newRowTree_ || primaryTemplateChanged_) {
      std::unique_ptr<pugi::xml_document> tree = parsedTemplate(XMLPrimaryTemplate_);
      if (newRowTree_) forgetNodesOf(*newRowTree_, false);
      newRowTree_ = std::move(tree);
      primaryTemplateChanged_ = false;
    } else if (newRow_) {
      forgetNodesOf(*newRowTree_, false);
      newRowTree_->remove_child(newRow_);
    }
    newRow_ = newRowTree_->append_copy(newRowTree_->document_element());
    CurrentRow_ = newRow_;
    if (!assignUID) return {};
    std::string uid = clsGenAPI::CreateGUID();
    SetField(uidField, uid);
    return uid;
  });
}

bool clsGenObject::Delete(bool useCurrent, int32_t field, const FieldValue& value, bool save) {
  return trapped("clsGenObject.Delete", [&] {
    if (!doc_) return false;
    if (!useCurrent) writableName(ClassType_, field);
    if (linked()) countPrimaryDelete();
    bool removed = false;
    if (useCurrent) {
      if (CurrentRow_ && CurrentRow_.parent() && CurrentRow_.parent() == rootElement()) {
        removeRow(CurrentRow_);
        removed = true;
      }
      ClearCurrent();
    } else if (const pugi::xml_node row = findRow(field, value.text())) {
      removeRow(row);
      removed = true;
    }
    if (save && removed) SaveXMLDoc();
    return removed;
  });
}

void clsGenObject::DeleteAll(bool save) {
  trapped("clsGenObject.DeleteAll", [&] {
    if (doc_) {
      if (linked()) countPrimaryDelete();
      const pugi::xml_node root = rootElement();
      while (root && root.first_child()) removeRow(root.first_child());
      if (save) SaveXMLDoc();
    }
    CurrentRow_ = {};
  });
}

void clsGenObject::DeleteByCollection(int32_t field, const std::vector<std::string>& values,
                                      bool save) {
  trapped("clsGenObject.DeleteByCollection", [&] {
    if (!doc_) return;
    writableName(ClassType_, field);
    if (linked()) countPrimaryDelete();
    for (const std::string& value : values) {
      while (const pugi::xml_node row = findRow(field, value)) removeRow(row);
    }
    if (save) SaveXMLDoc();
  });
}

void clsGenObject::DeleteSubRow(int32_t keyField, const FieldValue& keyValue, int32_t subField,
                                const FieldValue& subValue) {
  trapped("clsGenObject.DeleteSubRow", [&] {
    if (linked()) {
      countSubDelete();
      countSubUpdate();
    }
    PC_SelectSingleNode(keyField, keyValue);
    if (!CurrentRow_) raiseObjectNotSet();
    const pugi::xml_node subRow = findSubRow(CurrentRow_, subField, subValue.text());
    if (!subRow) return;
    if (linked()) listUpdated(CurrentRow_);
    doc_->remove(subRow);
  });
}

std::string clsGenObject::GetField(int32_t field) {
  return trapped("clsGenObject.GetField", [&]() -> std::string {
    if (!CurrentRow_) return {};
    if (field >= modGenGlobals::kFirstComputedField) {
      return modGenGlobals::ReadFieldValue(ClassType_, CurrentRow_, field, true);
    }
    const std::string& name = rowFieldName(field);
    return CurrentRow_.attribute(name.c_str()).value();
  });
}

std::string clsGenObject::GetFieldFromSubRow(int32_t field) {
  return trapped("clsGenObject.GetFieldFromSubRow", [&]() -> std::string {
    if (!CurrentSubRow_) return {};
    const std::string& name = subFieldName(field);
    return CurrentSubRow_.attribute(name.c_str()).value();
  });
}

std::string clsGenObject::GetRowFieldByKey(int32_t keyField, const FieldValue& key,
                                           int32_t wantedField, bool showEmptyText) {
  return trapped("clsGenObject.GetRowFieldByKey", [&]() -> std::string {
    if (!doc_) return {};
    writableName(ClassType_, keyField);
    const pugi::xml_node row = findRow(keyField, key.text());
    return modGenGlobals::ReadFieldValue(ClassType_, row, wantedField, showEmptyText);
  });
}

bool clsGenObject::IsXMLDocChanged() {
  return trapped("clsGenObject.IsXMLDocChanged", [&] {
    if (!linked()) return true;
    const int32_t c = classIndex(ClassType_);
    const std::array<int32_t, 4> counters = {
        modGenGlobals::PrimaryUpdateCounter[c], modGenGlobals::PrimaryDeleteCounter[c],
        modGenGlobals::SubUpdateCounter[c], modGenGlobals::SubDeleteCounter[c]};
    const bool changed = counters != CounterSnapshot_;
    CounterSnapshot_ = counters;
    return changed;
  });
}

void clsGenObject::MarkRowAsUpdated(std::string uid) {
  if (uid.empty() && CurrentRow_) uid = uidOf(CurrentRow_);
  if (uid.empty() || !linked()) return;
  countPrimaryUpdate();
  AddToUpdatedList(uid);
}

void clsGenObject::MoveSubRow(int32_t keyField, const FieldValue& fromKey, int32_t toKeyField,
                              const FieldValue& toKey, int32_t subField,
                              const FieldValue& subValue) {
  trapped("clsGenObject.MoveSubRow", [&] {
    if (linked()) {
      countPrimaryUpdate();
      countSubUpdate();
    }
    PC_SelectSingleNode(keyField, fromKey);
    const pugi::xml_node source = CurrentRow_;
    if (!source) raiseObjectNotSet();
    const pugi::xml_node subRow = findSubRow(source, subField, subValue.text());
    if (subRow) {
      // The target is found before the sub row leaves its source, so a
      // missing target moves nothing instead of losing the sub row.
      PC_SelectSingleNode(toKeyField, toKey);
      const pugi::xml_node target = CurrentRow_;
      if (!target) raiseObjectNotSet();
      if (linked()) listUpdated(source);
      doc_->appendMove(target, subRow);
      if (linked()) listUpdated(target);
    }
    CurrentRow_ = {};
  });
}

void clsGenObject::SetField(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.SetField", [&] {
    if (!CurrentRow_) return;
    const std::string& name = writableName(ClassType_, field);
    if (linked()) countPrimaryUpdate();
    writeField(CurrentRow_, name, value.text());
    if (linked()) listUpdated(CurrentRow_);
  });
}

void clsGenObject::SetFields(const std::vector<int32_t>& fields,
                             const std::vector<std::string>& values) {
  trapped("clsGenObject.SetFields", [&] {
    if (!CurrentRow_) return;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] == kNoCriterion) continue;
      writableName(ClassType_, fields[i]);
      if (i >= values.size()) raiseSubscript();
    }
    if (linked()) countPrimaryUpdate();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] == kNoCriterion) continue;
      writeField(CurrentRow_, writableName(ClassType_, fields[i]), values[i]);
    }
    if (linked()) listUpdated(CurrentRow_);
  });
}

void clsGenObject::SetIncrementedField(int32_t field, int32_t delta) {
  trapped("clsGenObject.SetIncrementedField", [&] {
    if (!CurrentRow_) return;
    writableName(ClassType_, field);
    if (linked()) countPrimaryUpdate();
    const int64_t sum = int64_t{toWholeNumber(GetField(field))} + delta;
    if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max()) {
      throw TvrError(kErrOverflow, "", "Overflow");
    }
    SetField(field, static_cast<int32_t>(sum));
  });
}

void clsGenObject::SetRowFieldByKey(int32_t keyField, const FieldValue& key, int32_t field,
                                    const FieldValue& value) {
  trapped("clsGenObject.SetRowFieldByKey", [&] {
    writableName(ClassType_, keyField);
    const std::string& name = writableName(ClassType_, field);
    if (linked()) countPrimaryUpdate();
    if (!doc_) return;
    const pugi::xml_node row = findRow(keyField, key.text());
    if (!row) return;
    writeField(row, name, value.text());
    if (linked()) listUpdated(row);
  });
}

void clsGenObject::SubRowSetField(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.SubRowSetField", [&] {
    if (!CurrentSubRow_) return;
    const std::string& name = writableName(SubClassType_, field);
    if (linked()) countSubUpdate();
    writeField(CurrentSubRow_, name, value.text());
    if (linked()) listUpdated(CurrentSubRow_.parent());
  });
}

// ---- Selection and cursors ---------------------------------------------

void clsGenObject::PC_Close() {
  trapped("clsGenObject.PC_Close", [&] {
    primaryCursor().CloseCursor();
    if (linked()) countPrimaryUpdate();
  });
}

void clsGenObject::PC_Init(bool selectAll) {
  trapped("clsGenObject.PC_Init", [&] {
    resetOrCreate(PrimaryCursor_);
    if (selectAll) SelectRows(kPrimaryCursor, kSelectMultiple, kNoCriterion, "");
  });
}

void clsGenObject::PC_MoveFirst() { moveRows("clsGenObject.PC_MoveFirst", MoveFirst); }

void clsGenObject::PC_MoveLast() { moveRows("clsGenObject.PC_MoveLast", MoveLast); }

void clsGenObject::PC_MoveNext() { moveRows("clsGenObject.PC_MoveNext", MoveNext); }

void clsGenObject::PC_MovePrevious() { moveRows("clsGenObject.PC_MovePrevious", MovePrevious); }

void clsGenObject::PC_MoveTo(int32_t position) {
  moveRows("clsGenObject.PC_MoveTo", MoveTo, position);
}

void clsGenObject::PC_SelectNodes(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.PC_SelectNodes", [&] {
    primaryCursor();
    SelectRows(kPrimaryCursor, kSelectMultiple, field, value);
  });
}

void clsGenObject::PC_SelectSingleNode(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.PC_SelectSingleNode", [&] {
    if (!PrimaryCursor_) PrimaryCursor_ = std::make_unique<clsGenVirtualXMLCursor>();
    SelectRows(kPrimaryCursor, kSelectSingle, field, value);
  });
}

void clsGenObject::PC_SetPosition(int32_t position) {
  trapped("clsGenObject.PC_SetPosition", [&] {
    clsGenVirtualXMLCursor& cursor = primaryCursor();
    if (doc_) CurrentRow_ = cursor.GetNodeAt(position);
  });
}

void clsGenObject::SC_Close() {
  trapped("clsGenObject.SC_Close", [&] { subCursor().CloseCursor(); });
}

void clsGenObject::SC_Init(bool selectAll) {
  trapped("clsGenObject.SC_Init", [&] {
    primaryCursor();
    resetOrCreate(SubCursor_);
    if (selectAll) SelectRows(kSubCursor, kSelectMultiple, kNoCriterion, "");
  });
}

void clsGenObject::SC_MoveFirst() { moveSubRows("clsGenObject.SC_MoveFirst", MoveFirst); }

void clsGenObject::SC_MoveLast() { moveSubRows("clsGenObject.SC_MoveLast", MoveLast); }

void clsGenObject::SC_MoveNext() { moveSubRows("clsGenObject.SC_MoveNext", MoveNext); }

void clsGenObject::SC_MovePrevious() {
  moveSubRows("clsGenObject.SC_MovePrevious", MovePrevious);
}

void clsGenObject::SC_SelectNodes(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.SC_SelectNodes", [&] {
    subCursor();
    SelectRows(kSubCursor, kSelectMultiple, field, value);
  });
}

void clsGenObject::SC_SelectSingleNode(int32_t field, const FieldValue& value) {
  trapped("clsGenObject.SC_SelectSingleNode", [&] {
    if (!SubCursor_) SubCursor_ = std::make_unique<clsGenVirtualXMLCursor>();
    SelectRows(kSubCursor, kSelectSingle, field, value);
  });
}

void clsGenObject::SelectRows(int32_t cursorKind, int32_t mode, int32_t field,
                              const FieldValue& value) {
  trapped("clsGenObject.SelectRows", [&] {
    const bool withCriterion = field != kNoCriterion;
    if (cursorKind == kPrimaryCursor) {
      if (withCriterion) rowFieldName(field);
      selectPrimary(mode, withCriterion, field, value.text());
    } else if (cursorKind == kSubCursor) {
      if (withCriterion) subFieldName(field);
      selectSub(mode, withCriterion, field, value.text());
    }
  });
}

std::optional<NodeList> clsGenObject::SelectRowsBySubField(int32_t subField,
                                                           const FieldValue& value) {
  return trapped("clsGenObject.SelectRowsBySubField", [&]() -> std::optional<NodeList> {
    if (subField == kNoCriterion) return std::nullopt;
    const std::string& name = writableName(SubClassType_, subField);
    const pugi::xml_node root = rootElement();
    if (!root) raiseObjectNotSet();
    const NodeSpan rows =
        doc_->rowsWithSubRowWhere(XMLElementBaseName_, XMLSubElementBaseName_, name, value.text());
    return NodeList(rows.begin(), rows.end());
  });
}

// ---- Private -----------------------------------------------------------

void clsGenObject::nodesRemoved(const clsGenXMLDocument&, const NodeList& removed) {
  for (const pugi::xml_node node : removed) {
    if (node == CurrentRow_) CurrentRow_ = {};
    if (node == CurrentSubRow_) CurrentSubRow_ = {};
  }
  if (PrimaryCursor_) PrimaryCursor_->forgetNodes(removed);
  if (SubCursor_) SubCursor_->forgetNodes(removed);
}

void clsGenObject::documentReplaced(const clsGenXMLDocument& document) {
  forgetNodesOf(document.documentNode(), true);
}

void clsGenObject::forgetNodesOf(pugi::xml_node tree, bool rowCursorToo) {
  if (CurrentRow_ && CurrentRow_.root() == tree) CurrentRow_ = {};
  if (CurrentSubRow_ && CurrentSubRow_.root() == tree) CurrentSubRow_ = {};
  if (rowCursorToo && PrimaryCursor_) PrimaryCursor_->forgetNodesOf(tree);
  if (SubCursor_) SubCursor_->forgetNodesOf(tree);
}

pugi::xml_node clsGenObject::rootElement() const {
  return doc_ ? doc_->rootElement() : pugi::xml_node();
}

const std::string& clsGenObject::rowFieldName(int32_t field) const {
  return modGenGlobals::FieldName(ClassType_, field);
}

const std::string& clsGenObject::subFieldName(int32_t field) const {
  return modGenGlobals::FieldName(SubClassType_, field);
}

// A field that is written or compared needs a name: an unused entry of the
// table counts as outside it.
const std::string& clsGenObject::writableName(int32_t classType, int32_t field) const {
  const std::string& name = modGenGlobals::FieldName(classType, field);
  if (name.empty()) raiseSubscript();
  return name;
}

pugi::xml_node clsGenObject::findRow(int32_t field, std::string_view value) {
  if (!rootElement()) return {};
  return doc_->firstRowWhere(XMLElementBaseName_, writableName(ClassType_, field), value);
}

pugi::xml_node clsGenObject::findSubRow(pugi::xml_node row, int32_t subField,
                                        std::string_view value) const {
  const std::string& name = writableName(SubClassType_, subField);
  for (const pugi::xml_node subRow : row.children(XMLSubElementBaseName_.c_str())) {
    const pugi::xml_attribute attribute = subRow.attribute(name.c_str());
    if (attribute && value == attribute.value()) return subRow;
  }
  return {};
}

void clsGenObject::writeField(pugi::xml_node node, const std::string& name,
                              std::string_view value) {
  if (newRowTree_ && node.root() == *newRowTree_) {
    pugi::xml_attribute attribute = node.attribute(name.c_str());
    if (!attribute) attribute = node.append_attribute(name.c_str());
    attribute.set_value(value.data(), value.size());
    return;
  }
  clsGenXMLDocument::setAttribute(node, name.c_str(), value);
}

pugi::xml_node clsGenObject::appendRow(pugi::xml_node row) {
  const pugi::xml_node root = rootElement();
  if (!root) raiseObjectNotSet();
  const bool ownRow = row.root() == doc_->documentNode();
  const pugi::xml_node added = ownRow ? doc_->appendMove(root, row) : doc_->appendCopy(root, row);
  if (!added) throw TvrError(kErrInvalidCall, "", "The row cannot be appended");
  return added;
}

void clsGenObject::removeRow(pugi::xml_node row) {
  if (linked()) AddToDeletedList(uidOf(row));
  doc_->remove(row);
}

void clsGenObject::countPrimaryUpdate() {
  modGenFunctions::Increment(modGenGlobals::PrimaryUpdateCounter[classIndex(ClassType_)]);
}

void clsGenObject::countPrimaryDelete() {
  modGenFunctions::Increment(modGenGlobals::PrimaryDeleteCounter[classIndex(ClassType_)]);
}

void clsGenObject::countSubUpdate() {
  modGenFunctions::Increment(modGenGlobals::SubUpdateCounter[classIndex(ClassType_)]);
}

void clsGenObject::countSubDelete() {
  modGenFunctions::Increment(modGenGlobals::SubDeleteCounter[classIndex(ClassType_)]);
}

void clsGenObject::listUpdated(pugi::xml_node row) { AddToUpdatedList(uidOf(row)); }

std::unique_ptr<pugi::xml_document> clsGenObject::parsedTemplate(const std::string& xml) {
  auto document = std::make_unique<pugi::xml_document>();
  if (!document->load_string(xml.c_str()) || !document->document_element()) {
    throw TvrError(kErrInvalidCall, "", "The row template is not valid XML");
  }
  return document;
}

clsGenVirtualXMLCursor& clsGenObject::primaryCursor() const {
  if (!PrimaryCursor_) raiseMisuse("Error CursorNotInitialized");
  return *PrimaryCursor_;
}

clsGenVirtualXMLCursor& clsGenObject::subCursor() const {
  if (!SubCursor_) raiseMisuse("Error CursorNotInitialized");
  return *SubCursor_;
}

void clsGenObject::moveRows(const char* where, XMLCursorMove direction, int32_t position) {
  trapped(where, [&] { CurrentRow_ = primaryCursor().Move(direction, position); });
}

void clsGenObject::moveSubRows(const char* where, XMLCursorMove direction) {
  trapped(where, [&] { CurrentSubRow_ = subCursor().Move(direction, -1); });
}

void clsGenObject::selectPrimary(int32_t mode, bool withCriterion, int32_t field,
                                 std::string_view value) {
  clsGenVirtualXMLCursor& cursor = primaryCursor();
  if (mode == kSelectMultiple) {
    const pugi::xml_node root = rootElement();
    if (!root) raiseObjectNotSet();
    NodeList rows;
    if (withCriterion) {
      const NodeSpan found =
          doc_->rowsWhere(XMLElementBaseName_, writableName(ClassType_, field), value);
      rows.assign(found.begin(), found.end());
    } else {
      for (const pugi::xml_node row : root.children()) rows.push_back(row);
    }
    CurrentRow_ = cursor.SetNodes(std::move(rows));
  } else if (mode == kSelectSingle) {
    if (!withCriterion) {
      raiseMisuse("This is impossible to call the selectsinglenode without a criteria...");
    }
    if (!doc_) raiseObjectNotSet();
    const pugi::xml_node row = findRow(field, value);
    CurrentRow_ = row;
    if (row) cursor.SetCurrentNode(row);
  }
}

void clsGenObject::selectSub(int32_t mode, bool withCriterion, int32_t field,
                             std::string_view value) {
  clsGenVirtualXMLCursor& cursor = subCursor();
  if (!CurrentRow_) {
    cursor.Reset();
    raiseObjectNotSet();
  }
  const std::string* name = withCriterion ? &writableName(SubClassType_, field) : nullptr;
  auto matches = [&](pugi::xml_node subRow) {
    const pugi::xml_attribute attribute = subRow.attribute(name->c_str());
    return attribute && value == attribute.value();
  };
  if (mode == kSelectMultiple) {
    NodeList subRows;
    if (withCriterion) {
      for (const pugi::xml_node subRow : CurrentRow_.children(XMLSubElementBaseName_.c_str())) {
        if (matches(subRow)) subRows.push_back(subRow);
      }
    } else {
      for (const pugi::xml_node subRow : CurrentRow_.children()) subRows.push_back(subRow);
    }
    CurrentSubRow_ = cursor.SetNodes(std::move(subRows));
  } else if (mode == kSelectSingle) {
    if (!withCriterion) {
      raiseMisuse("This is impossible to call the selectsinglenode without a criteria...");
    }
    pugi::xml_node found;
    for (const pugi::xml_node subRow : CurrentRow_.children(XMLSubElementBaseName_.c_str())) {
      if (matches(subRow)) {
        found = subRow;
        break;
      }
    }
    cursor.SetCurrentNode(found);
    CurrentSubRow_ = found;
  }
}
