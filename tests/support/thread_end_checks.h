// thread_end_checks.h: what the ThreadEndWatch of every platform does, for
// the platform tests of each build: a holding is told once, on its own
// thread, when that thread ends; a holding given up is never told.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace norvex::test_support {

// A holding that notes whether, and on which thread, it was told.
struct NotedHolding final : platform::ThreadHolding {
  std::atomic<int> told{0};
  std::thread::id on;
  void ThreadEnded() override {
    on = std::this_thread::get_id();
    ++told;
  }
};

inline void ExpectHoldingsToldAtTheirThreadsEnd(platform::ThreadEndWatch& watch) {
  NotedHolding first;
  NotedHolding dropped;
  std::thread::id firstThread;
  std::thread([&] {
    firstThread = std::this_thread::get_id();
    EXPECT_EQ(watch.Holding(), nullptr);
    ASSERT_TRUE(watch.Hold(&first));
    EXPECT_EQ(watch.Holding(), &first);
  }).join();
  EXPECT_EQ(first.told, 1);
  EXPECT_EQ(first.on, firstThread);
  std::thread([&] {
    ASSERT_TRUE(watch.Hold(&dropped));
    ASSERT_TRUE(watch.Hold(nullptr));
  }).join();
  EXPECT_EQ(dropped.told, 0);
  EXPECT_EQ(watch.Holding(), nullptr);  // the calling thread holds none
}

}  // namespace norvex::test_support
