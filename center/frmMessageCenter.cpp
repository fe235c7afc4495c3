#include "frmMessageCenter.h"

#include <QApplication>
#include <QDialog>

#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "UsersAndOptionsServices.h"
#include "clsApplicationSetting.h"
#include "clsGenErrorHandler.h"
#include "frmLogin.h"
#include "frmOptions.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

// Fields of an activity-log row (record class 11).
enum ActivityLogField : int32_t {
  kActivityUID = 0,
  kActivityItemType = 1,
  kActivityText = 2,
  kActivityItemKey = 3,
  kActivityOwner = 4,
  kActivityKind = 5,
};

QWidget* ownerWindow() { return static_cast<QWidget*>(modGenGlobals::AppOwnerForm); }

void showNewAccountDialog(const std::string& userName, const std::string& password,
                          const std::string& serverAddress) {
  frmOptions options(ownerWindow());
  options.CreateNewUser(userName, password, serverAddress);
}

}  // namespace

frmMessageCenter::frmMessageCenter() {
  setObjectName("frmMessageCenter");
  setWindowTitle("Tavinor - Message center");
  MessageCenterServices::Install({[this](int32_t kind, const std::string& text, int32_t itemType,
                                         const std::string& itemKey, const std::string& ownerUID) {
                                    AddActivity(kind, text, itemType, itemKey, ownerUID);
                                  },
                                  [this] { ExitProgram(); }});
  UsersAndOptionsServices::Install({showNewAccountDialog});
}

frmMessageCenter::~frmMessageCenter() {
  MessageCenterServices::Install({});
  UsersAndOptionsServices::Install({});
}

frmMessageCenter::LoadResult frmMessageCenter::Form_Load() {
  try {
    modGlobalVariables::InitGlobalVariables();
  } catch (...) {
    endError("frmMessageCenter.Form_Load");
    return LoadResult::kStopped;
  }
  try {
    return LoadSteps();
  } catch (...) {
    endError("frmMessageCenter.Form_Load");
    return LoadResult::kStopped;
  }
}

frmMessageCenter::LoadResult frmMessageCenter::LoadSteps() {
  modGlobalVariables::CurrentLocalUserUID.clear();
  if (modGenApplicationSetting::CheckRequiredFiles()) return LoadResult::kStopped;
  modGenFunctionsResource::LoadResourceFile(1);
  ApplicationSetting = std::make_unique<clsApplicationSetting>();
  ApplicationSetting->SetXMLAppNameSpace("TVR");
  if (ApplicationSetting->GetAppSetting("PV").empty()) {
    ApplicationSetting->SaveAppSetting("PV", kProgramVersion);
  }
  {
    frmLogin login(ownerWindow());
    login.exec();
  }
  if (modGlobalVariables::CurrentLocalUserUID.empty()) return LoadResult::kNoLogin;
  ApplicationSetting->SaveAppSetting("LLU", modGlobalVariables::CurrentLocalUserUID);
  LoadLoggedInOptions();
  modLocalUserFunctions::UpdateLocalUserNetworkInfo();
  return LoadResult::kRunning;
}

// A damaged options text must not lock its account out: the defaults stand
// in for it (the error is reported) until the person saves the options,
// which rewrites it. The stored server address is no part of that text and
// is kept, so that saving the options does not lose it.
void frmMessageCenter::LoadLoggedInOptions() {
  using namespace modLocalUserFunctions;
  bool loaded = false;
  try {
    LoadLocalUserOptions(LocalUserOptions, false, "", "");
    loaded = true;
  } catch (...) {
    endError("frmMessageCenter.LoadLoggedInOptions");
  }
  if (loaded) return;
  LoadLocalUserOptions(LocalUserOptions, true, "", "");
  LocalUserOptions.PrimaryServerIP = GetLocalUserFieldValue(kLocalUserPSIP, "", false);
}

void frmMessageCenter::Form_Unload() {
  try {
    ApplicationSetting.reset();
    // After the logged-in account removed itself its folder is gone, and
    // saving its users directory would bring the folder back.
    if (!modGlobalVariables::CurrentLocalUserUID.empty()) {
      SavePooledCollection(modGlobalVariables::User);
    }
    SavePooledCollection(modGlobalVariables::LocalUser);
  } catch (...) {
    endError("frmMessageCenter.Form_Unload");
  }
}

void frmMessageCenter::SavePooledCollection(int32_t classType) {
  if (!modGlobalVariables::ObjectPoolInitialized[classType]) return;
  PoolLoan collection(classType);
  collection->SaveXMLDoc();
}

void frmMessageCenter::AddActivity(int32_t kind, const std::string& text, int32_t itemType,
                                   const std::string& itemKey, const std::string& ownerUID) {
  try {
    if (ownerUID.empty() || ownerUID == modGlobalVariables::CurrentLocalUserUID) {
      AddToActivityList(kind, text, itemType, itemKey);
    } else {
      StoreActivity(kind, text, itemType, itemKey, ownerUID);
    }
  } catch (...) {
    endError("frmMessageCenter.AddActivity");
  }
}

// A text without "||" is dated ("mm-dd hh:mm||text"), except in the
// general-information list; the item shows the part before the first "||"
// and the part after it as its first sub-item.
void frmMessageCenter::AddToActivityList(int32_t kind, const std::string& text, int32_t itemType,
                                         const std::string& itemKey) {
  std::string shown = text;
  if (kind != MessageCenterServices::kGeneralInformation && text.find("||") == std::string::npos) {
    shown = modGenFunctions::GetFormattedDate("s", 0, "mm-dd hh:nn") + "||" + text;
  }
  const std::vector<std::string> parts = modGenFunctionsString::splitText(shown, "||");
  ActivityItem item;
  item.kind = kind;
  item.text = parts.empty() ? std::string() : parts[0];
  item.subItem = parts.size() > 1 ? parts[1] : std::string();
  if (itemType != MessageCenterServices::kNoItem)
    item.tag = std::to_string(itemType) + "||" + itemKey;
  activities_.push_back(std::move(item));
}

void frmMessageCenter::StoreActivity(int32_t kind, const std::string& text, int32_t itemType,
                                     const std::string& itemKey, const std::string& ownerUID) {
  std::string folder;
  if (!modLocalUserFunctions::IsLocalUser(modLocalUserFunctions::kLocalUserUID, ownerUID,
                                          modLocalUserFunctions::kLocalUserPA, folder)) {
    return;
  }
  const modGlobalFunctions::GenObjectRef log =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::ActivityLog, ownerUID, true);
  log->CreateNewRow(true, kActivityUID);
  log->SetField(kActivityItemType, itemType);
  log->SetField(kActivityText, text);
  log->SetField(kActivityItemKey, itemKey);
  log->SetField(kActivityOwner, ownerUID);
  log->SetField(kActivityKind, kind);
  log->AddCurrentRow();
  log->SaveXMLDoc();
}

void frmMessageCenter::ExitProgram() {
  exitRequested_ = true;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(window); dialog != nullptr && dialog->isVisible()) {
      dialog->reject();
    }
  }
}
