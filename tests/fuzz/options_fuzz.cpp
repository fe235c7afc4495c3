// Reads arbitrary text as an account's options text; whatever it reads must
// survive a write and a second read.
#include <cstdlib>

#include "FuzzSupport.h"
#include "TvrError.h"
#include "modLocalUserFunctions.h"

using modLocalUserFunctions::UserOptions;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  UserOptions options;
  // A missing item, or a number that is none or out of range.
  if (!attempt({kErrSubscript, kErrTypeMismatch, kErrOverflow},
               [&] { modLocalUserFunctions::ParseOptionsString(fuzzText(data, size), options); })) {
    return 0;
  }
  // What was read is written and read back with the same flags and numbers
  // (texts lose their surrounding blanks on the way).
  UserOptions again;
  modLocalUserFunctions::ParseOptionsString(modLocalUserFunctions::BuildOptionsString(options),
                                            again);
  for (int32_t number = 0; number < modLocalUserFunctions::kOptionFlagCount; ++number) {
    if (again.flag(number) != options.flag(number)) std::abort();
  }
  if (again.FrequentUserCount != options.FrequentUserCount ||
      again.DeleteInterval != options.DeleteInterval ||
      again.DeleteIntervalType != options.DeleteIntervalType ||
      again.Language != options.Language) {
    std::abort();
  }
  return 0;
}
