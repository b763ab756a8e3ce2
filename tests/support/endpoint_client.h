// endpoint_client.h: a host's raw connection to a device endpoint (a Unix
// socket or a tcp:HOST:PORT address of the device protocol,
// docs/device-protocol.md), for tests that need another host beside the
// library: one that holds the device, or one that is refused it. It writes
// the opening's bytes by hand, as the protocol's page gives them. POSIX and,
// for tcp: addresses, Windows (Winsock).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>

namespace norvex::test_support {

class EndpointClient {
 public:
#ifdef _WIN32
  using Native = SOCKET;
  using Length = int;  // of send and recv
  using AddressLength = int;
  static constexpr Native kNone = INVALID_SOCKET;
#else
  using Native = int;
  using Length = size_t;
  using AddressLength = socklen_t;
  static constexpr Native kNone = -1;
#endif

  // Connects to the endpoint at `where`: a socket's path (POSIX) or a
  // tcp:HOST:PORT address (an IPv4 host). A wait for a message that never
  // comes ends after 2 s, so that a test fails instead of hanging.
  explicit EndpointClient(const std::string& where) {
#ifdef _WIN32
    WSADATA data{};
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
    if (where.rfind("tcp:", 0) == 0) {
      const size_t colon = where.rfind(':');
      addrinfo hints{};
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(where.substr(4, colon - 4).c_str(), where.substr(colon + 1).c_str(), &hints,
                        &found) != 0) {
        return;
      }
      m_socket = ::socket(found->ai_family, SOCK_STREAM, 0);
      if (m_socket != kNone &&
          ::connect(m_socket, found->ai_addr, static_cast<AddressLength>(found->ai_addrlen)) != 0) {
        Close();
      }
      ::freeaddrinfo(found);
    } else {
#ifndef _WIN32
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, where.c_str(), sizeof(address.sun_path) - 1);
      m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (m_socket >= 0 &&
          ::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        Close();
#endif
    }
    if (m_socket == kNone) return;
#ifdef _WIN32
    const DWORD limit = 2000;
#else
    timeval limit{};
    limit.tv_sec = 2;
#endif
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
  }
  ~EndpointClient() {
    Close();
#ifdef _WIN32
    if (m_started) ::WSACleanup();
#endif
  }
  EndpointClient(const EndpointClient&) = delete;
  EndpointClient& operator=(const EndpointClient&) = delete;

  bool connected() const { return m_socket != kNone; }
  Native fd() const { return m_socket; }
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
    if (!connected() || !SendAll(open, sizeof(open)) || !ReceiveAll(answer, sizeof(answer))) return -1;
    if (answer[0] != 0x4E || answer[1] != 0x56 || answer[2] != 0x01 || answer[3] != 0x00 || answer[8] != 8) {
      return -1;
    }
    uint32_t status = 0;
    for (int i = 3; i >= 0; --i) status = status << 8 | answer[12 + i];
    return status;
  }
  // Closes the connection: the device is free for another host.
  void Close() {
    if (m_socket == kNone) return;
#ifdef _WIN32
    ::closesocket(m_socket);
#else
    ::close(m_socket);
#endif
    m_socket = kNone;
  }

 private:
  bool SendAll(const uint8_t* data, size_t size) {
#ifdef _WIN32
    const int flags = 0;
#else
    const int flags = MSG_NOSIGNAL;
#endif
    while (size > 0) {
      const auto n = ::send(m_socket, reinterpret_cast<const char*>(data), static_cast<Length>(size), flags);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool ReceiveAll(uint8_t* data, size_t size) {
    while (size > 0) {
      const auto n = ::recv(m_socket, reinterpret_cast<char*>(data), static_cast<Length>(size), 0);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  Native m_socket = kNone;
#ifdef _WIN32
  bool m_started = false;
#endif
};

}  // namespace norvex::test_support
