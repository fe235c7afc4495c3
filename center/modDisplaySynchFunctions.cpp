#include "modDisplaySynchFunctions.h"

#include <QApplication>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
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

// The open message folders and user managers show the changed collection
// again; the changes are then dropped (a window reloads all of its rows when it
// opens).
void refreshFolders(int32_t classType, bool fullReload) {
  modGenGlobals::UIDList& updated = modGenGlobals::UpdatedUIDList[classType];
  modGenGlobals::UIDList& deleted = modGenGlobals::DeletedUIDList[classType];
  const bool messages = classType == modGlobalVariables::MessRec ||
                        classType == modGlobalVariables::MessSent ||
                        classType == modGlobalVariables::MessHist;
  const bool changed = fullReload || !updated.empty() || !deleted.empty();
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (!changed || !window->isVisible()) continue;
    if (auto* folders = qobject_cast<frmMessageHistory*>(window); folders && messages) {
      folders->RefreshList();
    }
    if (auto* users = qobject_cast<frmUser*>(window);
        users && classType == modGlobalVariables::User) {
      users->RefreshLists();
    }
  }
  updated.clear();
  deleted.clear();
}

}  // namespace

void SetMessageCenter(frmMessageCenter* window) { messageCenter = window; }

void SynchronizeDisplays(int32_t listType, bool fullReload, int32_t /*unused*/) {
  try {
    if (listType == kAllLists || listType == kActionList) synchronizeActionList(fullReload);
    const std::pair<int32_t, int32_t> closedLists[] = {
        {MessageCenterServices::kReceivedDisplay, modGlobalVariables::MessRec},
        {MessageCenterServices::kSentDisplay, modGlobalVariables::MessSent},
        {MessageCenterServices::kHistoryDisplay, modGlobalVariables::MessHist},
        {MessageCenterServices::kUsersDisplay, modGlobalVariables::User},
        {MessageCenterServices::kInstantMessagesDisplay, modGlobalVariables::InstMess}};
    for (const auto& [type, classType] : closedLists) {
      if (listType == kAllLists || listType == type) refreshFolders(classType, fullReload);
    }
  } catch (...) {
    endError("modDisplaySynchFunctions.SynchronizeDisplays");
  }
}

}  // namespace modDisplaySynchFunctions
