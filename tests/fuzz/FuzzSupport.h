#pragma once
// Start-up shared by the fuzz harnesses, called once from
// LLVMFuzzerInitialize: an offscreen QApplication, a fresh installation in a
// temporary folder (ProgramTestEnvironment: data root, home, registry, record
// globals) and a message box that answers OK at once, so that no input can
// stop a run on a dialog. Expected failures of the code under test are
// TvrError; harnesses catch exactly that.
#include <QApplication>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "MessageBox.h"
#include "ProgramTestEnvironment.h"

// Returns the installation, which lasts as long as the process.
inline ProgramTestEnvironment& startFuzzProgram() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "tavinor_fuzz";
  static char* argv[] = {name, nullptr};
  static QApplication application(argc, argv);
  static ProgramTestEnvironment environment{std::string_view{}};
  platform::setMessageBoxResponder(
      [](const platform::MessageBoxRequest&) { return platform::kMbResultOk; });
  return environment;
}

inline std::string fuzzText(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}
