// The login road with the real dialogs: the login dialog, the question
// boxes (answered by a recorder) and the options dialog in its new-account
// state, driven while they run modally.
#include "frmLogin.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <functional>
#include <string>
#include <vector>

#include "MessageBox.h"
#include "ModalDriver.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "StoredText.h"
#include "clsApplicationSetting.h"
#include "frmInternalServices.h"
#include "frmMessageCenter.h"
#include "frmOptions.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

using namespace modLocalUserFunctions;

namespace {

constexpr auto accountField = &ProgramTestEnvironment::accountField;

void typeLogin(QWidget* login, const std::string& name, const std::string& password,
               const std::string& server = {}) {
  control<QComboBox>(login, "cboUserName")->setEditText(QString::fromStdString(name));
  control<QLineEdit>(login, "txtPassword")->setText(QString::fromStdString(password));
  control<QLineEdit>(login, "txtPrimaryServerIP")->setText(QString::fromStdString(server));
}

void click(QWidget* dialog, const char* button) { control<QPushButton>(dialog, button)->click(); }

class LoginRoad : public ::testing::Test {
 protected:
  std::vector<std::string> shownTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes.shown()) texts.push_back(box.text);
    return texts;
  }
  static std::string message(int number) {
    return modGenFunctionsResource::GetResourceMessage(number);
  }

  frmInternalServices startupWindow;
  ProgramTestEnvironment environment;
  frmMessageCenter messageCenter;  // installs the message center's services
  RecordingMessageBox boxes;
};

}  // namespace

TEST_F(LoginRoad, AnUnknownNameCreatesTheAccountThroughTheOptionsDialog) {
  ProgramTestEnvironment::addAccount("ANN", "pw");
  bool optionsChecked = false;
  onNextModal<frmLogin>([&](frmLogin* login) {
    typeLogin(login, "newbie", "pw1", "10.0.0.9");
    boxes.answerNext(platform::kMbResultYes);
    onNextModal<frmOptions>([&](frmOptions* options) {
      EXPECT_TRUE(options->IsNewAccount());
      EXPECT_FALSE(login->isVisible());
      auto* tabs = control<QTabWidget>(options, "tabOptions");
      EXPECT_EQ(tabs->currentIndex(), frmOptions::kUserTab);
      EXPECT_FALSE(tabs->isTabEnabled(frmOptions::kLocalAccountsTab));
      EXPECT_EQ(control<QLineEdit>(options, "txtUserName")->text(), "newbie");
      EXPECT_EQ(control<QLineEdit>(options, "txtPassword")->text(), "pw1");
      EXPECT_EQ(control<QLineEdit>(options, "txtPrimaryServerIP")->text(), "10.0.0.9");
      control<QLineEdit>(options, "txtFirstName")->setText("Nina");
      control<QLineEdit>(options, "txtLastName")->setText("Bee");
      optionsChecked = true;
      click(options, "cmdOK");
    });
    click(login, "cmdOK");
  });
  frmLogin login;
  login.exec();
  ASSERT_TRUE(optionsChecked);
  EXPECT_EQ(shownTexts(), std::vector<std::string>{message(10010)});

  const std::string uid = modGlobalVariables::CurrentLocalUserUID;
  ASSERT_EQ(uid.size(), 36u);
  EXPECT_EQ(accountField(uid, kLocalUserUN), "NEWBIE");
  EXPECT_EQ(accountField(uid, kLocalUserPA), "NEWBIE");
  EXPECT_EQ(accountField(uid, kLocalUserPW), "pw1");
  EXPECT_EQ(accountField(uid, kLocalUserFN), "Nina");
  EXPECT_EQ(accountField(uid, kLocalUserLN), "Bee");
  EXPECT_EQ(accountField(uid, kLocalUserCS), "1");
  EXPECT_EQ(accountField(uid, kLocalUserPSIP), "10.0.0.9");
  EXPECT_EQ(accountField(uid, kLocalUserFIP), "");
  const std::string folders = environment.documentsFolder() + "/Tavinor/NEWBIE/";
  EXPECT_EQ(accountField(uid, kLocalUserOP),
            "T||T||T||T||T||F||F||F||T||T||T||F||F||F||T||T||10||7||1||2||" + folders +
                "Transferts||" + folders + "Messages||CTRL+ALT+M||");
  EXPECT_TRUE(modGenFunctionsFile::FolderExists(folders + "Transferts"));

  // The account is on disk, and so are its preset instant messages.
  const std::string accounts =
      storedText(environment.dataFolder() + "/D001.dat", true);
  EXPECT_NE(accounts.find(uid), std::string::npos);
  const modGlobalFunctions::GenObjectRef presets =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::InstMess, uid, true);
  std::vector<std::string> types;
  std::vector<std::string> texts;
  for (const pugi::xml_node row : presets->XMLDocLinked()->rootElement().children("I")) {
    types.push_back(row.attribute("TY").value());
    texts.push_back(row.attribute("CO").value());
  }
  const auto& list = modGenFunctionsResource::GetResourceSection(1010).items();
  ASSERT_EQ(texts.size(), list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(texts[i], modGenFunctionsResource::GetItemText(list[i].value));
    EXPECT_EQ(types[i], i < 4 ? "1" : i < 8 ? "2" : "3") << i;
  }
}

TEST_F(LoginRoad, AnsweringNoEmptiesBothBoxesAndKeepsTheDialogOpen) {
  ProgramTestEnvironment::addAccount("ANN", "pw");
  bool checked = false;
  onNextModal<frmLogin>([&](frmLogin* login) {
    typeLogin(login, "zoe", "pw");
    boxes.answerNext(platform::kMbResultNo);
    click(login, "cmdOK");
    EXPECT_TRUE(login->isVisible());
    EXPECT_EQ(control<QComboBox>(login, "cboUserName")->currentText(), "");
    EXPECT_EQ(control<QLineEdit>(login, "txtPassword")->text(), "");
    EXPECT_FALSE(control<QPushButton>(login, "cmdOK")->isEnabled());
    checked = true;
    click(login, "cmdCancel");
  });
  frmLogin login;
  EXPECT_EQ(login.exec(), QDialog::Rejected);
  EXPECT_TRUE(checked);
  EXPECT_EQ(shownTexts(), (std::vector<std::string>{message(10010), message(10011)}));
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
}

TEST_F(LoginRoad, CancellingTheNewAccountLogsNobodyIn) {
  onNextModal<frmLogin>([&](frmLogin* login) {
    typeLogin(login, "zoe", "pw");
    boxes.answerNext(platform::kMbResultYes);
    onNextModal<frmOptions>([&](frmOptions* options) { click(options, "cmdCancel"); });
    click(login, "cmdOK");
  });
  frmLogin login;
  EXPECT_EQ(login.exec(), QDialog::Rejected);
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());
  EXPECT_TRUE(ListLocalUsers().empty());
}

TEST_F(LoginRoad, AWrongPasswordIsAskedAgainAndALowerCaseNameFindsTheAccount) {
  const std::string uid = ProgramTestEnvironment::addAccount("ANN", "Secret");
  bool checked = false;
  onNextModal<frmLogin>([&](frmLogin* login) {
    typeLogin(login, "ann", "secret");
    click(login, "cmdOK");
    EXPECT_TRUE(login->isVisible());
    // The name stays (the combo may have completed it to the listed "ANN").
    EXPECT_EQ(control<QComboBox>(login, "cboUserName")->currentText().toUpper(), "ANN");
    EXPECT_EQ(control<QLineEdit>(login, "txtPassword")->text(), "");
    control<QLineEdit>(login, "txtPassword")->setText("Secret");
    checked = true;
    click(login, "cmdOK");
  });
  frmLogin login;
  EXPECT_EQ(login.exec(), QDialog::Accepted);
  EXPECT_TRUE(checked);
  EXPECT_EQ(shownTexts(), std::vector<std::string>{message(10008)});
  EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, uid);
}

TEST_F(LoginRoad, TheListPreselectsTheLastUserAndOKNeedsNameAndPassword) {
  ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  modGenFunctionsFile::SaveFileContent(
      environment.dataFolder(), "D000.Dat",
      modGenFunctionsFile::ReadFileContent(ProgramTestEnvironment::shippedFile("D000.Dat")));
  ApplicationSetting = std::make_unique<clsApplicationSetting>();
  ApplicationSetting->SetXMLAppNameSpace("TVR");
  ApplicationSetting->SaveAppSetting("LLU", bob);

  frmLogin login;
  auto* names = control<QComboBox>(&login, "cboUserName");
  auto* password = control<QLineEdit>(&login, "txtPassword");
  auto* ok = control<QPushButton>(&login, "cmdOK");
  ASSERT_EQ(names->count(), 2);
  EXPECT_EQ(names->itemText(0), "ANN");
  EXPECT_EQ(names->currentText(), "BOB");
  login.show();  // the password is what remains to type
  EXPECT_EQ(login.focusWidget(), password);
  login.hide();
  EXPECT_FALSE(ok->isEnabled());
  password->setText("pw");
  EXPECT_TRUE(ok->isEnabled());
  names->setEditText("");
  EXPECT_FALSE(ok->isEnabled());
  names->setEditText("   ");
  EXPECT_FALSE(ok->isEnabled());
  names->setEditText("A-NAME-OF-MORE-THAN-TWENTY-LETTERS");
  EXPECT_EQ(names->currentText().size(), frmLogin::kMaxUserNameLength);

  // An "LLU" naming no account preselects nothing.
  ApplicationSetting->SaveAppSetting("LLU", "GONE");
  frmLogin fresh;
  EXPECT_EQ(control<QComboBox>(&fresh, "cboUserName")->currentText(), "");
}
