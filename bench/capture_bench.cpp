// capture_bench.cpp: how fast the TIFF capture takes a band of print data
// apart, without the file: DeinterleaveBand (the kernel the processor gets,
// and each available kernel) beside memcpy of the same band and beside a
// plain per-byte loop written straight from the band layout. Widths: the
// default capture width of 10800 pixels and a whole plate of 72000 pixels.
// Beside them, two copies without any transposition: the same stores as the
// AVX2 kernel (the band's bytes moved into the lines in its pattern), and a
// plain sequential loop of 32-byte loads and stores. They show how much of
// the time is the shape of the writes rather than the work on the words, and
// how much of memcpy's lead is its string-move instruction, which writes
// whole cache lines without reading them first.
// Then, for the whole picture, the capture of one 2 MiB bulk piece into
// /dev/null (copy into the band buffer, de-interleave, 32 flushed line
// writes a band). The summary after the table gives the ratios.
#include <benchmark/benchmark.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "printdata/band_deinterleave.h"
#include "printdata/tiff_capture.h"
#include "ratio_reporter.h"
#include "reference_deinterleave.h"

namespace {

using norvex::DeinterleaveKernel;

constexpr uint32_t kDefaultWidth = 10800;  // 4.5 in at 2400 dpi
constexpr uint32_t kPlateWidth = 72000;    // 30 in at 2400 dpi
constexpr uint32_t kWidths[] = {kDefaultWidth, kPlateWidth};
constexpr size_t kPiece = 0x200000;  // one bulk write

std::vector<uint8_t> RandomBytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  std::mt19937 random(42);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// One band of `width` pixels and room for its lines.
struct Band {
  explicit Band(uint32_t width)
      : lineBytes(width / 8), data(RandomBytes(32 * static_cast<size_t>(lineBytes))), lines(data.size()) {}
  uint32_t lineBytes;
  std::vector<uint8_t> data;
  std::vector<uint8_t> lines;
};

void Finish(benchmark::State& state, const Band& band) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(band.data.size()));
  state.counters["band_bytes"] = static_cast<double>(band.data.size());
}

void BM_BandMemcpy(benchmark::State& state) {
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    std::memcpy(band.lines.data(), band.data.data(), band.data.size());
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  Finish(state, band);
}

void BM_BandNaiveLoop(benchmark::State& state) {
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    norvex::reference::DeinterleaveBand(band.data.data(), band.lines.data(), band.lineBytes);
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  Finish(state, band);
}

#if defined(__x86_64__) || defined(__i386__)
// The band's bytes moved into the line buffer in the AVX2 kernel's pattern:
// per 16 blocks, 32 bytes to each of the 32 lines. No swap, no transposition.
__attribute__((target("avx2"))) void ScatterCopy(const uint8_t* band, uint8_t* lines, uint32_t lineBytes) {
  const size_t blocks = lineBytes / 2;
  for (size_t b = 0; b + 16 <= blocks; b += 16) {
    const uint8_t* in = band + 64 * b;
    for (size_t t = 0; t < 32; ++t) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * t));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lines + t * lineBytes + 2 * b), v);
    }
  }
}

__attribute__((target("avx2"))) void VectorCopy(const uint8_t* from, uint8_t* to, size_t bytes) {
  for (size_t i = 0; i + 32 <= bytes; i += 32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i)));
  }
}

void BM_BandVectorCopy(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx2")) {
    state.SkipWithError("no AVX2");
    return;
  }
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    VectorCopy(band.data.data(), band.lines.data(), band.data.size());
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  Finish(state, band);
}

void BM_BandScatterCopy(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx2")) {
    state.SkipWithError("no AVX2");
    return;
  }
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    ScatterCopy(band.data.data(), band.lines.data(), band.lineBytes);
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  Finish(state, band);
}
#endif

// What the capture runs: the best kernel of this processor.
void BM_BandDeinterleave(benchmark::State& state) {
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    norvex::DeinterleaveBand(band.data.data(), band.lines.data(), band.lineBytes);
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(norvex::DeinterleaveKernelName(norvex::BestDeinterleaveKernel()));
  Finish(state, band);
}

void BandDeinterleaveWith(benchmark::State& state, DeinterleaveKernel kernel) {
  Band band(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    norvex::DeinterleaveBandWith(kernel, band.data.data(), band.lines.data(), band.lineBytes);
    benchmark::DoNotOptimize(band.lines.data());
    benchmark::ClobberMemory();
  }
  Finish(state, band);
}

// The whole capture of one bulk piece of the default width, the stream
// being /dev/null: what mode 2 costs a bulk write apart from the disk.
void BM_CapturePieceToDevNull(benchmark::State& state) {
  const std::vector<uint8_t> piece = RandomBytes(kPiece);
  norvex::CTiffCapture capture;
  if (!capture.Open("/dev/null", kDefaultWidth)) {
    state.SkipWithError("cannot open the capture");
    return;
  }
  for (auto _ : state) capture.Capture(piece.data(), static_cast<uint32_t>(piece.size()));
  capture.Close();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece.size()));
}

void BM_PieceMemcpy(benchmark::State& state) {
  const std::vector<uint8_t> piece = RandomBytes(kPiece);
  std::vector<uint8_t> out(piece.size());
  for (auto _ : state) {
    std::memcpy(out.data(), piece.data(), piece.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece.size()));
}

const DeinterleaveKernel kKernels[] = {DeinterleaveKernel::kPortable, DeinterleaveKernel::kSse2,
                                       DeinterleaveKernel::kSsse3, DeinterleaveKernel::kAvx2};

std::string WithWidth(const char* name, uint32_t width) {
  return std::string(name) + "/" + std::to_string(width);
}

void RegisterAll() {
  for (const auto& [name, function] :
       {std::pair{"BM_BandMemcpy", &BM_BandMemcpy}, std::pair{"BM_BandNaiveLoop", &BM_BandNaiveLoop},
        std::pair{"BM_BandDeinterleave", &BM_BandDeinterleave}}) {
    auto* benchmark = benchmark::RegisterBenchmark(name, function);
    for (uint32_t width : kWidths) benchmark->Arg(width);
  }
#if defined(__x86_64__) || defined(__i386__)
  auto* scatter = benchmark::RegisterBenchmark("BM_BandScatterCopy", BM_BandScatterCopy);
  auto* vector = benchmark::RegisterBenchmark("BM_BandVectorCopy", BM_BandVectorCopy);
  for (uint32_t width : kWidths) {
    scatter->Arg(width);
    vector->Arg(width);
  }
#endif
  for (DeinterleaveKernel kernel : kKernels) {
    if (!norvex::DeinterleaveKernelAvailable(kernel)) continue;
    const std::string name = std::string("BM_BandDeinterleave_") + norvex::DeinterleaveKernelName(kernel);
    auto* benchmark = benchmark::RegisterBenchmark(name.c_str(), BandDeinterleaveWith, kernel);
    for (uint32_t width : kWidths) benchmark->Arg(width);
  }
  benchmark::RegisterBenchmark("BM_PieceMemcpy", BM_PieceMemcpy);
  benchmark::RegisterBenchmark("BM_CapturePieceToDevNull", BM_CapturePieceToDevNull);
}

// Speed ratios: how many times faster `fast` ran than `slow` (the inverse
// ratio of their times).
void Summary(const norvex_bench::RunTimes& times, std::ostream& out) {
  char line[200];
  for (uint32_t width : kWidths) {
    const std::string memcpyName = WithWidth("BM_BandMemcpy", width);
    const std::string naiveName = WithWidth("BM_BandNaiveLoop", width);
    const std::string bestName = WithWidth("BM_BandDeinterleave", width);
    if (!times.Has(memcpyName) || !times.Has(naiveName) || !times.Has(bestName)) continue;
    const double memcpyNs = times.Nanoseconds(memcpyName);
    const double naiveNs = times.Nanoseconds(naiveName);
    const double bestNs = times.Nanoseconds(bestName);
    const double vsMemcpy = memcpyNs / bestNs;
    const double vsNaive = naiveNs / bestNs;
    std::snprintf(line, sizeof(line),
                  "width %5u (band %u bytes), kernel %s: %.2f x memcpy speed (goal >= 0.5: %s), "
                  "%.1f x the naive loop (goal >= 6: %s)\n",
                  width, 4 * width, norvex::DeinterleaveKernelName(norvex::BestDeinterleaveKernel()),
                  vsMemcpy, vsMemcpy >= 0.5 ? "met" : "MISSED", vsNaive, vsNaive >= 6.0 ? "met" : "MISSED");
    out << line;
    const std::string scatterName = WithWidth("BM_BandScatterCopy", width);
    const std::string vectorName = WithWidth("BM_BandVectorCopy", width);
    if (times.Has(scatterName) && times.Has(vectorName)) {
      const double scatterNs = times.Nanoseconds(scatterName);
      std::snprintf(
          line, sizeof(line),
          "    copies without transposition: the kernel's stores alone %.2f x memcpy (the kernel runs at "
          "%.2f x their speed), a sequential 32-byte loop %.2f x memcpy\n",
          memcpyNs / scatterNs, scatterNs / bestNs, memcpyNs / times.Nanoseconds(vectorName));
      out << line;
    }
    for (DeinterleaveKernel kernel : kKernels) {
      const std::string name = WithWidth(
          (std::string("BM_BandDeinterleave_") + norvex::DeinterleaveKernelName(kernel)).c_str(), width);
      if (!times.Has(name)) continue;
      const double ns = times.Nanoseconds(name);
      std::snprintf(line, sizeof(line), "    kernel %-8s: %.2f x memcpy, %.1f x naive\n",
                    norvex::DeinterleaveKernelName(kernel), memcpyNs / ns, naiveNs / ns);
      out << line;
    }
  }
  if (times.Has("BM_PieceMemcpy") && times.Has("BM_CapturePieceToDevNull")) {
    std::snprintf(line, sizeof(line),
                  "capture of a 2 MiB piece into /dev/null, width %u: %.2f x memcpy speed of the piece\n",
                  kDefaultWidth,
                  times.Nanoseconds("BM_PieceMemcpy") / times.Nanoseconds("BM_CapturePieceToDevNull"));
    out << line;
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return norvex_bench::RunWithRatios(argc, argv, Summary);
}
