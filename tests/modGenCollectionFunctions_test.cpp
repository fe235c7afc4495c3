#include <gtest/gtest.h>

#include "modGenCollectionFunctions.h"

using namespace modGenCollectionFunctions;

TEST(modGenCollectionFunctions, UniqueAddAndFirstRemoval) {
  TextCollection items;
  CollectionAddUnique(items, "b");
  CollectionAddUnique(items, "a");
  CollectionAddUnique(items, "b");
  CollectionAddUnique(items, "B");  // exact comparison
  EXPECT_EQ(items, (TextCollection{"b", "a", "B"}));
  items.push_back("a");
  CollectionRemoveValue(items, "a");
  EXPECT_EQ(items, (TextCollection{"b", "B", "a"}));
  CollectionRemoveValue(items, "missing");
  EXPECT_TRUE(CollectionContains(items, "a"));
  EXPECT_FALSE(CollectionContains(items, "A"));
  ClearCollection(items);
  EXPECT_TRUE(items.empty());
}
