#pragma once
// Start-up shared by the fuzz harnesses, called once from
// LLVMFuzzerInitialize: an offscreen QApplication, a fresh installation in a
// temporary folder (ProgramTestEnvironment: data root, home, registry, record
// globals) and a message box that answers OK at once, so that no input can
// stop a run on a dialog. The code under test refuses input with a TvrError;
// a harness names the numbers it expects of each step (attempt), and any
// other TvrError is a finding.
//
// InstallationSnapshot keeps the files of an installation as a harness set
// it up, so that every input starts from the same disk and the same records.
#include <QApplication>
#include <QDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "MessageBox.h"
#include "ProgramTestEnvironment.h"
#include "TvrError.h"
#include "modGlobalVariables.h"

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

// The installation's data folder ($TAVINOR_DATA_ROOT), made when missing.
inline const std::string& fuzzDataFolder() {
  static const std::string folder = [] {
    const std::string path = std::getenv("TAVINOR_DATA_ROOT");
    QDir().mkpath(QString::fromStdString(path));
    return path;
  }();
  return folder;
}

inline std::string fuzzText(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// A failed check of a harness is a finding: the run stops on the input,
// naming what failed when the check says.
inline void require(bool condition, const char* finding = nullptr) {
  if (condition) return;
  if (finding) std::fprintf(stderr, "finding: %s\n", finding);
  std::abort();
}

// Runs `step`; true when it went through, false when it raised a TvrError
// numbered in `expected` (a refusal the code handles). Any other TvrError
// stops the run on the input, as a crash would.
template <typename Step>
bool attempt(std::initializer_list<int> expected, Step step) {
  try {
    step();
    return true;
  } catch (const TvrError& error) {
    for (const int number : expected) {
      if (error.number() == number) return false;
    }
    std::fprintf(stderr, "unexpected error %d in %s: %s\n", error.number(), error.source().c_str(),
                 error.description().c_str());
    std::abort();
  }
}

// Whether a data file, or a journal, was set aside as damaged or foreign
// anywhere below `folder` ("<name>.bad-<time>"): what the harnesses drive
// writes only files that load back whole.
inline bool damagedCopyKept(const std::filesystem::path& folder) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; it != end && !error;
       it.increment(error)) {
    if (it->path().filename().string().find(".bad-") != std::string::npos) return true;
  }
  return false;
}

// The files and folders below a root as they were when taken. restore() puts
// them back byte for byte, removes whatever was added since and empties the
// record pools, so that the next reader loads the files again; who was
// logged in and the options block are the caller's to set again.
class InstallationSnapshot {
 public:
  explicit InstallationSnapshot(std::filesystem::path root) : root_(std::move(root)) {
    namespace fs = std::filesystem;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_)) {
      const fs::path relative = entry.path().lexically_relative(root_);
      if (entry.is_directory()) {
        folders_.insert(relative);
      } else if (entry.is_regular_file()) {
        files_[relative] = read(entry.path());
      }
    }
  }

  void restore() const {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<fs::path> added;
    for (fs::recursive_directory_iterator it(root_, error), end; it != end && !error;
         it.increment(error)) {
      const fs::path relative = it->path().lexically_relative(root_);
      const bool isFolder = it->is_directory(error) && !it->is_symlink(error);
      const bool kept = isFolder ? folders_.count(relative) != 0
                                 : files_.count(relative) != 0 && it->is_regular_file(error);
      if (kept) continue;
      added.push_back(it->path());
      it.disable_recursion_pending();
    }
    for (const fs::path& path : added) fs::remove_all(path, error);
    require(!error);
    for (const fs::path& folder : folders_) fs::create_directories(root_ / folder);
    for (const auto& [relative, bytes] : files_) {
      if (read(root_ / relative) == bytes) continue;
      std::ofstream(root_ / relative, std::ios::binary | std::ios::trunc) << bytes;
    }
    modGlobalVariables::InitGlobalVariables();
  }

  // Every file added or changed since lies below `folder`.
  bool changedOnlyBelow(const std::filesystem::path& folder) const {
    namespace fs = std::filesystem;
    const std::string prefix = folder.string() + "/";
    std::error_code error;
    for (fs::recursive_directory_iterator it(root_, error), end; it != end && !error;
         it.increment(error)) {
      if (it->is_directory(error)) continue;
      const auto kept = files_.find(it->path().lexically_relative(root_));
      if (kept != files_.end() && read(it->path()) == kept->second) continue;
      if (it->path().string().compare(0, prefix.size(), prefix) != 0) return false;
    }
    return !error;
  }

 private:
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path root_;
  std::set<std::filesystem::path> folders_;
  std::map<std::filesystem::path, std::string> files_;
};

// The data folder as the first input found it, taken once.
inline InstallationSnapshot& fuzzStartingDataFolder() {
  static InstallationSnapshot snapshot(fuzzDataFolder());
  return snapshot;
}
