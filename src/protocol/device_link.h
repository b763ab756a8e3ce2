// device_link.h: CDeviceLink, the library's one command link: the two frame
// buffers, the command lock, the lock time and the last failure.
#pragma once

#include <cstdint>
#include <memory>
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

// The slots of CTP_GetErrorInfo's texts (device_link.cpp).
class ErrorTextSlots;

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
  ~CDeviceLink();

  CDeviceLink(const CDeviceLink&) = delete;
  CDeviceLink& operator=(const CDeviceLink&) = delete;

  // One locked and logged command: refuses it while no device is open, waits
  // for the command lock, notes a slow lock, runs Exchange, and logs every
  // failure twice (a summary line and the failure text). The device test is
  // made again on the pinned handle, so that a removal between the first
  // test and the lock gives CTP_ERR_NO_DEVICE too.
  uint32_t Transact(CommandPacket& packet);
  // CTP_SendCommand: the host's own packet, exchanged on frame buffers of
  // its own under the command lock (so that no other command's frames come
  // between its request and its reply), without the device test, logging
  // or failure record. CTP_ERR_LOCK_TIMEOUT when the lock is not had in
  // time. A null packet, or one that expects reply data (any expected
  // length but 0) without a reply buffer: NORVEX_ERR_INVALID_ARGUMENT,
  // nothing sent.
  uint32_t SendCommand(CommandPacket* packet);
  // One bare exchange on `handle` and the given frame buffers: build, write,
  // read, check. No lock, no device test, no logging. A failed write to the
  // command file leaves its path in `failedFile`, to be shown when no lock
  // is held any more.
  uint32_t Exchange(CommandPacket& packet, platform::Handle handle, FrameBuffer& tx, FrameBuffer& rx,
                    uint32_t& received, std::string& failedFile);

  // The generic state query (0xC0D0 with a 4-byte selector, reply 0xC0D1 of
  // `replyLength` bytes) and function call (0xC0D8 with the selector and
  // `parameterCount` more bytes, reply an empty acknowledgement) of the unit
  // at `address`. A null selector or reply buffer:
  // NORVEX_ERR_INVALID_ARGUMENT, nothing sent or logged.
  uint32_t GetStateEx(const void* selector, void* reply, uint32_t replyLength, uint32_t address);
  uint32_t FunctionEx(const void* request, uint32_t address, uint32_t parameterCount);

  // Copies `packet` and `code` into the failure record and writes the
  // failure text to the log.
  void RecordFailure(const CommandPacket& packet, uint32_t code);
  // The failure text for `code`: 1 with the detailed text when `code` is the
  // recorded one, 0 with the mismatch notice otherwise.
  int FormatFailure(uint32_t code, std::string& text) const;
  // FormatFailure into the calling thread's own error text. The text is
  // owned by the link, not by the thread: it stays valid until the link
  // goes, also after the thread has ended. It is unchanged until the same
  // thread calls again; no other thread writes it while its thread runs.
  // Once its thread has ended, its slot goes back to the link, and a thread
  // that asks later may take it (the slot freed longest ago first): there
  // are as many slots as threads that asked at the same time.
  const char* ErrorInfo(uint32_t code);
  // How many error texts the link keeps, for tests.
  size_t ErrorTextSlotsForTests() const;

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

  // "Device disconnect!" and its failure record: the command found no device.
  uint32_t RefuseWithoutDevice(const CommandPacket& packet);

  CommandLock m_commandLock;
  uint32_t m_lockTime = kDefaultLockTimeMs;

  // The texts of CTP_GetErrorInfo: a slot for each thread that asked, held
  // by that thread until it ends (device_link.cpp). Shared with the
  // threads' holdings, which may outlive the link at unload.
  // The calling thread's text slot.
  char* ThreadErrorText();
  std::shared_ptr<ErrorTextSlots> m_errorTexts;
  // Tells the texts when a thread that holds one ends; null when the system
  // had no room for it, and then the slots are kept by thread id.
  std::unique_ptr<platform::ThreadEndWatch> m_threadEnds;
};

}  // namespace norvex
