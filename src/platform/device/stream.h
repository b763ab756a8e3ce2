// stream.h: the byte stream under the device protocol, and the transports
// that make one. A transport is one implementation per kind of endpoint (a
// Unix socket, a TCP connection over POSIX sockets, one over Winsock), each
// in a file of its own in posix/ or win32/; everything above them (the
// protocol client, the driver's handles) is standard C++.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace norvex::platform::device {

using Clock = std::chrono::steady_clock;

// One piece of a gathered send.
struct Piece {
  const void* data;
  size_t size;
};

// A connected stream socket in non-blocking mode. Send and Receive move what
// the system takes or has now; Wait waits for that to change.
//
// Thread safety: one thread at a time sends and one (possibly another)
// receives; Shutdown and ShutdownSend may be called from any thread at any
// time, and make a Wait in progress on another thread return soon.
class Stream {
 public:
  enum class Io { kDone, kWouldBlock, kClosed };
  enum class Ready { kReady, kTimedOut, kClosed };

  virtual ~Stream() = default;
  // Sends from the pieces in order; `sent` is the number of bytes taken
  // (also with kWouldBlock, when only part was). kClosed when the connection
  // failed or was shut down.
  virtual Io Send(const Piece* pieces, size_t count, size_t& sent) = 0;
  // Receives at most `size` bytes; `received` > 0 with kDone. kClosed at the
  // end of the stream or on an error.
  virtual Io Receive(void* buffer, size_t size, size_t& received) = 0;
  // Waits until the stream can be read (`forWrite` false) or written, at
  // most until `deadline`.
  virtual Ready Wait(bool forWrite, Clock::time_point deadline) = 0;
  // Stops sending: the device reads the end of the stream.
  virtual void ShutdownSend() = 0;
  // Ends both directions at once.
  virtual void Shutdown() = 0;
  // A descriptor that a window system may poll for readability (-1 when
  // there is none to poll).
  virtual intptr_t PollHandle() const { return -1; }
};

// Windows system error numbers of the transports.
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kErrorRevisionMismatch = 1306;
inline constexpr uint32_t kErrorInvalidOwner = 1307;
inline constexpr uint32_t kErrorBadNetName = 67;  // a host name that does not resolve

}  // namespace norvex::platform::device
