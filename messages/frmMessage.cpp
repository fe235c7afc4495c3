#include "frmMessage.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

#include "PoolLoan.h"
#include "TurnCommit.h"
#include "clsActionManager.h"
#include "MessageBox.h"
#include "clsGenErrorHandler.h"
#include "frmMessageViewer.h"
#include "modCOMFunctions.h"
#include "modFileTransfer.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr int kResourcePriorities = 201;
constexpr int kResourceResponseTypes = 202;
constexpr int kResourceInstantMessageTypes = 207;
constexpr int kNormalPriority = 2;
constexpr int32_t kUIDField = 0;
constexpr int32_t kDisplayName = 50000;  // "LN, FN"
// "This message cannot be sent to %%: ..."
constexpr int kUnreachableRecipientsMessage = 20540;

constexpr int kDropUnsentQuestion = 20545;
// What a desktop's window frame adds to a window's width, at most.
constexpr int kFrameAllowance = 16;

QString qs(const std::string& text) { return QString::fromStdString(text); }

// The path of a dropped-file entry ("path" or "path||folder").
std::string entryPath(const std::string& entry) {
  return modGenFunctionsString::splitText(entry, "||").front();
}

}  // namespace

frmMessage::frmMessage(const std::string& answeredUID, const std::vector<std::string>& recipients,
                       QWidget* owner)
    : QWidget(owner, Qt::Window), answeredUID_(answeredUID) {
  setObjectName("frmMessage");
  setWindowTitle("Tavinor - Message");
  new modGloFunctionsUI::WindowPlacement(this, 8000, 5000, 7000, 5000);

  lstRecipients_ = new QListWidget(this);
  lstRecipients_->setObjectName("lstRecipients");
  txtMessage_ = new QPlainTextEdit(this);
  txtMessage_->setObjectName("txtMessage");
  txtMessage_->setTabChangesFocus(true);
  cboPriority_ = new QComboBox(this);
  cboPriority_->setObjectName("cboPriority");
  cboResponseType_ = new QComboBox(this);
  cboResponseType_->setObjectName("cboResponseType");
  cboInstMessType_ = new QComboBox(this);
  cboInstMessType_->setObjectName("cboInstMessType");
  cboInstMess_ = new QComboBox(this);
  cboInstMess_->setObjectName("cboInstMess");
  // Long presets must not widen the window beyond its usual size.
  cboInstMess_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cboInstMess_->setMinimumContentsLength(28);
  cmdInsertInstMess_ = new QPushButton("Insert", this);
  cmdInsertInstMess_->setObjectName("cmdInsertInstMess");
  lstAttachments_ = new QListWidget(this);
  lstAttachments_->setObjectName("lstAttachments");
  lstAttachments_->setMaximumHeight(80);
  lstAttachments_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lstAttachments_->installEventFilter(this);
  cmdAttach_ = new QPushButton("Attach...", this);
  cmdAttach_->setObjectName("cmdAttach");
  cmdRemoveAttachment_ = new QPushButton("Remove", this);
  cmdRemoveAttachment_->setObjectName("cmdRemoveAttachment");
  lblSent_ = new QLabel("Sent.", this);
  lblSent_->setObjectName("lblSent");
  lblSent_->hide();
  cmdSend_ = new QPushButton("&Send", this);
  cmdSend_->setObjectName("cmdSend");
  cmdSend_->setDefault(true);
  cmdCancel_ = new QPushButton("Cancel", this);
  cmdCancel_->setObjectName("cmdCancel");
  cmdCloseAll_ = modGloFunctionsUI::closeAllWindowsButton(this);

  auto* options = new QFormLayout;
  options->addRow("Priority:", cboPriority_);
  options->addRow("Response:", cboResponseType_);
  auto* presets = new QHBoxLayout;
  presets->addWidget(cboInstMessType_);
  presets->addWidget(cboInstMess_, 1);
  presets->addWidget(cmdInsertInstMess_);
  // The presets take the whole width under their caption, so that a small
  // screen still shows the chosen one.
  options->addRow(new QLabel("Instant message:", this));
  options->addRow(presets);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdAttach_);
  buttons->addWidget(cmdRemoveAttachment_);
  buttons->addStretch();
  buttons->addWidget(lblSent_);
  buttons->addWidget(cmdSend_);
  buttons->addWidget(cmdCloseAll_);
  buttons->addWidget(cmdCancel_);
  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel("Recipients:", this));
  left->addWidget(lstRecipients_);
  auto* right = new QVBoxLayout;
  right->addLayout(options);
  right->addWidget(txtMessage_, 1);
  right->addWidget(new QLabel("Attachments:", this));
  right->addWidget(lstAttachments_);
  auto* body = new QHBoxLayout;
  body->addLayout(left, 1);
  body->addLayout(right, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body);
  layout->addLayout(buttons);
  resize(760, 460);
  SetReadingTabOrder();

  connect(cmdSend_, &QPushButton::clicked, this, &frmMessage::cmdSend_Click);
  connect(cmdCancel_, &QPushButton::clicked, this, &QWidget::close);
  connect(cmdAttach_, &QPushButton::clicked, this, &frmMessage::cmdAttach_Click);
  connect(cmdRemoveAttachment_, &QPushButton::clicked, this,
          &frmMessage::RemoveSelectedAttachments);
  connect(lstAttachments_, &QListWidget::itemSelectionChanged, this, &frmMessage::UpdateControls);
  connect(lstAttachments_->model(), &QAbstractItemModel::rowsInserted, this,
          &frmMessage::MarkEdited);
  connect(lstAttachments_->model(), &QAbstractItemModel::rowsRemoved, this,
          &frmMessage::MarkEdited);
  setAcceptDrops(true);
  connect(cmdInsertInstMess_, &QPushButton::clicked, this, &frmMessage::cmdInsertInstMess_Click);
  connect(txtMessage_, &QPlainTextEdit::textChanged, this, &frmMessage::MarkChanged);
  connect(lstRecipients_, &QListWidget::itemChanged, this, &frmMessage::MarkEdited);
  connect(cboInstMess_, &QComboBox::currentIndexChanged, this, &frmMessage::UpdateControls);

  Form_Load(recipients);
}

// Focus follows the window as it reads: the recipients, the options above
// the text, the text, the attachments, then the buttons left to right.
void frmMessage::SetReadingTabOrder() {
  const std::vector<QWidget*> order = {
      lstRecipients_,     cboPriority_, cboResponseType_, cboInstMessType_, cboInstMess_,
      cmdInsertInstMess_, txtMessage_,  lstAttachments_,  cmdAttach_,       cmdRemoveAttachment_,
      cmdSend_,           cmdCloseAll_, cmdCancel_};
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void frmMessage::Form_Load(const std::vector<std::string>& recipients) {
  try {
    modGenFunctionsResource::FillComboFromResource(cboPriority_, kResourcePriorities);
    cboPriority_->setCurrentIndex(std::max(0, cboPriority_->findData(kNormalPriority)));
    modGenFunctionsResource::FillComboFromResource(cboResponseType_, kResourceResponseTypes);
    modGenFunctionsResource::FillComboFromResource(cboInstMessType_,
                                                   kResourceInstantMessageTypes);
    connect(cboInstMessType_, &QComboBox::currentIndexChanged, this,
            &frmMessage::FillInstantMessages);
    connect(cboPriority_, &QComboBox::currentIndexChanged, this, &frmMessage::MarkEdited);
    connect(cboResponseType_, &QComboBox::currentIndexChanged, this, &frmMessage::MarkEdited);
    FillInstantMessages();
    FillRecipientList(recipients);
  } catch (...) {
    endError("frmMessage.Form_Load");
  }
  UpdateControls();
}

void frmMessage::FillRecipientList(const std::vector<std::string>& recipients) {
  struct Entry {
    QString name;
    QString uid;
  };
  std::vector<Entry> entries;
  {
    PoolLoan users(modGlobalVariables::User);
    const auto& document = users->XMLDocLinked();
    if (document) {
      for (pugi::xml_node row :
           document->rootElement().children(users->XMLElementBaseName().c_str())) {
        const std::string uid = row.attribute("UID").as_string();
        if (uid.empty()) continue;
        entries.push_back({qs(modGlobalFunctions::GetFieldValue(modGlobalVariables::User, row,
                                                                kDisplayName, true)),
                           qs(uid)});
      }
    }
  }
  // A person answered who is not in the directory is still listed.
  for (const std::string& uid : recipients) {
    const bool listed = std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) {
      return entry.uid.toStdString() == uid;
    });
    if (!listed && !uid.empty()) entries.push_back({qs(frmMessageViewer::PersonName(uid)), qs(uid)});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return QString::localeAwareCompare(a.name, b.name) < 0;
  });
  const QSignalBlocker blocker(lstRecipients_);
  lstRecipients_->clear();
  for (const Entry& entry : entries) {
    auto* item = new QListWidgetItem(entry.name, lstRecipients_);
    item->setToolTip(entry.name);
    item->setData(Qt::UserRole, entry.uid);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    const bool ticked = std::find(recipients.begin(), recipients.end(),
                                  entry.uid.toStdString()) != recipients.end();
    item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
  }
  FitRecipientList();
}

// Every name whole, beside the scroll bar of a long directory, unless the
// window would then be wider than its screen: the list takes what the
// screen leaves beside the other controls, and a name cut there reads
// whole on hover.
void frmMessage::FitRecipientList() {
  const int names = lstRecipients_->sizeHintForColumn(0) + 2 * lstRecipients_->frameWidth() +
                    lstRecipients_->verticalScrollBar()->sizeHint().width();
  lstRecipients_->setMinimumWidth(0);
  const int least = lstRecipients_->minimumSizeHint().width();
  const int beside = layout()->totalMinimumSize().width() - least;
  // The window's frame is known only once it is shown: room for a usual one.
  const int frame = std::max(frameGeometry().width() - width(), kFrameAllowance);
  const int room = platform::usableScreenArea(screen()).width() - frame - beside;
  lstRecipients_->setMinimumWidth(std::max(least, std::min(names, room)));
}

void frmMessage::FillInstantMessages() {
  try {
    PoolLoan presets(modGlobalVariables::InstMess);
    modGlobalFunctions::FillInstantMessageCombo(*presets, *cboInstMessType_, *cboInstMess_,
                                                instantMessageIds_);
  } catch (...) {
    endError("frmMessage.FillInstantMessages");
  }
  UpdateControls();
}

std::vector<std::string> frmMessage::CheckedRecipients() const {
  std::vector<std::string> uids;
  for (int row = 0; row < lstRecipients_->count(); ++row) {
    const QListWidgetItem* item = lstRecipients_->item(row);
    if (item->checkState() == Qt::Checked)
      uids.push_back(item->data(Qt::UserRole).toString().toStdString());
  }
  return uids;
}

void frmMessage::UpdateControls() {
  cmdSend_->setEnabled(!sent_ && !CheckedRecipients().empty() &&
                       !txtMessage_->toPlainText().trimmed().isEmpty());
  lblSent_->setVisible(sent_);
  cmdInsertInstMess_->setEnabled(cboInstMess_->currentIndex() > 0);
  cmdRemoveAttachment_->setEnabled(!lstAttachments_->selectedItems().isEmpty());
}

void frmMessage::MarkChanged() {
  unsent_ = true;
  MarkEdited();
}

void frmMessage::MarkEdited() {
  sent_ = false;
  UpdateControls();
}

bool frmMessage::RefuseUnreachable(const std::vector<std::string>& uids) {
  if (uids.empty()) return false;
  std::string names;
  for (const std::string& uid : uids) {
    names += (names.empty() ? "" : "; ") + frmMessageViewer::PersonName(uid);
  }
  modGenFunctions::ShowMessageBox(
      modGenFunctionsResource::GetResourceMessage(kUnreachableRecipientsMessage, {names}),
      platform::kMbExclamation, modGenFunctions::kAppTitle, this);
  return true;
}

bool frmMessage::HasUnsentWork() const {
  return unsent_ &&
         (!txtMessage_->toPlainText().trimmed().isEmpty() || lstAttachments_->count() > 0);
}

void frmMessage::DropAndClose() {
  unsent_ = false;
  close();
}

frmMessage* frmMessage::OpenReply(int32_t classType, const std::string& messageUID,
                                  QWidget* owner) {
  try {
    std::string sender;
    {
      PoolLoan messages(classType);
      messages->PC_SelectSingleNode(kUIDField, messageUID);
      const pugi::xml_node row = messages->GetCurrent();
      if (!row) return nullptr;
      sender = row.attribute("SD").as_string();
    }
    auto* compose = new frmMessage(messageUID, {sender}, owner);
    compose->setAttribute(Qt::WA_DeleteOnClose);
    compose->setWindowFlag(Qt::Window);
    if (modLocalUserFunctions::LocalUserOptions.IncludeSenderMessageOnReply)
      compose->QuoteMessage(classType, messageUID);
    modGenFunctions::ActivateForm(compose);
    compose->txtMessage_->setFocus();
    return compose;
  } catch (...) {
    raiseAgain("frmMessage.OpenReply");
  }
}

// The answered message's text follows two empty lines; the caret stays
// above it. The quote alone is nothing the person would lose.
void frmMessage::QuoteMessage(int32_t classType, const std::string& messageUID) {
  QString quote = qs(modGlobalFunctions::GetMessagesAsText({messageUID}, classType));
  if (quote.isEmpty()) return;
  txtMessage_->setPlainText("\n\n" + quote.replace("\r\n", "\n"));
  txtMessage_->moveCursor(QTextCursor::Start);
  unsent_ = false;
}

std::string frmMessage::SendMessage() {
  try {
    const std::vector<std::string> recipients = CheckedRecipients();
    QString text = txtMessage_->toPlainText();
    if (recipients.empty() || text.trimmed().isEmpty()) return {};
    if (RefuseUnreachable(modCOMFunctions::RecipientsWithoutAddress(recipients))) return {};
    // The stored text keeps CR LF line breaks.
    text.replace("\r\n", "\n").replace("\n", "\r\n");
    std::string joined;
    for (const std::string& uid : recipients) {
      if (!joined.empty()) joined += "||";
      joined += uid;
    }
    const std::string uid = modCOMFunctions::SendMessageToRecipients(
        text.toStdString(), cboPriority_->currentData().toInt(),
        cboResponseType_->currentData().toInt(), joined, answeredUID_, true, false);
    // On disk before the window tells the person (a failed sync takes the
    // send back and raises here).
    TurnCommit::now();
    // Stored, the message is sent: whatever becomes of its files, sending
    // again would send it twice.
    const std::vector<std::string> files = Attachments();
    if (modLocalUserFunctions::LocalUserOptions.ClearMessageOnSend) {
      txtMessage_->clear();
      lstAttachments_->clear();
    }
    unsent_ = false;
    sent_ = true;
    UpdateControls();
    // The files follow the stored message, so they never go without it.
    modFileTransfer::QueueFileActions(recipients, files);
    ActionManager().StartActionManager();
    return uid;
  } catch (...) {
    raiseAgain("frmMessage.SendMessage");
  }
}

void frmMessage::cmdSend_Click() {
  try {
    SendMessage();
  } catch (...) {
    endError("frmMessage.cmdSend_Click");
  }
}

void frmMessage::cmdInsertInstMess_Click() {
  try {
    PoolLoan presets(modGlobalVariables::InstMess);
    modGlobalFunctions::InsertInstantMessageText(*presets, *cboInstMess_, *txtMessage_,
                                                 instantMessageIds_);
    txtMessage_->setFocus();
  } catch (...) {
    endError("frmMessage.cmdInsertInstMess_Click");
  }
}

void frmMessage::AddAttachments(const std::vector<std::string>& paths) {
  try {
    const auto entries = modFileTransfer::SendableDroppedFiles(paths);
    std::vector<std::string> listed;
    for (const std::string& entry : Attachments()) listed.push_back(entryPath(entry));
    for (const std::string& entry : entries.value_or(std::vector<std::string>{})) {
      const std::vector<std::string> parts = modGenFunctionsString::splitText(entry, "||");
      if (std::find(listed.begin(), listed.end(), parts.front()) != listed.end()) continue;
      listed.push_back(parts.front());
      const std::string name = modGenFunctionsFile::GetPathPart(parts.front(), 0);
      const std::string shown = parts.size() > 1 ? parts[1] + "/" + name : name;
      auto* item = new QListWidgetItem(qs(shown), lstAttachments_);
      item->setData(Qt::UserRole, qs(entry));
      item->setToolTip(qs(parts.front()));
      unsent_ = true;
    }
  } catch (...) {
    endError("frmMessage.AddAttachments");
  }
  UpdateControls();
}

void frmMessage::RemoveSelectedAttachments() {
  qDeleteAll(lstAttachments_->selectedItems());
  UpdateControls();
}

bool frmMessage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lstAttachments_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    RemoveSelectedAttachments();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

// A window that cannot ask stays open: nothing is dropped unasked.
void frmMessage::closeEvent(QCloseEvent* event) {
  bool drop = false;
  try {
    drop = !HasUnsentWork();
    if (!drop) {
      if (!isVisible()) modGenFunctions::ActivateForm(this);
      drop = modGenFunctions::ShowMessageBox(
                 modGenFunctionsResource::GetResourceMessage(kDropUnsentQuestion),
                 platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2,
                 modGenFunctions::kAppTitle, this) == platform::kMbResultYes;
    }
  } catch (...) {
    endError("frmMessage.closeEvent");
  }
  if (drop) {
    QWidget::closeEvent(event);
  } else {
    event->ignore();
  }
}

std::vector<std::string> frmMessage::Attachments() const {
  std::vector<std::string> entries;
  for (int row = 0; row < lstAttachments_->count(); ++row) {
    entries.push_back(lstAttachments_->item(row)->data(Qt::UserRole).toString().toStdString());
  }
  return entries;
}

void frmMessage::cmdAttach_Click() {
  const std::string path = modGenFunctionsFile::ShowOpenFileDialog(this, "", "");
  if (!path.empty()) AddAttachments({path});
}

void frmMessage::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void frmMessage::dropEvent(QDropEvent* event) {
  event->acceptProposedAction();
  AddAttachments(
      modGenFunctions::GetDroppedFiles(event->mimeData()).value_or(std::vector<std::string>{}));
}
