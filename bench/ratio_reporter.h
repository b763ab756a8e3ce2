// ratio_reporter.h: the console table of Google Benchmark, followed by a
// summary that compares benchmarks of the same run with each other (a
// library routine against memcpy of the same bytes, against a plain
// reference loop, against a time budget), so that the figures that matter
// are ratios measured side by side rather than absolute times.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace norvex_bench {

// The command line with the defaults that make the ratios steady on a
// shared machine put first: five repetitions each, interleaved in random
// order so that a burst of load elsewhere falls on all of them alike, and
// only their aggregates shown. Flags given on the command line come later
// and win.
inline std::vector<char*> WithSteadyDefaults(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  std::vector<char*> args;
  args.push_back(argv[0]);
  args.push_back(repetitions);
  args.push_back(interleave);
  args.push_back(aggregates);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return args;
}

// Real time per iteration in nanoseconds, by benchmark name: the median
// that the repetitions report, or else the median of the runs seen.
class RunTimes {
 public:
  void Add(const std::string& name, double nanoseconds) { m_samples[name].push_back(nanoseconds); }
  void AddMedian(const std::string& name, double nanoseconds) { m_medians[name] = nanoseconds; }
  bool Has(const std::string& name) const { return m_medians.count(name) != 0 || m_samples.count(name) != 0; }
  double Nanoseconds(const std::string& name) const {
    const auto median = m_medians.find(name);
    if (median != m_medians.end()) return median->second;
    std::vector<double> samples = m_samples.at(name);
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> m_samples;
  std::map<std::string, double> m_medians;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using Summary = std::function<void(const RunTimes&, std::ostream&)>;
  explicit RatioReporter(Summary summary) : m_summary(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // Times in the benchmark's own unit; the summary wants nanoseconds.
      const double ns = run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit);
      if (run.run_type == Run::RT_Iteration) {
        m_times.Add(run.run_name.str(), ns);
      } else if (run.aggregate_name == "median") {
        m_times.AddMedian(run.run_name.str(), ns);
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    out << "\nSide by side, same run:\n";
    m_summary(m_times, out);
    out.flush();
  }

 private:
  static double NanosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }

  Summary m_summary;
  RunTimes m_times;
};

// The main of a benchmark program: the steady defaults, the benchmarks
// registered so far, and `summary` after the table. Returns the exit code.
inline int RunWithRatios(int argc, char** argv, RatioReporter::Summary summary) {
  std::vector<char*> args = WithSteadyDefaults(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RatioReporter reporter(std::move(summary));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace norvex_bench
