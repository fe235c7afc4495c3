#pragma once
// The framing of a data file's journal as tests damage it: each record is a
// length and a check of 4 bytes each (little-endian), then its payload.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace JournalBytes {

inline std::uint32_t wordAt(const std::string& bytes, std::size_t at) {
  std::uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return word;
}

inline void putWordAt(std::string& bytes, std::size_t at, std::uint32_t word) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(word >> (8 * i) & 0xFF);
}

// Where each record starts; the first is the journal's identity.
inline std::vector<std::size_t> recordStarts(const std::string& journal) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 8 <= journal.size(); at += 8 + wordAt(journal, at)) starts.push_back(at);
  return starts;
}

// The journal with one byte in the middle of the text of the record that
// starts at `at` flipped: the record stays whole and fails its check.
inline std::string withTextByteFlipped(std::string journal, std::size_t at) {
  journal[at + 8 + wordAt(journal, at) / 2] ^= 0x20;
  return journal;
}

}  // namespace JournalBytes
