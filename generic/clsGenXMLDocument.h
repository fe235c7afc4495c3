#pragma once
// clsGenXMLDocument: one XML document (a pugixml tree) as record collections,
// settings and protocol code share it through XMLDocumentRef.
//
// Besides the tree it keeps two things in step with it:
//  - Holders: objects that keep element handles into the tree (record
//    collections and their cursors) register here and are told before any node
//    they may hold is freed, so no handle outlives its node.
//  - Row indexes: rows are the element children of the root element, sub rows
//    the element children of a row. An index groups the rows of one element
//    name by the value of one attribute, either their own or that of their
//    sub rows of one element name; each group lists rows in document order,
//    once each. An index is built on the first look-up and then maintained on
//    every append, removal and attribute write made here (a change it cannot
//    follow cheaply, or one that leaves most of its groups empty, drops it,
//    and the next look-up rebuilds it).
//  - Row changes: every change made here is noted in changes() by the row it
//    falls in (RowChanges), for the data file's journal. A load or clear
//    makes the changes whole; the data file's owner forgets them once the
//    file is in step.
//
// Callers must change the tree only through this class, modGenFunctionsXML
// and clsGenObject. A node removed through a raw pugixml handle leaves holders
// dangling; an attribute written through a raw handle leaves indexes stale.
// Handles handed out (pugi::xml_node) are valid until their node is removed or
// the document is reloaded or cleared.
//
// Single-threaded: documents are used on the program's one UI thread.
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "RowChanges.h"
#include "RowGroups.h"

class clsGenXMLDocument;
using XMLDocumentRef = std::shared_ptr<clsGenXMLDocument>;
using NodeList = std::vector<pugi::xml_node>;
using NodeSpan = std::span<const pugi::xml_node>;

class clsGenXMLDocument {
 public:
  // Told before nodes of a document it registered with are freed.
  class Holder {
   public:
    // `removed` holds a node about to be freed and all its descendants.
    virtual void nodesRemoved(const clsGenXMLDocument& document, const NodeList& removed) = 0;
    // Every node below the document node is about to be freed.
    virtual void documentReplaced(const clsGenXMLDocument& document) = 0;
    // `node` is about to move to the end of its new parent's children.
    virtual void nodeMoving(const clsGenXMLDocument& /*document*/, pugi::xml_node /*node*/) {}

   protected:
    ~Holder() = default;
  };

  clsGenXMLDocument();
  ~clsGenXMLDocument();
  clsGenXMLDocument(const clsGenXMLDocument&) = delete;
  clsGenXMLDocument& operator=(const clsGenXMLDocument&) = delete;

  static XMLDocumentRef create() { return std::make_shared<clsGenXMLDocument>(); }

  // The document registered for the tree that holds `node`, or null when the
  // node lies in a plain pugixml document.
  static clsGenXMLDocument* owning(pugi::xml_node node);

  // The document node (parent of the root element) and the root element.
  pugi::xml_node documentNode() const { return dom_; }
  pugi::xml_node rootElement() const { return dom_.document_element(); }

  // Replaces the content with the parse of `text`, which the document keeps
  // and parses where it stands (pass it moved to spare a copy). On failure
  // (malformed, empty, not exactly one root element, or nested deeper than
  // kMaxDepth) the document is left empty. `amend`, when given, edits the
  // parsed tree before any holder or index sees it (raw pugixml edits are
  // safe there).
  bool load(std::string text, const std::function<void(pugi::xml_node root)>& amend = {});
  // Frees every node.
  void clear();

  // Appends a new element / a copy of `source` (from any tree) as the last
  // child of `parent`, which must lie in this document.
  pugi::xml_node appendElement(pugi::xml_node parent, const char* name);
  pugi::xml_node appendCopy(pugi::xml_node parent, pugi::xml_node source);
  // Moves `node` of this document to the end of `parent`'s children; the node
  // keeps its identity, so handles to it stay valid. Null on a cycle.
  pugi::xml_node appendMove(pugi::xml_node parent, pugi::xml_node node);
  // Frees `node` and its descendants after telling the holders.
  void remove(pugi::xml_node node);

  // Sets (or adds) attribute `name` of element `node` in any tree, keeping the
  // row indexes of the owning document in step.
  static void setAttribute(pugi::xml_node node, const char* name, std::string_view value);
  // Removes attribute `name` of element `node`, when it has one, the same way.
  static void removeAttribute(pugi::xml_node node, const char* name);

  // The rows named `element` whose attribute `attribute` equals `value`, in
  // document order (a missing attribute never matches). The list is valid
  // until the next change of the document.
  NodeSpan rowsWhere(std::string_view element, std::string_view attribute,
                     std::string_view value);
  pugi::xml_node firstRowWhere(std::string_view element, std::string_view attribute,
                               std::string_view value);
  // Builds now the index that rowsWhere(element, attribute, ...) looks up,
  // unless it is there: a loader calls it where it has just read the rows,
  // so that the first look-up after a load costs what any other does.
  void prepareIndex(std::string_view element, std::string_view attribute);
  // Whether rowsWhere(element, attribute, ...) answers from an index kept in
  // step, without first walking the rows to build one.
  bool isIndexed(std::string_view element, std::string_view attribute) const;
  // The rows named `element` that have at least one sub row named
  // `subElement` whose `attribute` equals `value`, in document order.
  NodeSpan rowsWithSubRowWhere(std::string_view element, std::string_view subElement,
                               std::string_view attribute, std::string_view value);

  RowChanges& changes() { return changes_; }

  void addHolder(Holder* holder);
  void removeHolder(Holder* holder);

  // Deepest nesting a loaded text may have; the record files nest three levels.
  static constexpr int kMaxDepth = 256;

 private:
  struct RowIndex {
    std::string element;
    std::string subElement;  // empty: the rows' own attribute
    std::string attribute;
    RowGroups groups;
  };

  // Brings the indexes up to date with `added`, just appended to `parent`.
  pugi::xml_node joined(pugi::xml_node parent, pugi::xml_node added);
  bool isRow(pugi::xml_node node) const;
  NodeSpan lookUp(std::string_view element, std::string_view subElement,
                  std::string_view attribute, std::string_view value);
  RowIndex& indexFor(std::string_view element, std::string_view subElement,
                     std::string_view attribute);
  // Calls visit(key) for each distinct value under which `row` belongs in `index`.
  template <typename Visit>
  static void forEachKey(const RowIndex& index, pugi::xml_node row, Visit&& visit);
  void addToGroup(RowIndex& index, std::string_view key, pugi::xml_node row);
  void prefetchRow(pugi::xml_node row) const;
  void indexRow(pugi::xml_node row);
  void unindexRow(pugi::xml_node row);
  bool unindexRow(RowIndex& index, pugi::xml_node row);
  void beforeAttributeWrite(pugi::xml_node node, const char* name);
  void afterAttributeWrite(pugi::xml_node node, const char* name);
  void subRowAdded(pugi::xml_node row, pugi::xml_node subRow);
  void dropSubRowIndexes(pugi::xml_node row, pugi::xml_node subRow, std::string_view attribute);
  void dropIndexes(const std::vector<const RowIndex*>& stale);
  void dropAllIndexes();
  void announceReplacement();
  // Notes a change inside the row that holds `node`, or the removal (or move
  // to the end) of `row`.
  void noteChange(pugi::xml_node node);
  void noteRemoval(pugi::xml_node row);

  pugi::xml_document dom_;
  // The text the tree was parsed from: its names and values point into it.
  std::string parsedText_;
  std::vector<std::unique_ptr<RowIndex>> indexes_;
  // The group last looked up or joined: a row just appended is usually
  // looked up next by its own value. Forgotten when its index goes.
  struct LastGroup {
    const RowIndex* index = nullptr;
    std::size_t place = 0;
  };
  LastGroup last_;
  std::vector<Holder*> holders_;
  RowChanges changes_;
};
