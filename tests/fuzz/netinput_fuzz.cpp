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

// Not ".", "..", or holding a separator (hence not absolute either).
void requireConfined(const std::string& name) {
  if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) {
    std::abort();
  }
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
  modGenFunctions::IsValidIPAddress(text, true);
  modGenFunctions::IsIPInList(ip, list);
  // A valid address matches itself and the all-wildcard pattern.
  require(!modGenFunctions::IsValidIPAddress(ip, false) ||
          (modGenFunctions::IsIPInList(ip, ip) && modGenFunctions::IsIPInList(ip, "*.*.*.*")));
  // The frame length field reads back as the bytes it came from.
  // Too few bytes, or a value past 32767.
  attempt({kErrInvalidCall, kErrOverflow}, [&] {
    const int value = modGenFunctions::BytesToInteger(text);
    if (modGenFunctions::IntegerToBytes(value) != text.substr(0, 2)) std::abort();
  });
  attempt({kErrOverflow}, [&] { modGenFunctions::StrToLong(text); });

  for (int part = 0; part < 3; ++part) {
    requireConfined(modGenFunctionsFile::GetPathPart(text, part));
  }
  if (modGenFunctionsFile::isPlainFileName(text)) {
    if (text.find('\0') != std::string::npos) std::abort();
    requireConfined(text);
  }
  // Nothing left of the name, or every candidate taken.
  attempt({modGenFunctionsFile::kErrBadFileName, kErrFileAlreadyExists},
          [&] { requireConfined(modGenFunctionsFile::GetUniqueFileName(fuzzDataFolder(), text)); });
  return 0;
}
