#include "Utf8.h"

namespace platform::utf8 {
namespace {

// Length in bytes of the code point starting at `pos`, never past the end and
// never over a following lead byte.
std::size_t codePointSize(std::string_view text, std::size_t pos) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  std::size_t size = 1;
  if (lead >= 0xF0 && lead < 0xF8) size = 4;
  else if (lead >= 0xE0) size = (lead < 0xF0) ? 3 : 1;
  else if (lead >= 0xC0) size = 2;
  std::size_t taken = 1;
  while (taken < size && pos + taken < text.size() &&
         (static_cast<unsigned char>(text[pos + taken]) & 0xC0) == 0x80) {
    ++taken;
  }
  return taken;
}

// Byte offset of code point `index`, or text.size() when the text is shorter.
std::size_t byteOffset(std::string_view text, std::size_t index) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < index && pos < text.size(); ++i) pos += codePointSize(text, pos);
  return pos;
}

// Length of the well-formed UTF-8 sequence at `pos`, 0 when there is none.
std::size_t wellFormedSize(std::string_view text, std::size_t pos) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  std::size_t size = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + size > text.size() || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < size; ++i) {
    if ((at(i) & 0xC0) != 0x80) return 0;
  }
  return size;
}

}  // namespace

std::string valid(std::string_view text, char replacement) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t size = wellFormedSize(text, pos);
    if (size == 0) {
      result += replacement;
      ++pos;
    } else {
      result.append(text.substr(pos, size));
      pos += size;
    }
  }
  return result;
}

std::size_t length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); pos += codePointSize(text, pos)) ++count;
  return count;
}

std::string left(std::string_view text, std::size_t count) {
  return std::string(text.substr(0, byteOffset(text, count)));
}

std::string right(std::string_view text, std::size_t count) {
  const std::size_t total = length(text);
  if (count >= total) return std::string(text);
  return std::string(text.substr(byteOffset(text, total - count)));
}

std::string mid(std::string_view text, std::size_t start, std::size_t count) {
  const std::size_t from = byteOffset(text, start);
  const std::string_view rest = text.substr(from);
  if (count == std::string::npos) return std::string(rest);
  return std::string(rest.substr(0, byteOffset(rest, count)));
}

}  // namespace platform::utf8
