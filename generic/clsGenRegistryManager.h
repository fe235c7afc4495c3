#pragma once
// clsGenRegistryManager: one key or one value of the registry per call
// (platform/RegistryStore): test, create and delete keys, delete values, read
// a value of any common type, write a text, binary or 32-bit number value.
//
// No state: callers create an instance for a piece of work. Every error
// carries the number 26001 (or kRegistryWriteFailed for a failed write), the
// source "<executable>.clsRegistryManager" and the texts below; each
// operation reports it to the error handler (no log line) and raises it again
// unchanged. A missing key is no error for KeyExists, a missing value none
// for QueryValue.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// Value type numbers of the registry.
enum RegistryValueType : int {
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegMultiSz = 7,
};

// Roots as callers pass them (signed, as error texts write them).
inline constexpr std::int32_t kHkeyCurrentUser = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t kHkeyLocalMachine = static_cast<std::int32_t>(0x80000002u);

inline constexpr int kRegistryError = 26001;
inline constexpr int kRegistryWriteFailed = static_cast<int>(0x800469A9u);

// A value as callers pass and receive it: a text, a 32-bit number or bytes.
using RegistryValue = std::variant<std::string, std::int32_t, std::vector<std::uint8_t>>;

class clsGenRegistryManager {
 public:
  // True when the key exists; never raises for a missing key.
  bool KeyExists(std::int32_t root, const std::string& keyPath);

  // Creates the key and its missing parents (an existing key is kept).
  // Raises 26001 "Failed to create registry Key: '<path>" on failure.
  bool CreateKey(std::int32_t root, const std::string& keyPath);

  // Deletes a key without sub keys, with its values. Raises 26001
  // "Failed to delete registry Key: '<root>',Section: '<path>" on failure.
  bool DeleteKey(std::int32_t root, const std::string& keyPath);

  // Raises 26001 "Failed to open key '<root>',Section: '<path>' for delete
  // access" for a missing key and "Failed to delete registry Key: '<root>',
  // Section: '<path>',Key: '<name>" for a missing value.
  bool DeleteValue(std::int32_t root, const std::string& keyPath, const std::string& valueName);

  // The value typed by its registry type: types 1 and 7 as their text
  // without the last stored byte, 2 the same with %NAME% expanded, 4 the
  // number, 5 the number with its bytes reversed, any other type the bytes.
  // `defaultText` when the value cannot be read.
  RegistryValue QueryValue(std::int32_t root, const std::string& keyPath,
                           const std::string& valueName, const std::string& defaultText);

  // Stores the value, creating the key when missing. Types 1 and 2 store the
  // value as text with a closing NUL, as type 2 exactly when it holds a "%"
  // with a further "%" two or more characters on; 3 needs bytes (else 26001
  // with no description); 4 and 5 need a number, stored as type 4, low byte
  // first. A type that cannot take the value, or any other type number, is a
  // failed write: kRegistryWriteFailed, and nothing is stored.
  void SetValue(std::int32_t root, const std::string& keyPath, const std::string& valueName,
                const RegistryValue& value, int type);

  static std::int32_t SwapEndian(std::int32_t value);

  // `text` with each %NAME% naming a set environment variable replaced by
  // its value; other "%" stay as they are.
  static std::string ExpandEnvStr(const std::string& text);
};
