#pragma once
// frmUser: the user manager of the logged-in person. On the left the groups
// with their members, on the right the users directory (name, address,
// computer).
//
// Commands: add a colleague by address (the address is typed in the IP
// entry dialog, and the user search then asks that computer for its
// users); change a user's address or ping it (the address is checked with
// a ping and the result shown); ask a user's copy for his information
// (action 1300) or his list of users (action 1100, answered into the user
// search); remove users (asking whether their messages go too); make and
// delete groups. Users dragged from the list onto a group join it; a member
// dragged onto another group moves there; files dropped on a user are sent
// to him (one action 2000 per file).
//
// Changes are saved at once. Needs a logged-in account and the record
// globals; owned by the start-up window when no owner is given. UI thread only.
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "modGloFunctionsUI.h"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class clsGenObject;

class frmUser : public QWidget {
  Q_OBJECT

 public:
  enum UserColumn { kNameColumn = 0, kAddressColumn = 1, kComputerColumn = 2 };

  explicit frmUser(QWidget* owner = nullptr);
  ~frmUser() override;

  // Reads the users and groups again.
  void RefreshLists();
  // Removes the selected users (all: every user) from the directory and
  // their groups; asks whether their messages go too.
  void DeleteSelectedUser(bool all);
  // Removes the selected group, or the selected member from its group.
  void DeleteGroup();
  // Adds a group of that name; returns its UID ("" for an empty name).
  std::string AddGroup(const std::string& name);
  // Makes the user a member of the group (nothing when he is already one).
  void AddMember(const std::string& groupUID, const std::string& userUID);
  // Moves a member from one group to another.
  void MoveMember(const std::string& fromGroupUID, const std::string& toGroupUID,
                  const std::string& userUID);
  // Sends the files to the user (one action per file); returns how many.
  int SendFilesToUser(const std::string& userUID, const std::vector<std::string>& paths);

  QTreeWidget* tvGroups() const { return tvGroups_; }
  QTreeWidget* lvUsers() const { return lvUsers_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void BuildControls();
  void FillUserList();
  void FillGroupTree();
  std::vector<std::string> SelectedUserUIDs() const;
  std::string SelectedUserField(int32_t field) const;
  void SaveGroups();
  void UpdateControls();
  void QueueRequest(int32_t actionType);
  void OpenUserSearch(const std::string& address);
  void cmdAddByAddress_Click();
  void cmdChangeAddress_Click();
  void cmdPing_Click();
  void cmdNewGroup_Click();
  void DeleteMessagesOfRemovedUsers(const std::vector<std::string>& uids);

  std::shared_ptr<clsGenObject> groups_;
  QTreeWidget* tvGroups_;
  QTreeWidget* lvUsers_;
  QPushButton* cmdAddByAddress_;
  QPushButton* cmdChangeAddress_;
  QPushButton* cmdPing_;
  QPushButton* cmdRequestInfo_;
  QPushButton* cmdRequestList_;
  QPushButton* cmdDeleteUser_;
  QPushButton* cmdNewGroup_;
  QPushButton* cmdDeleteGroup_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdClose_;
};
