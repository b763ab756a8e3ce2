// device_watch_test.cpp: Norvex_Init and the hot-plug hook against a recording
// window system: what is registered and hooked, and which log lines each
// message leaves.
#include <gtest/gtest.h>

#include <new>

#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"

namespace norvex {
namespace {

intptr_t UnusedHook(int, uintptr_t, intptr_t) { return 0; }

class DeviceWatchTest : public ::testing::Test {
 protected:
  DeviceWatchTest() : lib(host, driver, windows) {}

  std::string NewLines() {
    std::string all = host.Log().substr(logStart);
    logStart = host.Log().size();
    std::string out;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t lf = all.find('\n', pos);
      out += all.substr(pos + 16, lf - pos - 16) + "|";
      pos = lf + 1;
    }
    return out;
  }
  intptr_t Send(platform::Window to, uint32_t message, uintptr_t wParam, const void* broadcast,
                int code = 0) {
    platform::HookMessage record{reinterpret_cast<intptr_t>(broadcast), wParam, message, to};
    return lib.Watch().HookProc(code, 0, reinterpret_cast<intptr_t>(&record));
  }
  platform::BroadcastDeviceInterface Arrival(const platform::Guid& guid = kDeviceInterfaceGuid,
                                             uint32_t type = platform::kDbtDevtypDeviceInterface) {
    platform::BroadcastDeviceInterface b{};
    b.header = {32, type, 0};
    b.classGuid = guid;
    return b;
  }
  platform::BroadcastHandle Removal(platform::Handle handle) {
    platform::BroadcastHandle b{};
    b.header = {44, platform::kDbtDevtypHandle, 0};
    b.handle = handle;
    return b;
  }
  void SetUp() override {
    host.files[host.Ini()] = "[LOG]\nLastTime=2026/12/07\n";
    logStart = host.Log().size();
  }

  testing::FakeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib;
  size_t logStart = 0;
  platform::Window window = reinterpret_cast<platform::Window>(0x1234);
};

TEST_F(DeviceWatchTest, InitWithoutWindowOpensButWatchesNothing) {
  lib.Store(5);
  EXPECT_EQ(lib.Watch().Init(nullptr, &UnusedHook), NORVEX_OK);
  EXPECT_EQ(lib.LastResult(), NORVEX_OK);
  EXPECT_TRUE(windows.hooks.empty());
  EXPECT_TRUE(windows.interfaceRegistrations.empty());
  EXPECT_EQ(NewLines(), "Open Device!|");
  EXPECT_EQ(lib.Watch().PortStatus(), NORVEX_OK);
}

TEST_F(DeviceWatchTest, InitWithWindowAndNoDeviceKeepsTheWatchForALaterArrival) {
  driver.present = false;
  lib.Store(9);
  EXPECT_EQ(lib.Watch().Init(window, &UnusedHook), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(lib.LastResult(), NORVEX_OK);
  EXPECT_EQ(lib.Watch().OpenError(), platform::kErrorNoMoreItems);
  EXPECT_EQ(lib.Watch().PortStatus(), CTP_ERR_NO_DEVICE);
  ASSERT_EQ(windows.hooks.size(), 1u);
  ASSERT_EQ(windows.interfaceRegistrations.size(), 1u);
  EXPECT_EQ(NewLines(), "");

  driver.present = true;
  lib.Store(9);
  auto arrival = Arrival();
  EXPECT_EQ(Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival), 0x77);
  EXPECT_EQ(NewLines(), "Device Arrival!|Open Device!|");
  EXPECT_EQ(lib.LastResult(), NORVEX_OK);
  EXPECT_EQ(lib.Watch().PortStatus(), NORVEX_OK);
  ASSERT_EQ(windows.handleRegistrations.size(), 1u);
  EXPECT_EQ(windows.handleRegistrations[0].device, lib.Usb().DeviceHandle());
  EXPECT_EQ(windows.handleRegistrations[0].window, window);
}

TEST_F(DeviceWatchTest, HotPlugSequencesAndTheirLogLines) {
  ASSERT_EQ(lib.Watch().Init(window, &UnusedHook), NORVEX_OK);
  NewLines();
  auto arrival = Arrival();

  // An arrival while open closes and reopens.
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival);
  EXPECT_EQ(NewLines(), "Device Arrival!|Close Device!|Open Device!|");

  // The removal of another handle is ignored; of the open one closes.
  auto other = Removal(0xABCD);
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceRemoveComplete, &other);
  EXPECT_EQ(NewLines(), "");
  auto removal = Removal(lib.Usb().DeviceHandle());
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceRemoveComplete, &removal);
  EXPECT_EQ(NewLines(), "Device Remove Complete!|Close Device!|");
  EXPECT_EQ(lib.Watch().PortStatus(), CTP_ERR_NO_DEVICE);

  // Arrivals of other classes and kinds, and messages for other windows.
  platform::Guid volume = kDeviceInterfaceGuid;
  volume.data1 ^= 1;
  auto otherClass = Arrival(volume);
  auto port = Arrival(kDeviceInterfaceGuid, 3);
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &otherClass);
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &port);
  Send(reinterpret_cast<platform::Window>(0x999), platform::kWmDeviceChange, platform::kDbtDeviceArrival,
       &arrival);
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival, -1);
  EXPECT_EQ(NewLines(), "");
  EXPECT_EQ(lib.Watch().PortStatus(), CTP_ERR_NO_DEVICE);

  // Destroying the window: the line, and a close only when open.
  Send(window, platform::kWmDestroy, 0, nullptr);
  EXPECT_EQ(NewLines(), "Windows Destroy!|");
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival);
  NewLines();
  Send(window, platform::kWmDestroy, 0, nullptr);
  EXPECT_EQ(NewLines(), "Windows Destroy!|Close Device!|");
  // Every call went on to the next hook.
  EXPECT_EQ(windows.nextHookCalls, 10);
}

TEST_F(DeviceWatchTest, SecondInitReplacesTheWatch) {
  lib.Watch().Init(window, &UnusedHook);
  auto second = reinterpret_cast<platform::Window>(0x5678);
  lib.Watch().Init(second, &UnusedHook);
  // The first window's interface registration, and the first handle's.
  EXPECT_EQ(windows.unregistered.size(), 2u);
  EXPECT_EQ(windows.removedHooks.size(), 1u);
  auto arrival = Arrival();
  NewLines();
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival);
  EXPECT_EQ(NewLines(), "");  // the first window is no longer watched
  Send(second, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival);
  EXPECT_EQ(NewLines(), "Device Arrival!|Close Device!|Open Device!|");
}

TEST_F(DeviceWatchTest, UnloadRemovesTheWatchAndClosesTheDeviceQuietly) {
  testing::FakeHost ownHost;
  testing::FakeDriver ownDriver;
  testing::FakeWindowSystem ownWindows;
  size_t before = 0;
  {
    Library other(ownHost, ownDriver, ownWindows);
    other.Watch().Init(window, &UnusedHook);
    before = ownHost.Log().size();
  }
  EXPECT_EQ(ownWindows.unregistered.size(), 2u);  // the window's and the handle's
  EXPECT_TRUE(ownWindows.LiveHandleRegistrations().empty());
  EXPECT_EQ(ownWindows.removedHooks.size(), 1u);
  EXPECT_EQ(ownDriver.closed, ownDriver.opened);
  EXPECT_EQ(ownHost.Log().substr(before + 16), "Application Close!\n");
}

// Every open registers the handle for its removal, every close removes that
// registration again: after many opens one unplug is one removal message.
TEST_F(DeviceWatchTest, OneRemovalRegistrationPerOpenHandle) {
  ASSERT_EQ(lib.Watch().Init(window, &UnusedHook), NORVEX_OK);
  auto arrival = Arrival();
  for (int i = 0; i < 4; ++i) Send(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival, &arrival);
  ASSERT_EQ(windows.handleRegistrations.size(), 5u);
  auto live = windows.LiveHandleRegistrations();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].device, lib.Usb().DeviceHandle());
  auto removal = Removal(lib.Usb().DeviceHandle());
  Send(window, platform::kWmDeviceChange, platform::kDbtDeviceRemoveComplete, &removal);
  EXPECT_TRUE(windows.LiveHandleRegistrations().empty());
  EXPECT_EQ(driver.closed, driver.opened);
}

// Unload waits a bounded time for a pin that is never released (its thread
// was ended in the middle of an exchange), then closes the handle anyway.
TEST_F(DeviceWatchTest, UnloadDoesNotWaitForeverForAPinThatIsNeverReleased) {
  testing::FakeHost ownHost;
  testing::FakeDriver ownDriver;
  testing::FakeWindowSystem ownWindows;
  // The pin of an exchange whose thread is gone: built in place and never
  // destroyed, as nothing runs its destructor at process exit.
  alignas(UsbLink::Pin) unsigned char orphan[sizeof(UsbLink::Pin)];
  {
    Library other(ownHost, ownDriver, ownWindows);
    ASSERT_EQ(other.Watch().Init(nullptr, &UnusedHook), NORVEX_OK);
    new (orphan) UsbLink::Pin(other.Usb());
  }
  EXPECT_EQ(ownDriver.closed, ownDriver.opened);
}

}  // namespace
}  // namespace norvex
