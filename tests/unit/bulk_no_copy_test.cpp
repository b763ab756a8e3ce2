// bulk_no_copy_test.cpp: the bulk exports hand the host's own buffer to the
// driver. The NV_ and Norvex_ export sources are built into this program
// around a Library of its own whose driver records the data pointer of every
// bulk write it is asked to start: in link mode 1 each piece must reach the
// driver as the host's pointer (at the piece's offset into the host's
// buffer), never as a pointer into a copy. The driver takes every write at
// once and completes it with all of its bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "exports/export_support.h"
#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "norvex.h"
#include "temp_folder.h"

namespace norvex {
namespace {

// The scripted driver of the unit tests, also noting where each bulk write
// reads its data from.
class PointerRecordingDriver : public testing::FakeDriver {
 public:
  struct Start {
    const void* data;
    uint32_t size;
  };

  PendingWrite StartWrite(platform::Handle device, const void* data, uint32_t size,
                          uint32_t& error) override {
    {
      std::lock_guard<std::mutex> hold(m_startsLock);
      m_starts.push_back({data, size});
    }
    return testing::FakeDriver::StartWrite(device, data, size, error);
  }

  std::vector<Start> TakeStarts() {
    std::lock_guard<std::mutex> hold(m_startsLock);
    std::vector<Start> starts;
    starts.swap(m_starts);
    return starts;
  }

 private:
  std::mutex m_startsLock;
  std::vector<Start> m_starts;
};

struct TestLibrary {
  testing::FakeHost host;
  PointerRecordingDriver driver;
  testing::FakeWindowSystem windows;
  Library library{host, driver, windows};
};

TestLibrary& Instance() {
  static TestLibrary instance;
  return instance;
}

}  // namespace

// What the export sources reach: this program's library instead of the
// shared library's.
Library& TheLibrary() { return Instance().library; }

intptr_t DeviceHookProc(int code, uintptr_t wParam, intptr_t lParam) {
  return TheLibrary().Watch().HookProc(code, wParam, lParam);
}

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPiece = 0x200000;  // 2 MiB

Bytes Pattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

class BulkNoCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Norvex_SetPrintDataSaveIdle(1), NORVEX_OK);
    ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
    ASSERT_NE(TheLibrary().Usb().DeviceHandle(), platform::kInvalidHandle) << "the device must be open";
    driver().TakeStarts();
    {
      std::lock_guard<std::mutex> hold(driver().mutex);
      driver().bulk.clear();
    }
  }

  PointerRecordingDriver& driver() { return Instance().driver; }

  // What the driver was given to send, in order.
  Bytes Sent() {
    std::lock_guard<std::mutex> hold(driver().mutex);
    return driver().bulk;
  }
};

TEST_F(BulkNoCopyTest, SentPrintDataPassesTheHostsPointer) {
  const Bytes data = Pattern(kPiece + 64);
  ASSERT_EQ(NV_SentPrintData(data.data(), kPiece), NORVEX_OK);
  // A piece that starts at an odd address inside the host's buffer.
  ASSERT_EQ(NV_SentPrintData(data.data() + 1, 1000), NORVEX_OK);
  const auto starts = driver().TakeStarts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].data, data.data());
  EXPECT_EQ(starts[0].size, kPiece);
  EXPECT_EQ(starts[1].data, data.data() + 1);
  EXPECT_EQ(starts[1].size, 1000u);
  const Bytes sent = Sent();
  ASSERT_EQ(sent.size(), kPiece + 1000u);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + kPiece, sent.begin()));
  EXPECT_TRUE(std::equal(data.begin() + 1, data.begin() + 1001, sent.begin() + kPiece));
}

TEST_F(BulkNoCopyTest, WriteSdramPiecesPointIntoTheHostsBuffer) {
  const Bytes data = Pattern(3u << 20);  // 3 MiB: a piece of 2 MiB, then one of 1 MiB
  ASSERT_EQ(Norvex_WriteSDRAM(data.data(), 0x180000), NORVEX_OK);
  const auto starts = driver().TakeStarts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].data, data.data());
  EXPECT_EQ(starts[0].size, kPiece);
  EXPECT_EQ(starts[1].data, data.data() + kPiece);
  EXPECT_EQ(starts[1].size, 1u << 20);
  EXPECT_EQ(Sent(), data);
}

TEST_F(BulkNoCopyTest, WriteSdram2PassesTheHostsPointerWaitedOrNot) {
  const Bytes data = Pattern(kPiece);
  uint32_t words = kPiece / 2;
  ASSERT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 0), NORVEX_OK);
  EXPECT_EQ(words, kPiece / 2);

  words = 32;
  ASSERT_EQ(Norvex_WriteSDRAM2(data.data() + 64, &words, 1), NORVEX_OK);
  uint32_t transferred = 0;
  ASSERT_EQ(Norvex_GetWriteSDRAM2Result(&transferred), NORVEX_OK);
  EXPECT_EQ(transferred, 64u);

  const auto starts = driver().TakeStarts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].data, data.data());
  EXPECT_EQ(starts[0].size, kPiece);
  EXPECT_EQ(starts[1].data, data.data() + 64);
  EXPECT_EQ(starts[1].size, 64u);
}

// Mode 3 also captures the bytes; the device's write still reads the host's
// buffer itself.
TEST_F(BulkNoCopyTest, UsbAndCaptureModeStillPassesTheHostsPointer) {
  const Bytes data = Pattern(kPiece);
  // Of this process only: test runs side by side must not share it.
  const test_support::TempFolder folder("norvex-no-copy");
  const std::string capture = folder.Path("capture.tif");
  Instance().host.files[Instance().host.Ini()] += "\n[PrintData]\nCaptureFile=" + capture + "\n";
  ASSERT_EQ(Norvex_SetPrintDataSaveIdle(3), NORVEX_OK);
  const uint32_t result = NV_SentPrintData(data.data(), kPiece);
  ASSERT_EQ(Norvex_SetPrintDataSaveIdle(1), NORVEX_OK);  // completes the capture
  ASSERT_EQ(result, NORVEX_OK);
  const auto starts = driver().TakeStarts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].data, data.data());
  EXPECT_EQ(starts[0].size, kPiece);
}

}  // namespace
}  // namespace norvex
