#pragma once
// runWithRatios: runs a benchmark program whose results are read as ratios.
// Each of our workloads is measured next to a reference doing the same work
// in the same run, kRuns times each unless the command line names another
// --benchmark_repetitions. After the usual console output a table gives,
// per row, the least, median and greatest time of ours and of the reference
// in milliseconds, and the same three of the ratios ours / reference, one
// ratio per run (the n-th run of ours against the n-th of the reference).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Runs of each benchmark that a ratio table reports.
inline constexpr int kRuns = 5;

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

struct Spread {
  double least = 0;
  double median = 0;
  double most = 0;
};

// The spread of `values`, which must not be empty.
inline Spread spreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return {values.front(),
          values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2,
          values.back()};
}

// A ratio in 9 characters, in powers of ten when it is small.
inline std::string ratioText(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, ratio < 0.01 ? "%9.2e" : "%9.3f", ratio);
  return text;
}

// A benchmark's name without the "/repeats:N" that a count of its own adds.
inline std::string withoutRepeats(std::string name) {
  const std::size_t at = name.find("/repeats:");
  if (at == std::string::npos) return name;
  const std::size_t end = name.find('/', at + 1);
  return name.erase(at, end == std::string::npos ? std::string::npos : end - at);
}

// Keeps each run's time so the pairs can be compared at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      milliseconds_[withoutRepeats(run.benchmark_name())].push_back(run.GetAdjustedRealTime());
    }
  }
  // Rows whose benchmarks did not all run (filtered out) are left out.
  void printRatios(const std::vector<RatioRow>& rows, const char* oursHeading,
                   const char* referenceHeading) const {
    std::printf("\nmin / median / max of each\n%-60s %32s %32s %29s\n", "workload", oursHeading,
                referenceHeading, "ratio");
    for (const auto& [label, ours, reference] : rows) {
      std::vector<double> mine;
      std::vector<double> theirs;
      if (!runsOf(ours, mine) || !runsOf(reference, theirs)) continue;
      const Spread referenceSpread = spreadOf(theirs);
      std::vector<double> ratios;
      for (std::size_t i = 0; i < mine.size(); ++i) {
        // A reference shared by rows of unequal runs stands by its median.
        ratios.push_back(mine[i] / (mine.size() == theirs.size() ? theirs[i] : referenceSpread.median));
      }
      const Spread oursSpread = spreadOf(mine);
      const Spread ratioSpread = spreadOf(ratios);
      std::printf("%-60s %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f %s %s %s\n", label.c_str(),
                  oursSpread.least, oursSpread.median, oursSpread.most, referenceSpread.least,
                  referenceSpread.median, referenceSpread.most, ratioText(ratioSpread.least).c_str(),
                  ratioText(ratioSpread.median).c_str(), ratioText(ratioSpread.most).c_str());
    }
  }

 private:
  // Every run of the benchmarks that `names` lists, in the order they ran.
  bool runsOf(const std::string& names, std::vector<double>& milliseconds) const {
    for (const std::string& name : namesOf(names)) {
      const auto found = milliseconds_.find(name);
      if (found == milliseconds_.end()) return false;
      milliseconds.insert(milliseconds.end(), found->second.begin(), found->second.end());
    }
    return !milliseconds.empty();
  }

  std::map<std::string, std::vector<double>> milliseconds_;
};

// argv with --benchmark_repetitions=`runs` added unless it names a count.
inline std::vector<char*> withRepetitions(int argc, char** argv, int runs) {
  static std::string flag;
  std::vector<char*> arguments(argv, argv + argc);
  constexpr const char* kFlag = "--benchmark_repetitions";
  for (char* argument : arguments) {
    if (std::strncmp(argument, kFlag, std::strlen(kFlag)) == 0) return arguments;
  }
  flag = std::string(kFlag) + "=" + std::to_string(runs);
  arguments.push_back(flag.data());
  return arguments;
}

}  // namespace ratio_report_detail

// The name of the run of benchmark `name` in round `round`.
inline std::string roundName(int round, const std::string& name) {
  return "round" + std::to_string(round) + "/" + name;
}

// The runs of benchmark `name` in rounds 1 to `rounds`, as a row names them
// to take them all.
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
// those the command line selects, each `runs` times, and prints the ratio
// table of `rows`, whose names are the benchmarks' own. A program that makes
// its own rounds (addAlternatingRounds) passes 1. The benchmarks named in
// `once` run once whatever the count: they repeat their work themselves, or
// change what they measure as they run. Returns main's result.
inline int runWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, BenchFunction>>& benchmarks,
                         std::vector<RatioRow> rows, const char* oursHeading,
                         const char* referenceHeading, BenchTiming timing = BenchTiming::kLibrary,
                         int runs = kRuns, const std::set<std::string>& once = {}) {
  const bool byHand = timing == BenchTiming::kByHandOnce;
  for (const auto& [name, function] : benchmarks) {
    benchmark::internal::Benchmark* registered =
        benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond);
    if (byHand) registered->UseManualTime()->Iterations(1);
    if (once.count(name) > 0) registered->Repetitions(1);
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
  std::vector<char*> arguments = ratio_report_detail::withRepetitions(argc, argv, runs);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  ratio_report_detail::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(rows, oursHeading, referenceHeading);
  benchmark::Shutdown();
  return 0;
}
