#pragma once
// modGenFunctionsResource: the numbered messages and coded lists of the
// resource-text file Res/TVRRES01E.DAT, read once at start-up and kept in
// memory for the life of the program.
//
// The file (stored enciphered with clsGenEncryption) is read as text lines:
//  - Lines end with CR LF (a bare LF is taken as well).
//  - A line that is empty or holds only blanks is skipped.
//  - A line whose text, leading and trailing blanks removed, begins with "//"
//    is a comment, whatever follows (even "|[" or "=").
//  - Any other line holding "|[" is a section header. The whole line in upper
//    case (blanks kept, so no blank around it) must be one of the fifteen
//    headers below; it selects that section and empties it. A line holding
//    "|[" that names no section selects none: the lines after it are ignored
//    up to the next known header.
//  - Every other line is an item, CODE=TEXT: the code is the text before the
//    first "=", the text runs to a second "=" (which ends it; the rest of the
//    line is dropped), so a text can hold neither "=" nor a line break.
//    An item line without "=" is reported as an error and skipped. Items before
//    the first header are ignored.
//  - Messages (section 100): the code is "MSG" and the number, as written
//    (MSG13010); "%%" marks each parameter, filled in order.
//  - Lists (every other section): the code, blanks around it removed, is
//    usually a number; the text is kept as written, blanks included.
//  - A code that comes twice in one section keeps its first text.
//
// Headers and their section ids:
//   |[MESSAGES]| 100                      |[MESSAGE CENTER ACTIVITIES TYPE]| 200
//   |[MESSAGE PRIORITY OPTIONS]| 201      |[MESSAGE RESPONSE TYPE]| 202
//   |[MESSAGE STATUS]| 203                |[LANGUAGE LIST]| 206
//   |[FRMMESSAGEVIEWER]| 1000             |[INSTMESSTYPE LIST]| 207
//   |[DELETE INTERVAL TYPE]| 208          |[PRINT MESSAGE KEYWORDS]| 5000
//   |[DEFAULT GROUPS]| 209                |[ACTION STATUS]| 205
//   |[ACTION TYPE]| 204                   |[FILES EXTENSION VIRUS CHECK]| 210
//   |[DEFAULT INSTANT MESSAGES]| 1010
//
// In memory each section keeps its items in file order under keys compared
// without regard to case: a message under its code as written; a list item
// under MakeCollectionKey(code) ("I_10"), stored as that key, "||" and the text.
//
// One thread; sections are filled before any window reads them.
#include <concepts>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

class QComboBox;
class QListWidget;
class QTreeWidget;

namespace modGenFunctionsResource {

inline constexpr int kMessageSection = 100;
inline constexpr const char* kResourceFileName = "TVRRES01E.DAT";

// The items of one section, in the order they were added, keyed without
// regard to case.
class ResourceSection {
 public:
  struct Item {
    std::string key;
    std::string value;
  };

  // Raises error 457 when the key is already present.
  void add(const std::string& key, std::string value);
  bool contains(const std::string& key) const;
  // Raises error 5 when the key is missing.
  const std::string& item(const std::string& key) const;
  void clear();
  std::size_t count() const { return items_.size(); }
  const std::vector<Item>& items() const { return items_; }

 private:
  std::vector<Item> items_;
  std::unordered_map<std::string, std::size_t> index_;  // folded key -> position
};

// One parameter of a message: a text, or a number written in decimal.
class MessageParameter {
 public:
  MessageParameter(std::string text) : text_(std::move(text)) {}
  MessageParameter(const char* text) : text_(text) {}
  template <std::integral Number>
  MessageParameter(Number value) : text_(std::to_string(value)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};
using MessageParameters = std::vector<MessageParameter>;

// Reads the resource-text file (the Res folder's TVRRES01E.DAT) into the
// sections. filter 1 reads every section; another id reads only that one
// (every header met still empties its section). A missing or empty file
// loads nothing. An error other than a duplicate or a bad line ends the
// load at that line (the items read so far stay) and is raised.
void LoadResourceFile(int filter = 1);
// The same from an enciphered file at `path`.
void loadResourceFileFrom(const std::string& path, int filter = 1);
// The same from the deciphered text.
void loadResourceText(const std::string& text, int filter = 1);

// "C" and the id (C100).
std::string MakeSectionKey(int sectionId);
// The section, created empty on first use.
ResourceSection& GetResourceSection(int sectionId);

// Message `number` with its "%%" filled in; "" while no message is loaded.
// A missing number raises error 5; too few parameters raise error 9.
// Without parameters, a message holding "%%" shows a development-error box
// and is returned as it is.
std::string GetResourceMessage(int number);
std::string GetResourceMessage(int number, const MessageParameters& parameters);

// Replaces each "%%" of `text` in turn by the next parameter; a parameter's
// own text is never searched for "%%". Surplus parameters are ignored; too
// few raise error 9. Without parameters: a development-error box, and the
// text unchanged.
std::string ReplaceMessageParameters(const std::string& text);
std::string ReplaceMessageParameters(const std::string& text, const MessageParameters& parameters);

// The text of list item `code` of the section; "" for an empty code; a
// missing code raises error 5.
std::string GetResourceListText(int sectionId, const std::string& code);
std::string GetResourceListText(int sectionId, std::int64_t code);
std::string GetResourceListText(int sectionId, const char* code);

// The text part of a stored list item ("I_10||Normal" gives "Normal"); "" for "".
std::string GetItemText(const std::string& item);

// True when some item's text equals `text` without regard to case.
bool FindResourceListItem(int sectionId, const std::string& text);

// One entry per item in file order: the item's text, with the numeric value
// of its code (0 when not a number) as item data (Qt::UserRole).
void FillComboFromResource(QComboBox* combo, int sectionId);
void FillComboFromResource(QListWidget* list, int sectionId);

// One top-level node per item in file order: the text in column 0 and the
// item's key ("I_1") as the node key, in column 0's Qt::UserRole.
void FillTreeFromResource(QTreeWidget* tree, int sectionId);

}  // namespace modGenFunctionsResource
