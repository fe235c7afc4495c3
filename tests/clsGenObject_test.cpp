#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "ClassCounters.h"
#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

using namespace modGlobalVariables;
namespace globals = modGenGlobals;

namespace {

std::vector<std::string> updated(int32_t c) { return globals::UpdatedUIDList[c].items(); }
std::vector<std::string> deleted(int32_t c) { return globals::DeletedUIDList[c].items(); }

void clearLists(int32_t c) {
  globals::UpdatedUIDList[c].clear();
  globals::DeletedUIDList[c].clear();
}

// Configured as the collection factory configures the class.
std::unique_ptr<clsGenObject> collection(int32_t classType, bool linked) {
  auto records = std::make_unique<clsGenObject>();
  records->ClassType(classType);
  records->IsLinkedToGlobalXMLDoc(linked);
  if (classType == Group) {
    records->XMLElementBaseName("G");
    records->XMLSubElementBaseName("U");
    records->XMLSubTemplate(modGlobalFunctions::BuildXMLTemplate("U", Group));
    records->SubClassType(User);
  } else if (classType == MessSent) {
    records->XMLElementBaseName("M");
    records->XMLSubElementBaseName("U");
    records->XMLSubTemplate(modGlobalFunctions::BuildXMLTemplate("U", MessRecipient));
    records->SubClassType(MessRecipient);
  } else {
    records->XMLElementBaseName("U");
  }
  records->XMLPrimaryTemplate(
      modGlobalFunctions::BuildXMLTemplate(records->XMLElementBaseName(), classType));
  XMLDocumentRef document = globals::ClassDocument[classType];
  if (!linked) document.reset();
  if (!linked) modGenFunctionsXML::XMLInitDocument(document, "", true);
  records->XMLDocLinked(document);
  return records;
}

void addRow(clsGenObject& records, const std::string& uid, int32_t field = -1,
            const std::string& value = "") {
  records.CreateNewRow(false, 0);
  records.SetField(0, uid);
  if (field >= 0) records.SetField(field, value);
  records.AddCurrentRow();
}

std::string uidOf(pugi::xml_node row) { return row.attribute("UID").value(); }

class RecordCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    InitGlobalVariables();
    // The collection alone: computed fields read only what a test installs.
    globals::SetFieldValueReader({});
    for (int32_t c : {User, Group, MessSent}) {
      modGenFunctionsXML::XMLInitDocument(globals::ClassDocument[c], "", true);
    }
  }

  // Users "A", "B", "C" with last names "x", "y", "x"; lists emptied.
  std::unique_ptr<clsGenObject> threeUsers(bool linked = true) {
    auto users = collection(User, linked);
    addRow(*users, "A", 2, "x");
    addRow(*users, "B", 2, "y");
    addRow(*users, "C", 2, "x");
    clearLists(User);
    return users;
  }

  RecordingMessageBox boxes_;
};

}  // namespace

// ---- Rows, fields and change tracking ------------------------------------

TEST_F(RecordCollection, NewRowWithUidCountsTwiceAndListsItOnce) {
  auto users = collection(User, true);
  const Counters before = countersOf(User);
  const std::string uid = users->CreateNewRow(true, 0);
  EXPECT_EQ(users->CountAll(), 0);  // not part of the collection yet
  EXPECT_EQ(users->GetField(0), uid);
  users->AddCurrentRow();
  EXPECT_EQ(delta(countersOf(User), before), (Counters{2, 0, 0, 0}));
  EXPECT_EQ(updated(User), std::vector<std::string>{uid});
  EXPECT_EQ(users->CountAll(), 1);
  ASSERT_EQ(uid.size(), 36u);
  EXPECT_EQ(uid.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  EXPECT_EQ(users->GetCurrent().parent(), globals::ClassDocument[User]->rootElement());
}

TEST_F(RecordCollection, NewRowWithoutUidCarriesEveryTemplateField) {
  auto users = collection(User, true);
  EXPECT_EQ(users->CreateNewRow(false, 0), "");
  EXPECT_EQ(modGenFunctionsXML::XMLToString(users->GetCurrent()),
            "<U UID=\"\" CS=\"\" LN=\"\" FN=\"\" MC=\"\" FC=\"\" S=\"\" IP=\"\" CN=\"\" "
            "LLTS=\"\"/>");
  users->XMLPrimaryTemplate("<U UID=''");
  EXPECT_EQ(errorNumberOf([&] { users->CreateNewRow(true, 0); }), kErrInvalidCall);
}

// Steps on a linked sent-message collection: "+A" makes a new row with UID
// A, "new" one without UID, "add" adds the current row, "co X" writes X into
// the current row's text, "sub A R" adds recipient R to row A, "del A"
// deletes row A, "tpl" and "bad" set a good and a malformed row template.
// The answer gives each step's error ("!n"), the rows with their text and
// recipients, the rows the data file's journal is to take and the updated
// list.
std::string afterNewRowSteps(const std::vector<std::string>& steps) {
  modGenFunctionsXML::XMLInitDocument(globals::ClassDocument[MessSent], "", true);
  auto sent = collection(MessSent, true);
  clsGenXMLDocument& document = *globals::ClassDocument[MessSent];
  document.changes().forget();
  clearLists(MessSent);
  std::string out;
  for (const std::string& step : steps) {
    const std::string arg = step.substr(step.find(' ') + 1);
    const int error = errorNumberOf([&] {
      if (step[0] == '+') {
        sent->CreateNewRow(false, 0);
        sent->SetField(0, step.substr(1));
      } else if (step == "new") {
        sent->CreateNewRow(false, 0);
      } else if (step == "add") {
        sent->AddCurrentRow();
      } else if (step.starts_with("co ")) {
        sent->SetField(4, arg);
      } else if (step.starts_with("sub ")) {
        sent->AddSubRow(0, arg.substr(0, arg.find(' ')), 0, arg.substr(arg.find(' ') + 1));
      } else if (step.starts_with("del ")) {
        sent->Delete(false, 0, arg, false);
      } else {
        sent->XMLPrimaryTemplate(step == "tpl" ? "<M UID='' CO='t'/>" : "<M UID=''");
      }
    });
    if (error != 0) out += "!" + std::to_string(error) + " ";
  }
  for (const pugi::xml_node row : document.rootElement().children()) {
    out += uidOf(row) + "(" + row.attribute("CO").value();
    for (const pugi::xml_node recipient : row.children()) out += " " + uidOf(recipient);
    out += ") ";
  }
  out += document.changes().whole() ? "| journal whole" : "| journal";
  for (const RowChanges::Touched& row : document.changes().inTurn()) {
    out += (row.removed ? " -" : " ") + row.uid;
  }
  out += " | updated";
  for (const std::string& uid : updated(MessSent)) out += " " + uid;
  return out;
}

TEST_F(RecordCollection, NewRowsJoinTheRowsIndexesAndJournalOnlyWhenAdded) {
  const struct {
    std::vector<std::string> steps;
    const char* after;
  } cases[] = {
      {{"+A", "co x", "add", "sub A R"}, "A(x R) | journal A | updated A"},
      // An abandoned new row leaves nothing but its listing.
      {{"+A", "+B", "add"}, "B() | journal B | updated A B"},
      {{"+A", "new", "co y", "add"}, "(y) | journal whole | updated A"},
      // A second row with the same UID: look-ups find the first.
      {{"+A", "co 1", "add", "+A", "co 2", "add", "sub A R"},
       "A(1 R) A(2) | journal A | updated A"},
      // The new row is not in the collection: a sub row for it finds no row.
      {{"+A", "sub A R", "add"}, "!91 | journal | updated A"},
      // The sub row makes its row current: that row is added again, to the end.
      {{"+A", "add", "+B", "sub A R", "add"}, "A( R) | journal -A | updated A B"},
      {{"+A", "add", "+B", "del A", "add"}, "B() | journal -A B | updated A B"},
      // A template set while a row is new changes the rows made after it.
      {{"+A", "tpl", "add", "+B", "add"}, "A() B(t) | journal A B | updated A B"},
      {{"+A", "bad", "new", "add"}, "!5 A() | journal A | updated A"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(afterNewRowSteps(c.steps), c.after) << ::testing::PrintToString(c.steps);
  }
}

TEST_F(RecordCollection, HandlesIntoAnAbandonedNewRowAreDropped) {
  auto sent = collection(MessSent, true);
  sent->CreateNewRow(false, 0);
  const std::string fresh = modGenFunctionsXML::XMLToString(sent->GetCurrent());
  modGenFunctionsXML::XMLAppendElement(sent->GetCurrent(), "U", "");
  sent->PC_Init(false);
  sent->SC_Init(true);
  ASSERT_TRUE(sent->IsSubRowSelected());
  sent->CreateNewRow(false, 0);
  EXPECT_FALSE(sent->IsSubRowSelected());
  sent->SC_MoveFirst();
  EXPECT_FALSE(sent->IsSubRowSelected());
  EXPECT_EQ(modGenFunctionsXML::XMLToString(sent->GetCurrent()), fresh);
}

TEST_F(RecordCollection, FieldNumbersOutsideTheTableFailWithNine) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "B");
  for (int32_t field : {30, -2, 49999}) {
    EXPECT_EQ(errorNumberOf([&] { users->GetField(field); }), kErrSubscript) << field;
    EXPECT_EQ(errorNumberOf([&] { users->SetField(field, "v"); }), kErrSubscript) << field;
    EXPECT_EQ(errorNumberOf([&] { users->PC_SelectSingleNode(field, "A"); }), kErrSubscript);
  }
  EXPECT_EQ(errorNumberOf([&] { users->SetField(10, "unnamed field"); }), kErrSubscript);
  EXPECT_EQ(uidOf(users->GetCurrent()), "B");  // nothing moved
  users->ClassType(13);
  EXPECT_EQ(errorNumberOf([&] { users->GetField(0); }), kErrSubscript);
}

TEST_F(RecordCollection, WithoutACurrentRowFieldsAreNeitherReadNorChecked) {
  auto sent = collection(MessSent, true);
  addRow(*sent, "M1");
  sent->AddSubRow(0, "M1", 0, "R1");
  sent->ClearCurrent();
  clearLists(MessSent);
  const Counters before = countersOf(MessSent);
  EXPECT_TRUE(sent->IsSubRowSelected());  // clearing the row leaves the sub row
  for (int32_t field : {35, -2, 10, 49999, 2, 50000}) {
    EXPECT_EQ(errorNumberOf([&] { EXPECT_EQ(sent->GetField(field), ""); }), 0) << field;
    EXPECT_EQ(errorNumberOf([&] { sent->SetField(field, "v"); }), 0) << field;
    EXPECT_EQ(errorNumberOf([&] { sent->SetFields({field}, {}); }), 0) << field;
    EXPECT_EQ(errorNumberOf([&] { sent->SetIncrementedField(field, 1); }), 0) << field;
  }
  EXPECT_EQ(errorNumberOf([&] { sent->GetFieldFromSubRow(35); }), kErrSubscript);
  EXPECT_EQ(errorNumberOf([&] { sent->SubRowSetField(35, "v"); }), kErrSubscript);
  EXPECT_EQ(countersOf(MessSent), before);
  EXPECT_TRUE(updated(MessSent).empty());

  sent->PC_SelectSingleNode(0, "M1");
  sent->SC_Init(false);
  sent->SC_SelectSingleNode(0, "nobody");  // finds none: no current sub row
  ASSERT_FALSE(sent->IsSubRowSelected());
  for (int32_t field : {35, -2, 1}) {
    EXPECT_EQ(errorNumberOf([&] { EXPECT_EQ(sent->GetFieldFromSubRow(field), ""); }), 0);
    EXPECT_EQ(errorNumberOf([&] { sent->SubRowSetField(field, "v"); }), 0) << field;
  }
  EXPECT_EQ(countersOf(MessSent), before);
  EXPECT_EQ(errorNumberOf([&] { sent->GetField(35); }), kErrSubscript);  // a row is current
}

TEST_F(RecordCollection, ComputedFieldsGoThroughTheInstalledReader) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "C");
  EXPECT_EQ(users->GetField(50001), "");  // nothing installed yet
  globals::SetFieldValueReader([](int32_t c, pugi::xml_node row, int32_t field, bool show) {
    return std::to_string(c) + ":" + uidOf(row) + ":" + std::to_string(field) + (show ? "!" : "");
  });
  EXPECT_EQ(users->GetField(50001), "0:C:50001!");
  EXPECT_EQ(users->GetRowFieldByKey(0, "A", 50000, false), "0:A:50000");
  EXPECT_EQ(users->GetRowFieldByKey(0, "none", 2, true), "0::2!");
  EXPECT_EQ(uidOf(users->GetCurrent()), "C");  // the look-up does not move the row
}

TEST_F(RecordCollection, IncrementedFieldReadsNumbersAndCountsTwice) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "A");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc", "1"}, {"41", "42"}, {"", "1"}, {" 7 ", "8"}, {"2.5", "3"}, {"3.5", "5"}, {"-1", "0"}};
  for (const auto& [stored, expected] : cases) {
    users->SetField(4, stored);
    const Counters before = countersOf(User);
    users->SetIncrementedField(4, 1);
    EXPECT_EQ(users->GetField(4), expected) << stored;
    EXPECT_EQ(delta(countersOf(User), before), (Counters{2, 0, 0, 0}));
  }
  users->SetField(4, "2147483647");
  EXPECT_EQ(errorNumberOf([&] { users->SetIncrementedField(4, 1); }), kErrOverflow);
  EXPECT_EQ(users->GetField(4), "2147483647");
}

TEST_F(RecordCollection, SetFieldsWritesOnceAndChecksEverythingFirst) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "B");
  const Counters before = countersOf(User);
  users->SetFields({2, -1, 3}, {"Last", "ignored", "First"});
  EXPECT_EQ(users->GetField(2), "Last");
  EXPECT_EQ(users->GetField(3), "First");
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 0, 0, 0}));
  EXPECT_EQ(updated(User), std::vector<std::string>{"B"});
  EXPECT_EQ(errorNumberOf([&] { users->SetFields({7, 8}, {"1.2.3.4"}); }), kErrSubscript);
  EXPECT_EQ(users->GetField(7), "");  // nothing written before the failure
}

TEST_F(RecordCollection, KeyedWritesAndReadsLeaveTheCurrentRow) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "A");
  Counters before = countersOf(User);
  users->SetRowFieldByKey(0, "C", 3, "Cleo");
  EXPECT_EQ(users->GetRowFieldByKey(0, "C", 3, false), "Cleo");
  EXPECT_EQ(uidOf(users->GetCurrent()), "A");
  EXPECT_EQ(updated(User), std::vector<std::string>{"C"});
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 0, 0, 0}));
  before = countersOf(User);
  users->SetRowFieldByKey(0, "nobody", 3, "x");  // no row: the counter still rises
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 0, 0, 0}));
  EXPECT_EQ(updated(User).size(), 1u);
  EXPECT_EQ(users->GetRowFieldByKey(0, "nobody", 3, false), "");
}

TEST_F(RecordCollection, ChangeTrackingOfMarksAndClears) {
  auto users = threeUsers();
  users->ClearCurrent();
  Counters before = countersOf(User);
  users->MarkRowAsUpdated("");  // no current row, no UID: nothing
  EXPECT_EQ(countersOf(User), before);
  users->PC_SelectSingleNode(0, "B");
  users->MarkRowAsUpdated("");
  users->MarkRowAsUpdated("Z");
  EXPECT_EQ(delta(countersOf(User), before), (Counters{2, 0, 0, 0}));
  EXPECT_EQ(updated(User), (std::vector<std::string>{"B", "Z"}));
  before = countersOf(User);
  users->ClearCurrent();
  EXPECT_FALSE(users->IsRowSelected());
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 0, 0, 0}));
  EXPECT_EQ(updated(User).size(), 2u);
}

TEST_F(RecordCollection, UidListsKeepDistinctTextsAndTheEmptyRule) {
  auto users = collection(User, true);
  users->AddToUpdatedList("A");
  users->AddToUpdatedList("A");
  users->AddToUpdatedList("");
  users->AddToDeletedList("");
  users->AddToDeletedList("a");
  EXPECT_EQ(updated(User), std::vector<std::string>{"A"});
  EXPECT_EQ(deleted(User), (std::vector<std::string>{"", "a"}));
}

TEST_F(RecordCollection, AddRowCopiesForeignElementsAndCountsFirst) {
  auto users = collection(User, true);
  XMLDocumentRef foreign;
  ASSERT_TRUE(modGenFunctionsXML::XMLLoadFromString(foreign, "<U UID='P' LN='Peer'/>"));
  const Counters before = countersOf(User);
  users->AddRow(foreign->rootElement());
  users->AddRow(pugi::xml_node());
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 0, 0, 0}));
  EXPECT_EQ(users->GetField(2), "Peer");
  EXPECT_EQ(users->GetCurrent().parent(), globals::ClassDocument[User]->rootElement());
  EXPECT_EQ(updated(User), std::vector<std::string>{"P"});
  foreign.reset();  // the collection holds its own copy
  EXPECT_EQ(users->GetRowFieldByKey(0, "P", 2, false), "Peer");
}

TEST_F(RecordCollection, RowWithoutUidAttributeIsChangedWithoutError) {
  auto users = collection(User, true);
  XMLDocumentRef foreign;
  ASSERT_TRUE(modGenFunctionsXML::XMLLoadFromString(foreign, "<U LN='NoId'/>"));
  users->AddRow(foreign->rootElement());
  EXPECT_NO_THROW(users->SetField(3, "F"));
  EXPECT_TRUE(updated(User).empty());
  EXPECT_NO_THROW(users->Delete(true, 0, "", false));
  EXPECT_EQ(deleted(User), std::vector<std::string>{""});
}

TEST_F(RecordCollection, UnlinkedCollectionRecordsNothing) {
  auto users = threeUsers(false);
  users->PC_Init(true);
  users->SetField(2, "z");
  users->SetIncrementedField(4, 1);
  users->MarkRowAsUpdated("");
  users->PC_Close();
  users->Delete(false, 0, "B", false);
  users->DeleteAll(false);
  EXPECT_EQ(countersOf(User), (Counters{0, 0, 0, 0}));
  EXPECT_TRUE(updated(User).empty());
  EXPECT_TRUE(deleted(User).empty());
  EXPECT_TRUE(users->IsXMLDocChanged());
  EXPECT_TRUE(users->IsXMLDocChanged());
  EXPECT_EQ(globals::ClassDocument[User]->rootElement().first_child(), pugi::xml_node());
}

TEST_F(RecordCollection, IsXMLDocChangedReportsEachChangeOncePerInstance) {
  auto first = threeUsers();
  auto second = collection(User, true);
  EXPECT_TRUE(first->IsXMLDocChanged());
  EXPECT_FALSE(first->IsXMLDocChanged());
  EXPECT_TRUE(second->IsXMLDocChanged());  // a new instance sees counters that are not 0
  second->Delete(false, 0, "nobody", false);
  EXPECT_TRUE(first->IsXMLDocChanged());
  EXPECT_FALSE(first->IsXMLDocChanged());
  EXPECT_TRUE(second->IsXMLDocChanged());
  EXPECT_FALSE(second->IsXMLDocChanged());
}

TEST_F(RecordCollection, CounterOverflowIsRaised) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(0, "A");
  globals::PrimaryUpdateCounter[User] = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(errorNumberOf([&] { users->SetField(2, "q"); }), kErrOverflow);
}

// ---- Deletion --------------------------------------------------------------

TEST_F(RecordCollection, DeleteByKeyAndCurrent) {
  auto users = threeUsers();
  Counters before = countersOf(User);
  EXPECT_FALSE(users->Delete(false, 0, "nobody", true));  // nothing went, so nothing is saved
  EXPECT_EQ(delta(countersOf(User), before), (Counters{0, 1, 0, 0}));
  users->PC_SelectSingleNode(0, "A");
  EXPECT_TRUE(users->Delete(false, 0, "C", false));
  EXPECT_EQ(uidOf(users->GetCurrent()), "A");
  before = countersOf(User);
  EXPECT_TRUE(users->Delete(true, -1, "", false));
  EXPECT_EQ(delta(countersOf(User), before), (Counters{1, 1, 0, 0}));  // plus ClearCurrent
  EXPECT_FALSE(users->IsRowSelected());
  EXPECT_EQ(deleted(User), (std::vector<std::string>{"C", "A"}));
  EXPECT_EQ(users->CountAll(), 1);
  users->CreateNewRow(true, 0);  // a row not yet added is not removed from the collection
  EXPECT_FALSE(users->Delete(true, -1, "", false));
  EXPECT_EQ(users->CountAll(), 1);
}

TEST_F(RecordCollection, DeleteWithoutDocumentDoesNothing) {
  clsGenObject users;
  users.IsLinkedToGlobalXMLDoc(true);
  EXPECT_FALSE(users.Delete(false, 0, "A", false));
  users.DeleteByCollection(0, {"A"}, false);
  EXPECT_EQ(countersOf(User), (Counters{0, 0, 0, 0}));
  EXPECT_EQ(users.CountAll(), 0);
}

TEST_F(RecordCollection, DeleteAllAndByCollection) {
  auto users = threeUsers();
  Counters before = countersOf(User);
  users->DeleteByCollection(2, {"x", "none"}, false);
  EXPECT_EQ(delta(countersOf(User), before), (Counters{0, 1, 0, 0}));
  EXPECT_EQ(deleted(User), (std::vector<std::string>{"A", "C"}));
  addRow(*users, "D");
  users->PC_SelectSingleNode(0, "D");
  clearLists(User);
  before = countersOf(User);
  users->DeleteAll(false);
  EXPECT_EQ(delta(countersOf(User), before), (Counters{0, 1, 0, 0}));
  EXPECT_EQ(deleted(User), (std::vector<std::string>{"B", "D"}));
  EXPECT_EQ(users->CountAll(), 0);
  EXPECT_FALSE(users->IsRowSelected());
}

// ---- Sub rows ---------------------------------------------------------------

TEST_F(RecordCollection, SubRowsAddSetAndDelete) {
  auto sent = collection(MessSent, true);
  addRow(*sent, "M1");
  clearLists(MessSent);
  Counters before = countersOf(MessSent);
  sent->AddSubRow(0, "M1", 0, "R1");
  EXPECT_EQ(modGenFunctionsXML::XMLToString(sent->GetCurrent()),
            "<M UID=\"M1\" SD=\"\" ST=\"\" TS=\"\" CO=\"\" PR=\"\" RT=\"\" AMU=\"\" MT=\"\" "
            "RTS=\"\">"
            "<U UID=\"R1\" ST=\"\"/></M>");
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{1, 0, 0, 0}));
  sent->AddSubRow(0, "M1", 0, "R2");
  clearLists(MessSent);
  before = countersOf(MessSent);
  sent->SubRowSetField(1, "50");
  EXPECT_EQ(sent->GetFieldFromSubRow(1), "50");
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{0, 0, 1, 0}));
  EXPECT_EQ(updated(MessSent), std::vector<std::string>{"M1"});
  before = countersOf(MessSent);
  sent->DeleteSubRow(0, "M1", 0, "R2");
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{0, 0, 1, 1}));
  EXPECT_FALSE(sent->IsSubRowSelected());  // the removed sub row was current
  EXPECT_EQ(uidOf(sent->GetCurrent()), "M1");
  EXPECT_EQ(sent->GetCurrent().select_nodes("U").size(), 1u);
  before = countersOf(MessSent);
  EXPECT_EQ(errorNumberOf([&] { sent->AddSubRow(0, "missing", 0, "R3"); }), kErrObjectNotSet);
  EXPECT_EQ(delta(countersOf(MessSent), before), (Counters{1, 0, 0, 0}));
}

TEST_F(RecordCollection, MoveSubRowBetweenGroups) {
  auto groups = collection(Group, true);
  addRow(*groups, "G1", 1, "Friends");
  addRow(*groups, "G2", 1, "Office");
  groups->AddSubRow(0, "G1", 0, "U1");
  groups->AddSubRow(0, "G1", 0, "U2");
  clearLists(Group);
  const Counters before = countersOf(Group);
  groups->MoveSubRow(0, "G1", 0, "G2", 0, "U1");
  EXPECT_EQ(delta(countersOf(Group), before), (Counters{1, 0, 1, 0}));
  EXPECT_EQ(updated(Group), (std::vector<std::string>{"G1", "G2"}));
  EXPECT_FALSE(groups->IsRowSelected());
  EXPECT_EQ(modGenFunctionsXML::XMLToString(globals::ClassDocument[Group]->rootElement()),
            "<TVR><G UID=\"G1\" N=\"Friends\"><U UID=\"U2\" N=\"\"/></G>"
            "<G UID=\"G2\" N=\"Office\"><U UID=\"U1\" N=\"\"/></G></TVR>");
}

TEST_F(RecordCollection, MoveSubRowToAMissingGroupLosesNothing) {
  auto groups = collection(Group, true);
  addRow(*groups, "G1");
  groups->AddSubRow(0, "G1", 0, "U1");
  clearLists(Group);
  const std::string before =
      modGenFunctionsXML::XMLToString(globals::ClassDocument[Group]->documentNode());
  EXPECT_EQ(errorNumberOf([&] { groups->MoveSubRow(0, "G1", 0, "G9", 0, "U1"); }),
            kErrObjectNotSet);
  EXPECT_EQ(modGenFunctionsXML::XMLToString(globals::ClassDocument[Group]->documentNode()), before);
  EXPECT_TRUE(updated(Group).empty());
  EXPECT_FALSE(groups->IsRowSelected());
  EXPECT_EQ(errorNumberOf([&] { groups->MoveSubRow(0, "G9", 0, "G1", 0, "U1"); }),
            kErrObjectNotSet);
  groups->MoveSubRow(0, "G1", 0, "G9", 0, "not a member");  // nothing to move: no error
}

// ---- Selection ------------------------------------------------------------

TEST_F(RecordCollection, ValuesAreComparedNeverParsedAsQueries) {
  auto users = collection(User, true);
  const std::vector<std::string> hostile = {"O'Brien", "a]b", "']|//*[", "x' or '1'='1",
                                            "\"quoted\"", "[@UID]"};
  for (const std::string& value : hostile) addRow(*users, value, 2, value);
  addRow(*users, "plain", 2, "plain");
  for (const std::string& value : hostile) {
    users->PC_SelectSingleNode(0, value);
    EXPECT_EQ(uidOf(users->GetCurrent()), value);
    users->PC_Init(false);
    users->PC_SelectNodes(2, value);
    EXPECT_EQ(users->PC_Count(), 1) << value;
    EXPECT_EQ(users->GetRowFieldByKey(2, value, 0, false), value);
  }
  users->PC_SelectNodes(0, "'");
  EXPECT_EQ(users->PC_Count(), 0);
  users->DeleteByCollection(0, {"']|//*["}, false);
  EXPECT_EQ(users->CountAll(), 6);
}

TEST_F(RecordCollection, SubFieldSelectionComparesValuesToo) {
  auto groups = collection(Group, true);
  addRow(*groups, "G1");
  addRow(*groups, "G2");
  addRow(*groups, "G3");
  groups->AddSubRow(0, "G1", 0, "O'Hara");
  groups->AddSubRow(0, "G3", 0, "O'Hara");
  groups->AddSubRow(0, "G3", 0, "']|//*[");
  groups->PC_SelectSingleNode(0, "G2");
  const auto rows = groups->SelectRowsBySubField(0, "O'Hara");
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(uidOf((*rows)[0]), "G1");
  EXPECT_EQ(uidOf((*rows)[1]), "G3");
  EXPECT_EQ(groups->SelectRowsBySubField(0, "']|//*[")->size(), 1u);
  EXPECT_EQ(uidOf(groups->GetCurrent()), "G2");  // untouched
  EXPECT_FALSE(groups->SelectRowsBySubField(-1, "O'Hara").has_value());
  groups->PC_SelectSingleNode(0, "G3");
  groups->SC_SelectSingleNode(0, "']|//*[");
  EXPECT_EQ(uidOf(groups->GetCurrent().last_child()), uidOf(groups->SC_Current()));
}

TEST_F(RecordCollection, FirstMatchInDocumentOrderAndNumbersAsText) {
  auto users = threeUsers();
  users->PC_SelectSingleNode(2, "x");
  EXPECT_EQ(uidOf(users->GetCurrent()), "A");
  users->PC_SelectNodes(2, "x");
  EXPECT_EQ(users->PC_Count(), 2);
  EXPECT_EQ(uidOf(users->GetCurrent()), "A");
  users->PC_MoveNext();
  EXPECT_EQ(uidOf(users->GetCurrent()), "C");
  users->PC_SelectSingleNode(0, "B");
  users->SetField(4, 5);
  users->PC_Init(true);
  users->PC_SelectSingleNode(4, 5);
  EXPECT_EQ(uidOf(users->GetCurrent()), "B");
  users->PC_SelectNodes(2, "none");
  EXPECT_FALSE(users->IsRowSelected());
  EXPECT_TRUE(users->PC_EndOfList());
}

TEST_F(RecordCollection, LookupsFollowRenamedAndSharedRows) {
  auto users = threeUsers();
  auto other = collection(User, true);
  users->PC_SelectSingleNode(0, "B");
  users->SetField(0, "B2");
  other->PC_SelectSingleNode(0, "B");
  EXPECT_FALSE(other->IsRowSelected());
  other->PC_SelectSingleNode(0, "B2");
  EXPECT_EQ(other->GetField(2), "y");
  addRow(*other, "E");
  users->PC_SelectSingleNode(0, "E");
  EXPECT_TRUE(users->IsRowSelected());
  other->Delete(false, 0, "E", false);
  users->PC_Init(false);
  EXPECT_EQ(users->PC_CurrentPos(0, "E"), -1);
}

TEST_F(RecordCollection, SelectionMisuseMessagesAndErrors) {
  auto users = threeUsers();
  EXPECT_EQ(errorNumberOf([&] { users->PC_SelectSingleNode(-1, "A"); }), kErrApplicationDefined);
  users->ClearCurrent();
  EXPECT_EQ(errorNumberOf([&] { users->SC_Init(true); }), kErrObjectNotSet);  // no current row
  clsGenObject fresh;
  EXPECT_EQ(errorNumberOf([&] { fresh.SC_Init(true); }), kErrApplicationDefined);
  EXPECT_EQ(errorNumberOf([&] { fresh.PC_MoveNext(); }), kErrApplicationDefined);
  EXPECT_EQ(fresh.PC_Count(), 0);
  EXPECT_EQ(fresh.PC_CurrentPos(0, "A"), 0);
  ASSERT_EQ(boxes_.shown().size(), 5u);
  EXPECT_EQ(boxes_.shown()[0].text,
            "This is impossible to call the selectsinglenode without a criteria...");
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(boxes_.shown()[i].text, "Error CursorNotInitialized");
  }
  for (const auto& box : boxes_.shown()) {
    EXPECT_EQ(box.flags, platform::kMbOkOnly);
    EXPECT_EQ(box.title, "Tavinor");
  }
  boxes_.clear();
  EXPECT_FALSE(fresh.PC_BeginningOfList());  // reported without a box
  EXPECT_FALSE(fresh.PC_EndOfList());
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(RecordCollection, SelectionsWithoutDocumentOrRoot) {
  clsGenObject users;
  users.XMLElementBaseName("U");
  EXPECT_EQ(errorNumberOf([&] { users.PC_Init(true); }), kErrObjectNotSet);
  EXPECT_EQ(errorNumberOf([&] { users.PC_SelectSingleNode(0, "A"); }), kErrObjectNotSet);
  users.XMLDocLinked(clsGenXMLDocument::create());  // a document without a root element
  EXPECT_EQ(errorNumberOf([&] { users.PC_SelectNodes(-1, ""); }), kErrObjectNotSet);
  EXPECT_EQ(errorNumberOf([&] { users.SelectRowsBySubField(0, "A"); }), kErrObjectNotSet);
  EXPECT_NO_THROW(users.PC_SelectSingleNode(0, "A"));
  EXPECT_FALSE(users.IsRowSelected());
  EXPECT_EQ(users.PC_CurrentPos(0, "A"), 0);  // the failed select-all is reported
}

// ---- Cursors through the collection ----------------------------------------

TEST_F(RecordCollection, WalksOverNoRowsAndOneRow) {
  auto users = collection(User, true);
  users->PC_Init(true);
  EXPECT_TRUE(users->PC_BeginningOfList());
  EXPECT_TRUE(users->PC_EndOfList());
  users->PC_MoveFirst();
  EXPECT_FALSE(users->IsRowSelected());
  int visits = 0;
  for (users->PC_MoveFirst(); !users->PC_EndOfList(); users->PC_MoveNext()) ++visits;
  EXPECT_EQ(visits, 0);
  addRow(*users, "only");
  users->PC_Init(true);
  EXPECT_EQ(uidOf(users->GetCurrent()), "only");
  EXPECT_TRUE(users->PC_BeginningOfList());
  EXPECT_FALSE(users->PC_EndOfList());
  users->PC_MoveFirst();
  EXPECT_EQ(uidOf(users->GetCurrent()), "only");
  users->PC_MoveNext();
  EXPECT_TRUE(users->PC_EndOfList());
  EXPECT_FALSE(users->IsRowSelected());
}

TEST_F(RecordCollection, WalksOverThreeRowsBothWays) {
  auto users = threeUsers();
  users->PC_Init(true);
  std::string forward, backward;
  for (users->PC_MoveFirst(); !users->PC_EndOfList(); users->PC_MoveNext()) {
    forward += users->GetField(0);
  }
  for (users->PC_MoveLast(); !users->PC_BeginningOfList(); users->PC_MovePrevious()) {
    backward += users->GetField(0);
  }
  EXPECT_EQ(forward, "ABC");
  EXPECT_EQ(backward, "CBA");
  users->PC_MoveLast();
  users->PC_MovePrevious();
  EXPECT_EQ(users->GetField(0), "B");
  users->PC_MoveTo(1);
  users->PC_MoveNext();
  EXPECT_EQ(users->GetField(0), "C");
  users->PC_MoveNext();  // past the end: the position stays on the last row
  users->PC_MovePrevious();
  EXPECT_EQ(users->GetField(0), "B");
  users->PC_MoveFirst();
  users->PC_MovePrevious();  // before the start
  users->PC_MoveNext();
  EXPECT_EQ(users->GetField(0), "B");
  users->PC_MoveTo(2);
  EXPECT_TRUE(users->PC_EndOfList());
  users->PC_MoveTo(0);
  EXPECT_TRUE(users->PC_BeginningOfList());
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(RecordCollection, MoveToAndSetPositionOutOfRange) {
  auto users = threeUsers();
  users->PC_Init(true);
  users->PC_MoveTo(1);
  for (int32_t position : {3, -1}) {
    users->PC_MoveTo(position);
    EXPECT_FALSE(users->IsRowSelected());
  }
  ASSERT_EQ(boxes_.shown().size(), 2u);
  EXPECT_EQ(boxes_.shown()[1].text, "Node Position out of range");
  EXPECT_EQ(boxes_.shown()[1].flags, platform::kMbOkOnly);
  users->PC_MoveNext();  // continues from position 1
  EXPECT_EQ(users->GetField(0), "C");
  users->PC_MoveFirst();
  users->PC_SetPosition(10);
  EXPECT_EQ(users->GetField(0), "C");
  users->PC_SetPosition(-1);
  EXPECT_FALSE(users->IsRowSelected());
  users->PC_MoveNext();  // the cursor's own position was 0
  EXPECT_EQ(users->GetField(0), "B");
  EXPECT_EQ(boxes_.shown().size(), 2u);
}

TEST_F(RecordCollection, CloseCountsOnlyOnLinkedPrimaryCursors) {
  auto users = threeUsers();
  users->PC_Init(true);
  users->SC_Init(false);
  const Counters before = countersOf(User);
  users->PC_Close();
  users->PC_Close();
  users->SC_Close();
  EXPECT_EQ(delta(countersOf(User), before), (Counters{2, 0, 0, 0}));
  EXPECT_EQ(users->GetField(0), "A");  // CurrentRow stays
  EXPECT_FALSE(users->PC_Current());
  auto unlinked = threeUsers(false);
  unlinked->PC_Init(true);
  unlinked->PC_Close();
  EXPECT_EQ(delta(countersOf(User), before), (Counters{2, 0, 0, 0}));
}

TEST_F(RecordCollection, CursorStateAfterInitAndFailedSingleSelection) {
  auto users = threeUsers();
  users->PC_Init(false);
  EXPECT_FALSE(users->PC_EndOfList());  // a new cursor
  users->PC_Init(false);
  EXPECT_TRUE(users->PC_EndOfList());  // a reset one
  EXPECT_EQ(users->PC_CurrentPos(0, "B"), 1);  // selects every row first
  users->PC_SelectNodes(2, "x");
  EXPECT_EQ(users->PC_CurrentPos(0, "C"), 1);
  EXPECT_EQ(users->PC_CurrentPos(0, "B"), -1);
  users->PC_SelectSingleNode(0, "nobody");
  EXPECT_FALSE(users->IsRowSelected());
  EXPECT_EQ(uidOf(users->PC_Current()), "A");
}

TEST_F(RecordCollection, SubCursorWalksTheCurrentRowsSubRows) {
  auto sent = collection(MessSent, true);
  addRow(*sent, "M1");
  for (const char* recipient : {"R1", "R2", "R3"}) sent->AddSubRow(0, "M1", 0, recipient);
  sent->PC_SelectSingleNode(0, "M1");
  sent->SC_Init(true);
  std::string seen;
  for (sent->SC_MoveFirst(); !sent->SC_EOL(); sent->SC_MoveNext()) {
    seen += sent->GetFieldFromSubRow(0);
  }
  EXPECT_EQ(seen, "R1R2R3");
  EXPECT_EQ(sent->SC_Count(), 3);
  sent->SC_SelectNodes(0, "R2");
  EXPECT_EQ(sent->GetFieldFromSubRow(0), "R2");
  sent->SC_SelectSingleNode(0, "none");
  EXPECT_FALSE(sent->IsSubRowSelected());
}

// ---- Handles stay valid when rows go --------------------------------------

TEST_F(RecordCollection, RowsRemovedElsewhereLeaveCursorsAndCurrentRowsSafe) {
  auto walker = threeUsers();
  auto other = collection(User, true);
  walker->PC_Init(true);
  other->PC_SelectSingleNode(0, "B");
  walker->Delete(false, 0, "B", false);
  EXPECT_FALSE(other->IsRowSelected());
  std::string seen;
  for (walker->PC_MoveFirst(); !walker->PC_EndOfList(); walker->PC_MoveNext()) {
    seen += walker->GetField(0);
  }
  EXPECT_EQ(seen, "AC");
  walker->PC_MoveTo(1);  // the removed row's entry gives no row
  EXPECT_FALSE(walker->IsRowSelected());
}

TEST_F(RecordCollection, DeletingTheCurrentRowInsideAWalkVisitsEveryRow) {
  auto users = threeUsers();
  users->PC_Init(true);
  std::string seen;
  for (users->PC_MoveFirst(); !users->PC_EndOfList(); users->PC_MoveNext()) {
    seen += users->GetField(0);
    users->Delete(true, -1, "", false);
  }
  EXPECT_EQ(seen, "ABC");
  EXPECT_EQ(users->CountAll(), 0);
}

TEST_F(RecordCollection, ReloadedDocumentDropsEveryHandle) {
  auto users = threeUsers();
  users->PC_Init(true);
  users->PC_MoveLast();
  ASSERT_TRUE(modGenFunctionsXML::XMLLoadFromString(globals::ClassDocument[User],
                                                    "<TVR><U UID='N'/></TVR>"));
  EXPECT_FALSE(users->IsRowSelected());
  users->PC_MoveFirst();
  EXPECT_FALSE(users->IsRowSelected());
  users->PC_Init(true);
  EXPECT_EQ(users->GetField(0), "N");
}
