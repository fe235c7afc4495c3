// Deciphers arbitrary bytes as a file (key at position 1) and as a frame
// (position 2), and checks that enciphering any text deciphers back to it.
#include <cstdlib>

#include "FuzzSupport.h"
#include "TvrError.h"
#include "clsGenEncryption.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzzText(data, size);
  for (int start : {1, 2}) {
    // Too short a text to hold its keys.
    attempt({kErrSubscript}, [&] { GenEncryption().DecryptString(text, start); });
  }
  const std::string enciphered = GenEncryption().EncryptString(text);
  if (enciphered.size() != text.size() + 4) std::abort();
  if (GenEncryption().DecryptString(enciphered, 1) != text) std::abort();
  if (GenEncryption().DecryptString("\x01" + enciphered, 2) != text) std::abort();
  return 0;
}
