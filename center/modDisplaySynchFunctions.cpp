#include "modDisplaySynchFunctions.h"

#include <QApplication>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "frmMessage.h"
#include "frmMessageCenter.h"
#include "frmMessageHistory.h"
#include "frmUser.h"
#include "modGenFunctionsControl.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"

namespace modDisplaySynchFunctions {
namespace {

frmMessageCenter* messageCenter = nullptr;

void synchronizeActionList(bool fullReload) {
  const int32_t actions = modGlobalVariables::Action;
  modGenGlobals::UIDList& updated = modGenGlobals::UpdatedUIDList[actions];
  modGenGlobals::UIDList& deleted = modGenGlobals::DeletedUIDList[actions];
  if (!fullReload && updated.size() == 0 && deleted.size() == 0) return;
  if (messageCenter != nullptr && messageCenter->lvAQ() != nullptr && ActionManagerExists()) {
    QTreeWidget& list = *messageCenter->lvAQ();
    modGenFunctionsControl::ListViewRemoveItems(&list, deleted.items());
    ActionManager().FillActionQueueList(list, updated.items(), fullReload);
  }
  updated.clear();
  deleted.clear();
}

bool isMessageClass(int32_t classType) {
  return classType == modGlobalVariables::MessRec || classType == modGlobalVariables::MessSent ||
         classType == modGlobalVariables::MessHist;
}

// Every open window that lists rows of `classType` follows the changes:
// message folders item by item (so they keep selection and scroll), the
// user managers and compose windows through their own refresh. The
// changes are then dropped: a window reads all of its rows when it opens.
// The lists are emptied first, so that a window that fails to follow is not
// asked again and again.
void synchronizeClass(int32_t classType, bool fullReload) {
  modGenGlobals::UIDList& updatedList = modGenGlobals::UpdatedUIDList[classType];
  modGenGlobals::UIDList& deletedList = modGenGlobals::DeletedUIDList[classType];
  if (!fullReload && updatedList.empty() && deletedList.empty()) return;
  const std::vector<std::string> updated = updatedList.items();
  const std::vector<std::string> deleted = deletedList.items();
  updatedList.clear();
  deletedList.clear();
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* folders = qobject_cast<frmMessageHistory*>(window);
        folders && isMessageClass(classType)) {
      if (fullReload) {
        if (folders->CurrentFolder() == classType) folders->RefreshList();
      } else {
        folders->SynchronizeItems(classType, deleted, updated);
      }
    }
    if (auto* users = qobject_cast<frmUser*>(window);
        users && classType == modGlobalVariables::User) {
      users->RefreshLists();
    }
    if (auto* compose = qobject_cast<frmMessage*>(window);
        compose && classType == modGlobalVariables::InstMess) {
      compose->FillInstantMessages();
    }
  }
}

}  // namespace

void SetMessageCenter(frmMessageCenter* window) { messageCenter = window; }

void SynchronizeDisplays(int32_t listType, bool fullReload, int32_t /*unused*/) {
  try {
    if (listType == kAllLists || listType == kActionList) synchronizeActionList(fullReload);
    const std::pair<int32_t, int32_t> classLists[] = {
        {MessageCenterServices::kReceivedDisplay, modGlobalVariables::MessRec},
        {MessageCenterServices::kSentDisplay, modGlobalVariables::MessSent},
        {MessageCenterServices::kHistoryDisplay, modGlobalVariables::MessHist},
        {MessageCenterServices::kUsersDisplay, modGlobalVariables::User},
        {MessageCenterServices::kUsersSelectionDisplay, modGlobalVariables::User},
        {MessageCenterServices::kInstantMessagesDisplay, modGlobalVariables::InstMess}};
    for (const auto& [type, classType] : classLists) {
      if (listType == kAllLists || listType == type) synchronizeClass(classType, fullReload);
    }
  } catch (...) {
    logError("modDisplaySynchFunctions.SynchronizeDisplays");
  }
}

}  // namespace modDisplaySynchFunctions
