// device_link.h: CDeviceLink, the library's one command link: the two frame
// buffers, the command lock, the lock time and the last failure.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "log/driver_log.h"
#include "norvex.h"
#include "platform/platform.h"
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
  // the default back when the key is missing.
  CDeviceLink(CDriverLog& log, platform::HostEnvironment& host);
  virtual ~CDeviceLink();

  CDeviceLink(const CDeviceLink&) = delete;
  CDeviceLink& operator=(const CDeviceLink&) = delete;

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

 private:
  CDriverLog& m_log;
  platform::HostEnvironment& m_host;

  FrameBuffer m_txBuffer = {};
  FrameBuffer m_rxBuffer = {};
  uint32_t m_rxCount = 0;

  // The failure record is written by failing commands on any thread and read
  // by CTP_GetErrorInfo on any other; this lock keeps every read whole.
  mutable std::mutex m_failureLock;
  FailureRecord m_failure;

  std::timed_mutex m_commandLock;
  uint32_t m_lockTime = kDefaultLockTimeMs;
};

}  // namespace norvex
