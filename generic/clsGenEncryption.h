#pragma once
// clsGenEncryption: the program's file and frame cipher, an additive byte
// cipher with four one-byte keys drawn at random for every text and stored in
// the enciphered text itself, so no key is kept anywhere.
//
// Enciphered form (EncipheredFileFormat) of a plain text t[0..n-1] with keys
// K0..K3, each 1..250:
//   offset 0: K0, 1: K2, 2: K1 (note the order), 3..3+n-1: (t[i] + K(i mod 4)) mod 256,
//   3+n: K3.  Total n + 4 bytes.
// In a wire frame the same layout follows one flag byte, so K0 is at offset 1.
// The text is taken byte by byte (UTF-8 bytes are the cipher's characters).
// There is no check value: a damaged key byte deciphers to wrong bytes
// without an error.
//
// Holds no state between calls apart from its random generator; one thread only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

class clsGenEncryption {
 public:
  // K0, K1, K2, K3.
  using Keys = std::array<std::uint8_t, 4>;

  clsGenEncryption();

  // The enciphered form of `text` with four fresh keys.
  std::string EncryptString(const std::string& text);

  // The plain text of an enciphered `text` whose key K0 stands at the 1-based
  // position `start` (1 for files, 2 for frames); the flag byte, if any, and
  // the four key bytes are left out. "" gives "". A text too short to hold its
  // keys (fewer than start + 3 bytes) raises error 9.
  std::string DecryptString(const std::string& text, int start);
  // DecryptString without a second buffer: the enciphered form that starts
  // at `text[keysAt]` (K0) and runs to the end of `text` is replaced by its
  // plain text, which then starts at `text[keysAt]`; the bytes before it are
  // kept. Same errors as DecryptString (with start = keysAt + 1).
  void DecryptInPlace(std::string& text, std::size_t keysAt);
  // EncryptString without a second buffer: `form` holds textLength + 4
  // bytes, three bytes of room, the plain text and one more byte of room.
  // The text is enciphered where it stands and the keys fill the room.
  void EncryptInPlace(char* form, std::size_t textLength);

  // A pseudo-random integer from 1 to n, evenly distributed; n below 1 raises error 5.
  std::int16_t GetRandomNumber(int n);

  // The enciphered form of `text` under the given keys (each 1..250).
  static std::string encipherWithKeys(const std::string& text, const Keys& keys);

 private:
  Keys freshKeys();

  std::mt19937 generator_;
};

// The one global instance, created on first use.
clsGenEncryption& GenEncryption();
