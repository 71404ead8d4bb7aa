#pragma once
// What the benchmark programs share: the thread's CPU clock, alternating
// registration of the two sides, and a console reporter that keeps each
// benchmark's best time for the "ratio NAME = VALUE" lines.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qvl::bench {

// The benchmark thread's CPU time in seconds: other work on a shared machine
// counts against neither side.
inline double ThreadCpuNow() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Registers Rounds single runs of each side in turn, so that a busy phase of
// a shared machine hits every side; the ratios take the best run of each, as
// interference only ever adds time.
using TBenchFn = void (*)(benchmark::State&);
inline void RegisterAlternating(std::initializer_list<std::pair<const char*, TBenchFn>> Sides,
                                int Rounds) {
  for (int i = 0; i < Rounds; ++i)
    for (const auto& [name, fn] : Sides)
      benchmark::RegisterBenchmark(name, fn)->UseManualTime()->Iterations(1)->Unit(
          benchmark::kMillisecond);
}

// Keeps the console output and, per benchmark name without its "/..."
// arguments, the best real time per iteration of its runs.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so that piped output has plain lines.
  TRatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& Reports) override {
    ConsoleReporter::ReportRuns(Reports);
    for (const Run& run : Reports) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      std::string name = run.benchmark_name();
      name.erase(std::min(name.find('/'), name.size()));
      const double t = run.GetAdjustedRealTime();
      auto [it, fresh] = FTimes.emplace(name, t);
      if (!fresh) it->second = std::min(it->second, t);
    }
  }

  // Ours over theirs; false when either side did not run.
  bool Ratio(const char* Ours, const char* Theirs, double& Value) const {
    auto a = FTimes.find(Ours), b = FTimes.find(Theirs);
    if (a == FTimes.end() || b == FTimes.end() || b->second <= 0) return false;
    Value = a->second / b->second;
    return true;
  }
  // Prints "ratio NAME = VALUE" with Digits decimals when both sides ran.
  void PrintRatio(const char* Name, const char* Ours, const char* Theirs, int Digits = 3) const {
    double value;
    if (Ratio(Ours, Theirs, value)) std::printf("ratio %s = %.*f\n", Name, Digits, value);
  }
  // Prints "info: TEXT VALUE", a figure for the record.
  void PrintInfo(const char* Text, const char* Ours, const char* Theirs) const {
    double value;
    if (Ratio(Ours, Theirs, value)) std::printf("info: %s %.3f\n", Text, value);
  }

 private:
  std::map<std::string, double> FTimes;
};

}  // namespace qvl::bench
