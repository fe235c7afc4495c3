#include "clsGenEncryption.h"

#include <chrono>
#include <cstring>

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace {

constexpr int kHighestKey = 250;

// Adds (or, with subtract, takes away) the repeating key pattern K0 K1 K2 K3
// to `count` bytes, each byte modulo 256. Eight bytes at a time: the low
// seven bits of each byte are added without carrying into the next byte and
// the top bit is set from the sum's and the operands' top bits.
void applyKeys(const char* in, char* out, std::size_t count, const clsGenEncryption::Keys& keys,
               bool subtract) {
  constexpr std::uint64_t kTopBits = 0x8080808080808080ULL;
  std::uint64_t pattern = 0;
  for (int b = 0; b < 8; ++b) pattern |= static_cast<std::uint64_t>(keys[b % 4]) << (8 * b);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    const std::uint64_t result =
        subtract ? ((word | kTopBits) - (pattern & ~kTopBits)) ^ ((word ^ ~pattern) & kTopBits)
                 : ((word & ~kTopBits) + (pattern & ~kTopBits)) ^ ((word ^ pattern) & kTopBits);
    std::memcpy(out + i, &result, 8);
  }
  for (; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(in[i]);
    out[i] = static_cast<char>(subtract ? byte - keys[i % 4] : byte + keys[i % 4]);
  }
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
  std::string out(text.size() + 4, '\0');
  out[0] = static_cast<char>(keys[0]);
  out[1] = static_cast<char>(keys[2]);
  out[2] = static_cast<char>(keys[1]);
  applyKeys(text.data(), out.data() + 3, text.size(), keys, false);
  out.back() = static_cast<char>(keys[3]);
  return out;
}

std::string clsGenEncryption::EncryptString(const std::string& text) {
  try {
    Keys keys{};
    for (auto& key : keys) key = static_cast<std::uint8_t>(GetRandomNumber(kHighestKey));
    return encipherWithKeys(text, keys);
  } catch (...) {
    raiseAgain("clsGenEncryption.EncryptString");
  }
}

std::string clsGenEncryption::DecryptString(const std::string& text, int start) {
  try {
    if (text.empty()) return {};
    if (start < 1 || text.size() < static_cast<std::size_t>(start) + 3) {
      throw TvrError(kErrSubscript, "", "Subscript out of range");
    }
    const std::size_t k0 = static_cast<std::size_t>(start) - 1;
    const Keys keys{static_cast<std::uint8_t>(text[k0]), static_cast<std::uint8_t>(text[k0 + 2]),
                    static_cast<std::uint8_t>(text[k0 + 1]),
                    static_cast<std::uint8_t>(text.back())};
    const std::size_t first = k0 + 3;
    const std::size_t length = text.size() - first - 1;
    std::string plain(length, '\0');
    applyKeys(text.data() + first, plain.data(), length, keys, true);
    return plain;
  } catch (...) {
    raiseAgain("clsGenEncryption.DecryptString");
  }
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
