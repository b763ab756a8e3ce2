// standin_machine.cpp: the transfers of one emulated platesetter's host.
#include "standin_machine.h"

#include <algorithm>
#include <utility>

namespace norvex::standin {

inline constexpr uint32_t kFrameControlCode = 0x222002;

int32_t Machine::Open(OpenKey key, bool present) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!present) return kStatusNoSuchDevice;
  if (host_) {
    // The device is the one host's until it closes.
    opens_[key] = OpenState::kRefused;
    model_.NoteConnection(false);
    return kStatusAccessDenied;
  }
  opens_[key] = OpenState::kHost;
  host_ = key;
  hostNumber_ = ++openCount_;
  model_.NoteConnection(true);
  model_.SetHostConnected(true);
  return kStatusSuccess;
}

Completions Machine::Cleanup(OpenKey key) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (host_ && *host_ == key) EndHostLocked(kStatusCancelled, out);
  return out;
}

Completions Machine::Close(OpenKey key) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (host_ && *host_ == key) EndHostLocked(kStatusCancelled, out);
  opens_.erase(key);
  return out;
}

int32_t Machine::Refusal(OpenKey key) const {
  if (host_ && *host_ == key) return kStatusSuccess;
  const auto it = opens_.find(key);
  // An open that the device refused (Wine hands out the handle all the
  // same), and one whose connection ended.
  if (it != opens_.end() && it->second == OpenState::kRefused) return kStatusAccessDenied;
  return kStatusDeviceNotConnected;
}

Completions Machine::Control(OpenKey key, Transfer transfer, uint32_t code, const uint8_t* frame, size_t size) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  if (code != kFrameControlCode) {
    out.push_back(Done(transfer, kStatusInvalidDeviceRequest));
    return out;
  }
  emu::Outcome outcome = model_.HandleFrame(frame, size);
  if (outcome.action == emu::Outcome::Action::kDisconnect) {
    // The device goes away from this host in the middle of the request.
    out.push_back(Done(transfer, kStatusDeviceNotConnected));
    EndHostLocked(kStatusDeviceNotConnected, out);
    return out;
  }
  out.push_back(Done(transfer, kStatusSuccess));
  // The new reply takes the place of one that was not read.
  reply_ = std::move(outcome.frame);
  switch (outcome.action) {
    case emu::Outcome::Action::kReply:
      if (outcome.delayMs == 0) {
        state_ = ReplyState::kReady;
      } else {
        state_ = ReplyState::kDelayed;
        due_ = Clock::now() + std::chrono::milliseconds(outcome.delayMs);
      }
      break;
    case emu::Outcome::Action::kNoReply:
      state_ = ReplyState::kWithheld;
      break;
    case emu::Outcome::Action::kLateReply:
      state_ = ReplyState::kLate;
      lateDelayMs_ = outcome.delayMs;
      break;
    case emu::Outcome::Action::kDisconnect:
      break;
  }
  ServeReads(out);
  return out;
}

Completions Machine::Read(OpenKey key, Transfer transfer, uint32_t capacity) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  reads_.push_back(PendingRead{transfer, capacity});
  ServeReads(out);
  return out;
}

Completions Machine::Write(OpenKey key, Transfer transfer, const uint8_t* data, size_t size) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (const int32_t refusal = Refusal(key)) {
    out.push_back(Done(transfer, refusal));
    return out;
  }
  // Any size is taken, as the emulator's endpoint takes it: the library
  // passes a longer NV_SentPrintData through as one write.
  const emu::WritePlan plan = model_.PlanWrite(size);
  // A stall (the endpoint reads nothing from its connection for a while) is,
  // for a driver, a time in which writes stay pending.
  const Clock::time_point now = Clock::now();
  if (plan.stallMs > 0) stalledUntil_ = std::max(stalledUntil_, now + std::chrono::milliseconds(plan.stallMs));
  const Clock::time_point due = std::max(now + std::chrono::milliseconds(plan.delayMs), stalledUntil_);
  if (plan.complete && due <= now) {
    model_.AppendPrintData(data, plan.bytes);
    out.push_back(Done(transfer, kStatusSuccess, plan.bytes));
    return out;
  }
  PendingWrite write{transfer, std::nullopt, std::vector<uint8_t>(data, data + plan.bytes)};
  if (plan.complete) write.due = due;
  writes_.push_back(std::move(write));
  return out;
}

bool Machine::Cancel(Transfer transfer) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto write =
      std::find_if(writes_.begin(), writes_.end(), [&](const PendingWrite& w) { return w.transfer == transfer; });
  if (write != writes_.end()) {
    // A held-back write ends cancelled, having stored nothing.
    writes_.erase(write);
    return false;
  }
  const auto read =
      std::find_if(reads_.begin(), reads_.end(), [&](const PendingRead& r) { return r.transfer == transfer; });
  if (read == reads_.end()) return false;
  const PendingRead pending = *read;
  reads_.erase(read);
  if (state_ == ReplyState::kLate) {
    // The device goes on as if it had not seen the cancel: the read
    // completes later with the reply it was waiting for.
    late_.push_back(LateRead{Clock::now() + std::chrono::milliseconds(lateDelayMs_), pending, std::move(reply_)});
    reply_.clear();
    state_ = ReplyState::kNone;
    return true;
  }
  return false;
}

int32_t Machine::RefusalOf(OpenKey key) {
  std::lock_guard<std::mutex> lock(mu_);
  return Refusal(key);
}

uint64_t Machine::OpenNumber(OpenKey key) {
  std::lock_guard<std::mutex> lock(mu_);
  return host_ && *host_ == key ? hostNumber_ : 0;
}

Completions Machine::DropHost() {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  if (host_) {
    opens_[*host_] = OpenState::kDisconnected;
    EndHostLocked(kStatusDeviceNotConnected, out);
  }
  return out;
}

uint64_t Machine::HostOf() {
  std::lock_guard<std::mutex> lock(mu_);
  return host_ ? hostNumber_ : 0;
}

void Machine::EndHostLocked(int32_t status, Completions& out) {
  for (const PendingRead& read : reads_) out.push_back(Done(read.transfer, status));
  for (const PendingWrite& write : writes_) out.push_back(Done(write.transfer, status));
  // A late completion was cancelled already: it ends without its reply.
  for (const LateRead& late : late_) out.push_back(Done(late.read.transfer, status, 0, {}, true));
  reads_.clear();
  writes_.clear();
  late_.clear();
  reply_.clear();
  state_ = ReplyState::kNone;
  host_.reset();
  model_.SetHostConnected(false);
}

Completion Machine::ReadDone(const PendingRead& read, const std::vector<uint8_t>& frame, bool afterCancel) {
  // A reply longer than the read's room is cut to it: ERROR_MORE_DATA.
  const bool fits = frame.size() <= read.capacity;
  Completion done = Done(read.transfer, fits ? kStatusSuccess : kStatusBufferOverflow, 0, {}, afterCancel);
  done.data.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(fits ? frame.size() : read.capacity));
  done.information = done.data.size();
  return done;
}

void Machine::ServeReads(Completions& out) {
  if (state_ != ReplyState::kReady || reads_.empty()) return;
  const PendingRead read = reads_.front();
  reads_.pop_front();
  state_ = ReplyState::kNone;
  out.push_back(ReadDone(read, reply_, false));
  reply_.clear();
}

Completions Machine::Tick(Clock::time_point now, std::optional<Clock::time_point>& next) {
  Completions out;
  std::lock_guard<std::mutex> lock(mu_);
  const auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (state_ == ReplyState::kDelayed) {
    if (due_ <= now) {
      state_ = ReplyState::kReady;
      ServeReads(out);
    } else {
      consider(due_);
    }
  }
  for (auto it = late_.begin(); it != late_.end();) {
    if (it->due <= now) {
      out.push_back(ReadDone(it->read, it->frame, true));
      it = late_.erase(it);
    } else {
      consider(it->due);
      ++it;
    }
  }
  for (auto it = writes_.begin(); it != writes_.end();) {
    if (it->due && *it->due <= now) {
      model_.AppendPrintData(it->bytes.data(), it->bytes.size());
      out.push_back(Done(it->transfer, kStatusSuccess, it->bytes.size()));
      it = writes_.erase(it);
    } else {
      if (it->due) consider(*it->due);
      ++it;
    }
  }
  return out;
}

}  // namespace norvex::standin
