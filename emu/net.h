// net.h: the sockets of the emulator's endpoints and of its control port,
// the only system calls of the emulator: listening on a Unix socket of a
// device folder or on a TCP port, accepting, connecting, sending and
// receiving, and waiting on several sockets at once with a wake-up. One
// implementation per system (net_posix.cpp, net_winsock.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace norvex::emu::net {

using SocketId = intptr_t;
inline constexpr SocketId kNoSocket = -1;

// Owns one socket and closes it when it goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketId id) : m_id(id) {}
  Socket(Socket&& other) noexcept : m_id(std::exchange(other.m_id, kNoSocket)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_id, kNoSocket));
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Reset(); }

  SocketId id() const { return m_id; }
  explicit operator bool() const { return m_id != kNoSocket; }
  void Reset(SocketId id = kNoSocket);

 private:
  SocketId m_id = kNoSocket;
};

// A Unix socket at `path` in `folder`: the folder is made (mode 0700) when
// missing, a stale socket nobody serves is replaced, and the socket (mode
// 0600) appears whole, renamed into place once it listens. `identity`
// names the socket file, so that its removal can make sure it is still ours.
Socket ListenLocal(const std::string& folder, const std::string& path, std::string& identity,
                   std::string& error);
// Removes the socket file at `path` if it is still the one of `identity`.
void RemoveLocal(const std::string& path, const std::string& identity);

// A TCP socket listening at `host`:`port`; port 0 takes one the system
// picks, and `port` then says which. The address may be taken again at once
// after the socket is closed (a replug).
Socket ListenTcp(const std::string& host, uint16_t& port, std::string& error);

// Whether `socket` is bound to a loopback address (127.0.0.0/8, ::1).
bool BoundToLoopback(SocketId socket);

// A new connection on `listener`; empty when none is waiting. Its sends
// wait at most 2 s for room, so that a host that stops reading cannot stall
// the emulator for ever.
Socket Accept(SocketId listener);

// A TCP connection to `host`:`port` (each address the name resolves to in
// turn), made within `timeoutMs`; its sends wait for room as an accepted
// one's do. Empty, with the reason in `error`, when none could be made.
Socket Connect(const std::string& host, uint16_t port, int timeoutMs, std::string& error);

// Receives what has arrived, without waiting: > 0 bytes, 0 at the end of
// the stream or on an error, -1 when nothing is there yet.
long ReceiveSome(SocketId socket, void* buffer, size_t size);
// Sends all of `first` then `second`; false when the connection failed or
// took nothing for 2 s.
bool SendAll(SocketId socket, const void* first, size_t firstSize, const void* second = nullptr,
             size_t secondSize = 0);
// Stops receiving and sending: the peer sees the end of the stream.
void Shutdown(SocketId socket);

// Waits until one of `sockets` can be read (or has ended), or a wake-up
// comes, at most `timeoutMs` (-1: no limit). `readable[i]` says which.
struct Waiter;
class WakeSet {
 public:
  WakeSet();
  ~WakeSet();
  WakeSet(const WakeSet&) = delete;
  WakeSet& operator=(const WakeSet&) = delete;
  bool ok() const;
  // Makes a Wait in progress return.
  void Wake();
  // Returns the number of sockets ready (a wake-up is no socket). With
  // `spinMicros`, asks again without sleeping for that long first: a host
  // in the middle of an exchange sends its next message within microseconds.
  int Wait(const SocketId* sockets, bool* readable, size_t count, int timeoutMs, int spinMicros = 0);

 private:
  Waiter* m_waiter;
};

// The device folder where a library looks when nothing names one:
// $NORVEX_DEVICE_DIR, else the user's own ($XDG_RUNTIME_DIR/norvex, else
// /tmp/norvex-<uid>).
std::string DefaultDeviceFolder();

// The system's text for the last error of a call.
std::string LastErrorText(const char* what);

}  // namespace norvex::emu::net
