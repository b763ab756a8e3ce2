// posix_stream.cpp: the POSIX Stream and the non-blocking connect.
#include "platform/posix/posix_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace norvex::platform::posix_stream {

using device::kErrorTimeout;

// How long a wait for an answer asks again before it sleeps.
constexpr std::chrono::microseconds kSpin{50};
using device::kErrorTooManyOpenFiles;

uint32_t ErrorFromErrno(int number) {
  switch (number) {
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENAMETOOLONG:
      return device::kErrorFilenameTooLong;
    case EAGAIN:
    case EINPROGRESS:
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      // Refused (no device behind a stale socket), gone, not a stream socket.
      return kErrorDeviceNotConnected;
  }
}

int PollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<decltype(left)>(left, 60000));
}

std::unique_ptr<PosixStream> PosixStream::Make(UniqueFd socket) {
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return nullptr;
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) return nullptr;
  return std::unique_ptr<PosixStream>(new PosixStream(std::move(socket), std::move(wake)));
}

device::Stream::Io PosixStream::Send(const device::Piece* pieces, size_t count, size_t& sent) {
  sent = 0;
  if (m_shut.load()) return Io::kClosed;
  struct iovec parts[4];
  size_t used = 0;
  for (size_t i = 0; i < count && used < 4; ++i) {
    if (pieces[i].size == 0) continue;
    parts[used].iov_base = const_cast<void*>(pieces[i].data);
    parts[used].iov_len = pieces[i].size;
    ++used;
  }
  if (used == 0) return Io::kDone;
  struct msghdr message {};
  message.msg_iov = parts;
  message.msg_iovlen = used;
  for (;;) {
    // MSG_NOSIGNAL: a closed peer is an error here, not a signal to the host.
    const ssize_t n = ::sendmsg(m_socket.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = static_cast<size_t>(n);
      size_t total = 0;
      for (size_t i = 0; i < used; ++i) total += parts[i].iov_len;
      return sent == total ? Io::kDone : Io::kWouldBlock;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Io::kWouldBlock : Io::kClosed;
  }
}

device::Stream::Io PosixStream::Receive(void* buffer, size_t size, size_t& received) {
  received = 0;
  for (;;) {
    const ssize_t n = ::recv(m_socket.get(), buffer, size, MSG_DONTWAIT);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return Io::kDone;
    }
    if (n == 0) return Io::kClosed;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Io::kWouldBlock : Io::kClosed;
  }
}

device::Stream::Ready PosixStream::Wait(bool forWrite, Clock::time_point deadline) {
  // A device answers a command within microseconds: asking again for that
  // long costs less than the sleep and wake-up of a blocking wait, which on
  // a busy machine take longer than the answer itself.
  if (!forWrite) {
    const Clock::time_point spinUntil = std::min(deadline, Clock::now() + kSpin);
    struct pollfd watch {
      m_socket.get(), POLLIN, 0
    };
    while (Clock::now() < spinUntil && !m_shut.load()) {
      if (::poll(&watch, 1, 0) > 0) return Ready::kReady;
    }
  }
  for (;;) {
    if (m_shut.load()) return Ready::kClosed;
    struct pollfd watch[2] = {{m_socket.get(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                              {m_wake.get(), POLLIN, 0}};
    const int ready = ::poll(watch, 2, PollTimeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Ready::kClosed;
    if ((watch[1].revents & POLLIN) != 0) return Ready::kClosed;
    // An error or hang-up is for the next send or receive to report.
    if (watch[0].revents != 0) return Ready::kReady;
    if (Clock::now() >= deadline) return Ready::kTimedOut;
  }
}

void PosixStream::ShutdownSend() { ::shutdown(m_socket.get(), SHUT_WR); }

void PosixStream::Shutdown() {
  m_shut.store(true);
  ::shutdown(m_socket.get(), SHUT_RDWR);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(m_wake.get(), &one, sizeof(one));
}

std::unique_ptr<PosixStream> Connect(int family, const struct sockaddr* address, socklen_t length,
                                     Clock::time_point deadline, uint32_t& error, int& systemError) {
  systemError = 0;
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    systemError = errno;
    error = ErrorFromErrno(errno);
    return nullptr;
  }
  int result = ::connect(fd.get(), address, length);
  if (result != 0 && errno == EAGAIN && family == AF_UNIX) {
    // A Unix socket whose listen queue is full: try again until the deadline.
    while (result != 0 && errno == EAGAIN && Clock::now() < deadline) {
      struct pollfd nothing {};
      ::poll(&nothing, 0, 5);
      result = ::connect(fd.get(), address, length);
    }
  }
  if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    struct pollfd watch {};
    watch.fd = fd.get();
    watch.events = POLLOUT;
    int ready = 0;
    do {
      ready = ::poll(&watch, 1, PollTimeout(deadline));
    } while ((ready < 0 && errno == EINTR) || (ready == 0 && Clock::now() < deadline));
    if (ready <= 0) {
      systemError = ETIMEDOUT;
      error = kErrorTimeout;
      return nullptr;
    }
    int soError = 0;
    socklen_t size = sizeof(soError);
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &size);
    result = soError == 0 ? 0 : -1;
    errno = soError;
  }
  if (result != 0) {
    systemError = errno;
    error = ErrorFromErrno(errno);
    return nullptr;
  }
  std::unique_ptr<PosixStream> stream = PosixStream::Make(std::move(fd));
  error = stream ? 0 : ErrorFromErrno(errno);
  return stream;
}

}  // namespace norvex::platform::posix_stream
