#include <gtest/gtest.h>

#include "ErrorNumber.h"
#include "TvrError.h"
#include "modGenFunctionsXML.h"

using namespace modGenFunctionsXML;

TEST(XMLHelpers, InitDocumentWithAndWithoutDefaultRoot) {
  XMLDocumentRef withRoot;
  XMLInitDocument(withRoot, "", true);
  ASSERT_TRUE(withRoot);
  EXPECT_EQ(XMLToString(withRoot->documentNode()), "<TVR/>");
  XMLDocumentRef bare;
  XMLInitDocument(bare, "", false);
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->documentNode().first_child());
}

TEST(XMLHelpers, InitDocumentEmptiesRowsAndKeepsTheObject) {
  XMLDocumentRef document;
  ASSERT_TRUE(XMLLoadFromString(document, "<TVR OU='x'><U UID='1'/><U UID='2'/></TVR>"));
  clsGenXMLDocument* object = document.get();
  XMLInitDocument(document, "DATA", true);
  EXPECT_EQ(document.get(), object);
  EXPECT_EQ(XMLToString(document->documentNode()), "<DATA/>");
}

TEST(XMLHelpers, LoadFromString) {
  XMLDocumentRef document;
  EXPECT_TRUE(XMLLoadFromString(document, "<R V='100000'/>"));
  EXPECT_STREQ(document->rootElement().name(), "R");
  clsGenXMLDocument* object = document.get();
  for (const char* bad : {"", "<R V='1'>", "not xml", "<a/><b/>"}) {
    EXPECT_FALSE(XMLLoadFromString(document, bad)) << bad;
    EXPECT_EQ(document.get(), object);
    EXPECT_FALSE(document->rootElement()) << bad;
  }
}

TEST(XMLHelpers, SetAttribute) {
  XMLDocumentRef document;
  XMLInitDocument(document, "", true);
  const pugi::xml_node root = document->rootElement();
  XMLSetAttribute(root, "A", "1");
  XMLSetAttribute(root, "B", "2");
  XMLSetAttribute(root, "A", "it's <3 & \"so\"");
  XMLSetAttribute(root, "", "ignored");
  XMLSetAttribute(pugi::xml_node(), "C", "ignored");
  EXPECT_EQ(XMLToString(root), "<TVR A=\"it's &lt;3 &amp; &quot;so&quot;\" B=\"2\"/>");
  EXPECT_EQ(errorNumberOf([&] { XMLSetAttribute(root, "a b", "x"); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([&] { XMLSetAttribute(document->documentNode(), "A", "x"); }),
            kErrInvalidCall);
}

TEST(XMLHelpers, AppendElement) {
  XMLDocumentRef document;
  XMLInitDocument(document, "", false);
  const pugi::xml_node root = XMLAppendElement(document->documentNode(), "TVR", "");
  XMLAppendElement(root, "E", "");
  XMLAppendElement(root, "F", "x");
  EXPECT_EQ(XMLToString(document->documentNode()), "<TVR><E/><F>x</F></TVR>");
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(document->documentNode(), "Second", ""); }),
            kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(pugi::xml_node(), "E", ""); }), kErrObjectNotSet);
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(root, "", ""); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(root, "1st", ""); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(root, "-E", ""); }), kErrInvalidCall);
  EXPECT_EQ(errorNumberOf([&] { XMLAppendElement(root, "E F", ""); }), kErrInvalidCall);
  EXPECT_STREQ(XMLAppendElement(root, "\xC3\xA9t\xC3\xA9", "").name(), "\xC3\xA9t\xC3\xA9");
}

TEST(XMLHelpers, ClearDocument) {
  XMLDocumentRef none;
  EXPECT_NO_THROW(XMLClearDocument(none));
  XMLDocumentRef document;
  XMLInitDocument(document, "", false);
  EXPECT_NO_THROW(XMLClearDocument(document));
  ASSERT_TRUE(XMLLoadFromString(document, "<TVR><U/></TVR>"));
  XMLClearDocument(document);
  EXPECT_FALSE(document->rootElement());
}
