#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "modGenGlobals.h"
#include "modGlobalVariables.h"

using namespace modGlobalVariables;
namespace globals = modGenGlobals;

namespace {

std::string fieldsOf(int32_t classType) {
  std::string joined;
  for (const std::string& name : globals::FieldNameTable[classType]) {
    if (!name.empty()) joined += name + " ";
  }
  return joined;
}

}  // namespace

TEST(GlobalTables, FieldNameTableInFull) {
  InitGlobalVariables();
  EXPECT_EQ(fieldsOf(User), "UID CS LN FN MC FC S IP CN LLTS ");
  EXPECT_EQ(fieldsOf(Group), "UID N ");
  EXPECT_EQ(fieldsOf(GroupMember), "UID ");
  for (int32_t c : {MessSent, MessRec, MessHist}) {
    EXPECT_EQ(fieldsOf(c), "UID SD ST TS CO PR RT AMU MT RTS ");
  }
  EXPECT_EQ(fieldsOf(MessRecipient), "UID ST ");
  EXPECT_EQ(fieldsOf(LocalUser),
            "UID CS UN FN LN PW OP IP CN PA PM SI PSIP LLTS FRMA FRMAM FRML FRMM FRMMC FRMMH "
            "FRMMV FRMO FRMU FRMUS FRMMB FRMMBFC FRMMBBC ARM FIP ");
  EXPECT_EQ(globals::FieldNameTable[LocalUser][28], "FIP");
  EXPECT_EQ(globals::FieldNameTable[LocalUser][29], "");
  EXPECT_EQ(fieldsOf(Action),
            "UID AT AS SUID RUID OUID V TS FCTS LCTS NCTS AZ TC RA LTMC ASTBR SRFRI RIU IP ");
  EXPECT_EQ(fieldsOf(Response), "UID SD RE ST OUID V CO TS ");
  EXPECT_EQ(fieldsOf(InstMess), "UID TY CO ");
  EXPECT_EQ(fieldsOf(ActivityLog), "UID AT TE EXI RUID TC ");
  EXPECT_EQ(fieldsOf(RootAttributes), "UID OU ");
}

TEST(GlobalTables, IdentityListsFallbackReplyAndActionPaths) {
  InitGlobalVariables();
  EXPECT_EQ(IdentityFieldList[kLocalUserIdentity],
            (std::array<std::string, 6>{"LN", "FN", "UID", "IP", "CN", "CS"}));
  EXPECT_EQ(IdentityFieldList[kUserIdentity],
            (std::array<std::string, 6>{"UID", "CS", "LN", "FN", "IP", "CN"}));
  EXPECT_EQ(FallbackResponseText, "<R V='100000'/>");
  const std::map<int32_t, std::vector<int32_t>> paths = {
      {1000, {100, 1000, 100000}},
      {1100, {100, 200, 1000, 100000}},
      {1200, {100, 200, 300, 400, 1200, 100000}},
      {1300, {100, 200, 1300, 100000}},
      {1400, {100, 200, 1400, 100000}},
      {1500, {100, 200, 1500, 100000}},
      {2000, {100, 200, 300, 400, 2000, 2050, 100000}},
      {50000, {100, 400, 100000}},
      {50200, {100, 50200, 100000}},
      {50300, {100, 50300, 100000}},
  };
  EXPECT_EQ(ActionPath, paths);
  for (const auto& [type, steps] : ActionPath) {
    EXPECT_LE(steps.size(), kMaxActionPathSteps) << type;
  }
}

TEST(GlobalTables, StartUpStateOfEveryClass) {
  int owner = 0;
  SetOwnerFormProvider([&owner] { return static_cast<void*>(&owner); });
  globals::HotKeyId = 7;
  globals::PrimaryUpdateCounter[User] = 5;
  globals::ClassDocLoaded[Action] = true;
  globals::DeletedUIDList[MessRec].add("X");
  ObjectPoolInitialized[LocalUser] = true;
  InitGlobalVariables();
  SetOwnerFormProvider({});
  EXPECT_EQ(globals::AppOwnerForm, &owner);
  EXPECT_EQ(globals::HotKeyId, -1);
  EXPECT_EQ(globals::AppHotKeyIdCounter, 0);
  const std::set<int32_t> withDocument = {User,      Group,  MessSent,    MessRec, MessHist,
                                          LocalUser, Action, ActivityLog, InstMess};
  for (int32_t c = 0; c < globals::kClassCount; ++c) {
    EXPECT_EQ(globals::PrimaryUpdateCounter[c] + globals::PrimaryDeleteCounter[c] +
                  globals::SubUpdateCounter[c] + globals::SubDeleteCounter[c],
              0);
    EXPECT_FALSE(globals::ClassDocLoaded[c]);
    EXPECT_FALSE(ObjectPoolInitialized[c]);
    EXPECT_TRUE(globals::DeletedUIDList[c].empty());
    EXPECT_EQ(static_cast<bool>(globals::ClassDocument[c]), withDocument.count(c) == 1) << c;
    if (globals::ClassDocument[c]) {
      EXPECT_FALSE(globals::ClassDocument[c]->documentNode().first_child());
    }
  }
  InitGlobalVariables();
  EXPECT_EQ(globals::AppOwnerForm, nullptr);
}

TEST(GlobalTables, StartUpInstallsTheComputedFieldReader) {
  pugi::xml_document doc;
  doc.load_string("<U UID='1' LN='Lee' FN='Ann'/>");
  const pugi::xml_node row = doc.document_element();
  globals::SetFieldValueReader({});
  EXPECT_EQ(globals::ReadFieldValue(User, row, 50001, false), "");  // stored fields only
  InitGlobalVariables();
  EXPECT_EQ(globals::ReadFieldValue(User, row, 50001, false), "Ann Lee");
  EXPECT_EQ(globals::ReadFieldValue(User, row, 2, false), "Lee");
}
