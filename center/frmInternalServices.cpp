#include "frmInternalServices.h"

#include "modGenGlobals.h"
#include "modGlobalVariables.h"

frmInternalServices::frmInternalServices() {
  setObjectName("frmInternalServices");
  setWindowTitle("Tavinor");
  modGlobalVariables::SetOwnerFormProvider([this]() -> void* { return this; });
}

frmInternalServices::~frmInternalServices() {
  modGlobalVariables::SetOwnerFormProvider({});
  if (modGenGlobals::AppOwnerForm == this) modGenGlobals::AppOwnerForm = nullptr;
}
