#pragma once
// The account a helper program plays: logged in by name (password "pw"),
// created first when this data folder does not hold it yet, with its options
// loaded. For helper programs that stand in for a copy without windows.
#include <string>

#include "PoolLoan.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

inline std::string logInHelperAccount(const std::string& name) {
  using namespace modLocalUserFunctions;
  std::string uid;
  if (!IsLocalUser(kLocalUserUN, name, kLocalUserUID, uid)) {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    uid = accounts->CreateNewRow(true, kLocalUserUID);
    accounts->SetField(kLocalUserUN, name);
    accounts->SetField(kLocalUserPA, name);
    accounts->SetField(kLocalUserPW, "pw");
    accounts->SetField(kLocalUserCS, 1);
    accounts->AddCurrentRow();
    accounts->SaveXMLDoc();
  }
  modGlobalVariables::CurrentLocalUserUID = uid;
  LoadLocalUserOptions(LocalUserOptions, false, "", "");
  return uid;
}
