// transport_bench.cpp: one command exchange (a state query through
// Transact, to the emulator and back) over each transport, beside a raw
// ping-pong of the same bytes over the same kind of socket in the same run;
// and 16 MiB of print memory read back (NV_ReadSDRAMData) from the emulator
// over the Unix socket. The emulator is norvex-emu's code, serving in this
// process on a thread of its own. Goals: exchange <= 2x the ping-pong,
// read-back >= 25 MB/s.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emu/emulator.h"
#include "exports/library.h"
#include "printdata/sdram_readback.h"
#include "temp_folder.h"

namespace {

// The sizes of the four messages of one exchange: CONTROL with a 14-byte
// frame, CONTROL_DONE, READ, READ_DONE with a 14-byte reply.
constexpr size_t kControl = 12 + 4 + 14;
constexpr size_t kControlDone = 12 + 4;
constexpr size_t kRead = 12 + 4;
constexpr size_t kReadDone = 12 + 4 + 14;

bool ReadAll(int fd, uint8_t* out, size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, out, size, 0);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Two connected sockets of a kind: a Unix socket pair, or a TCP connection
// on the loopback interface (without Nagle's delay, as the transport).
void ConnectedPair(bool tcp, int (&ends)[2]) {
  if (!tcp) {
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
    return;
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ends[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(ends[0], reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ends[1] = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  const int on = 1;
  for (int fd : ends) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// The raw ping-pong: the exchange's four messages between two threads, as
// plain socket writes and reads with no protocol work at all.
void RawPingPong(benchmark::State& state, bool tcp) {
  int ends[2];
  ConnectedPair(tcp, ends);
  std::thread echo([fd = ends[1]] {
    uint8_t buffer[64] = {};
    for (;;) {
      if (!ReadAll(fd, buffer, kControl) || ::send(fd, buffer, kControlDone, 0) <= 0) return;
      if (!ReadAll(fd, buffer, kRead) || ::send(fd, buffer, kReadDone, 0) <= 0) return;
    }
  });
  uint8_t buffer[64] = {};
  for (auto _ : state) {
    ::send(ends[0], buffer, kControl, 0);
    ReadAll(ends[0], buffer, kControlDone);
    ::send(ends[0], buffer, kRead, 0);
    ReadAll(ends[0], buffer, kReadDone);
  }
  ::shutdown(ends[0], SHUT_RDWR);
  echo.join();
  ::close(ends[0]);
  ::close(ends[1]);
}

// A library opened on an emulator that serves `address` ("" for the device
// folder of the temporary folder).
struct Setup {
  explicit Setup(bool tcp) {
    ::setenv("NORVEX_DEVICE_DIR", folder.path().c_str(), 1);
    norvex::emu::EmulatorOptions options;
    options.folder = tcp ? "" : folder.path();
    options.listen = tcp ? "127.0.0.1:0" : "";
    emulator = std::make_unique<norvex::emu::Emulator>(options);
    emulator->Plug();
    ::setenv("NORVEX_DEVICE", emulator->Address().c_str(), 1);
    library = std::make_unique<norvex::Library>(norvex::platform::Host(), norvex::platform::DeviceDriver(),
                                                norvex::platform::Windows());
    opened = library->Watch().Init(nullptr, nullptr) == 0;
  }
  ~Setup() {
    library.reset();
    emulator.reset();
    ::unsetenv("NORVEX_DEVICE");
  }
  norvex::test_support::TempFolder folder{"norvex-bench"};
  std::unique_ptr<norvex::emu::Emulator> emulator;
  std::unique_ptr<norvex::Library> library;
  bool opened = false;
};

void Exchange(benchmark::State& state, bool tcp) {
  Setup setup(tcp);
  if (!setup.opened) {
    state.SkipWithError("no device");
    return;
  }
  const uint8_t selector[4] = {0, 0, 0, 0};
  uint8_t record[4];
  for (auto _ : state) {
    const uint32_t result = setup.library->Link().GetStateEx(selector, record, 4, 0x10);
    if (result != 0) state.SkipWithError("the exchange failed");
  }
}

void BM_ExchangeUnixSocket(benchmark::State& state) { Exchange(state, false); }
void BM_RawPingPongUnixSocket(benchmark::State& state) { RawPingPong(state, false); }
void BM_ExchangeTcpLoopback(benchmark::State& state) { Exchange(state, true); }
void BM_RawPingPongTcpLoopback(benchmark::State& state) { RawPingPong(state, true); }
BENCHMARK(BM_ExchangeUnixSocket)->UseRealTime();
BENCHMARK(BM_RawPingPongUnixSocket)->UseRealTime();
BENCHMARK(BM_ExchangeTcpLoopback)->UseRealTime();
BENCHMARK(BM_RawPingPongTcpLoopback)->UseRealTime();

// One read-back exchange (500 bytes of print memory in its reply).
void BM_ReadBackExchange(benchmark::State& state) {
  Setup setup(false);
  setup.emulator->Model().ClearPrintMemory();
  std::vector<uint8_t> data(1u << 20, 0x5A);
  for (int i = 0; i < 64; ++i) {
    uint32_t count = static_cast<uint32_t>(data.size());
    setup.library->PrintData().SentPtrData(data.data(), count, false);
  }
  uint8_t back[1024];
  for (auto _ : state) {
    uint32_t count = 500;
    norvex::ReadSDRAMData(setup.library->Link(), back, &count);
  }
}
BENCHMARK(BM_ReadBackExchange)->UseRealTime();

// 16 MiB written into the print memory, then read back as a host does.
void BM_ReadBack16MiB(benchmark::State& state) {
  Setup setup(false);
  if (!setup.opened) {
    state.SkipWithError("no device");
    return;
  }
  constexpr uint32_t kBytes = 16u << 20;
  std::vector<uint8_t> data(kBytes);
  for (uint32_t i = 0; i < kBytes; ++i) data[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  std::vector<uint8_t> back(kBytes + 512);
  for (auto _ : state) {
    state.PauseTiming();
    setup.emulator->Model().ClearPrintMemory();
    for (uint32_t offset = 0; offset < kBytes; offset += 0x200000) {
      uint32_t count = 0x200000;
      setup.library->PrintData().SentPtrData(data.data() + offset, count, false);
    }
    state.ResumeTiming();
    uint32_t count = kBytes;
    norvex::ReadSDRAMData(setup.library->Link(), back.data(), &count);
    if (count != kBytes || std::memcmp(back.data(), data.data(), kBytes) != 0) state.SkipWithError("differs");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_ReadBack16MiB)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
