#include "modLocalUserFunctions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrorNumber.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "StoredText.h"
#include "UsersAndOptionsServices.h"
#include "clsGenAPI.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenFunctionsXML.h"
#include "modGlobalVariables.h"

using namespace modLocalUserFunctions;

namespace {

constexpr auto accountField = &ProgramTestEnvironment::accountField;

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "||") + item;
  return text;
}

std::vector<std::string> defaultItems() {
  return {"T",
          "T",
          "T",
          "T",
          "T",
          "F",
          "F",
          "F",
          "T",
          "T",
          "T",
          "F",
          "F",
          "F",
          "T",
          "T",
          "10",
          "7",
          "1",
          "2",
          "/docs/Tavinor/ANN/Transferts",
          "/docs/Tavinor/ANN/Messages",
          "CTRL+ALT+M",
          ""};
}

}  // namespace

TEST(OptionsText, BuildsTheTwentyFourItemsInOrderAndReadsThemBack) {
  UserOptions options;
  ParseOptionsString(joined(defaultItems()), options);
  EXPECT_TRUE(options.ClearMessageOnSend);
  EXPECT_FALSE(options.IncludeSignature);
  EXPECT_TRUE(options.ShareMyUserList);
  EXPECT_FALSE(options.LoadAtStartup);
  EXPECT_TRUE(options.WarnOnFileOpen);
  EXPECT_EQ(options.FrequentUserCount, 10);
  EXPECT_EQ(options.DeleteInterval, 7);
  EXPECT_EQ(options.DeleteIntervalType, 1);
  EXPECT_EQ(options.Language, 2);
  EXPECT_EQ(options.UploadFolder, "/docs/Tavinor/ANN/Transferts");
  EXPECT_EQ(options.MessageSavingFolder, "/docs/Tavinor/ANN/Messages");
  EXPECT_EQ(options.AppHotKey, "CTRL+ALT+M");
  EXPECT_EQ(options.LastAttachedFile, "");
  EXPECT_EQ(BuildOptionsString(options), joined(defaultItems()));

  // Options 22 and 25 are not part of the text.
  options.PrimaryServerIP = "10.0.0.1";
  options.FilterIPList = "10.*.*.*";
  EXPECT_EQ(BuildOptionsString(options), joined(defaultItems()));
  UserOptions reread;
  ParseOptionsString(BuildOptionsString(options), reread);
  EXPECT_EQ(reread.PrimaryServerIP, "");
  EXPECT_EQ(reread.FilterIPList, "");
}

TEST(OptionsText, EveryFlagAndNumberSurvivesTheRoundTrip) {
  UserOptions options;
  for (int32_t number = 0; number < kOptionFlagCount; ++number)
    options.flag(number) = number % 3 == 0;
  options.FrequentUserCount = -4;
  options.DeleteInterval = 2147483647;
  options.DeleteIntervalType = 2;
  options.Language = 1;
  options.UploadFolder = "  /home/ann/in box  ";
  options.MessageSavingFolder = "/home/ann/sorties";
  options.AppHotKey = " SHIFT+F5";
  options.LastAttachedFile = "/home/ann/été.txt ";
  const std::string text = BuildOptionsString(options);
  EXPECT_EQ(modGenFunctionsString::splitText(text, "||").size(), 24u);

  UserOptions reread;
  ParseOptionsString(text, reread);
  for (int32_t number = 0; number < kOptionFlagCount; ++number) {
    EXPECT_EQ(reread.flag(number), number % 3 == 0) << number;
  }
  EXPECT_EQ(reread.FrequentUserCount, -4);
  EXPECT_EQ(reread.DeleteInterval, 2147483647);
  EXPECT_EQ(reread.UploadFolder, "/home/ann/in box");
  EXPECT_EQ(reread.AppHotKey, "SHIFT+F5");
  EXPECT_EQ(reread.LastAttachedFile, "/home/ann/été.txt");
}

TEST(OptionsText, TooFewItemsFailAtTheFirstMissingOneAndSurplusItemsAreIgnored) {
  std::vector<std::string> items = defaultItems();
  items.pop_back();  // 23 items
  UserOptions options;
  options.LastAttachedFile = "untouched";
  EXPECT_EQ(errorNumberOf([&] { ParseOptionsString(joined(items), options); }), kErrSubscript);
  EXPECT_TRUE(options.ClearMessageOnSend);
  EXPECT_EQ(options.AppHotKey, "CTRL+ALT+M");
  EXPECT_EQ(options.LastAttachedFile, "untouched");

  items = defaultItems();
  items.back() = "/tmp/last.pdf";
  items.push_back("surplus");  // 25 items
  ParseOptionsString(joined(items), options);
  EXPECT_EQ(options.LastAttachedFile, "/tmp/last.pdf");

  EXPECT_EQ(errorNumberOf([&] { ParseOptionsString("", options); }), kErrSubscript);
}

TEST(OptionsText, OnlyACapitalTIsOn) {
  std::vector<std::string> items = defaultItems();
  items[0] = "t";
  items[1] = "True";
  items[2] = " T";
  items[5] = "T";
  UserOptions options;
  ParseOptionsString(joined(items), options);
  EXPECT_FALSE(options.ClearMessageOnSend);
  EXPECT_FALSE(options.ShowIncomingMessage);
  EXPECT_FALSE(options.IncludeSenderMessageOnReply);
  EXPECT_TRUE(options.IncludeSignature);
}

TEST(OptionsText, NumbersTakeTheLeadingNumberAndTheLanguageMustBeANumber) {
  std::vector<std::string> items = defaultItems();
  items[16] = "12 days";
  items[17] = "";
  items[18] = "2.5";
  items[19] = " 3.5 ";
  UserOptions options;
  ParseOptionsString(joined(items), options);
  EXPECT_EQ(options.FrequentUserCount, 12);
  EXPECT_EQ(options.DeleteInterval, 0);
  EXPECT_EQ(options.DeleteIntervalType, 2);  // half rounds to even
  EXPECT_EQ(options.Language, 4);

  items[17] = "many";
  ParseOptionsString(joined(items), options);
  EXPECT_EQ(options.DeleteInterval, 0);

  items[19] = "English";
  EXPECT_EQ(errorNumberOf([&] { ParseOptionsString(joined(items), options); }), kErrTypeMismatch);
  items[19] = "";
  EXPECT_EQ(errorNumberOf([&] { ParseOptionsString(joined(items), options); }), kErrTypeMismatch);
  items[19] = "2";
  items[16] = "99999999999";
  EXPECT_EQ(errorNumberOf([&] { ParseOptionsString(joined(items), options); }), kErrOverflow);
}

TEST(OptionsText, BoolToTFAppendsWithTheListSeparator) {
  std::string text;
  BoolToTF(text, true);
  EXPECT_EQ(text, "T");
  BoolToTF(text, false);
  EXPECT_EQ(text, "T||F");
}

// ---- Accounts in a fresh installation ---------------------------------------

namespace {

// The login dialog as the login check sees it, recording what was done to it.
class FakeLoginDialog : public LoginDialogAccess {
 public:
  void Hide() override { hidden = true; }
  bool IsMinimized() const override { return minimized; }
  void ClearUserName() override { userNameCleared = true; }
  void ClearPassword() override { passwordCleared = true; }
  void FocusUserName() override { focus = "user name"; }
  void FocusPassword() override { focus = "password"; }

  bool minimized = false;
  bool hidden = false;
  bool userNameCleared = false;
  bool passwordCleared = false;
  std::string focus;
};

class Accounts : public ::testing::Test {
 protected:
  void TearDown() override { UsersAndOptionsServices::Install({}); }

  static void setField(const std::string& uid, int32_t number, const std::string& value) {
    PoolLoan accounts(modGlobalVariables::LocalUser);
    accounts->SetRowFieldByKey(kLocalUserUID, uid, number, value);
    accounts->SaveXMLDoc();
  }

  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
};

}  // namespace

TEST_F(Accounts, LoginFindsTheAccountWhateverTheCaseOfTheNameButComparesThePasswordExactly) {
  const std::string uid = ProgramTestEnvironment::addAccount("ANN", "Secret");
  FakeLoginDialog dialog;
  EXPECT_FALSE(ValidateLogin("ann", "secret", "", dialog));
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(10008));
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbInformation);
  EXPECT_EQ(boxes.shown()[0].title, "Tavinor");
  EXPECT_TRUE(dialog.passwordCleared);
  EXPECT_FALSE(dialog.userNameCleared);
  EXPECT_EQ(dialog.focus, "password");
  EXPECT_TRUE(modGlobalVariables::CurrentLocalUserUID.empty());

  boxes.clear();
  EXPECT_TRUE(ValidateLogin("aNn", "Secret", "", dialog));
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, uid);

  // Blanks around the typed name are no part of it.
  modGlobalVariables::CurrentLocalUserUID.clear();
  EXPECT_TRUE(ValidateLogin(" ann  ", "Secret", "", dialog));
  EXPECT_EQ(modGlobalVariables::CurrentLocalUserUID, uid);
}

TEST_F(Accounts, AnEmptyPasswordLogsInOnlyWhereTheStoredOneIsEmpty) {
  ProgramTestEnvironment::addAccount("BOB", "");
  ProgramTestEnvironment::addAccount("CAROL", "x");
  FakeLoginDialog dialog;
  EXPECT_FALSE(ValidateLogin("carol", "", "", dialog));
  EXPECT_TRUE(ValidateLogin("bob", "", "", dialog));
}

TEST_F(Accounts, AnUnknownNameOffersANewAccount) {
  ProgramTestEnvironment::addAccount("ANN", "pw");
  std::vector<std::string> created;
  UsersAndOptionsServices::Install(
      {[&](const std::string& name, const std::string& password, const std::string& server) {
        created = {name, password, server};
      },
       {}});

  // No: nothing is created, both boxes are emptied and the name gets the focus.
  FakeLoginDialog refused;
  boxes.answerNext(platform::kMbResultNo);
  EXPECT_FALSE(ValidateLogin("zoe", "pw", "10.0.0.9", refused));
  ASSERT_EQ(boxes.shown().size(), 2u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(10010));
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbYesNo | platform::kMbQuestion);
  EXPECT_EQ(boxes.shown()[1].text, modGenFunctionsResource::GetResourceMessage(10011));
  EXPECT_EQ(boxes.shown()[1].flags, platform::kMbInformation);
  EXPECT_TRUE(refused.userNameCleared && refused.passwordCleared);
  EXPECT_EQ(refused.focus, "user name");
  EXPECT_TRUE(created.empty());

  // A minimised dialog gets no focus.
  FakeLoginDialog minimised;
  minimised.minimized = true;
  boxes.answerNext(platform::kMbResultNo);
  EXPECT_FALSE(ValidateLogin("zoe", "pw", "", minimised));
  EXPECT_EQ(minimised.focus, "");

  // Yes, then the options dialog is cancelled: hidden, not logged in.
  FakeLoginDialog cancelled;
  boxes.answerNext(platform::kMbResultYes);
  EXPECT_FALSE(ValidateLogin("zoe", "pw", "10.0.0.9", cancelled));
  EXPECT_TRUE(cancelled.hidden);
  EXPECT_EQ(created, (std::vector<std::string>{"zoe", "pw", "10.0.0.9"}));

  // Yes, and the options dialog logs the new account in.
  UsersAndOptionsServices::Install({[](const std::string&, const std::string&, const std::string&) {
    modGlobalVariables::CurrentLocalUserUID = "NEW-ACCOUNT";
  },
                                    {}});
  FakeLoginDialog accepted;
  boxes.answerNext(platform::kMbResultYes);
  EXPECT_TRUE(ValidateLogin("zoe", "pw", "", accepted));
}

TEST_F(Accounts, OptionsComeFromTheAccountRow) {
  const std::string uid = ProgramTestEnvironment::addAccount("ANN", "pw");
  std::vector<std::string> items = defaultItems();
  items[9] = "F";
  items[17] = "30";
  setField(uid, kLocalUserOP, joined(items));
  setField(uid, kLocalUserPSIP, "10.1.1.1");
  setField(uid, kLocalUserFIP, "10.*.*.*||192.168.0.*");
  modGlobalVariables::CurrentLocalUserUID = uid;

  LoadLocalUserOptions(LocalUserOptions, false, "", "");
  EXPECT_FALSE(LocalUserOptions.ShareMyUserList);
  EXPECT_EQ(LocalUserOptions.DeleteInterval, 30);
  EXPECT_EQ(LocalUserOptions.PrimaryServerIP, "10.1.1.1");
  EXPECT_EQ(LocalUserOptions.FilterIPList, "10.*.*.*||192.168.0.*");
  EXPECT_EQ(std::get<bool>(GetLocalUserOption(kShareMyUserList, "")), false);
  EXPECT_EQ(std::get<std::string>(GetLocalUserOption(kUploadFolder, "")),
            "/docs/Tavinor/ANN/Transferts");

  // Forced defaults clear the server address but keep the filter list.
  LoadLocalUserOptions(LocalUserOptions, true, "", "NEWCOMER");
  EXPECT_TRUE(LocalUserOptions.ShareMyUserList);
  EXPECT_EQ(LocalUserOptions.DeleteInterval, 7);
  EXPECT_EQ(LocalUserOptions.PrimaryServerIP, "");
  EXPECT_EQ(LocalUserOptions.FilterIPList, "10.*.*.*||192.168.0.*");
  EXPECT_EQ(LocalUserOptions.UploadFolder,
            environment.documentsFolder() + "/Tavinor/NEWCOMER/Transferts");
  EXPECT_EQ(LocalUserOptions.MessageSavingFolder,
            environment.documentsFolder() + "/Tavinor/NEWCOMER/Messages");
  EXPECT_EQ(LocalUserOptions.AppHotKey, "CTRL+ALT+M");
  EXPECT_EQ(LocalUserOptions.LastAttachedFile, "");
  // Loading makes no folder: a new account that is never saved leaves none.
  EXPECT_FALSE(modGenFunctionsFile::FolderExists(environment.documentsFolder() + "/Tavinor"));
  EXPECT_EQ(BuildOptionsString(LocalUserOptions),
            "T||T||T||T||T||F||F||F||T||T||T||F||F||F||T||T||10||7||1||2||" +
                LocalUserOptions.UploadFolder + "||" + LocalUserOptions.MessageSavingFolder +
                "||CTRL+ALT+M||");
}

TEST_F(Accounts, AnotherAccountsOptionsLoadIntoAPrivateCopy) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  std::vector<std::string> items = defaultItems();
  items[9] = "F";
  setField(ann, kLocalUserOP, joined(items));
  modGlobalVariables::CurrentLocalUserUID = ann;
  LoadLocalUserOptions(LocalUserOptions, false, "", "");
  const UserOptions before = LocalUserOptions;

  // BOB never saved options: his defaults lie in his own folder, not ANN's.
  EXPECT_EQ(std::get<bool>(GetLocalUserOption(kShareMyUserList, bob)), true);
  EXPECT_EQ(std::get<std::string>(GetLocalUserOption(kMessageSavingFolder, bob)),
            environment.documentsFolder() + "/Tavinor/BOB/Messages");
  EXPECT_EQ(LocalUserOptions, before);

  // A folder name never leads out of the Tavinor folder.
  UserOptions stray;
  LoadLocalUserOptions(stray, true, bob, "../../escape");
  EXPECT_EQ(stray.UploadFolder, environment.documentsFolder() + "/Tavinor/escape/Transferts");
}

TEST_F(Accounts, OnlySomeOptionsCanBeAskedFor) {
  for (const int32_t option :
       {kShareMyUserList, kUploadFolder, kMessageSavingFolder, kAppHotKey, kLastAttachedFile}) {
    EXPECT_FALSE(std::holds_alternative<std::monostate>(GetLocalUserOption(option, ""))) << option;
  }
  EXPECT_TRUE(boxes.shown().empty());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(GetLocalUserOption(kFrequentUserCount, "")));
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text,
            "options not implemented in the select case statement... 325gfa");
}

TEST_F(Accounts, LookUpsByKeyAndTheSignatureFallBack) {
  const std::string uid = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
  std::string found;
  EXPECT_TRUE(IsLocalUser(kLocalUserUN, "ANN", kLocalUserUID, found));
  EXPECT_EQ(found, uid);
  EXPECT_FALSE(IsLocalUser(kLocalUserUN, "ann", kLocalUserUID, found));
  EXPECT_EQ(found, "");
  EXPECT_FALSE(IsLocalUser(kLocalUserUID, uid, kLocalUserSI, found));  // empty field

  EXPECT_FALSE(GetLocalUserElement(""));  // nobody logged in
  EXPECT_FALSE(GetLocalUserElement("NO-SUCH-UID"));
  modGlobalVariables::CurrentLocalUserUID = uid;
  EXPECT_EQ(std::string(GetLocalUserElement("").attribute("UN").value()), "ANN");

  EXPECT_EQ(GetLocalUserFieldValue(kLocalUserSignature, "", false), "");
  EXPECT_EQ(GetLocalUserFieldValue(kLocalUserSignature, "", true), "Ann Lee");
  setField(uid, kLocalUserSI, "Ann||%_CRLF_%||Sales");
  EXPECT_EQ(GetLocalUserFieldValue(kLocalUserSignature, uid, true), "Ann\r\nSales");
  EXPECT_EQ(GetLocalUserFieldValue(kLocalUserUN, uid, false), "ANN");
}

TEST_F(Accounts, IdentityElementsCarryTheListOfTheirClassInOrder) {
  const std::string uid = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
  modGlobalVariables::CurrentLocalUserUID = uid;
  const pugi::xml_node row = GetLocalUserElement("");
  const XMLDocumentRef own = BuildUserIdentityElement(modGlobalVariables::LocalUser, row);
  EXPECT_EQ(modGenFunctionsXML::XMLToString(own->rootElement()),
            "<U LN=\"Lee\" FN=\"Ann\" UID=\"" + uid + "\" IP=\"\" CN=\"\" CS=\"1\"/>");

  XMLDocumentRef directory;
  modGenFunctionsXML::XMLLoadFromString(
      directory,
      "<TVR><U UID='P1' CS='4' LN='Roy' FN='Eva' MC='2' IP='10.0.0.4' CN='PC4'/>"
      "<X/></TVR>");
  const pugi::xml_node person = directory->rootElement().first_child();
  const pugi::xml_node target = directory->rootElement().last_child();
  EXPECT_EQ(BuildUserIdentityElement(modGlobalVariables::User, person, target), target);
  EXPECT_EQ(modGenFunctionsXML::XMLToString(target),
            "<X UID=\"P1\" CS=\"4\" LN=\"Roy\" FN=\"Eva\" IP=\"10.0.0.4\" CN=\"PC4\"/>");

  // A row without one of the attributes fails and leaves the target as it was.
  XMLDocumentRef partial;
  modGenFunctionsXML::XMLLoadFromString(partial,
                                        "<TVR><U UID='P2' LN='A' FN='B' IP='' CN=''/><X/></TVR>");
  const pugi::xml_node untouched = partial->rootElement().last_child();
  EXPECT_EQ(errorNumberOf([&] {
              BuildUserIdentityElement(modGlobalVariables::User,
                                       partial->rootElement().first_child(), untouched);
            }),
            kErrInvalidCall);
  EXPECT_FALSE(untouched.first_attribute());
  EXPECT_EQ(errorNumberOf([&] { BuildUserIdentityElement(modGlobalVariables::MessSent, row); }),
            kErrSubscript);
  EXPECT_EQ(errorNumberOf([&] { BuildUserIdentityElement(modGlobalVariables::LocalUser, {}); }),
            kErrObjectNotSet);
}

TEST_F(Accounts, NetworkInformationIsRecordedWhereItChanged) {
  ScopedEnv bind("TAVINOR_BIND_ADDRESS", "127.0.0.7");
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  clsGenAPI api;
  const std::string host = api.GetLocalHostName();
  setField(bob, kLocalUserIP, "127.0.0.7");
  setField(bob, kLocalUserCN, host);

  UpdateLocalUserNetworkInfo();
  EXPECT_EQ(accountField(ann, kLocalUserIP), "127.0.0.7");
  EXPECT_EQ(accountField(ann, kLocalUserCN), host);
  EXPECT_EQ(accountField(ann, kLocalUserCS), "2");
  EXPECT_EQ(accountField(bob, kLocalUserCS), "1");

  UpdateLocalUserNetworkInfo();
  EXPECT_EQ(accountField(ann, kLocalUserCS), "2");
}

TEST_F(Accounts, DeletingAnAccountRemovesItsRowAndDataFolderOnly) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const std::string bob = ProgramTestEnvironment::addAccount("BOB", "pw");
  const std::string annFolder = environment.dataFolder() + "/ANN";
  const std::string bobFolder = environment.dataFolder() + "/BOB";
  modGenFunctionsFile::SaveFileContent(annFolder, "D010.dat", "x");
  modGenFunctionsFile::SaveFileContent(bobFolder, "D010.dat", "x");

  const std::string folders = environment.documentsFolder() + "/Tavinor/ANN/";
  modGenFunctionsFile::CreateFolderPath(folders + "Transferts");
  DeleteLocalUser(ann);
  EXPECT_FALSE(modGenFunctionsFile::FolderExists(annFolder));
  EXPECT_TRUE(modGenFunctionsFile::FileExists(bobFolder + "/D010.dat"));
  std::string found;
  EXPECT_FALSE(IsLocalUser(kLocalUserUID, ann, kLocalUserUN, found));
  EXPECT_TRUE(IsLocalUser(kLocalUserUID, bob, kLocalUserUN, found));
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(12210) + "\n\n" +
                                       folders + "Transferts\n\n" + folders + "Messages");
  EXPECT_EQ(boxes.shown()[0].flags, platform::kMbInformation);
  // The documents folders stay; the accounts file was saved without ANN.
  EXPECT_TRUE(modGenFunctionsFile::FolderExists(folders + "Transferts"));
  const std::string saved =
      storedText(environment.dataFolder() + "/D001.dat", true);
  EXPECT_EQ(saved.find(ann), std::string::npos);
  EXPECT_NE(saved.find(bob), std::string::npos);

  // An account without a data folder name takes no folder with it.
  setField(bob, kLocalUserPA, "");
  DeleteLocalUser(bob);
  EXPECT_TRUE(modGenFunctionsFile::FileExists(environment.dataFolder() + "/D001.dat"));
  EXPECT_TRUE(modGenFunctionsFile::FileExists(bobFolder + "/D010.dat"));

  boxes.clear();
  DeleteLocalUser("");
  EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Accounts, AccountWithADamagedOptionsTextCanStillBeRemoved) {
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  setField(ann, kLocalUserOP, "T||F||13 items short");
  DeleteLocalUser(ann);
  std::string found;
  EXPECT_FALSE(IsLocalUser(kLocalUserUID, ann, kLocalUserUN, found));
  const std::string folders = environment.documentsFolder() + "/Tavinor/ANN/";
  ASSERT_EQ(boxes.shown().size(), 1u);
  EXPECT_EQ(boxes.shown()[0].text, modGenFunctionsResource::GetResourceMessage(12210) + "\n\n" +
                                       folders + "Transferts\n\n" + folders + "Messages");
}

TEST_F(Accounts, PresetInstantMessagesAreTypedByTheirPlaceInTheList) {
  modGlobalVariables::CurrentLocalUserUID = ProgramTestEnvironment::addAccount("ANN", "pw");
  std::string list = "|[DEFAULT INSTANT MESSAGES]|\r\n";
  for (int entry = 1; entry <= 14; ++entry) {
    list += std::to_string(entry) + "=text " + std::to_string(entry) + "\r\n";
  }
  modGenFunctionsResource::loadResourceText(list, 1010);

  AppendDefaultInstantMessages();
  std::vector<std::string> types;
  std::vector<std::string> texts;
  {
    PoolLoan messages(modGlobalVariables::InstMess);
    for (const pugi::xml_node row : messages->XMLDocLinked()->rootElement().children("I")) {
      types.push_back(row.attribute("TY").value());
      texts.push_back(row.attribute("CO").value());
      EXPECT_EQ(std::string(row.attribute("UID").value()).size(), 36u);
    }
  }
  EXPECT_EQ(types, (std::vector<std::string>{"1", "1", "1", "1", "2", "2", "2", "2", "3", "3", "3",
                                             "3", "3", "3"}));
  EXPECT_EQ(texts.front(), "text 1");
  EXPECT_EQ(texts.back(), "text 14");
  EXPECT_TRUE(modGenFunctionsFile::FileExists(environment.dataFolder() + "/ANN/D003.dat"));
}
