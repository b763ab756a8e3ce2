// posix_driver.cpp: the Driver of POSIX systems. It stands in for the
// platesetter's kernel driver: every present device is a Unix stream socket
// in the device folder, and every transfer is a message exchange on a
// connection to it, as docs/device-protocol.md describes.
//
// Each open handle owns one connection, a reader thread and a sender
// thread. The reader plays the part of the kernel driver's completion path:
// it receives the device's DONE messages and completes the pending transfer
// with the same id. The thread that started a control request or read waits
// for that completion, at most its time-out, and otherwise cancels the
// transfer and waits for the cancel to take effect, so that nothing arrives
// in its buffer after it returns. The sender carries the overlapped bulk
// writes, so that their start returns at once (see EndpointConnection).
#include "platform/posix/posix_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/device_wire.h"
#include "platform/posix/posix_fd.h"

namespace norvex::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Windows system error numbers that only this driver reports.
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorTimeout = 1460;

// How long a device may take to grant or refuse an open.
constexpr milliseconds kOpenWait{2000};
// How long a cancelled transfer is waited for before its id is forgotten.
constexpr milliseconds kCancelWait{1000};
// The longest wait at close for the device to close its end of the connection.
constexpr milliseconds kCloseWait{1000};
// The longest a device may take to accept one whole message; a device that
// takes longer is given up: the host ends the connection.
constexpr milliseconds kSendWait{10000};
// The data bytes of one WRITE_DATA message: small enough that commands go
// out between the messages of a bulk write, and that letting go of the
// host's buffer in the middle of one copies little.
constexpr uint32_t kSegmentBytes = 0x10000;

// Handles count up from here in steps of 4, like the handles of Windows, and
// are never reused in a process. They are not addresses; being multiples of 4
// above null, they are never kInvalidHandle (all bits set) nor the library's
// pseudo handle (an odd value).
constexpr Handle kHandleBase = 0x4E560000;
constexpr Handle kHandleStep = 4;

std::atomic<uint64_t> g_droppedCompletions{0};

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
      return kErrorFilenameTooLong;
    case EAGAIN:
    case EINPROGRESS:
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      // Refused (no device behind a stale socket), gone, not a stream socket.
      return kErrorDeviceNotConnected;
  }
}

// The names of the Unix sockets in `folder` that do not begin with a dot, in
// byte order. Empty when the folder is missing or cannot be read: then no
// device is present.
std::vector<std::string> ListEndpoints(const std::string& folder) {
  std::vector<std::string> names;
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return names;
  // fdopendir takes the descriptor over; closedir closes it.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(folderFd), &::closedir);
  if (!dir) {
    ::close(folderFd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    // Hidden names are no devices: among them, a device's socket that is
    // still being set up before it is renamed into place.
    if (entry->d_name[0] == '.') continue;
    bool isSocket = entry->d_type == DT_SOCK;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // The file system does not say, or a link names the socket: ask stat.
      struct stat info {};
      isSocket = ::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) == 0 && S_ISSOCK(info.st_mode);
    }
    if (isSocket) names.emplace_back(entry->d_name);
  }
  // std::string compares as unsigned char: the byte order of the names.
  std::sort(names.begin(), names.end());
  return names;
}

void SetSendTimeout(int fd, milliseconds wait) {
  struct timeval value {};
  if (wait.count() > 0) {
    value.tv_sec = static_cast<time_t>(wait.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((wait.count() % 1000) * 1000);
  }
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value));
}

enum class ReadOutcome { kDone, kClosed, kTimedOut };

// Reads exactly `size` bytes, giving up at `deadline`. Reads no byte beyond
// them, so that what follows stays in the socket for the reader thread.
ReadOutcome ReadBefore(int fd, uint8_t* out, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadOutcome::kTimedOut;
    struct pollfd watch {};
    watch.fd = fd;
    watch.events = POLLIN;
    const int ready = ::poll(&watch, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReadOutcome::kClosed;
    if (ready == 0) continue;  // the loop's head tells the time-out
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return ReadOutcome::kClosed;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return ReadOutcome::kDone;
}

// Waits for the device's OPEN. Returns its status (0 granted, 5 busy) or the
// error of a device that did not answer in time or answered something else.
uint32_t ReceiveOpen(int fd, Clock::time_point deadline) {
  uint8_t header[wire::kHeaderSize];
  ReadOutcome outcome = ReadBefore(fd, header, sizeof(header), deadline);
  if (outcome == ReadOutcome::kTimedOut) return kErrorTimeout;
  if (outcome == ReadOutcome::kClosed) return kErrorDeviceNotConnected;
  uint16_t type = 0;
  uint32_t id = 0;
  uint32_t length = 0;
  if (!wire::DecodeHeader(header, type, id, length) || type != wire::kOpen || length != 4) {
    return kErrorDeviceNotConnected;
  }
  uint8_t status[4];
  outcome = ReadBefore(fd, status, sizeof(status), deadline);
  if (outcome == ReadOutcome::kTimedOut) return kErrorTimeout;
  if (outcome == ReadOutcome::kClosed) return kErrorDeviceNotConnected;
  return wire::LoadU32(status);
}

// Connects to the endpoint at `path` and waits for the device to grant the
// connection, both within kOpenWait. Returns 0 with the socket in `out`, or
// the error.
uint32_t ConnectEndpoint(const std::string& path, UniqueFd& out) {
  const Clock::time_point deadline = Clock::now() + kOpenWait;
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return kErrorFilenameTooLong;
  std::memcpy(address.sun_path, path.data(), path.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return ErrorFromErrno(errno);
  // A device whose listen queue is full keeps connect() waiting; on Linux the
  // send time-out bounds that wait.
  SetSendTimeout(fd.get(), kOpenWait);
  int result = ::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof(address));
  while (result != 0 && errno == EINTR) {
    result = ::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof(address));
    if (result != 0 && errno == EISCONN) result = 0;  // the interrupted attempt went through
  }
  if (result != 0) return ErrorFromErrno(errno);

  const uint32_t status = ReceiveOpen(fd.get(), deadline);
  if (status != 0) return status;  // 5 when another host has the device
  out = std::move(fd);
  return 0;
}

// One open device: the connection, its reader and sender threads, and the
// transfers pending on it.
//
// Result codes of a control request or read, following the library's
// overlapped attempt:
// - 0: the DONE came within the time-out with status 0.
// - kErrorIoPending: the transfer was started (its message sent) and did not
//   end well: not done in time (then cancelled), done with a non-zero status,
//   or failed because the connection dropped or the handle was closed while
//   it was pending. That is the "done with an error after pending" case: the
//   completion status (995, 1167, the device's status) is not reported.
// - kErrorDeviceNotConnected: the transfer could not be started because the
//   connection had already dropped (or its message could not be sent).
// - kErrorInvalidHandle: the handle had already been closed.
//
// A bulk write is overlapped, as on Windows: its start only queues it for
// the sender thread, which sends a WRITE and then the data in WRITE_DATA
// messages of kSegmentBytes, so that commands on other threads go out
// between them. Its completion passes the device's status on (0, 31, ...;
// 1167 when the connection dropped, 995 when the handle was closed), or
// gives kErrorIoIncomplete when the write was not done in time: then no
// more of its data goes out, a CANCEL follows what did, and the completion
// returns once the sender no longer reads the host's buffer.
class EndpointConnection {
 public:
  EndpointConnection(UniqueFd fd, std::string endpoint, UniqueFd wakeRead, UniqueFd wakeWrite)
      : m_fd(std::move(fd)),
        m_endpoint(std::move(endpoint)),
        m_wakeRead(std::move(wakeRead)),
        m_wakeWrite(std::move(wakeWrite)) {}
  ~EndpointConnection() { Close(); }
  EndpointConnection(const EndpointConnection&) = delete;
  EndpointConnection& operator=(const EndpointConnection&) = delete;

  void Start() {
    m_reader = std::thread([this] { ReceiveMessages(); });
    m_sender = std::thread([this] { SendWrites(); });
  }

  const std::string& Endpoint() const { return m_endpoint; }

  uint32_t Control(uint32_t ioctl, const void* frame, uint32_t size, uint32_t timeoutMs) {
    uint8_t code[4];
    wire::StoreU32(code, ioctl);
    Transfer transfer(wire::kControlDone);
    return Run(wire::kControl, code, sizeof(code), frame, size, transfer, timeoutMs);
  }

  uint32_t Read(void* buffer, uint32_t capacity, uint32_t& bytesRead, uint32_t timeoutMs) {
    uint8_t request[4];
    wire::StoreU32(request, capacity);
    Transfer transfer(wire::kReadDone);
    transfer.buffer = static_cast<uint8_t*>(buffer);
    transfer.capacity = capacity;
    const uint32_t result = Run(wire::kRead, request, sizeof(request), nullptr, 0, transfer, timeoutMs);
    bytesRead = result == 0 ? transfer.bytes : 0;
    return result;
  }

  // Ends the connection for good: later transfers fail with
  // kErrorInvalidHandle, pending ones end at once (kErrorIoPending; a bulk
  // write's completion gives 995), and the reader and sender threads have
  // ended when this returns. The socket itself is closed with the last
  // reference, so that no thread still inside a transfer can reach a
  // descriptor number that the process has reused.
  //
  // The device is free for the next open when Close returns, as a closed
  // device handle is: the transfers still pending end at once, then the host
  // stops sending and waits (at most kCloseWait) until the device has closed
  // its end in turn.
  void Close() {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_closed = true;
      for (auto& entry : m_pending) {
        entry.second->status = kErrorOperationAborted;
        entry.second->done = true;
      }
      m_pending.clear();
      m_done.notify_all();
      m_work.notify_all();
    }
    Wake();  // a send waiting for room in the socket gives up
    ::shutdown(m_fd.get(), SHUT_WR);
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_done.wait_for(lock, kCloseWait, [this] { return !m_connected; });
    }
    Shutdown();
    if (m_reader.joinable()) m_reader.join();
    if (m_sender.joinable()) m_sender.join();
  }

 private:
  // A transfer that the device has not completed yet. A control request's
  // or read's lives on the stack of the thread that started it, a bulk
  // write's in its WriteJob; the reader touches it only under m_mutex and
  // only while it is listed in m_pending, and the completing thread takes it
  // out of m_pending before it lets it go.
  struct Transfer {
    explicit Transfer(uint16_t type) : doneType(type) {}
    const uint16_t doneType;
    uint8_t* buffer = nullptr;  // where a READ_DONE's frame goes
    uint32_t capacity = 0;
    bool done = false;
    uint32_t status = 0;
    uint32_t bytes = 0;  // frame bytes copied, or bytes a WRITE_DONE reports
  };

 public:
  // A bulk write between its start and its completion, shared by the
  // completing thread and the sender.
  struct WriteJob {
    WriteJob(const void* bytes, uint32_t count)
        : transfer(wire::kWriteDone), data(static_cast<const uint8_t*>(bytes)), size(count) {}
    Transfer transfer;
    const uint8_t* const data;  // the host's buffer
    const uint32_t size;
    uint32_t id = 0;
    uint32_t startError = 0;  // why it could not start (then it was never queued)
    // Under m_mutex:
    enum class Stage { kQueued, kSending, kSent };
    Stage stage = Stage::kQueued;
    bool stop = false;     // its completion returns: no more of the host's data goes out
    bool cancel = false;   // not done in time while being sent: a CANCEL follows
    bool reading = false;  // the sender is in a send that reads the host's buffer
  };

  // Queues `job` for the sender, or leaves the reason in its startError.
  void StartWrite(const std::shared_ptr<WriteJob>& job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) {
      job->startError = kErrorInvalidHandle;
    } else if (!m_connected) {
      job->startError = kErrorDeviceNotConnected;
    } else {
      job->id = m_nextId++;
      m_pending.emplace(job->id, &job->transfer);
      m_writes.push_back(job);
      m_work.notify_all();
    }
  }

  // Waits at most `timeoutMs` for `job`. Returns its completion status (0,
  // the device's status, 995, 1167), or kErrorIoIncomplete when it was not
  // done in time and is cancelled. Either way the sender no longer reads
  // the host's buffer when this returns.
  uint32_t CompleteWrite(WriteJob& job, uint32_t timeoutMs, uint32_t& transferred) {
    transferred = 0;
    if (job.startError != 0) return job.startError;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs > 0) {
      m_done.wait_for(lock, milliseconds(timeoutMs), [&job] { return job.transfer.done; });
    }
    const bool completed = job.transfer.done;
    job.stop = true;
    if (!completed) {
      m_pending.erase(job.id);  // a WRITE_DONE for it from now on is dropped
      if (job.stage == WriteJob::Stage::kSending) {
        job.cancel = true;  // the sender sends it after the message in hand
      } else if (job.stage == WriteJob::Stage::kSent) {
        m_cancels.push_back(job.id);
        m_work.notify_all();
      }  // still queued: nothing of it went out, and nothing will
    }
    lock.unlock();
    Wake();
    lock.lock();
    m_done.wait(lock, [&job] { return !job.reading; });
    if (!completed) return kErrorIoIncomplete;
    // A device may claim any count; a write never moves more than was sent,
    // and a host that subtracts the count from what it sent must not wrap.
    if (job.transfer.status == 0) transferred = std::min(job.transfer.bytes, job.size);
    return job.transfer.status;
  }

 private:
  // Wakes the reader (end of stream) and every blocked send; the device sees
  // the connection close.
  void Shutdown() { ::shutdown(m_fd.get(), SHUT_RDWR); }

  // Wakes a send that waits for room in the socket, so that it looks again
  // at what it is asked (let go of the host's buffer, give up).
  void Wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up; nothing is lost when this fails.
    [[maybe_unused]] const ssize_t n = ::write(m_wakeWrite.get(), &byte, 1);
  }

  // Waits until the socket takes more bytes, a wake-up comes, or `deadline`
  // passes. False when the send is to be given up: the deadline passed, the
  // handle was closed, or polling failed.
  bool WaitForRoom(Clock::time_point deadline) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return false;
      }
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      struct pollfd watch[2] = {{m_fd.get(), POLLOUT, 0}, {m_wakeRead.get(), POLLIN, 0}};
      const int ready = ::poll(watch, 2, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return false;
      if (ready == 0) continue;  // the loop's head tells the time-out
      if ((watch[1].revents & POLLIN) != 0) {
        uint8_t drain[64];
        while (::read(m_wakeRead.get(), drain, sizeof(drain)) > 0) {
        }
      }
      return true;
    }
  }

  // The sender is asked to let go of the host's buffer in the middle of a
  // WRITE_DATA: the rest of the message's data is copied (the host's buffer
  // is still valid, since the completion waits for this) and goes from the
  // copy.
  void LetGoIfAsked(WriteJob& job, struct iovec& data, std::vector<uint8_t>& copy) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!job.stop || !job.reading) return;
    const auto* rest = static_cast<const uint8_t*>(data.iov_base);
    copy.assign(rest, rest + data.iov_len);
    data.iov_base = copy.data();
    job.reading = false;
    m_done.notify_all();
  }

  // Sends one whole message whose payload is `head` then `body` (either may
  // be empty); the caller holds m_sendMutex. A device that has not taken it
  // within kSendWait of its start is given up: false, as for a failed send.
  // For a WRITE_DATA, `job` is its write: asked to let go of the host's
  // buffer, the send goes on from a copy of the rest.
  bool SendWhole(uint16_t type, uint32_t id, const void* head, size_t headSize, const void* body,
                 size_t bodySize, WriteJob* job) {
    if (headSize > wire::kMaxPayload || bodySize > wire::kMaxPayload - headSize) return false;
    uint8_t header[wire::kHeaderSize];
    wire::EncodeHeader(header, type, id, static_cast<uint32_t>(headSize + bodySize));
    struct iovec parts[3] = {
        {header, sizeof(header)}, {const_cast<void*>(head), headSize}, {const_cast<void*>(body), bodySize}};
    std::vector<uint8_t> copy;
    const Clock::time_point deadline = Clock::now() + kSendWait;
    size_t first = 0;  // the first part not wholly sent
    while (first < 3) {
      if (parts[first].iov_len == 0) {
        ++first;
        continue;
      }
      if (job != nullptr) LetGoIfAsked(*job, parts[2], copy);
      struct msghdr message {};
      message.msg_iov = parts + first;
      message.msg_iovlen = 3 - first;
      // MSG_NOSIGNAL: a closed peer is an error here, not a signal to the host.
      const ssize_t n = ::sendmsg(m_fd.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!WaitForRoom(deadline)) return false;
        continue;
      }
      size_t sent = static_cast<size_t>(n);
      while (first < 3 && sent >= parts[first].iov_len) {
        sent -= parts[first].iov_len;
        parts[first].iov_len = 0;
        ++first;
      }
      if (first < 3) {
        parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + sent;
        parts[first].iov_len -= sent;
      }
    }
    return true;
  }

  bool SendMessage(uint16_t type, uint32_t id, const void* head, size_t headSize, const void* body,
                   size_t bodySize) {
    // One message at a time on the stream: commands and the bulk writer's
    // messages come from several threads.
    std::lock_guard<std::mutex> lock(m_sendMutex);
    return SendWhole(type, id, head, headSize, body, bodySize, nullptr);
  }

  uint32_t Run(uint16_t type, const void* head, size_t headSize, const void* body, size_t bodySize,
               Transfer& transfer, uint32_t timeoutMs) {
    uint32_t id = 0;
    const uint32_t started = Begin(type, head, headSize, body, bodySize, transfer, id);
    if (started != 0) return started;
    const uint32_t status = Finish(id, transfer, timeoutMs);
    return status == 0 ? 0 : kErrorIoPending;
  }

  // Sends a transfer's message and lists it as pending under `id`. Returns 0,
  // or the error with which it could not start.
  uint32_t Begin(uint16_t type, const void* head, size_t headSize, const void* body, size_t bodySize,
                 Transfer& transfer, uint32_t& id) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_closed) return kErrorInvalidHandle;
      if (!m_connected) return kErrorDeviceNotConnected;
      id = m_nextId++;
      m_pending.emplace(id, &transfer);
    }

    const bool sent = SendMessage(type, id, head, headSize, body, bodySize);
    if (!sent) {
      // Not started. Part of the message may have gone out, so the stream
      // can no longer be trusted: end the connection for every transfer.
      std::unique_lock<std::mutex> lock(m_mutex);
      m_pending.erase(id);
      const bool closed = m_closed;
      lock.unlock();
      Shutdown();
      return closed ? kErrorInvalidHandle : kErrorDeviceNotConnected;
    }
    return 0;
  }

  // Waits at most `timeoutMs` for the transfer started as `id`. Returns its
  // completion status (0, the device's status, 995, 1167), or
  // kErrorIoIncomplete when it was not done in time and had to be cancelled.
  uint32_t Finish(uint32_t id, Transfer& transfer, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs > 0) {
      m_done.wait_for(lock, milliseconds(timeoutMs), [&transfer] { return transfer.done; });
    }
    if (transfer.done) return transfer.status;

    // Not done in time: cancel, and wait until the device has let go of the
    // transfer (or until kCancelWait says it never will), so that its DONE
    // cannot reach the caller's buffer after we return.
    lock.unlock();
    if (!SendMessage(wire::kCancel, id, nullptr, 0, nullptr, 0)) Shutdown();
    lock.lock();
    m_done.wait_for(lock, kCancelWait, [&transfer] { return transfer.done; });
    if (!transfer.done) m_pending.erase(id);  // a DONE for it from now on is dropped
    return kErrorIoIncomplete;
  }

  // The sender thread: the queued bulk writes, one after the other, and the
  // CANCELs of writes that were all sent but not done in time.
  void SendWrites() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_work.wait(lock, [this] { return m_closed || !m_writes.empty() || !m_cancels.empty(); });
      if (m_closed) return;
      if (!m_cancels.empty()) {
        const uint32_t id = m_cancels.front();
        m_cancels.pop_front();
        lock.unlock();
        if (!SendMessage(wire::kCancel, id, nullptr, 0, nullptr, 0)) Shutdown();
        lock.lock();
        continue;
      }
      const std::shared_ptr<WriteJob> job = m_writes.front();
      m_writes.pop_front();
      if (job->stop || !m_connected) continue;  // completed (or failed) before it went out
      job->stage = WriteJob::Stage::kSending;
      lock.unlock();
      const bool sent = SendWrite(*job);
      lock.lock();
      job->stage = WriteJob::Stage::kSent;
      const bool cancel = job->cancel;
      lock.unlock();
      if (!sent || (cancel && !SendMessage(wire::kCancel, job->id, nullptr, 0, nullptr, 0))) Shutdown();
      lock.lock();
    }
  }

  // Sends the WRITE of `job` and its data, until all of it is out or the
  // write is stopped (completed, cancelled, the connection over). False when
  // a message could not be sent whole: the stream can no longer be trusted.
  bool SendWrite(WriteJob& job) {
    uint8_t total[4];
    wire::StoreU32(total, job.size);
    if (!SendMessage(wire::kWrite, job.id, total, sizeof(total), nullptr, 0)) return false;
    for (uint32_t offset = 0; offset < job.size;) {
      const uint32_t bytes = std::min(kSegmentBytes, job.size - offset);
      std::lock_guard<std::mutex> sending(m_sendMutex);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (job.stop || job.transfer.done || m_closed || !m_connected) return true;
        job.reading = true;
      }
      const bool sent = SendWhole(wire::kWriteData, job.id, nullptr, 0, job.data + offset, bytes, &job);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        job.reading = false;
      }
      m_done.notify_all();
      if (!sent) return false;
      offset += bytes;
    }
    return true;
  }

  void ReceiveMessages() {
    try {
      wire::Message message;
      while (wire::Receive(m_fd.get(), message) && Complete(message)) {
      }
    } catch (...) {
      // Out of memory for a message: the connection ends like on an error.
    }
    // End of stream, an error or a protocol error: the connection is over.
    Shutdown();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = false;
    const uint32_t status = m_closed ? kErrorOperationAborted : kErrorDeviceNotConnected;
    for (auto& entry : m_pending) {
      entry.second->status = status;
      entry.second->done = true;
    }
    m_pending.clear();
    m_done.notify_all();
    m_work.notify_all();
  }

  // Completes the pending transfer that `message` answers. False for a
  // message that a device does not send on an open connection, or a DONE
  // whose type or payload does not fit: a protocol error.
  bool Complete(const wire::Message& message) {
    size_t fixedSize = 0;
    switch (message.type) {
      case wire::kControlDone:
      case wire::kReadDone:
        fixedSize = 4;  // status
        break;
      case wire::kWriteDone:
        fixedSize = 8;  // status, bytes transferred
        break;
      default:
        return false;
    }
    if (message.payload.size() < fixedSize) return false;

    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_pending.find(message.id);
    if (found == m_pending.end()) {
      // A late reply to a cancelled transfer, or a DONE for no transfer:
      // never the answer to another one.
      g_droppedCompletions.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    Transfer& transfer = *found->second;
    if (message.type != transfer.doneType) return false;
    const uint8_t* payload = message.payload.data();
    transfer.status = wire::LoadU32(payload);
    if (message.type == wire::kReadDone && transfer.status == 0) {
      const size_t copied = std::min<size_t>(message.payload.size() - fixedSize, transfer.capacity);
      if (copied > 0) std::memcpy(transfer.buffer, payload + fixedSize, copied);
      transfer.bytes = static_cast<uint32_t>(copied);
    } else if (message.type == wire::kWriteDone) {
      transfer.bytes = wire::LoadU32(payload + 4);
    }
    transfer.done = true;
    m_pending.erase(found);
    m_done.notify_all();
    return true;
  }

  const UniqueFd m_fd;
  const std::string m_endpoint;
  const UniqueFd m_wakeRead;  // wakes a send that waits for room in the socket
  const UniqueFd m_wakeWrite;
  std::thread m_reader;
  std::thread m_sender;

  std::mutex m_sendMutex;  // one message at a time on the socket

  std::mutex m_mutex;              // guards everything below, and the WriteJobs' marked fields
  std::condition_variable m_done;  // a transfer completed, a write was let go of
  std::condition_variable m_work;  // the sender has something to do
  std::unordered_map<uint32_t, Transfer*> m_pending;
  std::deque<std::shared_ptr<WriteJob>> m_writes;  // bulk writes not yet sent
  std::deque<uint32_t> m_cancels;                  // CANCELs of writes already sent
  uint32_t m_nextId = 1;
  bool m_connected = true;  // false once the reader has seen the connection end
  bool m_closed = false;    // true once the handle was closed
};

// A bulk write between StartWrite and CompleteWrite.
struct BulkWrite {
  std::shared_ptr<EndpointConnection> connection;
  std::shared_ptr<EndpointConnection::WriteJob> job;
};

class PosixDriver final : public Driver {
 public:
  Handle OpenInterface(const Guid& /*interfaceClass*/, uint32_t index, uint32_t& error) override {
    // Every endpoint in the device folder is of the platesetter's interface
    // class, the only class this driver serves.
    try {
      return Open(index, error);
    } catch (...) {
      error = kErrorNotEnoughMemory;  // no memory or no thread for the connection
      return kInvalidHandle;
    }
  }

  uint32_t Close(Handle device) override {
    std::shared_ptr<EndpointConnection> connection;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto found = m_open.find(device);
      if (found == m_open.end()) return kErrorInvalidHandle;
      connection = std::move(found->second);
      m_open.erase(found);
    }
    connection->Close();
    return 0;
  }

  uint32_t ControlRequest(Handle device, uint32_t ioctl, const void* data, uint32_t size,
                          uint32_t timeoutMs) override {
    std::shared_ptr<EndpointConnection> connection = Find(device);
    if (!connection) return kErrorInvalidHandle;
    if ((data == nullptr && size > 0) || size > wire::kMaxPayload - 4) return kErrorInvalidParameter;
    try {
      return connection->Control(ioctl, data, size, timeoutMs);
    } catch (...) {
      return kErrorNotEnoughMemory;
    }
  }

  uint32_t Read(Handle device, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                uint32_t timeoutMs) override {
    bytesRead = 0;
    std::shared_ptr<EndpointConnection> connection = Find(device);
    if (!connection) return kErrorInvalidHandle;
    if (buffer == nullptr && capacity > 0) return kErrorInvalidParameter;
    try {
      return connection->Read(buffer, capacity, bytesRead, timeoutMs);
    } catch (...) {
      return kErrorNotEnoughMemory;
    }
  }

  PendingWrite StartWrite(Handle device, const void* data, uint32_t size, uint32_t& error) override {
    std::shared_ptr<EndpointConnection> connection = Find(device);
    if (!connection) {
      error = kErrorInvalidHandle;
      return kNoWrite;
    }
    if (data == nullptr && size > 0) {
      error = kErrorInvalidParameter;
      return kNoWrite;
    }
    try {
      auto write = std::make_unique<BulkWrite>();
      write->job = std::make_shared<EndpointConnection::WriteJob>(data, size);
      connection->StartWrite(write->job);
      write->connection = std::move(connection);
      error = write->job->startError;
      return reinterpret_cast<PendingWrite>(write.release());
    } catch (...) {
      error = kErrorNotEnoughMemory;
      return kNoWrite;
    }
  }

  uint32_t CompleteWrite(PendingWrite pending, uint32_t timeoutMs, uint32_t& transferred) override {
    transferred = 0;
    if (pending == kNoWrite) return kErrorInvalidHandle;
    std::unique_ptr<BulkWrite> write(reinterpret_cast<BulkWrite*>(pending));
    return write->connection->CompleteWrite(*write->job, timeoutMs, transferred);
  }

  std::string Endpoint(Handle device) {
    std::shared_ptr<EndpointConnection> connection = Find(device);
    return connection ? connection->Endpoint() : std::string();
  }

  ~PosixDriver() override { CloseAll(); }

  // Closes every open handle: their reader threads end before the process
  // (or the shared library holding this code) goes.
  void CloseAll() {
    std::map<Handle, std::shared_ptr<EndpointConnection>> all;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      all.swap(m_open);
    }
    for (auto& entry : all) entry.second->Close();
  }

 private:
  Handle Open(uint32_t index, uint32_t& error) {
    std::string folder = wire::DeviceFolder();
    const std::vector<std::string> names = ListEndpoints(folder);
    if (index >= names.size()) {
      error = kErrorNoMoreItems;
      return kInvalidHandle;
    }
    if (folder.back() != '/') folder += '/';
    std::string path = folder + names[index];

    UniqueFd fd;
    const uint32_t status = ConnectEndpoint(path, fd);
    if (status != 0) {
      error = status;
      return kInvalidHandle;
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      error = ErrorFromErrno(errno);
      return kInvalidHandle;
    }
    auto connection = std::make_shared<EndpointConnection>(std::move(fd), std::move(path), UniqueFd(wake[0]),
                                                           UniqueFd(wake[1]));
    connection->Start();

    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastHandle += kHandleStep;
    const Handle handle = m_lastHandle;
    m_open.emplace(handle, std::move(connection));
    error = 0;
    return handle;
  }

  std::shared_ptr<EndpointConnection> Find(Handle device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_open.find(device);
    return found == m_open.end() ? nullptr : found->second;
  }

  std::mutex m_mutex;
  std::map<Handle, std::shared_ptr<EndpointConnection>> m_open;
  Handle m_lastHandle = kHandleBase;
};

PosixDriver& TheDriver() {
  // Made on first use, during the construction of the library's objects, so
  // destroyed after them: at the end of the process or when the shared
  // library is unloaded. Its destructor closes what is still open, so that
  // no reader thread runs on in code that goes away.
  static PosixDriver driver;
  return driver;
}

}  // namespace

Driver& DeviceDriver() { return TheDriver(); }

std::string PosixDeviceEndpoint(Handle device) { return TheDriver().Endpoint(device); }

uint64_t DroppedLateCompletions() { return g_droppedCompletions.load(std::memory_order_relaxed); }

}  // namespace norvex::platform
