#pragma once
// RegistryStore: the user's registry on this system, one file of keys and
// typed values (JSON, value data hex-encoded) in the user's configuration
// folder. Every call reads the file afresh; every change reads, changes and
// rewrites it under a lock file, through a temporary file in the same folder
// that is flushed to disk and then renamed over the store, so a crash while
// saving leaves the previous store whole and other processes see either.
//
// Keys are addressed by a predefined root (kHkeyCurrentUser ...) and a path
// of names joined by "\"; empty names in a path are skipped. Key and value
// names compare without regard to case, as the registry does. A store file
// that cannot be understood reads as empty; the first change puts it aside
// as "<file>.corrupt-<time>" (nothing of it is lost) and starts a new store.
//
// The text values (types 1 and 2) under the current user's Run key start
// programs at log-on: each also has an XDG autostart entry
// "<configuration folder>/autostart/<value name>.desktop" that starts the
// program the value names; deleting the value or its key removes the entry.
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The predefined roots are 0x80000000 (classes root) to 0x80000006.
inline constexpr std::uint32_t kHkeyCurrentUser = 0x80000001u;
inline constexpr std::uint32_t kHkeyLocalMachine = 0x80000002u;

// Under kHkeyCurrentUser: the values that start programs at log-on.
inline constexpr const char* kRunKeyPath = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// One stored value: its registry type number and its bytes, exactly as stored.
struct RegistryData {
  std::uint32_t type = 0;
  std::string bytes;

  bool operator==(const RegistryData&) const = default;
};

class RegistryStore {
 public:
  enum class Status {
    kOk,
    kNoKey,        // the key does not exist (or its root is not a predefined root)
    kNoValue,      // the key has no value of that name
    kHasSubKeys,   // a key with sub keys cannot be deleted
    kNotWritten,   // the store or an autostart entry could not be written
  };

  // $TAVINOR_REGISTRY_FILE when set, else "tavinor/registry.json" in the
  // user's configuration folder ($XDG_CONFIG_HOME, else ~/.config).
  static std::string defaultFile();
  // "autostart" in the user's configuration folder.
  static std::string autostartFolder();

  explicit RegistryStore(std::string file = defaultFile());

  const std::string& file() const { return file_; }

  // A predefined root with an empty path always exists.
  bool keyExists(std::uint32_t root, const std::string& path) const;
  std::optional<RegistryData> value(std::uint32_t root, const std::string& path,
                                    const std::string& name) const;

  // Creates the key and its missing parents; an existing key is kept.
  Status createKey(std::uint32_t root, const std::string& path);
  // Deletes a key that has no sub keys, with its values.
  Status deleteKey(std::uint32_t root, const std::string& path);
  // Stores or replaces a value of an existing key (a replaced value keeps
  // the spelling of its name).
  Status setValue(std::uint32_t root, const std::string& path, const std::string& name,
                  const RegistryData& data);
  Status deleteValue(std::uint32_t root, const std::string& path, const std::string& name);

 private:
  std::string file_;
};

}  // namespace platform
