// transaction_test.cpp: Transact against a scripted driver: the device test,
// the command lock and its timing, the failure lines and records in the log,
// the generic query and function call, and every link mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "lock_holder.h"

namespace norvex {

// UsbLink's handle lock, which this friend of UsbLink reads.
class UsbLinkInspector {
 public:
  static HandleGuard& HandleLock(UsbLink& link) { return link.m_handleGuard; }
};

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kStateReply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1,
                           0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
const Bytes kAck = {0x4D, 0x45, 0x01, 0x10, 0x02, 0x00, 0xC0, 0x01, 0x10, 0x57};
const std::string kErrorNumberGbk = "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5";

// A host whose tick count tells when a command has read the clock before
// its wait for the command lock (so, also, that it passed the device test).
class LockWaitProbeHost : public testing::FakeHost {
 public:
  std::atomic<int> tickReads{0};
  uint32_t TickCount() override {
    const uint32_t read = FakeHost::TickCount();
    ++tickReads;
    return read;
  }
  // Waits until the clock was read `reads` times in all.
  void WaitForTickReads(int reads) {
    while (tickReads.load() < reads) std::this_thread::yield();
  }
};

class TransactionTest : public ::testing::Test {
 protected:
  explicit TransactionTest(uint32_t lockWaitMs = CDeviceLink::kLockWaitMs)
      : lib(host, driver, windows, lockWaitMs) {}

  // The log written since the test's set-up, without time prefixes.
  std::string NewLog() {
    std::string all = host.Log().substr(logStart);
    std::string out;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t lf = all.find('\n', pos);
      std::string line = all.substr(pos, lf - pos + 1);
      pos = lf + 1;
      out += (line.size() > 16 && line[2] == ':' && line[12] == ' ') ? line.substr(16) : line;
    }
    return out;
  }
  void Open() {
    ASSERT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
    logStart = host.Log().size();
  }
  void SetUp() override {
    host.files[host.Ini()] = "[LOG]\nLastTime=2026/12/07\n";
    logStart = host.Log().size();
  }

  LockWaitProbeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  size_t logStart = 0;
  Library lib;
};

TEST_F(TransactionTest, NoDeviceFailsAtOnceWithoutTouchingTheLock) {
  test_support::LockHolder<CommandLock> holder(lib.Link().CommandLockForTests());
  uint8_t buffer[4] = {};
  const uint8_t selector[4] = {0x00, 0x30, 0x00, 0x00};
  EXPECT_EQ(lib.Link().GetStateEx(selector, buffer, 4, 0x10), CTP_ERR_NO_DEVICE);
  holder.Release();
  EXPECT_EQ(NewLog(), "Device disconnect! cmd = 0xC0D0 , addr = 0x10\n" + kErrorNumberGbk +
                          " 0xE0000010\n\tSend:(0xC0D0 , 0x0004 , 0x10)\n\t Rec:(0xC0D1 , 0x0004 , 0x00)\n"
                          "\tData:( 3000 0000 )\n");
  EXPECT_TRUE(driver.written.empty());
}

TEST_F(TransactionTest, GoldenStateQueryEndToEnd) {
  Open();
  driver.QueueReply(kStateReply);
  uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  const uint8_t selector[4] = {0, 0, 0, 0};
  EXPECT_EQ(lib.Link().GetStateEx(selector, buffer, 4, 0x10), NORVEX_OK);
  ASSERT_EQ(driver.written.size(), 1u);
  EXPECT_EQ(driver.written[0],
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0, 0, 0, 0, 0x33, 0x07}));
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(NewLog(), "");
  EXPECT_EQ(driver.lastTimeout, 10000u);
}

TEST_F(TransactionTest, FunctionCallSendsSelectorAndParameters) {
  Open();
  driver.QueueReply(kAck);
  uint8_t request[16] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(lib.Link().FunctionEx(request, 0x10, 0x1000C), NORVEX_OK);  // low 16 bits: 12
  ASSERT_EQ(driver.written.size(), 1u);
  EXPECT_EQ(driver.written[0].size(), 26u);
  EXPECT_EQ(driver.written[0][4], 18);  // length word: 16 data bytes + 2
  EXPECT_EQ(driver.written[0][6], 0xD8);
}

TEST_F(TransactionTest, EachFailureLeavesASummaryLineAndTheFailureText) {
  Open();
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t code;
  } cases[] = {
      {"write fails", [&] { driver.writeResult = 31; }, 31},
      {"no reply", [&] { driver.writeResult = 0; }, 997},
      {"error reply",
       [&] {
         driver.QueueReply(
             {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xC1, 0x01, 0x07, 0x00, 0x00, 0x00, 0x1C, 0x57});
       },
       0xE0100007},
      {"bad checksum",
       [&] {
         driver.QueueReply({0x4D, 0x45, 0x01, 0x10, 0x02, 0x00, 0xC0, 0x01, 0x11, 0x57});
       },
       CTP_ERR_CHECKSUM},
  };
  for (const Case& c : cases) {
    c.arrange();
    logStart = host.Log().size();
    const uint8_t selector[4] = {0x01, 0x00, 0x02, 0x00};
    EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0), c.code) << c.name;
    char summary[128];
    std::snprintf(summary, sizeof(summary),
                  "Communication Fail! cmd = 0xC0D8 , addr = 0x10 , return = 0x%08X\n", c.code);
    const std::string log = NewLog();
    EXPECT_EQ(log.substr(0, std::strlen(summary)), summary) << c.name;
    char number[32];
    std::snprintf(number, sizeof(number), " 0x%08X\n", c.code);
    EXPECT_EQ(log.substr(std::strlen(summary), kErrorNumberGbk.size() + 12), kErrorNumberGbk + number)
        << c.name;
    EXPECT_NE(log.find("\tData:( 0001 0002 )\n"), std::string::npos) << c.name;
    EXPECT_EQ(lib.Link().ErrorInfo(c.code), log.substr(std::strlen(summary))) << c.name;
  }
}

TEST_F(TransactionTest, SlowLockIsLoggedAndRecordedButTheCommandRuns) {
  Open();
  driver.QueueReply(kAck);
  // The command waits for the lock held here; the clock moves on by 8000 ms
  // once it has read it before its wait.
  std::unique_lock<CommandLock> held(lib.Link().CommandLockForTests());
  const int reads = host.tickReads.load();
  test_support::Background<uint32_t> command([&] {
    const uint8_t selector[4] = {};
    return lib.Link().FunctionEx(selector, 0x10, 0);
  });
  host.WaitForTickReads(reads + 1);
  {
    std::lock_guard<std::recursive_mutex> clock(host.mutex);
    host.ticks += 8000;
  }
  held.unlock();
  EXPECT_EQ(command.Result(), NORVEX_OK);
  const std::string log = NewLog();
  EXPECT_EQ(log.substr(0, 67), "Command lock time! cmd = 0xC0D8 , addr = 0x10 , time = 8000(15000)\n");
  EXPECT_EQ(log.substr(67, kErrorNumberGbk.size() + 12), kErrorNumberGbk + " 0xE000000A\n");
  EXPECT_EQ(std::string(lib.Link().ErrorInfo(CTP_ERR_SLOW_LOCK)).substr(0, 8), kErrorNumberGbk);
  EXPECT_EQ(driver.written.size(), 1u);
}

class LockTimeoutTest : public TransactionTest {
 protected:
  LockTimeoutTest() : TransactionTest(50) {}
};

TEST_F(LockTimeoutTest, CommandThatCannotGetTheLockNeverTouchesTheDevice) {
  Open();
  test_support::LockHolder<CommandLock> holder(lib.Link().CommandLockForTests());
  const uint8_t selector[4] = {};
  EXPECT_EQ(lib.Link().FunctionEx(selector, 0x42, 0), CTP_ERR_LOCK_TIMEOUT);
  holder.Release();
  EXPECT_TRUE(driver.written.empty());
  EXPECT_EQ(NewLog().substr(0, 63), "Device lock Timeout! cmd = 0xC0D8 , addr = 0x42 , time = 0(50)\n");
}

TEST_F(TransactionTest, LockTimeZeroLogsEveryCommandThatWaitedAtAll) {
  LockWaitProbeHost zeroHost;
  zeroHost.files[zeroHost.Ini()] = "[LOG]\nLastTime=2026/12/07\nLockTime=0\n";
  testing::FakeDriver otherDriver;
  Library zero(zeroHost, otherDriver, windows);
  zero.Watch().Init(nullptr, nullptr);
  otherDriver.QueueReply(kAck);
  otherDriver.QueueReply(kAck);
  const uint8_t selector[4] = {};
  size_t start = zeroHost.Log().size();
  EXPECT_EQ(zero.Link().FunctionEx(selector, 0x10, 0), NORVEX_OK);
  EXPECT_EQ(zeroHost.Log().size(), start);  // no wait at all: 0 is not above 0
  // A wait of 1 ms: the clock moves on once the command has read it.
  std::unique_lock<CommandLock> held(zero.Link().CommandLockForTests());
  const int reads = zeroHost.tickReads.load();
  test_support::Background<uint32_t> command([&] { return zero.Link().FunctionEx(selector, 0x10, 0); });
  zeroHost.WaitForTickReads(reads + 1);
  {
    std::lock_guard<std::recursive_mutex> clock(zeroHost.mutex);
    zeroHost.ticks += 1;
  }
  held.unlock();
  EXPECT_EQ(command.Result(), NORVEX_OK);
  EXPECT_EQ(zeroHost.Log().substr(start + 16, 64),
            "Command lock time! cmd = 0xC0D8 , addr = 0x10 , time = 1(15000)\n");
}

TEST_F(TransactionTest, OversizeAndOddRequestsAreRefusedAndLogged) {
  Open();
  std::vector<uint8_t> big(503);
  CommandPacket packet{big.data(), 503, nullptr, 0, 0x10, 0x0820, 0, CTP_REPLY_ACK};
  EXPECT_EQ(lib.Link().Transact(packet), NORVEX_ERR_LENGTH_LIMIT);
  packet.requestLength = 7;
  EXPECT_EQ(lib.Link().Transact(packet), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(driver.written.empty());
  EXPECT_NE(NewLog().find("return = 0xA0000027\n"), std::string::npos);
}

// Link modes without a device: the pseudo link is open, frames go to the
// command file in mode 4 and nowhere otherwise, and every read fails on the
// pseudo handle with the invalid-handle error.
TEST_F(TransactionTest, ModesWithoutADevice) {
  for (int32_t mode : {2, 4, 12, 7, -1}) {
    lib.PrintData().SetLinkMode(mode);
    driver.present = false;
    EXPECT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK) << mode;
    EXPECT_EQ(lib.Watch().PortStatus(), NORVEX_OK) << mode;
    const uint8_t selector[4] = {};
    EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0), platform::kErrorInvalidHandle) << mode;
    EXPECT_TRUE(driver.written.empty());
    const std::string commandFile = host.exeFolder + "/CommandFile.bin";
    if (mode == 4) {
      EXPECT_EQ(host.files[commandFile],
                std::string("\x4D\x45\x10\x01\x06\x00\xD8\xC0\x00\x00\x00\x00\x3B\x07", 14));
    }
    EXPECT_EQ(lib.Usb().Close(), NORVEX_OK);
    EXPECT_EQ(host.openForWriting.count(commandFile), 0u) << "command file left open in mode " << mode;
  }
}

TEST_F(TransactionTest, CommandFileThatCannotBeWrittenIsShownAndTheCommandGoesOn) {
  lib.PrintData().SetLinkMode(4);
  lib.Debug().Set("/no/such/folder");
  EXPECT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
  const uint8_t selector[4] = {};
  EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0), platform::kErrorInvalidHandle);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].find("/no/such/folder/CommandFile.bin"), std::string::npos);
}

TEST_F(TransactionTest, CloseReleasesWhatWasOpenedWhateverTheModeIsNow) {
  ASSERT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
  lib.PrintData().SetLinkMode(4);
  EXPECT_EQ(lib.Usb().Close(), NORVEX_OK);
  EXPECT_EQ(driver.closed, driver.opened);  // the USB handle, though the mode says command file
  lib.PrintData().SetLinkMode(4);
  ASSERT_EQ(lib.Watch().OpenDevice(), NORVEX_OK);
  lib.PrintData().SetLinkMode(1);
  EXPECT_EQ(lib.Usb().Close(), NORVEX_OK);
  EXPECT_EQ(host.openForWriting.count(host.exeFolder + "/CommandFile.bin"), 0u);
}

TEST_F(TransactionTest, UsbTimeoutReachesEveryTransfer) {
  Open();
  lib.Settings().usbTimeout = 3000;
  const uint8_t selector[4] = {};
  EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0), platform::kErrorIoPending);
  EXPECT_EQ(driver.lastTimeout, 3000u);
}

// A link opened in USB mode, then switched to command-file mode: the frame
// goes to a command file made for it, not nowhere. A pseudo link opened in
// capture mode does the same.
TEST_F(TransactionTest, CommandFileModeAfterAnOpenInAnotherModeWritesTheFrame) {
  const std::string commandFile = host.exeFolder + "/CommandFile.bin";
  const std::string frame("\x4D\x45\x10\x01\x06\x00\xD8\xC0\x00\x00\x00\x00\x3B\x07", 14);
  for (int32_t openedIn : {1, 2}) {
    SCOPED_TRACE(openedIn);
    host.files.erase(commandFile);
    lib.PrintData().SetLinkMode(openedIn);
    ASSERT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
    lib.PrintData().SetLinkMode(4);
    const uint8_t selector[4] = {};
    // The read still goes to the handle that is open: the device's finds no
    // reply (997), the pseudo handle's fails at once (6).
    EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0),
              openedIn == 1 ? platform::kErrorIoPending : platform::kErrorInvalidHandle);
    EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0),
              openedIn == 1 ? platform::kErrorIoPending : platform::kErrorInvalidHandle);
    EXPECT_EQ(host.files[commandFile], frame + frame);
    EXPECT_TRUE(driver.written.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(lib.Usb().Close(), NORVEX_OK);
    EXPECT_EQ(host.openForWriting.count(commandFile), 0u);
  }
}

// A host whose message box checks, from another thread, that no lock of the
// library is held while it shows: on Windows its message loop runs the hook,
// which opens and closes the link.
class BoxProbeHost : public testing::FakeHost {
 public:
  Library* lib = nullptr;
  std::vector<std::string> heldWhileShown;
  void ShowMessageBox(std::string_view text, platform::MessageIcon icon) override {
    std::thread probe([this] {
      if (lib->Link().CommandLockForTests().try_lock()) {
        lib->Link().CommandLockForTests().unlock();
      } else {
        heldWhileShown.push_back("command lock");
      }
      if (UsbLinkInspector::HandleLock(lib->Usb()).try_lock()) {
        UsbLinkInspector::HandleLock(lib->Usb()).unlock();
      } else {
        heldWhileShown.push_back("handle pin");
      }
    });
    probe.join();
    FakeHost::ShowMessageBox(text, icon);
  }
};

TEST(MessageBoxes, FailedCommandFileWritesAreShownWithNoLockHeld) {
  BoxProbeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib(host, driver, windows);
  host.lib = &lib;
  lib.PrintData().SetLinkMode(4);
  ASSERT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
  host.failWrites = true;
  const uint8_t selector[4] = {};
  EXPECT_EQ(lib.Link().FunctionEx(selector, 0x10, 0), platform::kErrorInvalidHandle);
  CommandPacket raw{selector, 4, nullptr, 0, 0x10, 0xC0D8, 0, CTP_REPLY_ACK};
  EXPECT_EQ(lib.Link().SendCommand(&raw), platform::kErrorInvalidHandle);
  EXPECT_EQ(host.messages.size(), 2u);
  EXPECT_TRUE(host.heldWhileShown.empty()) << host.heldWhileShown.front();
}

// The device removed after a command's device test, while it waits for the
// lock: the pinned handle is tested again, and the command finds no device.
TEST(RemovalRace, CommandWaitingForTheLockWhenTheDeviceGoesFindsNoDevice) {
  LockWaitProbeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib(host, driver, windows);
  ASSERT_EQ(lib.Watch().Init(nullptr, nullptr), NORVEX_OK);
  std::unique_lock<CommandLock> held(lib.Link().CommandLockForTests());
  const int reads = host.tickReads.load();
  test_support::Background<uint32_t> command([&] {
    const uint8_t selector[4] = {};
    return lib.Link().FunctionEx(selector, 0x10, 0);
  });
  host.WaitForTickReads(reads + 1);  // past the device test
  EXPECT_EQ(lib.Usb().Close(), NORVEX_OK);
  held.unlock();
  EXPECT_EQ(command.Result(), CTP_ERR_NO_DEVICE);
  EXPECT_TRUE(driver.written.empty());
  EXPECT_NE(host.Log().find("Device disconnect! cmd = 0xC0D8 , addr = 0x10\n"), std::string::npos);
}

// A reply shorter than a frame's header is checked against fresh zeros, not
// against the bytes of an earlier exchange.
TEST_F(TransactionTest, SendCommandChecksAShortReplyAgainstZeros) {
  Open();
  const uint8_t selector[4] = {};
  uint8_t record[500];
  driver.QueueReply(kStateReply);
  CommandPacket first{selector, 4, record, 4, 0x10, 0xC0D0, 0, 0xC0D1};
  EXPECT_EQ(lib.Link().SendCommand(&first), NORVEX_OK);
  driver.QueueReply(Bytes(kStateReply.begin(), kStateReply.begin() + 4));
  CommandPacket second{selector, 4, record, 4, 0x10, 0xC0D0, 0, 0xC0D1};
  EXPECT_EQ(lib.Link().SendCommand(&second), CTP_ERR_FRAME_LENGTH);
  EXPECT_EQ(second.replyAddress, 0x1001);
  EXPECT_EQ(second.replyLength, 0xFFFFFFFEu);  // length word 0
  EXPECT_EQ(second.replyCommand, 0);
  EXPECT_EQ(NewLog(), "");
}

}  // namespace
}  // namespace norvex
