// net_winsock.cpp: the emulator's sockets on Windows (norvex-emu.exe, and the
// Windows programs that reach a norvex-emu's control port): TCP only, over
// Winsock; a Unix socket of a device folder is POSIX's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emu/net.h"

namespace norvex::emu::net {
namespace {

using Clock = std::chrono::steady_clock;

// A host that stops reading must not stall the serving thread for ever.
constexpr std::chrono::seconds kSendWait{2};
constexpr unsigned long kFionbio = 0x8004667Eul;
static_assert(kFionbio == static_cast<unsigned long>(FIONBIO), "FIONBIO");

SOCKET Native(SocketId id) { return static_cast<SOCKET>(id); }

bool StartWinsock() {
  static std::once_flag started;
  static bool ok = false;
  std::call_once(started, [] {
    WSADATA data{};
    ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ok;
}

void SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  ::ioctlsocket(socket, static_cast<long>(kFionbio), &on);
}

}  // namespace

struct Waiter {
  SOCKET wakeRead = INVALID_SOCKET;   // a UDP socket on the loopback interface
  SOCKET wakeWrite = INVALID_SOCKET;  // connected to it
};

void Socket::Reset(SocketId id) {
  if (m_id != kNoSocket) ::closesocket(Native(m_id));
  m_id = id;
}

std::string LastErrorText(const char* what) {
  return std::string(what) + ": Winsock error " + std::to_string(::WSAGetLastError());
}

std::string DefaultDeviceFolder() { return {}; }

Socket ListenLocal(const std::string& /*folder*/, const std::string& /*path*/, std::string& /*identity*/,
                   std::string& error) {
  error = "a device folder of Unix sockets is not served on Windows: use --listen HOST:PORT";
  return Socket();
}

void RemoveLocal(const std::string& /*path*/, const std::string& /*identity*/) {}

Socket ListenTcp(const std::string& host, uint16_t& port, std::string& error) {
  if (!StartWinsock()) {
    error = "Winsock cannot be started";
    return Socket();
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    error = LastErrorText(("cannot resolve " + host).c_str());
    return Socket();
  }
  Socket listener(static_cast<SocketId>(::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP)));
  const bool ok = Native(listener.id()) != INVALID_SOCKET &&
                  ::bind(Native(listener.id()), found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                  ::listen(Native(listener.id()), 16) == 0;
  ::freeaddrinfo(found);
  if (!ok) {
    error = LastErrorText(("listen on " + host + ":" + service).c_str());
    return Socket();
  }
  SetNonBlocking(Native(listener.id()));
  sockaddr_storage bound{};
  int length = sizeof(bound);
  if (::getsockname(Native(listener.id()), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  return listener;
}

namespace {

// A connection never blocks: SendAll waits for room itself.
void MakeConnection(SOCKET socket) {
  SetNonBlocking(socket);
  const BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

// Connects `socket` (non-blocking) to `address` within `deadline`. A failed
// connect shows in the exception set of select (WSAPoll does not always
// report it).
bool ConnectBy(SOCKET socket, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return true;
  if (::WSAGetLastError() != WSAEWOULDBLOCK) return false;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  timeval limit{};
  limit.tv_sec = static_cast<long>(std::max<decltype(left)>(left, 0) / 1000);
  limit.tv_usec = static_cast<long>(std::max<decltype(left)>(left, 0) % 1000 * 1000);
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  if (::select(0, nullptr, &writable, &failed, &limit) <= 0) {
    ::WSASetLastError(WSAETIMEDOUT);
    return false;
  }
  int failure = 0;
  int length = sizeof(failure);
  ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length);
  if (FD_ISSET(socket, &failed) && failure == 0) failure = WSAECONNREFUSED;
  ::WSASetLastError(failure);
  return failure == 0;
}

}  // namespace

bool BoundToLoopback(SocketId socket) {
  sockaddr_storage bound{};
  int length = sizeof(bound);
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return false;
  if (bound.ss_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&bound)->sin_addr.s_addr) >> 24) == 127;
  }
  if (bound.ss_family != AF_INET6) return false;
  const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_addr;
  static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::equal(kLoopback, kLoopback + 16, reinterpret_cast<const uint8_t*>(&address));
}

Socket Accept(SocketId listener) {
  const SOCKET accepted = ::accept(Native(listener), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return Socket();
  MakeConnection(accepted);
  return Socket(static_cast<SocketId>(accepted));
}

Socket Connect(const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
  if (!StartWinsock()) {
    error = "Winsock cannot be started";
    return Socket();
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = LastErrorText(("cannot resolve " + host).c_str());
    return Socket();
  }
  error = "no address of " + host;
  Socket connection;
  for (const addrinfo* address = found; address != nullptr && !connection; address = address->ai_next) {
    Socket attempt(static_cast<SocketId>(::socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP)));
    if (Native(attempt.id()) == INVALID_SOCKET) {
      error = LastErrorText("socket");
      continue;
    }
    SetNonBlocking(Native(attempt.id()));
    if (ConnectBy(Native(attempt.id()), *address, deadline)) {
      connection = std::move(attempt);
    } else {
      error = LastErrorText(("connect to " + host + ":" + service).c_str());
    }
  }
  ::freeaddrinfo(found);
  if (connection) MakeConnection(Native(connection.id()));
  return connection;
}

long ReceiveSome(SocketId socket, void* buffer, size_t size) {
  const int n = ::recv(Native(socket), static_cast<char*>(buffer),
                       static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? -1 : 0;
}

bool SendAll(SocketId socket, const void* first, size_t firstSize, const void* second, size_t secondSize) {
  Clock::time_point deadline = Clock::now() + kSendWait;
  const char* parts[2] = {static_cast<const char*>(first), static_cast<const char*>(second)};
  size_t sizes[2] = {firstSize, secondSize};
  for (int i = 0; i < 2; ++i) {
    while (sizes[i] > 0) {
      const int n =
          ::send(Native(socket), parts[i], static_cast<int>(std::min<size_t>(sizes[i], 1u << 30)), 0);
      if (n > 0) {
        parts[i] += n;
        sizes[i] -= static_cast<size_t>(n);
        deadline = Clock::now() + kSendWait;  // it took some: the peer reads
        continue;
      }
      if (n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      WSAPOLLFD watch{};
      watch.fd = Native(socket);
      watch.events = POLLWRNORM;
      if (::WSAPoll(&watch, 1, static_cast<int>(left)) < 0) return false;
    }
  }
  return true;
}

void Shutdown(SocketId socket) { ::shutdown(Native(socket), SD_BOTH); }

WakeSet::WakeSet() : m_waiter(new Waiter) {
  if (!StartWinsock()) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  m_waiter->wakeRead = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  m_waiter->wakeWrite = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (m_waiter->wakeRead == INVALID_SOCKET || m_waiter->wakeWrite == INVALID_SOCKET ||
      ::bind(m_waiter->wakeRead, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(m_waiter->wakeRead, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(m_waiter->wakeWrite, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (m_waiter->wakeRead != INVALID_SOCKET) ::closesocket(m_waiter->wakeRead);
    if (m_waiter->wakeWrite != INVALID_SOCKET) ::closesocket(m_waiter->wakeWrite);
    m_waiter->wakeRead = m_waiter->wakeWrite = INVALID_SOCKET;
    return;
  }
  SetNonBlocking(m_waiter->wakeRead);
}

WakeSet::~WakeSet() {
  if (m_waiter->wakeRead != INVALID_SOCKET) ::closesocket(m_waiter->wakeRead);
  if (m_waiter->wakeWrite != INVALID_SOCKET) ::closesocket(m_waiter->wakeWrite);
  delete m_waiter;
}

bool WakeSet::ok() const { return m_waiter->wakeRead != INVALID_SOCKET; }

void WakeSet::Wake() {
  const char byte = 1;
  ::send(m_waiter->wakeWrite, &byte, 1, 0);
}

int WakeSet::Wait(const SocketId* sockets, bool* readable, size_t count, int timeoutMs, int spinMicros) {
  std::vector<WSAPOLLFD> watch(count + 1);
  watch[0].fd = m_waiter->wakeRead;
  watch[0].events = POLLRDNORM;
  for (size_t i = 0; i < count; ++i) {
    watch[i + 1].fd = Native(sockets[i]);
    watch[i + 1].events = POLLRDNORM;
  }
  const Clock::time_point spinUntil = Clock::now() + std::chrono::microseconds(spinMicros);
  int ready = 0;
  do {
    ready = ::WSAPoll(watch.data(), static_cast<ULONG>(watch.size()), 0);
  } while (ready == 0 && timeoutMs != 0 && Clock::now() < spinUntil);
  if (ready == 0) ready = ::WSAPoll(watch.data(), static_cast<ULONG>(watch.size()), timeoutMs);
  int socketsReady = 0;
  for (size_t i = 0; i < count; ++i) {
    readable[i] = ready > 0 && (watch[i + 1].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
    if (readable[i]) ++socketsReady;
  }
  if (ready > 0 && (watch[0].revents & POLLRDNORM) != 0) {
    char drain[64];
    while (::recv(m_waiter->wakeRead, drain, sizeof(drain), 0) > 0) {
    }
  }
  return socketsReady;
}

}  // namespace norvex::emu::net
