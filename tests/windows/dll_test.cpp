// dll_test.cpp: Norvex.dll as a Windows host sees it, run under wine64: the
// exports by ordinal, the log and INI file beside the executable, the hook
// on a real window with sent device notifications, command-file mode, and
// the paths without a device.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hex_text.h"
#include "norvex.h"

namespace {

struct ExportEntry {
  int ordinal;
  const char* name;
};
// Every function the DLL is built with, from its .def file.
const ExportEntry kExports[] = {
#include "export_table.inc"
};

// The ordinals that hosts call by number.
constexpr int kInit = 1;
constexpr int kGetVersion = 4;
constexpr int kGetPortStatus = 12;
constexpr int kSetUsbOvertime = 13;
constexpr int kSetDebugFolder = 14;
constexpr int kSetPrintDataSaveIdle = 16;
constexpr int kGetErrorInfo = 25;
constexpr int kGetState = 32;

// The device interface class of the platesetter's driver.
const GUID kDeviceInterfaceGuid = {
    0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};

LPCSTR ByOrdinal(int ordinal) { return reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal)); }

std::string ExeFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path);
  return exe.substr(0, exe.rfind('\\'));
}

std::string ReadAll(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// "HH:MM:SS:mmm" and four blanks, then the event text.
bool IsEventLine(const std::string& line, const std::string& text) {
  if (line.size() != 16 + text.size() || line.compare(16, std::string::npos, text) != 0) return false;
  for (size_t i = 0; i < 12; ++i) {
    const bool colon = i == 2 || i == 5 || i == 8;
    if (colon ? line[i] != ':' : (line[i] < '0' || line[i] > '9')) return false;
  }
  return line.compare(12, 4, "    ") == 0;
}

std::string Today() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char date[32];
  std::snprintf(date, sizeof(date), "%4d/%02d/%02d", now.wYear, now.wMonth, now.wDay);
  return date;
}

class NorvexDll : public ::testing::Test {
 protected:
  void SetUp() override {
    m_folder = ExeFolder();
    m_ini = m_folder + "\\Varnock.ini";
    m_log = m_folder + "\\log\\UsbDriver.log";
    DeleteFileA(m_ini.c_str());
    DeleteFileA(m_log.c_str());
  }
  void TearDown() override { Unload(); }

  void Load() {
    m_module = LoadLibraryA((m_folder + "\\Norvex.dll").c_str());
    ASSERT_NE(m_module, nullptr) << GetLastError();
  }
  void Unload() {
    if (m_module != nullptr) FreeLibrary(m_module);
    m_module = nullptr;
  }

  // The export at `ordinal`, typed as the header declares `Declared`.
  template <typename Declared>
  Declared* At(int ordinal, Declared* /*declaration*/) {
    FARPROC proc = GetProcAddress(m_module, ByOrdinal(ordinal));
    EXPECT_NE(proc, nullptr) << "ordinal " << ordinal;
    return reinterpret_cast<Declared*>(reinterpret_cast<void*>(proc));
  }

  std::string Ini(const char* key) {
    char value[64] = {};
    GetPrivateProfileStringA("LOG", key, "<none>", value, sizeof(value), m_ini.c_str());
    return value;
  }
  std::vector<std::string> LogLines() { return Lines(ReadAll(m_log)); }

  std::string m_folder, m_ini, m_log;
  HMODULE m_module = nullptr;
};

TEST_F(NorvexDll, EveryExportIsAtItsOrdinalAndNothingElse) {
  Load();
  ASSERT_GT(std::size(kExports), 0u);
  bool used[120] = {};
  for (const ExportEntry& e : kExports) {
    FARPROC byName = GetProcAddress(m_module, e.name);
    ASSERT_NE(byName, nullptr) << e.name;
    EXPECT_EQ(GetProcAddress(m_module, ByOrdinal(e.ordinal)), byName) << e.name << " @" << e.ordinal;
    used[e.ordinal] = true;
  }
  for (int ordinal = 1; ordinal < 120; ++ordinal) {
    if (!used[ordinal]) {
      EXPECT_EQ(GetProcAddress(m_module, ByOrdinal(ordinal)), nullptr) << ordinal;
    }
  }
  EXPECT_EQ(GetProcAddress(m_module, "DllMain"), nullptr);
}

TEST_F(NorvexDll, VersionAndSettingsByOrdinal) {
  Load();
  unsigned char version[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(At(kGetVersion, &Norvex_GetVersion)(version), version);
  EXPECT_EQ(std::memcmp(version, "\x03\x02\x01\x00", 4), 0);
  EXPECT_EQ(At(kSetUsbOvertime, &Norvex_SetUSBOvertime)(3000u), 3000u);
  EXPECT_EQ(At(kSetDebugFolder, &Norvex_SetDebugFolder)(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
}

// The release package is named after the project's version: the DLL must
// report that same version.
TEST_F(NorvexDll, VersionIsTheProjectVersion) {
  Load();
  const unsigned char project[4] = {NORVEX_PROJECT_VERSION_BYTES};
  unsigned char version[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  At(kGetVersion, &Norvex_GetVersion)(version);
  EXPECT_EQ(std::memcmp(version, project, 4), 0)
      << int{version[0]} << '.' << int{version[1]} << '.' << int{version[2]} << '.' << int{version[3]};
}

// The version resource, read as an installer or Explorer reads it: the
// numbers and texts name the project's version, the file and the product.
TEST_F(NorvexDll, VersionResourceNamesTheProjectVersion) {
  const std::string dll = m_folder + "\\Norvex.dll";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource: " << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const unsigned char project[4] = {NORVEX_PROJECT_VERSION_BYTES};
  const DWORD high = static_cast<DWORD>(project[0] << 16 | project[1]);
  const DWORD low = static_cast<DWORD>(project[2] << 16 | project[3]);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const auto text = [&](const char* name) {
    char* value = nullptr;
    UINT chars = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || !value)
      return std::string("<missing>");
    return std::string(value);
  };
  char fileVersion[32];
  std::snprintf(fileVersion, sizeof(fileVersion), "%d.%d.%d.%d", project[0], project[1], project[2],
                project[3]);
  EXPECT_EQ(text("FileVersion"), fileVersion);
  EXPECT_EQ(text("ProductVersion"), NORVEX_PROJECT_VERSION);
  EXPECT_EQ(text("ProductName"), "Norvex");
  EXPECT_EQ(text("OriginalFilename"), "Norvex.dll");
  EXPECT_EQ(text("FileDescription"), NORVEX_FILE_DESCRIPTION);
  EXPECT_EQ(text("LegalCopyright"), NORVEX_COPYRIGHT);
}

TEST_F(NorvexDll, FirstLoadWritesDateLineStartLineAndIniKeys) {
  Load();
  const std::string today = Today();
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u) << ReadAll(m_log);
  EXPECT_EQ(lines[0], today);
  EXPECT_TRUE(IsEventLine(lines[1], "Application Start!")) << lines[1];
  EXPECT_EQ(ReadAll(m_log).find('\r'), std::string::npos);
  EXPECT_EQ(Ini("LastTime"), today);
  EXPECT_EQ(Ini("LockTime"), "7500");

  Unload();
  lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(IsEventLine(lines[2], "Application Close!")) << lines[2];

  // The same day again: no second date line.
  Load();
  Unload();
  lines = LogLines();
  ASSERT_EQ(lines.size(), 5u) << ReadAll(m_log);
  EXPECT_TRUE(IsEventLine(lines[3], "Application Start!"));
  EXPECT_TRUE(IsEventLine(lines[4], "Application Close!"));
}

TEST_F(NorvexDll, LockTimeIsKeptOrWrittenBack) {
  struct Case {
    const char* stored;
    const char* after;
  };
  for (const Case& c : {Case{"1234", "1234"}, Case{"0", "0"}, Case{"-1", "7500"}}) {
    SCOPED_TRACE(c.stored);
    ASSERT_TRUE(WritePrivateProfileStringA("LOG", "LockTime", c.stored, m_ini.c_str()));
    Load();
    EXPECT_EQ(Ini("LockTime"), c.after);
    Unload();
  }
}

TEST_F(NorvexDll, StaleLastTimeGetsADateLineAndIsUpdated) {
  ASSERT_TRUE(WritePrivateProfileStringA("LOG", "LastTime", "1999/01/01", m_ini.c_str()));
  Load();
  EXPECT_EQ(Ini("LastTime"), Today());
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Today());
}

TEST_F(NorvexDll, LogIsHeldAgainstOtherWritersButReadable) {
  Load();
  HANDLE writer = CreateFileA(m_log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_NE(ReadAll(m_log), "<missing>");
}

// How a program run by RunProgram ended, and what it printed.
struct ProgramRun {
  bool finished = false;  // false: still running at the time limit, and killed
  DWORD exitCode = 0;
  std::string output;
};

// Runs `exe` with its standard output and error on a pipe, waits at most
// `limitMs` for it to end and kills it after that.
ProgramRun RunProgram(const std::string& exe, DWORD limitMs) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof(inheritable);
  inheritable.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    run.output = "<no pipe: " + std::to_string(GetLastError()) + ">";
    return run;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + exe + "\"";
  const BOOL started = CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(writeEnd);  // the child's copy is now the only writer
  if (!started) {
    CloseHandle(readEnd);
    run.output = "<not started: " + std::to_string(startError) + ">";
    return run;
  }
  // Read on another thread, so that a child that fills the pipe cannot stall the wait.
  std::thread reader([&] {
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
      run.output.append(buffer, got);
  });
  run.finished = WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0;
  if (!run.finished) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  reader.join();  // the pipe ends with the process
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(readEnd);
  return run;
}

// The UTF-16LE bytes of `text` read in the ANSI code page.
std::string AnsiToUtf16(const std::string& text) {
  WCHAR wide[1024] = {};
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide, 1024);
  return std::string(reinterpret_cast<const char*>(wide), sizeof(WCHAR) * static_cast<size_t>(length));
}

// "key value" lines into a map.
std::map<std::string, std::string> Report(const std::string& output) {
  std::map<std::string, std::string> report;
  for (std::string line : Lines(output)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t blank = line.find(' ');
    if (blank != std::string::npos) report[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return report;
}

// A second host process in this folder, started while this one holds the
// log (norvex_log_lock_child.exe, which presses the button of any window it
// gets and reports what the window showed): its library cannot open the log,
// shows the stop message box once while it loads, and touches neither the
// log nor the date in the INI file, yet its commands work. Once this process
// has let the log go, the same program shows nothing and logs its run.
TEST_F(NorvexDll, SecondProcessFindsTheLogHeldAndShowsTheMessageBox) {
  const std::string child = m_folder + "\\norvex_log_lock_child.exe";
  const std::string probe = m_folder + "\\norvex_platform_probe.exe";
  const DWORD limitMs = 30000;
  Load();
  // A stale date: a library that went on to the date step would replace it.
  ASSERT_TRUE(WritePrivateProfileStringA("LOG", "LastTime", "1999/01/01", m_ini.c_str()));
  const std::string before = ReadAll(m_log);
  ASSERT_EQ(Lines(before).size(), 2u) << before;

  const ProgramRun held = RunProgram(child, limitMs);
  ASSERT_TRUE(held.finished) << "killed after " << limitMs << " ms; it printed: " << held.output;
  EXPECT_EQ(held.exitCode, 0u);
  std::map<std::string, std::string> report = Report(held.output);
  EXPECT_EQ(report["boxes"], "1") << held.output;
  EXPECT_EQ(report["class"], "#32770");
  EXPECT_EQ(report["caption"], Hex("Norvex"));
  // "日志文件打开失败!" (the log file could not be opened), in GBK: the box
  // shows what the ANSI code page makes of these bytes.
  const std::string message = "\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC!";
  EXPECT_EQ(report["text_w"], Hex(AnsiToUtf16(message)));
  // The bytes read back through the ANSI functions, and the stop icon, where
  // the platform itself gets them right (platform_probe.cpp: Wine's WoW64
  // mode does not, 64-bit wine64 does).
  std::map<std::string, std::string> platform = Report(RunProgram(probe, limitMs).output);
#if defined(_WIN64)
  EXPECT_EQ(platform["ansi_window_text"], "1");
  EXPECT_EQ(platform["stop_icon"], "1");
#endif
  if (platform["ansi_window_text"] == "1") {
    EXPECT_EQ(report["text"], Hex(message));
  }
  if (platform["stop_icon"] == "1") {
    EXPECT_EQ(report["stop_icon"], "1");
  }
  EXPECT_EQ(report["buttons"], "1");
  EXPECT_EQ(report["pressed"], "1");
  EXPECT_EQ(report["loaded"], "1");
  EXPECT_EQ(report["get_state"], "E0000010");  // would have logged its failure
  EXPECT_EQ(ReadAll(m_log), before);
  EXPECT_EQ(Ini("LastTime"), "1999/01/01");

  // This process still holds its log and writes to it.
  Unload();
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u) << ReadAll(m_log);
  EXPECT_EQ(ReadAll(m_log).compare(0, before.size(), before), 0);
  EXPECT_TRUE(IsEventLine(lines[2], "Application Close!")) << lines[2];

  // The log free: no window, and the child's whole run is in the log, from
  // the date line (the INI's date is stale) to its close.
  const ProgramRun unheld = RunProgram(child, limitMs);
  ASSERT_TRUE(unheld.finished) << "killed after " << limitMs << " ms; it printed: " << unheld.output;
  EXPECT_EQ(unheld.exitCode, 0u);
  report = Report(unheld.output);
  EXPECT_EQ(report["boxes"], "0") << unheld.output;
  EXPECT_EQ(report["loaded"], "1");
  EXPECT_EQ(report["get_state"], "E0000010");
  lines = LogLines();
  ASSERT_EQ(lines.size(), 3u + 8u) << ReadAll(m_log);  // date, start, 5 failure lines, close
  EXPECT_EQ(lines[3], Today());
  EXPECT_TRUE(IsEventLine(lines[4], "Application Start!")) << lines[4];
  EXPECT_TRUE(IsEventLine(lines[5], "Device disconnect! cmd = 0xC0D0 , addr = 0x10")) << lines[5];
  EXPECT_TRUE(IsEventLine(lines[10], "Application Close!")) << lines[10];
  EXPECT_EQ(Ini("LastTime"), Today());
}

TEST_F(NorvexDll, WithoutDeviceInitAndCommandsReportNoDevice) {
  Load();
  EXPECT_EQ(At(kInit, &Norvex_Init)(nullptr), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(At(kGetPortStatus, &Norvex_GetPortStatus)(), CTP_ERR_NO_DEVICE);
  unsigned char state[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(At(kGetState, &NV_GetState)(state), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(std::memcmp(state, "\x5A\x5A\x5A\x5A", 4), 0);

  // A summary line, then the failure text in GBK: "错误编号 0xE0000010",
  // the request, the reply and the request's data.
  const std::string number = "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5 0xE0000010";
  std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 5u);
  const size_t n = lines.size();
  EXPECT_TRUE(IsEventLine(lines[n - 5], "Device disconnect! cmd = 0xC0D0 , addr = 0x10")) << lines[n - 5];
  EXPECT_TRUE(IsEventLine(lines[n - 4], number)) << lines[n - 4];
  EXPECT_EQ(lines[n - 3], "\tSend:(0xC0D0 , 0x0004 , 0x10)");
  EXPECT_EQ(lines[n - 2], "\t Rec:(0xC0D1 , 0x0004 , 0x00)");
  EXPECT_EQ(lines[n - 1], "\tData:( 0000 0000 )");  // the selector: group 0, item 0

  const char* text = At(kGetErrorInfo, &CTP_GetErrorInfo)(CTP_ERR_NO_DEVICE);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(
      std::string(text),
      number + "\n\tSend:(0xC0D0 , 0x0004 , 0x10)\n\t Rec:(0xC0D1 , 0x0004 , 0x00)\n\tData:( 0000 0000 )\n");
}

TEST_F(NorvexDll, CommandFileModeWritesTheExactFrame) {
  char temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string debugFolder = std::string(temp) + "norvex_cmdfile";
  CreateDirectoryA(debugFolder.c_str(), nullptr);
  const std::string commandFile = debugFolder + "\\CommandFile.bin";
  DeleteFileA(commandFile.c_str());

  Load();
  // One trailing backslash is dropped from the folder.
  EXPECT_EQ(At(kSetDebugFolder, &Norvex_SetDebugFolder)((debugFolder + "\\").c_str()), NORVEX_OK);
  EXPECT_EQ(At(kSetPrintDataSaveIdle, &Norvex_SetPrintDataSaveIdle)(NORVEX_LINK_COMMAND_FILE), NORVEX_OK);
  EXPECT_EQ(At(kInit, &Norvex_Init)(nullptr), NORVEX_OK);
  EXPECT_EQ(At(kGetPortStatus, &Norvex_GetPortStatus)(), NORVEX_OK);

  // The command file is not shared while it is open.
  HANDLE reader = CreateFileA(commandFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

  // The frame goes to the file; the reply cannot be read from the pseudo
  // handle, so the command fails with the platform's invalid-handle error.
  unsigned char state[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(At(kGetState, &NV_GetState)(state), NORVEX_ERROR_INVALID_HANDLE);
  EXPECT_EQ(std::memcmp(state, "\x5A\x5A\x5A\x5A", 4), 0);
  Unload();  // closes the link and with it the command file

  const std::string expected("\x4D\x45\x10\x01\x06\x00\xD0\xC0\x00\x00\x00\x00\x33\x07", 14);
  EXPECT_EQ(ReadAll(commandFile), expected);
  DeleteFileA(commandFile.c_str());
  RemoveDirectoryA(debugFolder.c_str());
}

// A window of the test thread that counts the device notifications its
// window procedure receives.
int g_deviceChanges = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) ++g_deviceChanges;
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &CountingProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "NorvexTestWindow";
    registered = RegisterClassA(&windowClass) != 0;
  }
  return CreateWindowExA(0, "NorvexTestWindow", "Norvex test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

DEV_BROADCAST_DEVICEINTERFACE_A InterfaceBroadcast(const GUID& guid, DWORD deviceType) {
  DEV_BROADCAST_DEVICEINTERFACE_A record{};
  record.dbcc_size = sizeof(record);
  record.dbcc_devicetype = deviceType;
  record.dbcc_classguid = guid;
  return record;
}

LPARAM AsLParam(void* record) { return reinterpret_cast<LPARAM>(record); }

class NorvexHook : public NorvexDll {
 protected:
  void SetUp() override {
    NorvexDll::SetUp();
    g_deviceChanges = 0;
    m_window = MakeWindow();
    m_other = MakeWindow();
    ASSERT_NE(m_window, nullptr);
    ASSERT_NE(m_other, nullptr);
    Load();
    ASSERT_EQ(At(kInit, &Norvex_Init)(m_window), CTP_ERR_NO_DEVICE);
    m_start = LogLines().size();
  }
  void TearDown() override {
    if (m_window != nullptr) DestroyWindow(m_window);
    if (m_other != nullptr) DestroyWindow(m_other);
    NorvexDll::TearDown();
  }
  // The log lines written since SetUp.
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines = LogLines();
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(m_start), lines.end());
  }

  HWND m_window = nullptr;
  HWND m_other = nullptr;
  size_t m_start = 0;
};

TEST_F(NorvexHook, ArrivalOfTheInterfaceClassIsFollowedAndPassedOn) {
  DEV_BROADCAST_DEVICEINTERFACE_A arrival =
      InterfaceBroadcast(kDeviceInterfaceGuid, DBT_DEVTYP_DEVICEINTERFACE);
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&arrival));
  std::vector<std::string> lines = NewLines();
  // No device is present, so the open that follows writes nothing.
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsEventLine(lines[0], "Device Arrival!")) << lines[0];
  EXPECT_EQ(g_deviceChanges, 1);  // the window procedure still gets it
  EXPECT_EQ(At(kGetPortStatus, &Norvex_GetPortStatus)(), CTP_ERR_NO_DEVICE);
}

TEST_F(NorvexHook, OtherClassesKindsEventsAndWindowsAreIgnored) {
  const GUID otherClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
  DEV_BROADCAST_DEVICEINTERFACE_A otherGuid = InterfaceBroadcast(otherClass, DBT_DEVTYP_DEVICEINTERFACE);
  DEV_BROADCAST_DEVICEINTERFACE_A volume = InterfaceBroadcast(kDeviceInterfaceGuid, DBT_DEVTYP_VOLUME);
  DEV_BROADCAST_DEVICEINTERFACE_A ours = InterfaceBroadcast(kDeviceInterfaceGuid, DBT_DEVTYP_DEVICEINTERFACE);
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&otherGuid));
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&volume));
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, AsLParam(&ours));
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  SendMessageA(m_other, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&ours));
  DEV_BROADCAST_HANDLE removal{};
  removal.dbch_size = sizeof(removal);
  removal.dbch_devicetype = DBT_DEVTYP_HANDLE;
  removal.dbch_handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234));
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, AsLParam(&removal));
  SendMessageA(m_other, WM_DESTROY, 0, 0);
  EXPECT_TRUE(NewLines().empty()) << NewLines()[0];
  EXPECT_EQ(g_deviceChanges, 6);
}

TEST_F(NorvexHook, NotificationSentFromAnotherThreadRunsTheHookOnTheWindowsThread) {
  DEV_BROADCAST_DEVICEINTERFACE_A arrival =
      InterfaceBroadcast(kDeviceInterfaceGuid, DBT_DEVTYP_DEVICEINTERFACE);
  HWND window = m_window;
  bool sent = false;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(done, nullptr);
  std::thread sender([&] {
    DWORD_PTR result = 0;
    sent = SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&arrival), SMTO_NORMAL,
                               30000, &result) != 0;
    SetEvent(done);
  });
  // Dispatch incoming sent messages until the sender is done.
  while (MsgWaitForMultipleObjects(1, &done, FALSE, 30000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
  CloseHandle(done);
  sender.join();
  EXPECT_TRUE(sent);
  std::vector<std::string> lines = NewLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsEventLine(lines[0], "Device Arrival!"));
}

TEST_F(NorvexHook, DestroyingTheHostWindowIsLogged) {
  ASSERT_TRUE(DestroyWindow(m_window));
  m_window = nullptr;
  std::vector<std::string> lines = NewLines();
  // The link was not open, so nothing is closed.
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsEventLine(lines[0], "Windows Destroy!")) << lines[0];
}

TEST_F(NorvexHook, UnloadRemovesTheHook) {
  Unload();
  const size_t before = LogLines().size();
  DEV_BROADCAST_DEVICEINTERFACE_A arrival =
      InterfaceBroadcast(kDeviceInterfaceGuid, DBT_DEVTYP_DEVICEINTERFACE);
  SendMessageA(m_window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, AsLParam(&arrival));
  EXPECT_EQ(LogLines().size(), before);
  EXPECT_EQ(g_deviceChanges, 1);
}

}  // namespace
