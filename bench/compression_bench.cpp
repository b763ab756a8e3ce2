// compression_bench.cpp: throughput of the word run-length compression on a
// plate raster, a mostly white raster and a stress set (test_raster.h), side
// by side in one run with memcpy of the same buffer, LZ4_compress_default,
// the plain reference loop and each built-in path. Ends with a summary of the
// ratios (from the medians of the repetitions) and whether each meets its
// goal:
// - plate: compress >= 0.25 x memcpy and >= 5 x LZ4;
// - 90%-white plate: compress >= 0.5 x memcpy;
// - every stress input: compress >= LZ4 and >= the reference loop.
//
// Repetitions default to 5, randomly interleaved, reporting aggregates only,
// each at least 0.1 s; flags on the command line override these defaults.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "printdata/word_compression.h"
#include "reference_compress.h"
#include "test_raster.h"

namespace {

using norvex::CompressPath;

struct Input {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<Input>& Inputs() {
  static std::vector<Input> inputs;
  return inputs;
}

void SetBytes(benchmark::State& state, const Input& input) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.bytes.size()));
}

void Memcpy(benchmark::State& state, const Input& input) {
  std::vector<uint8_t> out(input.bytes.size());
  for (auto _ : state) {
    std::memcpy(out.data(), input.bytes.data(), input.bytes.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, input);
}

using Compressor = std::function<void(void*, uint32_t*, const void*, uint32_t)>;

// Runs `compress`, after checking once that it gives the reference's bytes.
void Compress(benchmark::State& state, const Input& input, const Compressor& compress) {
  const auto size = static_cast<uint32_t>(input.bytes.size());
  std::vector<uint8_t> out(norvex::CompressedBound(size));
  std::vector<uint8_t> expected(norvex::CompressedBound(size));
  uint32_t length = 0;
  uint32_t expectedLength = 0;
  compress(out.data(), &length, input.bytes.data(), size);
  norvex::reference::CompressWords(expected.data(), &expectedLength, input.bytes.data(), size);
  if (length != expectedLength || std::memcmp(out.data(), expected.data(), length) != 0) {
    state.SkipWithError("output differs from the reference");
    return;
  }
  for (auto _ : state) {
    compress(out.data(), &length, input.bytes.data(), size);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.counters["out_ratio"] = static_cast<double>(length) / static_cast<double>(input.bytes.size());
  SetBytes(state, input);
}

void Lz4(benchmark::State& state, const Input& input) {
  const int size = static_cast<int>(input.bytes.size());
  std::vector<char> out(static_cast<size_t>(LZ4_compressBound(size)));
  int length = 0;
  for (auto _ : state) {
    length = LZ4_compress_default(reinterpret_cast<const char*>(input.bytes.data()), out.data(), size,
                                  static_cast<int>(out.size()));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  if (length <= 0) state.SkipWithError("LZ4_compress_default failed");
  state.counters["out_ratio"] = static_cast<double>(length) / static_cast<double>(size);
  SetBytes(state, input);
}

const char* PathName(CompressPath path) {
  switch (path) {
    case CompressPath::kScalar:
      return "path_scalar";
    case CompressPath::kSse2:
      return "path_sse2";
    case CompressPath::kAvx2:
      return "path_avx2";
  }
  return "?";
}

void Register() {
  for (const Input& input : Inputs()) {
    const Input* in = &input;
    benchmark::RegisterBenchmark(("memcpy/" + input.name).c_str(),
                                 [in](benchmark::State& s) { Memcpy(s, *in); });
    benchmark::RegisterBenchmark(("compress/" + input.name).c_str(),
                                 [in](benchmark::State& s) { Compress(s, *in, norvex::CompressWords); });
    benchmark::RegisterBenchmark(("reference/" + input.name).c_str(), [in](benchmark::State& s) {
      Compress(s, *in, norvex::reference::CompressWords);
    });
    benchmark::RegisterBenchmark(("lz4/" + input.name).c_str(), [in](benchmark::State& s) { Lz4(s, *in); });
    for (CompressPath path : {CompressPath::kScalar, CompressPath::kSse2, CompressPath::kAvx2}) {
      if (!norvex::CompressPathAvailable(path)) continue;
      benchmark::RegisterBenchmark(
          (std::string(PathName(path)) + "/" + input.name).c_str(), [in, path](benchmark::State& s) {
            Compress(s, *in, [path](void* d, uint32_t* o, const void* src, uint32_t n) {
              norvex::CompressWordsWith(path, d, o, src, n);
            });
          });
    }
  }
}

// Keeps the CPU time per iteration of every benchmark (the median when there
// are repetitions) for the summary, and shows the usual console table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        m_nanoseconds[name] = run.GetAdjustedCPUTime();
        m_medians.insert(name);
      } else if (m_medians.count(name) == 0) {
        m_nanoseconds[name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Speed of `a` over speed of `b` on `input`; 0 when either is missing.
  double Ratio(const std::string& a, const std::string& b, const std::string& input) const {
    const auto ta = m_nanoseconds.find(a + "/" + input);
    const auto tb = m_nanoseconds.find(b + "/" + input);
    if (ta == m_nanoseconds.end() || tb == m_nanoseconds.end() || ta->second <= 0) return 0;
    return tb->second / ta->second;
  }

  double GigabytesPerSecond(const std::string& name, size_t bytes) const {
    const auto t = m_nanoseconds.find(name);
    if (t == m_nanoseconds.end() || t->second <= 0) return 0;
    return static_cast<double>(bytes) / t->second;  // bytes per ns
  }

 private:
  std::map<std::string, double> m_nanoseconds;
  std::set<std::string> m_medians;
};

const char* Verdict(double ratio, double goal, bool& allMet, bool& allMeasured) {
  if (ratio <= 0) {
    allMeasured = false;
    return "not measured";
  }
  if (ratio >= goal) return "meets";
  allMet = false;
  return "MISSES";
}

void PrintSummary(const SummaryReporter& r) {
  std::printf("\nCompressWords (path %s) speed ratios, medians of this run:\n",
              PathName(norvex::FastestCompressPath()));
  std::printf("%-34s %6s %7s %9s %7s %7s %9s %7s %7s  %s\n", "input", "out/in", "GB/s", "x memcpy", "x LZ4",
              "x ref", "x scalar", "x sse2", "x avx2", "goals");
  bool allMet = true;
  bool allMeasured = true;
  for (const Input& input : Inputs()) {
    const std::string& n = input.name;
    const double memcpyRatio = r.Ratio("compress", "memcpy", n);
    const double lz4Ratio = r.Ratio("compress", "lz4", n);
    const double refRatio = r.Ratio("compress", "reference", n);
    std::string goals;
    if (n == "plate") {
      goals = std::string("memcpy >= 0.25: ") + Verdict(memcpyRatio, 0.25, allMet, allMeasured) +
              ", LZ4 >= 5: " + Verdict(lz4Ratio, 5.0, allMet, allMeasured);
    } else if (n == "white_90pct") {
      goals = std::string("memcpy >= 0.5: ") + Verdict(memcpyRatio, 0.5, allMet, allMeasured);
    } else {
      goals = std::string("LZ4 >= 1: ") + Verdict(lz4Ratio, 1.0, allMet, allMeasured) +
              ", ref >= 1: " + Verdict(refRatio, 1.0, allMet, allMeasured);
    }
    std::vector<uint8_t> out(norvex::CompressedBound(input.bytes.size()));
    uint32_t length = 0;
    norvex::CompressWords(out.data(), &length, input.bytes.data(), static_cast<uint32_t>(input.bytes.size()));
    std::printf("%-34s %6.3f %7.2f %9.3f %7.2f %7.2f %9.2f %7.2f %7.2f  %s\n", n.c_str(),
                static_cast<double>(length) / static_cast<double>(input.bytes.size()),
                r.GigabytesPerSecond("compress/" + n, input.bytes.size()), memcpyRatio, lz4Ratio, refRatio,
                r.Ratio("compress", "path_scalar", n), r.Ratio("compress", "path_sse2", n),
                r.Ratio("compress", "path_avx2", n), goals.c_str());
  }
  std::printf(
      "(out/in: compressed size over input size. x Y: speed of CompressWords over the speed of Y on the\n"
      " same input, from CPU time; ref is the plain reference loop of the tests; scalar, sse2 and avx2\n"
      " are the library's paths chosen explicitly, about 1.00 for the path CompressWords takes itself)\n");
  std::printf("goals: %s\n", !allMet ? "NOT all met" : allMeasured ? "all met" : "met where measured");
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults for the flags that the command line does not give.
  static char repetitions[] = "--benchmark_repetitions=5";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char minTime[] = "--benchmark_min_time=0.1";
  std::vector<char*> args(argv, argv + argc);
  for (char* flag : {repetitions, aggregates, interleave, minTime}) {
    const size_t nameLength = static_cast<size_t>(std::strchr(flag, '=') - flag);
    bool given = false;
    for (int k = 1; k < argc; ++k) given = given || std::strncmp(argv[k], flag, nameLength) == 0;
    if (!given) args.push_back(flag);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  Inputs().push_back({"plate", norvex::raster::PlateRaster()});
  Inputs().push_back({"white_90pct", norvex::raster::WhiteRaster()});
  for (auto& s : norvex::raster::StressSet()) Inputs().push_back({s.name, std::move(s.bytes)});
  Register();

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
