// winsock_transport.cpp: TCP connections over Winsock, as device streams.
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

#include "platform/win32/winsock_transport.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>

namespace norvex::platform::winsock_transport {
namespace {

using device::Clock;

constexpr unsigned long kFionbio = 0x8004667Eul;
static_assert(kFionbio == static_cast<unsigned long>(FIONBIO), "FIONBIO");

// The longest single wait of a stream: a Shutdown on another thread is seen
// within it, since Winsock's poll does not wake for it.
constexpr int kWaitSliceMs = 50;

bool StartWinsock() {
  static std::once_flag started;
  static bool ok = false;
  std::call_once(started, [] {
    WSADATA data{};
    ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ok;
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<decltype(left)>(left, kWaitSliceMs));
}

class WinsockStream final : public device::Stream {
 public:
  explicit WinsockStream(SOCKET socket) : m_socket(socket) {}
  ~WinsockStream() override { ::closesocket(m_socket); }
  WinsockStream(const WinsockStream&) = delete;
  WinsockStream& operator=(const WinsockStream&) = delete;

  Io Send(const device::Piece* pieces, size_t count, size_t& sent) override {
    sent = 0;
    if (m_shut.load()) return Io::kClosed;
    WSABUF buffers[4];
    DWORD used = 0;
    size_t total = 0;
    for (size_t i = 0; i < count && used < 4; ++i) {
      if (pieces[i].size == 0) continue;
      buffers[used].buf = static_cast<char*>(const_cast<void*>(pieces[i].data));
      buffers[used].len = static_cast<ULONG>(pieces[i].size);
      total += pieces[i].size;
      ++used;
    }
    if (used == 0) return Io::kDone;
    DWORD moved = 0;
    if (::WSASend(m_socket, buffers, used, &moved, 0, nullptr, nullptr) != 0) {
      return ::WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kClosed;
    }
    sent = moved;
    return sent == total ? Io::kDone : Io::kWouldBlock;
  }

  Io Receive(void* buffer, size_t size, size_t& received) override {
    received = 0;
    const int n =
        ::recv(m_socket, static_cast<char*>(buffer), static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return Io::kDone;
    }
    if (n == 0) return Io::kClosed;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kClosed;
  }

  Ready Wait(bool forWrite, Clock::time_point deadline) override {
    for (;;) {
      if (m_shut.load()) return Ready::kClosed;
      WSAPOLLFD watch{};
      watch.fd = m_socket;
      watch.events = forWrite ? POLLWRNORM : POLLRDNORM;
      const int ready = ::WSAPoll(&watch, 1, MillisecondsLeft(deadline));
      if (ready < 0) return Ready::kClosed;
      if (ready > 0) return Ready::kReady;
      if (Clock::now() >= deadline) return Ready::kTimedOut;
    }
  }

  void ShutdownSend() override { ::shutdown(m_socket, SD_SEND); }
  void Shutdown() override {
    m_shut.store(true);
    ::shutdown(m_socket, SD_BOTH);
  }

 private:
  const SOCKET m_socket;
  std::atomic<bool> m_shut{false};
};

// Connects `socket` (non-blocking) to `address` within `deadline`; the
// Winsock error, or 0.
int ConnectOne(SOCKET socket, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
  const int error = ::WSAGetLastError();
  if (error != WSAEWOULDBLOCK) return error;
  for (;;) {
    WSAPOLLFD watch{};
    watch.fd = socket;
    watch.events = POLLWRNORM;
    const int ready = ::WSAPoll(&watch, 1, MillisecondsLeft(deadline));
    if (ready > 0) {
      int soError = 0;
      int length = sizeof(soError);
      ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
      if (soError == 0 && (watch.revents & (POLLERR | POLLHUP)) != 0) soError = WSAECONNREFUSED;
      return soError;
    }
    if (ready < 0) return ::WSAGetLastError();
    if (Clock::now() >= deadline) return WSAETIMEDOUT;
  }
}

}  // namespace

std::unique_ptr<device::Stream> Connect(const std::string& host, uint16_t port, Clock::time_point deadline,
                                        uint32_t& error) {
  if (!StartWinsock()) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = device::kErrorBadNetName;
    return nullptr;
  }
  const std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> addresses(found, &::freeaddrinfo);
  error = kErrorNoMoreItems;
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    const SOCKET socket = ::socket(each->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) continue;
    // The stream owns the socket from here on, and closes it on every path.
    std::unique_ptr<WinsockStream> stream(new (std::nothrow) WinsockStream(socket));
    if (!stream) {
      ::closesocket(socket);
      error = kErrorNotEnoughMemory;
      return nullptr;
    }
    u_long nonBlocking = 1;
    // FIONBIO does not fit the macro's signed type.
    ::ioctlsocket(socket, static_cast<long>(kFionbio), &nonBlocking);
    const int result = ConnectOne(socket, *each, deadline);
    if (result == 0) {
      // Every message goes out as it is written: the protocol is a dialogue
      // of small messages.
      const BOOL on = TRUE;
      ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
      error = 0;
      return stream;
    }
    error = result == WSAETIMEDOUT ? device::kErrorTimeout : kErrorNoMoreItems;
    if (result == WSAETIMEDOUT) break;
  }
  return nullptr;
}

}  // namespace norvex::platform::winsock_transport
