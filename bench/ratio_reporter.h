// RatioReporter: the console reporter that also keeps each benchmark's time per iteration (the
// median when it is repeated), so that a benchmark's main can print an operation's time over
// its baseline's. Benchmarks with arguments are named with them ("BM_EncryptFile/256").
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace velmor::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        const std::string& args = run.run_name.args;
        times_[run.run_name.function_name + (args.empty() ? "" : "/" + args)] = {
            run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // PrintRatio: the wall-clock ratio, and the CPU ratio where the baseline ran in this process
  // (a tool run as a child process spends no CPU time here).
  void PrintRatio(const char* what, const std::string& op, const std::string& base) const {
    const auto a = times_.find(op);
    const auto b = times_.find(base);
    if (a == times_.end() || b == times_.end() || b->second.real <= 0) return;
    if (b->second.cpu > b->second.real / 100) {
      std::printf("%s: %.3f (wall clock), %.3f (CPU)\n", what, a->second.real / b->second.real,
                  a->second.cpu / b->second.cpu);
    } else {
      std::printf("%s: %.3f (wall clock)\n", what, a->second.real / b->second.real);
    }
  }

 private:
  struct Times {
    double real = 0;
    double cpu = 0;
  };
  std::map<std::string, Times> times_;
};

// Ratio: one line of a benchmark's closing report, `op`'s time over `base`'s.
struct Ratio {
  const char* what;
  std::string op;
  std::string base;
};

// RunWithRatios: a benchmark executable's main: runs the benchmarks the command line selects,
// then prints each ratio. The exit status is 1 for unknown arguments.
inline int RunWithRatios(int argc, char** argv, std::initializer_list<Ratio> ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Ratio& r : ratios) reporter.PrintRatio(r.what, r.op, r.base);
  benchmark::Shutdown();
  return 0;
}

}  // namespace velmor::bench
