// bulk_bench.cpp: the library's own time per bulk write of print data in
// link mode 1 (start and completion: the record, the handle pin, the
// overlapped write's start and its completion, the piece loop), against an
// in-process driver that takes the write and completes it at once, so that
// the device is not measured. The same call for a 64-byte piece and for a
// 2 MiB piece shows that the library does no work per byte (it hands the
// host's buffer to the driver as it is); memcpy of one 2 MiB piece stands
// beside them for what a single copy would cost. The summary after the table
// compares the time per 2 MiB piece with its budget of 50 us.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "exports/library.h"
#include "printdata/print_data_path.h"
#include "ratio_reporter.h"

namespace {

using norvex::platform::Handle;

constexpr uint32_t kPiece = norvex::kMaxBulkBytes;  // 2 MiB, the largest bulk write
constexpr double kBudgetNs = 50000.0;               // 50 us per piece

// A device that takes every bulk write at once and completes it at once
// with all of its bytes; it never reads the data, as a real driver's DMA
// would read it without the library's help.
class InstantBulkDevice final : public norvex::platform::Driver {
 public:
  Handle OpenInterface(const norvex::platform::Guid&, uint32_t, uint32_t& error) override {
    error = 0;
    return 0x100;
  }
  uint32_t Close(Handle) override { return 0; }
  uint32_t ControlRequest(Handle, uint32_t, const void*, uint32_t, uint32_t) override { return 0; }
  uint32_t Read(Handle, void*, uint32_t, uint32_t& bytesRead, uint32_t) override {
    bytesRead = 0;
    return norvex::platform::kErrorIoPending;
  }
  PendingWrite StartWrite(Handle, const void* data, uint32_t size, uint32_t& error) override {
    benchmark::DoNotOptimize(data);
    m_size = size;
    error = 0;
    return 1;
  }
  uint32_t CompleteWrite(PendingWrite, uint32_t, uint32_t& transferred) override {
    transferred = m_size;
    return 0;
  }

 private:
  uint32_t m_size = 0;
};

// The library with the instant device open in link mode 1.
struct OpenLibrary {
  OpenLibrary() : library(norvex::platform::Host(), device, norvex::platform::Windows()) {
    opened = library.Watch().Init(nullptr, nullptr) == 0 && library.Usb().DeviceHandle() == 0x100;
  }
  InstantBulkDevice device;
  norvex::Library library;
  bool opened = false;
};

void Check(benchmark::State& state, uint32_t result, const char* what) {
  if (result != 0) state.SkipWithError(what);
}

bool Opened(benchmark::State& state, const OpenLibrary& open) {
  if (!open.opened) state.SkipWithError("the instant device did not open");
  return open.opened;
}

// NV_SentPrintData's call: one piece, started and completed.
void BM_SentPtrData(benchmark::State& state) {
  OpenLibrary open;
  if (!Opened(state, open)) return;
  const std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(data.size());
    const uint32_t result = open.library.PrintData().SentPtrData(data.data(), length, false);
    if (result != 0 || length != data.size()) {
      Check(state, 1, "SentPtrData failed");
      break;
    }
  }
}

// Norvex_WriteSDRAM2 with waiting: the argument checks, one piece, the
// completion.
void BM_WriteSDRAM2(benchmark::State& state) {
  OpenLibrary open;
  if (!Opened(state, open)) return;
  const std::vector<uint8_t> data(kPiece, 0x5A);
  for (auto _ : state) {
    uint32_t words = kPiece / 2;
    Check(state, open.library.PrintData().WriteSDRAM2(data.data(), &words, false), "WriteSDRAM2 failed");
  }
}

// Norvex_WriteSDRAM2 without waiting, then Norvex_GetWriteSDRAM2Result.
void BM_WriteSDRAM2NoWaitThenResult(benchmark::State& state) {
  OpenLibrary open;
  if (!Opened(state, open)) return;
  const std::vector<uint8_t> data(kPiece, 0x5A);
  for (auto _ : state) {
    uint32_t words = kPiece / 2;
    Check(state, open.library.PrintData().WriteSDRAM2(data.data(), &words, true), "WriteSDRAM2 failed");
    uint32_t transferred = 0;
    Check(state, open.library.PrintData().GetSentPtrDataResult2(&transferred),
          "GetSentPtrDataResult2 failed");
  }
}

// Norvex_WriteSDRAM of 3 MiB: two pieces, 2 MiB and 1 MiB.
void BM_WriteSDRAM3MiB(benchmark::State& state) {
  OpenLibrary open;
  if (!Opened(state, open)) return;
  const std::vector<uint8_t> data(3u << 20, 0x5A);
  for (auto _ : state) {
    const uint32_t words = static_cast<uint32_t>(data.size() / 2);
    Check(state, open.library.PrintData().WriteSDRAM(data.data(), words).value_or(1), "WriteSDRAM failed");
  }
  state.counters["pieces"] = 2;
}

// Reference: one copy of a 2 MiB piece.
void BM_PieceMemcpy(benchmark::State& state) {
  const std::vector<uint8_t> data(kPiece, 0x5A);
  std::vector<uint8_t> copy(kPiece);
  for (auto _ : state) {
    std::memcpy(copy.data(), data.data(), data.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPiece);
}

BENCHMARK(BM_SentPtrData)->Arg(64)->Arg(kPiece);
BENCHMARK(BM_WriteSDRAM2);
BENCHMARK(BM_WriteSDRAM2NoWaitThenResult);
BENCHMARK(BM_WriteSDRAM3MiB);
BENCHMARK(BM_PieceMemcpy);

void Summary(const norvex_bench::RunTimes& times, std::ostream& out) {
  char line[200];
  const std::string pieceName = "BM_SentPtrData/" + std::to_string(kPiece);
  const bool haveCopy = times.Has("BM_PieceMemcpy");
  const double copyNs = haveCopy ? times.Nanoseconds("BM_PieceMemcpy") : 0.0;
  const struct {
    const char* label;
    std::string name;
    double pieces;
  } rows[] = {
      {"NV_SentPrintData path (SentPtrData)", pieceName, 1},
      {"Norvex_WriteSDRAM2, waited", "BM_WriteSDRAM2", 1},
      {"Norvex_WriteSDRAM2 no-wait + GetWriteSDRAM2Result", "BM_WriteSDRAM2NoWaitThenResult", 1},
      {"Norvex_WriteSDRAM 3 MiB, per piece", "BM_WriteSDRAM3MiB", 2},
  };
  for (const auto& row : rows) {
    if (!times.Has(row.name)) continue;
    const double ns = times.Nanoseconds(row.name) / row.pieces;
    std::snprintf(line, sizeof(line), "%-52s %8.3f us per 2 MiB piece (goal < 50 us: %s, %.4f of it)",
                  row.label, ns / 1000.0, ns < kBudgetNs ? "met" : "MISSED", ns / kBudgetNs);
    out << line;
    if (haveCopy) {
      std::snprintf(line, sizeof(line), "; one copy of the piece takes %.0f x as long", copyNs / ns);
      out << line;
    }
    out << "\n";
  }
  const std::string smallName = "BM_SentPtrData/64";
  if (times.Has(smallName) && times.Has(pieceName)) {
    std::snprintf(line, sizeof(line),
                  "a 2 MiB piece costs the library %.2f x what a 64-byte piece does (no work per byte)\n",
                  times.Nanoseconds(pieceName) / times.Nanoseconds(smallName));
    out << line;
  }
}

}  // namespace

int main(int argc, char** argv) { return norvex_bench::RunWithRatios(argc, argv, Summary); }
