#include "modDisplaySynchFunctions.h"

#include <QTreeWidget>
#include <string>
#include <vector>

#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "frmMessageCenter.h"
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

// Lists of windows that are not open: the changes are dropped, since a
// window reloads all of its rows when it opens.
void dropChanges(int32_t classType) {
  modGenGlobals::UpdatedUIDList[classType].clear();
  modGenGlobals::DeletedUIDList[classType].clear();
}

}  // namespace

void SetMessageCenter(frmMessageCenter* window) { messageCenter = window; }

void SynchronizeDisplays(int32_t listType, bool fullReload, int32_t /*unused*/) {
  try {
    if (listType == kAllLists || listType == kActionList) synchronizeActionList(fullReload);
    const std::pair<int32_t, int32_t> closedLists[] = {
        {kReceivedList, modGlobalVariables::MessRec},  {kSentList, modGlobalVariables::MessSent},
        {kHistoryList, modGlobalVariables::MessHist},  {kUsersList, modGlobalVariables::User},
        {kInstantMessagesList, modGlobalVariables::InstMess}};
    for (const auto& [type, classType] : closedLists) {
      if (listType == kAllLists || listType == type) dropChanges(classType);
    }
  } catch (...) {
    endError("modDisplaySynchFunctions.SynchronizeDisplays");
  }
}

}  // namespace modDisplaySynchFunctions
