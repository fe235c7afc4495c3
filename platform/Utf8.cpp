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

}  // namespace

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
