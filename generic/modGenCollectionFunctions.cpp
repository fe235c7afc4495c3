#include "modGenCollectionFunctions.h"

#include <algorithm>

namespace modGenCollectionFunctions {

void CollectionAddUnique(TextCollection& collection, const std::string& value) {
  if (!CollectionContains(collection, value)) collection.push_back(value);
}

void ClearCollection(TextCollection& collection) { collection.clear(); }

bool CollectionContains(const TextCollection& collection, const std::string& value) {
  return std::find(collection.begin(), collection.end(), value) != collection.end();
}

void CollectionRemoveValue(TextCollection& collection, const std::string& value) {
  const auto found = std::find(collection.begin(), collection.end(), value);
  if (found != collection.end()) collection.erase(found);
}

}  // namespace modGenCollectionFunctions
