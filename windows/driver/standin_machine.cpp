// standin_machine.cpp: the transfers of one emulated platesetter's host.
#include "standin_machine.h"

#include <algorithm>
#include <utility>

namespace norvex::standin {

inline constexpr uint32_t kFrameControlCode = 0x222002;

int32_t Machine::Open(OpenKey key, bool present) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (!present) return kStatusNoSuchDevice;
  if (m_host) {
    // The device is the one host's until it closes.
    m_opens[key] = OpenState::kRefused;
    m_model.NoteConnection(false);
    return kStatusAccessDenied;
  }
  m_opens[key] = OpenState::kHost;
  m_host = key;
  m_hostNumber = ++m_openCount;
  m_model.NoteConnection(true);
  m_model.SetHostConnected(true);
  return kStatusSuccess;
}

Completions Machine::Cleanup(OpenKey key) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_host && *m_host == key) EndHostLocked(kStatusCancelled, out);
  return out;
}

Completions Machine::Close(OpenKey key) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_host && *m_host == key) EndHostLocked(kStatusCancelled, out);
  m_opens.erase(key);
  return out;
}

int32_t Machine::Refusal(OpenKey key) const {
  if (m_host && *m_host == key) return kStatusSuccess;
  const auto it = m_opens.find(key);
  // An open that the device refused (Wine hands out the handle all the
  // same), and one whose connection ended.
  if (it != m_opens.end() && it->second == OpenState::kRefused) return kStatusAccessDenied;
  return kStatusDeviceNotConnected;
}

Completions Machine::Control(OpenKey key, Transfer transfer, uint32_t code, const uint8_t* frame,
                             size_t size) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  if (code != kFrameControlCode) {
    out.push_back(Done(transfer, kStatusInvalidDeviceRequest));
    return out;
  }
  emu::Outcome outcome = m_model.HandleFrame(frame, size);
  if (outcome.action == emu::Outcome::Action::kDisconnect) {
    // The device goes away from this host in the middle of the request.
    out.push_back(Done(transfer, kStatusDeviceNotConnected));
    EndHostLocked(kStatusDeviceNotConnected, out);
    return out;
  }
  out.push_back(Done(transfer, kStatusSuccess));
  m_replies.Take(std::move(outcome), Clock::now());
  ServeReads(out);
  return out;
}

Completions Machine::Read(OpenKey key, Transfer transfer, uint32_t capacity) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  if (!m_guard.Arm(transfer)) {
    out.push_back(Done(transfer, kStatusCancelled));
    return out;
  }
  m_replies.AddRead(PendingRead{transfer, capacity});
  ServeReads(out);
  return out;
}

Completions Machine::Write(OpenKey key, Transfer transfer, const uint8_t* data, size_t size) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  // Any size is taken, as the emulator's endpoint takes it: the library
  // passes a longer NV_SentPrintData through as one write.
  const emu::WritePlan plan = m_model.PlanWrite(size);
  // A device that stops taking data (a stall) holds this write and every
  // write that comes until the stall ends; then they complete whole, unless
  // they were cancelled meanwhile.
  const Clock::time_point now = Clock::now();
  if (plan.stallMs > 0)
    m_stalledUntil = std::max(m_stalledUntil, now + std::chrono::milliseconds(plan.stallMs));
  Clock::time_point due = now + std::chrono::milliseconds(plan.delayMs);
  if (m_stalledUntil > due) due = m_stalledUntil;
  if (plan.complete && due <= now) {
    m_model.AppendPrintData(data, plan.bytes);
    out.push_back(Done(transfer, kStatusSuccess, plan.bytes));
    return out;
  }
  if (!m_guard.Arm(transfer)) {
    out.push_back(Done(transfer, kStatusCancelled));
    return out;
  }
  PendingWrite write{transfer, std::nullopt, std::vector<uint8_t>(data, data + plan.bytes)};
  if (plan.complete) write.due = due;
  m_writes.push_back(std::move(write));
  return out;
}

bool Machine::Cancel(Transfer transfer) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto write = std::find_if(m_writes.begin(), m_writes.end(),
                                  [&](const PendingWrite& w) { return w.transfer == transfer; });
  if (write != m_writes.end()) {
    // A held-back write ends cancelled, having stored nothing.
    m_writes.erase(write);
    return false;
  }
  // A read that waits for a late reply is kept: it completes with it later.
  return m_replies.Cancel([&](const PendingRead& r) { return r.transfer == transfer; }, Clock::now()) ==
         Replies::CancelResult::kKeptLate;
}

int32_t Machine::RefusalOf(OpenKey key) {
  std::lock_guard<std::mutex> lock(m_mu);
  return Refusal(key);
}

uint64_t Machine::OpenNumber(OpenKey key) {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_host && *m_host == key ? m_hostNumber : 0;
}

Completions Machine::DropHost() {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_host) {
    m_opens[*m_host] = OpenState::kDisconnected;
    EndHostLocked(kStatusDeviceNotConnected, out);
  }
  return out;
}

uint64_t Machine::HostOf() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_host ? m_hostNumber : 0;
}

void Machine::EndHostLocked(int32_t status, Completions& out) {
  const Replies::Dropped reads = m_replies.Drop();
  for (const PendingRead& read : reads.waiting) Finish(Done(read.transfer, status), out);
  for (const PendingWrite& write : m_writes) Finish(Done(write.transfer, status), out);
  // A late completion was cancelled already (its cancel routine is spent):
  // it ends without its reply.
  for (const PendingRead& late : reads.late) out.push_back(Done(late.transfer, status));
  m_writes.clear();
  m_host.reset();
  m_model.SetHostConnected(false);
}

Completion Machine::ReadDone(const PendingRead& read, const std::vector<uint8_t>& frame) {
  // A reply longer than the read's room is cut to it: ERROR_MORE_DATA.
  const bool fits = frame.size() <= read.capacity;
  Completion done = Done(read.transfer, fits ? kStatusSuccess : kStatusBufferOverflow);
  done.data.assign(frame.begin(),
                   frame.begin() + static_cast<std::ptrdiff_t>(fits ? frame.size() : read.capacity));
  done.information = done.data.size();
  return done;
}

void Machine::Finish(Completion done, Completions& out) {
  if (m_guard.Disarm(done.transfer)) out.push_back(std::move(done));
}

void Machine::ServeReads(Completions& out) {
  // A read that a cancel has is passed over: the reply goes to the next one.
  const auto claim = [this](const PendingRead& read) { return Claim(read); };
  if (const std::optional<Replies::Delivery> served = m_replies.Serve(claim)) {
    out.push_back(ReadDone(served->read, served->frame));
  }
}

Completions Machine::Tick(Clock::time_point now) {
  Completions out;
  std::lock_guard<std::mutex> lock(m_mu);
  const auto claim = [this](const PendingRead& read) { return Claim(read); };
  if (const std::optional<Replies::Delivery> served = m_replies.ServeDelayed(now, claim)) {
    out.push_back(ReadDone(served->read, served->frame));
  }
  // A late completion's cancel routine is spent: nothing to take back.
  for (const Replies::Delivery& late : m_replies.TakeLate(now))
    out.push_back(ReadDone(late.read, late.frame));
  for (auto it = m_writes.begin(); it != m_writes.end();) {
    if (it->due && *it->due <= now) {
      // A write that a cancel has stores nothing: it ends cancelled.
      if (m_guard.Disarm(it->transfer)) {
        m_model.AppendPrintData(it->bytes.data(), it->bytes.size());
        out.push_back(Done(it->transfer, kStatusSuccess, it->bytes.size()));
      }
      it = m_writes.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::optional<Clock::time_point> Machine::NextDue() {
  std::lock_guard<std::mutex> lock(m_mu);
  std::optional<Clock::time_point> next = m_replies.NextDue();
  for (const PendingWrite& write : m_writes) {
    if (write.due && (!next || *write.due < *next)) next = write.due;
  }
  return next;
}

}  // namespace norvex::standin
