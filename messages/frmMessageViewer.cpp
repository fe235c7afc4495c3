#include "frmMessageViewer.h"

#include <QApplication>
#include <QClipboard>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <string_view>
#include <vector>

#include "MessageWindowsServices.h"
#include "PoolLoan.h"
#include "clsGenErrorHandler.h"
#include "frmMessage.h"
#include "MessageBox.h"
#include "frmMessageHistory.h"
#include "modCOMMessageCenter.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"

namespace {

constexpr int kResourceViewer = 1000;
constexpr int kResourceResponseTypes = 202;
constexpr int32_t kUIDField = 0;
constexpr int32_t kDisplayName = 50000;        // people: "LN, FN"; messages: status name
constexpr int32_t kPriorityName = 50001;
constexpr int32_t kContentRestored = 50500;

QString qs(const std::string& text) { return QString::fromStdString(text); }

QLabel* valueLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setWordWrap(true);
  return label;
}

// A list text of the viewer's resource section, or `fallback` when the
// section lacks it.
QString viewerText(int code, const char* fallback) {
  const auto& section = modGenFunctionsResource::GetResourceSection(kResourceViewer);
  if (!section.contains("I_" + std::to_string(code))) return fallback;
  return qs(modGenFunctionsResource::GetResourceListText(kResourceViewer, code));
}

}  // namespace

frmMessageViewer::frmMessageViewer(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName("frmMessageViewer");
  setWindowTitle("Tavinor - " + viewerText(1, "Message viewer"));
  // Its minimum is wider than its default size: it opens at that width.
  new modGloFunctionsUI::WindowPlacement(this, 5370, 5400, 6300, 5000);

  lblFrom_ = valueLabel(this, "lblFrom");
  lblTo_ = valueLabel(this, "lblTo");
  lblDate_ = valueLabel(this, "lblDate");
  lblPriority_ = valueLabel(this, "lblPriority");
  lblResponse_ = valueLabel(this, "lblResponse");
  lblStatus_ = valueLabel(this, "lblStatus");
  txtMessage_ = new QPlainTextEdit(this);
  txtMessage_->setObjectName("txtMessage");
  txtMessage_->setReadOnly(true);
  cmdReply_ = new QPushButton("&" + viewerText(4, "Reply"), this);
  cmdReply_->setObjectName("cmdReply");
  cmdRecall_ = new QPushButton(viewerText(7, "Recall"), this);
  cmdRecall_->setObjectName("cmdRecall");
  cmdMoveToHistory_ = new QPushButton(viewerText(8, "Move to history"), this);
  cmdMoveToHistory_->setObjectName("cmdMoveToHistory");
  cmdExport_ = new QPushButton("Export", this);
  cmdExport_->setObjectName("cmdExport");
  cmdCopy_ = new QPushButton("Copy", this);
  cmdCopy_->setObjectName("cmdCopy");
  cmdClose_ = new QPushButton("Close", this);
  cmdClose_->setObjectName("cmdClose");
  cmdCloseAll_ = modGloFunctionsUI::closeAllWindowsButton(this);

  auto* fields = new QFormLayout;
  fields->addRow("From:", lblFrom_);
  fields->addRow("To:", lblTo_);
  fields->addRow("Date:", lblDate_);
  fields->addRow("Priority:", lblPriority_);
  fields->addRow("Response:", lblResponse_);
  fields->addRow("Status:", lblStatus_);
  auto* commands = new QHBoxLayout;
  for (QPushButton* button : {cmdReply_, cmdRecall_, cmdMoveToHistory_, cmdExport_, cmdCopy_})
    commands->addWidget(button);
  commands->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdCloseAll_);
  buttons->addWidget(cmdClose_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(txtMessage_, 1);
  layout->addLayout(commands);
  layout->addLayout(buttons);

  connect(cmdReply_, &QPushButton::clicked, this, &frmMessageViewer::cmdReply_Click);
  connect(cmdRecall_, &QPushButton::clicked, this, &frmMessageViewer::cmdRecall_Click);
  connect(cmdMoveToHistory_, &QPushButton::clicked, this,
          &frmMessageViewer::cmdMoveToHistory_Click);
  connect(cmdExport_, &QPushButton::clicked, this, &frmMessageViewer::cmdExport_Click);
  connect(cmdCopy_, &QPushButton::clicked, this, &frmMessageViewer::cmdCopy_Click);
  connect(cmdClose_, &QPushButton::clicked, this, &QWidget::close);
  UpdateCommands();
}

void frmMessageViewer::ShowForm(bool modal, QWidget* owner) {
  if (owner != nullptr && parentWidget() == nullptr) setParent(owner, windowFlags() | Qt::Window);
  if (!isVisible()) setWindowModality(modal ? Qt::ApplicationModal : Qt::NonModal);
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void frmMessageViewer::SetSourceMessage(int32_t classType, const std::string& messageUID) {
  try {
    classType_ = classType;
    messageUID_ = messageUID;
    if (classType == modGlobalVariables::MessRec)
      modGlobalFunctions::MarkReceivedMessageAsOpened(messageUID);
    DisplayMessage();
  } catch (...) {
    ClearDisplay();
    raiseAgain("frmMessageViewer.SetSourceMessage");
  }
}

std::string frmMessageViewer::PersonName(const std::string& uid) {
  std::string name = modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::LocalUser,
                                                             kUIDField, uid, kDisplayName, false);
  if (name.empty()) {
    name = modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUIDField, uid,
                                                   kDisplayName, true);
  }
  return name;
}

std::string frmMessageViewer::SenderName(pugi::xml_node row) {
  return PersonName(row.attribute("SD").as_string());
}

void frmMessageViewer::DisplayMessage() {
  ClearDisplay();
  if (classType_ < modGlobalVariables::MessSent || classType_ > modGlobalVariables::MessHist ||
      messageUID_.empty())
    return;
  PoolLoan messages(classType_);
  messages->PC_SelectSingleNode(kUIDField, messageUID_);
  const pugi::xml_node row = messages->GetCurrent();
  if (!row) return;
  found_ = true;
  received_ = std::string_view(row.attribute("MT").as_string()) == "1" &&
              !std::string_view(row.attribute("SD").as_string()).empty();
  lblFrom_->setText(qs(SenderName(row)));
  lblTo_->setText(
      qs(modCOMMessageCenter::GetRecipientNames(*messages, true, false)).replace("||", "; "));
  lblDate_->setText(row.attribute("TS").as_string());
  lblPriority_->setText(qs(modGlobalFunctions::GetFieldValue(classType_, row, kPriorityName, false)));
  const std::string response = row.attribute("RT").as_string();
  if (modGenFunctionsResource::GetResourceSection(kResourceResponseTypes)
          .contains("I_" + response))
    lblResponse_->setText(qs(modGenFunctionsResource::GetResourceListText(kResourceResponseTypes, response)));
  else
    lblResponse_->setText(qs(response));
  lblStatus_->setText(qs(modGlobalFunctions::GetFieldValue(classType_, row, kDisplayName, false)));
  QString content = qs(modGlobalFunctions::GetFieldValue(classType_, row, kContentRestored, false));
  txtMessage_->setPlainText(content.replace("\r\n", "\n"));
  UpdateCommands();
}

void frmMessageViewer::ClearDisplay() {
  found_ = false;
  received_ = false;
  for (QLabel* label : {lblFrom_, lblTo_, lblDate_, lblPriority_, lblResponse_, lblStatus_})
    label->clear();
  txtMessage_->clear();
  UpdateCommands();
}

void frmMessageViewer::UpdateCommands() {
  cmdReply_->setEnabled(found_ && received_);
  cmdRecall_->setEnabled(found_ && classType_ == modGlobalVariables::MessSent);
  cmdMoveToHistory_->setEnabled(found_ && classType_ != modGlobalVariables::MessHist);
  cmdExport_->setEnabled(found_);
  cmdCopy_->setEnabled(found_);
}

void frmMessageViewer::cmdReply_Click() {
  try {
    frmMessage::OpenReply(classType_, messageUID_,
                          static_cast<QWidget*>(modGenGlobals::AppOwnerForm));
  } catch (...) {
    endError("frmMessageViewer.cmdReply_Click");
  }
}

void frmMessageViewer::cmdRecall_Click() {
  try {
    if (!frmMessageHistory::AskToRecall(this, 1)) return;
    frmMessageHistory::RecallAndTell(this, {messageUID_});
    DisplayMessage();
  } catch (...) {
    endError("frmMessageViewer.cmdRecall_Click");
  }
}

void frmMessageViewer::cmdMoveToHistory_Click() {
  try {
    modGlobalFunctions::CopyMessageToHistory(classType_, {messageUID_});
    // The message now lives in the history; keep showing it there.
    classType_ = modGlobalVariables::MessHist;
    DisplayMessage();
  } catch (...) {
    endError("frmMessageViewer.cmdMoveToHistory_Click");
  }
}

void frmMessageViewer::cmdExport_Click() {
  try {
    bool openAfter = false;
    modGlobalFunctions::SaveMessageToTextFile({messageUID_}, classType_, this, openAfter);
  } catch (...) {
    endError("frmMessageViewer.cmdExport_Click");
  }
}

void frmMessageViewer::cmdCopy_Click() {
  try {
    QApplication::clipboard()->setText(
        qs(modGlobalFunctions::GetMessagesAsText({messageUID_}, classType_)));
  } catch (...) {
    endError("frmMessageViewer.cmdCopy_Click");
  }
}

frmMessageViewer* frmMessageViewer::SharedViewer() {
  static QPointer<frmMessageViewer> shared;
  if (shared.isNull()) shared = new frmMessageViewer();
  return shared.data();
}

void frmMessageViewer::InstallService() {
  MessageWindowsServices::InstallViewer(
      {[](bool modal, void* owner) {
         SharedViewer()->ShowForm(modal, static_cast<QWidget*>(owner));
       },
       [](int32_t classType, const std::string& uid) {
         SharedViewer()->SetSourceMessage(classType, uid);
       }});
}
