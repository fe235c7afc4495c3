#include "modGenGlobals.h"

#include "TvrError.h"

namespace modGenGlobals {

PerClass<std::array<std::string, kFieldCount>> FieldNameTable;
PerClass<XMLDocumentRef> ClassDocument;
PerClass<bool> ClassDocLoaded{};
PerClass<int32_t> PrimaryUpdateCounter{};
PerClass<int32_t> PrimaryDeleteCounter{};
PerClass<int32_t> SubUpdateCounter{};
PerClass<int32_t> SubDeleteCounter{};
PerClass<UIDList> UpdatedUIDList;
PerClass<UIDList> DeletedUIDList;
void* AppOwnerForm = nullptr;
int32_t HotKeyId = -1;
int32_t AppHotKeyIdCounter = 0;

namespace {

FieldValueReader& installedReader() {
  static FieldValueReader reader;
  return reader;
}

// Field numbers carry a list-column flag above their low 19 bits.
constexpr int32_t kFieldNumberMask = 0x7FFFF;

}  // namespace

bool UIDList::add(std::string_view uid) {
  // A row changed several times in a row is listed again and again.
  if (!listed_.empty() && listed_.at(listed_.size() - 1) == uid) return false;
  return listed_.add(uid).second;
}

bool UIDList::contains(std::string_view uid) const {
  return listed_.find(uid) != TextList::kNone;
}

std::vector<std::string> UIDList::items() const {
  std::vector<std::string> texts;
  texts.reserve(listed_.size());
  for (std::size_t place = 0; place < listed_.size(); ++place) texts.emplace_back(listed_.at(place));
  return texts;
}

const std::string& FieldName(int32_t classType, int32_t field) {
  if (classType < 0 || classType >= kClassCount || field < 0 || field >= kFieldCount) {
    throw TvrError(kErrSubscript, "", "Subscript out of range");
  }
  return FieldNameTable[classType][field];
}

void SetFieldValueReader(FieldValueReader reader) { installedReader() = std::move(reader); }

std::string ReadStoredField(int32_t classType, pugi::xml_node element, int32_t field) {
  field &= kFieldNumberMask;
  if (!element || classType < 0 || classType >= kClassCount || field >= kFieldCount) return {};
  const std::string& name = FieldNameTable[classType][field];
  if (name.empty()) return {};
  return element.attribute(name.c_str()).value();
}

std::string ReadFieldValue(int32_t classType, pugi::xml_node element, int32_t field,
                           bool showEmptyText) {
  if (installedReader()) return installedReader()(classType, element, field, showEmptyText);
  return ReadStoredField(classType, element, field);
}

}  // namespace modGenGlobals
