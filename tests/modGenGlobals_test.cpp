#include <gtest/gtest.h>

#include "TvrError.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"

namespace globals = modGenGlobals;

TEST(ClassState, UIDListKeepsFirstOrderAndDistinctTexts) {
  globals::UIDList list;
  EXPECT_TRUE(list.add("b"));
  EXPECT_TRUE(list.add("a"));
  EXPECT_FALSE(list.add("b"));
  EXPECT_TRUE(list.add("B"));
  EXPECT_TRUE(list.add(""));
  EXPECT_EQ(list.items(), (std::vector<std::string>{"b", "a", "B", ""}));
  EXPECT_TRUE(list.contains("a"));
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.add("b"));
}

TEST(ClassState, FieldNamesAndStoredFieldReads) {
  modGlobalVariables::InitGlobalVariables();
  EXPECT_EQ(globals::FieldName(7, 9), "PA");
  for (auto [c, f] : {std::pair{13, 0}, {-1, 0}, {0, 30}, {0, -1}}) {
    EXPECT_THROW(globals::FieldName(c, f), TvrError);
  }
  pugi::xml_document doc;
  doc.load_string("<U UID='1' LN='Doe'/>");
  const pugi::xml_node row = doc.document_element();
  EXPECT_EQ(globals::ReadStoredField(0, row, 2), "Doe");
  EXPECT_EQ(globals::ReadStoredField(0, row, 2 | 0x80000), "Doe");  // column flag dropped
  EXPECT_EQ(globals::ReadStoredField(0, row, 3), "");
  EXPECT_EQ(globals::ReadStoredField(0, row, 50000), "");
  EXPECT_EQ(globals::ReadStoredField(0, pugi::xml_node(), 2), "");
  EXPECT_EQ(globals::ReadStoredField(13, row, 2), "");
  EXPECT_EQ(globals::ReadFieldValue(0, row, 2, true), "Doe");
}
