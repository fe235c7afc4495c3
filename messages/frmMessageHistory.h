#pragma once
// frmMessageHistory: the message folders of the logged-in account -
// received, sent and history - one at a time, chosen with a combo. The list
// shows sender, recipients, date, priority, status and a one-line preview
// of each message, newest first until a header click sorts it otherwise;
// several can be selected. The list lays out only the rows in view
// (MessageFolderModel), so following an arrival costs the same however many
// messages the folder holds. Date, priority and status always get what
// their texts need; sender, recipients and preview share the rest, none
// wider than its rows in view need, the preview taking what is left.
//
// Commands on the selection: recall (sent folder), move to the history
// (received and sent folders), export to text files, copy as text; open
// (or a double click) shows the message in the viewer.
// Opens where the person last left it and keeps a minimum size
// (modGloFunctionsUI); Close all windows hides every window of the program.
//
// UI thread only.
#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class MessageFolderModel;
class QComboBox;
class QModelIndex;
class QPushButton;
class QTableView;

class frmMessageHistory : public QWidget {
  Q_OBJECT

 public:
  explicit frmMessageHistory(QWidget* owner = nullptr);

  // The record class of the folder shown (3 sent, 4 received, 5 history).
  int32_t CurrentFolder() const;
  void SelectFolder(int32_t classType);
  // Asks whether `count` messages are to be recalled (false for none).
  static bool AskToRecall(QWidget* owner, std::size_t count);
  // Recalls the sent messages `uids` and tells the person, in boxes owned
  // by `owner`, who could not be reached (not among the users, or without
  // an address) and how many messages were recalled.
  static void RecallAndTell(QWidget* owner, std::vector<std::string> uids);
  // Reads the shown folder's messages again; the selected messages stay
  // selected and the rows in view stay in view.
  void RefreshList();
  // Brings the shown folder of class `classType` in step with its changed
  // messages: the deleted ones leave the list, the updated ones are shown
  // again or added. The selection stays, and so do the rows in view, even
  // when rows come or go above them.
  void SynchronizeItems(int32_t classType, const std::vector<std::string>& deleted,
                        const std::vector<std::string>& updated);
  // UIDs of the selected messages, in list order.
  std::vector<std::string> SelectedMessageUIDs() const;

 private:
  // Selects the messages `uids` alone (those listed).
  void SelectMessages(const std::vector<std::string>& uids);
  void UpdateCommands();
  void cmdRecall_Click();
  void cmdMoveToHistory_Click();
  void cmdExport_Click();
  void cmdCopy_Click();
  void cmdOpen_Click();
  void OpenMessage(const QModelIndex& index);

  QComboBox* cboFolder_;
  QTableView* lvMessages_;
  MessageFolderModel* messages_;
  QPushButton* cmdOpen_;
  QPushButton* cmdRecall_;
  QPushButton* cmdMoveToHistory_;
  QPushButton* cmdExport_;
  QPushButton* cmdCopy_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdClose_;
};
