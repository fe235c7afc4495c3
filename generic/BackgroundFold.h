#pragma once
// BackgroundFold: folds the journal of a large data file into the file
// while the event loop goes on, so that no fold stops it for long.
//
// A fold sets the journal aside (DataJournal::setAsideForFold), so that the
// saves made meanwhile go to a new journal; takes the rows' handles at once;
// writes their XML text in steps of at most kStepMs, one per turn of the
// event loop, passing over rows removed meanwhile; and hands the text to a
// thread of its own, which enciphers it and replaces the data file with it
// atomically, the root naming the journal set aside as folded. Back on the
// event loop the journal set aside goes. A row changed during the steps may
// be written as it was before or after the change: either way the change is
// in the new journal (or not yet saved, as with any fold), and replaying the
// new journal onto the file gives the rows and their order.
//
// A kill at any moment keeps every row: until the new file is in place the
// old one, the journal set aside and the new journal hold them; afterwards
// the new file and the new journal. A fold that fails leaves the journal set
// aside, which loads replay and the next fold takes up; it is logged once
// per journal (DataJournal::foldFailed).
//
// One fold per data file at a time. Whatever else rewrites the data file
// settles its fold first (settle()). The document is kept alive by the fold
// and must be changed only through clsGenXMLDocument (which tells the fold
// of removed rows). UI thread only, but for the fold's own thread.
#include <cstdint>
#include <memory>
#include <string>

#include "DataJournal.h"
#include "clsGenXMLDocument.h"
#include "modGenApplicationSetting.h"

namespace BackgroundFold {

// The longest one step of a fold runs on the event loop.
constexpr int kStepMs = 8;

// Whether a data file of `dataBytes` is large enough that its fold runs in
// the background (a smaller one is rewritten at once, in less than a step).
bool worthIt(std::uint64_t dataBytes);

// Starts folding `journal` into the data file `file` holding the rows of
// `document`; false when a fold of that file is under way already. The
// journal is flushed and set aside first; raises when that fails (nothing
// is started then, and the journal stays as it was).
bool start(const XMLDocumentRef& document, const modGenApplicationSetting::FileSourceInfo& file,
           bool encrypted, const DataJournal& journal);

// Whether a fold of the data file at `path` is under way.
bool running(const std::string& path);

// Ends the fold of `path` now: one still writing its steps is dropped (its
// journal set aside stays), one whose thread writes the file is waited for
// and finished. Nothing when none runs.
void settle(const std::string& path);

// Sets the size from which folds run in the background while it lives,
// and with `rowsPerStep` the most rows a step writes (tests fold small files
// so, in many steps); one at a time.
class Threshold {
 public:
  explicit Threshold(std::uint64_t bytes, std::size_t rowsPerStep = 0);
  ~Threshold();
  Threshold(const Threshold&) = delete;
  Threshold& operator=(const Threshold&) = delete;
};

}  // namespace BackgroundFold
