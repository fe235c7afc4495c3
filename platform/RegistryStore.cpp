#include "RegistryStore.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringList>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "AtomicFile.h"
#include "Clock.h"

namespace platform {
namespace {

constexpr const char* kFormatName = "tavinor-registry";
constexpr int kFormatVersion = 1;
constexpr int kLockWaitMs = 5000;
constexpr mode_t kStoreMode = 0600;
constexpr mode_t kAutostartMode = 0644;

struct StoredValue {
  QString name;
  std::uint32_t type = 0;
  QByteArray data;
};

struct StoredKey {
  std::uint32_t root = 0;
  QStringList path;
  std::vector<StoredValue> values;
};

using Document = std::vector<StoredKey>;

bool isPredefinedRoot(std::uint32_t root) { return root >= 0x80000000u && root <= 0x80000006u; }

QStringList pathOf(const std::string& text) {
  return QString::fromStdString(text).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

QString foldedPath(const QStringList& path) { return path.join(QLatin1Char('\\')).toCaseFolded(); }

StoredKey* findKey(Document& document, std::uint32_t root, const QStringList& path) {
  const QString wanted = foldedPath(path);
  for (StoredKey& key : document) {
    if (key.root == root && foldedPath(key.path) == wanted) return &key;
  }
  return nullptr;
}

StoredValue* findValue(StoredKey& key, const QString& name) {
  const QString wanted = name.toCaseFolded();
  for (StoredValue& value : key.values) {
    if (value.name.toCaseFolded() == wanted) return &value;
  }
  return nullptr;
}

bool hasSubKeys(const Document& document, std::uint32_t root, const QStringList& path) {
  const QString prefix = foldedPath(path) + QLatin1Char('\\');
  for (const StoredKey& key : document) {
    if (key.root == root && key.path.size() > path.size() && foldedPath(key.path).startsWith(prefix)) {
      return true;
    }
  }
  return false;
}

bool isRunKey(std::uint32_t root, const QStringList& path) {
  return root == kHkeyCurrentUser && foldedPath(path) == foldedPath(pathOf(kRunKeyPath));
}

// --- reading and writing the file ------------------------------------------

std::optional<std::uint32_t> unsignedOf(const QJsonValue& value) {
  if (!value.isDouble()) return std::nullopt;
  const double number = value.toDouble();
  if (number < 0 || number > 4294967295.0 || std::floor(number) != number) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

std::optional<QByteArray> bytesOfHex(const QJsonValue& value) {
  if (!value.isString()) return std::nullopt;
  const QByteArray hex = value.toString().toLatin1();
  if (hex.size() % 2 != 0) return std::nullopt;
  for (char c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return QByteArray::fromHex(hex);
}

std::optional<StoredValue> parseValue(const QJsonValue& item) {
  const QJsonObject object = item.toObject();
  const auto type = unsignedOf(object.value("type"));
  const auto data = bytesOfHex(object.value("data"));
  if (!item.isObject() || !object.value("name").isString() || !type || !data) return std::nullopt;
  return StoredValue{object.value("name").toString(), *type, *data};
}

std::optional<StoredKey> parseKey(const QJsonValue& item) {
  const QJsonObject object = item.toObject();
  const auto root = unsignedOf(object.value("root"));
  if (!item.isObject() || !root || !isPredefinedRoot(*root) || !object.value("path").isString() ||
      !object.value("values").isArray()) {
    return std::nullopt;
  }
  StoredKey key{*root, pathOf(object.value("path").toString().toStdString()), {}};
  for (const QJsonValue& entry : object.value("values").toArray()) {
    auto value = parseValue(entry);
    if (!value || findValue(key, value->name) != nullptr) return std::nullopt;
    key.values.push_back(std::move(*value));
  }
  return key;
}

std::optional<Document> parseDocument(const QByteArray& bytes) {
  QJsonParseError error{};
  const QJsonDocument json = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError || !json.isObject()) return std::nullopt;
  const QJsonObject top = json.object();
  if (top.value("format").toString() != kFormatName || top.value("version").toInt() != kFormatVersion ||
      !top.value("keys").isArray()) {
    return std::nullopt;
  }
  Document document;
  for (const QJsonValue& entry : top.value("keys").toArray()) {
    auto key = parseKey(entry);
    if (!key || findKey(document, key->root, key->path) != nullptr) return std::nullopt;
    document.push_back(std::move(*key));
  }
  return document;
}

QByteArray serialize(const Document& document) {
  QJsonArray keys;
  for (const StoredKey& key : document) {
    QJsonArray values;
    for (const StoredValue& value : key.values) {
      values.append(QJsonObject{{"name", value.name},
                                {"type", static_cast<double>(value.type)},
                                {"data", QString::fromLatin1(value.data.toHex())}});
    }
    keys.append(QJsonObject{{"root", static_cast<double>(key.root)},
                            {"path", key.path.join(QLatin1Char('\\'))},
                            {"values", values}});
  }
  const QJsonObject top{{"format", kFormatName}, {"version", kFormatVersion}, {"keys", keys}};
  return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

enum class FileState { kMissing, kLoaded, kCorrupt, kUnreadable };

struct Loaded {
  FileState state = FileState::kMissing;
  Document document;
};

Loaded load(const std::string& file) {
  QFile input(QString::fromStdString(file));
  if (!input.exists()) return {};
  if (!input.open(QIODevice::ReadOnly)) return {FileState::kUnreadable, {}};
  auto document = parseDocument(input.readAll());
  if (!document) return {FileState::kCorrupt, {}};
  return {FileState::kLoaded, std::move(*document)};
}

bool writeWholeFile(const QString& target, const QByteArray& bytes, mode_t mode) {
  const std::string_view content(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return !replaceFile(QFile::encodeName(target).toStdString(), content, mode);
}

// Moves an unreadable store out of the way under a name no other file has.
bool putAside(const std::string& file) {
  const QString base = QString::fromStdString(file) + ".corrupt-" +
                       now().toString("yyyyMMddhhmmss");
  QString target = base;
  for (int n = 2; QFileInfo::exists(target); ++n) target = base + "-" + QString::number(n);
  return QFile::rename(QString::fromStdString(file), target);
}

// --- autostart entries -------------------------------------------------------

QString autostartPath(const QString& valueName) {
  QString name;
  for (const QChar c : valueName) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    name += plain ? c : QChar('_');
  }
  if (name.isEmpty() || name.startsWith('.')) name.prepend('_');
  return QString::fromStdString(RegistryStore::autostartFolder()) + "/" + name + ".desktop";
}

// A desktop-entry string: backslash and control characters escaped.
QString desktopString(const QString& text) {
  QString out;
  for (const QChar c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// The Exec line that starts `program` as one quoted argument.
QString execLine(const QString& program) {
  QString quoted = "\"";
  for (const QChar c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return desktopString(quoted).replace("%", "%%");
}

bool isTextType(std::uint32_t type) { return type == 1 || type == 2; }

bool writeAutostartEntry(const StoredValue& value) {
  const qsizetype end = value.data.indexOf('\0');
  const QString program = QString::fromUtf8(end < 0 ? value.data : value.data.left(end));
  const QString entry = "[Desktop Entry]\nType=Application\nName=" + desktopString(value.name) +
                        "\nExec=" + execLine(program) + "\n";
  const QString path = autostartPath(value.name);
  return QDir().mkpath(QFileInfo(path).absolutePath()) &&
         writeWholeFile(path, entry.toUtf8(), kAutostartMode);
}

bool removeAutostartEntry(const QString& valueName) {
  QFile entry(autostartPath(valueName));
  return !entry.exists() || entry.remove();
}

// --- changes -------------------------------------------------------------------

using Status = RegistryStore::Status;

// Reads the store under its lock, lets `apply` change it and writes it back
// when `apply` answers kOk.
Status change(const std::string& file, const std::function<Status(Document&)>& apply) {
  const QString path = QString::fromStdString(file);
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return Status::kNotWritten;
  QLockFile lock(path + ".lock");
  if (!lock.tryLock(kLockWaitMs)) return Status::kNotWritten;
  Loaded loaded = load(file);
  if (loaded.state == FileState::kUnreadable) return Status::kNotWritten;
  if (loaded.state == FileState::kCorrupt && !putAside(file)) return Status::kNotWritten;
  const Status status = apply(loaded.document);
  if (status != Status::kOk) return status;
  return writeWholeFile(path, serialize(loaded.document), kStoreMode) ? Status::kOk : Status::kNotWritten;
}

}  // namespace

std::string RegistryStore::defaultFile() {
  const char* file = std::getenv("TAVINOR_REGISTRY_FILE");
  if (file != nullptr && *file != '\0') return file;
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() +
         "/tavinor/registry.json";
}

std::string RegistryStore::autostartFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() +
         "/autostart";
}

RegistryStore::RegistryStore(std::string file) : file_(std::move(file)) {}

bool RegistryStore::keyExists(std::uint32_t root, const std::string& path) const {
  const QStringList keyPath = pathOf(path);
  if (!isPredefinedRoot(root)) return false;
  if (keyPath.isEmpty()) return true;
  Loaded loaded = load(file_);
  return findKey(loaded.document, root, keyPath) != nullptr;
}

std::optional<RegistryData> RegistryStore::value(std::uint32_t root, const std::string& path,
                                                 const std::string& name) const {
  Loaded loaded = load(file_);
  StoredKey* key = findKey(loaded.document, root, pathOf(path));
  if (key == nullptr) return std::nullopt;
  const StoredValue* found = findValue(*key, QString::fromStdString(name));
  if (found == nullptr) return std::nullopt;
  return RegistryData{found->type, found->data.toStdString()};
}

RegistryStore::Status RegistryStore::createKey(std::uint32_t root, const std::string& path) {
  if (!isPredefinedRoot(root)) return Status::kNoKey;
  const QStringList keyPath = pathOf(path);
  return change(file_, [&](Document& document) {
    for (qsizetype length = 1; length <= keyPath.size(); ++length) {
      const QStringList prefix = keyPath.first(length);
      if (findKey(document, root, prefix) == nullptr) document.push_back({root, prefix, {}});
    }
    return Status::kOk;
  });
}

RegistryStore::Status RegistryStore::deleteKey(std::uint32_t root, const std::string& path) {
  const QStringList keyPath = pathOf(path);
  if (!isPredefinedRoot(root) || keyPath.isEmpty()) return Status::kNoKey;
  std::vector<StoredValue> removed;
  const Status status = change(file_, [&](Document& document) {
    StoredKey* key = findKey(document, root, keyPath);
    if (key == nullptr) return Status::kNoKey;
    if (hasSubKeys(document, root, keyPath)) return Status::kHasSubKeys;
    removed = key->values;
    document.erase(document.begin() + (key - document.data()));
    return Status::kOk;
  });
  if (status != Status::kOk || !isRunKey(root, keyPath)) return status;
  bool entriesRemoved = true;
  for (const StoredValue& value : removed) {
    if (isTextType(value.type)) entriesRemoved = removeAutostartEntry(value.name) && entriesRemoved;
  }
  return entriesRemoved ? Status::kOk : Status::kNotWritten;
}

RegistryStore::Status RegistryStore::setValue(std::uint32_t root, const std::string& path,
                                              const std::string& name, const RegistryData& data) {
  const QStringList keyPath = pathOf(path);
  if (!isPredefinedRoot(root)) return Status::kNoKey;
  StoredValue stored{QString::fromStdString(name), data.type, QByteArray::fromStdString(data.bytes)};
  const Status status = change(file_, [&](Document& document) {
    StoredKey* key = findKey(document, root, keyPath);
    if (key == nullptr && !keyPath.isEmpty()) return Status::kNoKey;
    if (key == nullptr) key = &document.emplace_back(StoredKey{root, {}, {}});
    if (StoredValue* existing = findValue(*key, stored.name)) {
      stored.name = existing->name;
      *existing = stored;
    } else {
      key->values.push_back(stored);
    }
    return Status::kOk;
  });
  if (status != Status::kOk || !isRunKey(root, keyPath)) return status;
  const bool entryKept = isTextType(stored.type) ? writeAutostartEntry(stored)
                                                 : removeAutostartEntry(stored.name);
  return entryKept ? Status::kOk : Status::kNotWritten;
}

RegistryStore::Status RegistryStore::deleteValue(std::uint32_t root, const std::string& path,
                                                 const std::string& name) {
  const QStringList keyPath = pathOf(path);
  if (!isPredefinedRoot(root)) return Status::kNoKey;
  QString removedName;
  const Status status = change(file_, [&](Document& document) {
    StoredKey* key = findKey(document, root, keyPath);
    if (key == nullptr) return keyPath.isEmpty() ? Status::kNoValue : Status::kNoKey;
    StoredValue* value = findValue(*key, QString::fromStdString(name));
    if (value == nullptr) return Status::kNoValue;
    removedName = value->name;
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return Status::kOk;
  });
  if (status != Status::kOk || !isRunKey(root, keyPath)) return status;
  return removeAutostartEntry(removedName) ? Status::kOk : Status::kNotWritten;
}

}  // namespace platform
