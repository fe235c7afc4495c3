#pragma once
// frmMessage: the compose window. The person ticks recipients in the list of
// their users directory ("LN, FN"), types the text (a preset instant message
// can be inserted at the caret), chooses priority and response type, and
// sends: the message is stored among the sent messages with one delivery
// queued per recipient, the queue is started and the window closes.
//
// Files are attached with Attach or dropped on the window; a dropped folder
// brings every file below it, each keeping its folder below the dropped
// folder's parent. Sending queues one file action per recipient and
// attached file once the message is stored.
//
// Send is enabled only while a recipient is ticked and the text is not empty.
// A window opened to answer a received message carries that message's UID,
// so sending marks the received message answered.
//
// Opens where the person last left it and keeps a minimum size
// (modGloFunctionsUI); Close all windows hides every window of the program.
//
// Needs a logged-in account, the record globals and the resource texts.
// UI thread only.
#include <QWidget>
#include <string>
#include <vector>

class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

class frmMessage : public QWidget {
  Q_OBJECT

 public:
  // answeredUID: the received message this one answers ("" for a new one);
  // recipients: account UIDs ticked at the start.
  explicit frmMessage(const std::string& answeredUID = {},
                      const std::vector<std::string>& recipients = {}, QWidget* owner = nullptr);

  // Stores and queues the message, starts the queue and closes the window.
  // Returns the new message's UID ("" when nothing was sent). Errors are
  // reported and raised again.
  std::string SendMessage();

  // The account UIDs of the ticked recipients, in list order.
  std::vector<std::string> CheckedRecipients() const;

  // Attaches the files and folders `paths` (as a drop does).
  void AddAttachments(const std::vector<std::string>& paths);
  // The dropped-file entries of the attached files, in order.
  std::vector<std::string> Attachments() const;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void Form_Load(const std::vector<std::string>& recipients);
  void FillRecipientList(const std::vector<std::string>& recipients);
  void FillInstantMessages();
  void UpdateControls();
  void cmdSend_Click();
  void cmdInsertInstMess_Click();
  void cmdAttach_Click();

  std::string answeredUID_;
  std::vector<std::string> instantMessageIds_;

  QListWidget* lstRecipients_;
  QPlainTextEdit* txtMessage_;
  QComboBox* cboPriority_;
  QComboBox* cboResponseType_;
  QComboBox* cboInstMessType_;
  QComboBox* cboInstMess_;
  QPushButton* cmdInsertInstMess_;
  QListWidget* lstAttachments_;
  QPushButton* cmdAttach_;
  QPushButton* cmdSend_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdCancel_;
};
