// net_posix.cpp: the emulator's sockets on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "emu/net.h"

namespace norvex::emu::net {
namespace {

using Clock = std::chrono::steady_clock;

// A host that stops reading must not stall the serving thread for ever.
constexpr time_t kSendTimeoutSeconds = 2;

int Fd(SocketId id) { return static_cast<int>(id); }

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string IdentityOf(const struct stat& info) {
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// Whether a device serves the socket at `path` now. A device that does was
// connected to, so the probe closes as a host does: it stops sending and
// waits (at most 2 s) until the device has closed its end, so that the
// device is free for its next host when this returns.
bool SomeoneServes(const sockaddr_un& address) {
  Socket probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  int rc = 0;
  do {
    rc = ::connect(Fd(probe.id()), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  ::shutdown(Fd(probe.id()), SHUT_WR);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  uint8_t drain[64];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd watch{Fd(probe.id()), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::recv(Fd(probe.id()), drain, sizeof(drain), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the device closed its end (or the connection failed)
  }
  return true;
}

}  // namespace

struct Waiter {
  int wakeRead = -1;
  int wakeWrite = -1;
};

void Socket::Reset(SocketId id) {
  if (m_id != kNoSocket) ::close(Fd(m_id));
  m_id = id;
}

std::string DefaultDeviceFolder() {
  const char* folder = std::getenv("NORVEX_DEVICE_DIR");
  if (folder != nullptr && *folder != '\0') return folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/norvex";
  return "/tmp/norvex-" + std::to_string(::geteuid());
}

std::string LastErrorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

Socket ListenLocal(const std::string& folder, const std::string& path, std::string& identity,
                   std::string& error) {
  // The folder and its missing parents, private to the user.
  for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0700);
  }
  struct stat existing {};
  if (::mkdir(folder.c_str(), 0700) != 0 &&
      !(::stat(folder.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
    error = LastErrorText(("cannot create the device folder " + folder).c_str());
    return Socket();
  }
  sockaddr_un address{};
  if (!MakeAddress(path, address)) {
    error = "the endpoint path is too long for a Unix socket: " + path;
    return Socket();
  }
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket";
      return Socket();
    }
    if (SomeoneServes(address)) {
      error = "another device serves " + path;
      return Socket();
    }
    ::unlink(path.c_str());  // a stale endpoint nobody serves
  }
  // Bound and listening under a hidden name first, renamed into place only
  // then: a host that sees the endpoint appear can connect at once.
  Socket listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) {
    error = LastErrorText("socket");
    return listener;
  }
  const size_t slash = path.rfind('/');
  const std::string hidden =
      path.substr(0, slash + 1) + "." + path.substr(slash + 1) + "." + std::to_string(::getpid()) + ".tmp";
  sockaddr_un hiddenAddress{};
  if (!MakeAddress(hidden, hiddenAddress)) {
    error = "the endpoint path is too long for a Unix socket: " + hidden;
    return Socket();
  }
  ::unlink(hidden.c_str());
  // Only this user may connect: 0600 from the start.
  const mode_t mask = ::umask(0177);
  const int bound =
      ::bind(Fd(listener.id()), reinterpret_cast<const sockaddr*>(&hiddenAddress), sizeof(hiddenAddress));
  ::umask(mask);
  if (bound != 0) {
    error = LastErrorText(("bind " + hidden).c_str());
    return Socket();
  }
  struct stat made {};
  if (::chmod(hidden.c_str(), 0600) != 0 || ::listen(Fd(listener.id()), 16) != 0 ||
      ::rename(hidden.c_str(), path.c_str()) != 0 || ::stat(path.c_str(), &made) != 0) {
    error = LastErrorText(("listen " + path).c_str());
    ::unlink(hidden.c_str());
    ::unlink(path.c_str());
    return Socket();
  }
  identity = IdentityOf(made);
  return listener;
}

void RemoveLocal(const std::string& path, const std::string& identity) {
  struct stat current {};
  if (::lstat(path.c_str(), &current) == 0 && IdentityOf(current) == identity) ::unlink(path.c_str());
}

Socket ListenTcp(const std::string& host, uint16_t& port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(resolved);
    return Socket();
  }
  Socket listener(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) {
    error = LastErrorText("socket");
    ::freeaddrinfo(found);
    return listener;
  }
  const int on = 1;
  ::setsockopt(Fd(listener.id()), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  const bool ok = ::bind(Fd(listener.id()), found->ai_addr, found->ai_addrlen) == 0 &&
                  ::listen(Fd(listener.id()), 16) == 0;
  ::freeaddrinfo(found);
  if (!ok) {
    error = LastErrorText(("listen on " + host + ":" + service).c_str());
    return Socket();
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(Fd(listener.id()), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  return listener;
}

namespace {

// A connection's sends wait for room, at most kSendTimeoutSeconds; its
// receives never wait (ReceiveSome).
void MakeConnection(SocketId socket) {
  const int flags = ::fcntl(Fd(socket), F_GETFL);
  ::fcntl(Fd(socket), F_SETFL, flags & ~O_NONBLOCK);
  timeval limit{};
  limit.tv_sec = kSendTimeoutSeconds;
  ::setsockopt(Fd(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  const int on = 1;
  ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));  // fails harmlessly on Unix sockets
}

// Connects `socket` (non-blocking) to `address` within `deadline`.
bool ConnectBy(SocketId socket, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(Fd(socket), address.ai_addr, address.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd watch{Fd(socket), POLLOUT, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) continue;
    int failure = 0;
    socklen_t length = sizeof(failure);
    if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &failure, &length) != 0) return false;
    errno = failure;
    return failure == 0;
  }
}

}  // namespace

bool BoundToLoopback(SocketId socket) {
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return false;
  if (bound.ss_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&bound)->sin_addr.s_addr) >> 24) == 127;
  }
  return bound.ss_family == AF_INET6 &&
         IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_addr);
}

Socket Accept(SocketId listener) {
  Socket accepted(::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (accepted) MakeConnection(accepted.id());
  return accepted;
}

Socket Connect(const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(resolved);
    return Socket();
  }
  error = "no address of " + host;
  Socket connection;
  for (const addrinfo* address = found; address != nullptr && !connection; address = address->ai_next) {
    Socket attempt(::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (attempt && ConnectBy(attempt.id(), *address, deadline)) {
      connection = std::move(attempt);
    } else {
      error = LastErrorText(("connect to " + host + ":" + service).c_str());
    }
  }
  ::freeaddrinfo(found);
  if (connection) MakeConnection(connection.id());
  return connection;
}

long ReceiveSome(SocketId socket, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(Fd(socket), buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : 0;
  }
}

bool SendAll(SocketId socket, const void* first, size_t firstSize, const void* second, size_t secondSize) {
  struct iovec parts[2] = {{const_cast<void*>(first), firstSize}, {const_cast<void*>(second), secondSize}};
  int count = secondSize > 0 ? 2 : 1;
  struct iovec* next = parts;
  while (count > 0) {
    struct msghdr message {};
    message.msg_iov = next;
    message.msg_iovlen = static_cast<size_t>(count);
    // MSG_NOSIGNAL: a closed peer is an error here, not a signal.
    const ssize_t n = ::sendmsg(Fd(socket), &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    size_t sent = static_cast<size_t>(n);
    while (count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return true;
}

void Shutdown(SocketId socket) { ::shutdown(Fd(socket), SHUT_RDWR); }

WakeSet::WakeSet() : m_waiter(new Waiter) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_waiter->wakeRead = ends[0];
    m_waiter->wakeWrite = ends[1];
  }
}

WakeSet::~WakeSet() {
  if (m_waiter->wakeRead >= 0) ::close(m_waiter->wakeRead);
  if (m_waiter->wakeWrite >= 0) ::close(m_waiter->wakeWrite);
  delete m_waiter;
}

bool WakeSet::ok() const { return m_waiter->wakeRead >= 0; }

void WakeSet::Wake() {
  const uint8_t byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this fails.
  [[maybe_unused]] const ssize_t n = ::write(m_waiter->wakeWrite, &byte, 1);
}

int WakeSet::Wait(const SocketId* sockets, bool* readable, size_t count, int timeoutMs, int spinMicros) {
  std::vector<pollfd> watch(count + 1);
  watch[0] = pollfd{m_waiter->wakeRead, POLLIN, 0};
  for (size_t i = 0; i < count; ++i) watch[i + 1] = pollfd{Fd(sockets[i]), POLLIN, 0};
  int ready = 0;
  const Clock::time_point spinUntil = Clock::now() + std::chrono::microseconds(spinMicros);
  do {
    ready = ::poll(watch.data(), watch.size(), 0);
  } while (ready == 0 && timeoutMs != 0 && Clock::now() < spinUntil);
  while (ready == 0 || (ready < 0 && errno == EINTR)) {
    ready = ::poll(watch.data(), watch.size(), timeoutMs);
    if (ready == 0) break;
  }
  int sockets_ready = 0;
  for (size_t i = 0; i < count; ++i) {
    readable[i] = ready > 0 && (watch[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (readable[i]) ++sockets_ready;
  }
  if (ready > 0 && (watch[0].revents & POLLIN) != 0) {
    uint8_t drain[64];
    while (::read(m_waiter->wakeRead, drain, sizeof(drain)) > 0) {
    }
  }
  return sockets_ready;
}

}  // namespace norvex::emu::net
