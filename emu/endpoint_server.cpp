// endpoint_server.cpp: the socket side of the emulator. One thread polls the
// listening socket, a wake-up pipe and the host's connection, and keeps the
// timers of delayed replies and late completions.
#include "emu/endpoint_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "emu/reply_schedule.h"
#include "platform/posix/device_wire.h"

namespace norvex::emu {
namespace {

using Clock = std::chrono::steady_clock;

// A host that stops reading must not stall the serving thread for ever: a
// send that cannot go on for this long fails and closes the connection.
constexpr time_t kSendTimeoutSeconds = 2;
constexpr size_t kReceiveChunk = 256 * 1024;
constexpr int kChunksPerRound = 16;

void SetSendTimeout(int fd) {
  timeval limit{};
  limit.tv_sec = kSendTimeoutSeconds;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether a device serves the socket at `path` now. A device that does was
// connected to, so the probe closes as a host does: it stops sending and
// waits (at most kProbeCloseWaitMs) until the device has closed its end, so
// that the device is free for its next host when this returns.
constexpr int kProbeCloseWaitMs = 2000;
bool SomeoneServes(const sockaddr_un& address) {
  platform::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  int rc = 0;
  do {
    rc = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  ::shutdown(probe.get(), SHUT_WR);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kProbeCloseWaitMs);
  uint8_t drain[64];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd watch{probe.get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::recv(probe.get(), drain, sizeof(drain), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the device closed its end (or the connection failed)
  }
  return true;
}

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int PollTimeout(std::optional<Clock::time_point> due) {
  if (!due) return -1;
  const auto left = *due - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 60000));
}

void EncodeU32(uint8_t (&out)[4], uint32_t value) { wire::StoreU32(out, value); }

}  // namespace

// The connection of the host that holds the device, and its transfers.
struct EndpointServer::Session {
  struct PendingRead {
    uint32_t id;
    uint32_t capacity;
  };
  using Replies = ReplySchedule<PendingRead>;
  // A WRITE whose data is still coming in WRITE_DATA messages, with the plan
  // of its completion.
  struct IncomingWrite {
    uint32_t id;
    uint32_t total;  // the bytes the WRITE announced
    WritePlan plan;
    std::vector<uint8_t> data;
  };
  // A WRITE whose completion a bulk-write fault holds back; its bytes go to
  // the print memory when it completes. No `due`: it waits for its CANCEL.
  struct PendingWrite {
    uint32_t id;
    std::optional<Clock::time_point> due;
    std::vector<uint8_t> data;
  };

  Session(DeviceModel& model, platform::UniqueFd connection) : m_model(model), m_fd(std::move(connection)) {}

  int fd() const { return m_fd.get(); }

  // Takes what the host sent and handles every whole message in it. False
  // when the connection is to be closed.
  // Whether the device takes nothing from the connection now (a stall).
  bool Paused() const { return m_pausedUntil.has_value(); }

  bool OnReadable() {
    // Everything the host has sent by now, up to a bound, so that the end of
    // the stream after its last message is seen in the same round.
    for (int chunks = 0; chunks < kChunksPerRound && !Paused(); ++chunks) {
      ssize_t n = 0;
      do {
        n = ::recv(m_fd.get(), m_chunk.data(), m_chunk.size(), MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return false;  // the host closed, or the connection failed
      m_input.insert(m_input.end(), m_chunk.begin(), m_chunk.begin() + n);
      if (!HandleInput()) return false;
    }
    return true;
  }

  // Handles every whole message received so far. False when the connection
  // is to be closed.
  bool HandleInput() {
    size_t offset = 0;
    bool open = true;
    while (open && !Paused() && m_input.size() - offset >= wire::kHeaderSize) {
      wire::Message message;
      uint32_t length = 0;
      if (!wire::DecodeHeader(m_input.data() + offset, message.type, message.id, length)) return false;
      if (m_input.size() - offset - wire::kHeaderSize < length) break;
      const auto begin = m_input.begin() + static_cast<std::ptrdiff_t>(offset + wire::kHeaderSize);
      message.payload.assign(begin, begin + length);
      offset += wire::kHeaderSize + length;
      open = HandleMessage(message);
    }
    m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(offset));
    return open;
  }

  // The earliest time at which OnTimers has something to do.
  std::optional<Clock::time_point> NextDue() const {
    std::optional<Clock::time_point> next = m_pausedUntil;
    const std::optional<Clock::time_point> reply = m_replies.NextDue();
    if (reply && (!next || *reply < *next)) next = reply;
    for (const PendingWrite& write : m_writes) {
      if (write.due && (!next || *write.due < *next)) next = write.due;
    }
    return next;
  }

  // Makes delayed replies ready and sends late completions that are due.
  // False when the connection is to be closed.
  bool OnTimers() {
    const Clock::time_point now = Clock::now();
    if (m_pausedUntil && *m_pausedUntil <= now) {
      // The stall is over: what came meanwhile is taken now.
      m_pausedUntil.reset();
      if (!HandleInput()) return false;
    }
    if (const std::optional<Replies::Delivery> served = m_replies.ServeDelayed(now)) {
      if (!CompleteRead(served->read, served->frame)) return false;
    }
    for (const Replies::Delivery& late : m_replies.TakeLate(now)) {
      if (!CompleteRead(late.read, late.frame)) return false;
    }
    for (auto it = m_writes.begin(); it != m_writes.end();) {
      if (!it->due || *it->due > now) {
        ++it;
        continue;
      }
      const PendingWrite write = std::move(*it);
      it = m_writes.erase(it);
      if (!CompleteWrite(write.id, write.data.data(), write.data.size())) return false;
    }
    return true;
  }

 private:
  bool HandleMessage(const wire::Message& message) {
    switch (message.type) {
      case wire::kControl:
        return OnControl(message);
      case wire::kRead:
        // A READ without its capacity is a protocol error.
        if (message.payload.size() < 4) return false;
        m_replies.AddRead(PendingRead{message.id, wire::LoadU32(message.payload.data())});
        return ServeReads();
      case wire::kWrite:
        return OnWrite(message);
      case wire::kWriteData:
        return OnWriteData(message);
      case wire::kCancel:
        return OnCancel(message.id);
      default:
        // Messages that only a device sends are a protocol error from a host.
        return false;
    }
  }

  bool OnControl(const wire::Message& message) {
    if (message.payload.size() < 4) return Complete(wire::kControlDone, message.id, kStatusInvalidParameter);
    if (wire::LoadU32(message.payload.data()) != kFrameControlCode) {
      return Complete(wire::kControlDone, message.id, kStatusInvalidFunction);
    }
    Outcome outcome = m_model.HandleFrame(message.payload.data() + 4, message.payload.size() - 4);
    if (outcome.action == Outcome::Action::kDisconnect) return false;
    if (!Complete(wire::kControlDone, message.id, kStatusOk)) return false;
    m_replies.Take(std::move(outcome), Clock::now());
    return ServeReads();
  }

  // WRITE: a bulk write of the announced length begins; its data follows in
  // WRITE_DATA messages. How it completes is planned now (a bulk-write fault
  // may hold it back, cut it, or stall the connection).
  bool OnWrite(const wire::Message& message) {
    // A WRITE without its 4-byte length is a protocol error.
    if (message.payload.size() != 4) return false;
    IncomingWrite write{message.id, wire::LoadU32(message.payload.data()), WritePlan{}, {}};
    write.plan = m_model.PlanWrite(write.total);
    if (write.plan.stallMs > 0) m_pausedUntil = Clock::now() + std::chrono::milliseconds(write.plan.stallMs);
    if (write.total == 0) return Finish(std::move(write));
    m_incoming.push_back(std::move(write));
    return true;
  }

  // WRITE_DATA: the next bytes of an incoming write. Data of a write that is
  // no longer coming in (completed, cancelled, never begun) is dropped.
  bool OnWriteData(const wire::Message& message) {
    auto write = std::find_if(m_incoming.begin(), m_incoming.end(),
                              [&message](const IncomingWrite& w) { return w.id == message.id; });
    if (write == m_incoming.end()) return true;
    // More data than the WRITE announced is a protocol error.
    if (message.payload.size() > write->total - write->data.size()) return false;
    write->data.insert(write->data.end(), message.payload.begin(), message.payload.end());
    if (write->data.size() < write->total) return true;
    IncomingWrite whole = std::move(*write);
    m_incoming.erase(write);
    return Finish(std::move(whole));
  }

  // All of a write's data is in: completes it as planned.
  bool Finish(IncomingWrite write) {
    const WritePlan& plan = write.plan;
    write.data.resize(std::min<size_t>(write.data.size(), plan.bytes));
    if (!plan.complete || plan.delayMs > 0) {
      PendingWrite held{write.id, std::nullopt, std::move(write.data)};
      if (plan.complete) held.due = Clock::now() + std::chrono::milliseconds(plan.delayMs);
      m_writes.push_back(std::move(held));
      return true;
    }
    return CompleteWrite(write.id, write.data.data(), write.data.size());
  }

  // Stores the bytes a WRITE took and reports them with status 0.
  bool CompleteWrite(uint32_t id, const uint8_t* data, size_t size) {
    m_model.AppendPrintData(data, size);
    uint8_t done[8];
    wire::StoreU32(done, kStatusOk);
    wire::StoreU32(done + 4, static_cast<uint32_t>(size));
    return wire::Send(m_fd.get(), wire::kWriteDone, id, done, sizeof(done));
  }

  bool OnCancel(uint32_t id) {
    auto incoming = std::find_if(m_incoming.begin(), m_incoming.end(),
                                 [id](const IncomingWrite& w) { return w.id == id; });
    auto write =
        std::find_if(m_writes.begin(), m_writes.end(), [id](const PendingWrite& w) { return w.id == id; });
    if (incoming != m_incoming.end() || write != m_writes.end()) {
      // A WRITE still coming in, or held back, ends cancelled, having stored
      // nothing.
      if (incoming != m_incoming.end()) m_incoming.erase(incoming);
      if (write != m_writes.end()) m_writes.erase(write);
      uint8_t done[8];
      wire::StoreU32(done, kStatusCancelled);
      wire::StoreU32(done + 4, 0);
      return wire::Send(m_fd.get(), wire::kWriteDone, id, done, sizeof(done));
    }
    // A transfer already completed (or never begun) ignores the CANCEL; a
    // READ that waits for a late reply is kept and completes with it later.
    const Replies::CancelResult cancel =
        m_replies.Cancel([id](const PendingRead& r) { return r.id == id; }, Clock::now());
    if (cancel != Replies::CancelResult::kCancelled) return true;
    return Complete(wire::kReadDone, id, kStatusCancelled);
  }

  // Gives a ready reply to the oldest waiting READ.
  bool ServeReads() {
    const std::optional<Replies::Delivery> served = m_replies.Serve();
    return !served || CompleteRead(served->read, served->frame);
  }

  // READ_DONE with the reply frame, cut to the READ's capacity.
  bool CompleteRead(const PendingRead& read, const std::vector<uint8_t>& frame) {
    const bool fits = frame.size() <= read.capacity;
    return Complete(wire::kReadDone, read.id, fits ? kStatusOk : kStatusMoreData, frame.data(),
                    fits ? frame.size() : read.capacity);
  }

  bool Complete(uint16_t type, uint32_t id, uint32_t status, const uint8_t* data = nullptr, size_t size = 0) {
    uint8_t statusBytes[4];
    EncodeU32(statusBytes, status);
    return wire::Send(m_fd.get(), type, id, statusBytes, sizeof(statusBytes), data, size);
  }

  DeviceModel& m_model;
  platform::UniqueFd m_fd;
  std::vector<uint8_t> m_chunk = std::vector<uint8_t>(kReceiveChunk);
  std::vector<uint8_t> m_input;  // received bytes not yet a whole message
  Replies m_replies;             // the reply to the last request frame, and the READs
  std::vector<IncomingWrite> m_incoming;
  std::vector<PendingWrite> m_writes;
  std::optional<Clock::time_point> m_pausedUntil;  // a stall: nothing is taken until then
};

EndpointServer::~EndpointServer() { Stop(); }

namespace {

// Makes the folder and frees `path` of a stale socket that nobody serves.
// False, with `error` set, when the path is served or is no socket.
bool PreparePath(const std::string& folder, const std::string& path, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot create the device folder " + folder + ": " + ec.message();
    return false;
  }
  sockaddr_un address{};
  if (!MakeAddress(path, address)) {
    error = "the endpoint path is too long for a Unix socket: " + path;
    return false;
  }
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket";
      return false;
    }
    if (SomeoneServes(address)) {
      error = "another device serves " + path;
      return false;
    }
    ::unlink(path.c_str());  // a stale endpoint nobody serves
  }
  return true;
}

// A listening socket at `path`. It binds and listens under a hidden name
// first and is renamed into place only then: a host that sees the endpoint
// appear can connect at once, never between bind and listen. `bound` gets
// the socket file's identity.
platform::UniqueFd Listen(const std::string& path, struct stat& bound, std::string& error) {
  platform::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) {
    error = SystemError("socket");
    return listener;
  }
  const size_t slash = path.rfind('/');
  const std::string hidden =
      path.substr(0, slash + 1) + "." + path.substr(slash + 1) + "." + std::to_string(::getpid()) + ".tmp";
  sockaddr_un hiddenAddress{};
  if (!MakeAddress(hidden, hiddenAddress)) {
    error = "the endpoint path is too long for a Unix socket: " + hidden;
    return platform::UniqueFd();
  }
  ::unlink(hidden.c_str());
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&hiddenAddress), sizeof(hiddenAddress)) != 0) {
    error = SystemError(("bind " + hidden).c_str());
    return platform::UniqueFd();
  }
  if (::listen(listener.get(), 8) != 0 || ::rename(hidden.c_str(), path.c_str()) != 0 ||
      ::stat(path.c_str(), &bound) != 0) {
    error = SystemError(("listen " + path).c_str());
    ::unlink(hidden.c_str());
    ::unlink(path.c_str());
    return platform::UniqueFd();
  }
  return listener;
}

}  // namespace

bool EndpointServer::Start(const std::string& folder, const std::string& path, std::string& error) {
  if (m_thread.joinable()) return true;
  if (!PreparePath(folder, path, error)) return false;
  struct stat bound {};
  platform::UniqueFd listener = Listen(path, bound, error);
  if (!listener) return false;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = SystemError("pipe2");
    ::unlink(path.c_str());
    return false;
  }

  m_path = path;
  m_socketDevice = bound.st_dev;
  m_socketInode = bound.st_ino;
  m_listenFd = std::move(listener);
  m_wakeRead.reset(pipeEnds[0]);
  m_wakeWrite.reset(pipeEnds[1]);
  m_stop = false;
  m_dropHost = false;
  try {
    m_thread = std::thread(&EndpointServer::Run, this);
  } catch (const std::system_error& e) {
    error = std::string("cannot start the serving thread: ") + e.what();
    ::unlink(path.c_str());
    m_listenFd.reset();
    m_wakeRead.reset();
    m_wakeWrite.reset();
    return false;
  }
  return true;
}

void EndpointServer::Stop() {
  if (!m_thread.joinable()) return;
  // Unplugged first: the socket goes, then the connections.
  struct stat current {};
  if (::lstat(m_path.c_str(), &current) == 0 && current.st_dev == m_socketDevice &&
      current.st_ino == m_socketInode) {
    ::unlink(m_path.c_str());
  }
  m_stop = true;
  Wake();
  m_thread.join();
  m_listenFd.reset();
  m_wakeRead.reset();
  m_wakeWrite.reset();
}

void EndpointServer::DropHost() {
  m_dropHost = true;
  Wake();
}

void EndpointServer::Wake() {
  const uint8_t byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this fails.
  [[maybe_unused]] ssize_t n = ::write(m_wakeWrite.get(), &byte, 1);
}

void EndpointServer::Run() {
  std::unique_ptr<Session> host;
  uint64_t generation = 1;  // counts the hosts; 0 stands for none
  // Marked gone before the socket closes, so that a host that sees the end
  // of its connection finds HostConnected() false.
  auto closeHost = [&] {
    if (!host) return;
    m_model.SetHostConnected(false);
    host.reset();
  };

  while (!m_stop) {
    pollfd fds[3] = {{m_wakeRead.get(), POLLIN, 0}, {m_listenFd.get(), POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 2;
    // The host polled in this round; another may take its place below.
    const uint64_t polled = host ? generation : 0;
    // A stalled device takes nothing from its host (not even the end of the
    // connection) until the stall is over.
    if (host && !host->Paused()) {
      fds[2] = pollfd{host->fd(), POLLIN, 0};
      count = 3;
    }
    const int ready = ::poll(fds, count, PollTimeout(host ? host->NextDue() : std::nullopt));
    if (ready < 0 && errno != EINTR) break;

    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      uint8_t drain[64];
      while (::read(m_wakeRead.get(), drain, sizeof(drain)) > 0) {
      }
    }
    if (m_stop) break;
    if (m_dropHost.exchange(false)) closeHost();

    // The host's messages and its end of the connection come before a new
    // connection: a host that closed before the next one connected has let
    // go of the device, and the next one must not be refused as busy.
    if (host && generation == polled && count == 3 && ready > 0 &&
        (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (!host->OnReadable()) closeHost();
    }

    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      platform::UniqueFd accepted(::accept4(m_listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (accepted) {
        SetSendTimeout(accepted.get());
        // Counted before the OPEN goes out, so that a host holding its OPEN
        // finds itself counted.
        uint8_t status[4];
        if (host) {
          // One host at a time: refuse, then close.
          m_model.NoteConnection(false);
          EncodeU32(status, kStatusBusy);
          wire::Send(accepted.get(), wire::kOpen, 0, status, sizeof(status));
        } else {
          m_model.NoteConnection(true);
          host = std::make_unique<Session>(m_model, std::move(accepted));
          ++generation;
          m_model.SetHostConnected(true);
          EncodeU32(status, kStatusOk);
          if (!wire::Send(host->fd(), wire::kOpen, 0, status, sizeof(status))) closeHost();
        }
      }
    }

    if (host && !host->OnTimers()) closeHost();
  }
  closeHost();
}

}  // namespace norvex::emu
