// emulator_listener_fuzz.cpp: the emulator's endpoint over TCP on any bytes
// a host can send, from the first one on (the opening included). Whatever
// comes, the emulator must not crash, and it must grant the next host and
// answer it: a connection that sent garbage leaves the device free.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

#include "emu/emulator.h"
#include "socket_messages.h"
#include "wire/device_wire.h"

namespace {

std::unique_ptr<norvex::emu::Emulator> g_emulator;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvex::emu::EmulatorOptions options;
  options.listen = "127.0.0.1:0";
  g_emulator = std::make_unique<norvex::emu::Emulator>(options);
  return g_emulator->Plug() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    const int host = norvex::test_support::ConnectEndpoint(g_emulator->Address());
    Check(host >= 0);
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(host, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    // Then the end of this host's stream, and everything the device has to
    // say until it closes its end: the device has then handled the whole
    // connection (granted and let go, refused, or taken for a protocol
    // error) and is free.
    ::shutdown(host, SHUT_WR);
    uint8_t drain[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const ssize_t n = ::recv(host, drain, sizeof(drain), 0);
      if (n > 0 || (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < until)) continue;
      break;
    }
    ::close(host);
  }
  Check(g_emulator->Model().WaitForHost(false, std::chrono::milliseconds(5000)));
  const int next = norvex::test_support::ConnectEndpoint(g_emulator->Address());
  Check(norvex::test_support::OpenAndAnswer(next) == 0);
  ::close(next);
  Check(g_emulator->Model().WaitForHost(false, std::chrono::milliseconds(5000)));
  g_emulator->Model().ClearReceived();
  g_emulator->Model().ClearPrintMemory();
  g_emulator->Model().ClearFaults();
  g_emulator->Model().ClearBulkWriteFaults();
  return 0;
}
