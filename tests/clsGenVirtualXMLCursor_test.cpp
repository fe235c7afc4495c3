#include <gtest/gtest.h>

#include "ErrorNumber.h"
#include "RecordingMessageBox.h"
#include "TvrError.h"
#include "clsGenVirtualXMLCursor.h"

namespace {

class Cursor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(doc_.load_string("<TVR><U K='a'/><U K='b'/><U K='c'/></TVR>"));
    for (pugi::xml_node row : doc_.document_element().children()) rows_.push_back(row);
  }
  std::string key() const { return cursor_.Current().attribute("K").value(); }
  struct Flags {
    bool bol, eol;
    bool operator==(const Flags&) const = default;
  };
  Flags flags() const { return {cursor_.BOL(), cursor_.EOL()}; }

  pugi::xml_document doc_;
  NodeList rows_;
  clsGenVirtualXMLCursor cursor_;
  RecordingMessageBox boxes_;
};

}  // namespace

TEST_F(Cursor, NewAndResetCursors) {
  EXPECT_FALSE(cursor_.NodesSelected());
  EXPECT_EQ(cursor_.Count(), 0);
  EXPECT_EQ(flags(), (Flags{false, false}));
  EXPECT_EQ(cursor_.CurrentPos("K", "a"), -1);
  EXPECT_EQ(errorNumberOf([&] { cursor_.Move(MoveFirst, -1); }), kErrObjectNotSet);
  EXPECT_EQ(errorNumberOf([&] { cursor_.GetNodeAt(0); }), kErrObjectNotSet);
  cursor_.SetNodes(rows_);
  cursor_.Reset();
  EXPECT_FALSE(cursor_.NodesSelected());
  EXPECT_FALSE(cursor_.Current());
  EXPECT_EQ(flags(), (Flags{true, true}));
}

TEST_F(Cursor, EmptyListEndsEveryMove) {
  EXPECT_FALSE(cursor_.SetNodes({}));
  EXPECT_EQ(flags(), (Flags{true, true}));
  for (XMLCursorMove direction : {MoveFirst, MoveLast, MoveNext, MovePrevious, MoveTo}) {
    EXPECT_FALSE(cursor_.Move(direction, 0));
    EXPECT_EQ(flags(), (Flags{true, true}));
  }
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(Cursor, OneNode) {
  cursor_.SetNodes({rows_[0]});
  EXPECT_EQ(flags(), (Flags{true, false}));
  cursor_.Move(MoveFirst, -1);
  EXPECT_EQ(key(), "a");
  EXPECT_FALSE(cursor_.Move(MoveNext, -1));
  EXPECT_EQ(flags(), (Flags{true, true}));
  cursor_.Move(MoveLast, -1);
  EXPECT_FALSE(cursor_.Move(MovePrevious, -1));
  EXPECT_EQ(flags(), (Flags{true, true}));
}

TEST_F(Cursor, MoveTableOverThreeNodes) {
  EXPECT_EQ(cursor_.SetNodes(rows_), rows_[0]);
  cursor_.Move(MoveNext, -1);
  EXPECT_EQ(key(), "b");
  EXPECT_EQ(flags(), (Flags{true, false}));  // MoveNext leaves BOL as it was
  cursor_.Move(MoveLast, -1);
  EXPECT_EQ(flags(), (Flags{false, true}));
  cursor_.Move(MovePrevious, -1);
  EXPECT_EQ(key(), "b");
  EXPECT_EQ(flags(), (Flags{false, true}));  // MovePrevious leaves EOL as it was
  cursor_.Move(MoveTo, 0);
  EXPECT_EQ(flags(), (Flags{true, false}));
  cursor_.Move(MoveTo, 2);
  EXPECT_EQ(flags(), (Flags{false, true}));
  cursor_.Move(MoveTo, 1);
  EXPECT_EQ(flags(), (Flags{false, false}));
  EXPECT_EQ(cursor_.Move(static_cast<XMLCursorMove>(9), -1), rows_[1]);  // unknown: no move
}

TEST_F(Cursor, MoveToOutOfRangeShowsTheMessageAndKeepsPosition) {
  cursor_.SetNodes(rows_);
  cursor_.Move(MoveTo, 1);
  EXPECT_FALSE(cursor_.Move(MoveTo, 3));
  EXPECT_FALSE(cursor_.Move(MoveTo, -1));
  EXPECT_EQ(flags(), (Flags{false, false}));
  ASSERT_EQ(boxes_.shown().size(), 2u);
  EXPECT_EQ(boxes_.shown()[0].text, "Node Position out of range");
  EXPECT_EQ(boxes_.shown()[0].title, "Tavinor");
  cursor_.Move(MoveNext, -1);
  EXPECT_EQ(key(), "c");
}

TEST_F(Cursor, GetNodeAtKeepsPositionAndFlags) {
  cursor_.SetNodes(rows_);
  EXPECT_EQ(cursor_.GetNodeAt(10), rows_[2]);
  EXPECT_FALSE(cursor_.GetNodeAt(-1));
  EXPECT_EQ(flags(), (Flags{true, false}));
  cursor_.Move(MoveNext, -1);
  EXPECT_EQ(key(), "b");
  cursor_.SetNodes({});
  cursor_.Reset();
  cursor_.SetNodes({});
  cursor_.GetNodeAt(0);
  EXPECT_EQ(flags(), (Flags{true, true}));
}

TEST_F(Cursor, SetCurrentNodeAndCurrentPos) {
  cursor_.SetNodes(rows_);
  cursor_.Move(MoveLast, -1);
  EXPECT_EQ(cursor_.SetCurrentNode(rows_[0]), rows_[0]);
  EXPECT_EQ(flags(), (Flags{false, true}));
  cursor_.Move(MovePrevious, -1);  // position was still 2
  EXPECT_EQ(key(), "b");
  EXPECT_EQ(cursor_.CurrentPos("K", "c"), 2);
  EXPECT_EQ(cursor_.CurrentPos("K", "C"), -1);  // case-sensitive
  EXPECT_EQ(cursor_.CurrentPos("missing", ""), -1);
}

TEST_F(Cursor, ForgottenNodesAreSteppedOver) {
  cursor_.SetNodes(rows_);
  cursor_.Move(MoveTo, 1);
  cursor_.forgetNodes({rows_[1], rows_[2]});
  EXPECT_FALSE(cursor_.Current());
  EXPECT_EQ(cursor_.Count(), 3);
  EXPECT_FALSE(cursor_.Move(MoveNext, -1));
  EXPECT_TRUE(cursor_.EOL());
  EXPECT_EQ(cursor_.Move(MovePrevious, -1), rows_[0]);
  EXPECT_EQ(cursor_.Move(MoveLast, -1), rows_[0]);
  EXPECT_FALSE(cursor_.Move(MoveTo, 2));
  EXPECT_EQ(cursor_.CurrentPos("K", "c"), -1);
  cursor_.forgetNodesOf(doc_);
  EXPECT_FALSE(cursor_.Move(MoveFirst, -1));
  EXPECT_EQ(flags(), (Flags{true, true}));
}
