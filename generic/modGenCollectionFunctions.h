#pragma once
// modGenCollectionFunctions: value lists of texts without keys (the
// collections that callers fill with identifiers, paths and names).
// Items compare as exact texts.
#include <string>
#include <vector>

namespace modGenCollectionFunctions {

using TextCollection = std::vector<std::string>;

// Adds `value` at the end unless an item already equals it.
void CollectionAddUnique(TextCollection& collection, const std::string& value);

void ClearCollection(TextCollection& collection);

bool CollectionContains(const TextCollection& collection, const std::string& value);

// Removes the first item equal to `value`, if any.
void CollectionRemoveValue(TextCollection& collection, const std::string& value);

}  // namespace modGenCollectionFunctions
