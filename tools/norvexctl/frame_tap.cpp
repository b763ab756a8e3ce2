// frame_tap.cpp: the -v relay (see frame_tap.h).
#include "frame_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "output.h"

namespace norvexctl {
namespace {

// The device protocol's message header: magic, type, id, payload length.
constexpr size_t kHeaderBytes = 12;
constexpr uint16_t kMagic = 0x564E;
// Larger than any message (a bulk write of 2 MiB and its header): the
// stream is then no message stream, and is relayed without being shown.
constexpr uint32_t kMaxPayload = 0x200008;

uint32_t Le(const uint8_t* p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

const char* TypeName(uint16_t type) {
  switch (type) {
    case 0x0001:
      return "OPEN";
    case 0x0010:
      return "CONTROL";
    case 0x0011:
      return "CONTROL_DONE";
    case 0x0020:
      return "READ";
    case 0x0021:
      return "READ_DONE";
    case 0x0030:
      return "WRITE";
    case 0x0031:
      return "WRITE_DONE";
    case 0x0032:
      return "WRITE_DATA";
    case 0x0040:
      return "CANCEL";
    default:
      return nullptr;
  }
}

// Where the tap's lines go, each "frames", the milliseconds since `start`,
// then the text.
struct Trace {
  std::FILE* out;
  std::chrono::steady_clock::time_point start;

  void Line(const std::string& text) const {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(out, "frames %10.3f ms %s\n", ms, text.c_str());
  }
};

// One direction of a connection: what arrived and is not yet a whole message.
struct Direction {
  const Trace& trace;
  const char* arrow;  // "->" host to device, "<-" device to host
  std::vector<uint8_t> pending;
  bool lost = false;  // no message stream: shown no more

  void Show(const uint8_t* data, size_t size) {
    if (lost) return;
    pending.insert(pending.end(), data, data + size);
    while (pending.size() >= kHeaderBytes) {
      const uint8_t* h = pending.data();
      const uint32_t length = Le(h + 8, 4);
      const char* name = TypeName(static_cast<uint16_t>(Le(h + 2, 2)));
      if (Le(h, 2) != kMagic || name == nullptr || length > kMaxPayload) {
        trace.Line(std::string(arrow) + " (not a message of the device protocol: no more shown)");
        lost = true;
        pending.clear();
        return;
      }
      if (pending.size() < kHeaderBytes + length) return;
      ShowMessage(name, Le(h + 4, 4), h + kHeaderBytes, length);
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(kHeaderBytes + length));
    }
  }

  void ShowMessage(const char* name, uint32_t id, const uint8_t* p, uint32_t length) const {
    const std::string type = name;
    std::string text;
    if (type == "CONTROL" && length >= 4) {
      text = Printf("code 0x%06X  %s", Le(p, 4), Hex(p + 4, length - 4).c_str());
    } else if (type == "READ_DONE" && length >= 4) {
      text = Printf("status %u  %s", Le(p, 4), Hex(p + 4, length - 4).c_str());
    } else if (type == "WRITE" && length >= 4) {
      text = Printf("%u bytes to come", Le(p, 4));
    } else if (type == "WRITE_DATA") {
      text = Printf("%u bytes", length);
    } else if (type == "WRITE_DONE" && length >= 8) {
      text = Printf("status %u, %u bytes", Le(p, 4), Le(p + 4, 4));
    } else if (type == "READ" && length >= 4) {
      text = Printf("up to %u bytes", Le(p, 4));
    } else if (length >= 4) {
      text = Printf("status %u", Le(p, 4));
    }
    trace.Line(Printf("%s %-12s #%-4u %s", arrow, name, id, text.c_str()));
  }
};

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int ConnectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Relays one connection until either side closes it or the tap stops.
void Relay(int down, int wake, const std::string& upstream, const Trace& trace) {
  const int up = ConnectTo(upstream);
  if (up < 0) {
    trace.Line("-- the device " + upstream + " cannot be reached");
    return;
  }
  Direction toDevice{trace, "->", {}, false};
  Direction toHost{trace, "<-", {}, false};
  std::vector<uint8_t> buffer(1 << 16);
  for (;;) {
    pollfd fds[3] = {{down, POLLIN, 0}, {up, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    bool closed = false;
    for (int side = 0; side < 2 && !closed; ++side) {
      if (fds[side].revents == 0) continue;
      const int from = side == 0 ? down : up;
      const int to = side == 0 ? up : down;
      const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        trace.Line(std::string("-- the ") + (side == 0 ? "library" : "device") + " closed the connection");
        closed = true;
        break;
      }
      (side == 0 ? toDevice : toHost).Show(buffer.data(), static_cast<size_t>(n));
      if (!SendAll(to, buffer.data(), static_cast<size_t>(n))) closed = true;
    }
    if (closed) break;
  }
  ::close(up);
}

}  // namespace

FrameTap::~FrameTap() {
  if (m_thread.joinable()) {
    m_stop = true;
    const char byte = 1;
    if (::write(m_wakeWrite, &byte, 1) < 0) {
      // The pipe cannot be full: nothing else writes to it.
    }
    m_thread.join();
  }
  for (int fd : {m_listenFd.load(), m_wakeRead, m_wakeWrite}) {
    if (fd >= 0) ::close(fd);
  }
  if (!m_path.empty()) ::unlink(m_path.c_str());
}

bool FrameTap::Bind(std::string& error) {
  // Bound under a hidden name and then renamed, so that the library sees a
  // whole endpoint appear (docs/device-protocol.md).
  const std::string hidden = m_path.substr(0, m_path.rfind('/') + 1) + ".tap-binding";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || hidden.size() >= sizeof(address.sun_path)) {
    if (fd >= 0) ::close(fd);
    error = "cannot make the frame tap's endpoint";
    return false;
  }
  std::strncpy(address.sun_path, hidden.c_str(), sizeof(address.sun_path) - 1);
  ::unlink(hidden.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0 ||
      ::rename(hidden.c_str(), m_path.c_str()) != 0) {
    error = std::string("cannot make the frame tap's endpoint: ") + std::strerror(errno);
    ::close(fd);
    ::unlink(hidden.c_str());
    return false;
  }
  const int old = m_listenFd.exchange(fd);
  if (old >= 0) ::close(old);
  return true;
}

bool FrameTap::Start(const std::string& upstream, const std::string& folder, const std::string& name,
                     std::FILE* out, std::chrono::steady_clock::time_point start, std::string& error) {
  m_out = out;
  m_start = start;
  m_upstream = upstream;
  m_path = folder + "/" + name;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = "cannot make the frame tap's wake-up pipe";
    return false;
  }
  m_wakeRead = pipeFds[0];
  m_wakeWrite = pipeFds[1];
  if (!Bind(error)) return false;
  std::fprintf(m_out,
               "frames: every message between the library and %s (-> to the device, <- from it), "
               "at milliseconds since the start\n",
               upstream.c_str());
  m_thread = std::thread([this] { Run(); });
  return true;
}

bool FrameTap::Rebind(std::string& error) {
  if (!m_unbound) return true;
  // The thread is waiting on the old listening socket's replacement: it
  // takes the new one at its next wake-up.
  if (!Bind(error)) return false;
  m_unbound = false;
  const char byte = 2;
  return ::write(m_wakeWrite, &byte, 1) == 1;
}

void FrameTap::Run() {
  while (!m_stop) {
    const int listening = m_listenFd.load();
    pollfd fds[2] = {{listening, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) {
      char byte = 0;
      if (::read(m_wakeRead, &byte, 1) == 1 && byte == 2) continue;  // a rebind: poll the new socket
      return;
    }
    const int down = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (down < 0) continue;
    Relay(down, m_wakeRead, m_upstream, Trace{m_out, m_start});
    ::close(down);
    // The device went (unplugged): so does the tap's endpoint, so that the
    // library sees the removal. Rebind() brings it back.
    if (!IsSocket(m_upstream) && !m_unbound) {
      ::unlink(m_path.c_str());
      m_unbound = true;
    }
  }
}

}  // namespace norvexctl
