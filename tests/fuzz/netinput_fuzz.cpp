// The small readers of peer-supplied fields: addresses and address lists,
// the frame length field, numbers, and file names. A file name from outside
// must never leave its folder.
#include <QDir>
#include <cstdlib>

#include "FuzzSupport.h"
#include "TvrError.h"
#include "modGenFunctions.h"
#include "modGenFunctionsFile.h"

namespace {

template <typename Step>
void attempt(Step step) {
  try {
    step();
  } catch (const TvrError&) {
  }
}

// Not ".", "..", or holding a separator (hence not absolute either).
void requireConfined(const std::string& name) {
  if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) {
    std::abort();
  }
}

// An existing folder (the temporary data folder) for unique-name look-ups.
const std::string& scratchFolder() {
  static const std::string folder = [] {
    const std::string path = std::getenv("TAVINOR_DATA_ROOT");
    QDir().mkpath(QString::fromStdString(path));
    return path;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzzText(data, size);
  // The first line is the address, the rest the list.
  const std::size_t lineEnd = text.find('\n');
  const std::string ip = text.substr(0, lineEnd);
  const std::string list = lineEnd == std::string::npos ? "" : text.substr(lineEnd + 1);
  attempt([&] { modGenFunctions::IsValidIPAddress(text, true); });
  attempt([&] { modGenFunctions::IsIPInList(ip, list); });
  // A valid address matches itself and the all-wildcard pattern.
  attempt([&] {
    if (modGenFunctions::IsValidIPAddress(ip, false) &&
        !(modGenFunctions::IsIPInList(ip, ip) && modGenFunctions::IsIPInList(ip, "*.*.*.*"))) {
      std::abort();
    }
  });
  // The frame length field reads back as the bytes it came from.
  attempt([&] {
    const int value = modGenFunctions::BytesToInteger(text);
    if (modGenFunctions::IntegerToBytes(value) != text.substr(0, 2)) std::abort();
  });
  attempt([&] { modGenFunctions::StrToLong(text); });

  for (int part = 0; part < 3; ++part) {
    std::string piece;
    attempt([&] { piece = modGenFunctionsFile::GetPathPart(text, part); });
    requireConfined(piece);
  }
  if (modGenFunctionsFile::isPlainFileName(text)) {
    if (text.find('\0') != std::string::npos) std::abort();
    requireConfined(text);
  }
  attempt([&] { requireConfined(modGenFunctionsFile::GetUniqueFileName(scratchFolder(), text)); });
  return 0;
}
