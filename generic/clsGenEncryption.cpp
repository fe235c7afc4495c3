#include "clsGenEncryption.h"

#include <chrono>
#include <cstring>

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace {

constexpr int kHighestKey = 250;
// K0 K2 K1 stand before the enciphered bytes, K3 after them.
constexpr std::size_t kKeyRoom = 3;

// Adds (or, with subtract, takes away) the repeating key pattern K0 K1 K2 K3
// to `count` bytes, each byte modulo 256: sixteen bytes at a time as one
// vector of bytes, whose sums wrap per byte.
void applyKeys(const char* in, char* out, std::size_t count, const clsGenEncryption::Keys& keys,
               bool subtract) {
  using Block = std::uint8_t __attribute__((vector_size(16)));
  Block pattern;
  for (int b = 0; b < 16; ++b) pattern[b] = keys[static_cast<std::size_t>(b % 4)];
  std::size_t i = 0;
  for (; i + sizeof(Block) <= count; i += sizeof(Block)) {
    Block block;
    std::memcpy(&block, in + i, sizeof(Block));
    block = subtract ? block - pattern : block + pattern;
    std::memcpy(out + i, &block, sizeof(Block));
  }
  for (; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(in[i]);
    out[i] = static_cast<char>(subtract ? byte - keys[i % 4] : byte + keys[i % 4]);
  }
}

// The keys of the enciphered form that starts at `text[keysAt]`; raises 9
// when `text` is too short to hold them.
clsGenEncryption::Keys keysOf(const std::string& text, std::size_t keysAt) {
  if (text.size() < keysAt + kKeyRoom + 1) throw TvrError(kErrSubscript, "", "Subscript out of range");
  return {static_cast<std::uint8_t>(text[keysAt]), static_cast<std::uint8_t>(text[keysAt + 2]),
          static_cast<std::uint8_t>(text[keysAt + 1]), static_cast<std::uint8_t>(text.back())};
}

void writeFirstKeys(char* room, const clsGenEncryption::Keys& keys) {
  room[0] = static_cast<char>(keys[0]);
  room[1] = static_cast<char>(keys[2]);
  room[2] = static_cast<char>(keys[1]);
}

}  // namespace

clsGenEncryption::clsGenEncryption()
    : generator_(static_cast<std::mt19937::result_type>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count() ^ std::random_device{}())) {}

clsGenEncryption& GenEncryption() {
  static clsGenEncryption instance;
  return instance;
}

std::string clsGenEncryption::encipherWithKeys(const std::string& text, const Keys& keys) {
  std::string out(text.size() + kKeyRoom + 1, '\0');
  writeFirstKeys(out.data(), keys);
  applyKeys(text.data(), out.data() + kKeyRoom, text.size(), keys, false);
  out.back() = static_cast<char>(keys[3]);
  return out;
}

std::string clsGenEncryption::EncryptString(const std::string& text) {
  try {
    return encipherWithKeys(text, freshKeys());
  } catch (...) {
    raiseAgain("clsGenEncryption.EncryptString");
  }
}

void clsGenEncryption::EncryptInPlace(char* form, std::size_t textLength) {
  try {
    const Keys keys = freshKeys();
    writeFirstKeys(form, keys);
    applyKeys(form + kKeyRoom, form + kKeyRoom, textLength, keys, false);
    form[kKeyRoom + textLength] = static_cast<char>(keys[3]);
  } catch (...) {
    raiseAgain("clsGenEncryption.EncryptInPlace");
  }
}

std::string clsGenEncryption::DecryptString(const std::string& text, int start) {
  try {
    if (text.empty()) return {};
    if (start < 1) throw TvrError(kErrSubscript, "", "Subscript out of range");
    const std::size_t keysAt = static_cast<std::size_t>(start) - 1;
    const Keys keys = keysOf(text, keysAt);
    std::string plain(text.size() - keysAt - kKeyRoom - 1, '\0');
    applyKeys(text.data() + keysAt + kKeyRoom, plain.data(), plain.size(), keys, true);
    return plain;
  } catch (...) {
    raiseAgain("clsGenEncryption.DecryptString");
  }
}

void clsGenEncryption::DecryptInPlace(std::string& text, std::size_t keysAt) {
  try {
    if (text.empty()) return;
    const Keys keys = keysOf(text, keysAt);
    const std::size_t length = text.size() - keysAt - kKeyRoom - 1;
    // The plain bytes land three bytes before the enciphered ones they come
    // from, which applyKeys has read by then.
    applyKeys(text.data() + keysAt + kKeyRoom, text.data() + keysAt, length, keys, true);
    text.resize(keysAt + length);
  } catch (...) {
    raiseAgain("clsGenEncryption.DecryptInPlace");
  }
}

clsGenEncryption::Keys clsGenEncryption::freshKeys() {
  Keys keys{};
  for (auto& key : keys) key = static_cast<std::uint8_t>(GetRandomNumber(kHighestKey));
  return keys;
}

std::int16_t clsGenEncryption::GetRandomNumber(int n) {
  try {
    if (n < 1 || n > 32767) throw TvrError(kErrInvalidCall, "", "Invalid procedure call or argument");
    std::uniform_int_distribution<int> draw(1, n);
    return static_cast<std::int16_t>(draw(generator_));
  } catch (...) {
    raiseAgain("clsGenEncryption.GetRandomNumber");
  }
}
