#pragma once
// Code-point counting over UTF-8 texts. Every place that cuts or counts the
// characters of a text shown to a person or used as a name goes through here,
// so no code point is ever split. Invalid bytes count as one character each.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform::utf8 {

std::size_t length(std::string_view text);
// The first `count` code points.
std::string left(std::string_view text, std::size_t count);
// The last `count` code points.
std::string right(std::string_view text, std::size_t count);
// `count` code points starting at code point `start` (0-based).
std::string mid(std::string_view text, std::size_t start, std::size_t count = std::string::npos);

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// (stray continuation bytes, cut or over-long sequences, surrogates, code
// points past U+10FFFF) replaced by `replacement`.
std::string valid(std::string_view text, char replacement);

}  // namespace platform::utf8
