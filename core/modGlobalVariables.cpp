#include "modGlobalVariables.h"

#include <initializer_list>

#include "clsGenErrorHandler.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"

namespace modGlobalVariables {

std::array<std::array<std::string, 6>, 2> IdentityFieldList;
std::map<int32_t, std::vector<int32_t>> ActionPath;
std::string FallbackResponseText;
std::array<bool, 13> ObjectPoolInitialized{};
std::string CurrentLocalUserUID;

namespace {

std::function<void*()>& ownerFormProvider() {
  static std::function<void*()> provider;
  return provider;
}

void setFields(int32_t classType, std::initializer_list<const char*> names) {
  auto& row = modGenGlobals::FieldNameTable[classType];
  row.fill("");
  std::size_t field = 0;
  for (const char* name : names) row[field++] = name;
}

void fillMessageFields(int32_t classType) {
  setFields(classType, {"UID", "SD", "ST", "TS", "CO", "PR", "RT", "AMU", "MT", "RTS"});
}

void fillFieldNameTable() {
  setFields(User, {"UID", "CS", "LN", "FN", "MC", "FC", "S", "IP", "CN", "LLTS"});
  setFields(Group, {"UID", "N"});
  setFields(GroupMember, {"UID"});
  fillMessageFields(MessSent);
  fillMessageFields(MessRec);
  fillMessageFields(MessHist);
  setFields(MessRecipient, {"UID", "ST"});
  setFields(LocalUser, {"UID",   "CS",   "UN",   "FN",    "LN",   "PW",    "OP",    "IP",
                        "CN",    "PA",   "PM",   "SI",    "PSIP", "LLTS",  "FRMA",  "FRMAM",
                        "FRML",  "FRMM", "FRMMC", "FRMMH", "FRMMV", "FRMO", "FRMU",  "FRMUS",
                        "FRMMB", "FRMMBFC", "FRMMBBC", "ARM", "FIP"});
  setFields(Action, {"UID", "AT", "AS", "SUID", "RUID", "OUID", "V", "TS", "FCTS", "LCTS",
                     "NCTS", "AZ", "TC", "RA", "LTMC", "ASTBR", "SRFRI", "RIU", "IP"});
  setFields(Response, {"UID", "SD", "RE", "ST", "OUID", "V", "CO", "TS"});
  FallbackResponseText = std::string("<") + "R" + " " +
                         modGenGlobals::FieldNameTable[Response][5] + "='" + "100000" + "'/>";
  setFields(InstMess, {"UID", "TY", "CO"});
  setFields(ActivityLog, {"UID", "AT", "TE", "EXI", "RUID", "TC"});
  setFields(RootAttributes, {"UID", "OU"});
}

void resetClassState() {
  for (int32_t c = 0; c < modGenGlobals::kClassCount; ++c) {
    modGenGlobals::PrimaryUpdateCounter[c] = 0;
    modGenGlobals::SubUpdateCounter[c] = 0;
    modGenGlobals::PrimaryDeleteCounter[c] = 0;
    modGenGlobals::SubDeleteCounter[c] = 0;
    modGenGlobals::ClassDocLoaded[c] = false;
    ObjectPoolInitialized[c] = false;
    modGenGlobals::UpdatedUIDList[c].clear();
    modGenGlobals::DeletedUIDList[c].clear();
  }
}

void createClassDocuments() {
  for (const int32_t c : {User, Group, MessSent, MessRec, MessHist, LocalUser, Action, ActivityLog,
                          InstMess}) {
    modGenFunctionsXML::XMLInitDocument(modGenGlobals::ClassDocument[c], "", false);
  }
}

void fillIdentityFieldLists() {
  const auto& local = modGenGlobals::FieldNameTable[LocalUser];
  const auto& user = modGenGlobals::FieldNameTable[User];
  IdentityFieldList[kLocalUserIdentity] = {local[4], local[3], local[0],
                                           local[7], local[8], local[1]};
  IdentityFieldList[kUserIdentity] = {user[0], user[1], user[2], user[3], user[7], user[8]};
}

void fillActionPaths() {
  ActionPath = {
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
}

}  // namespace

void SetOwnerFormProvider(std::function<void*()> provider) {
  ownerFormProvider() = std::move(provider);
}

void InitGlobalVariables() {
  try {
    modGenGlobals::AppOwnerForm = ownerFormProvider() ? ownerFormProvider()() : nullptr;
    modGenGlobals::HotKeyId = -1;
    modGenGlobals::AppHotKeyIdCounter = 0;
    fillFieldNameTable();
    resetClassState();
    createClassDocuments();
    fillIdentityFieldLists();
    fillActionPaths();
    modGenGlobals::SetFieldValueReader(modGlobalFunctions::GetFieldValue);
  } catch (...) {
    raiseAgain("");
  }
}

}  // namespace modGlobalVariables
