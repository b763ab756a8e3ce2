// device_link.h: CDeviceLink, the library's one command link: the two frame
// buffers, the command lock, the lock time and the last failure.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "link/usb_link.h"
#include "log/driver_log.h"
#include "norvex.h"
#include "platform/platform.h"
#include "protocol/command_lock.h"
#include "protocol/failure_record.h"
#include "protocol/frame.h"

namespace norvex {

class CDeviceLink {
 public:
  // The longest wait for the command lock.
  static constexpr uint32_t kLockWaitMs = 15000;
  // The lock time when the INI file names none.
  static constexpr uint32_t kDefaultLockTimeMs = 7500;

  // Reads the lock time from [LOG] LockTime of the host's INI file, writing
  // the default back when the key is missing. `lockWaitMs` is the longest
  // wait for the command lock (tests shorten it).
  CDeviceLink(CDriverLog& log, platform::HostEnvironment& host, UsbLink& usb,
              uint32_t lockWaitMs = kLockWaitMs);
  virtual ~CDeviceLink();

  CDeviceLink(const CDeviceLink&) = delete;
  CDeviceLink& operator=(const CDeviceLink&) = delete;

  // One locked and logged command: refuses it while no device is open, waits
  // for the command lock, notes a slow lock, runs Exchange, and logs every
  // failure twice (a summary line and the failure text).
  uint32_t Transact(CommandPacket& packet);
  // One bare exchange on the given frame buffers: build, write, read, check.
  // No lock, no device test, no logging.
  uint32_t Exchange(CommandPacket& packet, FrameBuffer& tx, FrameBuffer& rx, uint32_t& received);

  // The generic state query (0xC0D0 with a 4-byte selector, reply 0xC0D1 of
  // `replyLength` bytes) and function call (0xC0D8 with the selector and
  // `parameterCount` more bytes, reply an empty acknowledgement) of the unit
  // at `address`.
  uint32_t GetStateEx(const void* selector, void* reply, uint32_t replyLength, uint32_t address);
  uint32_t FunctionEx(const void* request, uint32_t address, uint32_t parameterCount);

  // Copies `packet` and `code` into the failure record and writes the
  // failure text to the log.
  void RecordFailure(const CommandPacket& packet, uint32_t code);
  // The failure text for `code`: 1 with the detailed text when `code` is the
  // recorded one, 0 with the mismatch notice otherwise.
  int FormatFailure(uint32_t code, std::string& text) const;
  // FormatFailure into the calling thread's own error text; the pointer stays
  // valid until the same thread asks again.
  const char* ErrorInfo(uint32_t code) const;

  uint32_t LockTime() const { return m_lockTime; }
  // The command lock, for tests that hold it from another thread.
  CommandLock& CommandLockForTests() { return m_commandLock; }

 private:
  CDriverLog& m_log;
  platform::HostEnvironment& m_host;
  UsbLink& m_usb;
  const uint32_t m_lockWaitMs;

  FrameBuffer m_txBuffer = {};
  FrameBuffer m_rxBuffer = {};
  uint32_t m_rxCount = 0;

  // The failure record is written by failing commands on any thread and read
  // by CTP_GetErrorInfo on any other; this lock keeps every read whole.
  mutable std::mutex m_failureLock;
  FailureRecord m_failure;

  CommandLock m_commandLock;
  uint32_t m_lockTime = kDefaultLockTimeMs;
};

}  // namespace norvex
