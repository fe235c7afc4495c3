// Record collections against plain pugixml doing the same work in the same
// run: filling 100,000 sent-message rows with two recipient sub rows each,
// 1,000 look-ups by UID, 1,000 look-ups by a recipient (sub-row field), and
// writing the document out. Prints a ratio table (records / pugixml) last.
//
// Each timed fill starts with every free page of the heap handed back to
// the system, so that both fills take their memory from the system alike.
// Without that, whether a fill found the pages of the run before still
// mapped depended on what else lay at the top of the heap when the run
// before freed its document: the reference paid for its page faults in some
// runs and not in others, and the ratio flipped between two values.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RatioReport.h"
#include "clsGenAPI.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

constexpr int kRows = 100'000;
constexpr int kLookups = 1'000;
constexpr int kRecipients = 5'000;
constexpr int32_t kMessSent = modGlobalVariables::MessSent;
constexpr int32_t kMessRecipient = modGlobalVariables::MessRecipient;

const std::vector<std::string>& messageUids() {
  static const std::vector<std::string> uids = [] {
    std::vector<std::string> made;
    made.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
      made.push_back(clsGenAPI::CreateGUID());
    }
    return made;
  }();
  return uids;
}

std::string recipientOf(int i) { return "R" + std::to_string(i % kRecipients); }

// A sent-message collection configured as the factory configures class 3.
std::unique_ptr<clsGenObject> sentMessages(bool linked) {
  auto sent = std::make_unique<clsGenObject>();
  sent->ClassType(kMessSent);
  sent->XMLElementBaseName("M");
  sent->XMLPrimaryTemplate(modGlobalFunctions::BuildXMLTemplate("M", kMessSent));
  sent->XMLSubElementBaseName("U");
  sent->XMLSubTemplate(modGlobalFunctions::BuildXMLTemplate("U", kMessRecipient));
  sent->SubClassType(kMessRecipient);
  sent->IsLinkedToGlobalXMLDoc(linked);
  XMLDocumentRef document;
  if (linked) document = modGenGlobals::ClassDocument[kMessSent];
  modGenFunctionsXML::XMLInitDocument(document, "", true);
  sent->XMLDocLinked(document);
  return sent;
}

void fillRecords(clsGenObject& sent) {
  const std::vector<int32_t> fields = {0, 1, 2, 3, 4};
  for (int i = 0; i < kRows; ++i) {
    const std::string& uid = messageUids()[i];
    sent.CreateNewRow(false, 0);
    sent.SetFields(fields,
                   {uid, "SENDER", "1", "2024-05-01 10:00:00", "Hello " + std::to_string(i)});
    sent.AddCurrentRow();
    sent.AddSubRow(0, uid, 0, recipientOf(i));
    sent.AddSubRow(0, uid, 0, recipientOf(i + 1));
  }
}

void fillPugi(pugi::xml_document& doc) {
  static const char* const kNames[] = {"UID", "SD", "ST", "TS", "CO",
                                       "PR",  "RT", "AMU", "MT", "RTS"};
  pugi::xml_node root = doc.append_child("TVR");
  for (int i = 0; i < kRows; ++i) {
    pugi::xml_node row = root.append_child("M");
    for (const char* name : kNames) row.append_attribute(name);
    row.attribute("UID").set_value(messageUids()[i].c_str());
    row.attribute("SD").set_value("SENDER");
    row.attribute("ST").set_value("1");
    row.attribute("TS").set_value("2024-05-01 10:00:00");
    row.attribute("CO").set_value(("Hello " + std::to_string(i)).c_str());
    for (int r : {i, i + 1}) {
      pugi::xml_node recipient = row.append_child("U");
      recipient.append_attribute("UID").set_value(recipientOf(r).c_str());
      recipient.append_attribute("ST");
    }
  }
}

clsGenObject& recordsFixture() {
  static const std::unique_ptr<clsGenObject> sent = [] {
    auto made = sentMessages(false);
    fillRecords(*made);
    return made;
  }();
  return *sent;
}

pugi::xml_document& pugiFixture() {
  static pugi::xml_document doc;
  if (!doc.first_child()) fillPugi(doc);
  return doc;
}

const std::string& lookupUid(int k) { return messageUids()[(k * 7919) % kRows]; }

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
  std::string text;
};

void recordsFill(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    messageUids();  // made once, outside every timed fill
    modGlobalVariables::InitGlobalVariables();
    auto sent = sentMessages(true);
    ::malloc_trim(0);
    state.ResumeTiming();
    fillRecords(*sent);
    benchmark::DoNotOptimize(sent->CountAll());
  }
}

// The document is freed outside the timed part, as the records' one is.
void pugiFill(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ::malloc_trim(0);
    state.ResumeTiming();
    auto doc = std::make_unique<pugi::xml_document>();
    fillPugi(*doc);
    benchmark::DoNotOptimize(doc->first_child());
    state.PauseTiming();
    doc.reset();
    state.ResumeTiming();
  }
}

void recordsLookupByUid(benchmark::State& state) {
  clsGenObject& sent = recordsFixture();
  for (auto _ : state) {
    for (int k = 0; k < kLookups; ++k) {
      sent.PC_SelectSingleNode(0, lookupUid(k));
      benchmark::DoNotOptimize(sent.GetField(4));
    }
  }
}

// The first look-ups after a load pay for building the index.
void recordsLookupByUidAfterLoad(benchmark::State& state) {
  const std::string text =
      modGenFunctionsXML::XMLToString(recordsFixture().XMLDocLinked()->documentNode());
  auto sent = sentMessages(false);
  XMLDocumentRef document = sent->XMLDocLinked();
  for (auto _ : state) {
    state.PauseTiming();
    modGenFunctionsXML::XMLLoadFromString(document, text);
    state.ResumeTiming();
    for (int k = 0; k < kLookups; ++k) {
      sent->PC_SelectSingleNode(0, lookupUid(k));
      benchmark::DoNotOptimize(sent->GetField(4));
    }
  }
}

void pugiLookupByUid(benchmark::State& state) {
  const pugi::xml_node root = pugiFixture().document_element();
  for (auto _ : state) {
    for (int k = 0; k < kLookups; ++k) {
      const pugi::xml_node row = root.find_child_by_attribute("M", "UID", lookupUid(k).c_str());
      benchmark::DoNotOptimize(std::string(row.attribute("CO").value()));
    }
  }
}

void recordsLookupBySubField(benchmark::State& state) {
  clsGenObject& sent = recordsFixture();
  for (auto _ : state) {
    for (int k = 0; k < kLookups; ++k) {
      benchmark::DoNotOptimize(sent.SelectRowsBySubField(0, recipientOf(k * 5))->size());
    }
  }
}

void pugiLookupBySubField(benchmark::State& state) {
  const pugi::xml_node root = pugiFixture().document_element();
  for (auto _ : state) {
    for (int k = 0; k < kLookups; ++k) {
      const std::string wanted = recipientOf(k * 5);
      std::vector<pugi::xml_node> rows;
      for (const pugi::xml_node row : root.children("M")) {
        for (const pugi::xml_node recipient : row.children("U")) {
          if (std::strcmp(recipient.attribute("UID").value(), wanted.c_str()) == 0) {
            rows.push_back(row);
            break;
          }
        }
      }
      benchmark::DoNotOptimize(rows.size());
    }
  }
}

void recordsSerialise(benchmark::State& state) {
  const XMLDocumentRef& document = recordsFixture().XMLDocLinked();
  for (auto _ : state) {
    benchmark::DoNotOptimize(modGenFunctionsXML::XMLToString(document->documentNode()).size());
  }
}

void pugiSerialise(benchmark::State& state) {
  pugi::xml_document& doc = pugiFixture();
  for (auto _ : state) {
    StringWriter writer;
    doc.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
    benchmark::DoNotOptimize(writer.text.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"records/fill", recordsFill},
      {"pugixml/fill", pugiFill},
      {"records/lookup-uid", recordsLookupByUid},
      {"records/lookup-uid-after-load", recordsLookupByUidAfterLoad},
      {"pugixml/lookup-uid", pugiLookupByUid},
      {"records/lookup-sub-field", recordsLookupBySubField},
      {"pugixml/lookup-sub-field", pugiLookupBySubField},
      {"records/serialise", recordsSerialise},
      {"pugixml/serialise", pugiSerialise},
  };
  const std::vector<RatioRow> table = {
      {"fill 100000 rows with 200000 sub rows", "records/fill", "pugixml/fill"},
      {"1000 look-ups by UID", "records/lookup-uid", "pugixml/lookup-uid"},
      {"1000 look-ups by UID right after a load", "records/lookup-uid-after-load",
       "pugixml/lookup-uid"},
      {"1000 look-ups by sub-row field", "records/lookup-sub-field", "pugixml/lookup-sub-field"},
      {"serialise 100000 rows", "records/serialise", "pugixml/serialise"},
  };
  modGlobalVariables::InitGlobalVariables();
  messageUids();  // made before any timing starts
  return runWithRatios(argc, argv, benchmarks, table, "records (ms)", "pugixml (ms)");
}
