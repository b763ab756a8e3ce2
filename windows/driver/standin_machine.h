// standin_machine.h: one emulated platesetter behind the stand-in driver: the
// emulator's device model (emu/device_model.h) and the transfers of its one
// host, the way the platesetter's kernel driver carries them: an exclusive
// open, control request 0x222002 with the request frame, reads of one whole
// reply frame, bulk writes into print memory, cancels. It knows nothing of
// IRPs: a transfer is an opaque pointer that it completes through the
// completion list it returns, which the driver carries out outside the lock,
// and whose cancel routine it sets and takes back through a CancelGuard.
//
// Statuses are NT status values, since they go straight into the IRPs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "emu/device_model.h"
#include "emu/reply_schedule.h"

namespace norvex::standin {

inline constexpr int32_t kStatusSuccess = 0;
inline constexpr int32_t kStatusCancelled = static_cast<int32_t>(0xC0000120);
inline constexpr int32_t kStatusBufferOverflow = static_cast<int32_t>(0x80000005);  // ERROR_MORE_DATA
inline constexpr int32_t kStatusInvalidDeviceRequest =
    static_cast<int32_t>(0xC0000010);  // ERROR_INVALID_FUNCTION
inline constexpr int32_t kStatusAccessDenied = static_cast<int32_t>(0xC0000022);
inline constexpr int32_t kStatusNoSuchDevice = static_cast<int32_t>(0xC000000E);
inline constexpr int32_t kStatusDeviceNotConnected =
    static_cast<int32_t>(0xC000009D);  // ERROR_DEVICE_NOT_CONNECTED

using Clock = std::chrono::steady_clock;
using Transfer = void*;     // an IRP, to the machine an opaque token
using OpenKey = uintptr_t;  // a file object

// What the driver does for one transfer once the machine's lock is let go:
// it completes it, and touches it no more. A transfer that waited in a list
// has had its cancel routine taken back before it gets here.
struct Completion {
  Transfer transfer = nullptr;
  int32_t status = kStatusSuccess;
  size_t information = 0;
  std::vector<uint8_t> data;  // a read's reply frame, or a wait's answer
};
using Completions = std::vector<Completion>;

inline Completion Done(Transfer transfer, int32_t status, size_t information = 0,
                       std::vector<uint8_t> data = {}) {
  Completion done;
  done.transfer = transfer;
  done.status = status;
  done.information = information;
  done.data = std::move(data);
  return done;
}

// A transfer's cancel routine, which the driver sets and takes back for the
// lists that keep pending transfers (a machine's reads and writes, the
// rack's waits). Both calls come with the list's lock held, and a cancel
// routine takes that lock to look for its transfer. A transfer leaves its
// list to be completed only with its routine taken back; when a cancel has
// taken it first, the transfer leaves the list having done nothing (no data
// stored, no reply taken), as if the cancel had come a moment earlier, and
// its cancel routine, finding it nowhere, completes it cancelled. So exactly
// one of the two completes each transfer, and only while it exists.
class CancelGuard {
 public:
  virtual ~CancelGuard() = default;
  // `transfer` is about to be listed: it gets its cancel routine. False when
  // it was cancelled before that: it is not listed but completed cancelled.
  virtual bool Arm(Transfer transfer) = 0;
  // `transfer` leaves its list to be completed: the routine is taken back.
  // False when a cancel took it first (see above).
  virtual bool Disarm(Transfer transfer) = 0;
};

class Machine {
 public:
  Machine(const emu::EmulatorOptions& options, CancelGuard& guard) : m_model(options), m_guard(guard) {}

  emu::DeviceModel& Model() { return m_model; }

  // ---- The host's transfers (dispatch routines) --------------------------
  // An open of the device: granted to the first opener, refused (access
  // denied) while another holds it, and impossible while unplugged. Returns
  // the status for the open.
  int32_t Open(OpenKey key, bool present);
  // The handle's last close: its pending transfers end cancelled and the
  // device is free again.
  Completions Cleanup(OpenKey key);
  // Forgets the open's record (and ends it as Cleanup does, should the
  // cleanup not have come).
  Completions Close(OpenKey key);
  // The control request: the frame is the request's output buffer.
  Completions Control(OpenKey key, Transfer transfer, uint32_t code, const uint8_t* frame, size_t size);
  Completions Read(OpenKey key, Transfer transfer, uint32_t capacity);
  Completions Write(OpenKey key, Transfer transfer, const uint8_t* data, size_t size);
  // The cancel routine of `transfer`. True when the machine keeps it for a
  // later completion (a read waiting for a late reply); otherwise it is off
  // the lists, having done nothing, and the driver completes it cancelled.
  bool Cancel(Transfer transfer);
  // Why the transfers of `key` are refused (0: they are not): an open that
  // the device refused, or one whose connection ended.
  int32_t RefusalOf(OpenKey key);
  // The number of the open `key` (kIoctlIdentifyOpen): 0 unless it is the host.
  uint64_t OpenNumber(OpenKey key);

  // ---- The test's controls ------------------------------------------------
  // The host connection ends (unplug, DropHost): its pending transfers end
  // with "device not connected", and so does every later one on that handle.
  Completions DropHost();
  // The host's open number; 0 without a host.
  uint64_t HostOf();

  // ---- Time ---------------------------------------------------------------
  // Completes what is due by `now`.
  Completions Tick(Clock::time_point now);
  // The next moment something comes due (a delayed or late reply, a
  // held-back write), if any: when the clock is to call Tick again.
  std::optional<Clock::time_point> NextDue();

 private:
  enum class OpenState { kHost, kRefused, kDisconnected };
  struct PendingRead {
    Transfer transfer;
    uint32_t capacity;
  };
  using Replies = emu::ReplySchedule<PendingRead>;
  struct PendingWrite {
    Transfer transfer;
    std::optional<Clock::time_point> due;  // none: never completes by itself
    std::vector<uint8_t> bytes;            // what it stores when it completes
  };

  int32_t Refusal(OpenKey key) const;  // with m_mu held: 0 for the host
  void ServeReads(Completions& out);
  // Takes back the cancel routine of a read about to get a reply.
  bool Claim(const PendingRead& read) { return m_guard.Disarm(read.transfer); }
  // `done` for a listed transfer, unless a cancel has it.
  void Finish(Completion done, Completions& out);
  static Completion ReadDone(const PendingRead& read, const std::vector<uint8_t>& frame);
  void EndHostLocked(int32_t status, Completions& out);

  emu::DeviceModel m_model;
  CancelGuard& m_guard;
  std::mutex m_mu;
  std::map<OpenKey, OpenState> m_opens;
  std::optional<OpenKey> m_host;
  uint64_t m_hostNumber = 0;
  uint64_t m_openCount = 0;
  Replies m_replies;  // the reply to the last control request, and the reads
  std::vector<PendingWrite> m_writes;
  Clock::time_point m_stalledUntil{};  // a stalled device holds the writes until then
};

}  // namespace norvex::standin
