// Reads arbitrary text as the resource-text file, then fetches every message
// it defined with and without parameters, and every list text. Every input
// starts with every section empty (a text keeps the sections it does not
// name).
#include "FuzzSupport.h"
#include "TvrError.h"
#include "modGenFunctionsResource.h"

namespace resource = modGenFunctionsResource;

namespace {

// Every section header the reader knows; each empties its section.
constexpr const char* kEverySectionEmpty =
    "|[MESSAGES]|\r\n|[MESSAGE CENTER ACTIVITIES TYPE]|\r\n|[MESSAGE PRIORITY OPTIONS]|\r\n"
    "|[MESSAGE RESPONSE TYPE]|\r\n|[MESSAGE STATUS]|\r\n|[LANGUAGE LIST]|\r\n"
    "|[FRMMESSAGEVIEWER]|\r\n|[INSTMESSTYPE LIST]|\r\n|[DELETE INTERVAL TYPE]|\r\n"
    "|[PRINT MESSAGE KEYWORDS]|\r\n|[DEFAULT GROUPS]|\r\n|[ACTION STATUS]|\r\n"
    "|[ACTION TYPE]|\r\n|[FILES EXTENSION VIRUS CHECK]|\r\n|[DEFAULT INSTANT MESSAGES]|\r\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startFuzzProgram();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzzText(data, size);
  resource::loadResourceText(kEverySectionEmpty);
  resource::loadResourceText(text, size % 2 == 0 ? 1 : 100);
  const resource::MessageParameters parameters = {"%%", "a", 7, "", "%%%"};
  const auto messages = resource::GetResourceSection(resource::kMessageSection).items();
  for (const auto& item : messages) {
    if (item.key.size() <= 3) continue;
    const int number = std::atoi(item.key.c_str() + 3);
    // Too few parameters, or a key whose number reads as one the text lacks.
    attempt({kErrSubscript, kErrInvalidCall}, [&] { resource::GetResourceMessage(number); });
    attempt({kErrSubscript, kErrInvalidCall},
            [&] { resource::GetResourceMessage(number, parameters); });
    // Too few parameters.
    attempt({kErrSubscript}, [&] { resource::ReplaceMessageParameters(item.value, {item.value}); });
  }
  for (int section : {200, 206, 208, 1010}) {
    const auto items = resource::GetResourceSection(section).items();
    for (const auto& item : items) {
      resource::GetItemText(item.value);
      attempt({kErrSubscript}, [&] { resource::GetResourceListText(section, item.key.substr(2)); });
      resource::FindResourceListItem(section, item.value);
    }
  }
  // A number the text may not define.
  attempt({kErrInvalidCall}, [&] { resource::GetResourceMessage(static_cast<int>(size)); });
  return 0;
}
