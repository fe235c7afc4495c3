#include "frmUser.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>

#include "MessageBox.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "frmUserSelection.h"
#include "modCOMFunctions.h"
#include "modFileTransfer.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsResource.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

// Fields of the users directory (record class 0), a group (1) and a member (2).
constexpr int32_t kUserUID = 0;
constexpr int32_t kUserIP = 7;
constexpr int32_t kUserCN = 8;
constexpr int32_t kUserDisplayName = 50000;  // "LN, FN"
constexpr int32_t kGroupUID = 0;
constexpr int32_t kGroupName = 1;
constexpr int32_t kMemberUID = 0;
constexpr int32_t kMessageSender = 1;
constexpr int kDeleteMessagesQuestion = 12300;
constexpr int kDeleteGroupQuestion = 12400;
// "The files were not sent: %% cannot be reached, ..."
constexpr int kUnreachableFilesMessage = 20541;

QString qs(const std::string& text) { return QString::fromStdString(text); }
std::string keyOf(const QTreeWidgetItem* item) {
  return item == nullptr ? std::string() : item->data(0, Qt::UserRole).toString().toStdString();
}

// A tree or list that hands what is dropped on it to its window.
class DropTarget : public QTreeWidget {
 public:
  using DropHandler = std::function<void(QDropEvent*, QTreeWidgetItem*)>;
  DropTarget(QWidget* parent, DropHandler onDrop)
      : QTreeWidget(parent), onDrop_(std::move(onDrop)) {
    setAcceptDrops(true);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::CopyAction);
  }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override { event->acceptProposedAction(); }
  void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
  void dropEvent(QDropEvent* event) override {
    QTreeWidgetItem* target = itemAt(event->position().toPoint());
    event->setDropAction(Qt::CopyAction);
    event->accept();
    onDrop_(event, target);
  }

 private:
  DropHandler onDrop_;
};

QWidget* ownerOrApp(QWidget* owner) {
  return owner != nullptr ? owner : static_cast<QWidget*>(modGenGlobals::AppOwnerForm);
}

}  // namespace

frmUser::frmUser(QWidget* owner) : QWidget(ownerOrApp(owner), Qt::Window) {
  setObjectName("frmUser");
  setWindowTitle("Tavinor - User manager");
  setAttribute(Qt::WA_DeleteOnClose);
  new modGloFunctionsUI::WindowPlacement(this, 9225, 5790, 5600, 3600);
  BuildControls();
  try {
    groups_ = modGlobalFunctions::GetUserDataObject(modGlobalVariables::Group, "", true);
    RefreshLists();
  } catch (...) {
    endError("frmUser.Form_Load");
  }
  UpdateControls();
}

frmUser::~frmUser() = default;

void frmUser::BuildControls() {
  tvGroups_ = new DropTarget(this, [this](QDropEvent* event, QTreeWidgetItem* target) {
    try {
      if (target == nullptr) return;
      // Adding a member fills the tree again: its items are read first.
      QTreeWidgetItem* group = target->parent() != nullptr ? target->parent() : target;
      const std::string groupUID = keyOf(group);
      if (event->source() == lvUsers_) {
        for (const std::string& uid : SelectedUserUIDs()) AddMember(groupUID, uid);
      } else if (event->source() == tvGroups_) {
        QTreeWidgetItem* member = tvGroups_->currentItem();
        if (member == nullptr || member->parent() == nullptr || member->parent() == group) return;
        MoveMember(keyOf(member->parent()), groupUID, keyOf(member));
      }
    } catch (...) {
      endError("frmUser.tvGroups_DragDrop");
    }
  });
  tvGroups_->setObjectName("tvGroups");
  tvGroups_->setHeaderHidden(true);
  lvUsers_ = new DropTarget(this, [this](QDropEvent* event, QTreeWidgetItem* target) {
    try {
      const auto files = modGenFunctions::GetDroppedFiles(event->mimeData());
      if (target != nullptr && files && !files->empty()) SendFilesToUser(keyOf(target), *files);
    } catch (...) {
      endError("frmUser.lvUsers_DragDrop");
    }
  });
  lvUsers_->setObjectName("lvUsers");
  modGenFunctionsControl::ListViewInitializeProperties(
      lvUsers_, {.multiSelect = true, .dragEnabled = true, .acceptDrops = true});
  modGenFunctionsControl::ListViewAddColumn(lvUsers_, -1, "UserName", "User Name", 2600, 0, 50000,
                                            true, false);
  modGenFunctionsControl::ListViewAddColumn(lvUsers_, -1, "IP", "Address", 1800, 0, kUserIP, false,
                                            false);
  modGenFunctionsControl::ListViewAddColumn(lvUsers_, -1, "CN", "Computer", 1800, 0, kUserCN, false,
                                            false);
  // Long names give up width on a narrow screen and read whole on hover;
  // the address is never cut.
  const modGenFunctionsControl::ColumnContent elastic{true, {}};
  modGenFunctionsControl::ListViewFitColumnsToWidth(lvUsers_, {elastic, {}, elastic});
  connect(lvUsers_->header(), &QHeaderView::sectionClicked, this,
          [this](int column) { modGenFunctionsControl::ListViewSortColumn(lvUsers_, column); });

  const auto button = [this](const char* name, const char* caption, auto handler) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    connect(b, &QPushButton::clicked, this, [this, handler, name] {
      try {
        handler();
      } catch (...) {
        endError((std::string("frmUser.") + name + "_Click").c_str());
      }
      UpdateControls();
    });
    return b;
  };
  cmdAddByAddress_ =
      button("cmdAddByAddress", "&Add by address...", [this] { cmdAddByAddress_Click(); });
  cmdChangeAddress_ =
      button("cmdChangeAddress", "C&hange address...", [this] { cmdChangeAddress_Click(); });
  cmdPing_ = button("cmdPing", "&Ping", [this] { cmdPing_Click(); });
  cmdRequestInfo_ = button("cmdRequestInfo", "Ask for &information",
                           [this] { QueueRequest(modGlobalVariables::kRequestUserInformation); });
  cmdRequestList_ = button("cmdRequestList", "Ask for user &list",
                           [this] { QueueRequest(modGlobalVariables::kRequestUsersDirectory); });
  cmdDeleteUser_ = button("cmdDeleteUser", "&Remove", [this] { DeleteSelectedUser(false); });
  cmdNewGroup_ = button("cmdNewGroup", "New &group...", [this] { cmdNewGroup_Click(); });
  cmdDeleteGroup_ = button("cmdDeleteGroup", "&Delete group", [this] { DeleteGroup(); });
  cmdCloseAll_ = modGloFunctionsUI::closeAllWindowsButton(this);
  cmdClose_ = button("cmdClose", "&Close", [this] { close(); });

  auto* left = new QVBoxLayout;
  left->addWidget(tvGroups_, 1);
  auto* groupButtons = new QHBoxLayout;
  groupButtons->addWidget(cmdNewGroup_);
  groupButtons->addWidget(cmdDeleteGroup_);
  left->addLayout(groupButtons);
  auto* right = new QHBoxLayout;
  right->addWidget(lvUsers_, 1);
  auto* userButtons = new QVBoxLayout;
  for (QPushButton* b : {cmdAddByAddress_, cmdChangeAddress_, cmdPing_, cmdRequestInfo_,
                         cmdRequestList_, cmdDeleteUser_}) {
    userButtons->addWidget(b);
  }
  userButtons->addStretch();
  right->addLayout(userButtons);
  // The users' three columns take most of the width; the groups show names.
  auto* lists = new QHBoxLayout;
  lists->addLayout(left, 1);
  lists->addLayout(right, 3);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(cmdCloseAll_);
  bottom->addWidget(cmdClose_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(lists, 1);
  layout->addLayout(bottom);
  resize(860, 440);
  connect(lvUsers_, &QTreeWidget::itemSelectionChanged, this, &frmUser::UpdateControls);
  connect(tvGroups_, &QTreeWidget::currentItemChanged, this, &frmUser::UpdateControls);
}

void frmUser::RefreshLists() {
  FillUserList();
  FillGroupTree();
}

// The list follows the directory when the window comes back to the front:
// the user search adds people while it is open.
void frmUser::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::ActivationChange || !isActiveWindow()) return;
  try {
    FillUserList();
  } catch (...) {
    endError("frmUser.Form_Activate");
  }
}

void frmUser::FillUserList() {
  const std::vector<std::string> selected = SelectedUserUIDs();
  const QSignalBlocker quiet(lvUsers_);
  lvUsers_->clear();
  PoolLoan users(modGlobalVariables::User);
  const auto& document = users->XMLDocLinked();
  if (!document) return;
  for (pugi::xml_node row : document->rootElement().children(users->XMLElementBaseName().c_str())) {
    const std::string uid = row.attribute("UID").as_string();
    if (uid.empty()) continue;
    auto* item = new QTreeWidgetItem(lvUsers_);
    item->setData(0, Qt::UserRole, qs(uid));
    item->setText(kNameColumn, qs(modGlobalFunctions::GetFieldValue(modGlobalVariables::User, row,
                                                                    kUserDisplayName, true)));
    item->setText(kAddressColumn, qs(modGlobalFunctions::GetFieldValue(modGlobalVariables::User,
                                                                       row, kUserIP, false)));
    item->setText(kComputerColumn, qs(modGlobalFunctions::GetFieldValue(modGlobalVariables::User,
                                                                        row, kUserCN, false)));
    for (const std::string& uidSelected : selected)
      item->setSelected(item->isSelected() || uidSelected == uid);
  }
  lvUsers_->sortItems(kNameColumn, Qt::AscendingOrder);
}

void frmUser::FillGroupTree() {
  tvGroups_->clear();
  if (!groups_) return;
  const auto& document = groups_->XMLDocLinked();
  if (!document) return;
  PoolLoan users(modGlobalVariables::User);
  for (pugi::xml_node group :
       document->rootElement().children(groups_->XMLElementBaseName().c_str())) {
    auto* node = new QTreeWidgetItem(tvGroups_);
    node->setText(0, qs(group.attribute("N").as_string()));
    node->setData(0, Qt::UserRole, qs(group.attribute("UID").as_string()));
    for (pugi::xml_node member : group.children(groups_->XMLSubElementBaseName().c_str())) {
      const std::string uid = member.attribute("UID").as_string();
      auto* child = new QTreeWidgetItem(node);
      child->setData(0, Qt::UserRole, qs(uid));
      child->setText(0, qs(users->GetRowFieldByKey(kUserUID, uid, kUserDisplayName, true)));
    }
    node->setExpanded(true);
  }
}

std::vector<std::string> frmUser::SelectedUserUIDs() const {
  std::vector<std::string> uids;
  for (const QTreeWidgetItem* item : lvUsers_->selectedItems()) uids.push_back(keyOf(item));
  return uids;
}

std::string frmUser::SelectedUserField(int32_t field) const {
  const std::vector<std::string> uids = SelectedUserUIDs();
  if (uids.size() != 1) return {};
  return modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUserUID, uids.front(),
                                                 field, false);
}

void frmUser::UpdateControls() {
  const int selected = static_cast<int>(lvUsers_->selectedItems().size());
  for (QPushButton* b : {cmdRequestInfo_, cmdRequestList_, cmdDeleteUser_}) {
    b->setEnabled(selected > 0);
  }
  cmdChangeAddress_->setEnabled(selected == 1);
  cmdPing_->setEnabled(selected == 1);
  cmdDeleteGroup_->setEnabled(tvGroups_->currentItem() != nullptr);
}

void frmUser::SaveGroups() {
  groups_->SaveXMLDoc();
  FillGroupTree();
}

std::string frmUser::AddGroup(const std::string& name) {
  try {
    if (name.empty()) return {};
    const std::string uid = groups_->CreateNewRow(true, kGroupUID);
    groups_->SetField(kGroupName, name);
    groups_->AddCurrentRow();
    SaveGroups();
    return uid;
  } catch (...) {
    raiseAgain("frmUser.AddGroup");
  }
}

void frmUser::AddMember(const std::string& groupUID, const std::string& userUID) {
  try {
    const auto document = groups_->XMLDocLinked();
    for (pugi::xml_node group :
         document->rootElement().children(groups_->XMLElementBaseName().c_str())) {
      if (groupUID != group.attribute("UID").as_string()) continue;
      for (pugi::xml_node member : group.children(groups_->XMLSubElementBaseName().c_str())) {
        if (userUID == member.attribute("UID").as_string()) return;
      }
    }
    groups_->AddSubRow(kGroupUID, groupUID, kMemberUID, userUID);
    SaveGroups();
  } catch (...) {
    raiseAgain("frmUser.AddMember");
  }
}

void frmUser::MoveMember(const std::string& fromGroupUID, const std::string& toGroupUID,
                         const std::string& userUID) {
  try {
    groups_->MoveSubRow(kGroupUID, fromGroupUID, kGroupUID, toGroupUID, kMemberUID, userUID);
    SaveGroups();
  } catch (...) {
    raiseAgain("frmUser.MoveMember");
  }
}

void frmUser::DeleteGroup() {
  try {
    QTreeWidgetItem* node = tvGroups_->currentItem();
    if (node == nullptr) return;
    if (node->parent() == nullptr &&
        modGenFunctions::ShowMessageBox(
            modGenFunctionsResource::GetResourceMessage(kDeleteGroupQuestion,
                                                        {node->text(0).toStdString()}),
            platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2,
            modGenFunctions::kAppTitle, this) != platform::kMbResultYes) {
      return;
    }
    if (node->parent() != nullptr) {
      groups_->DeleteSubRow(kGroupUID, keyOf(node->parent()), kMemberUID, keyOf(node));
    } else {
      groups_->Delete(false, kGroupUID, keyOf(node), false);
    }
    SaveGroups();
  } catch (...) {
    raiseAgain("frmUser.DeleteGroup");
  }
}

void frmUser::DeleteSelectedUser(bool all) {
  try {
    const auto keys = modGenFunctionsControl::ListViewGetAllSelectedKeys(lvUsers_, false, all);
    if (!keys || keys->empty()) return;
    const int answer = modGenFunctions::ShowMessageBox(
        modGenFunctionsResource::GetResourceMessage(kDeleteMessagesQuestion),
        platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2,
        modGenFunctions::kAppTitle, this);
    if (answer == platform::kMbResultYes) DeleteMessagesOfRemovedUsers(*keys);
    for (const std::string& uid : *keys) {
      if (const auto groups = groups_->SelectRowsBySubField(kMemberUID, uid)) {
        for (pugi::xml_node group : *groups) {
          groups_->DeleteSubRow(kGroupUID, group.attribute("UID").as_string(), kMemberUID, uid);
        }
      }
    }
    groups_->SaveXMLDoc();
    {
      PoolLoan users(modGlobalVariables::User);
      users->DeleteByCollection(kUserUID, *keys, true);
    }
    RefreshLists();
  } catch (...) {
    raiseAgain("frmUser.DeleteSelectedUser");
  }
}

// Received and history rows by sender, and the sent messages whose only
// recipient was one of them; each collection is saved.
void frmUser::DeleteMessagesOfRemovedUsers(const std::vector<std::string>& uids) {
  for (const int32_t classType : {modGlobalVariables::MessRec, modGlobalVariables::MessHist}) {
    PoolLoan messages(classType);
    messages->DeleteByCollection(kMessageSender, uids, false);
  }
  modGlobalFunctions::DeleteMessagesOfUsers(modGlobalVariables::MessSent, uids);
  modGlobalFunctions::DeleteMessagesOfUsers(modGlobalVariables::MessHist, uids);
  for (const int32_t classType :
       {modGlobalVariables::MessRec, modGlobalVariables::MessSent, modGlobalVariables::MessHist}) {
    PoolLoan messages(classType);
    messages->SaveXMLDoc();
  }
}

int frmUser::SendFilesToUser(const std::string& userUID, const std::vector<std::string>& paths) {
  try {
    if (userUID.empty() || paths.empty()) return 0;
    // Files queued for a person without an address would be given up at
    // once, after the person was shown them on their way.
    if (!modCOMFunctions::RecipientsWithoutAddress({userUID}).empty()) {
      modGenFunctions::ShowMessageBox(
          modGenFunctionsResource::GetResourceMessage(
              kUnreachableFilesMessage,
              {modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUserUID, userUID,
                                                       kUserDisplayName, true)}),
          platform::kMbExclamation, modGenFunctions::kAppTitle, this);
      return 0;
    }
    return modFileTransfer::SendDroppedFilesToUser(userUID, paths);
  } catch (...) {
    raiseAgain("frmUser.SendFilesToUser");
  }
}

void frmUser::QueueRequest(int32_t actionType) {
  const std::vector<std::string> uids = SelectedUserUIDs();
  if (uids.empty()) return;
  // A user list is answered into the user search, which must be open.
  if (actionType == modGlobalVariables::kRequestUsersDirectory) OpenUserSearch({});
  for (const std::string& uid : uids) {
    ActionManager().AddAction(actionType, "", uid, "", false, "", true, true, false);
  }
}

void frmUser::OpenUserSearch(const std::string& address) {
  auto* search = new frmUserSelection(this);
  search->setAttribute(Qt::WA_DeleteOnClose);
  search->setWindowFlag(Qt::Window);
  search->show();
  if (address.empty()) return;
  if (auto* box = search->findChild<QLineEdit*>("txtAddress")) box->setText(qs(address));
  search->SearchUsers();
}

void frmUser::cmdAddByAddress_Click() {
  const std::string address = modGenFunctionsControl::InputIPFromUser(this, "", false);
  if (!address.empty()) OpenUserSearch(address);
}

void frmUser::cmdChangeAddress_Click() {
  const std::vector<std::string> uids = SelectedUserUIDs();
  if (uids.size() != 1) return;
  const std::string current = SelectedUserField(kUserIP);
  // A person's address is one computer: no wildcard parts.
  const std::string address = modGenFunctionsControl::InputIPFromUser(this, current, false);
  if (address.empty() || address == current) return;
  modGenFunctions::GetCheckedIPAddress(this, address, false);
  modGlobalFunctions::SetObjectFieldValue(modGlobalVariables::User, kUserUID, uids.front(), kUserIP,
                                          address, true);
  FillUserList();
}

void frmUser::cmdPing_Click() {
  const std::string address = SelectedUserField(kUserIP);
  modGenFunctions::GetCheckedIPAddress(this, address, address.empty());
}

void frmUser::cmdNewGroup_Click() {
  bool ok = false;
  const QString name = QInputDialog::getText(this, "Tavinor - New group",
                                             "Name of the new group:", QLineEdit::Normal, {}, &ok);
  if (ok) AddGroup(name.trimmed().toStdString());
}
