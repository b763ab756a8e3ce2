// tcp_transport_fuzz.cpp: the driver over its TCP transport
// (NORVEX_DEVICE=tcp:127.0.0.1:PORT) against a fake device on the loopback
// interface that answers with fuzzed bytes (driver_session.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>

#include "driver_session.h"

namespace {
int g_listener = -1;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(g_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(g_listener, 4) != 0 ||
      ::getsockname(g_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 1;
  }
  ::setenv("NORVEX_DEVICE", ("tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunDriverSession(g_listener, data, size);
  return 0;
}
