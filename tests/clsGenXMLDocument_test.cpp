#include <gtest/gtest.h>

#include <random>
#include <string>

#include "clsGenXMLDocument.h"
#include "modGenFunctionsXML.h"

namespace {

std::string keys(NodeSpan rows) {
  std::string out;
  for (const pugi::xml_node row : rows) out += row.attribute("N").value();
  return out;
}

// Records what a document announces before freeing nodes.
class RecordingHolder : public clsGenXMLDocument::Holder {
 public:
  void nodesRemoved(const clsGenXMLDocument&, const NodeList& removed) override {
    removedNodes += static_cast<int>(removed.size());
  }
  void documentReplaced(const clsGenXMLDocument&) override { ++replacements; }
  int removedNodes = 0;
  int replacements = 0;
};

class XMLDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(doc_->load("<TVR><U K='1' N='a'/><U K='2' N='b'/><X K='1' N='x'/>"
                           "<U K='1' N='c'><S K='1'/></U></TVR>"));
  }
  pugi::xml_node row(const char* n) {
    return doc_->rootElement().find_child_by_attribute("N", n);
  }
  XMLDocumentRef doc_ = clsGenXMLDocument::create();
};

// The rows an index must answer, found by walking the tree.
NodeList scanned(const clsGenXMLDocument& doc, const char* element, const char* subElement,
                 const std::string& value) {
  NodeList rows;
  for (const pugi::xml_node row : doc.rootElement().children(element)) {
    if (*subElement == '\0') {
      const pugi::xml_attribute key = row.attribute("K");
      if (key && value == key.value()) rows.push_back(row);
      continue;
    }
    for (const pugi::xml_node subRow : row.children(subElement)) {
      const pugi::xml_attribute key = subRow.attribute("K");
      if (key && value == key.value()) {
        rows.push_back(row);
        break;
      }
    }
  }
  return rows;
}

}  // namespace

TEST_F(XMLDocument, LooksUpRowsOfOneElementNameInDocumentOrder) {
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "ac");
  EXPECT_EQ(doc_->firstRowWhere("U", "K", "1"), row("a"));
  EXPECT_EQ(keys(doc_->rowsWhere("X", "K", "1")), "x");
  EXPECT_TRUE(doc_->rowsWhere("U", "K", "9").empty());
  EXPECT_TRUE(doc_->rowsWhere("S", "K", "1").empty());  // sub rows are not rows
}

TEST_F(XMLDocument, IndexFollowsAppendsRemovalsAndWrites) {
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "ac");
  pugi::xml_node added = doc_->appendElement(doc_->rootElement(), "U");
  clsGenXMLDocument::setAttribute(added, "N", "d");
  clsGenXMLDocument::setAttribute(added, "K", "1");
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "acd");
  doc_->remove(row("a"));
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "cd");
  clsGenXMLDocument::setAttribute(row("b"), "K", "1");  // joins in the middle of the group
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "bcd");
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "2")), "");
  doc_->appendMove(doc_->rootElement(), row("b"));  // moved to the end
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "cdb");
  pugi::xml_document other;
  other.load_string("<U K='1' N='e'/>");
  doc_->appendCopy(doc_->rootElement(), other.document_element());
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "1")), "cdbe");
}

// Thousands of rows leave or take other values: the groups they empty are
// dropped with a rebuild at some point, and every look-up stays right.
TEST(XMLDocumentIndexes, StayRightWhileMostGroupsEmpty) {
  XMLDocumentRef doc = clsGenXMLDocument::create();
  ASSERT_TRUE(doc->load("<TVR/>"));
  constexpr int kRows = 3000;
  for (int i = 0; i < kRows; ++i) {
    const pugi::xml_node added = doc->appendElement(doc->rootElement(), "U");
    clsGenXMLDocument::setAttribute(added, "K", std::to_string(i));
    clsGenXMLDocument::setAttribute(added, "N", std::to_string(i));
    EXPECT_EQ(doc->firstRowWhere("U", "K", std::to_string(i)), added);
  }
  for (int i = 0; i < kRows; i += 3) {
    doc->remove(doc->firstRowWhere("U", "K", std::to_string(i)));
    doc->remove(doc->firstRowWhere("U", "K", std::to_string(i + 1)));
    const pugi::xml_node kept = doc->firstRowWhere("U", "K", std::to_string(i + 2));
    clsGenXMLDocument::setAttribute(kept, "K", "x" + std::to_string(i + 2));
  }
  for (int i = 0; i < kRows; ++i) {
    EXPECT_TRUE(doc->rowsWhere("U", "K", std::to_string(i)).empty()) << i;
    const std::string kept = i % 3 == 2 ? std::to_string(i) : "";
    EXPECT_EQ(keys(doc->rowsWhere("U", "K", "x" + std::to_string(i))), kept) << i;
  }
}

TEST_F(XMLDocument, HoldersHearOfRemovalsBeforeTheyHappen) {
  RecordingHolder holder;
  doc_->addHolder(&holder);
  doc_->remove(row("c"));  // the row and its sub row
  EXPECT_EQ(holder.removedNodes, 2);
  doc_->load("<TVR/>");
  EXPECT_EQ(holder.replacements, 1);
  doc_->remove(doc_->rootElement());
  doc_->clear();
  EXPECT_EQ(holder.replacements, 3);
  doc_->removeHolder(&holder);
  doc_->load("<TVR/>");
  EXPECT_EQ(holder.replacements, 3);
}

TEST_F(XMLDocument, ReloadKeepsTheDocumentFindable) {
  EXPECT_EQ(clsGenXMLDocument::owning(row("a")), doc_.get());
  ASSERT_TRUE(doc_->load("<TVR><U K='7' N='z'/></TVR>"));
  EXPECT_EQ(clsGenXMLDocument::owning(row("z")), doc_.get());
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "7")), "z");
  pugi::xml_document plain;
  plain.load_string("<U/>");
  EXPECT_EQ(clsGenXMLDocument::owning(plain.document_element()), nullptr);
}

TEST_F(XMLDocument, ElementTextWithLineEndsSurvivesASaveAndReload) {
  ASSERT_TRUE(doc_->load("<TVR>a&#13;b\r\nc</TVR>"));
  const std::string saved = modGenFunctionsXML::XMLToString(doc_->rootElement());
  ASSERT_TRUE(doc_->load(saved));
  EXPECT_STREQ(doc_->rootElement().text().get(), "a\rb\r\nc");
  EXPECT_EQ(modGenFunctionsXML::XMLToString(doc_->rootElement()), saved);
}

TEST_F(XMLDocument, RefusesMalformedAndTooDeepTexts) {
  EXPECT_FALSE(doc_->load("<TVR><U></TVR>"));
  EXPECT_FALSE(doc_->rootElement());
  const auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
  };
  EXPECT_TRUE(doc_->load(nested(clsGenXMLDocument::kMaxDepth)));
  EXPECT_FALSE(doc_->load(nested(clsGenXMLDocument::kMaxDepth + 1)));
  EXPECT_FALSE(doc_->rootElement());
  EXPECT_FALSE(doc_->appendMove(doc_->documentNode(), doc_->documentNode()));
}

TEST_F(XMLDocument, MovingANodeIntoItselfIsRefused) {
  const pugi::xml_node c = row("c");
  EXPECT_FALSE(doc_->appendMove(c.first_child(), c));
  EXPECT_EQ(c.parent(), doc_->rootElement());
}

TEST_F(XMLDocument, SubRowIndexFollowsEveryChange) {
  auto owners = [&](const char* value) {
    return keys(doc_->rowsWithSubRowWhere("U", "S", "K", value));
  };
  EXPECT_EQ(owners("1"), "c");
  const pugi::xml_node a = row("a");
  const pugi::xml_node c = row("c");
  clsGenXMLDocument::setAttribute(doc_->appendElement(c, "S"), "K", "1");  // c already listed
  clsGenXMLDocument::setAttribute(doc_->appendElement(a, "S"), "K", "1");  // joins before c
  EXPECT_EQ(owners("1"), "ac");
  pugi::xml_document source;
  source.load_string("<S K='2'/>");
  doc_->appendCopy(c, source.document_element());
  EXPECT_EQ(owners("2"), "c");
  doc_->remove(c.last_child());
  EXPECT_EQ(owners("2"), "");
  clsGenXMLDocument::setAttribute(a.first_child(), "K", "3");
  EXPECT_EQ(owners("1"), "c");
  EXPECT_EQ(owners("3"), "a");
  doc_->appendMove(c, a.first_child());
  EXPECT_EQ(owners("3"), "c");
  doc_->remove(c);
  EXPECT_EQ(owners("1"), "");
  EXPECT_EQ(owners("3"), "");
  EXPECT_TRUE(doc_->rowsWithSubRowWhere("U", "", "K", "1").empty());
}

TEST_F(XMLDocument, ARootCopiedIntoAnEmptyDocumentBringsItsRows) {
  XMLDocumentRef empty = clsGenXMLDocument::create();
  EXPECT_TRUE(empty->rowsWhere("U", "K", "1").empty());  // builds an index over no rows
  empty->appendCopy(empty->documentNode(), doc_->rootElement());
  EXPECT_EQ(keys(empty->rowsWhere("U", "K", "1")), "ac");
  EXPECT_EQ(keys(empty->rowsWithSubRowWhere("U", "S", "K", "1")), "c");
}

TEST_F(XMLDocument, ARefusedMoveKeepsTheRowFindable) {
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "2")), "b");
  const pugi::xml_node text = row("a").append_child(pugi::node_pcdata);
  EXPECT_FALSE(doc_->appendMove(text, row("b")));
  EXPECT_EQ(keys(doc_->rowsWhere("U", "K", "2")), "b");
}

// Random appends, writes, moves and removals; after each, every look-up must
// give what a walk over the tree gives.
TEST(XMLDocumentIndexes, AgreeWithATreeWalkAfterEveryChange) {
  const char* names[] = {"U", "G"};
  const char* values[] = {"1", "2", "3"};
  for (unsigned seed = 0; seed < 200; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&random](std::size_t count) { return random() % count; };
    XMLDocumentRef doc = clsGenXMLDocument::create();
    ASSERT_TRUE(doc->load("<TVR/>"));
    for (int step = 0; step < 40; ++step) {
      NodeList rows, subRows;
      for (const pugi::xml_node row : doc->rootElement().children()) {
        rows.push_back(row);
        for (const pugi::xml_node subRow : row.children()) subRows.push_back(subRow);
      }
      const auto anyRow = [&] { return rows[pick(rows.size())]; };
      const auto anySubRow = [&] { return subRows[pick(subRows.size())]; };
      // A look-up just before the change, as a fill does before its next row.
      doc->rowsWhere(names[pick(2)], "K", values[pick(3)]);
      const char* value = values[pick(3)];
      switch (rows.empty() ? 0 : pick(subRows.empty() ? 5 : 8)) {
        case 0: {
          const pugi::xml_node added = doc->appendElement(doc->rootElement(), names[pick(2)]);
          if (pick(2) != 0) clsGenXMLDocument::setAttribute(added, "K", value);
          break;
        }
        case 1: clsGenXMLDocument::setAttribute(anyRow(), "K", value); break;
        case 2: doc->remove(anyRow()); break;
        case 3:
          clsGenXMLDocument::setAttribute(doc->appendElement(anyRow(), names[pick(2)]), "K", value);
          break;
        case 4: doc->appendMove(doc->rootElement(), anyRow()); break;
        case 5: clsGenXMLDocument::setAttribute(anySubRow(), "K", value); break;
        case 6: doc->remove(anySubRow()); break;
        default: doc->appendMove(anyRow(), anySubRow()); break;
      }
      for (const char* element : names) {
        for (const char* subElement : {"", "U", "G"}) {
          for (const char* wanted : values) {
            const NodeSpan found = *subElement == '\0'
                                       ? doc->rowsWhere(element, "K", wanted)
                                       : doc->rowsWithSubRowWhere(element, subElement, "K", wanted);
            ASSERT_EQ(NodeList(found.begin(), found.end()), scanned(*doc, element, subElement, wanted))
                << "seed " << seed << " step " << step;
          }
        }
      }
    }
  }
}
