// endpoint_client.h: a host's raw connection to a device endpoint (a Unix
// socket or a tcp:HOST:PORT address of the device protocol,
// docs/device-protocol.md), for tests that need another host beside the
// library: one that holds the device, or one that is refused it. It writes
// the opening's bytes by hand, as the protocol's page gives them. POSIX only.
#pragma once

#include <netdb.h>
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
  // Connects to the endpoint at `where`: a socket's path or a tcp:HOST:PORT
  // address (an IPv4 host). A wait for a message that never comes ends
  // after 2 s, so that a test fails instead of hanging.
  explicit EndpointClient(const std::string& where) {
    if (where.rfind("tcp:", 0) == 0) {
      const size_t colon = where.rfind(':');
      addrinfo hints{};
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(where.substr(4, colon - 4).c_str(), where.substr(colon + 1).c_str(), &hints,
                        &found) != 0) {
        return;
      }
      m_fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (m_fd >= 0 && ::connect(m_fd, found->ai_addr, found->ai_addrlen) != 0) Close();
      ::freeaddrinfo(found);
    } else {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, where.c_str(), sizeof(address.sun_path) - 1);
      m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        Close();
    }
    if (m_fd < 0) return;
    timeval limit{};
    limit.tv_sec = 2;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ~EndpointClient() { Close(); }
  EndpointClient(const EndpointClient&) = delete;
  EndpointClient& operator=(const EndpointClient&) = delete;

  bool connected() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  // Sends the OPEN of protocol version 3 (probe: only asks whether the
  // device is free) and returns the status of the device's answer (0: the
  // device is this host's, or free; 5: another host has it), or -1 when
  // none came: a 12-byte header (magic 0x564E, type 0x0001, id 0, payload
  // length 8), then the status and the device's version.
  int64_t OpenStatus(bool probe = false) {
    const uint8_t open[20] = {
        0x4E, 0x56, 0x01, 0x00, 0, 0, 0, 0, 8, 0, 0, 0, 3, 0, 0, 0, static_cast<uint8_t>(probe ? 1 : 0),
        0,    0,    0};
    uint8_t answer[20] = {};
    if (!connected() ||
        ::send(m_fd, open, sizeof(open), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(open)) ||
        ::recv(m_fd, answer, sizeof(answer), MSG_WAITALL) != static_cast<ssize_t>(sizeof(answer))) {
      return -1;
    }
    if (answer[0] != 0x4E || answer[1] != 0x56 || answer[2] != 0x01 || answer[3] != 0x00 || answer[8] != 8) {
      return -1;
    }
    uint32_t status = 0;
    for (int i = 3; i >= 0; --i) status = status << 8 | answer[12 + i];
    return status;
  }
  // Closes the connection: the device is free for another host.
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

}  // namespace norvex::test_support
