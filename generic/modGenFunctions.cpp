#include "modGenFunctions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <QWindow>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "Clock.h"
#include "MessageBox.h"
#include "TvrError.h"
#include "clsGenAPI.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsString.h"
#include "modGenGlobals.h"

namespace modGenFunctions {
namespace {

constexpr int kCheckPingTimeoutMs = 500;
constexpr int kAddressSilent = 13010;
constexpr int kAddressAnswers = 13020;

QWidget* appOwnerWindow() { return static_cast<QWidget*>(modGenGlobals::AppOwnerForm); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A number as a person may type it: blanks around it, an optional sign,
// digits with at most one decimal point, an optional exponent (E or D).
// nullopt for anything else.
std::optional<double> parseNumber(std::string_view text) {
  text = modGenFunctionsString::trimBlanks(text);
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::string digits;
  std::size_t i = 0;
  bool anyDigit = false;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i])) {
      anyDigit = true;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
    digits += text[i];
  }
  if (!anyDigit) return std::nullopt;
  if (i < text.size()) {
    const char mark = text[i];
    if (mark != 'e' && mark != 'E' && mark != 'd' && mark != 'D') return std::nullopt;
    digits += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) digits += text[i++];
    if (i >= text.size()) return std::nullopt;
    for (; i < text.size(); ++i) {
      if (!isDigit(text[i])) return std::nullopt;
      digits += text[i];
    }
  }
  double value = 0;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large, or too small to tell from zero.
    value = digits.find("e-") != std::string::npos ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (result.ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

// Rounds half to even (2.5 -> 2, 3.5 -> 4), as every text-to-number
// conversion of the program does.
double roundHalfEven(double value) {
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff < 0.5) return floor;
  if (diff > 0.5) return floor + 1;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

std::int32_t checkedInt32(std::int64_t value, const char* what) {
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw TvrError(kErrOverflow, "", std::string("Overflow in ") + what);
  }
  return static_cast<std::int32_t>(value);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  std::size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

// ----- date formatting -----

struct FormatToken {
  char kind;  // y M d h n s, or 0 for literal text
  int count;
  std::string literal;
};

std::vector<FormatToken> tokenizeFormat(const std::string& format) {
  std::vector<FormatToken> tokens;
  for (std::size_t i = 0; i < format.size();) {
    const char c = format[i];
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == '\\' && i + 1 < format.size()) {
      tokens.push_back({0, 0, std::string(1, format[i + 1])});
      i += 2;
    } else if (c == '"') {
      const auto end = format.find('"', i + 1);
      const auto stop = end == std::string::npos ? format.size() : end;
      tokens.push_back({0, 0, format.substr(i + 1, stop - i - 1)});
      i = stop + 1;
    } else if (std::string_view("ymdhns").find(lower) != std::string_view::npos) {
      std::size_t j = i;
      while (j < format.size() && std::tolower(static_cast<unsigned char>(format[j])) == lower) ++j;
      tokens.push_back({lower == 'm' ? 'M' : lower, static_cast<int>(j - i), {}});
      i = j;
    } else {
      tokens.push_back({0, 0, std::string(1, c)});
      ++i;
    }
  }
  // "m" or "mm" right after an hour or right before a second is a minute.
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind != 'M' || tokens[i].count > 2) continue;
    char before = 0, after = 0;
    for (std::size_t j = i; j-- > 0;) {
      if (tokens[j].kind != 0) { before = tokens[j].kind; break; }
    }
    for (std::size_t j = i + 1; j < tokens.size(); ++j) {
      if (tokens[j].kind != 0) { after = tokens[j].kind; break; }
    }
    if (before == 'h' || after == 's') tokens[i].kind = 'n';
  }
  return tokens;
}

std::string number(int value, int width) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string formatToken(const FormatToken& token, const QDateTime& when) {
  const QLocale c = QLocale::c();
  const QDate date = when.date();
  const QTime time = when.time();
  const int pad = token.count >= 2 ? 2 : 1;
  switch (token.kind) {
    case 'y':
      if (token.count == 1) return std::to_string(date.dayOfYear());
      if (token.count == 2) return number(date.year() % 100, 2);
      return number(date.year(), 4);
    case 'M':
      if (token.count <= 2) return number(date.month(), pad);
      return c.monthName(date.month(), token.count == 3 ? QLocale::ShortFormat : QLocale::LongFormat)
          .toStdString();
    case 'd':
      if (token.count <= 2) return number(date.day(), pad);
      return c.dayName(date.dayOfWeek(), token.count == 3 ? QLocale::ShortFormat : QLocale::LongFormat)
          .toStdString();
    case 'h': return number(time.hour(), pad);
    case 'n': return number(time.minute(), pad);
    case 's': return number(time.second(), pad);
    default: return token.literal;
  }
}

QDateTime moveDate(const QDateTime& when, const std::string& interval, std::int32_t count) {
  if (interval == "yyyy") return when.addYears(count);
  if (interval == "q") return when.addMonths(checkedInt32(3LL * count, "GetFormattedDate"));
  if (interval == "m") return when.addMonths(count);
  if (interval == "y" || interval == "d" || interval == "w") return when.addDays(count);
  if (interval == "ww") return when.addDays(7LL * count);
  if (interval == "h") return when.addSecs(3600LL * count);
  if (interval == "n") return when.addSecs(60LL * count);
  if (interval == "s") return when.addSecs(count);
  throw TvrError(kErrInvalidCall, "", "Invalid date interval \"" + interval + "\"");
}

}  // namespace

std::string& AppendIfMissing(std::string& text, const std::string& suffix) {
  if (!text.ends_with(suffix)) text += suffix;
  return text;
}

std::string& AddToString(std::string& text, const std::string& item, bool addSeparator,
                         bool addCrLf) {
  if (!text.empty() && addSeparator) text += kListSeparator;
  text += item;
  if (addCrLf) text += "\r\n";
  return text;
}

std::int32_t Increment(std::int32_t& counter, std::int32_t amount) {
  try {
    counter = checkedInt32(static_cast<std::int64_t>(counter) + amount, "Increment");
    return counter;
  } catch (...) {
    raiseAgain("modGenFunctions.Increment");
  }
}

std::int32_t Decrement(std::int32_t& counter, std::int32_t amount) {
  try {
    counter = checkedInt32(static_cast<std::int64_t>(counter) - amount, "Decrement");
    return counter;
  } catch (...) {
    raiseAgain("modGenFunctions.Decrement");
  }
}

std::string& EncodeXMLChars(std::string& text) {
  text = replaceAll(text, "<", "&lt;");
  text = replaceAll(text, ">", "&gt;");
  text = replaceAll(text, "\"", "&quot;");
  return text;
}

std::string GetFormattedDate(const std::string& interval, std::int32_t number,
                             const std::string& format) {
  try {
    QDateTime when = platform::now();
    if (number != 0) when = moveDate(when, interval, number);
    std::string text;
    for (const FormatToken& token : tokenizeFormat(format)) text += formatToken(token, when);
    return text;
  } catch (...) {
    raiseAgain("modGenFunctions.GetFormattedDate");
  }
}

std::string ZeroPad(std::int16_t width, std::int16_t length) {
  try {
    if (width - length < 0) throw TvrError(kErrInvalidCall, "", "Invalid procedure call or argument");
    return std::string(static_cast<std::size_t>(width - length), '0');
  } catch (...) {
    raiseAgain("modGenFunctions.ZeroPad");
  }
}

bool IsEmptyString(const std::string& text) { return text.empty(); }

std::string& MakeValidFileName(std::string& name) {
  for (char& c : name) {
    if (c == ':' || c == '/' || c == '\\') c = '-';
    else if (c == ' ') c = '_';
  }
  return name;
}

std::optional<std::int32_t> ParseWholeNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::int32_t StrToLong(const std::string& text) {
  try {
    const auto value = parseNumber(text);
    if (!value) return 0;
    const double rounded = roundHalfEven(*value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max())) {
      throw TvrError(kErrOverflow, "", "Overflow");
    }
    return static_cast<std::int32_t>(rounded);
  } catch (...) {
    raiseAgain("modGenFunctions.StrToLong");
  }
}

std::string& TrimAtNullChar(std::string& text) {
  const auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::string ConvertCRLF(const std::string& text, bool encode) {
  return encode ? replaceAll(text, "\r\n", kCrLfMarker) : replaceAll(text, kCrLfMarker, "\r\n");
}

void ActivateForm(QWidget* window) {
  try {
    if (window == nullptr) throw TvrError(kErrObjectNotSet, "", "Object variable not set");
    window->setWindowState(window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    QWidget* owner = appOwnerWindow();
    if (owner != nullptr && owner != window && window->isWindow() && window->parentWidget() == nullptr) {
      window->winId();
      owner->winId();
      window->windowHandle()->setTransientParent(owner->windowHandle());
    }
    window->show();
    window->raise();
    window->activateWindow();
  } catch (...) {
    raiseAgain("modGenFunctions.ActivateForm");
  }
}

std::string IntegerToBytes(int value) {
  try {
    if (value < 0) throw TvrError(kErrInvalidCall, "", "Invalid procedure call or argument");
    if (value > 32767) throw TvrError(kErrOverflow, "", "Overflow");
    return {static_cast<char>(value & 255), static_cast<char>(value / 256)};
  } catch (...) {
    raiseAgain("modGenFunctions.IntegerToBytes");
  }
}

std::int16_t BytesToInteger(const std::string& bytes) {
  try {
    if (bytes.size() < 2) throw TvrError(kErrInvalidCall, "", "Invalid procedure call or argument");
    const auto low = static_cast<unsigned char>(bytes[0]);
    const auto high = static_cast<unsigned char>(bytes[1]);
    if (high >= 128) throw TvrError(kErrOverflow, "", "Overflow");
    return static_cast<std::int16_t>(low + 256 * high);
  } catch (...) {
    raiseAgain("modGenFunctions.BytesToInteger");
  }
}

bool IsValidIPAddress(const std::string& ip, bool wildcardAllowed) {
  const auto parts = modGenFunctionsString::splitText(ip, ".");
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (const auto value = parseNumber(part)) {
      const double rounded = roundHalfEven(*value);
      if (rounded < 0 || rounded > 255) return false;
    } else if (!(wildcardAllowed && part == "*")) {
      return false;
    }
  }
  return true;
}

bool IsIPInList(const std::string& ip, const std::string& list) {
  if (ip.empty() || list.empty()) return false;
  const auto ipParts = modGenFunctionsString::splitText(ip, ".");
  if (ipParts.size() != 4) return false;
  for (const std::string& pattern : modGenFunctionsString::splitText(list, kListSeparator)) {
    const auto parts = modGenFunctionsString::splitText(pattern, ".");
    if (parts.size() < 4) continue;
    bool all = true;
    for (std::size_t i = 0; i < 4 && all; ++i) all = parts[i] == "*" || parts[i] == ipParts[i];
    if (all) return true;
  }
  return false;
}

std::string MakeCollectionKey(std::int64_t value) { return "I_" + std::to_string(value); }

std::string MakeCollectionKey(const std::string& value) {
  return "I_" + std::string(modGenFunctionsString::trimBlanks(value));
}

std::string MakeCollectionKey(const char* value) { return MakeCollectionKey(std::string(value)); }

int ShowMessageBox(const std::string& text, int flags, const std::string& title, QWidget* owner) {
  try {
    return platform::showMessageBox(text, flags, title, owner != nullptr ? owner : appOwnerWindow());
  } catch (...) {
    raiseAgain("modGenFunctions.ShowMessageBox");
  }
}

std::optional<std::vector<std::string>> GetDroppedFiles(const QMimeData* data) {
  try {
    if (data == nullptr || !data->hasUrls()) return std::nullopt;
    std::vector<std::string> files;
    for (const QUrl& url : data->urls()) {
      if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
    }
    if (files.empty()) return std::nullopt;
    return files;
  } catch (...) {
    raiseAgain("modGenFunctions.GetDroppedFiles");
  }
}

std::string GetCheckedIPAddress(QWidget* owner, const std::string& ip, bool askAlways) {
  try {
    std::string address = ip;
    if (address.empty() || askAlways) {
      address = modGenFunctionsControl::InputIPFromUser(owner, address, true);
    }
    if (address.empty()) return address;
    QCoreApplication::processEvents();
    clsGenAPI api;
    const bool answered = api.Ping(address, "", kCheckPingTimeoutMs) == kPingAnswered;
    ShowMessageBox(modGenFunctionsResource::GetResourceMessage(
                       answered ? kAddressAnswers : kAddressSilent, {address}),
                   platform::kMbInformation, kAppTitle, owner);
    return address;
  } catch (...) {
    raiseAgain("modGenFunctions.GetCheckedIPAddress");
  }
}

}  // namespace modGenFunctions
