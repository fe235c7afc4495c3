#pragma once
// DataJournal: the append-only journal beside a data file, so that a durable
// change costs one small append and one sync, whatever the file's size.
//
// The journal of "<folder>/<name>" is "<folder>/.<name>.jnl". It holds, in
// order, records of rows written since the data file was last rewritten
// whole. Record framing: payload length (4 bytes, little-endian), CRC-32 of
// the payload (4 bytes, little-endian), payload. The payload is one kind
// byte and a text, enciphered like the data file when that is enciphered:
//   'H' id:      first record, names this journal among all the journals the
//                file will ever have (journals of older builds lack it);
//   'R' row XML: replaces the first row with the row's UID, or is appended;
//   'A' row XML: is appended;
//   'D' UID:     removes every row with that UID.
// A row that went, or moved to the end, is written as 'D' and then 'A' for
// each row now carrying its UID, so replaying records in order rebuilds the
// rows and their order. Replaying a journal twice gives what replaying it
// once gave; a record that is short or fails its check ends the journal (a
// crash tore it) and is cut off.
//
// Folding (the owner rewrites the data file whole, then calls remove()) is
// safe at any moment as long as the journal, when it exists, already holds
// every touched row's last form on disk before the rewrite starts: replaying
// it onto the new file then changes nothing. An owner that appended without
// flushing flushes the journal first.
//
// An append need not be flushed at once when the caller holds the same rows
// durably elsewhere: its Position tells, at the next load, whether it
// reached the disk (lostSince).
//
// Errors raise TvrError (the file door's numbers: 61 disk full, 70
// permission denied, 75 other access failures).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "RowChanges.h"

class clsGenXMLDocument;

class DataJournal {
 public:
  DataJournal(const std::string& dataFilePath, bool encrypted);

  // Where a journal ended: its id and its size in bytes.
  struct Position {
    std::string id;
    std::uint64_t end = 0;
    // "<id>@<end>", and back (nullopt for any other text).
    std::string text() const;
    static std::optional<Position> fromText(std::string_view text);
    // Whether an append that ended at `written` is missing from the journal
    // found at load, `loaded`: the same journal, ending before it. Another
    // journal (the file was folded since, which flushed it) lost nothing.
    static bool lostSince(const Position& loaded, const Position& written);
  };
  struct Appended {
    Position at;
    bool flushed = true;
  };

  const std::string& path() const { return path_; }
  bool exists() const;
  struct Records {
    std::vector<std::string> records;
    // False when a row changed that is not named `element`: only a rewrite
    // of the whole file holds it.
    bool complete = true;
  };
  // The records for `rows` of `document` (rows named `element` at its root).
  Records recordsFor(clsGenXMLDocument& document, std::string_view element,
                     const std::vector<RowChanges::Touched>& rows) const;
  // Appends the records with one write and one sync (and a sync of the
  // folder when the journal is new, which then starts with its id). Without
  // flush, the sync is left out when the journal exists and has an id.
  Appended append(const std::vector<std::string>& records, bool flush) const;
  // Puts every append on disk.
  void flush() const;
  // Applies the journal's intact records to the rows under `root`; with
  // cutTornTail (only the journal's one writer may) a torn tail is cut off
  // the file, so that later appends follow the intact records. Nothing for a
  // missing journal. Returns the journal's id and where its intact records end.
  Position replayOnto(pugi::xml_node root, bool cutTornTail) const;
  // Removes the journal; a crash may bring it back, which replay tolerates.
  void remove() const;

  // Whether a journal of `journalSize` bytes is due to be folded into a
  // data file of `dataSize` bytes: past 4 MiB and past the data file's size,
  // so that rewrites cost, on average, no more than the appends they follow.
  static bool dueForFold(std::uint64_t journalSize, std::uint64_t dataSize);
  // Replaces that rule by a fixed bound in bytes (nullopt: the rule again);
  // lets crash tests fold often.
  static void setFoldBound(std::optional<std::uint64_t> bytes);
  // The size of a file (0 when it is missing).
  static std::uint64_t dataFileSize(const std::string& dataFilePath);

  // CRC-32 (the IEEE polynomial, as zlib's crc32).
  static std::uint32_t crc32(std::string_view bytes);

 private:
  std::string frame(char kind, const std::string& text) const;
  std::optional<std::string> payloadText(std::string_view payload) const;
  // The id of the existing journal; "" when its first record names none.
  std::string storedId() const;

  std::string path_;
  bool encrypted_;
};
