// hotplug_test.cpp: the library follows the device by itself through the
// window system: arrivals, removals, the window's destruction, and many
// threads sending commands while the device comes and goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "host_window.h"
#include "norvex.h"

namespace {

using norvex::emu::Emulator;
using norvex_api_test::LogReader;
using namespace std::chrono_literals;

// Dispatches the thread's messages until `done` holds or ten seconds pass
// (under wine a notification travels through two other processes first).
template <typename Done>
bool DispatchUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    norvex_api_test::DispatchHostMessages(50);
  }
  return true;
}

uint32_t GeneralState() {
  const uint8_t selector[4] = {0, 0, 0, 0};
  uint8_t record[4];
  return CTP_GetStateEx(selector, record, 4, NORVEX_ADDR_MAIN_UNIT);
}

class HotPlugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Long: a busy machine must not make the commands that are to succeed
    // time out; a device that answers ends the wait.
    Norvex_SetUSBOvertime(10000);
    window = norvex_api_test::CreateHostWindow();
    ASSERT_NE(window, nullptr);
  }
  void TearDown() override {
    emulator.Unplug();
    if (window != nullptr) norvex_api_test::DestroyHostWindow(window);
    Norvex_Init(nullptr);
  }

  Emulator emulator;
  NorvexWindow window = nullptr;
  LogReader log;
};

TEST_F(HotPlugTest, ArrivalRemovalAndReplugFollowTheDevice) {
  EXPECT_EQ(Norvex_Init(window), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(GeneralState(), CTP_ERR_NO_DEVICE);
  log.Mark();

  ASSERT_TRUE(emulator.Plug());
  ASSERT_TRUE(DispatchUntil([] { return Norvex_GetPortStatus() == NORVEX_OK; }));
  EXPECT_EQ(log.NewText(), "Device Arrival!|Open Device!|");
  EXPECT_EQ(GeneralState(), NORVEX_OK);

  emulator.Unplug();
  ASSERT_TRUE(DispatchUntil([] { return Norvex_GetPortStatus() != NORVEX_OK; }));
  EXPECT_EQ(log.NewText(), "Device Remove Complete!|Close Device!|");
  EXPECT_EQ(GeneralState(), CTP_ERR_NO_DEVICE);

  ASSERT_TRUE(emulator.Plug());
  ASSERT_TRUE(DispatchUntil([] { return Norvex_GetPortStatus() == NORVEX_OK; }));
  EXPECT_EQ(GeneralState(), NORVEX_OK);
  log.Mark();

  EXPECT_EQ(norvex_api_test::DestroyHostWindow(window), NORVEX_OK);
  window = nullptr;
  EXPECT_EQ(log.NewText(), "Windows Destroy!|Close Device!|");
  EXPECT_EQ(Norvex_GetPortStatus(), CTP_ERR_NO_DEVICE);
}

TEST_F(HotPlugTest, ArrivalWhileOpenReopens) {
  if (norvex_api_test::OverTcp()) GTEST_SKIP() << "one platesetter behind a TCP address";
  ASSERT_TRUE(emulator.Plug());
  ASSERT_EQ(Norvex_Init(window), NORVEX_OK);
  norvex_api_test::DispatchHostMessages(0);  // the first device's own arrival, still queued
  Emulator second(Emulator::Options{"", "platesetter-1"});
  log.Mark();
  ASSERT_TRUE(second.Plug());
  const std::string reopen = "Device Arrival!|Close Device!|Open Device!|";
#ifdef _WIN32
  // Wine 8 turns each handle notification the window registered (one per
  // open) into a registration for every device event that outlives the
  // handle, so the arrival comes once more for each earlier open: every
  // copy closes and reopens the same way (docs/windows-host-guide.md).
  std::string seen;
  ASSERT_TRUE(DispatchUntil([&] {
    seen += log.NewText();
    return !seen.empty() && seen.size() % reopen.size() == 0 && seen == [&] {
      std::string copies;
      while (copies.size() < seen.size()) copies += reopen;
      return copies;
    }();
  })) << seen;
#else
  ASSERT_TRUE(DispatchUntil([&] { return log.NewText() == reopen; }));
#endif
  // Interface number 0 is still the first device.
  EXPECT_EQ(GeneralState(), NORVEX_OK);
  EXPECT_EQ(second.Model().ConnectionsAccepted(), 0u);
}

#ifndef _WIN32
// Every open registers its handle for the removal, and every close removes
// that registration: after many opens an unplug is one message. Counted by
// the POSIX window stand-in, which says how many messages it delivered; not
// under wine, where Wine 8.0 has no handle notifications
// (docs/wine-stand-in.md).
TEST_F(HotPlugTest, OneRemovalMessageHoweverOftenTheDeviceWasOpened) {
  ASSERT_TRUE(emulator.Plug());
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Norvex_Init(window), NORVEX_OK);
  while (NorvexHost_DispatchMessages(0) > 0) {
  }  // the plug's arrival, still queued: a sixth open
  log.Mark();
  emulator.Unplug();
  uint32_t delivered = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (Norvex_GetPortStatus() == NORVEX_OK && std::chrono::steady_clock::now() < deadline) {
    delivered += NorvexHost_DispatchMessages(50);
  }
  delivered += NorvexHost_DispatchMessages(0);
  EXPECT_EQ(delivered, 1u);
  EXPECT_EQ(log.NewText(), "Device Remove Complete!|Close Device!|");
}
#endif

TEST_F(HotPlugTest, WithoutAWindowUnplugGoesUnnoticed) {
  ASSERT_TRUE(emulator.Plug());
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  emulator.Unplug();
  norvex_api_test::DispatchHostMessages(100);
  EXPECT_EQ(Norvex_GetPortStatus(), NORVEX_OK);
  const uint32_t result = GeneralState();
  EXPECT_TRUE(result == 1167u || result == NORVEX_ERROR_IO_PENDING) << result;
  ASSERT_TRUE(emulator.Plug());
  norvex_api_test::DispatchHostMessages(100);
  EXPECT_EQ(GeneralState(), 1167u);  // the old handle stays; nothing reopens it
}

TEST_F(HotPlugTest, ManyThreadsWhileTheDeviceComesAndGoes) {
  ASSERT_TRUE(emulator.Plug());
  ASSERT_EQ(Norvex_Init(window), NORVEX_OK);
  Norvex_SetUSBOvertime(200);
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<uint32_t> firstUnexpected{0};
  std::atomic<int> successes{0};
  const std::set<uint32_t> allowed = {NORVEX_OK, CTP_ERR_NO_DEVICE, NORVEX_ERROR_IO_PENDING, 1167u,
                                      NORVEX_ERROR_INVALID_HANDLE};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      const uint8_t selector[4] = {static_cast<uint8_t>(t), 0, 0, 0};
      while (!stop) {
        const uint32_t result = t % 2 ? GeneralState() : NV_FunctionEx(selector);
        if (allowed.count(result) == 0 && ++unexpected == 1) firstUnexpected = result;
        if (result == NORVEX_OK) ++successes;
      }
    });
  }
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(30ms);
    emulator.Unplug();
    DispatchUntil([] { return Norvex_GetPortStatus() != NORVEX_OK; });
    ASSERT_TRUE(emulator.Plug());
    DispatchUntil([] { return Norvex_GetPortStatus() == NORVEX_OK; });
  }
  std::this_thread::sleep_for(30ms);
  stop = true;
  for (auto& t : senders) t.join();
  EXPECT_EQ(unexpected.load(), 0) << "the first: " << firstUnexpected.load();
  EXPECT_GT(successes.load(), 0);
  Norvex_SetUSBOvertime(10000);
  EXPECT_EQ(GeneralState(), NORVEX_OK);
}

}  // namespace
