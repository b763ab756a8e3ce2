// standin_test.cpp: the platesetter stand-in driver itself, through the
// Windows calls a host makes (SetupAPI, CreateFileA, DeviceIoControl,
// ReadFile, WriteFile, CancelIoEx), against the transfer rules that the
// emulator follows on Linux (emu/README.md, docs/device-protocol.md): the
// frame of a control request, one whole reply frame per read, bulk writes
// into print memory, cancels, late replies, refused and dropped opens.
// Under wine with scripts/wine-device install (scripts/test-wine-standin).
#include <windows.h>
// clang-format off
#include <setupapi.h>
// clang-format on

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "emu/emulator.h"

namespace {

using norvex::emu::BulkWriteFault;
using norvex::emu::BulkWriteFaultKind;
using norvex::emu::Emulator;
using norvex::emu::Fault;
using norvex::emu::FaultKind;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const GUID kInterface = {0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};
constexpr DWORD kSendFrame = 0x222002;

// The general-state query and its answer, byte for byte as in
// docs/device-protocol.md ("A session, byte for byte").
const Bytes kQuery = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07};
const Bytes kReply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};

// The interface paths SetupAPI lists for the platesetter class.
std::vector<std::string> InterfacePaths() {
  std::vector<std::string> paths;
  HDEVINFO set = ::SetupDiGetClassDevsA(&kInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &kInterface, i, &data); ++i) {
    DWORD buffer[256] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr)) {
      paths.emplace_back(detail->DevicePath);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return paths;
}

HANDLE Open(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// One overlapped transfer: started by `start`, waited for at most `waitMs`,
// then (when `cancel`) cancelled. The Windows error it ended with (0: done)
// and the bytes it moved.
struct Outcome {
  DWORD error = 0;
  DWORD bytes = 0;
};
template <typename Start>
Outcome Transfer(HANDLE device, Start start, DWORD waitMs = 5000, bool cancel = false) {
  Outcome outcome;
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  if (!start(overlapped) && ::GetLastError() != ERROR_IO_PENDING) {
    outcome.error = ::GetLastError();
  } else {
    if (::WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0 && cancel) ::CancelIoEx(device, &overlapped);
    if (!::GetOverlappedResult(device, &overlapped, &outcome.bytes, TRUE)) outcome.error = ::GetLastError();
  }
  ::CloseHandle(event);
  return outcome;
}

Outcome Control(HANDLE device, Bytes frame, DWORD code = kSendFrame) {
  return Transfer(device, [&](OVERLAPPED& o) {
    return ::DeviceIoControl(device, code, nullptr, 0, frame.data(), static_cast<DWORD>(frame.size()),
                             nullptr, &o);
  });
}

Outcome Read(HANDLE device, Bytes& buffer, DWORD waitMs = 5000, bool cancel = false) {
  return Transfer(
      device,
      [&](OVERLAPPED& o) {
        return ::ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &o);
      },
      waitMs, cancel);
}

Outcome Write(HANDLE device, const Bytes& data, DWORD waitMs = 5000, bool cancel = false) {
  return Transfer(
      device,
      [&](OVERLAPPED& o) {
        return ::WriteFile(device, data.data(), static_cast<DWORD>(data.size()), nullptr, &o);
      },
      waitMs, cancel);
}

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
    const std::vector<std::string> paths = InterfacePaths();
    ASSERT_EQ(paths.size(), 1u);
    path = paths[0];
    device = Open(path);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << ::GetLastError();
    ASSERT_TRUE(emulator.Model().WaitForHost(true, 2000ms));
  }
  void TearDown() override {
    if (device != INVALID_HANDLE_VALUE) ::CloseHandle(device);
    emulator.Unplug();
  }

  Emulator emulator;
  std::string path;
  HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(StandInTest, InterfaceComesAndGoesWithThePlatesetter) {
  EXPECT_EQ(path.rfind("\\\\?\\norvex#platesetter#platesetter-0#{d6cf936e-e78b-477e-afcd-697a2109e095}", 0),
            0u)
      << path;
  emulator.Unplug();
  EXPECT_TRUE(InterfacePaths().empty());
  // The handle still open fails its transfers: the device is not connected.
  EXPECT_EQ(Control(device, kQuery).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  ::CloseHandle(device);
  device = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(emulator.Plug());
  EXPECT_EQ(InterfacePaths().size(), 1u);
}

TEST_F(StandInTest, ControlRequestTakesTheFrameAndAReadGivesOneWholeReply) {
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  ASSERT_EQ(emulator.Model().ReceivedFrames(), std::vector<Bytes>{kQuery});
  Bytes buffer(512, 0xEE);
  const Outcome read = Read(device, buffer);
  EXPECT_EQ(read.error, 0u);
  EXPECT_EQ(Bytes(buffer.data(), buffer.data() + read.bytes), kReply);
  // Another control code is not the device's.
  EXPECT_EQ(Control(device, kQuery, 0x222006).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
}

TEST_F(StandInTest, AReplyLongerThanTheReadIsCutWithMoreData) {
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  Bytes buffer(8, 0);
  const Outcome read = Read(device, buffer);
  EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(buffer, Bytes(kReply.begin(), kReply.begin() + 8));
}

TEST_F(StandInTest, APendingReadIsCancelledAndALateReplyComesAfterItsCancel) {
  emulator.Model().InjectFault(Fault{FaultKind::kNoReply});
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  Bytes buffer(512, 0);
  EXPECT_EQ(Read(device, buffer, 50, true).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  emulator.Model().InjectFault(Fault{FaultKind::kLateReply, 0, 1, std::nullopt, std::nullopt, 100});
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  const Outcome late = Read(device, buffer, 50, true);
  EXPECT_EQ(late.error, 0u);
  EXPECT_EQ(Bytes(buffer.data(), buffer.data() + late.bytes), kReply);
}

// A write goes whole into print memory, also one above 2 MiB, as the
// emulator's endpoint takes it; writes append.
TEST_F(StandInTest, BulkWritesGoWholeToPrintMemory) {
  Bytes data(2 * 1024 * 1024 + 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
  const Outcome write = Write(device, data);
  EXPECT_EQ(write.error, 0u);
  EXPECT_EQ(write.bytes, data.size());
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
  const Bytes more(4096, 0xA5);
  EXPECT_EQ(Write(device, more).error, 0u);
  data.insert(data.end(), more.begin(), more.end());
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
}

TEST_F(StandInTest, AWriteHeldBackIsCancelledAndStoresNothing) {
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kNoCompletion});
  const Outcome write = Write(device, Bytes(4096, 0x5A), 50, true);
  EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(write.bytes, 0u);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 10, 1000});
  const Outcome partial = Write(device, Bytes(4096, 0x5A));
  EXPECT_EQ(partial.error, 0u);
  EXPECT_EQ(partial.bytes, 1000u);
  EXPECT_EQ(emulator.Model().PrintMemory(), Bytes(1000, 0x5A));
}

TEST_F(StandInTest, ASecondOpenerIsRefusedOnEveryTransfer) {
  // Wine hands the second opener a handle; the device refuses its transfers.
  HANDLE second = Open(path);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Control(second, kQuery).error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  Bytes buffer(512, 0);
  EXPECT_EQ(Read(second, buffer).error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ::CloseHandle(second);
  EXPECT_EQ(emulator.Model().BusyRefusals(), 1u);
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
  // The host is not disturbed.
  EXPECT_EQ(Control(device, kQuery).error, 0u);
}

TEST_F(StandInTest, ADroppedHostFailsPendingAndLaterTransfers) {
  emulator.Model().InjectFault(Fault{FaultKind::kNoReply});
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  Bytes buffer(512, 0);
  Outcome pending;
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  ASSERT_FALSE(::ReadFile(device, buffer.data(), 512, nullptr, &overlapped));
  ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  emulator.DropHost();
  EXPECT_FALSE(::GetOverlappedResult(device, &overlapped, &pending.bytes, TRUE));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  ::CloseHandle(event);
  EXPECT_TRUE(emulator.Model().WaitForHost(false, 2000ms));
  EXPECT_EQ(Control(device, kQuery).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  // A new open is granted.
  ::CloseHandle(device);
  device = Open(path);
  EXPECT_EQ(Control(device, kQuery).error, 0u);
}

// Reads and writes, each cancelled at a random moment around its completion
// (the stand-in's clock completes each 1 ms after it came), so that cancels
// meet completions in the driver: each transfer ends exactly once, done or
// cancelled; the print memory holds exactly the writes reported done (a
// write whose completion the clock took while its cancel completed it
// stored its data although it ended cancelled); and the device still answers
// afterwards.
TEST_F(StandInTest, TransfersCancelledAtRandomMomentsEndOnceAndKeepThePrintMemoryTrue) {
  emulator.Model().InjectBulkWriteFault(
      BulkWriteFault{BulkWriteFaultKind::kSlow, 1, 0, Fault::kUntilCleared});
  emulator.Model().InjectFault(
      Fault{FaultKind::kDelay, 0, Fault::kUntilCleared, std::nullopt, std::nullopt, 1});
  std::mt19937 random(20261210);
  Bytes stored;
  int done = 0, cancelled = 0;
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 600; ++i) {
    const bool write = i % 2 == 0;
    Bytes data(write ? 100 + random() % 4000 : 512, static_cast<uint8_t>(i));
    if (!write) {
      ASSERT_EQ(Control(device, kQuery).error, 0u) << i;
    }
    ::ResetEvent(event);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const DWORD size = static_cast<DWORD>(data.size());
    const BOOL started = write ? ::WriteFile(device, data.data(), size, nullptr, &overlapped)
                               : ::ReadFile(device, data.data(), size, nullptr, &overlapped);
    ASSERT_TRUE(started || ::GetLastError() == ERROR_IO_PENDING) << i << ": " << ::GetLastError();
    // The cancel comes at once, or after 1 or 2 ms unless the transfer ended
    // before. The wait is the system's: under Wine's WoW64 a thread that runs
    // its own 32-bit code when the system interrupts it for an I/O completion
    // may lose its thread block (a page fault at fs:0x18 in ntdll, with any
    // driver), so the test never spins while its transfers complete.
    ::WaitForSingleObject(event, static_cast<DWORD>(random() % 3));
    ::CancelIoEx(device, &overlapped);
    ASSERT_EQ(::WaitForSingleObject(event, 10000), WAIT_OBJECT_0) << "transfer " << i << " never ended";
    DWORD bytes = 0;
    if (::GetOverlappedResult(device, &overlapped, &bytes, FALSE)) {
      ++done;
      if (write) {
        EXPECT_EQ(bytes, size) << i;
        stored.insert(stored.end(), data.begin(), data.end());
      } else {
        EXPECT_EQ(Bytes(data.data(), data.data() + bytes), kReply) << i;
      }
    } else {
      ++cancelled;
      EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED)) << i;
    }
  }
  ::CloseHandle(event);
  std::printf("%d transfers done, %d cancelled\n", done, cancelled);
  EXPECT_EQ(emulator.Model().PrintMemory(), stored);
  emulator.Model().ClearFaults();
  emulator.Model().ClearBulkWriteFaults();
  EXPECT_EQ(Control(device, kQuery).error, 0u);
  Bytes buffer(512, 0);
  const Outcome read = Read(device, buffer);
  EXPECT_EQ(read.error, 0u);
  EXPECT_EQ(Bytes(buffer.data(), buffer.data() + read.bytes), kReply);
}

}  // namespace
