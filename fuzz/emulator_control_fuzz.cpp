// emulator_control_fuzz.cpp: a norvex-emu's control port on any bytes a
// client can send, from the first one on (the opening included). Whatever
// comes, the server must not crash; once the connection has ended, the
// platesetters it made are gone, and the next client is answered.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "emu/control_server.h"
#include "socket_messages.h"

namespace {

std::unique_ptr<norvex::emu::ControlServer> g_server;
std::string g_address;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, data + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_server = std::make_unique<norvex::emu::ControlServer>();
  std::string error;
  return g_server->Start("127.0.0.1:0", g_address, error) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    const int client = norvex::test_support::ConnectEndpoint(g_address);
    Check(client >= 0);
    SendAll(client, data, size);
    // Then the end of this client's stream, and everything the server has to
    // say until it closes its end: it has then let the connection go, with
    // the platesetters it made.
    ::shutdown(client, SHUT_WR);
    uint8_t drain[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const ssize_t n = ::recv(client, drain, sizeof(drain), 0);
      if (n > 0 || (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < until)) continue;
      break;
    }
    ::close(client);
  }
  // The next client is granted, and finds no platesetter named "fuzz" (the
  // name the seeds give theirs): kFind answers id 0.
  const int next = norvex::test_support::ConnectEndpoint(g_address);
  Check(next >= 0);
  const uint8_t opening[8] = {0x4E, 0x56, 0x45, 0x43, 1, 0, 0, 0};
  const uint8_t find[20] = {20, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 'f', 'u', 'z', 'z'};
  uint8_t granted[12] = {};
  uint8_t answer[12] = {};
  Check(SendAll(next, opening, sizeof(opening)) && ReceiveAll(next, granted, sizeof(granted)));
  Check(granted[4] == 0 && granted[8] == 1);
  Check(SendAll(next, find, sizeof(find)) && ReceiveAll(next, answer, sizeof(answer)));
  Check(answer[0] == 0 && answer[4] == 12 && answer[8] == 0 && answer[9] == 0);
  ::close(next);
  return 0;
}
