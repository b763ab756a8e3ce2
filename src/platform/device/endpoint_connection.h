// endpoint_connection.h: the host's side of the device protocol
// (docs/device-protocol.md) on one open connection: transfer ids, the
// transfers pending on them, control requests and reads with their
// time-out and cancel, bulk writes in WRITE_DATA pieces, late replies, and
// the end of the connection. Standard C++ over a Stream; the transports
// (posix/, win32/) make the stream.
//
// The connection has no thread of its own: the threads that transfer move
// the bytes. One of them at a time sends (the sender) and one reads (the
// reader); a thread that waits for its transfer reads the stream itself when
// no other thread does, so that an exchange never hands over between
// threads. Messages that could not go out at once wait in an output queue
// in wire order; whoever sends next sends them first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/device/stream.h"
#include "wire/device_wire.h"

namespace norvex::platform::device {

// Connects `stream` as a host: sends the versioned OPEN (docs/device-protocol.md,
// "Opening") and waits until `deadline` for the device's answer. Returns 0
// when the device granted (or, for a probe, would grant) the connection;
// 5 when another host has it; 1306 when the device speaks another version
// (`deviceVersion` says which, 2 for the versions before the version field);
// 1460 when no answer came in time; 1167 for a connection that ended or an
// answer that is no OPEN. Bytes that came after the answer are left in
// `after`.
uint32_t OpenHandshake(Stream& stream, wire::OpenPurpose purpose, Clock::time_point deadline,
                       uint32_t& deviceVersion, wire::MessageParser& after);

class EndpointConnection {
 public:
  // `stream` is open and granted; `parser` holds what came after the OPEN.
  EndpointConnection(std::unique_ptr<Stream> stream, std::string endpoint, wire::MessageParser parser);
  ~EndpointConnection();
  EndpointConnection(const EndpointConnection&) = delete;
  EndpointConnection& operator=(const EndpointConnection&) = delete;

  // The address or path of the endpoint.
  const std::string& Endpoint() const { return m_endpoint; }

  // A control request and a read, with the results of Driver::ControlRequest
  // and Driver::Read: 0; kErrorIoPending when not done in time (also when
  // its message could not go out in time, behind a stalled bulk write: the
  // connection stays), when done with a status other than 0, or when the
  // connection dropped or the handle was closed while it was pending;
  // kErrorDeviceNotConnected when the connection had already dropped;
  // kErrorInvalidHandle after Close.
  uint32_t Control(uint32_t ioctl, const void* frame, uint32_t size, uint32_t timeoutMs);
  uint32_t Read(void* buffer, uint32_t capacity, uint32_t& bytesRead, uint32_t timeoutMs);

  // A bulk write between its start and its completion.
  struct WriteJob;
  // Starts a write of `size` bytes from `data`: its WRITE and as much data
  // as the stream takes without waiting go out now, the rest in
  // CompleteWrite. `error` is 0, or why it could not start (then the job is
  // never completed).
  std::shared_ptr<WriteJob> StartWrite(const void* data, uint32_t size, uint32_t& error);
  // Sends the rest of the write and waits for its WRITE_DONE, both within
  // `timeoutMs`. Returns its status (0, the device's status; 1167 when the
  // connection dropped; 995 when the handle was closed), or
  // kErrorIoIncomplete when not done in time: then a message of it already
  // under way goes out whole from a copy, a CANCEL follows, and nothing more
  // of `data` is read when this returns.
  uint32_t CompleteWrite(WriteJob& job, uint32_t timeoutMs, uint32_t& transferred);

  // Moves what can be moved without waiting: queued messages out, arrived
  // messages in (late replies are dropped, the end of the stream is seen).
  // False once the connection has ended.
  bool Service();
  intptr_t PollHandle() const { return m_stream->PollHandle(); }

  // Ends the connection for good: pending transfers end at once, later ones
  // fail with kErrorInvalidHandle. The device is free for the next open
  // when this returns: the host stops sending and waits (at most 1000 ms)
  // until the device has closed its end in turn.
  void Close();

 private:
  struct Transfer;
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
    uint64_t ticket = 0;
    Clock::time_point firstByte{};  // when its first byte went out
    bool* delivered = nullptr;      // set when all of it went out (its sender waits for it)
  };
  enum class SendOutcome { kSent, kNotStarted, kAbandoned, kFailed };
  using Lock = std::unique_lock<std::mutex>;

  uint32_t Run(uint16_t type, const void* head, size_t headSize, const void* body, size_t bodySize,
               Transfer& transfer, uint32_t timeoutMs);
  // Waits for `transfer` until `deadline`, reading as the reader when no
  // other thread does; cancels it when it is not done by then.
  uint32_t Finish(Lock& lock, uint32_t id, Transfer& transfer, Clock::time_point deadline);
  // Waits (reading as needed) until `done` holds or `deadline` passes.
  template <typename Done>
  void AwaitLocked(Lock& lock, Done done, Clock::time_point deadline);
  // Reads what the stream has, waiting for it at most until `deadline`, and
  // completes the transfers it answers. Holds the reader role meanwhile.
  void PumpLocked(Lock& lock, Clock::time_point deadline);
  // Queues `bytes` and sends the queue until they are out (or `deadline`).
  SendOutcome SendLocked(Lock& lock, std::vector<uint8_t> bytes, Clock::time_point deadline);
  // As the sender: sends queued messages in order until the one of `ticket`
  // (0: all of them) is out, or the stream stays full until `deadline`.
  void FlushLocked(Lock& lock, uint64_t ticket, Clock::time_point deadline);
  // As the sender: the rest of a bulk write's data (see CompleteWrite).
  void SendDataLocked(Lock& lock, WriteJob& job, Clock::time_point deadline);
  // Waits for room in the stream; false when the message that began at
  // `firstByte` is given up (not taken within 10 s) or the connection ended.
  bool WaitForRoom(Lock& lock, Clock::time_point firstByte, Clock::time_point deadline);
  void QueueCancel(uint32_t id);
  bool CompleteLocked(const wire::Message& message);
  void DisconnectLocked();
  // Completes every pending transfer with `status` and forgets the queued
  // messages: the end of the connection, or of the handle.
  void EndPendingLocked(uint32_t status);
  // Forgets the queued messages (the connection is over).
  void DropOutputLocked();

  const std::unique_ptr<Stream> m_stream;
  const std::string m_endpoint;

  mutable std::mutex m_mutex;         // guards everything below
  std::condition_variable m_changed;  // a transfer completed, a role was released, output went out
  std::unordered_map<uint32_t, Transfer*> m_pending;
  std::deque<Outgoing> m_output;
  uint64_t m_nextTicket = 1;
  uint64_t m_inFlight = 0;  // the queued message the sender is sending now (0: none)
  uint32_t m_nextId = 1;
  bool m_connected = true;
  bool m_closed = false;
  bool m_reading = false;  // a thread reads the stream
  bool m_sending = false;  // a thread sends on the stream
  // The reader's own: what came in and is not yet a whole message.
  wire::MessageParser m_parser;
  std::vector<uint8_t> m_chunk;
};

// How many DONE messages were dropped since the process started because
// their transfer was no longer pending (late replies after a cancel,
// duplicates, ids never used).
uint64_t DroppedLateCompletions();

}  // namespace norvex::platform::device
