// socket_messages.h: whole device-protocol messages on a blocking POSIX
// socket, for the tests that play a host or a device by hand. POSIX only.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "wire/device_address.h"
#include "wire/device_wire.h"

namespace norvex::test_support {

// Sends one message whose payload is `first` then `second`. False when the
// connection failed.
inline bool SendMessage(int fd, uint16_t type, uint32_t id, const void* first, size_t firstSize,
                        const void* second = nullptr, size_t secondSize = 0) {
  const std::vector<uint8_t> bytes = wire::Encode(type, id, first, firstSize, second, secondSize);
  if (bytes.empty()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Receives one whole message; false at the end of the stream, on an error
// or a malformed header.
inline bool ReceiveMessage(int fd, wire::Message& message) {
  const auto readExactly = [fd](uint8_t* out, size_t size) {
    while (size > 0) {
      const ssize_t n = ::read(fd, out, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  uint8_t header[wire::kHeaderSize];
  if (!readExactly(header, sizeof(header))) return false;
  uint32_t length = 0;
  if (!wire::DecodeHeader(header, message.type, message.id, length)) return false;
  message.payload.resize(length);
  return length == 0 || readExactly(message.payload.data(), length);
}

// A host's OPEN of this version, for use or as a probe.
inline bool SendOpen(int fd, wire::OpenPurpose purpose = wire::OpenPurpose::kUse,
                     uint32_t version = wire::kProtocolVersion) {
  const std::vector<uint8_t> open = wire::EncodeOpenRequest(purpose, version);
  return ::send(fd, open.data(), open.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(open.size());
}

// A blocking connection to an endpoint: a Unix socket's path or a
// "tcp:HOST:PORT" address; -1 when it cannot be made. A wait for a message
// that never comes ends after 2 s, so that a test fails instead of hanging.
inline int ConnectEndpoint(const std::string& where) {
  int fd = -1;
  const wire::DeviceAddress address = wire::ParseDeviceAddress(where);
  if (address.kind == wire::DeviceAddress::Kind::kTcp) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0)
      return -1;
    fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
    ::freeaddrinfo(found);
  } else {
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::strncpy(local.sun_path, where.c_str(), sizeof(local.sun_path) - 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) {
    timeval limit{};
    limit.tv_sec = 2;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  return fd;
}

// The status of the device's answer to an OPEN sent with `purpose` (0: the
// device is this host's or, for a probe, free; 5: another host has it;
// 1306: another version), or -1 when no answer of this version came.
inline int64_t OpenAndAnswer(int fd, wire::OpenPurpose purpose = wire::OpenPurpose::kUse) {
  if (fd < 0 || !SendOpen(fd, purpose)) return -1;
  wire::Message answer;
  if (!ReceiveMessage(fd, answer) || answer.type != wire::kOpen || answer.id != 0 ||
      answer.payload.size() != wire::kOpenAnswerSize) {
    return -1;
  }
  return wire::LoadU32(answer.payload.data());
}

}  // namespace norvex::test_support
