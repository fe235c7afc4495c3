#pragma once
// modGenGlobals: the program-wide state that the generic library reads and the
// messaging core's start-up (modGlobalVariables::InitGlobalVariables) fills:
// the field-name table of the record classes, the shared document of each
// record class with its loaded flag, change counters and changed-row lists,
// the owner window of message boxes, and the hot-key id counters.
//
// Everything here lives for the whole run and is used on the UI thread only.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "TextList.h"
#include "clsGenXMLDocument.h"

namespace modGenGlobals {

inline constexpr int kClassCount = 13;  // record classes 0..12
inline constexpr int kFieldCount = 30;  // field numbers 0..29
// Field numbers from here up name computed display values, never attributes.
inline constexpr int kFirstComputedField = 50000;

// An ordered list of distinct texts, compared exactly.
class UIDList {
 public:
  // Appends `uid` unless it is already listed; true when it was appended.
  bool add(std::string_view uid);
  bool contains(std::string_view uid) const;
  // The texts in the order they were first listed.
  std::vector<std::string> items() const;
  std::size_t size() const { return listed_.size(); }
  bool empty() const { return listed_.empty(); }
  void clear() { listed_.clear(); }

 private:
  TextList listed_;
};

template <typename T>
using PerClass = std::array<T, kClassCount>;

// FieldNameTable[class][field]: the attribute name of a field; "" when unused.
extern PerClass<std::array<std::string, kFieldCount>> FieldNameTable;

// The document shared by every linked collection of a class (empty pointer
// for the classes that have none) and whether it was loaded from its file.
extern PerClass<XMLDocumentRef> ClassDocument;
extern PerClass<bool> ClassDocLoaded;

// Change counters of each class, raised by linked collections.
extern PerClass<int32_t> PrimaryUpdateCounter;
extern PerClass<int32_t> PrimaryDeleteCounter;
extern PerClass<int32_t> SubUpdateCounter;
extern PerClass<int32_t> SubDeleteCounter;

// UIDs of rows written or deleted since display synchronisation last read
// and emptied the lists.
extern PerClass<UIDList> UpdatedUIDList;
extern PerClass<UIDList> DeletedUIDList;

// Owner window (a QWidget*) of message boxes and modal dialogs; may be null.
extern void* AppOwnerForm;
// Id of the registered new-message hot key (-1: none) and the id counter.
extern int32_t HotKeyId;
extern int32_t AppHotKeyIdCounter;

// The attribute name of `field` of `classType`. Raises 9 (subscript out of
// range) for a class outside 0..12 or a field outside 0..29.
const std::string& FieldName(int32_t classType, int32_t field);

// Turns a row element and a field number into display text: stored fields
// read their attribute, computed fields their computed value. The messaging
// core installs its reader at start-up; until then computed fields read "".
using FieldValueReader =
    std::function<std::string(int32_t classType, pugi::xml_node element, int32_t field,
                              bool showEmptyText)>;
void SetFieldValueReader(FieldValueReader reader);
std::string ReadFieldValue(int32_t classType, pugi::xml_node element, int32_t field,
                           bool showEmptyText);

// The stored part of ReadFieldValue: only the low 19 bits of `field` count;
// "" for no element, a missing attribute, a computed field, or a class or
// field outside the table.
std::string ReadStoredField(int32_t classType, pugi::xml_node element, int32_t field);

}  // namespace modGenGlobals
