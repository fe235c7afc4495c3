#pragma once
// frmOptions: the options dialog. It shows the options block of the
// logged-in person (modLocalUserFunctions::LocalUserOptions), the account's
// names, password, signature and primary-server address, and the list of
// local accounts with their remove command.
//
// Opened for the logged-in account it edits that account; CreateNewUser
// puts it into its new-account state instead (nobody is logged in yet: the
// user name can be typed and the local-accounts tab is closed), where saving
// creates the account and logs it in; OK then needs a password as well,
// since the login dialog accepts no empty one.
//
// The hot-key box takes the key combination pressed in it; a changed hot
// key is tested when the options are saved. Filter entries and the server
// address are typed in the IP entry dialog. OK saves and closes; Cancel
// closes and, for a new account, leaves nothing behind: its folders are
// made only when it is saved.
//
// A user name is stored in capitals and is also the name of the account's
// data folder, so it must be a plain folder name and unique on this
// computer; the dialog refuses to save otherwise, with a message.
//
// Needs the record globals, the resource texts and the message center's
// services. Owned by the start-up window when no owner is given. UI thread only.
#include <QDialog>
#include <array>
#include <string>

#include "modLocalUserFunctions.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

class frmOptions : public QDialog {
  Q_OBJECT

 public:
  // Tabs, in order.
  enum Tab { kGeneralTab = 0, kNetworkTab = 1, kUserTab = 2, kLocalAccountsTab = 3 };

  explicit frmOptions(QWidget* owner = nullptr);

  // Shows the dialog modally in its new-account state with the default
  // options and the given (non-empty) name, password and server address.
  void CreateNewUser(const std::string& userName, const std::string& password,
                     const std::string& serverAddress);

  // Writes the account row from the controls (see the .cpp); false, after
  // telling the person why, when the typed values cannot be saved.
  bool SaveOptions();

  // Asks, then deletes the account selected in the local-accounts list;
  // removing the logged-in account ends the program.
  void RemoveLocalUser();

  bool IsNewAccount() const { return newAccount_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Form_Load();
  void BuildControls();
  QWidget* BuildGeneralTab();
  QWidget* BuildNetworkTab();
  QWidget* BuildUserTab();
  QWidget* BuildLocalAccountsTab();
  void LoadControls();
  void LoadAccountFields();
  void FillLocalUserList();
  void UpdateControls();
  void FocusControl(Tab tab, QWidget* control);
  modLocalUserFunctions::UserOptions OptionsFromControls() const;
  bool CheckTypedValues(const std::string& userName);
  void CreateAccountFolders(const modLocalUserFunctions::UserOptions& options);
  void cmdOK_Click();
  void cmdRemoveLocalUser_Click();
  void cmdAddFilterIP_Click();
  void cmdEditFilterIP_Click();
  void cmdPrimaryServerIP_Click();

  bool newAccount_ = false;

  QTabWidget* tabOptions_;
  std::array<QCheckBox*, modLocalUserFunctions::kOptionFlagCount> chkOption_{};
  QSpinBox* txtDeleteInterval_;
  QComboBox* cboDeleteIntervalType_;
  QComboBox* cboLanguage_;
  QLineEdit* txtAppHotKey_;
  QListWidget* lstFilterIP_;
  QPushButton* cmdAddFilterIP_;
  QPushButton* cmdEditFilterIP_;
  QPushButton* cmdRemoveFilterIP_;
  QPushButton* cmdPrimaryServerIP_;
  QLineEdit* txtUploadFolder_;
  QLineEdit* txtMessageSavingFolder_;
  QLineEdit* txtUserName_;
  QLineEdit* txtPassword_;
  QLineEdit* txtFirstName_;
  QLineEdit* txtLastName_;
  QPlainTextEdit* txtSignature_;
  QLineEdit* txtPrimaryServerIP_;
  QListWidget* lstLocalUsers_;
  QPushButton* cmdRemoveLocalUser_;
  QPushButton* cmdOK_;
  QPushButton* cmdCancel_;
};
