// Row changes saved through a record collection's journal, the journal then
// damaged, then loaded. The input is plain text, one step a line:
//   first line   "e" somewhere in it: the data file is enciphered
//   a UID VALUE  adds a row with that UID (several rows may share one)
//   c UID VALUE  sets a field of the first row with that UID
//   d UID        removes the first row with that UID
//   m UID        moves the first row with that UID to the end
//   s            saves (an append to the journal)
//   f            folds (rewrites the data file whole, the journal goes)
//   x OFFSET     cuts the journal at OFFSET (modulo its size plus one)
//   b OFFSET XOR changes one byte of the journal past its first append (the
//                offset modulo that part's size, by XOR modulo 255 plus one)
// The changes run in order; the damage is done after them all, to the last
// journal: a cut when the input names one, else the flips.
//
// Checked on the rows that a load gives (every row, in order):
//  - a second load gives the same rows as the first (replay is idempotent);
//  - undamaged, they are the rows of the last save;
//  - cut, they are the rows after the last save that the cut left whole, or
//    after the one it tore (a save applies all or none), and nothing is set
//    aside as damaged (a torn tail is cut silently);
//  - flipped, every row of a UID that no damaged save touched is as the last
//    save left it, in the same order (a damaged record changes only its own
//    UID's rows); and when no flip touched a record's length, so that every
//    damaged record is whole and fails its check, the journal is kept aside
//    (damage is never cut silently, the last record's included).
// Every input starts from an empty data folder.
#include <QDir>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "FuzzSupport.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFileName = "D900.dat";
constexpr const char* kOwner = "OWNER";
constexpr const char* kRow = "U";
constexpr int32_t kUIDField = 0;
constexpr int32_t kValueField = 2;
constexpr std::size_t kMaxSteps = 256;

fs::path journalPath() {
  return fs::path(fuzzDataFolder()) / (std::string(".") + kFileName + ".jnl");
}

std::uint64_t journalSize() {
  std::error_code error;
  const std::uint64_t size = fs::file_size(journalPath(), error);
  return error ? 0 : size;
}

void configure(clsGenObject& records, bool encrypted) {
  records.ClassType(modGlobalVariables::User);
  records.XMLElementBaseName(kRow);
  records.XMLPrimaryTemplate(modGlobalFunctions::BuildXMLTemplate(kRow, modGlobalVariables::User));
  records.ClassOwner(kOwner);
  records.FileName(kFileName);
  records.FileContentEncrypted(encrypted);
  records.ValidateOwnershipOnLoadingXMLDoc(true);
}

// A collection's rows, in order.
struct Row {
  std::string uid;
  std::string text;
  bool operator==(const Row&) const = default;
};
using Rows = std::vector<Row>;

Rows rowsOf(const clsGenObject& records) {
  Rows rows;
  for (const pugi::xml_node row : records.XMLDocLinked()->rootElement().children()) {
    rows.push_back({row.attribute("UID").value(), modGenFunctionsXML::XMLToString(row)});
  }
  return rows;
}

Rows without(const Rows& rows, const std::set<std::string>& uids) {
  Rows kept;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(kept),
               [&](const Row& row) { return uids.count(row.uid) == 0; });
  return kept;
}

Rows loadedRows(bool encrypted) {
  clsGenObject records;
  configure(records, encrypted);
  records.LoadXMLDoc(true);
  return rowsOf(records);
}

// A save since the journal was last absent: the rows it left, where its
// append ended, and the UIDs that the steps before it named.
struct Save {
  Rows rows;
  std::uint64_t end = 0;
  std::set<std::string> touched;
};

// What the input asks to do to the journal.
struct Damage {
  std::optional<std::uint64_t> cut;
  std::vector<std::pair<std::uint64_t, std::uint8_t>> flips;
};

// A collection, loaded from an empty data folder, that takes the input's row
// changes, saves and folds, and keeps the saves made since its journal was
// last absent (the first is the rows the data file holds).
class Run {
 public:
  explicit Run(bool encrypted) {
    configure(records_, encrypted);
    records_.LoadXMLDoc(true);
    startJournal();
  }

  void step(char kind, const std::string& uid, const std::string& value) {
    switch (kind) {
      case 'a':
        records_.CreateNewRow(false, kUIDField);
        records_.SetField(kUIDField, uid);
        records_.SetField(kValueField, value);
        records_.AddCurrentRow();
        break;
      case 'c': records_.SetRowFieldByKey(kUIDField, uid, kValueField, value); break;
      case 'd': records_.Delete(false, kUIDField, uid, false); break;
      case 'm':
        if (const pugi::xml_node row = records_.XMLDocLinked()->firstRowWhere(kRow, "UID", uid)) {
          records_.AddRow(row);
        }
        break;
      case 's': records_.SaveXMLDoc(); return endSave();
      case 'f': records_.FoldXMLDoc(); return endSave();
      default: return;
    }
    // A UID is an attribute's text, which ends at its first NUL.
    touched_.insert(uid.c_str());
  }

  const std::vector<Save>& saves() const { return saves_; }

 private:
  // The journal's saves start over whenever it is gone.
  void startJournal() {
    saves_ = {{rowsOf(records_), 0, {}}};
    touched_.clear();
  }

  void endSave() {
    const std::uint64_t end = journalSize();
    if (end == 0) return startJournal();
    saves_.push_back({rowsOf(records_), end, touched_});
    touched_.clear();
  }

  clsGenObject records_;
  std::vector<Save> saves_;
  std::set<std::string> touched_;
};

std::uint64_t number(std::istringstream& words) {
  std::uint64_t value = 0;
  words >> value;
  return value;
}

// What damage() did to the journal's records.
struct Damaged {
  // The UIDs that the damaged saves touched.
  std::set<std::string> touched;
  // Some byte changed, and whether one of a record's length.
  bool changed = false;
  bool length = false;
};

// Cuts or flips the journal's bytes.
Damaged damage(const Damage& asked, const std::vector<Save>& saves) {
  const std::uint64_t size = saves.back().end;
  if (size == 0) return {};
  if (asked.cut) {
    fs::resize_file(journalPath(), *asked.cut % (size + 1));
    return {};
  }
  // The first append names the journal: damage there is the whole journal's.
  if (saves.size() < 3 || asked.flips.empty() || saves[1].end == size) return {};
  const std::uint64_t first = saves[1].end;
  std::string bytes(size, '\0');
  {
    std::ifstream in(journalPath(), std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
  }
  const std::string before = bytes;
  Damaged damaged;
  for (const auto& [offset, mask] : asked.flips) {
    const std::uint64_t at = first + offset % (size - first);
    bytes[at] = static_cast<char>(bytes[at] ^ (mask % 255 + 1));
    const auto save = std::find_if(saves.begin(), saves.end(),
                                   [&](const Save& made) { return made.end > at; });
    damaged.touched.insert(save->touched.begin(), save->touched.end());
  }
  // Two flips of one byte may undo each other.
  for (std::uint64_t at = first; at < size; ++at) {
    if (bytes[at] == before[at]) continue;
    damaged.changed = true;
    // Each append after the first is one record, its length leading it.
    const auto save = std::find_if(saves.begin(), saves.end(),
                                   [&](const Save& made) { return made.end > at; });
    damaged.length = damaged.length || at - std::prev(save)->end < 4;
  }
  std::ofstream(journalPath(), std::ios::binary | std::ios::trunc) << bytes;
  return damaged;
}

// The rows after the last save the cut left whole, or after the one it tore.
bool cutToWholeSaves(const Rows& loaded, const std::vector<Save>& saves, std::uint64_t cut) {
  std::size_t whole = 0;
  while (whole + 1 < saves.size() && saves[whole + 1].end <= cut) ++whole;
  return loaded == saves[whole].rows ||
         (whole + 1 < saves.size() && loaded == saves[whole + 1].rows);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  fuzzStartingDataFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzStartingDataFolder().restore();
  std::istringstream lines(fuzzText(data, size));
  std::string line;
  std::getline(lines, line);
  const bool encrypted = line.find('e') != std::string::npos;
  Damage asked;
  std::vector<Save> saves;
  {
    Run run(encrypted);
    for (std::size_t steps = 0; steps < kMaxSteps && std::getline(lines, line); ++steps) {
      std::istringstream words(line);
      std::string kind, uid;
      words >> kind;
      if (kind == "x") {
        asked.cut = number(words);
      } else if (kind == "b") {
        const std::uint64_t offset = number(words);
        asked.flips.emplace_back(offset, static_cast<std::uint8_t>(number(words)));
      } else if (kind.size() == 1) {
        words >> uid;
        words.get();
        std::string value;
        std::getline(words, value);
        run.step(kind[0], uid, value);
      }
    }
    saves = run.saves();
  }
  const Damaged damaged = damage(asked, saves);

  const Rows loaded = loadedRows(encrypted);
  require(loadedRows(encrypted) == loaded, "a second load gives other rows");
  if (asked.cut) {
    require(cutToWholeSaves(loaded, saves, *asked.cut % (saves.back().end + 1)),
            "a cut journal gives rows of no save");
    require(!damagedCopyKept(fuzzDataFolder()), "a cut journal is set aside as damaged");
  } else if (damaged.touched.empty()) {
    require(loaded == saves.back().rows, "the journal does not give the rows saved");
  } else {
    require(without(loaded, damaged.touched) == without(saves.back().rows, damaged.touched),
            "a damaged record changes rows of other UIDs");
    require(!damaged.changed || damaged.length || damagedCopyKept(fuzzDataFolder()),
            "a damaged record was cut silently");
  }
  return 0;
}
