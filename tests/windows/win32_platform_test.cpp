// win32_platform_test.cpp: the win32 platform layer on its own, run under
// wine64: overlapped transfers, their time-outs and cancels on named pipes
// standing in for the device, error numbers passed through, the profile
// (INI) functions, files with share modes, folders, and the message hook.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_api.h"
#include "thread_end_checks.h"

namespace norvex::platform {
namespace {

std::string TempPath(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + name;
}

// A named pipe: the server end is the test's, the client end, opened for
// overlapped I/O as the device is, goes to the driver.
class PipeDevice {
 public:
  explicit PipeDevice(DWORD bufferSize = 4096) {
    static std::atomic<int> counter{0};
    const std::string name =
        "\\\\.\\pipe\\norvex_test_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
    m_server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, bufferSize,
                                bufferSize, 0, nullptr);
    m_client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
  ~PipeDevice() {
    if (m_client != INVALID_HANDLE_VALUE) CloseHandle(m_client);
    if (m_server != INVALID_HANDLE_VALUE) CloseHandle(m_server);
  }
  bool ok() const { return m_server != INVALID_HANDLE_VALUE && m_client != INVALID_HANDLE_VALUE; }
  Handle device() const { return win32::FromNative(m_client); }
  HANDLE server() const { return m_server; }
  bool Send(const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(m_server, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }
  std::string Receive(DWORD size) {
    std::string bytes(size, '\0');
    DWORD got = 0;
    if (!ReadFile(m_server, bytes.data(), size, &got, nullptr)) return "<failed>";
    bytes.resize(got);
    return bytes;
  }

 private:
  HANDLE m_server = INVALID_HANDLE_VALUE;
  HANDLE m_client = INVALID_HANDLE_VALUE;
};

const Handle kBogusHandle = 0x7FFF1230;
const Guid kNoSuchClass = {0x0BADC0DE, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(Win32Driver, OpeningAClassWithoutDevicesReportsNoMoreItems) {
  uint32_t error = 12345;
  EXPECT_EQ(DeviceDriver().OpenInterface(kNoSuchClass, 0, error), kInvalidHandle);
  EXPECT_EQ(error, kErrorNoMoreItems);
}

TEST(Win32Driver, ErrorsOfABadHandlePassThrough) {
  Driver& driver = DeviceDriver();
  uint8_t frame[14] = {};
  uint8_t reply[512];
  uint32_t bytesRead = 99;
  EXPECT_EQ(driver.Close(kBogusHandle), kErrorInvalidHandle);
  EXPECT_EQ(driver.ControlRequest(kBogusHandle, kIoctlSendFrame, frame, sizeof(frame), 1000),
            kErrorInvalidHandle);
  EXPECT_EQ(driver.Read(kBogusHandle, reply, sizeof(reply), bytesRead, 1000), kErrorInvalidHandle);
  EXPECT_EQ(bytesRead, 0u);
  uint32_t error = 0;
  EXPECT_EQ(driver.StartWrite(kBogusHandle, frame, sizeof(frame), error), Driver::kNoWrite);
  EXPECT_EQ(error, kErrorInvalidHandle);
}

TEST(Win32Driver, ReadReturnsWhatArrived) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  ASSERT_TRUE(pipe.Send(std::string("\x45\x4D\x10\x01", 4)));
  uint8_t reply[512] = {};
  uint32_t bytesRead = 0;
  EXPECT_EQ(DeviceDriver().Read(pipe.device(), reply, sizeof(reply), bytesRead, 10000), 0u);
  ASSERT_EQ(bytesRead, 4u);
  EXPECT_EQ(std::memcmp(reply, "\x45\x4D\x10\x01", 4), 0);
}

TEST(Win32Driver, PendingReadCompletesWhenTheReplyComes) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  uint8_t reply[512] = {};
  uint32_t bytesRead = 0;
  uint32_t result = 1;
  std::thread reader(
      [&] { result = DeviceDriver().Read(pipe.device(), reply, sizeof(reply), bytesRead, 60000); });
  ASSERT_TRUE(pipe.Send("reply"));
  reader.join();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), bytesRead), "reply");
}

TEST(Win32Driver, ReadWithoutReplyIsCancelledAndLeavesNothingBehind) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  for (uint32_t timeout : {0u, 20u}) {
    std::vector<uint8_t> reply(512, 0xAA);
    uint32_t bytesRead = 99;
    EXPECT_EQ(DeviceDriver().Read(pipe.device(), reply.data(), 512, bytesRead, timeout), kErrorIoPending);
    EXPECT_EQ(bytesRead, 0u);
    // The cancelled read is over: freeing its buffer is safe and it took
    // nothing that came later.
  }
  ASSERT_TRUE(pipe.Send("late"));
  uint8_t reply[512] = {};
  uint32_t bytesRead = 0;
  EXPECT_EQ(DeviceDriver().Read(pipe.device(), reply, sizeof(reply), bytesRead, 10000), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), bytesRead), "late");
}

TEST(Win32Driver, ControlRequestErrorIsThePlatformsOwn) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  // What the platform says to the control request on this handle, asked directly.
  HANDLE native = win32::ToNative(pipe.device());
  uint8_t frame[14] = {0x4D, 0x45};
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD expected = 0;
  if (!DeviceIoControl(native, kIoctlSendFrame, nullptr, 0, frame, sizeof(frame), nullptr, &overlapped)) {
    expected = GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  ASSERT_NE(expected, 0u);
  ASSERT_NE(expected, static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(DeviceDriver().ControlRequest(pipe.device(), kIoctlSendFrame, frame, sizeof(frame), 1000),
            expected);
}

TEST(Win32Driver, BulkWriteCompletesWithItsByteCount) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  uint32_t error = 99;
  Driver::PendingWrite write = DeviceDriver().StartWrite(pipe.device(), data.data(), 1000, error);
  ASSERT_NE(write, Driver::kNoWrite);
  EXPECT_EQ(error, 0u);
  uint32_t transferred = 0;
  EXPECT_EQ(DeviceDriver().CompleteWrite(write, 60000, transferred), 0u);
  EXPECT_EQ(transferred, 1000u);
  EXPECT_EQ(pipe.Receive(1000), data);
}

TEST(Win32Driver, BulkWriteNotDoneInTimeIsIncompleteAndCancelled) {
  PipeDevice pipe(512);
  ASSERT_TRUE(pipe.ok());
  std::vector<char> data(256 * 1024, 'x');
  uint32_t error = 0;
  Driver::PendingWrite write = DeviceDriver().StartWrite(pipe.device(), data.data(), 256 * 1024, error);
  ASSERT_NE(write, Driver::kNoWrite) << error;
  uint32_t transferred = 99;
  EXPECT_EQ(DeviceDriver().CompleteWrite(write, 0, transferred), kErrorIoIncomplete);
  EXPECT_EQ(transferred, 0u);
  // The cancelled write is over when CompleteWrite returns: it moved only
  // what fitted into the pipe before the cancel, never the whole buffer.
  std::string moved;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe.server(), nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
    const std::string chunk = pipe.Receive(available);
    if (chunk == "<failed>") break;
    moved += chunk;
  }
  EXPECT_LT(moved.size(), data.size());
  EXPECT_EQ(moved.find_first_not_of('x'), std::string::npos);
}

// Above 2 MiB the write still goes to the driver whole, as one write: what
// it takes is the driver's business, and the completion reports it.
TEST(Win32Driver, BulkWriteAboveTwoMiBIsOneWrite) {
  PipeDevice pipe;
  ASSERT_TRUE(pipe.ok());
  std::string data(0x300001, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i / 4093);
  uint32_t error = 99;
  Driver::PendingWrite write =
      DeviceDriver().StartWrite(pipe.device(), data.data(), static_cast<uint32_t>(data.size()), error);
  ASSERT_NE(write, Driver::kNoWrite) << error;
  std::string received;
  std::thread reader([&] {
    while (received.size() < data.size()) {
      const std::string chunk = pipe.Receive(65536);
      if (chunk == "<failed>") break;
      received += chunk;
    }
  });
  uint32_t transferred = 0;
  EXPECT_EQ(DeviceDriver().CompleteWrite(write, 60000, transferred), 0u);
  reader.join();
  EXPECT_EQ(transferred, data.size());
  EXPECT_TRUE(received == data);
}

TEST(Win32Driver, CompletingNoWriteIsRefused) {
  uint32_t transferred = 5;
  EXPECT_EQ(DeviceDriver().CompleteWrite(Driver::kNoWrite, 0, transferred), kErrorInvalidParameter);
  EXPECT_EQ(transferred, 0u);
}

TEST(Win32Host, FoldersAndNames) {
  HostEnvironment& host = Host();
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::string exePath(exe);
  EXPECT_EQ(host.ExecutableFolder(), exePath.substr(0, exePath.rfind('\\')));
  EXPECT_EQ(host.PathSeparator(), '\\');
  EXPECT_EQ(host.DefaultDebugFolder(), "C:");

  const std::string folder = TempPath("norvex_folder_test");
  RemoveDirectoryA(folder.c_str());
  EXPECT_FALSE(host.FolderExists(folder));
  EXPECT_TRUE(host.CreateFolder(folder));
  EXPECT_TRUE(host.FolderExists(folder));
  EXPECT_TRUE(host.CreateFolder(folder));  // already there
  EXPECT_FALSE(host.CreateFolder(folder + "\\missing\\child"));
  RemoveDirectoryA(folder.c_str());
}

TEST(Win32Host, ProfileKeys) {
  HostEnvironment& host = Host();
  const std::string ini = TempPath("norvex_profile_test.ini");
  DeleteFileA(ini.c_str());
  EXPECT_EQ(host.ReadIniInt(ini, "LOG", "LockTime", -1), -1);
  EXPECT_EQ(host.ReadIniString(ini, "LOG", "LastTime", "", 11), "");
  EXPECT_TRUE(host.WriteIniString(ini, "LOG", "LockTime", "7500"));
  EXPECT_TRUE(host.WriteIniString(ini, "LOG", "LastTime", "2009/12/03"));
  EXPECT_EQ(host.ReadIniInt(ini, "log", "locktime", -1), 7500);  // names without regard to case
  EXPECT_TRUE(host.WriteIniString(ini, "LOG", "LockTime", "-1"));
  EXPECT_EQ(host.ReadIniInt(ini, "LOG", "LockTime", 0), -1);
  struct Case {
    size_t capacity;
    const char* read;
  };
  for (const Case& c :
       {Case{11, "2009/12/03"}, Case{64, "2009/12/03"}, Case{5, "2009"}, Case{1, ""}, Case{0, ""}}) {
    EXPECT_EQ(host.ReadIniString(ini, "LOG", "LastTime", "", c.capacity), c.read) << c.capacity;
  }
  DeleteFileA(ini.c_str());
}

std::string FileText(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot read>";
  char buffer[256];
  DWORD got = 0;
  ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
  CloseHandle(file);
  return std::string(buffer, got);
}

TEST(Win32Host, LogFileAppendsAndKeepsOtherWritersOut) {
  HostEnvironment& host = Host();
  const std::string path = TempPath("norvex_log_test.log");
  DeleteFileA(path.c_str());
  {
    std::unique_ptr<File> first = host.OpenFile(path, FileMode::kWriteShareRead);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->Write("one\n", 4));
    EXPECT_TRUE(first->Flush());
    EXPECT_EQ(host.OpenFile(path, FileMode::kWriteShareRead), nullptr);
    EXPECT_EQ(host.OpenFile(path, FileMode::kCreateExclusive), nullptr);
    EXPECT_EQ(FileText(path), "one\n");  // readers are welcome
  }
  std::unique_ptr<File> again = host.OpenFile(path, FileMode::kWriteShareRead);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->SeekToEnd());
  EXPECT_TRUE(again->Write("two\n", 4));
  again.reset();
  EXPECT_EQ(FileText(path), "one\ntwo\n");
  DeleteFileA(path.c_str());
}

TEST(Win32Host, CommandFileStartsEmptyAndIsNotShared) {
  HostEnvironment& host = Host();
  const std::string path = TempPath("norvex_command_test.bin");
  {
    std::unique_ptr<File> old = host.OpenFile(path, FileMode::kWriteShareRead);
    ASSERT_NE(old, nullptr);
    ASSERT_TRUE(old->Write("old contents", 12));
  }
  std::unique_ptr<File> file = host.OpenFile(path, FileMode::kCreateExclusive);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Write("\x4D\x45", 2));
  EXPECT_EQ(FileText(path), "<cannot read>");
  file.reset();
  EXPECT_EQ(FileText(path), "\x4D\x45");
  DeleteFileA(path.c_str());
}

TEST(Win32Host, ClockFieldsAreInRange) {
  const LocalTime now = Host().Now();
  EXPECT_GE(now.year, 2000);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
  EXPECT_TRUE(now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.hour >= 0 && now.hour < 24 && now.minute >= 0 && now.minute < 60);
  EXPECT_TRUE(now.milliseconds >= 0 && now.milliseconds < 1000);
}

// The hook receives the message record of a message sent to a window of the
// hooked thread, and stops receiving once removed.
std::vector<HookMessage> g_seen;
Hook g_hook = nullptr;
intptr_t RecordingHook(int code, uintptr_t wParam, intptr_t lParam) {
  if (code >= 0) {
    const auto* message = reinterpret_cast<const HookMessage*>(lParam);
    if (message->message == WM_USER + 7) g_seen.push_back(*message);
  }
  return Windows().CallNextHook(g_hook, code, wParam, lParam);
}

// A holding is told on its own thread when the thread ends, once; when the
// watch goes, the holdings still held are told at once.
TEST(Win32ThreadEndWatch, TellsEachHoldingWhenItsThreadEnds) {
  std::unique_ptr<ThreadEndWatch> watch = WatchThreadEnds();
  ASSERT_NE(watch, nullptr);
  test_support::ExpectHoldingsToldAtTheirThreadsEnd(*watch);
  test_support::NotedHolding mine;
  ASSERT_TRUE(watch->Hold(&mine));
  watch.reset();
  EXPECT_EQ(mine.told, 1);
}

TEST(Win32Windows, HookSeesSentMessagesUntilRemoved) {
  HWND window = CreateWindowExA(0, "STATIC", "hook test", 0, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  g_seen.clear();
  g_hook = Windows().InstallHook(&RecordingHook);
  ASSERT_NE(g_hook, nullptr);
  SendMessageA(window, WM_USER + 7, 0x8000, 0x1234);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].window, static_cast<Window>(window));
  EXPECT_EQ(g_seen[0].wParam, 0x8000u);
  EXPECT_EQ(g_seen[0].lParam, 0x1234);
  EXPECT_TRUE(Windows().RemoveHook(g_hook));
  SendMessageA(window, WM_USER + 7, 0, 0);
  EXPECT_EQ(g_seen.size(), 1u);
  DestroyWindow(window);
}

}  // namespace
}  // namespace norvex::platform
