#include "clsGenRegistryManager.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "RegistryStore.h"
#include "clsGenErrorHandler.h"

namespace {

using platform::RegistryData;
using platform::RegistryStore;
using Status = RegistryStore::Status;

std::string errorSource() { return std::string(program_invocation_short_name) + ".clsRegistryManager"; }

[[noreturn]] void raise(int number, std::string description) {
  throw TvrError(number, errorSource(), std::move(description));
}

// Reports the error being handled and raises it again unchanged, so that
// callers see the number, source and description it was raised with.
[[noreturn]] void reportAndRaise() {
  TvrError error = currentError();
  if (error.source().empty()) error = TvrError(error.number(), errorSource(), error.description());
  int handled = 0;
  GenErrorHandler().HandleError(error.number(), error.source(), error.description(), 0, 0,
                                error.helpContext(), error.helpFile(), 0, handled);
  throw error;
}

std::uint32_t rootKey(std::int32_t root) { return static_cast<std::uint32_t>(root); }

std::string textOf(const RegistryValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<std::int32_t>(&value)) return std::to_string(*number);
  const auto& bytes = std::get<std::vector<std::uint8_t>>(value);
  return std::string(bytes.begin(), bytes.end());
}

// A text with a "%" and a further "%" two or more characters on may name an
// environment variable, so it is stored for expansion on reading.
bool mayNameVariable(const std::string& text) {
  const auto first = text.find('%');
  return first != std::string::npos && text.find('%', first + 2) != std::string::npos;
}

std::string littleEndianBytes(std::uint32_t number) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
  return bytes;
}

std::int32_t fromLittleEndian(const std::string& bytes) {
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<std::uint8_t>(bytes[i]);
  return static_cast<std::int32_t>(number);
}

// What SetValue stores for `value` under `type`; nothing when the type
// cannot take the value.
std::optional<RegistryData> storedForm(const RegistryValue& value, int type) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz: {
      const std::string text = textOf(value);
      return RegistryData{mayNameVariable(text) ? 2u : 1u, text + '\0'};
    }
    case kRegBinary: {
      const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value);
      if (bytes == nullptr) raise(kRegistryError, "");
      return RegistryData{3u, std::string(bytes->begin(), bytes->end())};
    }
    case kRegDword:
    case kRegDwordBigEndian: {
      const auto* number = std::get_if<std::int32_t>(&value);
      if (number == nullptr) return std::nullopt;
      return RegistryData{4u, littleEndianBytes(static_cast<std::uint32_t>(*number))};
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

bool clsGenRegistryManager::KeyExists(std::int32_t root, const std::string& keyPath) {
  try {
    return RegistryStore().keyExists(rootKey(root), keyPath);
  } catch (...) {
    reportAndRaise();
  }
}

bool clsGenRegistryManager::CreateKey(std::int32_t root, const std::string& keyPath) {
  try {
    if (RegistryStore().createKey(rootKey(root), keyPath) != Status::kOk) {
      raise(kRegistryError, "Failed to create registry Key: '" + keyPath);
    }
    return true;
  } catch (...) {
    reportAndRaise();
  }
}

bool clsGenRegistryManager::DeleteKey(std::int32_t root, const std::string& keyPath) {
  try {
    if (RegistryStore().deleteKey(rootKey(root), keyPath) != Status::kOk) {
      raise(kRegistryError, "Failed to delete registry Key: '" + std::to_string(root) +
                                "',Section: '" + keyPath);
    }
    return true;
  } catch (...) {
    reportAndRaise();
  }
}

bool clsGenRegistryManager::DeleteValue(std::int32_t root, const std::string& keyPath,
                                        const std::string& valueName) {
  try {
    const Status status = RegistryStore().deleteValue(rootKey(root), keyPath, valueName);
    if (status == Status::kNoKey) {
      raise(kRegistryError, "Failed to open key '" + std::to_string(root) + "',Section: '" +
                                keyPath + "' for delete access");
    }
    if (status != Status::kOk) {
      raise(kRegistryError, "Failed to delete registry Key: '" + std::to_string(root) +
                                "',Section: '" + keyPath + "',Key: '" + valueName);
    }
    return true;
  } catch (...) {
    reportAndRaise();
  }
}

RegistryValue clsGenRegistryManager::QueryValue(std::int32_t root, const std::string& keyPath,
                                                const std::string& valueName,
                                                const std::string& defaultText) {
  try {
    const auto data = RegistryStore().value(rootKey(root), keyPath, valueName);
    if (!data) return defaultText;
    const std::string& bytes = data->bytes;
    switch (data->type) {
      case kRegSz:
      case kRegMultiSz:
        return bytes.substr(0, bytes.empty() ? 0 : bytes.size() - 1);
      case kRegExpandSz:
        return ExpandEnvStr(bytes.substr(0, bytes.empty() ? 0 : bytes.size() - 1));
      case kRegDword:
        if (bytes.size() != 4) return defaultText;
        return fromLittleEndian(bytes);
      case kRegDwordBigEndian:
        if (bytes.size() != 4) return defaultText;
        return SwapEndian(fromLittleEndian(bytes));
      default:
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
  } catch (...) {
    reportAndRaise();
  }
}

void clsGenRegistryManager::SetValue(std::int32_t root, const std::string& keyPath,
                                     const std::string& valueName, const RegistryValue& value,
                                     int type) {
  try {
    RegistryStore store;
    const std::string where = "Key: '" + std::to_string(root) + "',Section: '" + keyPath + "',";
    const std::string what = "Key: '" + valueName + "' to value: '" + textOf(value) + "'";
    if (store.createKey(rootKey(root), keyPath) != Status::kOk) {
      raise(kRegistryError, "Failed to set registry value " + where + what);
    }
    const auto data = storedForm(value, type);
    if (!data || store.setValue(rootKey(root), keyPath, valueName, *data) != Status::kOk) {
      raise(kRegistryWriteFailed, "Failed to set registry value " + where + " " + what);
    }
  } catch (...) {
    reportAndRaise();
  }
}

std::int32_t clsGenRegistryManager::SwapEndian(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  return static_cast<std::int32_t>((bits >> 24) | ((bits >> 8) & 0xFF00u) |
                                   ((bits << 8) & 0xFF0000u) | (bits << 24));
}

std::string clsGenRegistryManager::ExpandEnvStr(const std::string& text) {
  try {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t open = text.find('%', at);
      const std::size_t close = open == std::string::npos ? open : text.find('%', open + 1);
      if (close == std::string::npos) return out + text.substr(at);
      out += text.substr(at, open - at);
      const std::string name = text.substr(open + 1, close - open - 1);
      const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
      if (value != nullptr) {
        out += value;
        at = close + 1;
      } else {
        // Not a variable: keep "%NAME" and let the closing "%" open the next one.
        out += text.substr(open, close - open);
        at = close;
      }
    }
    return out;
  } catch (...) {
    reportAndRaise();
  }
}
