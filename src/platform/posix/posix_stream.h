// posix_stream.h: the Stream of the POSIX transports: a non-blocking stream
// socket (a Unix socket or a TCP connection) and an event descriptor that
// Shutdown signals, so that a wait on another thread ends at once.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>

#include "platform/device/stream.h"
#include "platform/posix/posix_fd.h"

namespace norvex::platform::posix_stream {

using device::Clock;

class PosixStream final : public device::Stream {
 public:
  // Takes a connected socket (made non-blocking here). Null when no event
  // descriptor could be made.
  static std::unique_ptr<PosixStream> Make(UniqueFd socket);

  Io Send(const device::Piece* pieces, size_t count, size_t& sent) override;
  Io Receive(void* buffer, size_t size, size_t& received) override;
  Ready Wait(bool forWrite, Clock::time_point deadline) override;
  void ShutdownSend() override;
  void Shutdown() override;
  intptr_t PollHandle() const override { return m_socket.get(); }

 private:
  PosixStream(UniqueFd socket, UniqueFd wake) : m_socket(std::move(socket)), m_wake(std::move(wake)) {}

  const UniqueFd m_socket;
  const UniqueFd m_wake;  // readable once Shutdown was called
  std::atomic<bool> m_shut{false};
};

// The Windows error number for an errno of a socket call.
uint32_t ErrorFromErrno(int number);

// Makes a non-blocking stream socket of `family` and connects it to
// `address` within `deadline`. Null with the reason in `error` and the
// system's in `systemError`.
std::unique_ptr<PosixStream> Connect(int family, const struct sockaddr* address, socklen_t length,
                                     Clock::time_point deadline, uint32_t& error, int& systemError);

// Milliseconds from now to `deadline` for poll(): 0 when passed, at most a
// minute (the caller's loop looks again).
int PollTimeout(Clock::time_point deadline);

}  // namespace norvex::platform::posix_stream
