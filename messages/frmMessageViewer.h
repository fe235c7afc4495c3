#pragma once
// frmMessageViewer: shows one message of the logged-in account (sent,
// received or in the history): sender, recipients with their status, date,
// priority, response type, status and text. Showing a received message
// marks it opened (its sender is told).
//
// Commands on the shown message: reply (received messages: a compose
// window addressed to the sender, answering it), recall (sent messages),
// move to the history (sent and received), export to a text file, copy as
// text.
// Opens where the person last left it and keeps a minimum size
// (modGloFunctionsUI); Close all windows hides every window of the program.
//
// The core opens the viewer through MessageWindowsServices; InstallService
// puts one shared viewer there. UI thread only.
#include <QWidget>
#include <cstdint>
#include <string>

#include "clsGenObject.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

class frmMessageViewer : public QWidget {
  Q_OBJECT

 public:
  explicit frmMessageViewer(QWidget* owner = nullptr);

  // Restores the window when minimised and shows it; modal blocks the
  // other windows of the program while it is open.
  void ShowForm(bool modal, QWidget* owner);
  // Shows message `messageUID` of record class 3, 4 or 5 (loading that
  // class when needed); an unknown message leaves the window empty.
  void SetSourceMessage(int32_t classType, const std::string& messageUID);

  int32_t SourceClass() const { return classType_; }
  const std::string& SourceMessageUID() const { return messageUID_; }

  // Registers the one shared viewer (made on first use) with the core.
  static void InstallService();
  static frmMessageViewer* SharedViewer();

  // The name of person `uid`: the local account's or the users
  // directory's "LN, FN", else the unknown-person text.
  static std::string PersonName(const std::string& uid);
  // The name of the sender of message row `row`.
  static std::string SenderName(pugi::xml_node row);

 private:
  void DisplayMessage();
  void ClearDisplay();
  void UpdateCommands();
  void cmdReply_Click();
  void cmdRecall_Click();
  void cmdMoveToHistory_Click();
  void cmdExport_Click();
  void cmdCopy_Click();

  int32_t classType_ = 0;
  std::string messageUID_;
  bool found_ = false;
  // The shown message was received (from a sender who can be answered).
  bool received_ = false;

  QLabel* lblFrom_;
  QLabel* lblTo_;
  QLabel* lblDate_;
  QLabel* lblPriority_;
  QLabel* lblResponse_;
  QLabel* lblStatus_;
  QPlainTextEdit* txtMessage_;
  QPushButton* cmdReply_;
  QPushButton* cmdRecall_;
  QPushButton* cmdMoveToHistory_;
  QPushButton* cmdExport_;
  QPushButton* cmdCopy_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdClose_;
};
