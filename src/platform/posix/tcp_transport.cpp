// tcp_transport.cpp: TCP connections over POSIX sockets.
#include "platform/posix/tcp_transport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/posix_stream.h"

namespace norvex::platform::tcp_transport {

std::unique_ptr<device::Stream> Connect(const std::string& host, uint16_t port,
                                        device::Clock::time_point deadline, uint32_t& error) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = device::kErrorBadNetName;
    return nullptr;
  }
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> addresses(found, &::freeaddrinfo);
  error = kErrorNoMoreItems;
  for (const struct addrinfo* each = found; each != nullptr; each = each->ai_next) {
    int systemError = 0;
    uint32_t attempt = 0;
    std::unique_ptr<posix_stream::PosixStream> stream = posix_stream::Connect(
        each->ai_family, each->ai_addr, each->ai_addrlen, deadline, attempt, systemError);
    if (stream) {
      // Every message goes out as it is written: the protocol is a dialogue
      // of small messages.
      const int on = 1;
      ::setsockopt(static_cast<int>(stream->PollHandle()), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      error = 0;
      return stream;
    }
    const bool nobody = systemError == ECONNREFUSED || systemError == EHOSTUNREACH ||
                        systemError == ENETUNREACH || systemError == EADDRNOTAVAIL;
    error = nobody ? kErrorNoMoreItems : attempt;
    if (error == device::kErrorTimeout) break;
  }
  return nullptr;
}

}  // namespace norvex::platform::tcp_transport
