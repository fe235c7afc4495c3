#include "BackgroundFold.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QObject>
#include <map>
#include <optional>
#include <thread>
#include <utility>

#include "AtomicFile.h"
#include "TimerControl.h"
#include "clsGenEncryption.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsXML.h"

namespace BackgroundFold {
namespace {

constexpr std::uint64_t kLeastBytes = 8u << 20;
// The most of the new file written and not yet on disk: what a save's sync
// meanwhile may have to wait for.
constexpr std::size_t kWrittenOutEvery = 2u << 20;
// Rows written between looks at the clock.
constexpr std::size_t kRowsPerLook = 64;
// The cipher's key bytes before and after the text (clsGenEncryption).
constexpr std::size_t kKeysBefore = 3;

std::optional<std::uint64_t> fixedThreshold;
std::size_t fixedRowsPerStep = 0;

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

 private:
  std::string& out_;
};

class Fold;
std::map<std::string, std::unique_ptr<Fold>>& folds();

// One fold: its steps on the event loop, then its thread.
class Fold final : public QObject, private clsGenXMLDocument::Holder {
 public:
  Fold(XMLDocumentRef document, modGenApplicationSetting::FileSourceInfo file, bool encrypted,
       const DataJournal& journal)
      : document_(std::move(document)),
        file_(std::move(file)),
        encrypted_(encrypted),
        journal_(journal),
        aside_(journal.beingFolded()) {}

  ~Fold() override {
    if (writer_.joinable()) writer_.join();
    if (holding_) document_->removeHolder(this);
  }

  // Begins the steps.
  void begin() {
    const pugi::xml_node root = document_->rootElement();
    document_->addHolder(this);
    holding_ = true;
    // Room for the file's rows and what the journals changed, so that the
    // text is not copied while it grows (rows added meanwhile may still).
    text_.reserve(static_cast<std::size_t>(DataJournal::dataFileSize(file_.FullPath) + aside_.size() +
                                           journal_.size()) +
                  kKeysBefore + 1);
    if (encrypted_) text_.assign(kKeysBefore, '\0');
    // The root's start tag, naming the journal set aside as folded.
    pugi::xml_document head;
    pugi::xml_node start = head.append_child(root.name());
    for (const pugi::xml_attribute attribute : root.attributes()) {
      if (std::string_view(attribute.name()) != DataJournal::kFoldedAttribute) start.append_copy(attribute);
    }
    const std::string id = aside_.id();
    if (!id.empty()) start.append_attribute(DataJournal::kFoldedAttribute).set_value(id.c_str());
    std::string tag = modGenFunctionsXML::XMLToString(start);
    tag.replace(tag.size() - 2, 2, ">");
    text_ += tag;
    closingTag_ = std::string("</") + root.name() + ">";
    nextStep();
  }

  // Waits for the thread when it runs and finishes; drops the fold otherwise.
  void settle() {
    if (writer_.joinable()) {
      finish();
    } else {
      drop();
    }
  }

 private:
  void nextStep() {
    platform::TimerControl::NextTurn(this, [this] { step(); });
  }

  void step() {
    if (dropped_) return;
    if (replaced_) {
      drop();
      return;
    }
    QElapsedTimer clock;
    clock.start();
    StringWriter writer(text_);
    for (std::size_t written = 1;; ++written) {
      const pugi::xml_node row = last_ ? last_.next_sibling() : document_->rootElement().first_child();
      if (!row) break;
      row.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
      last_ = row;
      if (written == fixedRowsPerStep || (written % kRowsPerLook == 0 && clock.elapsed() >= kStepMs)) {
        nextStep();
        return;
      }
    }
    text_ += closingTag_;
    document_->removeHolder(this);
    holding_ = false;
    writer_ = std::thread([this] { write(); });
  }

  // The fold's thread: the file replaced by the text, enciphered.
  void write() {
    if (encrypted_) {
      text_.push_back('\0');
      clsGenEncryption cipher;
      cipher.EncryptInPlace(text_.data(), text_.size() - kKeysBefore - 1);
    }
    struct stat old {};
    std::optional<mode_t> mode;
    if (::stat(file_.FullPath.c_str(), &old) == 0) mode = (old.st_mode & 07777) | S_IWUSR;
    failure_ = platform::replaceFile(file_.FullPath, text_, mode, kWrittenOutEvery);
    std::string().swap(text_);
    // The file holds the journal set aside: it goes here, as removing a
    // large file takes its time.
    if (!failure_) ::unlink(aside_.path().c_str());
    QMetaObject::invokeMethod(this, [this] { finish(); }, Qt::QueuedConnection);
  }

  // On the event loop, once the thread is done: the journal set aside goes
  // when the file holds it.
  void finish() {
    if (!writer_.joinable()) return;
    writer_.join();
    try {
      if (failure_) {
        modGenFunctionsFile::raiseSystemError(failure_->error, "Cannot " + failure_->step, file_.FullPath);
      }
      DataJournal::stepDone(DataJournal::Step::kRewrite);
      aside_.remove();
    } catch (...) {
      // The saves meanwhile went to the journal: from its size now on it
      // must grow as much as the rule asks before the fold is tried again.
      if (journal_.foldFailed(journal_.size())) logError("BackgroundFold");
    }
    drop();
  }

  // Ends the fold: it is forgotten, and destroyed once this call is done.
  void drop() {
    auto& running = folds();
    const auto found = running.find(file_.FullPath);
    if (found == running.end() || found->second.get() != this) return;
    dropped_ = true;
    found->second.release();
    running.erase(found);
    deleteLater();
  }

  // The walk goes on after the last row written: when that one goes or
  // moves to the end, after the row before it (a row moved to the end is
  // met there again, and the journal's records of the move put it right).
  void nodesRemoved(const clsGenXMLDocument&, const NodeList& removed) override {
    if (!removed.empty() && removed.front() == last_) last_ = last_.previous_sibling();
  }
  void nodeMoving(const clsGenXMLDocument&, pugi::xml_node node) override {
    if (node == last_) last_ = last_.previous_sibling();
  }
  void documentReplaced(const clsGenXMLDocument&) override { replaced_ = true; }

  XMLDocumentRef document_;
  modGenApplicationSetting::FileSourceInfo file_;
  bool encrypted_;
  DataJournal journal_;
  DataJournal aside_;
  bool holding_ = false;
  bool replaced_ = false;
  bool dropped_ = false;
  // The last row written; null before the first.
  pugi::xml_node last_;
  std::string text_;
  std::string closingTag_;
  std::thread writer_;
  std::optional<platform::FileWriteFailure> failure_;
};

// The folds under way, by data file; a fold's thread is waited for when
// the program ends.
std::map<std::string, std::unique_ptr<Fold>>& folds() {
  static std::map<std::string, std::unique_ptr<Fold>> running;
  return running;
}

}  // namespace

bool worthIt(std::uint64_t dataBytes) { return dataBytes >= fixedThreshold.value_or(kLeastBytes); }

bool start(const XMLDocumentRef& document, const modGenApplicationSetting::FileSourceInfo& file,
           bool encrypted, const DataJournal& journal) {
  if (running(file.FullPath)) return false;
  journal.flush();
  // A journal set aside by a fold that did not end is folded now; the
  // journal after it stays, replayed after the file.
  if (journal.beingFolded().kind() == DataJournal::Kind::kMissing) journal.setAsideForFold();
  auto fold = std::make_unique<Fold>(document, file, encrypted, journal);
  Fold& started = *fold;
  folds()[file.FullPath] = std::move(fold);
  started.begin();
  return true;
}

bool running(const std::string& path) { return folds().count(path) != 0; }

void settle(const std::string& path) {
  const auto found = folds().find(path);
  if (found != folds().end()) found->second->settle();
}

Threshold::Threshold(std::uint64_t bytes, std::size_t rowsPerStep) {
  fixedThreshold = bytes;
  fixedRowsPerStep = rowsPerStep;
}

Threshold::~Threshold() {
  fixedThreshold.reset();
  fixedRowsPerStep = 0;
}

}  // namespace BackgroundFold
