// Runs a fuzz harness once on every file of a seed corpus, without libFuzzer,
// so that the normal test run keeps the seeds and the harness's own checks
// (which abort on a finding) working:
//
//   <name>_replay <corpus folder>
//
// Files are run in name order, under a private home (PrivateHome) that the
// harness's own installation is set up within. Exit status 0 when every
// input ran; 1 when the folder is missing, unreadable or holds no file, or
// no private home could be made.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "PrivateHome.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional in a harness, as under libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 1;
  }
  const fs::path folder = argv[1];
  std::error_code error;
  std::vector<fs::path> inputs;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->is_regular_file()) inputs.push_back(entry->path());
  }
  if (error || inputs.empty()) {
    std::fprintf(stderr, "%s: no corpus files in %s\n", argv[0], folder.c_str());
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());

  const PrivateHome home;
  if (!home.ok()) {
    std::fprintf(stderr, "%s: cannot make a private home folder\n", argv[0]);
    return 1;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
      return 1;
    }
    std::printf("Running %s (%zu bytes)\n", input.filename().c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs ran\n", inputs.size());
  return 0;
}
