#include "DataJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "AtomicFile.h"
#include "TvrError.h"
#include "clsGenAPI.h"
#include "clsGenEncryption.h"
#include "clsGenXMLDocument.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"

namespace {

constexpr const char* kUIDAttribute = "UID";
constexpr char kReplace = 'R';
constexpr char kAppend = 'A';
constexpr char kRemove = 'D';
constexpr char kJournalId = 'H';
constexpr char kSave = 'S';
constexpr char kIdentitySeparator = '\t';
// Cipher keys lie between these values (clsGenEncryption).
constexpr unsigned char kLowestKey = 1;
constexpr unsigned char kHighestKey = 250;
constexpr std::size_t kHeaderBytes = 8;
// The id record is the first and short: this much of a journal holds it.
constexpr std::size_t kIdRecordBytes = 512;
constexpr std::uint64_t kLeastFoldBytes = 4u << 20;
// A journal is folded once it outgrows this share of its data file: a start
// replays at most that much besides reading the file.
constexpr std::uint64_t kFoldShare = 16;
// A record longer than this cannot have been written by an append.
constexpr std::uint32_t kMaxPayload = 1u << 30;

std::optional<std::uint64_t> fixedFoldBound;
std::function<void(DataJournal::Step)> stepHook;
// Journals appended to without a sync since (flushWritten).
std::set<std::string> writtenJournals;
// Journals whose fold failed, by the path of their data file's journal (a
// journal set aside for a fold counts as that one): the size it had then.
std::unordered_map<std::string, std::uint64_t> refusedFolds;

constexpr const char* kBeingFoldedSuffix = ".fold";

// Whether the blank-separated ids of `folded` include `id`.
bool namesJournal(std::string_view folded, std::string_view id) {
  for (std::size_t at = 0; at < folded.size();) {
    const std::size_t end = std::min(folded.find(' ', at), folded.size());
    if (folded.substr(at, end - at) == id) return true;
    at = end + 1;
  }
  return false;
}

bool knownKind(char kind) {
  return kind == kJournalId || kind == kSave || kind == kReplace || kind == kAppend || kind == kRemove;
}

// Tables for eight bytes at a time ("slicing by eight"): table k gives the
// CRC of a byte followed by k zero bytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables crcTables() {
  CrcTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
    }
  }
  return tables;
}

void putWord(std::string& out, std::uint32_t word) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((word >> shift) & 0xFF));
}

std::uint32_t wordAt(std::string_view bytes, std::size_t offset) {
  std::uint32_t word = 0;
  for (int i = 3; i >= 0; --i) {
    word = (word << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  }
  return word;
}

// The rows under a root that replay changes, by UID. Only the UIDs named
// when it is made are found at once, as a walk of every row; another is
// looked for when it is first changed, so that a journal that changes few
// rows of a large file costs little beside reading it.
class RowsByUID {
 public:
  RowsByUID(pugi::xml_node root, const std::unordered_set<std::string_view>& named) : root_(root) {
    for (const std::string_view uid : named) rows_.try_emplace(std::string(uid));
    for (pugi::xml_node row = root.first_child(); row; row = row.next_sibling()) {
      if (row.type() != pugi::node_element) continue;
      const std::string_view uid = row.attribute(kUIDAttribute).value();
      if (named.count(uid) != 0) rows_.find(std::string(uid))->second.push_back(row);
    }
  }

  void replace(pugi::xml_node row) {
    std::vector<pugi::xml_node>& same = rowsOf(row.attribute(kUIDAttribute).value());
    if (same.empty()) {
      same.push_back(root_.append_copy(row));
      return;
    }
    const pugi::xml_node old = same.front();
    same.front() = root_.insert_copy_before(row, old);
    root_.remove_child(old);
  }

  void append(pugi::xml_node row) {
    rowsOf(row.attribute(kUIDAttribute).value()).push_back(root_.append_copy(row));
  }

  void remove(const std::string& uid) {
    std::vector<pugi::xml_node>& same = rowsOf(uid);
    for (const pugi::xml_node row : same) root_.remove_child(row);
    same.clear();
  }

 private:
  std::vector<pugi::xml_node>& rowsOf(const std::string& uid) {
    const auto [found, added] = rows_.try_emplace(uid);
    if (added) {
      for (pugi::xml_node row = root_.first_child(); row; row = row.next_sibling()) {
        if (row.type() == pugi::node_element && uid == row.attribute(kUIDAttribute).value()) {
          found->second.push_back(row);
        }
      }
    }
    return found->second;
  }

  pugi::xml_node root_;
  std::unordered_map<std::string, std::vector<pugi::xml_node>> rows_;
};

// Whether the record at `offset` of `bytes` runs past their end: its header,
// or the payload its length names, is cut short.
bool runsPastEnd(std::string_view bytes, std::size_t offset) {
  const std::size_t left = bytes.size() - offset;
  return left < kHeaderBytes || wordAt(bytes, offset) > left - kHeaderBytes;
}

// The payload of the intact record at `offset` of `bytes`; nullopt when
// the record there is short or fails its check.
std::optional<std::string_view> recordAt(std::string_view bytes, std::size_t offset) {
  if (bytes.size() - offset < kHeaderBytes) return std::nullopt;
  const std::uint32_t length = wordAt(bytes, offset);
  if (length == 0 || length > kMaxPayload || bytes.size() - offset - kHeaderBytes < length) {
    return std::nullopt;
  }
  const std::string_view payload = bytes.substr(offset + kHeaderBytes, length);
  if (DataJournal::crc32(payload) != wordAt(bytes, offset + 4)) return std::nullopt;
  return payload;
}

// One change of a row: a kind and its text.
struct Entry {
  char kind;
  std::string_view text;
};

// The entries of a record's text: itself for the records of older builds,
// its entries for a save; nullopt when a save's entries do not fit it.
std::optional<std::vector<Entry>> entriesOf(std::string_view text) {
  if (text.front() != kSave) return std::vector<Entry>{{text.front(), text.substr(1)}};
  std::vector<Entry> entries;
  for (std::size_t at = 1; at < text.size();) {
    if (text.size() - at < 4) return std::nullopt;
    const std::uint32_t length = wordAt(text, at);
    at += 4;
    if (length == 0 || text.size() - at < length) return std::nullopt;
    entries.push_back({text[at], text.substr(at + 1, length - 1)});
    at += length;
  }
  return entries;
}

// Whether an entry holds a row of another name than `element` ("": any name).
bool rowOfAnotherName(const Entry& entry, std::string_view element) {
  if (element.empty() || (entry.kind != kReplace && entry.kind != kAppend)) return false;
  const std::string_view text = entry.text;
  if (text.size() < element.size() + 2 || text[0] != '<' || text.substr(1, element.size()) != element) {
    return true;
  }
  const char after = text[element.size() + 1];
  return after != ' ' && after != '/' && after != '>' && after != '\t' && after != '\n' && after != '\r';
}

// The UID an entry names: a removal's text, or the "UID" attribute of a
// row's start tag as the serialiser writes it (values hold no raw quote or
// '>'); "" when none is found there, and replay then finds the row's UID
// when it applies it.
std::string_view uidOf(const Entry& entry) {
  if (entry.kind == kRemove) return entry.text;
  const std::string_view tag = entry.text.substr(0, entry.text.find('>'));
  constexpr std::string_view kMark = " UID=\"";
  const std::size_t at = tag.find(kMark);
  if (at == std::string_view::npos) return {};
  const std::size_t start = at + kMark.size();
  const std::size_t end = tag.find('"', start);
  return end == std::string_view::npos ? std::string_view() : tag.substr(start, end - start);
}

// Applies one entry; false when it holds nothing applicable.
bool applyEntry(RowsByUID& rows, const Entry& entry) {
  if (entry.kind == kRemove) {
    rows.remove(std::string(entry.text));
    return true;
  }
  pugi::xml_document parsed;
  constexpr unsigned kOptions = pugi::parse_default & ~pugi::parse_eol;
  if (!parsed.load_buffer(entry.text.data(), entry.text.size(), kOptions, pugi::encoding_utf8)) {
    return false;
  }
  const pugi::xml_node row = parsed.document_element();
  if (!row || row.attribute(kUIDAttribute).empty()) return false;
  if (entry.kind == kReplace) {
    rows.replace(row);
  } else if (entry.kind == kAppend) {
    rows.append(row);
  } else {
    return false;
  }
  return true;
}

// The bytes of the regular file `path` (not a link); nullopt when there is
// none. Raises when it cannot be read.
std::optional<std::string> regularFileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && (errno == ENOENT || errno == ELOOP)) return std::nullopt;
  if (fd < 0) modGenFunctionsFile::raiseSystemError(errno, "Cannot open", path);
  struct stat info {};
  std::string bytes;
  int error = ::fstat(fd, &info) != 0 ? errno : 0;
  if (error == 0 && S_ISREG(info.st_mode)) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : 0;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
  }
  ::close(fd);
  if (error != 0) modGenFunctionsFile::raiseSystemError(error, "Cannot read", path);
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  return bytes;
}

std::uint64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
             ? static_cast<std::uint64_t>(info.st_size)
             : 0;
}

}  // namespace

DataJournal::DataJournal(const std::string& dataFilePath, bool encrypted, std::string owner)
    : owner_(std::move(owner)), encrypted_(encrypted) {
  const auto slash = dataFilePath.rfind('/');
  fileName_ = slash == std::string::npos ? dataFilePath : dataFilePath.substr(slash + 1);
  path_ = platform::folderOf(dataFilePath) + "/." + fileName_ + ".jnl";
  foldsKey_ = path_;
}

DataJournal::Kind DataJournal::kind() const {
  struct stat info {};
  if (::lstat(path_.c_str(), &info) != 0) return Kind::kMissing;
  return S_ISREG(info.st_mode) ? Kind::kFile : Kind::kOther;
}

std::uint64_t DataJournal::size() const { return fileSize(path_); }

std::string DataJournal::bytes() const { return regularFileBytes(path_).value_or(std::string()); }

namespace {

std::string entry(char kind, std::string text) {
  text.insert(text.begin(), kind);
  return text;
}

// The rows at the end of the document that must be written again, in
// document order: every row of the UIDs in `tail`, and every row after the
// first of them, whose UIDs join the tail too. `needed` counts the rows of
// the UIDs in `tail`. Rows are only ever added at the end, so the walk
// usually passes just the rows placed since the last save. Empty when a row
// without UID is passed: only a rewrite of the whole file holds it.
std::optional<std::vector<pugi::xml_node>> tailRows(
    clsGenXMLDocument& document, std::string_view element,
    std::set<std::string>& tail, std::size_t needed) {
  std::vector<pugi::xml_node> rows;
  pugi::xml_node row = document.rootElement().last_child();
  for (; row && rows.size() < needed; row = row.previous_sibling()) {
    if (row.type() != pugi::node_element || row.name() != element) continue;
    const std::string uid = row.attribute(kUIDAttribute).value();
    if (uid.empty()) return std::nullopt;
    if (tail.insert(uid).second) {
      needed += document.rowsWhere(element, kUIDAttribute, uid).size();
    }
    rows.push_back(row);
  }
  if (rows.size() < needed) return std::nullopt;
  std::reverse(rows.begin(), rows.end());
  return rows;
}

}  // namespace

DataJournal::Records DataJournal::recordsFor(clsGenXMLDocument& document, std::string_view element,
                                             const std::vector<RowChanges::Touched>& rows) const {
  // A row changed where it stands is replaced in place. A row that went is
  // removed. Rows placed at the end since the last save (added, moved,
  // renamed, or sharing a UID with another row) are written as the removal
  // of their UIDs and the rows again in document order, so that replaying
  // the records rebuilds the rows' order.
  Records out;
  std::vector<pugi::xml_node> inPlace;
  std::set<std::string> tail;
  std::size_t needed = 0;
  for (const RowChanges::Touched& touched : rows) {
    const NodeSpan now = document.rowsWhere(element, kUIDAttribute, touched.uid);
    if (!touched.removed && now.size() == 1) {
      inPlace.push_back(now.front());
    } else if (!touched.removed && now.empty()) {
      // Only a removal takes a row away: a changed row not found here is
      // named otherwise.
      out.complete = false;
    } else if (now.empty()) {
      out.records.push_back(entry(kRemove, touched.uid));
    } else if (tail.insert(touched.uid).second) {
      needed += now.size();
    }
  }
  std::vector<pugi::xml_node> placed;
  if (!tail.empty()) {
    auto found = tailRows(document, element, tail, needed);
    if (!found) {
      out.complete = false;
      return out;
    }
    placed = std::move(*found);
  }
  for (const pugi::xml_node row : inPlace) {
    if (!tail.contains(row.attribute(kUIDAttribute).value())) {
      out.records.push_back(entry(kReplace, modGenFunctionsXML::XMLToString(row)));
    }
  }
  for (const std::string& uid : tail) out.records.push_back(entry(kRemove, uid));
  for (const pugi::xml_node row : placed) {
    out.records.push_back(entry(kAppend, modGenFunctionsXML::XMLToString(row)));
  }
  return out;
}

std::uint64_t DataJournal::append(const std::vector<std::string>& records, bool flush) const {
  std::string bytes;
  // A journal that a replay cut down to nothing starts afresh as well.
  const bool fresh = size() == 0;
  if (fresh) {
    bytes = frame(kJournalId, clsGenAPI::CreateGUID() + kIdentitySeparator + fileName_ + kIdentitySeparator + owner_);
  }
  std::string save;
  for (const std::string& record : records) {
    putWord(save, static_cast<std::uint32_t>(record.size()));
    save += record;
  }
  bytes += frame(kSave, save);
  std::uint64_t end = 0;
  if (const auto failure = platform::appendToFile(path_, bytes, flush || fresh, end)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
  if (flush || fresh) {
    writtenJournals.erase(path_);
  } else {
    writtenJournals.insert(path_);
  }
  stepDone(Step::kAppend);
  return end;
}

void DataJournal::flush() const {
  if (const auto failure = platform::flushFile(path_)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
  writtenJournals.erase(path_);
  stepDone(Step::kFlush);
}

bool DataJournal::written() const { return writtenJournals.count(path_) != 0; }

void DataJournal::flushWritten() {
  while (!writtenJournals.empty()) {
    const std::string path = *writtenJournals.begin();
    // A journal that went was folded into its data file, which is on disk.
    const auto failure = platform::flushFile(path);
    if (failure && failure->error != ENOENT) {
      modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path);
    }
    writtenJournals.erase(path);
    if (!failure) stepDone(Step::kFlush);
  }
}

bool DataJournal::anyWritten() { return !writtenJournals.empty(); }

DataJournal::Replayed DataJournal::replayOnto(pugi::xml_node root, std::string_view element,
                                              bool cutTornTail) const {
  Replayed out;
  const Kind at = kind();
  out.found = at != Kind::kMissing;
  out.notAFile = at == Kind::kOther;
  if (at != Kind::kFile) return out;
  // Only a regular file is opened: a named pipe would block the open.
  const std::optional<std::string> stored = regularFileBytes(path_);
  if (!stored) {
    out.notAFile = true;
    return out;
  }
  const std::string& bytes = *stored;
  std::vector<std::string> texts;
  Identity identity;
  std::size_t offset = 0;
  std::size_t intactEnd = 0;
  bool torn = false;
  while (offset < bytes.size()) {
    if (const std::optional<std::string_view> payload = recordAt(bytes, offset)) {
      // A checked record that holds nothing applicable is passed over.
      std::optional<std::string> text = payloadText(*payload);
      if (text && !text->empty() && offset == 0 && text->front() == kJournalId) {
        identity = identityOf(std::string_view(*text).substr(1));
      } else if (text && !text->empty()) {
        texts.push_back(std::move(*text));
      }
      offset += kHeaderBytes + payload->size();
      intactEnd = offset;
      continue;
    }
    const std::optional<std::size_t> next = nextIntact(bytes, offset + 1);
    if (!next && runsPastEnd(bytes, offset)) {
      torn = true;
      break;
    }
    // Whose journal this is, the first record says: nothing proves it now.
    if (offset == 0) {
      out.unproven = true;
      return out;
    }
    out.damaged = true;
    if (!next) break;
    offset = *next;
  }
  out.legacy = !identity.named;
  std::vector<std::vector<Entry>> saves;
  for (const std::string& text : texts) {
    // A save whose entries do not fit was not written by an append: skipped whole.
    if (std::optional<std::vector<Entry>> entries = entriesOf(text)) saves.push_back(std::move(*entries));
  }
  out.foreign = identity.named && !identity.ours;
  for (const std::vector<Entry>& save : saves) {
    for (const Entry& entry : save) out.foreign = out.foreign || rowOfAnotherName(entry, element);
  }
  out.folded = !identity.id.empty() && namesJournal(root.attribute(kFoldedAttribute).value(), identity.id);
  if (out.foreign || out.folded) return out;
  std::unordered_set<std::string_view> named;
  for (const std::vector<Entry>& save : saves) {
    for (const Entry& entry : save) named.insert(uidOf(entry));
  }
  RowsByUID rows(root, named);
  for (const std::vector<Entry>& save : saves) {
    for (const Entry& entry : save) applyEntry(rows, entry);
  }
  if (!cutTornTail || !torn) return out;
  if (const auto failure = platform::truncateDurably(path_, intactEnd)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
  return out;
}

std::optional<char> DataJournal::kindAt(std::string_view bytes, std::size_t offset,
                                        std::size_t length) const {
  if (!encrypted_) return bytes[offset];
  // Keys K0, K2, K1 lead the enciphered text and K3 ends it; its first
  // character is enciphered with K0.
  if (length < 5) return std::nullopt;
  for (const std::size_t key : {offset, offset + 1, offset + 2, offset + length - 1}) {
    const auto value = static_cast<unsigned char>(bytes[key]);
    if (value < kLowestKey || value > kHighestKey) return std::nullopt;
  }
  return static_cast<char>(static_cast<unsigned char>(bytes[offset + 3]) -
                           static_cast<unsigned char>(bytes[offset]));
}

std::optional<std::size_t> DataJournal::nextIntact(std::string_view bytes, std::size_t from) const {
  for (std::size_t offset = from; offset + kHeaderBytes < bytes.size(); ++offset) {
    const std::uint32_t length = wordAt(bytes, offset);
    if (length == 0 || length > kMaxPayload || bytes.size() - offset - kHeaderBytes < length) continue;
    // The kind byte rules out most offsets before the CRC is computed.
    const std::optional<char> kind = kindAt(bytes, offset + kHeaderBytes, length);
    if (kind && knownKind(*kind) && recordAt(bytes, offset)) return offset;
  }
  return std::nullopt;
}

DataJournal::Identity DataJournal::identityOf(std::string_view text) const {
  Identity identity;
  const auto first = text.find(kIdentitySeparator);
  identity.id = std::string(text.substr(0, first));
  if (first == std::string_view::npos) return identity;
  const std::string_view rest = text.substr(first + 1);
  const auto second = rest.find(kIdentitySeparator);
  identity.named = true;
  identity.ours = second != std::string_view::npos && rest.substr(0, second) == fileName_ &&
                  rest.substr(second + 1) == owner_;
  return identity;
}

std::string DataJournal::id() const {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  std::string bytes(kIdRecordBytes, '\0');
  const ssize_t got = ::read(fd, bytes.data(), bytes.size());
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  const std::optional<std::string_view> payload = recordAt(bytes, 0);
  const std::optional<std::string> text = payload ? payloadText(*payload) : std::nullopt;
  if (!text || text->empty() || text->front() != kJournalId) return {};
  return identityOf(std::string_view(*text).substr(1)).id;
}

void DataJournal::remove() const {
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    modGenFunctionsFile::raiseSystemError(errno, "Cannot delete", path_);
  }
  refusedFolds.erase(foldsKey_);
  stepDone(Step::kRemove);
}

DataJournal DataJournal::beingFolded() const {
  DataJournal folded = *this;
  folded.path_ += kBeingFoldedSuffix;
  return folded;
}

void DataJournal::setAsideForFold() const {
  const std::string aside = beingFolded().path();
  // The folder's next sync (when the next journal or the folded file is
  // made) keeps the new name; until then either name replays alike.
  if (::rename(path_.c_str(), aside.c_str()) != 0) {
    modGenFunctionsFile::raiseSystemError(errno, "Cannot rename", path_);
  }
}

bool DataJournal::dueForFold(std::uint64_t journalSize, std::uint64_t dataSize) const {
  const auto refused = refusedFolds.find(foldsKey_);
  const std::uint64_t grown =
      refused == refusedFolds.end() ? journalSize : journalSize - std::min(journalSize, refused->second);
  if (fixedFoldBound) return grown > *fixedFoldBound;
  return grown > kLeastFoldBytes && grown > dataSize / kFoldShare;
}

bool DataJournal::foldFailed(std::uint64_t journalSize) const {
  const auto [refused, first] = refusedFolds.try_emplace(foldsKey_, journalSize);
  refused->second = journalSize;
  return first;
}

std::uint64_t DataJournal::dataFileSize(const std::string& dataFilePath) {
  struct stat info {};
  return ::stat(dataFilePath.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

void DataJournal::stepDone(Step step) {
  if (stepHook) stepHook(step);
}

DataJournal::FoldBound::FoldBound(std::uint64_t bytes) { fixedFoldBound = bytes; }

DataJournal::FoldBound::~FoldBound() { fixedFoldBound.reset(); }

DataJournal::StepHook::StepHook(std::function<void(Step)> hook) { stepHook = std::move(hook); }

DataJournal::StepHook::~StepHook() { stepHook = nullptr; }

void DataJournal::resetProcessState() {
  fixedFoldBound.reset();
  stepHook = nullptr;
  writtenJournals.clear();
  refusedFolds.clear();
}

std::uint32_t DataJournal::crc32(std::string_view bytes) {
  static constexpr CrcTables kTables = crcTables();
  const auto byteAt = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  std::uint32_t crc = 0xFFFFFFFFu;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    const std::uint32_t low = crc ^ (byteAt(at) | byteAt(at + 1) << 8 | byteAt(at + 2) << 16 |
                                     static_cast<std::uint32_t>(byteAt(at + 3)) << 24);
    crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
          kTables[4][low >> 24] ^ kTables[3][byteAt(at + 4)] ^ kTables[2][byteAt(at + 5)] ^
          kTables[1][byteAt(at + 6)] ^ kTables[0][byteAt(at + 7)];
  }
  for (; at < bytes.size(); ++at) crc = kTables[0][(crc ^ byteAt(at)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::string DataJournal::frame(char kind, const std::string& text) const {
  std::string plain;
  plain.reserve(text.size() + 1);
  plain.push_back(kind);
  plain += text;
  const std::string payload = encrypted_ ? GenEncryption().EncryptString(plain) : plain;
  std::string record;
  record.reserve(kHeaderBytes + payload.size());
  putWord(record, static_cast<std::uint32_t>(payload.size()));
  putWord(record, crc32(payload));
  record += payload;
  return record;
}

std::optional<std::string> DataJournal::payloadText(std::string_view payload) const {
  if (!encrypted_) return std::string(payload);
  // Four key bytes surround an enciphered text: fewer bytes hold no text.
  if (payload.size() < 5) return std::nullopt;
  std::string text(payload);
  GenEncryption().DecryptInPlace(text, 0);
  return text;
}
