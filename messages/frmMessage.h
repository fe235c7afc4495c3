#pragma once
// frmMessage: the compose window. The person ticks recipients in the list of
// their users directory ("LN, FN"), types the text (a preset instant message
// can be inserted at the caret), chooses priority and response type, and
// sends: the message is stored among the sent messages with one delivery
// queued per recipient and the queue is started.
//
// Files are attached with Attach or dropped on the window; a dropped folder
// brings every file below it, each keeping its folder below the dropped
// folder's parent. A file is listed once; Remove or the Delete key takes the
// selected ones off. Sending queues one file action per recipient and
// attached file once the message is stored.
//
// Send is enabled only while a recipient is ticked and the text is not empty,
// and not again after a send until the message changes (the window says it
// was sent meanwhile). A recipient that no delivery could reach (not among
// the users, or without an address) refuses the send before anything is
// stored: the window says why and keeps the message.
// A window opened to answer a received message carries that message's UID,
// so sending marks the received message answered; it is addressed to the
// sender and quotes the received text when the options ask for it.
// After sending, the window stays open: emptied when the options say so,
// otherwise with what was sent. Closing it (Cancel, the window's
// close or the program's Exit command) while it holds text or files typed
// or attached since the last send asks before they are dropped; the end of
// the program by a signal or log-out does not ask.
//
// Opens where the person last left it and keeps a minimum size
// (modGloFunctionsUI); Close all windows hides every window of the program.
//
// Needs a logged-in account, the record globals and the resource texts.
// UI thread only.
#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class QCloseEvent;
class QComboBox;
class QLabel;
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

  // Opens a window answering message `messageUID` of record class
  // `classType`, owned by `owner`; null when the message is not found.
  static frmMessage* OpenReply(int32_t classType, const std::string& messageUID, QWidget* owner);

  // Stores and queues the message, starts the queue and, when the options
  // say so, empties the window. Returns the new message's UID ("" when
  // nothing was sent: nothing to send, or a recipient without an address,
  // which the person is told). Errors are reported and raised again.
  std::string SendMessage();
  // True while text or files are there that were not sent.
  bool HasUnsentWork() const;
  // Closes the window without asking, dropping what was not sent: the
  // program ends by a signal or the desktop's log-out.
  void DropAndClose();
  // Lists the preset instant messages of the chosen type again.
  void FillInstantMessages();

  // The account UIDs of the ticked recipients, in list order.
  std::vector<std::string> CheckedRecipients() const;

  // Attaches the files and folders `paths` (as a drop does).
  void AddAttachments(const std::vector<std::string>& paths);
  // The dropped-file entries of the attached files, in order.
  std::vector<std::string> Attachments() const;
  // Takes the selected attachments off the list.
  void RemoveSelectedAttachments();

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  // Asks before unsent work is dropped.
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Form_Load(const std::vector<std::string>& recipients);
  void SetReadingTabOrder();
  void FillRecipientList(const std::vector<std::string>& recipients);
  void FitRecipientList();
  void QuoteMessage(int32_t classType, const std::string& messageUID);
  void UpdateControls();
  void MarkChanged();
  // The message differs from what was sent last: Send may be pressed again.
  void MarkEdited();
  // Tells the person that `uids` cannot be reached; true when any.
  bool RefuseUnreachable(const std::vector<std::string>& uids);
  void cmdSend_Click();
  void cmdInsertInstMess_Click();
  void cmdAttach_Click();

  std::string answeredUID_;
  std::vector<std::string> instantMessageIds_;
  // Something was typed or attached since the window opened or last sent.
  bool unsent_ = false;
  // Sent, and nothing changed since.
  bool sent_ = false;

  QListWidget* lstRecipients_;
  QPlainTextEdit* txtMessage_;
  QComboBox* cboPriority_;
  QComboBox* cboResponseType_;
  QComboBox* cboInstMessType_;
  QComboBox* cboInstMess_;
  QPushButton* cmdInsertInstMess_;
  QListWidget* lstAttachments_;
  QPushButton* cmdAttach_;
  QPushButton* cmdRemoveAttachment_;
  QLabel* lblSent_;
  QPushButton* cmdSend_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdCancel_;
};
