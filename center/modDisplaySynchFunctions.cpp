#include "modDisplaySynchFunctions.h"

#include <QApplication>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "frmMessageCenter.h"
#include "frmMessageHistory.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"

namespace modDisplaySynchFunctions {
namespace {

frmMessageCenter* messageCenter = nullptr;

void removeItems(QTreeWidget& list, const std::vector<std::string>& keys) {
  for (int i = list.topLevelItemCount() - 1; i >= 0; --i) {
    const std::string key = list.topLevelItem(i)->data(0, Qt::UserRole).toString().toStdString();
    for (const std::string& deleted : keys) {
      if (key == deleted) {
        delete list.takeTopLevelItem(i);
        break;
      }
    }
  }
}

void synchronizeActionList(bool fullReload) {
  const int32_t actions = modGlobalVariables::Action;
  modGenGlobals::UIDList& updated = modGenGlobals::UpdatedUIDList[actions];
  modGenGlobals::UIDList& deleted = modGenGlobals::DeletedUIDList[actions];
  if (!fullReload && updated.size() == 0 && deleted.size() == 0) return;
  if (messageCenter != nullptr && messageCenter->lvAQ() != nullptr && ActionManagerExists()) {
    QTreeWidget& list = *messageCenter->lvAQ();
    removeItems(list, deleted.items());
    ActionManager().FillActionQueueList(list, updated.items(), fullReload);
  }
  updated.clear();
  deleted.clear();
}

// The message folders that are open show the changed collection again;
// the changes are then dropped (a window reloads all of its rows when it
// opens).
void refreshFolders(int32_t classType, bool fullReload) {
  modGenGlobals::UIDList& updated = modGenGlobals::UpdatedUIDList[classType];
  modGenGlobals::UIDList& deleted = modGenGlobals::DeletedUIDList[classType];
  const bool messages = classType == modGlobalVariables::MessRec ||
                        classType == modGlobalVariables::MessSent ||
                        classType == modGlobalVariables::MessHist;
  if (messages && (fullReload || !updated.empty() || !deleted.empty())) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* folders = qobject_cast<frmMessageHistory*>(window); folders && folders->isVisible()) {
        folders->RefreshList();
      }
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
