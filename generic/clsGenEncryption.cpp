#include "clsGenEncryption.h"

#include <chrono>

#include "TvrError.h"
#include "clsGenErrorHandler.h"

namespace {

constexpr int kHighestKey = 250;

}  // namespace

clsGenEncryption::clsGenEncryption()
    : generator_(static_cast<std::mt19937::result_type>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count() ^ std::random_device{}())) {}

clsGenEncryption& GenEncryption() {
  static clsGenEncryption instance;
  return instance;
}

std::string clsGenEncryption::encipherWithKeys(const std::string& text, const Keys& keys) {
  std::string out;
  out.reserve(text.size() + 4);
  out += static_cast<char>(keys[0]);
  out += static_cast<char>(keys[2]);
  out += static_cast<char>(keys[1]);
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += static_cast<char>(static_cast<unsigned char>(text[i]) + keys[i % 4]);
  }
  out += static_cast<char>(keys[3]);
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
    for (std::size_t i = 0; i < length; ++i) {
      plain[i] = static_cast<char>(static_cast<unsigned char>(text[first + i]) - keys[i % 4]);
    }
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
