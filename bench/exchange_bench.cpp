// exchange_bench.cpp: the library's own work per command exchange (frame
// build, reply check, command lock, bookkeeping) against an in-process
// device that answers at once, beside the 125 us of one USB microframe.
#include <benchmark/benchmark.h>

#include <cstring>

#include "exports/library.h"
#include "protocol/frame.h"

namespace {

using norvex::platform::Handle;

// Answers every request at once with the main unit's 4-byte state reply.
class InstantDevice final : public norvex::platform::Driver {
 public:
  Handle OpenInterface(const norvex::platform::Guid&, uint32_t, uint32_t& error) override {
    error = 0;
    return 0x100;
  }
  uint32_t Close(Handle) override { return 0; }
  uint32_t ControlRequest(Handle, uint32_t, const void* data, uint32_t size, uint32_t) override {
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(size);
    return 0;
  }
  uint32_t Read(Handle, void* buffer, uint32_t capacity, uint32_t& bytesRead, uint32_t) override {
    static const uint8_t kReply[] = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1,
                                     0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
    bytesRead = sizeof(kReply) < capacity ? sizeof(kReply) : capacity;
    std::memcpy(buffer, kReply, bytesRead);
    return 0;
  }
  PendingWrite StartWrite(Handle, const void*, uint32_t, uint32_t& error) override {
    error = 0;
    return 1;
  }
  uint32_t CompleteWrite(PendingWrite, uint32_t, uint32_t& transferred) override {
    transferred = 0;
    return 0;
  }
};

constexpr double kMicroframeSeconds = 125e-6;

// Time per iteration as a share of one microframe (0.01 is 1%).
void ReportShare(benchmark::State& state) {
  state.counters["microframe_share"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMicroframeSeconds,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A whole state query through Transact: device test, lock, build, write,
// read, check, copy.
void BM_StateQueryTransact(benchmark::State& state) {
  InstantDevice device;
  norvex::Library library(norvex::platform::Host(), device, norvex::platform::Windows());
  library.Watch().Init(nullptr, nullptr);
  const uint8_t selector[4] = {0, 0, 0, 0};
  uint8_t record[4];
  for (auto _ : state) {
    uint32_t result = library.Link().GetStateEx(selector, record, 4, 0x10);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(record);
  }
  ReportShare(state);
}
BENCHMARK(BM_StateQueryTransact);

// The frame work alone.
void BM_BuildAndCheckFrames(benchmark::State& state) {
  static const uint8_t kReply[] = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1,
                                   0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
  norvex::FrameBuffer tx;
  norvex::FrameBuffer rx;
  std::memcpy(rx, kReply, sizeof(kReply));
  const uint8_t selector[4] = {0, 0, 0, 0};
  uint8_t record[4];
  for (auto _ : state) {
    CommandPacket packet{selector, 4, record, 4, 0x10, 0xC0D0, 0, 0xC0D1};
    uint32_t length = 0;
    norvex::BuildRequestFrame(packet, tx, length);
    uint32_t result = norvex::CheckReplyFrame(packet, rx, sizeof(kReply));
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(tx);
  }
  ReportShare(state);
}
BENCHMARK(BM_BuildAndCheckFrames);

// Reference: copying one frame buffer.
void BM_Memcpy512(benchmark::State& state) {
  uint8_t from[512] = {1};
  uint8_t to[512];
  for (auto _ : state) {
    std::memcpy(to, from, sizeof(to));
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
  }
  ReportShare(state);
}
BENCHMARK(BM_Memcpy512);

}  // namespace

BENCHMARK_MAIN();
