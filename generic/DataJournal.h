#pragma once
// DataJournal: the append-only journal beside a data file, so that a durable
// change costs one small append and one sync, whatever the file's size.
//
// The journal of "<folder>/<name>" is "<folder>/.<name>.jnl". It holds, in
// order, records of rows written since the data file was last rewritten
// whole. Record framing: payload length (4 bytes, little-endian), CRC-32 of
// the payload (4 bytes, little-endian), payload. The payload is one kind
// byte and a text, enciphered like the data file when that is enciphered:
//   'H' identity: first record, "<id>\t<data file name>\t<owner>"; the id
//                names this journal among all the journals the file will
//                ever have. Journals of older builds name only the id, or
//                have no identity record at all.
//   'S' save:    every row change of one save, as entries (4-byte
//                little-endian length, then a kind byte and a text):
//     'R' row XML: replaces the first row with the row's UID, or is appended;
//     'A' row XML: is appended;
//     'D' UID:     removes every row with that UID.
// Older builds wrote 'R', 'A' and 'D' as records of their own.
// A row changed where it stands is written as 'R', a row that went as 'D'.
// The rows from the first one placed since the last save (added, moved to
// the end, renamed, or sharing a UID) to the end are written as 'D' for
// their UIDs and then 'A' for each row in order, so replaying entries in
// order rebuilds the rows and their order. One save is one record, so that its CRC makes it
// replay all or none.
//
// Failing safe. A failed append cuts the journal back to where it was. Only
// a record whose length runs past the end of the file (what a crash during
// an append leaves) is a torn tail, cut silently. A complete record that
// fails its check is damage wherever it lies, the last one included: replay
// skips it, finds the next intact record (whose header and CRC check) and
// applies the rest, and tells the owner, who keeps a copy and folds. A
// journal whose first record fails its check cannot be proved to be this
// file's: nothing of it is applied. A journal is never opened through a
// symbolic link; one that names another file or owner, or holds rows of
// another name, is foreign: nothing of it is applied. Anything at the
// journal's path that is not a regular file is no journal: its owner moves
// it aside.
//
// Folding: the owner flushes the journal, rewrites the data file whole with
// the journal's id in the root's "JNL" attribute, then calls remove(). A
// journal that the data file names is in it already and is never replayed
// onto it, so a kill at any moment of a fold keeps the rows and their order.
// A fold that runs while saves go on (BackgroundFold) first sets the journal
// aside (beingFolded), so that the saves meanwhile start a new one; until
// the data file names the journal set aside, a load replays it and then the
// new one. Replaying records onto rows that already hold some of them, in
// their order, gives the same rows: a record sets a row whole, removes it,
// or removes a UID's rows before it appends them again.
//
// Errors raise TvrError (the file door's numbers: 61 disk full, 70
// permission denied, 75 other access failures).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "RowChanges.h"

class clsGenXMLDocument;

class DataJournal {
 public:
  // `owner`: the owner the data file's root names ("" when it names none).
  DataJournal(const std::string& dataFilePath, bool encrypted, std::string owner = {});

  // The root attribute of a rewritten data file naming the journals it
  // folded (their ids, separated by blanks).
  static constexpr const char* kFoldedAttribute = "JNL";

  const std::string& path() const { return path_; }
  // What lies at the journal's path (a link is not followed).
  enum class Kind { kMissing, kFile, kOther };
  Kind kind() const;
  // Whether a journal (or anything else by its name, a link too) exists.
  bool exists() const { return kind() != Kind::kMissing; }
  // Its size in bytes, 0 when missing; a link is not followed.
  std::uint64_t size() const;
  // Its bytes as stored; "" when missing or a link.
  std::string bytes() const;
  struct Records {
    std::vector<std::string> records;
    // False when a row changed that is not named `element`: only a rewrite
    // of the whole file holds it.
    bool complete = true;
  };
  // The entries for `rows` of `document` (rows named `element` at its root).
  Records recordsFor(clsGenXMLDocument& document, std::string_view element,
                     const std::vector<RowChanges::Touched>& rows) const;
  // Appends the entries as one save record with one write and one sync (and a
  // sync of the folder when the journal is new, which then starts with its
  // identity). Without flush, the sync is left out when the journal exists:
  // flush() or flushWritten() puts the append on disk. On failure the journal is cut back to its former size
  // (size() tells whether that failed too) and the error raised. Returns the
  // journal's size after the append.
  std::uint64_t append(const std::vector<std::string>& records, bool flush) const;
  // Puts every append on disk.
  void flush() const;
  // Whether an append without flush waits for flush() or flushWritten().
  bool written() const;
  // Puts on disk the appends that any journal made without flush since they
  // were last put there.
  static void flushWritten();
  // Whether an append of any journal waits for flushWritten().
  static bool anyWritten();
  // The journal's id; "" when it is missing or its first record names none.
  std::string id() const;

  // What a replay found.
  struct Replayed {
    bool found = false;
    // A complete record after the first failed its check.
    bool damaged = false;
    // A journal of another file, owner or row name: not applied.
    bool foreign = false;
    // Its first record failed its check: not applied.
    bool unproven = false;
    // Not a regular file (a folder, a link ...): not read.
    bool notAFile = false;
    // Written by an older build: no identity naming file and owner.
    bool legacy = false;
    // The data file names it as folded: not applied.
    bool folded = false;
  };
  // Applies the journal's intact records to the rows named `element` under
  // `root` ("": rows of any name), unless it is foreign, unproven, folded or
  // no file; with cutTornTail (only the journal's one writer may) a torn
  // tail is cut off the file, so that later appends follow the intact records.
  Replayed replayOnto(pugi::xml_node root, std::string_view element, bool cutTornTail) const;
  // Removes the journal (a link itself, never its target); a crash may bring
  // it back, which replay tolerates.
  void remove() const;

  // The journal that a fold set aside ("<journal>.fold"): the records
  // before those of this journal, until the data file holds them.
  DataJournal beingFolded() const;
  // Sets this journal aside as the one being folded (renamed), so that
  // later appends start a journal of their own. Raises when it cannot; a
  // journal being folded must not exist already.
  void setAsideForFold() const;

  // Whether the journal, now `journalSize` bytes, is due to be folded into a
  // data file of `dataSize` bytes: past 4 MiB and past a sixteenth of the
  // data file's size, so that a start replays little beside the file, and a
  // rewrite costs, on average, sixteen times the appends it follows (folds
  // of large files run away from the event loop, BackgroundFold).
  // After a fold of it failed, what it grew since counts, so that a disk
  // without room for a rewrite is not asked for one at every append; once
  // one of the data file's journals is removed (folded), the rule again.
  bool dueForFold(std::uint64_t journalSize, std::uint64_t dataSize) const;
  // Notes that a fold failed while the journal was `journalSize` bytes;
  // true the first time since it was last folded, so that the failure is
  // told once.
  bool foldFailed(std::uint64_t journalSize) const;
  // The size of a file (0 when it is missing).
  static std::uint64_t dataFileSize(const std::string& dataFilePath);

  // The steps of a save that writes the journal or the whole file, in turn.
  enum class Step { kAppend, kFlush, kRewrite, kRemove };
  static void stepDone(Step step);

  // Process-wide settings for tests, each in force while it lives and put
  // back when it ends (one of a kind at a time).
  // A fixed fold bound in bytes in place of the size rule: lets crash tests
  // fold often.
  class FoldBound {
   public:
    explicit FoldBound(std::uint64_t bytes);
    ~FoldBound();
    FoldBound(const FoldBound&) = delete;
    FoldBound& operator=(const FoldBound&) = delete;
  };
  // Called after each step is done (kRewrite by the data file's owner); lets
  // tests stop a save there, as a kill would.
  class StepHook {
   public:
    explicit StepHook(std::function<void(Step)> hook);
    ~StepHook();
    StepHook(const StepHook&) = delete;
    StepHook& operator=(const StepHook&) = delete;
  };
  // Puts every process-wide setting back as at start (the size rule, no
  // step hook) and forgets the journals left for flushWritten() and the
  // folds that failed: what one test leaves must not reach the next.
  static void resetProcessState();

  // CRC-32 (the IEEE polynomial, as zlib's crc32).
  static std::uint32_t crc32(std::string_view bytes);

 private:
  struct Identity {
    std::string id;
    bool named = false;  // names its file and owner
    bool ours = false;   // names this file and owner
  };
  std::string frame(char kind, const std::string& text) const;
  std::optional<std::string> payloadText(std::string_view payload) const;
  // The kind byte of the record whose payload is `length` bytes at `offset`
  // of `bytes`, read without deciphering the rest.
  std::optional<char> kindAt(std::string_view bytes, std::size_t offset, std::size_t length) const;
  // The offset of the next intact record at or after `from`, if any.
  std::optional<std::size_t> nextIntact(std::string_view bytes, std::size_t from) const;
  Identity identityOf(std::string_view text) const;

  std::string path_;
  // Whose folds failed: the path of the data file's journal, also for the
  // journal set aside for a fold, as a fold of either folds the file's.
  std::string foldsKey_;
  std::string fileName_;
  std::string owner_;
  bool encrypted_;
};
