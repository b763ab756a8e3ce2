// standin_removal_test.cpp: the stand-in driver when its bus, the root
// device, is removed while a host holds a platesetter open. The device of the
// held platesetter outlives the bus (its handle keeps it), but the
// platesetters themselves are gone with the bus: the host's pending read ends
// and every later transfer fails as a gone device's (device not connected),
// and winedevice.exe, which runs the driver, goes on. Under wine with
// scripts/wine-device start, as the last program before its stop (it removes
// the stand-in): NORVEX_STANDIN_TOOL names the 64-bit norvex-standin.exe that
// removes it.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <tlhelp32.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const GUID kInterface = {0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};
constexpr DWORD kSendFrame = 0x222002;
const Bytes kQuery = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07};

std::string FirstInterfacePath() {
  std::string path;
  HDEVINFO set = ::SetupDiGetClassDevsA(&kInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return path;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  if (::SetupDiEnumDeviceInterfaces(set, nullptr, &kInterface, 0, &data)) {
    DWORD buffer[256] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return path;
}

// The running winedevice.exe processes.
int DeviceHosts() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
    count += _stricmp(entry.szExeFile, "winedevice.exe") == 0;
  }
  ::CloseHandle(snapshot);
  return count;
}

// Runs "TOOL remove"; its exit status.
DWORD RemoveTheBus() {
  const char* tool = std::getenv("NORVEX_STANDIN_TOOL");
  if (!tool) return 2;
  std::string command = std::string("\"") + tool + "\" remove";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    return 3;
  }
  ::WaitForSingleObject(process.hProcess, 60000);
  DWORD status = 4;
  ::GetExitCodeProcess(process.hProcess, &status);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return status;
}

// Starts a transfer; the Windows error it ends with within 10 s (0: done,
// WAIT_TIMEOUT: it did not end, and is cancelled).
template <typename Start>
DWORD Ended(HANDLE device, Start start, OVERLAPPED& overlapped) {
  if (start(overlapped)) return 0;
  if (::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
  if (::WaitForSingleObject(overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
    ::CancelIoEx(device, &overlapped);
    DWORD ignored = 0;
    ::GetOverlappedResult(device, &overlapped, &ignored, TRUE);
    return WAIT_TIMEOUT;
  }
  DWORD bytes = 0;
  return ::GetOverlappedResult(device, &overlapped, &bytes, FALSE) ? 0 : ::GetLastError();
}

TEST(StandInRemoval, AHeldPlatesetterOutlivesTheBusAndFailsItsTransfers) {
  const std::string path = FirstInterfacePath();
  ASSERT_FALSE(path.empty()) << "no platesetter plugged in (scripts/wine-device plug)";
  HANDLE device = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << ::GetLastError();
  const int hosts = DeviceHosts();
  ASSERT_GT(hosts, 0);

  // A read without a request waits for a reply that never comes.
  Bytes reply(512, 0);
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED pending{};
  pending.hEvent = event;
  ASSERT_FALSE(::ReadFile(device, reply.data(), 512, nullptr, &pending));
  ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  ASSERT_EQ(RemoveTheBus(), 0u);
  ASSERT_EQ(::WaitForSingleObject(event, 10000), WAIT_OBJECT_0) << "the pending read did not end";
  DWORD bytes = 0;
  EXPECT_FALSE(::GetOverlappedResult(device, &pending, &bytes, FALSE));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  // Each later transfer on the handle fails at once: the platesetter is gone.
  Bytes frame = kQuery;
  const auto fresh = [&]() {
    ::ResetEvent(event);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    return overlapped;
  };
  OVERLAPPED control = fresh();
  EXPECT_EQ(Ended(
                device,
                [&](OVERLAPPED& o) {
                  return ::DeviceIoControl(device, kSendFrame, nullptr, 0, frame.data(),
                                           static_cast<DWORD>(frame.size()), nullptr, &o);
                },
                control),
            static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  OVERLAPPED read = fresh();
  EXPECT_EQ(
      Ended(
          device, [&](OVERLAPPED& o) { return ::ReadFile(device, reply.data(), 512, nullptr, &o); }, read),
      static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  OVERLAPPED write = fresh();
  EXPECT_EQ(
      Ended(
          device, [&](OVERLAPPED& o) { return ::WriteFile(device, frame.data(), 14, nullptr, &o); }, write),
      static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(DeviceHosts(), hosts) << "winedevice.exe, which runs the driver, ended";
  EXPECT_TRUE(::CloseHandle(device));
  ::CloseHandle(event);
  EXPECT_TRUE(FirstInterfacePath().empty());
}

}  // namespace
