// win32_host.cpp: the HostEnvironment of Windows: the host executable's
// folder, the profile (INI) functions, local time and tick count, folders,
// files with Windows share modes, and message boxes.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace norvex::platform {
namespace {

inline constexpr DWORD kMaxPath = 260;
inline constexpr const char* kMessageBoxCaption = "Norvex";

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE file) : m_file(file) {}
  ~Win32File() override { ::CloseHandle(m_file); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!::WriteFile(m_file, bytes, chunk, &written, nullptr) || written == 0) return false;
      bytes += written;
      size -= written;
    }
    return true;
  }

  bool SeekToEnd() override {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(m_file, zero, nullptr, FILE_END) != FALSE;
  }

  bool Flush() override { return ::FlushFileBuffers(m_file) != FALSE; }

 private:
  HANDLE m_file;
};

class Win32Host final : public HostEnvironment {
 public:
  std::string ExecutableFolder() override {
    char path[kMaxPath + 1] = {};
    const DWORD length = ::GetModuleFileNameA(::GetModuleHandleA(nullptr), path, kMaxPath);
    if (length == 0 || length >= kMaxPath) return {};  // failed, or cut short
    const std::string exe(path, length);
    const size_t backslash = exe.rfind('\\');
    return backslash == std::string::npos ? std::string() : exe.substr(0, backslash);
  }

  char PathSeparator() const override { return '\\'; }

  std::string DefaultDebugFolder() override { return "C:"; }

  int32_t ReadIniInt(const std::string& iniPath, std::string_view section, std::string_view key,
                     int32_t defaultValue) override {
    const std::string sectionText(section);
    const std::string keyText(key);
    // The profile function returns the value as an unsigned word; a negative
    // value (the default of -1 included) comes back in its two's complement.
    const UINT value =
        ::GetPrivateProfileIntA(sectionText.c_str(), keyText.c_str(), defaultValue, iniPath.c_str());
    return static_cast<int32_t>(value);
  }

  std::string ReadIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                            std::string_view defaultValue, size_t capacity) override {
    if (capacity == 0) return {};
    const std::string sectionText(section);
    const std::string keyText(key);
    const std::string defaultText(defaultValue);
    const DWORD size = capacity > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(capacity);
    std::vector<char> buffer(size, '\0');
    const DWORD length = ::GetPrivateProfileStringA(sectionText.c_str(), keyText.c_str(), defaultText.c_str(),
                                                    buffer.data(), size, iniPath.c_str());
    return std::string(buffer.data(), length < size ? length : size - 1);
  }

  bool WriteIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                      std::string_view value) override {
    const std::string sectionText(section);
    const std::string keyText(key);
    const std::string valueText(value);
    return ::WritePrivateProfileStringA(sectionText.c_str(), keyText.c_str(), valueText.c_str(),
                                        iniPath.c_str()) != FALSE;
  }

  LocalTime Now() override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    LocalTime t;
    t.year = now.wYear;
    t.month = now.wMonth;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    t.milliseconds = now.wMilliseconds;
    return t;
  }

  uint32_t TickCount() override { return ::GetTickCount(); }

  bool FolderExists(const std::string& path) override {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool CreateFolder(const std::string& path) override {
    if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
    return ::GetLastError() == ERROR_ALREADY_EXISTS && FolderExists(path);
  }

  std::unique_ptr<File> OpenFile(const std::string& path, FileMode mode) override {
    // The log: others may read it, nobody else may write it; never truncated.
    // The command file: created anew, not shared.
    const bool log = mode == FileMode::kWriteShareRead;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, log ? FILE_SHARE_READ : 0, nullptr,
                                log ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32File>(file);
  }

  void ShowMessageBox(std::string_view text, MessageIcon icon) override {
    const std::string message(text);
    const auto style =
        static_cast<UINT>(MB_OK | (icon == MessageIcon::kStop ? MB_ICONSTOP : MB_ICONEXCLAMATION));
    ::MessageBoxA(nullptr, message.c_str(), kMessageBoxCaption, style);
  }

  std::string EnvironmentVariable(std::string_view name) override {
    // The process's environment block, as a host that set the variable with
    // SetEnvironmentVariableA left it (the C library's copy would not see it).
    const std::string key(name);
    char value[1024];
    const DWORD n = ::GetEnvironmentVariableA(key.c_str(), value, sizeof(value));
    return n > 0 && n < sizeof(value) ? std::string(value, n) : std::string();
  }
};

// Fiber-local storage: its callback is called at the end of each thread
// that set a value, and, when the index is freed, for every value still set.
class Win32ThreadEndWatch final : public ThreadEndWatch {
 public:
  explicit Win32ThreadEndWatch(DWORD index) : m_index(index) {}
  ~Win32ThreadEndWatch() override { ::FlsFree(m_index); }
  Win32ThreadEndWatch(const Win32ThreadEndWatch&) = delete;
  Win32ThreadEndWatch& operator=(const Win32ThreadEndWatch&) = delete;

  ThreadHolding* Holding() override { return static_cast<ThreadHolding*>(::FlsGetValue(m_index)); }
  bool Hold(ThreadHolding* holding) override { return ::FlsSetValue(m_index, holding) != FALSE; }

  static void WINAPI Ended(void* holding) {
    if (holding != nullptr) static_cast<ThreadHolding*>(holding)->ThreadEnded();
  }

 private:
  DWORD m_index;
};

}  // namespace

HostEnvironment& Host() {
  static Win32Host host;
  return host;
}

std::unique_ptr<ThreadEndWatch> WatchThreadEnds() {
  const DWORD index = ::FlsAlloc(&Win32ThreadEndWatch::Ended);
  if (index == FLS_OUT_OF_INDEXES) return nullptr;
  return std::make_unique<Win32ThreadEndWatch>(index);
}

}  // namespace norvex::platform
