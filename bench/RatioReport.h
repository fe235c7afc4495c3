#pragma once
// runWithRatios: runs a benchmark program whose results are read as ratios.
// Each of our workloads is measured next to a reference doing the same work
// in the same run; after the usual console output a table gives, per row,
// both times in milliseconds and ours / reference.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

using BenchFunction = void (*)(benchmark::State&);
// label, our benchmark's name, the reference benchmark's name.
using RatioRow = std::array<std::string, 3>;

namespace ratio_report_detail {

// Keeps each run's time so the pairs can be compared at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) milliseconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  // Rows whose benchmarks did not both run (filtered out) are left out.
  void printRatios(const std::vector<RatioRow>& rows, const char* oursHeading,
                   const char* referenceHeading) const {
    std::printf("\n%-52s %14s %14s %10s\n", "workload", oursHeading, referenceHeading, "ratio");
    for (const auto& [label, ours, reference] : rows) {
      const auto mine = milliseconds_.find(ours);
      const auto theirs = milliseconds_.find(reference);
      if (mine == milliseconds_.end() || theirs == milliseconds_.end()) continue;
      std::printf("%-52s %14.3f %14.3f %10.5f\n", label.c_str(), mine->second, theirs->second,
                  mine->second / theirs->second);
    }
  }

 private:
  std::map<std::string, double> milliseconds_;
};

}  // namespace ratio_report_detail

// Registers `benchmarks` (timed in milliseconds), runs those the command
// line selects and prints the ratio table of `rows`. Returns main's result.
inline int runWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, BenchFunction>>& benchmarks,
                         const std::vector<RatioRow>& rows, const char* oursHeading,
                         const char* referenceHeading) {
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  ratio_report_detail::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(rows, oursHeading, referenceHeading);
  benchmark::Shutdown();
  return 0;
}
