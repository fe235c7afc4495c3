#include <gtest/gtest.h>

#include "TvrError.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

using modGlobalFunctions::BuildXMLTemplate;

TEST(RowTemplates, FieldsUpToTheFirstUnusedOne) {
  modGlobalVariables::InitGlobalVariables();
  EXPECT_EQ(BuildXMLTemplate("G", 1), "<G UID='' N='' />");
  EXPECT_EQ(BuildXMLTemplate("U", 6), "<U UID='' ST='' />");
  EXPECT_EQ(BuildXMLTemplate("M", 3),
            "<M UID='' SD='' ST='' TS='' CO='' PR='' RT='' AMU='' MT='' RTS='' />");
  EXPECT_EQ(BuildXMLTemplate("X", 12), "<X UID='' OU='' />");
  EXPECT_EQ(BuildXMLTemplate("U", 2), "<U UID='' />");
}

TEST(RowTemplates, EdgesOfTheTable) {
  modGlobalVariables::InitGlobalVariables();
  auto& names = modGenGlobals::FieldNameTable[9];
  const auto saved = names;
  names[0].clear();
  EXPECT_EQ(BuildXMLTemplate("R", 9), "<R ='' />");  // field 0 is always written
  for (int field = 0; field < modGenGlobals::kFieldCount; ++field) names[field] = "F" + std::to_string(field);
  EXPECT_EQ(BuildXMLTemplate("R", 9).size(), 3 + 30 * 5 + 20 + 2u);
  names = saved;
  try {
    BuildXMLTemplate("R", 13);
    FAIL() << "no error";
  } catch (const TvrError& error) {
    EXPECT_EQ(error.number(), kErrSubscript);
  }
}
