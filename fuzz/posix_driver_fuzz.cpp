// posix_driver_fuzz.cpp: the POSIX driver over a Unix socket of the device
// folder against a fake device that answers with fuzzed bytes
// (driver_session.h).
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "driver_session.h"

namespace {
int g_listener = -1;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static char folder[] = "/tmp/norvex-fuzz-driver-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  ::setenv("NORVEX_DEVICE_DIR", folder, 1);
  const std::string path = std::string(folder) + "/platesetter-0";
  g_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::bind(g_listener, reinterpret_cast<const struct sockaddr*>(&address), sizeof(address)) != 0) return 1;
  if (::listen(g_listener, 4) != 0) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunDriverSession(g_listener, data, size);
  return 0;
}
