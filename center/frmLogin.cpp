#include "frmLogin.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "MessageBox.h"
#include "clsApplicationSetting.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctionsControl.h"

frmLogin::frmLogin(QWidget* owner) : QDialog(owner) {
  setObjectName("frmLogin");
  setWindowTitle("Tavinor - Login");

  cboUserName_ = new QComboBox(this);
  cboUserName_->setObjectName("cboUserName");
  cboUserName_->setEditable(true);
  cboUserName_->setInsertPolicy(QComboBox::NoInsert);
  cboUserName_->lineEdit()->setMaxLength(kMaxUserNameLength);
  txtPassword_ = new QLineEdit(this);
  txtPassword_->setObjectName("txtPassword");
  txtPassword_->setEchoMode(QLineEdit::Password);
  txtPrimaryServerIP_ = new QLineEdit(this);
  txtPrimaryServerIP_->setObjectName("txtPrimaryServerIP");
  cmdPrimaryServerIP_ = new QPushButton("...", this);
  cmdPrimaryServerIP_->setObjectName("cmdPrimaryServerIP");
  cmdOK_ = new QPushButton("OK", this);
  cmdOK_->setObjectName("cmdOK");
  cmdOK_->setDefault(true);
  cmdCancel_ = new QPushButton("Cancel", this);
  cmdCancel_->setObjectName("cmdCancel");

  auto* fields = new QFormLayout;
  fields->addRow("User name:", cboUserName_);
  fields->addRow("Password:", txtPassword_);
  auto* server = new QHBoxLayout;
  server->addWidget(txtPrimaryServerIP_, 1);
  server->addWidget(cmdPrimaryServerIP_);
  fields->addRow("Primary server address:", server);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdOK_);
  buttons->addWidget(cmdCancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);

  connect(cboUserName_, &QComboBox::editTextChanged, this, &frmLogin::UpdateOKButton);
  connect(txtPassword_, &QLineEdit::textChanged, this, &frmLogin::UpdateOKButton);
  connect(cmdOK_, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
  connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(cmdPrimaryServerIP_, &QPushButton::clicked, this, &frmLogin::cmdPrimaryServerIP_Click);
  Form_Load();
}

void frmLogin::Form_Load() {
  try {
    const std::string lastUID = ApplicationSetting ? ApplicationSetting->GetAppSetting("LLU") : "";
    int preselected = -1;
    for (const modLocalUserFunctions::LocalUserName& account :
         modLocalUserFunctions::ListLocalUsers()) {
      if (account.uid == lastUID && !lastUID.empty()) preselected = cboUserName_->count();
      cboUserName_->addItem(QString::fromStdString(account.userName),
                            QString::fromStdString(account.uid));
    }
    cboUserName_->setCurrentIndex(preselected);
    if (preselected < 0) cboUserName_->setEditText({});
    UpdateOKButton();
  } catch (...) {
    endError("frmLogin.Form_Load");
  }
}

// With the last user preselected, the password is what remains to type.
void frmLogin::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Its owner, the start-up window, is never shown: the dialog takes the
  // middle of the screen.
  platform::centreWindow(this, nullptr);
  if (cboUserName_->currentIndex() >= 0 && txtPassword_->text().isEmpty()) {
    txtPassword_->setFocus();
  }
}

void frmLogin::cmdOK_Click() {
  try {
    if (modLocalUserFunctions::ValidateLogin(cboUserName_->currentText().toStdString(),
                                             txtPassword_->text().toStdString(),
                                             txtPrimaryServerIP_->text().toStdString(), *this)) {
      accept();
    }
  } catch (...) {
    endError("frmLogin.cmdOK_Click");
  }
}

// The server address is typed in the IP entry dialog.
void frmLogin::cmdPrimaryServerIP_Click() {
  try {
    const std::string address = modGenFunctionsControl::InputIPFromUser(
        this, txtPrimaryServerIP_->text().trimmed().toStdString(), false);
    if (!address.empty()) txtPrimaryServerIP_->setText(QString::fromStdString(address));
  } catch (...) {
    endError("frmLogin.cmdPrimaryServerIP_Click");
  }
}

void frmLogin::UpdateOKButton() {
  cmdOK_->setEnabled(!cboUserName_->currentText().trimmed().isEmpty() &&
                     !txtPassword_->text().isEmpty());
}

void frmLogin::Hide() { hide(); }

bool frmLogin::IsMinimized() const { return isMinimized(); }

void frmLogin::ClearUserName() {
  cboUserName_->setCurrentIndex(-1);
  cboUserName_->setEditText({});
}

void frmLogin::ClearPassword() { txtPassword_->clear(); }

void frmLogin::FocusUserName() { cboUserName_->setFocus(); }

void frmLogin::FocusPassword() { txtPassword_->setFocus(); }
