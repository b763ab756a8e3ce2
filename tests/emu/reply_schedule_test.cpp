// reply_schedule_test.cpp: the reply schedule both transports share, at
// times the test chooses: what a stand-in read meets that the socket tests
// do not reach (a connection dropped with late completions still to come),
// and the deadlines themselves, to the millisecond.
#include "emu/reply_schedule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

namespace norvex::emu {
namespace {

using Bytes = std::vector<uint8_t>;
using Schedule = ReplySchedule<int>;  // a read is its number
using Clock = Schedule::Clock;
using std::chrono::milliseconds;

Outcome Reply(Outcome::Action action, Bytes frame, uint32_t delayMs) {
  Outcome outcome;
  outcome.action = action;
  outcome.frame = std::move(frame);
  outcome.delayMs = delayMs;
  return outcome;
}

auto Is(int read) {
  return [read](int r) { return r == read; };
}

TEST(ReplyScheduleTest, ADelayedReplyGoesToTheOldestReadWhenItIsDue) {
  Schedule schedule;
  const Clock::time_point t0{};
  schedule.Take(Reply(Outcome::Action::kReply, {1}, 0), t0);
  // A newer reply takes the place of the unread one.
  schedule.Take(Reply(Outcome::Action::kReply, {2}, 40), t0);
  schedule.AddRead(7);
  schedule.AddRead(8);
  EXPECT_FALSE(schedule.Serve());
  EXPECT_EQ(schedule.NextDue(), t0 + milliseconds(40));
  EXPECT_FALSE(schedule.ServeDelayed(t0 + milliseconds(39)));
  const auto served = schedule.ServeDelayed(t0 + milliseconds(40));
  ASSERT_TRUE(served);
  EXPECT_EQ(served->read, 7);
  EXPECT_EQ(served->frame, Bytes{2});
  EXPECT_FALSE(schedule.NextDue());
  EXPECT_EQ(schedule.Cancel(Is(8), t0), Schedule::CancelResult::kCancelled);
  EXPECT_EQ(schedule.Cancel(Is(8), t0), Schedule::CancelResult::kNotPending);
}

// Reads that a cancel has (the claim fails) are passed over: the reply goes
// to the next read, or stays for a later one when none can take it.
TEST(ReplyScheduleTest, AReplyPassesOverReadsThatCannotTakeIt) {
  Schedule schedule;
  const Clock::time_point t0{};
  schedule.AddRead(1);
  schedule.AddRead(2);
  schedule.Take(Reply(Outcome::Action::kReply, {5}, 10), t0);
  std::vector<int> asked;
  const auto served = schedule.ServeDelayed(t0 + milliseconds(10), [&](int read) {
    asked.push_back(read);
    return read != 1;
  });
  ASSERT_TRUE(served);
  EXPECT_EQ(served->read, 2);
  EXPECT_EQ(served->frame, Bytes{5});
  EXPECT_EQ(asked, (std::vector<int>{1, 2}));
  EXPECT_EQ(schedule.Cancel(Is(1), t0), Schedule::CancelResult::kNotPending);

  schedule.AddRead(3);
  schedule.Take(Reply(Outcome::Action::kReply, {6}, 0), t0);
  EXPECT_FALSE(schedule.Serve([](int) { return false; }));
  schedule.AddRead(4);
  const auto kept = schedule.Serve();
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->read, 4);
  EXPECT_EQ(kept->frame, Bytes{6});
}

TEST(ReplyScheduleTest, ALateReplyCompletesItsCancelledReadAndADropHandsItBack) {
  Schedule schedule;
  const Clock::time_point t0{};
  schedule.AddRead(1);
  schedule.AddRead(2);
  schedule.Take(Reply(Outcome::Action::kLateReply, {9}, 30), t0);
  EXPECT_FALSE(schedule.Serve());
  EXPECT_EQ(schedule.Cancel(Is(1), t0 + milliseconds(5)), Schedule::CancelResult::kKeptLate);
  // The late reply is spent: the next cancel ends its read at once.
  EXPECT_EQ(schedule.Cancel(Is(2), t0), Schedule::CancelResult::kCancelled);
  EXPECT_EQ(schedule.NextDue(), t0 + milliseconds(35));
  EXPECT_TRUE(schedule.TakeLate(t0 + milliseconds(34)).empty());
  const auto late = schedule.TakeLate(t0 + milliseconds(35));
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].read, 1);
  EXPECT_EQ(late[0].frame, Bytes{9});

  // A connection that ends hands back the reads that wait and the late ones.
  schedule.AddRead(3);
  schedule.Take(Reply(Outcome::Action::kLateReply, {9}, 30), t0);
  EXPECT_EQ(schedule.Cancel(Is(3), t0), Schedule::CancelResult::kKeptLate);
  schedule.AddRead(4);
  const Schedule::Dropped dropped = schedule.Drop();
  EXPECT_EQ(std::vector<int>(dropped.waiting.begin(), dropped.waiting.end()), std::vector<int>{4});
  EXPECT_EQ(dropped.late, std::vector<int>{3});
  EXPECT_FALSE(schedule.NextDue());
  schedule.AddRead(5);
  EXPECT_FALSE(schedule.Serve());
}

}  // namespace
}  // namespace norvex::emu
