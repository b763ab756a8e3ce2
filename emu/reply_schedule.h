// reply_schedule.h: what becomes of the reply to the host's last request
// frame, and the reads that wait for it. Both transports of the device model
// keep one: the socket endpoint (endpoint_server.cpp) and the stand-in driver
// (windows/driver/standin_machine.cpp). It sends and completes nothing
// itself: it hands out the reads and frames that are to complete, and each
// transport completes them its own way. Times come from the caller.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "emu/device_model.h"

namespace norvex::emu {

// `Read` is the transport's record of a pending read: what it completes and
// the read's capacity; the schedule only keeps it in order.
template <typename Read>
class ReplySchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // A read that completes with `frame` (cut to its capacity by the transport).
  struct Delivery {
    Read read;
    std::vector<uint8_t> frame;
  };
  enum class CancelResult {
    kNotPending,  // no such read waits (it completed, or never began)
    kCancelled,   // the read is taken off: it ends cancelled now
    kKeptLate,    // the read is kept: it completes later with the late reply
  };
  // What a dropped connection leaves: the reads that waited and the reads
  // whose late completion was still to come, each oldest first.
  struct Dropped {
    std::deque<Read> waiting;
    std::vector<Read> late;
  };

  // The reply of a request frame the model handled, at `now`. A disconnect
  // is no reply: the transport ends the connection instead. The new reply
  // takes the place of one that was not read.
  void Take(Outcome outcome, Clock::time_point now) {
    m_reply = std::move(outcome.frame);
    switch (outcome.action) {
      case Outcome::Action::kReply:
        if (outcome.delayMs == 0) {
          m_state = State::kReady;
        } else {
          m_state = State::kDelayed;
          m_due = now + std::chrono::milliseconds(outcome.delayMs);
        }
        break;
      case Outcome::Action::kNoReply:
        m_state = State::kWithheld;
        break;
      case Outcome::Action::kLateReply:
        m_state = State::kLate;
        m_lateDelayMs = outcome.delayMs;
        break;
      case Outcome::Action::kDisconnect:
        break;
    }
  }

  // A read that waits for a reply, after those that wait already.
  void AddRead(const Read& read) { m_reads.push_back(read); }

  // A ready reply goes to the oldest waiting read.
  std::optional<Delivery> Serve() {
    return Serve([](const Read&) { return true; });
  }
  // The same, for a transport whose reads can be on their way out (a cancel
  // has them): `claim(read)` false takes such a read off without the reply,
  // which goes to the next read, or stays for a later one.
  template <typename Claim>
  std::optional<Delivery> Serve(Claim claim) {
    while (m_state == State::kReady && !m_reads.empty()) {
      const Read read = m_reads.front();
      m_reads.pop_front();
      if (!claim(read)) continue;
      Delivery delivery{read, std::move(m_reply)};
      m_reply.clear();
      m_state = State::kNone;
      return delivery;
    }
    return std::nullopt;
  }

  // A cancel of the waiting read that `match` picks, at `now`. While the
  // reply is a late one, the device goes on as if it had not seen the
  // cancel: the read completes later with the reply it was waiting for.
  template <typename Match>
  CancelResult Cancel(Match match, Clock::time_point now) {
    const auto it = std::find_if(m_reads.begin(), m_reads.end(), match);
    if (it == m_reads.end()) return CancelResult::kNotPending;
    const Read read = *it;
    m_reads.erase(it);
    if (m_state != State::kLate) return CancelResult::kCancelled;
    m_late.push_back(Late{now + std::chrono::milliseconds(m_lateDelayMs), read, std::move(m_reply)});
    m_reply.clear();
    m_state = State::kNone;
    return CancelResult::kKeptLate;
  }

  // The earliest time at which ServeDelayed or TakeLate has something to do.
  std::optional<Clock::time_point> NextDue() const {
    std::optional<Clock::time_point> next;
    if (m_state == State::kDelayed) next = m_due;
    for (const Late& late : m_late) {
      if (!next || late.due < *next) next = late.due;
    }
    return next;
  }

  // A delayed reply that is due by `now` becomes ready and goes to the
  // oldest waiting read, if one waits.
  std::optional<Delivery> ServeDelayed(Clock::time_point now) {
    return ServeDelayed(now, [](const Read&) { return true; });
  }
  template <typename Claim>
  std::optional<Delivery> ServeDelayed(Clock::time_point now, Claim claim) {
    if (m_state != State::kDelayed || m_due > now) return std::nullopt;
    m_state = State::kReady;
    return Serve(claim);
  }

  // The late completions due by `now`, oldest first; they leave the schedule.
  std::vector<Delivery> TakeLate(Clock::time_point now) {
    std::vector<Delivery> due;
    for (auto it = m_late.begin(); it != m_late.end();) {
      if (it->due > now) {
        ++it;
        continue;
      }
      due.push_back(Delivery{it->read, std::move(it->frame)});
      it = m_late.erase(it);
    }
    return due;
  }

  // The connection ended: no reply is left, and the reads are handed back.
  Dropped Drop() {
    Dropped dropped;
    dropped.waiting = std::move(m_reads);
    for (const Late& late : m_late) dropped.late.push_back(late.read);
    m_reads.clear();
    m_late.clear();
    m_reply.clear();
    m_state = State::kNone;
    return dropped;
  }

 private:
  enum class State {
    kNone,      // no reply to give; a read waits
    kReady,     // the next read takes `m_reply`
    kDelayed,   // `m_reply` becomes ready at `m_due`
    kWithheld,  // the reply never comes
    kLate,      // `m_reply` goes to a read only after that read's cancel
  };
  struct Late {
    Clock::time_point due;
    Read read;
    std::vector<uint8_t> frame;
  };

  State m_state = State::kNone;
  std::vector<uint8_t> m_reply;
  Clock::time_point m_due{};
  uint32_t m_lateDelayMs = 0;
  std::deque<Read> m_reads;
  std::vector<Late> m_late;
};

}  // namespace norvex::emu
