#pragma once
// frmLogin: the login dialog, shown modally by the start-up. It lists the
// user names of the local accounts (preselecting the account that logged in
// last, named by the setting "LLU"), and its OK button runs the login check with the typed
// name, password and primary-server address; the dialog closes accepted when
// an account is logged in. OK is enabled only while both the name and the
// password are typed; the name holds at most 20 characters. The server
// address can also be typed in the IP entry dialog. It opens in the middle
// of the screen.
//
// The login check may empty the boxes, move the focus, or hide the dialog
// (before the options dialog creates a new account), which ends its modal
// run without an accepted result.
//
// Needs the settings object (ApplicationSetting) and the record globals to be
// ready. UI thread only.
#include <QDialog>

#include "MessageCenterServices.h"
#include "modLocalUserFunctions.h"

class QComboBox;
class QLineEdit;
class QPushButton;

class frmLogin : public QDialog, public LoginDialogAccess {
  Q_OBJECT

 public:
  static constexpr int kMaxUserNameLength = modLocalUserFunctions::kMaxUserNameLength;

  explicit frmLogin(QWidget* owner = nullptr);

  // LoginDialogAccess
  void Hide() override;
  bool IsMinimized() const override;
  void ClearUserName() override;
  void ClearPassword() override;
  void FocusUserName() override;
  void FocusPassword() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Form_Load();
  void cmdOK_Click();
  void cmdPrimaryServerIP_Click();
  void UpdateOKButton();

  QComboBox* cboUserName_;
  QLineEdit* txtPassword_;
  QLineEdit* txtPrimaryServerIP_;
  QPushButton* cmdPrimaryServerIP_;
  QPushButton* cmdOK_;
  QPushButton* cmdCancel_;
};
