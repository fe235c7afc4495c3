#include "DataJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <unordered_map>

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
constexpr std::size_t kHeaderBytes = 8;
// The id record is the first and short: this much of a journal holds it.
constexpr std::size_t kIdRecordBytes = 512;
constexpr std::uint64_t kLeastFoldBytes = 4u << 20;
// A record longer than this cannot have been written by an append.
constexpr std::uint32_t kMaxPayload = 1u << 30;

std::optional<std::uint64_t> fixedFoldBound;

constexpr std::array<std::uint32_t, 256> crcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
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

// The rows under a root, by UID, as replay finds and changes them.
class RowsByUID {
 public:
  explicit RowsByUID(pugi::xml_node root) : root_(root) {
    for (pugi::xml_node row = root.first_child(); row; row = row.next_sibling()) {
      if (row.type() == pugi::node_element) rows_[row.attribute(kUIDAttribute).value()].push_back(row);
    }
  }

  void replace(pugi::xml_node row) {
    std::vector<pugi::xml_node>& same = rows_[row.attribute(kUIDAttribute).value()];
    if (same.empty()) {
      same.push_back(root_.append_copy(row));
      return;
    }
    const pugi::xml_node old = same.front();
    same.front() = root_.insert_copy_before(row, old);
    root_.remove_child(old);
  }

  void append(pugi::xml_node row) {
    rows_[row.attribute(kUIDAttribute).value()].push_back(root_.append_copy(row));
  }

  void remove(const std::string& uid) {
    const auto found = rows_.find(uid);
    if (found == rows_.end()) return;
    for (const pugi::xml_node row : found->second) root_.remove_child(row);
    rows_.erase(found);
  }

 private:
  pugi::xml_node root_;
  std::unordered_map<std::string, std::vector<pugi::xml_node>> rows_;
};

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

// Applies one record's text; false when it holds nothing applicable.
bool applyRecord(RowsByUID& rows, char kind, const std::string& text) {
  if (kind == kRemove) {
    rows.remove(text);
    return true;
  }
  pugi::xml_document parsed;
  constexpr unsigned kOptions = pugi::parse_default & ~pugi::parse_eol;
  if (!parsed.load_buffer(text.data(), text.size(), kOptions, pugi::encoding_utf8)) return false;
  const pugi::xml_node row = parsed.document_element();
  if (!row || row.attribute(kUIDAttribute).empty()) return false;
  if (kind == kReplace) {
    rows.replace(row);
  } else if (kind == kAppend) {
    rows.append(row);
  } else {
    return false;
  }
  return true;
}

std::uint64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

}  // namespace

DataJournal::DataJournal(const std::string& dataFilePath, bool encrypted) : encrypted_(encrypted) {
  const auto slash = dataFilePath.rfind('/');
  const std::string name = slash == std::string::npos ? dataFilePath : dataFilePath.substr(slash + 1);
  path_ = platform::folderOf(dataFilePath) + "/." + name + ".jnl";
}

bool DataJournal::exists() const { return ::access(path_.c_str(), F_OK) == 0; }

DataJournal::Records DataJournal::recordsFor(clsGenXMLDocument& document, std::string_view element,
                                             const std::vector<RowChanges::Touched>& rows) const {
  Records out;
  for (const RowChanges::Touched& touched : rows) {
    const NodeSpan now = document.rowsWhere(element, kUIDAttribute, touched.uid);
    if (!touched.removed && now.size() == 1) {
      out.records.push_back(frame(kReplace, modGenFunctionsXML::XMLToString(now.front())));
      continue;
    }
    // Only a removal takes a row away: a changed row not found here is
    // named otherwise.
    if (!touched.removed && now.empty()) {
      out.complete = false;
      continue;
    }
    out.records.push_back(frame(kRemove, touched.uid));
    for (const pugi::xml_node row : now) {
      out.records.push_back(frame(kAppend, modGenFunctionsXML::XMLToString(row)));
    }
  }
  return out;
}

DataJournal::Appended DataJournal::append(const std::vector<std::string>& records,
                                          bool flush) const {
  Appended out;
  std::string bytes;
  // A journal that a replay cut down to nothing starts afresh as well.
  const bool fresh = fileSize(path_) == 0;
  if (fresh) {
    out.at.id = clsGenAPI::CreateGUID();
    bytes = frame(kJournalId, out.at.id);
  } else if (!flush) {
    out.at.id = storedId();
  }
  // Only an append into a journal with an id can be told lost later.
  out.flushed = flush || fresh || out.at.id.empty();
  for (const std::string& record : records) bytes += record;
  if (const auto failure = platform::appendToFile(path_, bytes, out.flushed, out.at.end)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
  return out;
}

void DataJournal::flush() const {
  if (const auto failure = platform::flushFile(path_)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
}

DataJournal::Position DataJournal::replayOnto(pugi::xml_node root, bool cutTornTail) const {
  const std::string bytes = modGenFunctionsFile::ReadFileContent(path_, false);
  Position found;
  if (bytes.empty()) return found;
  RowsByUID rows(root);
  std::size_t offset = 0;
  while (const std::optional<std::string_view> payload = recordAt(bytes, offset)) {
    // A checked record that holds nothing applicable is passed over.
    const std::optional<std::string> text = payloadText(*payload);
    if (text && !text->empty()) {
      if (offset == 0 && text->front() == kJournalId) {
        found.id = text->substr(1);
      } else {
        applyRecord(rows, text->front(), text->substr(1));
      }
    }
    offset += kHeaderBytes + payload->size();
  }
  found.end = offset;
  if (!cutTornTail || offset == bytes.size()) return found;
  if (const auto failure = platform::truncateDurably(path_, offset)) {
    modGenFunctionsFile::raiseSystemError(failure->error, "Cannot " + failure->step, path_);
  }
  return found;
}

std::string DataJournal::storedId() const {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes(kIdRecordBytes, '\0');
  const ssize_t got = ::read(fd, bytes.data(), bytes.size());
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  const std::optional<std::string_view> payload = recordAt(bytes, 0);
  const std::optional<std::string> text = payload ? payloadText(*payload) : std::nullopt;
  if (!text || text->empty() || text->front() != kJournalId) return {};
  return text->substr(1);
}

std::string DataJournal::Position::text() const { return id + "@" + std::to_string(end); }

std::optional<DataJournal::Position> DataJournal::Position::fromText(std::string_view text) {
  const auto at = text.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == text.size()) return std::nullopt;
  Position position{std::string(text.substr(0, at)), 0};
  for (const char digit : text.substr(at + 1)) {
    if (digit < '0' || digit > '9' || position.end > (UINT64_MAX - 9) / 10) return std::nullopt;
    position.end = position.end * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return position;
}

bool DataJournal::Position::lostSince(const Position& loaded, const Position& written) {
  return !written.id.empty() && loaded.id == written.id && loaded.end < written.end;
}

void DataJournal::remove() const {
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    modGenFunctionsFile::raiseSystemError(errno, "Cannot delete", path_);
  }
}

bool DataJournal::dueForFold(std::uint64_t journalSize, std::uint64_t dataSize) {
  if (fixedFoldBound) return journalSize > *fixedFoldBound;
  return journalSize > kLeastFoldBytes && journalSize > dataSize;
}

void DataJournal::setFoldBound(std::optional<std::uint64_t> bytes) { fixedFoldBound = bytes; }

std::uint64_t DataJournal::dataFileSize(const std::string& dataFilePath) { return fileSize(dataFilePath); }

std::uint32_t DataJournal::crc32(std::string_view bytes) {
  static constexpr std::array<std::uint32_t, 256> kTable = crcTable();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : bytes) crc = kTable[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
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
