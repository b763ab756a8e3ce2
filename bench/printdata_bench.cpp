// printdata_bench.cpp: throughput of the word run-length compression and of
// the TIFF capture, each beside memcpy of the same buffer (MB/s in the
// bytes_per_second column).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "printdata/tiff_capture.h"
#include "printdata/word_compression.h"

namespace {

constexpr size_t kPiece = 0x200000;  // one bulk write
constexpr uint32_t kWidth = 10800;   // 4.5 in at 2400 dpi

// Print data as a halftone makes it: long clear and set runs between
// stretches of mixed words.
std::vector<uint8_t> PrintData() {
  std::vector<uint8_t> data(kPiece);
  std::mt19937 random(42);
  for (size_t i = 0; i < data.size();) {
    const auto kind = random() % 3;
    const size_t run = 2 * (1 + random() % 64);
    for (size_t k = 0; k < run && i < data.size(); ++k, ++i) {
      data[i] = kind == 0 ? 0x00 : kind == 1 ? 0xFF : static_cast<uint8_t>(random());
    }
  }
  return data;
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t> data = PrintData();
  std::vector<uint8_t> out(data.size());
  for (auto _ : state) {
    std::memcpy(out.data(), data.data(), data.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Memcpy);

void BM_CompressWords(benchmark::State& state) {
  const std::vector<uint8_t> data = PrintData();
  std::vector<uint8_t> out(norvex::CompressedBound(data.size()));
  uint32_t length = 0;
  for (auto _ : state) {
    norvex::CompressWords(out.data(), &length, data.data(), static_cast<uint32_t>(data.size()));
    benchmark::DoNotOptimize(length);
  }
  state.counters["ratio"] = static_cast<double>(length) / static_cast<double>(data.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_CompressWords);

void BM_TiffCapture(benchmark::State& state) {
  const std::vector<uint8_t> data = PrintData();
  norvex::CTiffCapture capture;
  capture.Open("/dev/null", kWidth);
  for (auto _ : state) capture.Capture(data.data(), static_cast<uint32_t>(data.size()));
  capture.Close();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_TiffCapture);

}  // namespace

BENCHMARK_MAIN();
