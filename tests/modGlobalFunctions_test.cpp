#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ErrorNumber.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "TestDataFolder.h"
#include "TvrError.h"
#include "clsGenEncryption.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

using modGlobalFunctions::BuildXMLTemplate;

TEST(RowTemplates, FieldsUpToTheFirstUnusedOne) {
  modGlobalVariables::InitGlobalVariables();
  EXPECT_EQ(BuildXMLTemplate("G", 1), "<G UID='' N='' />");
  EXPECT_EQ(BuildXMLTemplate("U", 6), "<U UID='' ST='' />");
  EXPECT_EQ(BuildXMLTemplate("M", 3),
            "<M UID='' SD='' ST='' TS='' CO='' PR='' RT='' AMU='' MT='' RTS='' />");
  EXPECT_EQ(BuildXMLTemplate("X", 12), "<X UID='' OU='' />");
  EXPECT_EQ(BuildXMLTemplate("U", 2), "<U UID='' />");
}

TEST(RowTemplates, EdgesOfTheTable) {
  modGlobalVariables::InitGlobalVariables();
  auto& names = modGenGlobals::FieldNameTable[9];
  const auto saved = names;
  for (int field = 0; field < modGenGlobals::kFieldCount; ++field) {
    names[field] = "F" + std::to_string(field);
  }
  const std::string full = BuildXMLTemplate("R", 9);  // all 30 fields, nothing past them
  EXPECT_EQ(full.substr(0, 12), "<R F0='' F1=");
  EXPECT_EQ(full.substr(full.size() - 16), "F28='' F29='' />");
  names = saved;
  EXPECT_EQ(errorNumberOf([] { BuildXMLTemplate("R", 13); }), kErrSubscript);
}

// ---- Collection factory and pools ------------------------------------------

namespace {

using modGlobalFunctions::CreateGenObject;
using modGlobalFunctions::GenObjectRef;
using modGlobalFunctions::GetPoolObj;
using modGlobalFunctions::GetUserDataObject;
using modGlobalFunctions::ReleasePoolObj;
using namespace modGlobalVariables;

std::vector<std::string> uidsOf(clsGenObject& records) {
  std::vector<std::string> uids;
  for (pugi::xml_node row : records.XMLDocLinked()->rootElement().children()) {
    uids.emplace_back(row.attribute("UID").value());
  }
  return uids;
}

// A sent message with one recipient row per key.
std::string addSentMessage(clsGenObject& sent, const std::vector<std::string>& recipients) {
  const std::string uid = sent.CreateNewRow(true, 0);
  sent.AddCurrentRow();
  for (const std::string& recipient : recipients) sent.AddSubRow(0, uid, 0, recipient);
  return uid;
}

class Pools : public ::testing::Test {
 protected:
  TestDataFolder data_;
  RecordingMessageBox boxes_;
};

}  // namespace

TEST_F(Pools, FactoryConfiguresEachClassFromItsRecordClass) {
  data_.logIn("ALICE");
  struct Expected {
    int32_t classType;
    const char* element;
    const char* subElement;
    std::string file;
  };
  for (const Expected& expected :
       {Expected{User, "U", "", "ALICE/D010.dat"}, Expected{Group, "G", "U", "ALICE/D004.dat"},
        Expected{MessSent, "M", "U", "ALICE/D009.dat"}, Expected{MessRec, "M", "U", "ALICE/D008.dat"},
        Expected{MessHist, "M", "U", "ALICE/D006.dat"}, Expected{LocalUser, "U", "", "D001.dat"},
        Expected{Action, "A", "", "ALICE/D002.dat"}, Expected{InstMess, "I", "", "ALICE/D003.dat"},
        Expected{ActivityLog, "X", "", "ALICE/D007.dat"}}) {
    SCOPED_TRACE(expected.file);
    GenObjectRef records = CreateGenObject(expected.classType, "", true, true);
    EXPECT_EQ(records->XMLElementBaseName(), expected.element);
    EXPECT_EQ(records->XMLSubElementBaseName(), expected.subElement);
    EXPECT_TRUE(records->XMLDocLinked() == modGenGlobals::ClassDocument[expected.classType]);
    EXPECT_NE(data_.raw(expected.file), "<missing>");
  }
  // Member rows are made from the group template; recipient rows carry a status.
  GenObjectRef groups = CreateGenObject(Group, "", true, false);
  const std::string group = groups->CreateNewRow(true, 0);
  groups->AddCurrentRow();
  groups->AddSubRow(0, group, 0, "MEMBER");
  GenObjectRef sent = CreateGenObject(MessSent, "", true, false);
  addSentMessage(*sent, {"R1"});
  const pugi::xml_node member = groups->GetCurrent().first_child();
  EXPECT_EQ(modGenFunctionsXML::XMLToString(member), "<U UID=\"MEMBER\" N=\"\"/>");
  const pugi::xml_node recipient = sent->GetCurrent().first_child();
  EXPECT_EQ(modGenFunctionsXML::XMLToString(recipient), "<U UID=\"R1\" ST=\"\"/>");
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(Pools, ClassesWithoutConfigurationAreReportedButStillMade) {
  for (const int32_t classType : {2, 6, 9, 12, 13}) {
    SCOPED_TRACE(classType);
    boxes_.clear();
    GenObjectRef records = CreateGenObject(classType, "OWNER", false, true);
    ASSERT_TRUE(records);
    EXPECT_EQ(records->ClassType(), classType);
    EXPECT_EQ(records->XMLElementBaseName(), "");
    ASSERT_EQ(boxes_.shown().size(), 1u);
    EXPECT_EQ(boxes_.shown()[0].text, "Internal code error. 61346");
    EXPECT_EQ(boxes_.shown()[0].flags, platform::kMbOkOnly);
  }
}

TEST_F(Pools, PerUserCollectionsNeverFallBackToTheSharedFolder) {
  EXPECT_EQ(errorNumberOf([] { CreateGenObject(MessRec, "", true, true); }), kErrInvalidCall)
      << "nobody logged in";
  const std::string noFolder = data_.addAccount("");
  EXPECT_EQ(errorNumberOf([&] { GetUserDataObject(MessRec, noFolder, true); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([] { GetUserDataObject(User, "NO-SUCH-ACCOUNT", true); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([] { GetPoolObj(User, true); }), kErrInvalidCall);
  EXPECT_EQ(data_.raw("D008.dat"), "<missing>");
  EXPECT_EQ(data_.raw("D010.dat"), "<missing>");

  const std::string bob = data_.addAccount("BOB");
  GenObjectRef bobs = GetUserDataObject(MessRec, bob, true);
  EXPECT_NE(data_.raw("BOB/D008.dat"), "<missing>");
}

TEST_F(Pools, AccountFolderThatIsNoPlainNameIsRefused) {
  for (const std::string folder : {"../OUTSIDE", "A/B", "A\\B", ".", ".."}) {
    SCOPED_TRACE(folder);
    const std::string owner = data_.addAccount(folder);
    EXPECT_EQ(errorNumberOf([&] { GetUserDataObject(MessRec, owner, true); }), kErrInvalidCall);
  }
  EXPECT_EQ(data_.raw("../OUTSIDE/D008.dat"), "<missing>");
  EXPECT_EQ(data_.raw("A/B/D008.dat"), "<missing>");
  EXPECT_EQ(data_.raw("D008.dat"), "<missing>");
}

TEST_F(Pools, NestedBorrowingsShareOneDocument) {
  data_.logIn("ALICE");
  EXPECT_FALSE(GetPoolObj(MessRec, false)) << "nothing pooled yet";
  GenObjectRef outer = GetPoolObj(MessRec, true);
  GenObjectRef inner = GetPoolObj(MessRec, true);
  ASSERT_TRUE(outer && inner);
  EXPECT_NE(outer, inner);
  EXPECT_TRUE(outer->IsObjectLocked() && inner->IsObjectLocked());
  EXPECT_EQ(outer->XMLDocLinked(), inner->XMLDocLinked());
  const std::string uid = outer->CreateNewRow(true, 0);
  outer->AddCurrentRow();
  EXPECT_EQ(uidsOf(*inner), std::vector<std::string>{uid});
  EXPECT_FALSE(GetPoolObj(MessRec, false)) << "both are lent out";

  clsGenObject* first = outer.get();
  ReleasePoolObj(outer);
  EXPECT_FALSE(outer);
  EXPECT_FALSE(first->IsObjectLocked());
  ReleasePoolObj(inner);
  GenObjectRef again = GetPoolObj(MessRec, false);
  EXPECT_EQ(again.get(), first) << "the first free collection is lent again";
  ReleasePoolObj(again);
  GenObjectRef none;
  ReleasePoolObj(none);
}

TEST_F(Pools, AccountsPoolStartsEmptyAndInitEmptiesEveryPool) {
  EXPECT_FALSE(GetPoolObj(LocalUser, false));
  GenObjectRef accounts = GetPoolObj(LocalUser, true);
  ReleasePoolObj(accounts);
  EXPECT_TRUE(GetPoolObj(LocalUser, false));
  InitGlobalVariables();
  EXPECT_FALSE(GetPoolObj(LocalUser, false));
}

TEST_F(Pools, ClassWithoutAPoolIsReportedAndPooledAllTheSame) {
  data_.logIn("ALICE");
  GenObjectRef groups = GetPoolObj(Group, true);
  ASSERT_TRUE(groups);
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].text, "This case is not managed yet : 6532gsagr3421");
  clsGenObject* lent = groups.get();
  ReleasePoolObj(groups);
  GenObjectRef again = GetPoolObj(Group, true);
  EXPECT_EQ(again.get(), lent);
  ReleasePoolObj(again);
}

TEST_F(Pools, LentCollectionHoldsItsRowsAfterTheClassWasUnloaded) {
  data_.logIn("ALICE");
  GenObjectRef history = GetPoolObj(MessHist, true);
  history->CreateNewRow(true, 0);
  history->AddCurrentRow();
  history->SaveXMLDoc();
  ReleasePoolObj(history);

  GenObjectRef recallHandler = CreateGenObject(MessHist, "", true, false);
  recallHandler->UnloadXMLDoc();
  GenObjectRef lent = GetPoolObj(MessHist, true);
  EXPECT_TRUE(lent->IsLoaded());
  EXPECT_EQ(lent->CountAll(), 1);
  ReleasePoolObj(lent);
}

// A reload on lending that shows the owner message runs the message box's
// event loop, in which another borrower of the class may come.
TEST_F(Pools, BorrowerDuringAReloadGetsAnotherCollection) {
  data_.logIn("ALICE");
  GenObjectRef first = GetPoolObj(MessRec, true);
  ReleasePoolObj(first);
  CreateGenObject(MessRec, "", true, false)->UnloadXMLDoc();
  data_.writeRaw("ALICE/D008.dat", GenEncryption().EncryptString("<TVR OU=\"SOMEONE-ELSE\"/>"));

  GenObjectRef duringBox;
  platform::setMessageBoxResponder([&](const platform::MessageBoxRequest&) {
    duringBox = GetPoolObj(MessRec, true);
    return platform::kMbResultOk;
  });
  GenObjectRef lent = GetPoolObj(MessRec, true);
  platform::setMessageBoxResponder({});
  ASSERT_TRUE(lent && duringBox);
  EXPECT_NE(lent, duringBox);
  EXPECT_TRUE(lent->IsObjectLocked() && duringBox->IsObjectLocked());
  EXPECT_TRUE(lent->IsLoaded());
  ReleasePoolObj(duringBox);
  ReleasePoolObj(lent);
}

TEST_F(Pools, UserDataObjectIsAPrivateCopyOfTheSavedFile) {
  const std::string alice = data_.logIn("ALICE");
  GenObjectRef pooled = GetPoolObj(User, true);
  pooled->CreateNewRow(true, 0);
  pooled->AddCurrentRow();
  pooled->SaveXMLDoc();
  pooled->CreateNewRow(true, 0);
  pooled->AddCurrentRow();

  GenObjectRef copy = GetUserDataObject(User, alice, true);
  EXPECT_EQ(copy->CountAll(), 1) << "unsaved rows of the pool are not seen";
  EXPECT_NE(copy->XMLDocLinked(), pooled->XMLDocLinked());
  copy->CreateNewRow(true, 0);
  copy->AddCurrentRow();
  EXPECT_EQ(pooled->CountAll(), 2);
  ReleasePoolObj(pooled);

  const std::string bob = data_.addAccount("BOB");
  GenObjectRef bobs = GetUserDataObject(User, bob, true);
  EXPECT_EQ(bobs->CountAll(), 0);
  EXPECT_EQ(std::string(bobs->XMLDocLinked()->rootElement().attribute("OU").value()), bob);
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(Pools, DeleteMessagesOfUsersRemovesOnlyMessagesAddressedToThemAlone) {
  data_.logIn("ALICE");
  GenObjectRef sent = GetPoolObj(MessSent, true);
  const std::string toK1 = addSentMessage(*sent, {"K"});
  const std::string toKAndL = addSentMessage(*sent, {"K", "L"});
  const std::string toK2 = addSentMessage(*sent, {"K"});
  const std::string toL = addSentMessage(*sent, {"L"});
  const std::string toNobody = addSentMessage(*sent, {});
  sent->SaveXMLDoc();
  const std::string file = data_.raw("ALICE/D009.dat");
  ReleasePoolObj(sent);

  modGlobalFunctions::DeleteMessagesOfUsers(MessSent, {"K"});
  GenObjectRef after = GetPoolObj(MessSent, false);
  EXPECT_EQ(uidsOf(*after), (std::vector<std::string>{toKAndL, toL, toNobody}));
  ReleasePoolObj(after);

  modGlobalFunctions::DeleteMessagesOfUsers(MessSent, {"K", "L", "UNKNOWN"});
  after = GetPoolObj(MessSent, false);
  EXPECT_EQ(uidsOf(*after), (std::vector<std::string>{toKAndL, toNobody}))
      << "a message to several recipients stays even when all of them go";
  ReleasePoolObj(after);
  EXPECT_EQ(data_.raw("ALICE/D009.dat"), file) << "the caller saves";
  EXPECT_TRUE(GetPoolObj(MessSent, false)) << "the borrowed collection was given back";
}

// ---- Field values ------------------------------------------------------------

namespace {

using modGlobalFunctions::GetFieldValue;

class FieldValues : public ::testing::Test {
 protected:
  // The root element of `xml`, valid for the whole test.
  pugi::xml_node row(const std::string& xml) {
    XMLDocumentRef& document = documents_.emplace_back();
    modGenFunctionsXML::XMLLoadFromString(document, xml);
    return document->rootElement();
  }
  // The message boxes shown by one call, by text.
  std::vector<std::string> boxesOf(const std::function<void()>& call) {
    boxes_.clear();
    call();
    std::vector<std::string> texts;
    for (const auto& shown : boxes_.shown()) texts.push_back(shown.text);
    return texts;
  }

  TestDataFolder data_;
  RecordingMessageBox boxes_;
  std::deque<XMLDocumentRef> documents_;
};

constexpr const char* kInvalid = " Invalid fields specification : 52y32bsdfgs";

}  // namespace

TEST_F(FieldValues, StoredFieldsReadTheirAttribute) {
  const pugi::xml_node message = row("<M UID='1' ST='60' CO='text'/>");
  EXPECT_EQ(GetFieldValue(MessRec, message, 2, false), "60");
  EXPECT_EQ(GetFieldValue(MessRec, message, 5, false), "") << "missing attribute";
  EXPECT_EQ(GetFieldValue(MessRec, message, 29, false), "") << "unused field number";
  EXPECT_EQ(GetFieldValue(13, message, 0, false), "") << "class outside the table";
  EXPECT_EQ(GetFieldValue(MessRec, pugi::xml_node(), 2, true), "");
  EXPECT_EQ(GetFieldValue(MessRec, message, 2 | 0x80000, false), "60") << "list-column flag";
  EXPECT_EQ(GetFieldValue(RootAttributes, row("<TVR OU='OWNER'/>"), 1, true), "OWNER");
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(FieldValues, NamesOfPeopleAndAccounts) {
  const pugi::xml_node person = row("<U LN='Smith' FN='Ann' SI='a||%_CRLF_%||b' ARM='away||%_CRLF_%||'/>");
  EXPECT_EQ(GetFieldValue(User, person, 50000, false), "Smith, Ann");
  EXPECT_EQ(GetFieldValue(User, person, 50001, false), "Ann Smith");
  EXPECT_EQ(GetFieldValue(User, person, 50010, false), "Smith.Ann");
  EXPECT_EQ(GetFieldValue(User, person, 50000 + 0x80000, false), "Smith, Ann");
  EXPECT_EQ(GetFieldValue(LocalUser, person, 50001, false), "Ann Smith");
  EXPECT_EQ(GetFieldValue(LocalUser, person, 50500, false), "a\r\nb");
  EXPECT_EQ(GetFieldValue(LocalUser, person, 50505, false), "away\r\n");
  // Nobody shows as a stray comma: a missing name is left out, and a person
  // without names goes by the user name, else the computer and its address.
  const struct {
    int32_t classType;
    const char* row;
    const char* sortName;
    const char* fullName;
  } partlyNamed[] = {
      {User, "<U LN='Smith'/>", "Smith", "Smith"},
      {User, "<U FN='Ann' LN=''/>", "Ann", "Ann"},
      {LocalUser, "<U UN='ANN' CN='desk-7' IP='10.0.0.7'/>", "ANN", "ANN"},
      {User, "<U CN='desk-7' IP='10.0.0.7'/>", "desk-7 (10.0.0.7)", "desk-7 (10.0.0.7)"},
      {User, "<U IP='10.0.0.7'/>", "10.0.0.7", "10.0.0.7"},
      {User, "<U/>", "(unknown)", "(unknown)"},
  };
  for (const auto& c : partlyNamed) {
    SCOPED_TRACE(c.row);
    EXPECT_EQ(GetFieldValue(c.classType, row(c.row), 50000, true), c.sortName);
    EXPECT_EQ(GetFieldValue(c.classType, row(c.row), 50001, true), c.fullName);
  }

  EXPECT_EQ(GetFieldValue(User, pugi::xml_node(), 50001, true), "(unknown)");
  EXPECT_EQ(GetFieldValue(User, pugi::xml_node(), 50001, false), "");
  EXPECT_EQ(GetFieldValue(LocalUser, pugi::xml_node(), 50000, true), "(unknown)");
  EXPECT_EQ(GetFieldValue(LocalUser, pugi::xml_node(), 50500, true), "");
  EXPECT_TRUE(boxes_.shown().empty());

  EXPECT_EQ(boxesOf([&] { EXPECT_EQ(GetFieldValue(User, person, 50500, true), ""); }),
            std::vector<std::string>{kInvalid});
  EXPECT_EQ(boxesOf([&] { EXPECT_EQ(GetFieldValue(LocalUser, person, 50010, true), ""); }),
            std::vector<std::string>{kInvalid});
  EXPECT_EQ(boxesOf([&] { GetFieldValue(User, pugi::xml_node(), 50002, true); }),
            std::vector<std::string>{kInvalid});
}

TEST_F(FieldValues, MessagesGroupsAndPresets) {
  const std::string sixty(60, 'x');
  const pugi::xml_node message =
      row("<M ST='60' PR='2' CO='first line||%_CRLF_%||second " + sixty + "'/>");
  for (const int32_t classType : {MessSent, MessRec, MessHist}) {
    EXPECT_EQ(GetFieldValue(classType, message, 50000, false), "Not opened");
    EXPECT_EQ(GetFieldValue(classType, message, 50001, false), "Urgent");
    EXPECT_EQ(GetFieldValue(classType, message, 50500, false), "first line\r\nsecond " + sixty);
    EXPECT_EQ(GetFieldValue(classType, message, 50501, false), "first line...");
    EXPECT_EQ(GetFieldValue(classType, pugi::xml_node(), 50000, true), "");
  }
  EXPECT_EQ(GetFieldValue(MessRec, row("<M ST='-1'/>"), 50000, false), "Automatic reply");
  EXPECT_EQ(GetFieldValue(MessRec, row("<M ST='77' PR='9'/>"), 50000, false), "77")
      << "a code from a peer that the list lacks shows as itself";
  EXPECT_EQ(GetFieldValue(MessRec, row("<M ST='77' PR='9'/>"), 50001, false), "9");
  EXPECT_EQ(GetFieldValue(MessRec, row("<M/>"), 50000, false), "");

  const pugi::xml_node preset = row("<I TY='1' CO='Hello||%_CRLF_%||there'/>");
  EXPECT_EQ(GetFieldValue(InstMess, preset, 50510, false), "Greetings");
  EXPECT_EQ(GetFieldValue(InstMess, preset, 50500, false), "Hello\r\nthere");
  EXPECT_EQ(GetFieldValue(InstMess, preset, 50501, false), "Hello...");
  EXPECT_EQ(GetFieldValue(InstMess, pugi::xml_node(), 50510, false), "");

  const pugi::xml_node group = row("<G N='Team'/>");
  EXPECT_EQ(GetFieldValue(Group, group, 999999, false), "");
  EXPECT_TRUE(boxes_.shown().empty());

  EXPECT_EQ(boxesOf([&] { GetFieldValue(MessRec, message, 50002, false); }),
            std::vector<std::string>{kInvalid});
  EXPECT_TRUE(boxesOf([&] { GetFieldValue(MessRec, pugi::xml_node(), 50002, false); }).empty());
  EXPECT_EQ(boxesOf([&] { GetFieldValue(Group, group, 50000, false); }), std::vector<std::string>{kInvalid});
  EXPECT_TRUE(boxesOf([&] { GetFieldValue(Group, pugi::xml_node(), 50000, false); }).empty());
  EXPECT_EQ(boxesOf([&] { GetFieldValue(InstMess, pugi::xml_node(), 50000, false); }),
            std::vector<std::string>{kInvalid});
  EXPECT_EQ(boxesOf([&] { GetFieldValue(RootAttributes, row("<TVR OU='X'/>"), 50000, false); }),
            std::vector<std::string>{" Invalid fields specification : 52y32bsd563245h"});
  EXPECT_EQ(boxesOf([&] { GetFieldValue(Response, row("<R V='1'/>"), 50000, false); }),
            std::vector<std::string>{" Error getting field value : 52y32bsdfgs6421s"});
}

TEST_F(FieldValues, ActionsNameTheirRecipientFromTheUsersDirectory) {
  data_.logIn("ALICE");
  GenObjectRef users = GetPoolObj(User, true);
  const std::string known = users->CreateNewRow(true, 0);
  users->SetField(2, "Martin");
  users->SetField(3, "Paul");
  users->AddCurrentRow();
  ReleasePoolObj(users);

  const pugi::xml_node action = row("<A AT='1200' AS='1' RUID='" + known + "'/>");
  EXPECT_EQ(GetFieldValue(Action, action, 50000, false), "Send a message");
  EXPECT_EQ(GetFieldValue(Action, action, 50001, false), "Waiting");
  EXPECT_EQ(GetFieldValue(Action, action, 50002, false), "Paul Martin");
  EXPECT_EQ(GetFieldValue(Action, row("<A RUID='STRANGER'/>"), 50002, false), "(unknown)");
  EXPECT_EQ(GetFieldValue(Action, pugi::xml_node(), 50002, true), "(unknown)");
  EXPECT_EQ(GetFieldValue(Action, pugi::xml_node(), 50002, false), "");
  EXPECT_EQ(GetFieldValue(Action, pugi::xml_node(), 50000, true), "");
  EXPECT_EQ(GetFieldValue(Action, action, 50003, true), "");
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(FieldValues, CollectionsMadeByTheFactoryReadComputedFields) {
  data_.logIn("ALICE");
  GenObjectRef users = CreateGenObject(User, "", true, true);
  users->CreateNewRow(true, 0);
  users->SetField(2, "Smith");
  users->SetField(3, "Ann");
  EXPECT_EQ(users->GetField(50001), "Ann Smith");
}

TEST_F(FieldValues, ObjectFieldsByKey) {
  const std::string alice = data_.logIn("ALICE");
  modGlobalFunctions::SetObjectFieldValue(LocalUser, 0, alice, 14, "10||20||300||400", true);
  EXPECT_EQ(modGlobalFunctions::GetObjectFieldValue(LocalUser, 0, alice, 14, true), "10||20||300||400");
  EXPECT_NE(data_.deciphered("D001.dat").find("FRMA=\"10||20||300||400\""), std::string::npos)
      << "saved at once";
  EXPECT_EQ(modGlobalFunctions::GetObjectFieldValue(LocalUser, 0, alice, 50001, true), "Ann Smith");

  const std::string file = data_.raw("D001.dat");
  modGlobalFunctions::SetObjectFieldValue(LocalUser, 0, "NO-SUCH-UID", 14, "1||2||3||4", false);
  EXPECT_EQ(data_.raw("D001.dat"), file);
  EXPECT_EQ(modGlobalFunctions::GetObjectFieldValue(LocalUser, 0, "NO-SUCH-UID", 14, true), "");
  EXPECT_EQ(modGlobalFunctions::GetObjectFieldValue(LocalUser, 0, "NO-SUCH-UID", 50000, true), "(unknown)");
  EXPECT_EQ(modGlobalFunctions::GetObjectFieldValue(LocalUser, 0, alice, 14, true), "10||20||300||400");
}

TEST_F(FieldValues, IncrementUserCounter) {
  data_.logIn("ALICE");
  GenObjectRef users = GetPoolObj(User, true);
  const std::string paul = users->CreateNewRow(true, 0);
  users->AddCurrentRow();
  const std::string full = users->CreateNewRow(true, 0);
  users->SetField(4, "2147483647");
  users->SetField(5, "files");
  users->AddCurrentRow();
  ReleasePoolObj(users);
  const auto count = [](const std::string& uid, int32_t field) {
    return modGlobalFunctions::GetObjectFieldValue(User, 0, uid, field, false);
  };

  modGlobalFunctions::IncrementUserCounter(paul, 4);
  EXPECT_EQ(count(paul, 4), "1");
  modGlobalFunctions::IncrementUserCounter(paul, 4);
  modGlobalFunctions::IncrementUserCounter(paul, 5);
  EXPECT_EQ(count(paul, 4), "2");
  EXPECT_EQ(count(paul, 5), "1");
  EXPECT_NE(data_.deciphered("ALICE/D010.dat").find("MC=\"2\""), std::string::npos) << "saved";

  modGlobalFunctions::IncrementUserCounter(full, 5);
  EXPECT_EQ(count(full, 5), "1") << "a counter that is no number starts again";
  EXPECT_EQ(errorNumberOf([&] { modGlobalFunctions::IncrementUserCounter(full, 4); }), kErrOverflow);
  EXPECT_EQ(count(full, 4), "2147483647");

  const std::string before = data_.raw("ALICE/D010.dat");
  modGlobalFunctions::IncrementUserCounter("STRANGER", 4);
  EXPECT_EQ(data_.raw("ALICE/D010.dat"), before) << "not written: no row changed";
  modGlobalFunctions::IncrementUserCounter("", 4);
  EXPECT_TRUE(GetPoolObj(User, false)) << "every borrowing was given back";
}

TEST(TruncateText, PreviewOfOneLine) {
  using modGlobalFunctions::TruncateText;
  const std::string sixty(60, 'a');
  EXPECT_EQ(TruncateText(sixty, 50), std::string(50, 'a') + "...");
  EXPECT_EQ(TruncateText(std::string(10, 'b') + "||%_CRLF_%||" + sixty, 50), std::string(10, 'b') + "...");
  EXPECT_EQ(TruncateText(sixty + "||%_CRLF_%||end", 50), std::string(49, 'a') + "...");
  EXPECT_EQ(TruncateText("short", 50), "short");
  EXPECT_EQ(TruncateText(std::string(50, 'c'), 50), std::string(50, 'c'));
  EXPECT_EQ(TruncateText("", 50), "");
  EXPECT_EQ(TruncateText(sixty, -1), sixty);
  EXPECT_EQ(TruncateText("ab||%_CRLF_%||cd", -1), "ab...");
  EXPECT_EQ(TruncateText("||%_CRLF_%||cd", 50), "...");
  std::string accents;
  for (int n = 0; n < 60; ++n) accents += "\xc3\xa9";
  EXPECT_EQ(TruncateText(accents, 50), accents.substr(0, 100) + "...") << "never splits a character";
}

// ---- Identity update from another copy --------------------------------------

namespace {

using modGlobalFunctions::kIdentityRefused;
using modGlobalFunctions::kIdentityStored;
using modGlobalFunctions::kIdentityUnchanged;
using modGlobalFunctions::UpdateUserFromRemoteElement;

struct RecordedActivity {
  int32_t kind;
  std::string text;
  int32_t itemType;
  std::string itemKey;
  std::string owner;
};

// Two local accounts, ANN logged in; the activities the update logs are
// recorded instead of shown.
class IdentityUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    MessageCenterServices::Install({[this](int32_t kind, const std::string& text, int32_t itemType,
                                           const std::string& key, const std::string& owner) {
                                      activities.push_back({kind, text, itemType, key, owner});
                                    },
                                    [] {}});
    ann = ProgramTestEnvironment::addAccount("ANN", "pw");
    bob = ProgramTestEnvironment::addAccount("BOB", "pw");
    modGlobalVariables::CurrentLocalUserUID = ann;
  }
  void TearDown() override { MessageCenterServices::Install({}); }

  // The person's stored attribute, read back from the owner's saved file.
  static std::string stored(const std::string& owner, const std::string& person, int32_t field) {
    const modGlobalFunctions::GenObjectRef directory =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, owner, true);
    return directory->GetRowFieldByKey(0, person, field, false);
  }
  static int rowsStored(const std::string& owner) {
    const modGlobalFunctions::GenObjectRef directory =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, owner, true);
    return directory->CountAll();
  }
  std::string lastActivityText() const { return activities.empty() ? "" : activities.back().text; }

  ProgramTestEnvironment environment;
  RecordingMessageBox boxes;
  std::vector<RecordedActivity> activities;

  static constexpr int32_t kCS = 1, kLN = 2, kFN = 3, kIP = 7, kCN = 8;
  std::string ann;
  std::string bob;
};

std::string identity(const std::string& cs, const std::string& ip,
                     const std::string& firstName = "Eva") {
  return "<U LN='Roy' FN='" + firstName + "' UID='P1' IP='" + ip + "' CN='PC4' CS='" + cs + "'/>";
}

}  // namespace

TEST_F(IdentityUpdate, ANewPersonIsAddedAndLogged) {
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, identity("3", "10.0.0.4"), true), kIdentityStored);
  EXPECT_EQ(stored(ann, "P1", kLN), "Roy");
  EXPECT_EQ(stored(ann, "P1", kFN), "Eva");
  EXPECT_EQ(stored(ann, "P1", kIP), "10.0.0.4");
  EXPECT_EQ(stored(ann, "P1", kCN), "PC4");
  EXPECT_EQ(stored(ann, "P1", kCS), "3");
  EXPECT_TRUE(modGenGlobals::UpdatedUIDList[modGlobalVariables::User].contains("P1"));
  ASSERT_EQ(activities.size(), 1u);
  EXPECT_EQ(activities[0].kind, MessageCenterServices::kEvents);
  EXPECT_EQ(activities[0].text, modGenFunctionsResource::GetResourceMessage(20510, {"Eva Roy"}));
  EXPECT_EQ(activities[0].itemType, MessageCenterServices::kNoItem);
  EXPECT_EQ(activities[0].itemKey, "");
  EXPECT_EQ(activities[0].owner, ann);
}

TEST_F(IdentityUpdate, TheChangeCounterDecidesUnlessTheAddressMoved) {
  ASSERT_EQ(UpdateUserFromRemoteElement(ann, identity("9", "10.0.0.4"), true), kIdentityStored);

  // "10" is more than "9" as numbers, though not as texts.
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, identity("10", "10.0.0.4", "Eve"), true),
            kIdentityStored);
  EXPECT_EQ(stored(ann, "P1", kFN), "Eve");
  EXPECT_EQ(lastActivityText(), modGenFunctionsResource::GetResourceMessage(30001, {"Eve Roy"}));

  // Equal counter and address: rewritten all the same.
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, identity("10", "10.0.0.4", "Eva"), true),
            kIdentityStored);
  EXPECT_EQ(stored(ann, "P1", kFN), "Eva");

  // Lower counter, same address: nothing changes.
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, identity("8", "10.0.0.4", "Old"), true),
            kIdentityUnchanged);
  EXPECT_EQ(stored(ann, "P1", kFN), "Eva");
  EXPECT_EQ(stored(ann, "P1", kCS), "10");
  EXPECT_EQ(lastActivityText(), modGenFunctionsResource::GetResourceMessage(30002, {"Eva Roy"}));

  // Lower counter from another address: the person moved, so it is taken,
  // but the counter never goes down.
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, identity("8", "10.0.0.5"), true), kIdentityStored);
  EXPECT_EQ(stored(ann, "P1", kIP), "10.0.0.5");
  EXPECT_EQ(stored(ann, "P1", kCS), "10");
  EXPECT_EQ(rowsStored(ann), 1);
}

TEST_F(IdentityUpdate, AttributesTheElementLacksKeepTheirValue) {
  ASSERT_EQ(UpdateUserFromRemoteElement(ann, identity("1", "10.0.0.4"), false), kIdentityStored);
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, "<U UID='P1' CS='2' IP='10.0.0.4'/>", false),
            kIdentityStored);
  EXPECT_EQ(stored(ann, "P1", kFN), "Eva");
  EXPECT_EQ(stored(ann, "P1", kCS), "2");
  EXPECT_TRUE(activities.empty());
}

TEST_F(IdentityUpdate, BadInputStoresNothingAndRaisesNothing) {
  for (const std::string& text :
       {std::string(), std::string("<U UID='P1' CS='1'"), std::string("not xml at all"),
        std::string("<U UID='P1' CS='many'/>"), std::string("<U UID='P1' CS='99999999999'/>"),
        std::string("<U UID='P1'/><U UID='P2'/>")}) {
    EXPECT_EQ(UpdateUserFromRemoteElement(ann, text, true), kIdentityRefused) << text;
  }
  EXPECT_EQ(UpdateUserFromRemoteElement("", identity("1", "10.0.0.4"), true), kIdentityRefused);
  EXPECT_EQ(rowsStored(ann), 0);
  EXPECT_TRUE(activities.empty());

  // No "UID": nothing stored, logged as unchanged under the placeholder name.
  EXPECT_EQ(UpdateUserFromRemoteElement(ann, "<U LN='Roy' FN='Eva' CS='1'/>", true), 0);
  EXPECT_EQ(rowsStored(ann), 0);
  EXPECT_EQ(lastActivityText(), modGenFunctionsResource::GetResourceMessage(
                                    30002, {modGenFunctionsResource::GetResourceMessage(20535)}));

  // An owner that is no local account has no directory.
  activities.clear();
  EXPECT_EQ(UpdateUserFromRemoteElement("NOBODY", identity("1", "10.0.0.4"), true), 0);
  EXPECT_TRUE(activities.empty());
  EXPECT_FALSE(modGenFunctionsFile::FolderExists(environment.dataFolder() + "/NOBODY"));
}

TEST_F(IdentityUpdate, AnotherAccountsDirectoryIsItsOwnFile) {
  EXPECT_EQ(UpdateUserFromRemoteElement(bob, identity("1", "10.0.0.4"), true), kIdentityStored);
  EXPECT_EQ(stored(bob, "P1", kFN), "Eva");
  EXPECT_EQ(rowsStored(ann), 0);
  {
    PoolLoan annDirectory(modGlobalVariables::User);
    EXPECT_EQ(annDirectory->GetRowFieldByKey(0, "P1", kFN, false), "");
  }
  ASSERT_EQ(activities.size(), 1u);
  EXPECT_EQ(activities[0].owner, bob);
}

// ---- Kept copies of a data file ------------------------------------------

// Each step happens to the users directory's folder after a look at it; the
// answer is the newest stamp among the kept copies of the file and of its
// journal. A step may put the folder's modification time back as it was,
// so that only a listing kept from the look before could miss the change.
TEST(KeptCopies, TheNewestCopyOfTheFileOrItsJournalWhateverElseTheFolderHolds) {
  namespace fs = std::filesystem;
  ProgramTestEnvironment environment;
  const std::string ann = ProgramTestEnvironment::addAccount("ANN", "pw");
  const fs::path folder =
      fs::path(environment.dataFolder()) / ProgramTestEnvironment::accountField(ann, 9);
  fs::create_directories(folder);
  const auto lastKept = [&] {
    const QDateTime at = modGlobalFunctions::LastKeptAside(modGlobalVariables::User, ann);
    return at.isValid() ? at.toString("yyyyMMdd-hhmmss").toStdString() : std::string();
  };
  const auto put = [&](const std::string& name) { std::ofstream(folder / name) << "x"; };
  enum FolderTime { kChanges, kPutBack, kPutBackRecent };
  struct Step {
    const char* what;
    std::vector<const char*> names;  // files put into the folder
    FolderTime time;
    const char* newest;
  };
  const std::vector<Step> steps = {
      {"nothing kept", {}, kChanges, ""},
      {"other files only", {"D010.dat", ".D010.dat.jnl", "D010.dat.bak", "D0100.dat.bad-20300101-000000",
                            "D009.dat.bad-20300101-000000", "D010.dat.bad-nostamp"}, kChanges, ""},
      {"a copy of the file", {"D010.dat.bad-20260301-101010"}, kChanges, "20260301-101010"},
      {"an older copy of the journal", {"D010.dat.jnl.bad-20250101-000000"}, kChanges, "20260301-101010"},
      {"a newer copy of the journal", {"D010.dat.jnl.bad-20260402-080000"}, kChanges, "20260402-080000"},
      {"a second copy in the same second", {"D010.dat.bad-20260402-080001-2"}, kChanges, "20260402-080001"},
      {"a newer copy, the folder's time put back: the kept listing answers",
       {"D010.dat.bad-20270101-000000"}, kPutBack, "20260402-080001"},
      {"the folder changes again: the copy is seen", {"unrelated"}, kChanges, "20270101-000000"},
      {"a copy within the coarsest time of the last change, the time put back: listed again",
       {"D010.dat.jnl.bad-20280101-000000"}, kPutBackRecent, "20280101-000000"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const auto before = fs::file_time_type::clock::now() -
                        (step.time == kPutBackRecent ? std::chrono::milliseconds(500) : std::chrono::seconds(10));
    fs::last_write_time(folder, before);
    lastKept();
    for (const char* name : step.names) put(name);
    if (step.time != kChanges) fs::last_write_time(folder, before);
    EXPECT_EQ(lastKept(), step.newest);
    EXPECT_EQ(lastKept(), step.newest) << "asked again";
  }
}
