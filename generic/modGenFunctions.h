#pragma once
// modGenFunctions: small helpers shared by the whole program.
//
// List texts join items with "||" (a||b||c; the empty list is ""). A line break
// inside a text stored in an XML attribute or sent in a request is written as
// the marker kCrLfMarker. The frame length field is two bytes, low byte first,
// carrying 0 to 32767. IP texts are four "."-separated parts 0..255, where a
// caller may allow "*" (any value); an IP filter list is a list text of such
// patterns.
//
// Every helper reports its errors through the error handler and raises them
// again (TvrError: 5 invalid argument, 6 overflow, 91 no window given).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QMimeData;
class QWidget;

namespace modGenFunctions {

inline constexpr const char* kListSeparator = "||";
inline constexpr const char* kCrLfMarker = "||%_CRLF_%||";
// The product's name: the title of every message box that shows a resource message.
inline constexpr const char* kAppTitle = "Tavinor";

// Appends `suffix` unless `text` already ends with it (case-sensitive).
std::string& AppendIfMissing(std::string& text, const std::string& suffix);

// Appends `item` to the list text: "||" first when the text is not empty and
// addSeparator is set, then the item, then CR LF when addCrLf is set.
std::string& AddToString(std::string& text, const std::string& item, bool addSeparator = true,
                         bool addCrLf = false);

// counter += amount (or -=); returns the new value. Overflow raises error 6
// and leaves the counter unchanged.
std::int32_t Increment(std::int32_t& counter, std::int32_t amount = 1);
std::int32_t Decrement(std::int32_t& counter, std::int32_t amount = 1);

// "<" -> "&lt;", ">" -> "&gt;", '"' -> "&quot;"; "&" and "'" stay as they are.
std::string& EncodeXMLChars(std::string& text);

// The current local time (platform::now()) moved by `number` units of
// `interval` ("yyyy" years, "q" quarters, "m" months, "y"/"d"/"w" days,
// "ww" weeks, "h" hours, "n" minutes, "s" seconds), written in `format`:
// yyyy yy, m mm mmm mmmm (month), d dd ddd dddd, h hh, n nn (minutes), s ss;
// "m"/"mm" right after an hour or right before a second means minutes.
// Any other character is copied. An unknown interval raises error 5.
std::string GetFormattedDate(const std::string& interval, std::int32_t number,
                             const std::string& format);

// width - length characters "0"; a negative count raises error 5.
std::string ZeroPad(std::int16_t width, std::int16_t length);

bool IsEmptyString(const std::string& text);

// ":", "/", "\" -> "-" and each blank -> "_".
std::string& MakeValidFileName(std::string& name);

// The text as a 32-bit integer (rounded half to even) when it is a number;
// 0 for an empty or non-numeric text; out of range raises error 6.
std::int32_t StrToLong(const std::string& text);

// The text as a whole number of 32 bits, blanks around it allowed; nothing
// for an empty text, a fraction, anything else, or a number out of range.
// Raises nothing: stored and received codes are read with it.
std::optional<std::int32_t> ParseWholeNumber(std::string_view text);
// Cuts the text before its first NUL byte.
std::string& TrimAtNullChar(std::string& text);

// encode: every CR LF becomes kCrLfMarker; otherwise every marker becomes CR LF.
// A lone CR or LF is left unchanged.
std::string ConvertCRLF(const std::string& text, bool encode);

// Restores the window to its normal state, shows it modeless (owned by the
// program's owner window modGenGlobals::AppOwnerForm when it has no parent)
// and brings it to the front.
void ActivateForm(QWidget* window);

// The two-byte frame length field of `value` (low byte first). A negative
// value raises error 5; a value above 32767 raises error 6.
std::string IntegerToBytes(int value);
// byte 0 + 256 * byte 1. Fewer than two bytes raises error 5; a second byte
// of 128 or more raises error 6.
std::int16_t BytesToInteger(const std::string& bytes);

// True for four "."-separated parts, each a number (blanks around it, a
// decimal point or an exponent accepted; rounded half to even) from 0 to 255,
// or exactly "*" when wildcardAllowed.
bool IsValidIPAddress(const std::string& ip, bool wildcardAllowed);

// True when `ip` matches a pattern of the "||" list: each of the four parts
// equals the ip's part as text or is "*". Parts after the fourth are ignored.
// An empty ip or list, an ip that is not four parts, and patterns of fewer
// than four parts match nothing.
bool IsIPInList(const std::string& ip, const std::string& list);

// "I_" followed by the number, or by the text without leading and trailing blanks.
std::string MakeCollectionKey(std::int64_t value);
std::string MakeCollectionKey(const std::string& value);
std::string MakeCollectionKey(const char* value);

// The program's message box (flags: 0 OK, 4 Yes/No, 16 critical, 64
// information; result 1 OK, 6 Yes, 7 No ...). A null owner means the
// program's owner window (modGenGlobals::AppOwnerForm).
int ShowMessageBox(const std::string& text, int flags, const std::string& title,
                   QWidget* owner = nullptr);

// An address checked with a ping: when `ip` is empty or askAlways, the
// person types it in the IP entry dialog (wildcards allowed; "" when
// cancelled). A non-empty address is then pinged (500 ms) and the person
// told whether it answered (13020) or not (13010). Returns the address.
std::string GetCheckedIPAddress(QWidget* owner, const std::string& ip, bool askAlways);

// The local paths of the files dropped with `data`, in order; nullopt for a
// null `data` or when it carries no file list.
std::optional<std::vector<std::string>> GetDroppedFiles(const QMimeData* data);

}  // namespace modGenFunctions
