// Loads a record collection document from arbitrary text, then walks it the
// way the windows do: cursors over rows and sub rows, field reads (stored and
// computed), look-ups, writes and removals. Whatever loads must write out as
// text that loads back to the same text.
#include <cstdlib>

#include "FuzzSupport.h"
#include "TvrError.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGlobalVariables.h"

namespace {

constexpr int kMaxSteps = 64;
constexpr int32_t kComputedFields[] = {50000, 50001, 50002, 50500, 50501};

// A step of the walk, which names fields, rows and classes the document may
// lack: refused with a field outside the class's table (9), no row where one
// is needed (91), cursor misuse (1000), a counter overflow (6) or a class
// without a template (5).
template <typename Step>
void step(Step work) {
  attempt({kErrSubscript, kErrObjectNotSet, kErrApplicationDefined, kErrOverflow, kErrInvalidCall},
          work);
}

void readFields(clsGenObject& records, bool subRow) {
  for (int32_t field = 0; field < 30; ++field) {
    step([&] { subRow ? records.GetFieldFromSubRow(field) : records.GetField(field); });
  }
  if (!subRow) {
    for (int32_t field : kComputedFields) step([&] { records.GetField(field); });
  }
}

void walkSubRows(clsGenObject& records) {
  step([&] {
    records.SC_Init(true);
    for (int step = 0; step < kMaxSteps && !records.SC_EOL(); ++step) {
      readFields(records, true);
      records.SC_MoveNext();
    }
    if (records.SC_Count() > 0) {
      records.SC_MoveLast();
      records.SC_MovePrevious();
    }
  });
}

void walk(clsGenObject& records) {
  step([&] {
    records.PC_Init(true);
    for (int step = 0; step < kMaxSteps && !records.PC_EndOfList(); ++step) {
      readFields(records, false);
      walkSubRows(records);
      records.PC_MoveNext();
    }
  });
  step([&] {
    if (records.PC_Count() == 0) return;
    records.PC_MoveLast();
    records.PC_MovePrevious();
    const std::string key = records.GetField(0);
    records.PC_SelectNodes(0, key);
    records.SelectRowsBySubField(0, key);
    records.PC_CurrentPos(0, key);
    records.Delete(false, 0, key, false);
    records.PC_MoveFirst();
    records.SetField(1, key);
    records.AddRow(records.GetCurrent());
    records.SetRowFieldByKey(0, key, 2, "\t<&'\"\r\n>");
    records.MoveSubRow(0, key, 1, key, 0, key);
    records.DeleteSubRow(0, key, 0, key);
  });
}

void requireStableText(const XMLDocumentRef& document) {
  const std::string text = modGenFunctionsXML::XMLToString(document->documentNode());
  XMLDocumentRef again;
  if (!modGenFunctionsXML::XMLLoadFromString(again, text)) std::abort();
  if (modGenFunctionsXML::XMLToString(again->documentNode()) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  XMLDocumentRef document;
  if (!modGenFunctionsXML::XMLLoadFromString(document, fuzzText(data, size))) return 0;
  requireStableText(document);
  const pugi::xml_node row = document->rootElement().first_child();
  clsGenObject records;
  records.ClassType(static_cast<int32_t>(size % 13));
  records.SubClassType(static_cast<int32_t>((size / 13) % 13));
  records.XMLElementBaseName(row.name());
  records.XMLSubElementBaseName(row.first_child().name());
  records.XMLDocLinked(document);
  walk(records);
  requireStableText(document);
  return 0;
}
