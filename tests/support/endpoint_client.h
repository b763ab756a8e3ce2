// endpoint_client.h: a host's raw connection to a device endpoint (a Unix
// socket of the POSIX device protocol, docs/device-protocol.md), for tests
// that need another host beside the library: one that holds the device, or
// one that is refused it. POSIX only.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace norvex::test_support {

class EndpointClient {
 public:
  // Connects to the endpoint at `path`. A wait for a message that never
  // comes ends after 2 s, so that a test fails instead of hanging.
  explicit EndpointClient(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      Close();
      return;
    }
    timeval limit{};
    limit.tv_sec = 2;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ~EndpointClient() { Close(); }
  EndpointClient(const EndpointClient&) = delete;
  EndpointClient& operator=(const EndpointClient&) = delete;

  bool connected() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  // The status of the device's OPEN message (0: the device is this host's,
  // 5: another host has it), or -1 when none came: a 12-byte header (magic
  // 0x564E, type 0x0001, id 0, payload length 4), then the status.
  int64_t OpenStatus() {
    uint8_t open[16] = {};
    if (!connected() || ::recv(m_fd, open, sizeof(open), MSG_WAITALL) != static_cast<ssize_t>(sizeof(open))) {
      return -1;
    }
    if (open[0] != 0x4E || open[1] != 0x56 || open[2] != 0x01 || open[3] != 0x00 || open[8] != 4) return -1;
    return static_cast<int64_t>(static_cast<uint32_t>(open[12]) | static_cast<uint32_t>(open[13]) << 8 |
                                static_cast<uint32_t>(open[14]) << 16 |
                                static_cast<uint32_t>(open[15]) << 24);
  }
  // Closes the connection: the device is free for another host.
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
};

}  // namespace norvex::test_support
