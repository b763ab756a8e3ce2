// endpoint_connection.cpp: the device protocol's host side over a Stream
// (see endpoint_connection.h).
#include "platform/device/endpoint_connection.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace norvex::platform::device {
namespace {

using std::chrono::milliseconds;

// How long a cancelled transfer is waited for before its id is forgotten.
constexpr milliseconds kCancelWait{1000};
// The longest wait at close for the device to close its end of the connection.
constexpr milliseconds kCloseWait{1000};
// The longest a device may take to take one whole message; a device that
// takes longer is given up: the host ends the connection.
constexpr milliseconds kSendWait{10000};
// The data bytes of one WRITE_DATA message: small enough that commands go
// out between the messages of a bulk write, and that letting go of the
// host's buffer in the middle of one copies little.
constexpr uint32_t kSegmentBytes = 0x10000;
constexpr size_t kReceiveChunk = 64 * 1024;

std::atomic<uint64_t> g_droppedCompletions{0};

bool Passed(Clock::time_point deadline) { return Clock::now() >= deadline; }

}  // namespace

uint32_t OpenHandshake(Stream& stream, wire::OpenPurpose purpose, Clock::time_point deadline,
                       uint32_t& deviceVersion, wire::MessageParser& after) {
  deviceVersion = 0;
  const std::vector<uint8_t> open = wire::EncodeOpenRequest(purpose);
  size_t done = 0;
  while (done < open.size()) {
    const Piece piece{open.data() + done, open.size() - done};
    size_t sent = 0;
    const Stream::Io io = stream.Send(&piece, 1, sent);
    done += sent;
    if (io == Stream::Io::kClosed) return kErrorDeviceNotConnected;
    if (io == Stream::Io::kWouldBlock && done < open.size()) {
      const Stream::Ready ready = stream.Wait(true, deadline);
      if (ready == Stream::Ready::kTimedOut) return kErrorTimeout;
      if (ready == Stream::Ready::kClosed) return kErrorDeviceNotConnected;
    }
  }
  uint8_t buffer[256];
  for (;;) {
    wire::Message answer;
    const wire::MessageParser::Result parsed = after.Next(answer);
    if (parsed == wire::MessageParser::Result::kBadHeader) return kErrorDeviceNotConnected;
    if (parsed == wire::MessageParser::Result::kMessage) {
      if (answer.type != wire::kOpen || answer.id != 0) return kErrorDeviceNotConnected;
      if (answer.payload.size() == wire::kLegacyOpenSize) {
        // A device of the versions before the version field: it sent its
        // OPEN unasked and took ours for a protocol error.
        deviceVersion = 2;
        return kErrorRevisionMismatch;
      }
      if (answer.payload.size() != wire::kOpenAnswerSize) return kErrorDeviceNotConnected;
      const uint32_t status = wire::LoadU32(answer.payload.data());
      deviceVersion = wire::LoadU32(answer.payload.data() + 4);
      if (deviceVersion != wire::kProtocolVersion) return kErrorRevisionMismatch;
      return status;
    }
    size_t received = 0;
    const Stream::Io io = stream.Receive(buffer, sizeof(buffer), received);
    if (io == Stream::Io::kClosed) return kErrorDeviceNotConnected;
    if (io == Stream::Io::kDone) {
      after.Feed(buffer, received);
      continue;
    }
    const Stream::Ready ready = stream.Wait(false, deadline);
    if (ready == Stream::Ready::kTimedOut) return kErrorTimeout;
    if (ready == Stream::Ready::kClosed) return kErrorDeviceNotConnected;
  }
}

// A transfer that the device has not completed yet. A control request's or
// read's lives on the stack of the thread that started it, a bulk write's in
// its WriteJob; it is touched only under m_mutex, and by the reader only
// while it is listed in m_pending.
struct EndpointConnection::Transfer {
  explicit Transfer(uint16_t type) : doneType(type) {}
  const uint16_t doneType;
  uint8_t* buffer = nullptr;  // where a READ_DONE's frame goes
  uint32_t capacity = 0;
  bool done = false;
  uint32_t status = 0;
  uint32_t bytes = 0;  // frame bytes copied, or bytes a WRITE_DONE reports
};

struct EndpointConnection::WriteJob {
  WriteJob(const void* bytes, uint32_t count)
      : transfer(wire::kWriteDone), data(static_cast<const uint8_t*>(bytes)), size(count) {}
  Transfer transfer;
  const uint8_t* const data;  // the host's buffer
  const uint32_t size;
  uint32_t id = 0;
  uint64_t writeTicket = 0;  // the WRITE's place in the output queue
  // Under m_mutex: the data bytes that went out (or were given up: no more
  // of the host's buffer is read once the write stopped).
  uint32_t offset = 0;
  bool stopped = false;
};

EndpointConnection::EndpointConnection(std::unique_ptr<Stream> stream, std::string endpoint,
                                       wire::MessageParser parser)
    : m_stream(std::move(stream)), m_endpoint(std::move(endpoint)), m_parser(std::move(parser)) {}

EndpointConnection::~EndpointConnection() { Close(); }

uint32_t EndpointConnection::Control(uint32_t ioctl, const void* frame, uint32_t size, uint32_t timeoutMs) {
  uint8_t code[4];
  wire::StoreU32(code, ioctl);
  Transfer transfer(wire::kControlDone);
  return Run(wire::kControl, code, sizeof(code), frame, size, transfer, timeoutMs);
}

uint32_t EndpointConnection::Read(void* buffer, uint32_t capacity, uint32_t& bytesRead, uint32_t timeoutMs) {
  uint8_t request[4];
  wire::StoreU32(request, capacity);
  Transfer transfer(wire::kReadDone);
  transfer.buffer = static_cast<uint8_t*>(buffer);
  transfer.capacity = capacity;
  const uint32_t result = Run(wire::kRead, request, sizeof(request), nullptr, 0, transfer, timeoutMs);
  bytesRead = result == 0 ? transfer.bytes : 0;
  return result;
}

uint32_t EndpointConnection::Run(uint16_t type, const void* head, size_t headSize, const void* body,
                                 size_t bodySize, Transfer& transfer, uint32_t timeoutMs) {
  const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
  Lock lock(m_mutex);
  if (m_closed) return kErrorInvalidHandle;
  if (!m_connected) return kErrorDeviceNotConnected;
  const uint32_t id = m_nextId++;
  std::vector<uint8_t> message = wire::Encode(type, id, head, headSize, body, bodySize);
  if (message.empty()) return kErrorInvalidParameter;
  m_pending.emplace(id, &transfer);
  switch (SendLocked(lock, std::move(message), deadline)) {
    case SendOutcome::kSent:
      break;
    case SendOutcome::kNotStarted:
      // It could not get through in time (behind a stalled bulk write): not
      // done in time, and nothing of it reached the device.
      m_pending.erase(id);
      return kErrorIoPending;
    case SendOutcome::kAbandoned:
      // Part of it is out: the rest follows from the queue, then a CANCEL.
      m_pending.erase(id);
      QueueCancel(id);
      return kErrorIoPending;
    case SendOutcome::kFailed:
      m_pending.erase(id);
      return m_closed ? kErrorInvalidHandle : kErrorDeviceNotConnected;
  }
  return Finish(lock, id, transfer, deadline) == 0 ? 0 : kErrorIoPending;
}

uint32_t EndpointConnection::Finish(Lock& lock, uint32_t id, Transfer& transfer, Clock::time_point deadline) {
  if (!Passed(deadline))
    AwaitLocked(
        lock, [&transfer] { return transfer.done; }, deadline);
  if (transfer.done) return transfer.status;

  // Not done in time: cancel, and wait until the device has let go of the
  // transfer (or until kCancelWait says it never will), so that its DONE
  // cannot reach the caller's buffer after this returns.
  const Clock::time_point cancelDeadline = Clock::now() + kCancelWait;
  QueueCancel(id);
  if (!m_sending && m_connected && !m_closed) {
    m_sending = true;
    FlushLocked(lock, 0, cancelDeadline);
    m_sending = false;
    m_changed.notify_all();
  }
  AwaitLocked(
      lock, [&transfer] { return transfer.done; }, cancelDeadline);
  if (!transfer.done) m_pending.erase(id);  // a DONE for it from now on is dropped
  return kErrorIoIncomplete;
}

template <typename Done>
void EndpointConnection::AwaitLocked(Lock& lock, Done done, Clock::time_point deadline) {
  while (!done() && !Passed(deadline)) {
    if (!m_sending && !m_output.empty() && m_connected && !m_closed) {
      // A CANCEL or a rest left queued goes out before the answer can come.
      m_sending = true;
      FlushLocked(lock, 0, deadline);
      m_sending = false;
      m_changed.notify_all();
    } else if (!m_reading && m_connected && !m_closed) {
      PumpLocked(lock, deadline);
    } else if (!m_connected || m_closed) {
      // Nothing more can come; DisconnectLocked and Close completed every
      // listed transfer.
      return;
    } else {
      m_changed.wait_until(lock, deadline);
    }
  }
}

void EndpointConnection::PumpLocked(Lock& lock, Clock::time_point deadline) {
  m_reading = true;
  if (m_chunk.empty()) m_chunk.resize(kReceiveChunk);
  lock.unlock();
  bool ended = false;
  size_t received = 0;
  Stream::Io io = m_stream->Receive(m_chunk.data(), m_chunk.size(), received);
  if (io == Stream::Io::kWouldBlock && !Passed(deadline)) {
    const Stream::Ready ready = m_stream->Wait(false, deadline);
    if (ready == Stream::Ready::kReady) io = m_stream->Receive(m_chunk.data(), m_chunk.size(), received);
    if (ready == Stream::Ready::kClosed) io = Stream::Io::kClosed;
  }
  if (io == Stream::Io::kClosed) ended = true;
  if (io == Stream::Io::kDone) m_parser.Feed(m_chunk.data(), received);
  lock.lock();
  m_reading = false;
  wire::Message message;
  for (;;) {
    const wire::MessageParser::Result parsed = m_parser.Next(message);
    if (parsed == wire::MessageParser::Result::kNeedMore) break;
    if (parsed == wire::MessageParser::Result::kBadHeader || !CompleteLocked(message)) {
      ended = true;  // a protocol error: the stream can no longer be trusted
      break;
    }
  }
  if (ended) DisconnectLocked();
  m_changed.notify_all();
}

bool EndpointConnection::CompleteLocked(const wire::Message& message) {
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
      return false;  // a message that a device does not send on an open connection
  }
  if (message.payload.size() < fixedSize) return false;
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
  return true;
}

void EndpointConnection::DisconnectLocked() {
  if (m_connected) m_stream->Shutdown();
  m_connected = false;
  EndPendingLocked(m_closed ? kErrorOperationAborted : kErrorDeviceNotConnected);
}

void EndpointConnection::EndPendingLocked(uint32_t status) {
  for (auto& entry : m_pending) {
    entry.second->status = status;
    entry.second->done = true;
  }
  m_pending.clear();
  DropOutputLocked();
  m_changed.notify_all();
}

void EndpointConnection::DropOutputLocked() {
  // A message the sender is writing now stays until it lets go of it.
  const bool inFlight = !m_output.empty() && m_output.front().ticket == m_inFlight && m_inFlight != 0;
  m_output.erase(m_output.begin() + (inFlight ? 1 : 0), m_output.end());
}

EndpointConnection::SendOutcome EndpointConnection::SendLocked(Lock& lock, std::vector<uint8_t> bytes,
                                                               Clock::time_point deadline) {
  const uint64_t ticket = m_nextTicket++;
  bool delivered = false;
  m_output.push_back(Outgoing{std::move(bytes), 0, ticket, {}, &delivered});
  const auto mine = [this, ticket] {
    return std::find_if(m_output.begin(), m_output.end(),
                        [ticket](const Outgoing& o) { return o.ticket == ticket; });
  };
  for (;;) {
    auto it = mine();
    if (it == m_output.end()) return delivered ? SendOutcome::kSent : SendOutcome::kFailed;
    if (!m_connected || m_closed) return SendOutcome::kFailed;
    if (!m_sending) {
      m_sending = true;
      FlushLocked(lock, ticket, deadline);
      m_sending = false;
      m_changed.notify_all();
      it = mine();
      if (it == m_output.end()) continue;
    } else if (!Passed(deadline)) {
      m_changed.wait_until(lock, deadline);
      continue;
    }
    if (!Passed(deadline)) continue;
    it = mine();
    if (it == m_output.end()) continue;
    if (it->sent == 0 && it->ticket != m_inFlight) {
      m_output.erase(it);
      return SendOutcome::kNotStarted;
    }
    it->delivered = nullptr;  // it goes out later, after this caller has gone
    return SendOutcome::kAbandoned;
  }
}

void EndpointConnection::FlushLocked(Lock& lock, uint64_t ticket, Clock::time_point deadline) {
  while (!m_output.empty() && m_connected && !m_closed) {
    Outgoing& front = m_output.front();
    const uint64_t sending = front.ticket;
    const Piece piece{front.bytes.data() + front.sent, front.bytes.size() - front.sent};
    const Clock::time_point firstByte = front.sent > 0 ? front.firstByte : Clock::now();
    m_inFlight = sending;
    lock.unlock();
    size_t sent = 0;
    const Stream::Io io = m_stream->Send(&piece, 1, sent);
    lock.lock();
    m_inFlight = 0;
    if (!m_connected || m_closed) {
      // Left only for the send that was under way.
      if (!m_output.empty()) {
        Outgoing& last = m_output.front();
        if (last.delivered != nullptr && last.sent + sent == last.bytes.size()) *last.delivered = true;
        m_output.pop_front();
      }
      m_changed.notify_all();
      return;
    }
    // Only the sender takes entries off the front, so it is still ours.
    Outgoing& same = m_output.front();
    if (same.sent == 0 && sent > 0) same.firstByte = firstByte;
    same.sent += sent;
    if (io == Stream::Io::kClosed) {
      DisconnectLocked();
      return;
    }
    if (same.sent == same.bytes.size()) {
      if (same.delivered != nullptr) *same.delivered = true;
      m_output.pop_front();
      m_changed.notify_all();
      if (sending == ticket) return;
      continue;
    }
    if (!WaitForRoom(lock, same.sent > 0 ? same.firstByte : Clock::now(), deadline)) return;
  }
}

bool EndpointConnection::WaitForRoom(Lock& lock, Clock::time_point firstByte, Clock::time_point deadline) {
  const Clock::time_point givenUp = firstByte + kSendWait;
  if (Passed(deadline) && Clock::now() < givenUp) return false;
  lock.unlock();
  const Stream::Ready ready = m_stream->Wait(true, std::min(deadline, givenUp));
  lock.lock();
  if (!m_connected || m_closed) return false;
  if (ready == Stream::Ready::kClosed || (ready == Stream::Ready::kTimedOut && Clock::now() >= givenUp)) {
    // A device that takes nothing of a message for so long is given up.
    DisconnectLocked();
    return false;
  }
  return ready == Stream::Ready::kReady;
}

void EndpointConnection::QueueCancel(uint32_t id) {
  if (!m_connected || m_closed) return;
  m_output.push_back(Outgoing{wire::Encode(wire::kCancel, id, nullptr, 0), 0, m_nextTicket++, {}, nullptr});
}

std::shared_ptr<EndpointConnection::WriteJob> EndpointConnection::StartWrite(const void* data, uint32_t size,
                                                                             uint32_t& error) {
  auto job = std::make_shared<WriteJob>(data, size);
  uint8_t total[4];
  wire::StoreU32(total, size);
  std::vector<uint8_t> write = wire::Encode(wire::kWrite, 0, total, sizeof(total));
  Lock lock(m_mutex);
  error = 0;
  if (m_closed) {
    error = kErrorInvalidHandle;
  } else if (!m_connected) {
    error = kErrorDeviceNotConnected;
  } else {
    job->id = m_nextId++;
    wire::StoreU32(write.data() + 4, job->id);
    m_pending.emplace(job->id, &job->transfer);
    job->writeTicket = m_nextTicket++;
    m_output.push_back(Outgoing{std::move(write), 0, job->writeTicket, {}, nullptr});
    // Whatever goes without waiting goes now; the rest at the completion.
    if (!m_sending) {
      m_sending = true;
      SendDataLocked(lock, *job, Clock::now());
      m_sending = false;
      m_changed.notify_all();
    }
  }
  return job;
}

void EndpointConnection::SendDataLocked(Lock& lock, WriteJob& job, Clock::time_point deadline) {
  // What is queued goes first: the WRITE, and commands sent meanwhile.
  FlushLocked(lock, 0, deadline);
  if (!m_output.empty()) return;
  uint8_t header[wire::kHeaderSize];
  while (job.offset < job.size && !job.stopped && !job.transfer.done && m_connected && !m_closed) {
    const uint32_t bytes = std::min(kSegmentBytes, job.size - job.offset);
    wire::EncodeHeader(header, wire::kWriteData, job.id, bytes);
    const uint8_t* data = job.data + job.offset;
    const size_t total = sizeof(header) + bytes;
    size_t done = 0;
    Clock::time_point firstByte = Clock::now();
    for (;;) {
      Piece pieces[2];
      size_t count = 0;
      if (done < sizeof(header)) pieces[count++] = Piece{header + done, sizeof(header) - done};
      const size_t dataDone = done > sizeof(header) ? done - sizeof(header) : 0;
      pieces[count++] = Piece{data + dataDone, bytes - dataDone};
      lock.unlock();
      size_t sent = 0;
      const Stream::Io io = m_stream->Send(pieces, count, sent);
      lock.lock();
      if (done == 0 && sent > 0) firstByte = Clock::now();
      done += sent;
      if (io == Stream::Io::kClosed) {
        DisconnectLocked();
        return;
      }
      if (done == total) break;
      if (WaitForRoom(lock, done > 0 ? firstByte : Clock::now(), deadline)) continue;
      if (!m_connected || m_closed) return;
      // No more waiting now. A message is never cut: the rest of one under
      // way goes out later from a copy, first in the queue, so that the
      // host's buffer is not read for it any more.
      if (done > 0) {
        Outgoing rest;
        if (done < sizeof(header)) rest.bytes.assign(header + done, header + sizeof(header));
        const size_t from = done > sizeof(header) ? done - sizeof(header) : 0;
        rest.bytes.insert(rest.bytes.end(), data + from, data + bytes);
        rest.ticket = m_nextTicket++;
        rest.sent = 0;
        rest.firstByte = firstByte;
        m_output.push_front(std::move(rest));
        job.offset += bytes;
      }
      return;
    }
    job.offset += bytes;
    // Commands queued meanwhile go out between the pieces.
    if (!m_output.empty()) {
      FlushLocked(lock, 0, deadline);
      if (!m_output.empty()) return;
    }
  }
}

uint32_t EndpointConnection::CompleteWrite(WriteJob& job, uint32_t timeoutMs, uint32_t& transferred) {
  transferred = 0;
  const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
  Lock lock(m_mutex);
  for (;;) {
    if (job.transfer.done || Passed(deadline)) break;
    const bool dataLeft = job.offset < job.size && !job.stopped;
    const auto queued = [&] {
      return std::any_of(m_output.begin(), m_output.end(),
                         [&job](const Outgoing& o) { return o.ticket == job.writeTicket; });
    };
    if ((dataLeft || queued()) && m_connected && !m_closed) {
      if (!m_sending) {
        m_sending = true;
        SendDataLocked(lock, job, deadline);
        m_sending = false;
        m_changed.notify_all();
      } else {
        m_changed.wait_until(lock, deadline);
      }
      continue;
    }
    // Everything is out: the WRITE_DONE is what is left to wait for.
    AwaitLocked(
        lock, [&job] { return job.transfer.done; }, deadline);
    if (!m_connected || m_closed) break;
  }
  job.stopped = true;
  if (job.transfer.done) {
    // A device may claim any count; a write never moves more than was sent,
    // and a host that subtracts the count from what it sent must not wrap.
    if (job.transfer.status == 0) transferred = std::min(job.transfer.bytes, job.size);
    return job.transfer.status;
  }
  m_pending.erase(job.id);  // a WRITE_DONE for it from now on is dropped
  const auto write = std::find_if(m_output.begin(), m_output.end(),
                                  [&job](const Outgoing& o) { return o.ticket == job.writeTicket; });
  if (write != m_output.end() && write->sent == 0 && write->ticket != m_inFlight) {
    m_output.erase(write);  // not even the WRITE went out: the device never hears of it
  } else {
    QueueCancel(job.id);
    if (!m_sending && m_connected && !m_closed) {
      m_sending = true;
      FlushLocked(lock, 0, Clock::now());
      m_sending = false;
      m_changed.notify_all();
    }
  }
  return kErrorIoIncomplete;
}

bool EndpointConnection::Service() {
  Lock lock(m_mutex);
  if (m_closed) return false;
  if (m_connected && !m_sending && !m_output.empty()) {
    m_sending = true;
    FlushLocked(lock, 0, Clock::now());
    m_sending = false;
    m_changed.notify_all();
  }
  if (m_connected && !m_reading) PumpLocked(lock, Clock::now());
  return m_connected;
}

void EndpointConnection::Close() {
  Lock lock(m_mutex);
  if (m_closed) return;
  m_closed = true;
  EndPendingLocked(kErrorOperationAborted);
  // The device is free when it has seen the end of the stream and closed
  // its end in turn.
  if (m_connected) {
    m_stream->ShutdownSend();
    const Clock::time_point deadline = Clock::now() + kCloseWait;
    while (m_connected && !Passed(deadline)) {
      if (!m_reading) {
        m_reading = true;
        lock.unlock();
        uint8_t drain[4096];
        size_t received = 0;
        Stream::Io io = m_stream->Receive(drain, sizeof(drain), received);
        if (io == Stream::Io::kWouldBlock) {
          if (m_stream->Wait(false, deadline) == Stream::Ready::kClosed) io = Stream::Io::kClosed;
        }
        lock.lock();
        m_reading = false;
        if (io == Stream::Io::kClosed) m_connected = false;
        m_changed.notify_all();
      } else {
        m_changed.wait_until(lock, deadline);
      }
    }
  }
  m_connected = false;
  // Every thread still waiting in the stream leaves it now.
  m_stream->Shutdown();
  m_changed.wait(lock, [this] { return !m_reading && !m_sending; });
}

uint64_t DroppedLateCompletions() { return g_droppedCompletions.load(std::memory_order_relaxed); }

}  // namespace norvex::platform::device
