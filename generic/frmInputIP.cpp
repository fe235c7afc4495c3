#include "frmInputIP.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "MessageBox.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenGlobals.h"

namespace {

constexpr int kInvalidAddressMessage = 11072;
constexpr int kPartLength = 3;

QWidget* ownerOrApp(QWidget* owner) {
  return owner != nullptr ? owner : static_cast<QWidget*>(modGenGlobals::AppOwnerForm);
}

}  // namespace

frmInputIP::frmInputIP(QWidget* owner) : QDialog(ownerOrApp(owner)) {
  setObjectName("frmInputIP");
  auto* frameAppConfig = new QGroupBox(this);
  frameAppConfig->setObjectName("frameAppConfig");
  auto* label = new QLabel("Enter the IP here :", frameAppConfig);
  label->setObjectName("Label2");
  auto* parts = new QHBoxLayout;
  for (std::size_t i = 0; i < txtIPPart_.size(); ++i) {
    auto* box = new QLineEdit(frameAppConfig);
    box->setObjectName(QString("txtIPPart%1").arg(i));
    box->setMaxLength(kPartLength);
    box->setAlignment(Qt::AlignCenter);
    box->setFixedWidth(44);
    box->installEventFilter(this);
    txtIPPart_[i] = box;
    if (i > 0) parts->addWidget(new QLabel(".", frameAppConfig));
    parts->addWidget(box);
    const int index = static_cast<int>(i);
    connect(box, &QLineEdit::textEdited, this, [this, index] { txtIPPart_Edited(index); });
    connect(box, &QLineEdit::textChanged, this, [this] { UpdateButtons(); });
  }
  parts->addStretch();
  cmdOK_ = new QPushButton("OK", frameAppConfig);
  cmdOK_->setObjectName("cmdOK");
  cmdOK_->setDefault(true);
  cmdCancel_ = new QPushButton("Cancel", frameAppConfig);
  cmdCancel_->setObjectName("cmdCancel");
  cmdClearIP_ = new QPushButton("Clear", frameAppConfig);
  cmdClearIP_->setObjectName("cmdClearIP");
  cmdCopyLocalIP_ = new QPushButton("Copy local IP", frameAppConfig);
  cmdCopyLocalIP_->setObjectName("cmdCopyLocalIP");
  // Enter always means OK, wherever the focus is.
  for (QPushButton* button : {cmdCancel_, cmdClearIP_, cmdCopyLocalIP_}) button->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdClearIP_);
  buttons->addWidget(cmdCopyLocalIP_);
  buttons->addStretch();
  buttons->addWidget(cmdOK_);
  buttons->addWidget(cmdCancel_);
  auto* inner = new QVBoxLayout(frameAppConfig);
  inner->addWidget(label);
  inner->addLayout(parts);
  inner->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(frameAppConfig);

  connect(cmdOK_, &QPushButton::clicked, this, &frmInputIP::cmdOK_Click);
  connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(cmdClearIP_, &QPushButton::clicked, this, &frmInputIP::cmdClearIP_Click);
  connect(cmdCopyLocalIP_, &QPushButton::clicked, this, &frmInputIP::cmdCopyLocalIP_Click);
  Form_Load();
}

void frmInputIP::Form_Load() {
  setWindowTitle(QString(modGenFunctions::kAppTitle) + " - IP capture");
  enteredIP_.clear();
  const QWidget* owner = parentWidget();
  if (owner != nullptr && (owner->window()->windowFlags() & Qt::WindowStaysOnTopHint)) {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
  }
  UpdateButtons();
}

void frmInputIP::LetWildCardAllowed(bool allowed) {
  wildCardAllowed_ = allowed;
  UpdateButtons();
}

void frmInputIP::LetDefaultIP(const std::string& ip) { defaultIP_ = ip; }

void frmInputIP::ShowModal() {
  if (isMinimized()) modGenFunctions::ActivateForm(this);
  if (exec() != QDialog::Accepted) enteredIP_.clear();
}

void frmInputIP::UpdateButtons() {
  cmdClearIP_->setEnabled(modGenFunctionsControl::IsIPEnteredInTexboxes(txtIPPart_));
  cmdOK_->setEnabled(modGenFunctions::IsValidIPAddress(
      modGenFunctionsControl::GetEnteredIPFromTextBoxes(txtIPPart_), wildCardAllowed_));
}

// The default goes into the boxes on the first appearance only, so coming
// back to the dialog never overwrites what was typed.
void frmInputIP::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  try {
    if (!activated_ && modGenFunctions::IsValidIPAddress(defaultIP_, wildCardAllowed_)) {
      modGenFunctionsControl::FillTextBoxesFromIP(txtIPPart_, defaultIP_);
      UpdateButtons();
    }
    activated_ = true;
    FocusFirstPart();
  } catch (...) {
    endError("frmInputIP.Form_Activate");
  }
}

void frmInputIP::FocusFirstPart() {
  if (isMinimized()) return;
  txtIPPart_[0]->setFocus();
  txtIPPart_[0]->selectAll();
}

int frmInputIP::partIndex(QObject* box) const {
  for (std::size_t i = 0; i < txtIPPart_.size(); ++i) {
    if (txtIPPart_[i] == box) return static_cast<int>(i);
  }
  return -1;
}

// A part box selects its whole text when it gets the focus, takes "." as a
// move to the next box, and lets through only what its key filter keeps.
bool frmInputIP::eventFilter(QObject* watched, QEvent* event) {
  const int index = partIndex(watched);
  if (index < 0) return QDialog::eventFilter(watched, event);
  QLineEdit* box = txtIPPart_[static_cast<std::size_t>(index)];
  if (event->type() == QEvent::FocusIn) {
    QMetaObject::invokeMethod(box, &QLineEdit::selectAll, Qt::QueuedConnection);
    return false;
  }
  if (event->type() == QEvent::FocusOut && index == autoMovedTo_) autoMovedTo_ = -1;
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  const QString text = key->text();
  // A part typed whole has already moved on: the "." or Tab typed after it
  // out of habit would move on a second time.
  const bool movedOn = index == autoMovedTo_;
  autoMovedTo_ = -1;
  if (movedOn && (text == "." || key->key() == Qt::Key_Tab)) return true;
  if (text.size() != 1 || !text[0].isPrint() || key->modifiers() & Qt::ControlModifier) {
    return key->key() == Qt::Key_Backspace
               ? modGenFunctionsControl::TextBoxKeyPressManager(box, 8, wildCardAllowed_) == 0
               : false;
  }
  if (text == ".") {
    if (index < 3) {
      txtIPPart_[static_cast<std::size_t>(index + 1)]->setFocus();
    } else {
      FocusFirstPart();
    }
    return true;
  }
  const int kept =
      modGenFunctionsControl::TextBoxKeyPressManager(box, text[0].unicode(), wildCardAllowed_);
  return kept == 0;
}

// Three characters typed move on to the next control.
void frmInputIP::txtIPPart_Edited(int index) {
  if (txtIPPart_[static_cast<std::size_t>(index)]->text().size() != kPartLength) return;
  focusNextChild();
  if (index + 1 < static_cast<int>(txtIPPart_.size())) autoMovedTo_ = index + 1;
}

void frmInputIP::cmdOK_Click() {
  try {
    if (!modGenFunctionsControl::IsIPEnteredInTexboxes(txtIPPart_)) return;
    const std::string ip = modGenFunctionsControl::GetEnteredIPFromTextBoxes(txtIPPart_);
    if (modGenFunctions::IsValidIPAddress(ip, wildCardAllowed_)) {
      enteredIP_ = ip;
      accept();
      return;
    }
    modGenFunctions::ShowMessageBox(
        modGenFunctionsResource::GetResourceMessage(kInvalidAddressMessage),
        platform::kMbInformation, modGenFunctions::kAppTitle);
    FocusFirstPart();
  } catch (...) {
    endError("frmInputIP.cmdOK_Click");
  }
}

void frmInputIP::cmdClearIP_Click() {
  try {
    modGenFunctionsControl::ClearArrOfTextBoxes(txtIPPart_);
    FocusFirstPart();
    UpdateButtons();
  } catch (...) {
    endError("frmInputIP.cmdClearIP_Click");
  }
}

void frmInputIP::cmdCopyLocalIP_Click() {
  try {
    clsGenAPI api;
    modGenFunctionsControl::FillTextBoxesFromIP(txtIPPart_, api.GetLocalIPAddress());
    FocusFirstPart();
    UpdateButtons();
  } catch (...) {
    endError("frmInputIP.cmdCopyLocalIP_Click");
  }
}
