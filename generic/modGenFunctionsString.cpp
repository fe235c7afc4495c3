#include "modGenFunctionsString.h"

#include "Utf8.h"

namespace modGenFunctionsString {

std::string& PadRight(std::string& text, int length) {
  const auto current = platform::utf8::length(text);
  if (length > 0 && current < static_cast<std::size_t>(length)) {
    text.append(static_cast<std::size_t>(length) - current, ' ');
  }
  return text;
}

std::string_view trimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> splitText(std::string_view text, std::string_view separator) {
  if (text.empty()) return {};
  if (separator.empty()) return {std::string(text)};
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t pos; (pos = text.find(separator, start)) != std::string_view::npos;
       start = pos + separator.size()) {
    parts.emplace_back(text.substr(start, pos - start));
  }
  parts.emplace_back(text.substr(start));
  return parts;
}

}  // namespace modGenFunctionsString
