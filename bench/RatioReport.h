#pragma once
// runWithRatios: runs a benchmark program whose results are read as ratios.
// Each of our workloads is measured next to a reference doing the same work
// in the same run; after the usual console output a table gives, per row,
// both times in milliseconds and ours / reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

using BenchFunction = void (*)(benchmark::State&);
// label, our benchmark's name, the reference benchmark's name. A name may
// list several benchmarks joined by '|': the row then takes their median.
using RatioRow = std::array<std::string, 3>;

namespace ratio_report_detail {

inline std::vector<std::string> namesOf(const std::string& names) {
  std::vector<std::string> listed;
  for (std::size_t at = 0;;) {
    const std::size_t bar = names.find('|', at);
    listed.push_back(names.substr(at, bar - at));
    if (bar == std::string::npos) return listed;
    at = bar + 1;
  }
}

inline std::string joinedNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : "|") + name;
  return joined;
}

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
    std::printf("\n%-60s %14s %14s %10s\n", "workload", oursHeading, referenceHeading, "ratio");
    for (const auto& [label, ours, reference] : rows) {
      double mine = 0;
      double theirs = 0;
      if (!medianOf(ours, mine) || !medianOf(reference, theirs)) continue;
      std::printf("%-60s %14.3f %14.3f %10.5f\n", label.c_str(), mine, theirs, mine / theirs);
    }
  }

 private:
  bool medianOf(const std::string& names, double& milliseconds) const {
    std::vector<double> times;
    for (const std::string& name : namesOf(names)) {
      const auto found = milliseconds_.find(name);
      if (found == milliseconds_.end()) return false;
      times.push_back(found->second);
    }
    std::sort(times.begin(), times.end());
    const std::size_t middle = times.size() / 2;
    milliseconds = times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
    return true;
  }

  std::map<std::string, double> milliseconds_;
};

}  // namespace ratio_report_detail

// The name of the run of benchmark `name` in round `round`.
inline std::string roundName(int round, const std::string& name) {
  return "round" + std::to_string(round) + "/" + name;
}

// The runs of benchmark `name` in rounds 1 to `rounds`, as a row names them
// to take their median.
inline std::string allRounds(const std::string& name, int rounds) {
  std::vector<std::string> names;
  for (int round = 1; round <= rounds; ++round) names.push_back(roundName(round, name));
  return ratio_report_detail::joinedNames(names);
}

// Appends `cases` to `benchmarks` once per round (named by roundName), each
// round in the reverse order of the one before, so that a drift in the
// machine's pace meets every case alike.
inline void addAlternatingRounds(std::vector<std::pair<std::string, BenchFunction>>& benchmarks,
                                 std::vector<std::pair<std::string, BenchFunction>> cases,
                                 int rounds) {
  for (int round = 1; round <= rounds; ++round) {
    for (const auto& [name, function] : cases) benchmarks.emplace_back(roundName(round, name), function);
    std::reverse(cases.begin(), cases.end());
  }
}

// How a benchmark's time is taken: by the library over as many iterations
// as it chooses, or by the benchmark itself (manual time) in one iteration.
enum class BenchTiming { kLibrary, kByHandOnce };

// Registers `benchmarks` (in milliseconds, timed as `timing` says), runs
// those the command line selects and prints the ratio table of `rows`, whose
// names are the benchmarks' own. Returns main's result.
inline int runWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, BenchFunction>>& benchmarks,
                         std::vector<RatioRow> rows, const char* oursHeading,
                         const char* referenceHeading, BenchTiming timing = BenchTiming::kLibrary) {
  const bool byHand = timing == BenchTiming::kByHandOnce;
  for (const auto& [name, function] : benchmarks) {
    benchmark::internal::Benchmark* registered =
        benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond);
    if (byHand) registered->UseManualTime()->Iterations(1);
  }
  if (byHand) {
    for (auto& row : rows) {
      for (std::string* names : {&row[1], &row[2]}) {
        std::vector<std::string> listed = ratio_report_detail::namesOf(*names);
        for (std::string& name : listed) name += "/iterations:1/manual_time";
        *names = ratio_report_detail::joinedNames(listed);
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  ratio_report_detail::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(rows, oursHeading, referenceHeading);
  benchmark::Shutdown();
  return 0;
}
