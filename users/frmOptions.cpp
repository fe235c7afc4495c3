#include "frmOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <climits>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "TvrError.h"
#include "clsGenErrorHandler.h"
#include "modGenAPI.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"

using namespace modLocalUserFunctions;

namespace {

constexpr int kResourceDeleteIntervalTypes = 208;
constexpr int kResourceLanguages = 206;

// The check box of each flag, by option number.
struct FlagControl {
  const char* name;
  const char* caption;
};
constexpr std::array<FlagControl, kOptionFlagCount> kFlagControls = {{
    {"chkClearMessageOnSend", "Empty the message window after sending"},
    {"chkShowIncomingMessage", "Show incoming messages on the message board"},
    {"chkIncludeSenderMessageOnReply", "Include the sender's message in a reply"},
    {"chkKeptOutgoingMessageInHistory", "Keep outgoing messages in the history"},
    {"chkDeleteMessageOlderThan", "Delete old messages automatically"},
    {"chkIncludeSignature", "Add my signature to every message"},
    {"chkAcceptMessFileFromUserInMyUserList", "Accept messages and files only from my users"},
    {"chkAlwaysOnTop", "Keep the windows on top"},
    {"chkDisplayToolTips", "Show tool tips"},
    {"chkShareMyUserList", "Share my list of users"},
    {"chkSaveWindowsSetting", "Save the windows' positions"},
    {"chkEnableIPFiltering", "Accept connections only from the filtered addresses"},
    {"chkDisplayRejectedIP", "Log refused connections"},
    {"chkLoadAtStartup", "Start Tavinor when I log on"},
    {"chkEncryptSendingFile", "Encipher the files I send"},
    {"chkWarnOnFileOpen", "Warn me before opening a received file"},
}};

// Flags shown on the network tab; the others are on the general tab.
bool onNetworkTab(int32_t option) {
  switch (option) {
    case kAcceptMessFileFromUserInMyUserList:
    case kShareMyUserList:
    case kEnableIPFiltering:
    case kDisplayRejectedIP:
    case kEncryptSendingFile:
    case kWarnOnFileOpen:
      return true;
    default:
      return false;
  }
}

QString qs(const std::string& text) { return QString::fromStdString(text); }
std::string ss(const QString& text) { return text.toStdString(); }

// The signature as a text box holds it (line feeds) from its stored form, and back.
QString signatureForDisplay(const std::string& stored) {
  return qs(modGenFunctions::ConvertCRLF(stored, false)).replace("\r\n", "\n");
}
std::string signatureForStorage(const QString& shown) {
  QString text = shown;
  text.replace("\r\n", "\n").replace("\n", "\r\n");
  return modGenFunctions::ConvertCRLF(ss(text), true);
}

void selectByCode(QComboBox* combo, int32_t code) { combo->setCurrentIndex(combo->findData(code)); }

// The virtual-key code of a pressed key: letters and digits are their own
// codes, F1..F12 are 112..123, the modifier keys 16..18; 0 for any other.
int virtualKeyOf(const QKeyEvent& key) {
  const int code = key.key();
  if ((code >= Qt::Key_A && code <= Qt::Key_Z) || (code >= Qt::Key_0 && code <= Qt::Key_9)) {
    return code;
  }
  if (code >= Qt::Key_F1 && code <= Qt::Key_F12) return 112 + (code - Qt::Key_F1);
  switch (code) {
    case Qt::Key_Shift:
      return 16;
    case Qt::Key_Control:
      return 17;
    case Qt::Key_Alt:
      return 18;
    default:
      return 0;
  }
}

}  // namespace

frmOptions::frmOptions(QWidget* owner)
    : QDialog(owner != nullptr ? owner : static_cast<QWidget*>(modGenGlobals::AppOwnerForm)) {
  setObjectName("frmOptions");
  setWindowTitle("Tavinor - Options");
  new modGloFunctionsUI::WindowPlacement(this, 5400, 4500, 5400, 5000);
  BuildControls();
  Form_Load();
}

void frmOptions::BuildControls() {
  tabOptions_ = new QTabWidget(this);
  tabOptions_->setObjectName("tabOptions");
  for (int32_t option = 0; option < kOptionFlagCount; ++option) {
    chkOption_[option] = new QCheckBox(kFlagControls[option].caption, this);
    chkOption_[option]->setObjectName(kFlagControls[option].name);
  }

  tabOptions_->addTab(BuildGeneralTab(), "General");
  tabOptions_->addTab(BuildNetworkTab(), "Network and files");
  tabOptions_->addTab(BuildUserTab(), "User");
  tabOptions_->addTab(BuildLocalAccountsTab(), "Local accounts");

  cmdOK_ = new QPushButton("OK", this);
  cmdOK_->setObjectName("cmdOK");
  cmdOK_->setDefault(true);
  cmdCancel_ = new QPushButton("Cancel", this);
  cmdCancel_->setObjectName("cmdCancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdOK_);
  buttons->addWidget(cmdCancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabOptions_);
  layout->addLayout(buttons);

  connect(cmdOK_, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
  connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(cmdRemoveLocalUser_, &QPushButton::clicked, this, &frmOptions::cmdRemoveLocalUser_Click);
  connect(cmdAddFilterIP_, &QPushButton::clicked, this, &frmOptions::cmdAddFilterIP_Click);
  connect(cmdEditFilterIP_, &QPushButton::clicked, this, &frmOptions::cmdEditFilterIP_Click);
  connect(cmdRemoveFilterIP_, &QPushButton::clicked, this,
          [this] { delete lstFilterIP_->currentItem(); });
  connect(cmdPrimaryServerIP_, &QPushButton::clicked, this, &frmOptions::cmdPrimaryServerIP_Click);
  connect(lstFilterIP_, &QListWidget::itemDoubleClicked, this, &frmOptions::cmdEditFilterIP_Click);
  connect(txtUserName_, &QLineEdit::textChanged, this, &frmOptions::UpdateControls);
  connect(txtPassword_, &QLineEdit::textChanged, this, &frmOptions::UpdateControls);
}

QWidget* frmOptions::BuildGeneralTab() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  for (int32_t option = 0; option < kOptionFlagCount; ++option) {
    if (!onNetworkTab(option)) layout->addWidget(chkOption_[option]);
  }
  txtDeleteInterval_ = new QSpinBox(page);
  txtDeleteInterval_->setObjectName("txtDeleteInterval");
  // A negative age would make every message old enough to be deleted.
  txtDeleteInterval_->setRange(0, INT_MAX);
  cboDeleteIntervalType_ = new QComboBox(page);
  cboDeleteIntervalType_->setObjectName("cboDeleteIntervalType");
  modGenFunctionsResource::FillComboFromResource(cboDeleteIntervalType_,
                                                 kResourceDeleteIntervalTypes);
  cboLanguage_ = new QComboBox(page);
  cboLanguage_->setObjectName("cboLanguage");
  modGenFunctionsResource::FillComboFromResource(cboLanguage_, kResourceLanguages);
  txtAppHotKey_ = new QLineEdit(page);
  txtAppHotKey_->setObjectName("txtAppHotKey");
  txtAppHotKey_->setReadOnly(true);
  txtAppHotKey_->installEventFilter(this);
  auto* fields = new QFormLayout;
  auto* deletion = new QHBoxLayout;
  deletion->addWidget(txtDeleteInterval_);
  deletion->addWidget(cboDeleteIntervalType_);
  fields->addRow("Delete messages older than:", deletion);
  fields->addRow("Language:", cboLanguage_);
  fields->addRow("New-message hot key:", txtAppHotKey_);
  layout->addLayout(fields);
  layout->addStretch();
  return page;
}

QWidget* frmOptions::BuildNetworkTab() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  for (int32_t option = 0; option < kOptionFlagCount; ++option) {
    if (onNetworkTab(option)) layout->addWidget(chkOption_[option]);
  }
  lstFilterIP_ = new QListWidget(page);
  lstFilterIP_->setObjectName("lstFilterIP");
  txtUploadFolder_ = new QLineEdit(page);
  txtUploadFolder_->setObjectName("txtUploadFolder");
  txtMessageSavingFolder_ = new QLineEdit(page);
  txtMessageSavingFolder_->setObjectName("txtMessageSavingFolder");
  auto* fields = new QFormLayout;
  cmdAddFilterIP_ = new QPushButton("Add...", page);
  cmdAddFilterIP_->setObjectName("cmdAddFilterIP");
  cmdEditFilterIP_ = new QPushButton("Change...", page);
  cmdEditFilterIP_->setObjectName("cmdEditFilterIP");
  cmdRemoveFilterIP_ = new QPushButton("Remove", page);
  cmdRemoveFilterIP_->setObjectName("cmdRemoveFilterIP");
  auto* filter = new QHBoxLayout;
  filter->addWidget(lstFilterIP_, 1);
  auto* filterButtons = new QVBoxLayout;
  filterButtons->addWidget(cmdAddFilterIP_);
  filterButtons->addWidget(cmdEditFilterIP_);
  filterButtons->addWidget(cmdRemoveFilterIP_);
  filterButtons->addStretch();
  filter->addLayout(filterButtons);
  fields->addRow("Filtered addresses:", filter);
  fields->addRow("Received files folder:", txtUploadFolder_);
  fields->addRow("Saved messages folder:", txtMessageSavingFolder_);
  layout->addLayout(fields);
  return page;
}

QWidget* frmOptions::BuildUserTab() {
  auto* page = new QWidget(this);
  txtUserName_ = new QLineEdit(page);
  txtUserName_->setObjectName("txtUserName");
  txtUserName_->setMaxLength(kMaxUserNameLength);
  txtPassword_ = new QLineEdit(page);
  txtPassword_->setObjectName("txtPassword");
  txtPassword_->setEchoMode(QLineEdit::Password);
  txtFirstName_ = new QLineEdit(page);
  txtFirstName_->setObjectName("txtFirstName");
  txtLastName_ = new QLineEdit(page);
  txtLastName_->setObjectName("txtLastName");
  txtSignature_ = new QPlainTextEdit(page);
  txtSignature_->setObjectName("txtSignature");
  txtSignature_->setTabChangesFocus(true);
  txtPrimaryServerIP_ = new QLineEdit(page);
  txtPrimaryServerIP_->setObjectName("txtPrimaryServerIP");
  auto* fields = new QFormLayout(page);
  fields->addRow("User name:", txtUserName_);
  fields->addRow("Password:", txtPassword_);
  fields->addRow("First name:", txtFirstName_);
  fields->addRow("Last name:", txtLastName_);
  fields->addRow("Signature:", txtSignature_);
  cmdPrimaryServerIP_ = new QPushButton("...", page);
  cmdPrimaryServerIP_->setObjectName("cmdPrimaryServerIP");
  auto* server = new QHBoxLayout;
  server->addWidget(txtPrimaryServerIP_, 1);
  server->addWidget(cmdPrimaryServerIP_);
  fields->addRow("Primary server address:", server);
  return page;
}

QWidget* frmOptions::BuildLocalAccountsTab() {
  auto* page = new QWidget(this);
  lstLocalUsers_ = new QListWidget(page);
  lstLocalUsers_->setObjectName("lstLocalUsers");
  cmdRemoveLocalUser_ = new QPushButton("Remove", page);
  cmdRemoveLocalUser_->setObjectName("cmdRemoveLocalUser");
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(lstLocalUsers_);
  layout->addWidget(cmdRemoveLocalUser_, 0, Qt::AlignRight);
  return page;
}

void frmOptions::Form_Load() {
  try {
    LoadControls();
    LoadAccountFields();
    FillLocalUserList();
    UpdateControls();
  } catch (...) {
    endError("frmOptions.Form_Load");
  }
}

void frmOptions::LoadControls() {
  for (int32_t option = 0; option < kOptionFlagCount; ++option) {
    chkOption_[option]->setChecked(LocalUserOptions.flag(option));
  }
  txtDeleteInterval_->setValue(LocalUserOptions.DeleteInterval);
  selectByCode(cboDeleteIntervalType_, LocalUserOptions.DeleteIntervalType);
  selectByCode(cboLanguage_, LocalUserOptions.Language);
  txtAppHotKey_->setText(qs(LocalUserOptions.AppHotKey));
  lstFilterIP_->clear();
  for (const std::string& pattern :
       modGenFunctionsString::splitText(LocalUserOptions.FilterIPList, "||")) {
    if (!pattern.empty()) lstFilterIP_->addItem(qs(pattern));
  }
  txtUploadFolder_->setText(qs(LocalUserOptions.UploadFolder));
  txtMessageSavingFolder_->setText(qs(LocalUserOptions.MessageSavingFolder));
  txtPrimaryServerIP_->setText(qs(LocalUserOptions.PrimaryServerIP));
}

void frmOptions::LoadAccountFields() {
  const std::string& uid = modGlobalVariables::CurrentLocalUserUID;
  if (uid.empty()) return;
  PoolLoan accounts(modGlobalVariables::LocalUser);
  auto field = [&](int32_t number) {
    return accounts->GetRowFieldByKey(kLocalUserUID, uid, number, false);
  };
  txtUserName_->setText(qs(field(kLocalUserUN)));
  txtFirstName_->setText(qs(field(kLocalUserFN)));
  txtLastName_->setText(qs(field(kLocalUserLN)));
  txtSignature_->setPlainText(signatureForDisplay(field(kLocalUserSI)));
  txtPassword_->clear();
}

void frmOptions::FillLocalUserList() {
  lstLocalUsers_->clear();
  for (const LocalUserName& account : ListLocalUsers()) {
    auto* item = new QListWidgetItem(qs(account.userName), lstLocalUsers_);
    item->setData(Qt::UserRole, qs(account.uid));
  }
}

// A new account needs a password: the login dialog accepts no empty one.
void frmOptions::UpdateControls() {
  txtUserName_->setReadOnly(!newAccount_);
  tabOptions_->setTabEnabled(kLocalAccountsTab, !newAccount_);
  cmdOK_->setEnabled(!txtUserName_->text().trimmed().isEmpty() &&
                     (!newAccount_ || !txtPassword_->text().isEmpty()));
}

void frmOptions::FocusControl(Tab tab, QWidget* control) {
  tabOptions_->setCurrentIndex(tab);
  control->setFocus();
  if (auto* line = qobject_cast<QLineEdit*>(control)) line->selectAll();
}

void frmOptions::CreateNewUser(const std::string& userName, const std::string& password,
                               const std::string& serverAddress) {
  try {
    newAccount_ = true;
    tabOptions_->setCurrentIndex(kUserTab);
    LoadLocalUserOptions(LocalUserOptions, true, "", StoredUserName(userName));
    LoadControls();
    if (!userName.empty()) txtUserName_->setText(qs(userName));
    if (!password.empty()) txtPassword_->setText(qs(password));
    if (!serverAddress.empty()) txtPrimaryServerIP_->setText(qs(serverAddress));
    UpdateControls();
    QWidget* firstToType = userName.empty()   ? txtUserName_
                           : password.empty() ? txtPassword_
                                              : txtFirstName_;
    FocusControl(kUserTab, firstToType);
    exec();
  } catch (...) {
    raiseAgain("frmOptions.CreateNewUser");
  }
}

UserOptions frmOptions::OptionsFromControls() const {
  UserOptions options = LocalUserOptions;
  for (int32_t option = 0; option < kOptionFlagCount; ++option) {
    options.flag(option) = chkOption_[option]->isChecked();
  }
  options.DeleteInterval = txtDeleteInterval_->value();
  if (cboDeleteIntervalType_->currentIndex() >= 0) {
    options.DeleteIntervalType = cboDeleteIntervalType_->currentData().toInt();
  }
  if (cboLanguage_->currentIndex() >= 0) options.Language = cboLanguage_->currentData().toInt();
  options.AppHotKey = ss(txtAppHotKey_->text());
  options.UploadFolder = ss(txtUploadFolder_->text().trimmed());
  options.MessageSavingFolder = ss(txtMessageSavingFolder_->text().trimmed());
  options.PrimaryServerIP = ss(txtPrimaryServerIP_->text().trimmed());
  std::string filter;
  for (int row = 0; row < lstFilterIP_->count(); ++row) {
    modGenFunctions::AddToString(filter, ss(lstFilterIP_->item(row)->text()));
  }
  options.FilterIPList = filter;
  return options;
}

// Refuses what would break the account's folder or its options text, and
// takes the person to the box to correct.
bool frmOptions::CheckTypedValues(const std::string& userName) {
  int refusal = 0;
  QLineEdit* toCorrect = txtUserName_;
  std::string existing;
  // A user name is also its data folder's name.
  if (!modGenFunctionsFile::isPlainFileName(userName)) {
    refusal = 10013;
  } else if (newAccount_ && IsLocalUser(kLocalUserUN, userName, kLocalUserUID, existing)) {
    refusal = 10012;
  } else if (txtUploadFolder_->text().contains("||")) {
    refusal = 10014;
    toCorrect = txtUploadFolder_;
  } else if (txtMessageSavingFolder_->text().contains("||")) {
    refusal = 10014;
    toCorrect = txtMessageSavingFolder_;
  }
  if (refusal == 0) return true;
  modGenFunctions::ShowMessageBox(modGenFunctionsResource::GetResourceMessage(refusal),
                                  platform::kMbInformation, modGenFunctions::kAppTitle, this);
  FocusControl(toCorrect == txtUserName_ ? kUserTab : kNetworkTab, toCorrect);
  return false;
}

// Writes the new or logged-in account's row: "UN" from the typed name in
// capitals ("PA" too for a new account: an existing account's data folder
// keeps its name), "FN", "LN", "PW" when a password is typed, "SI", "OP",
// "FIP", "PSIP"; "CS" rises by 1 when the names changed. A new account is
// then logged in and gets the preset instant messages and its two folders.
// Changed names or a newly set server address are told to the primary server.
// A changed start-at-log-on box writes or deletes the log-on entry last, so
// that a registry error leaves the saved account and the options in step.
bool frmOptions::SaveOptions() {
  try {
    const std::string userName = StoredUserName(ss(txtUserName_->text()));
    if (userName.empty() || !CheckTypedValues(userName)) return false;
    const UserOptions options = OptionsFromControls();
    const std::string firstName = ss(txtFirstName_->text());
    const std::string lastName = ss(txtLastName_->text());
    std::string uid;
    bool namesChanged = false;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      if (newAccount_) {
        uid = accounts->CreateNewRow(true, kLocalUserUID);
        // Made again after the accounts file was lost: its files name it.
        const std::string former = FormerOwnerOfFolder(userName);
        if (!former.empty()) accounts->SetField(kLocalUserUID, uid = former);
        accounts->SetField(kLocalUserPA, userName);
      } else {
        uid = modGlobalVariables::CurrentLocalUserUID;
        accounts->PC_SelectSingleNode(kLocalUserUID, uid);
        if (!accounts->IsRowSelected()) {
          throw TvrError(kErrObjectNotSet, "", "The logged-in account has no row");
        }
      }
      namesChanged = accounts->GetField(kLocalUserFN) != firstName ||
                     accounts->GetField(kLocalUserLN) != lastName;
      accounts->SetField(kLocalUserUN, userName);
      accounts->SetField(kLocalUserFN, firstName);
      accounts->SetField(kLocalUserLN, lastName);
      if (!txtPassword_->text().isEmpty())
        accounts->SetField(kLocalUserPW, ss(txtPassword_->text()));
      accounts->SetField(kLocalUserSI, signatureForStorage(txtSignature_->toPlainText()));
      accounts->SetField(kLocalUserOP, BuildOptionsString(options));
      accounts->SetField(kLocalUserFIP, options.FilterIPList);
      accounts->SetField(kLocalUserPSIP, options.PrimaryServerIP);
      if (namesChanged) accounts->SetIncrementedField(kLocalUserCS, 1);
      if (newAccount_) accounts->AddCurrentRow();
      accounts->SaveXMLDoc();
    }
    if (options.AppHotKey != LocalUserOptions.AppHotKey) {
      modGenAPI::TestHotKey(this, options.AppHotKey);
    }
    const bool startAtLogonChanged = options.LoadAtStartup != LocalUserOptions.LoadAtStartup;
    const bool serverChanged = !options.PrimaryServerIP.empty() &&
                               options.PrimaryServerIP != LocalUserOptions.PrimaryServerIP;
    LocalUserOptions = options;
    if (newAccount_) {
      modGlobalVariables::CurrentLocalUserUID = uid;
      AppendDefaultInstantMessages();
      CreateAccountFolders(options);
    }
    MessageCenterServices::StartDeleteMessageTimer();
    if (namesChanged || serverChanged) QueuePrimaryServerAction();
    if (startAtLogonChanged) {
      modGenApplicationSetting::SetStartAtLogon(options.LoadAtStartup ? 1 : 2);
    }
    return true;
  } catch (...) {
    raiseAgain("frmOptions.SaveOptions");
  }
}

// The folders are a convenience: whoever writes into them creates them when
// missing, so a folder that cannot be made now does not undo the saved
// account; the failure is reported.
void frmOptions::CreateAccountFolders(const UserOptions& options) {
  try {
    for (const std::string* folder : {&options.UploadFolder, &options.MessageSavingFolder}) {
      if (!folder->empty()) modGenFunctionsFile::CreateFolderPath(*folder);
    }
  } catch (...) {
    endError("frmOptions.CreateAccountFolders");
  }
}

void frmOptions::RemoveLocalUser() {
  try {
    const QListWidgetItem* selected = lstLocalUsers_->currentItem();
    if (selected == nullptr) return;
    const std::string uid = ss(selected->data(Qt::UserRole).toString());
    const int answer = modGenFunctions::ShowMessageBox(
        modGenFunctionsResource::GetResourceMessage(12200, {ss(selected->text())}),
        platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2,
        modGenFunctions::kAppTitle, this);
    if (answer != platform::kMbResultYes) return;
    DeleteLocalUser(uid);
    FillLocalUserList();
    if (uid == modGlobalVariables::CurrentLocalUserUID) {
      modGlobalVariables::CurrentLocalUserUID.clear();
      MessageCenterServices::ExitProgram();
    }
  } catch (...) {
    raiseAgain("frmOptions.RemoveLocalUser");
  }
}

void frmOptions::cmdOK_Click() {
  try {
    if (SaveOptions()) accept();
  } catch (...) {
    endError("frmOptions.cmdOK_Click");
  }
}

void frmOptions::cmdRemoveLocalUser_Click() {
  try {
    RemoveLocalUser();
  } catch (...) {
    endError("frmOptions.cmdRemoveLocalUser_Click");
  }
}

// The hot-key box shows the combination being pressed.
bool frmOptions::eventFilter(QObject* watched, QEvent* event) {
  if (watched != txtAppHotKey_ || event->type() != QEvent::KeyPress) {
    return QDialog::eventFilter(watched, event);
  }
  const auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) return false;
  try {
    modGenAPI::HotKeyToText(txtAppHotKey_, virtualKeyOf(*key),
                            modGenFunctionsControl::ShiftMaskOf(key->modifiers()));
  } catch (...) {
    endError("frmOptions.txtAppHotKey_KeyDown");
  }
  return true;
}

void frmOptions::cmdAddFilterIP_Click() {
  try {
    const std::string pattern = modGenFunctionsControl::InputIPFromUser(this, "", true);
    if (!pattern.empty()) lstFilterIP_->addItem(qs(pattern));
  } catch (...) {
    endError("frmOptions.cmdAddFilterIP_Click");
  }
}

void frmOptions::cmdEditFilterIP_Click() {
  try {
    QListWidgetItem* item = lstFilterIP_->currentItem();
    if (item == nullptr) return;
    const std::string pattern =
        modGenFunctionsControl::InputIPFromUser(this, ss(item->text()), true);
    if (!pattern.empty()) item->setText(qs(pattern));
  } catch (...) {
    endError("frmOptions.cmdEditFilterIP_Click");
  }
}

void frmOptions::cmdPrimaryServerIP_Click() {
  try {
    const std::string address = modGenFunctionsControl::InputIPFromUser(
        this, ss(txtPrimaryServerIP_->text().trimmed()), false);
    if (!address.empty()) txtPrimaryServerIP_->setText(qs(address));
  } catch (...) {
    endError("frmOptions.cmdPrimaryServerIP_Click");
  }
}
