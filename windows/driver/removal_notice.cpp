// removal_notice.cpp: the control channel of the stand-in driver and the
// removal notice of a platesetter to its host's windows.
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <memory>

#include "notice_hook.h"
#include "platform/win32/win32_api.h"
#include "standin_client.h"

namespace norvex::standin {
namespace {

// SystemExtendedHandleInformation: every handle of every process.
constexpr ULONG kSystemExtendedHandleInformation = 64;
// NtQuerySystemInformation with the class as a number: winternl.h's class
// list stops before this one.
using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
struct HandleTableEntry {
  void* object;
  ULONG_PTR process;
  ULONG_PTR handle;
  ACCESS_MASK access;
  USHORT creatorBackTrace;
  USHORT objectType;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleTableEntry entries[1];
};

// Whether `handle` is a file of a platesetter's device object.
bool IsPlatesetterObject(HANDLE handle) {
  static const wchar_t kPrefix[] = L"\\Device\\NorvexPlatesetter";
  alignas(8) uint8_t buffer[1024];
  ULONG got = 0;
  if (::NtQueryObject(handle, ObjectNameInformation, buffer, sizeof(buffer), &got) != 0) return false;
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
  const size_t prefix = sizeof(kPrefix) / sizeof(wchar_t) - 1;
  return name->Buffer != nullptr && name->Length / sizeof(wchar_t) > prefix &&
         std::wmemcmp(name->Buffer, kPrefix, prefix) == 0;
}

// One overlapped control request on `device`, waited for at most `timeoutMs`
// (then cancelled and waited for). True when it succeeded.
bool Request(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& got,
             DWORD timeoutMs) {
  got = 0;
  const platform::win32::UniqueEvent event = platform::win32::CreateTransferEvent();
  if (!event) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (!::DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, nullptr, &overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    if (::WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
      ::CancelIoEx(device, &overlapped);
      ::GetOverlappedResult(device, &overlapped, &got, TRUE);
      return false;
    }
  }
  return ::GetOverlappedResult(device, &overlapped, &got, FALSE) != FALSE;
}

struct WindowSearch {
  DWORD process;
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM search) {
  reinterpret_cast<WindowSearch*>(search)->windows.push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<WindowSearch*>(search);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process == s->process) {
    s->windows.push_back(window);
    ::EnumChildWindows(window, &CollectChild, search);
  }
  return TRUE;
}

// Every window of `process`: top-level, child and message-only.
std::vector<HWND> WindowsOf(DWORD process) {
  WindowSearch search{process, {}};
  ::EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  for (HWND window = ::FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); window != nullptr;
       window = ::FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == process) search.windows.push_back(window);
  }
  return search.windows;
}

}  // namespace

ControlChannel::ControlChannel() {
  HANDLE handle =
      ::CreateFileA(kControlPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle != INVALID_HANDLE_VALUE) m_handle = handle;
}

ControlChannel::~ControlChannel() {
  if (m_handle != nullptr) ::CloseHandle(m_handle);
}

bool ControlChannel::Call(const Writer& request, std::vector<uint8_t>& body, std::string& error,
                          bool wait) const {
  body.clear();
  if (m_handle == nullptr) {
    error = "the platesetter stand-in is not running (scripts/wine-device start)";
    return false;
  }
  std::vector<uint8_t> answer(4096);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD got = 0;
    // A wait's own time-out is in the request; the driver answers by then.
    if (!Request(m_handle, wait ? kIoctlWait : kIoctlOperation, request.Data().data(),
                 static_cast<DWORD>(request.Data().size()), answer.data(), static_cast<DWORD>(answer.size()),
                 got, INFINITE)) {
      error = "the stand-in's control request failed, error " + std::to_string(::GetLastError());
      return false;
    }
    Reader r(answer.data(), got);
    const uint32_t status = r.U32();
    const uint32_t size = r.U32();
    if (status == kAnswerTooLong && attempt == 0) {
      answer.resize(size);
      continue;
    }
    if (!r.ok() || size > got) {
      error = "the stand-in's answer is cut short";
      return false;
    }
    if (status != kAnswerOk) {
      error = status == kAnswerNoMachine ? "the stand-in has no such platesetter"
              : status == kAnswerFailed  ? r.Text()
                                        : "the stand-in refused the request (" + std::to_string(status) + ")";
      return false;
    }
    body.assign(answer.begin() + static_cast<std::ptrdiff_t>(kAnswerHeader),
                answer.begin() + static_cast<std::ptrdiff_t>(size));
    return true;
  }
  error = "the stand-in's answer keeps growing";
  return false;
}

HostHandle FindHostHandle(uint64_t openNumber) {
  HostHandle found;
  if (openNumber == 0) return found;
  // Every handle of every process, with its process id and object type.
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return found;
  std::vector<uint8_t> table(1 << 16);
  NTSTATUS status = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    status = query(kSystemExtendedHandleInformation, table.data(), static_cast<ULONG>(table.size()), &needed);
    if (status != kStatusInfoLengthMismatch) break;
    table.resize(std::max<size_t>(table.size() * 2, needed + 4096));
  }
  if (status != 0) return found;
  const auto* handles = reinterpret_cast<const HandleTable*>(table.data());
  const size_t count = std::min<size_t>(
      handles->count, (table.size() - offsetof(HandleTable, entries)) / sizeof(HandleTableEntry));
  for (size_t i = 0; i < count && found.handle == 0; ++i) {
    const HandleTableEntry& entry = handles->entries[i];
    const DWORD process = static_cast<DWORD>(entry.process);
    const bool self = process == ::GetCurrentProcessId();
    HANDLE owner = self ? ::GetCurrentProcess() : ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, process);
    if (owner == nullptr) continue;
    HANDLE copy = nullptr;
    if (::DuplicateHandle(owner, reinterpret_cast<HANDLE>(entry.handle), ::GetCurrentProcess(), &copy, 0,
                          FALSE, DUPLICATE_SAME_ACCESS)) {
      // Only a platesetter's handle is asked; its answer is the number of
      // the open the handle belongs to.
      uint64_t number = 0;
      DWORD got = 0;
      if (IsPlatesetterObject(copy) &&
          Request(copy, kIoctlIdentifyOpen, nullptr, 0, &number, sizeof(number), got, 1000) &&
          got == sizeof(number) && number == openNumber) {
        found.process = process;
        found.handle = entry.handle;
      }
      ::CloseHandle(copy);
    }
    if (!self) ::CloseHandle(owner);
  }
  return found;
}

RemovalNotice::~RemovalNotice() {
  for (void* hook : m_hooks) ::UnhookWindowsHookEx(static_cast<HHOOK>(hook));
  if (m_module != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_module));
  if (m_delivered != nullptr) ::CloseHandle(m_delivered);
}

int RemovalNotice::Post(const HostHandle& host, std::string& error) {
  if (host.handle == 0 || !m_hooks.empty()) return 0;
  HOOKPROC procedure = &NorvexStandInNoticeHook;
  if (host.process != ::GetCurrentProcessId()) {
    // Windows loads the hook's module into the host when the hook runs there.
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string module(path, length < MAX_PATH ? length : 0);
    module = module.substr(0, module.find_last_of('\\') + 1) + kNoticeModuleName;
    m_module = ::LoadLibraryA(module.c_str());
    if (m_module == nullptr) {
      error = "cannot load " + module;
      return 0;
    }
    procedure = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_module), kNoticeHookName)));
    if (procedure == nullptr) {
      error = module + " has no " + kNoticeHookName;
      return 0;
    }
  }
  m_delivered = ::CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, NoticeSemaphoreName(host.process).c_str());
  const UINT notice = ::RegisterWindowMessageA(kNoticeMessageName);
  std::vector<DWORD> hooked;
  int posted = 0;
  for (HWND window : WindowsOf(host.process)) {
    const DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    if (std::find(hooked.begin(), hooked.end(), thread) == hooked.end()) {
      HHOOK hook = ::SetWindowsHookExA(WH_GETMESSAGE, procedure, static_cast<HMODULE>(m_module), thread);
      if (hook == nullptr) continue;
      m_hooks.push_back(hook);
      hooked.push_back(thread);
    }
    if (::PostMessageA(window, notice, static_cast<WPARAM>(host.handle), 0)) ++posted;
  }
  if (posted == 0) error = "no window of the host could be reached";
  return posted;
}

bool RemovalNotice::WaitDelivered(int count, uint32_t timeoutMs) {
  if (m_delivered == nullptr) return count == 0;
  const DWORD start = ::GetTickCount();
  for (int i = 0; i < count; ++i) {
    const DWORD spent = ::GetTickCount() - start;
    if (spent >= timeoutMs || ::WaitForSingleObject(m_delivered, timeoutMs - spent) != WAIT_OBJECT_0)
      return false;
  }
  return true;
}

namespace {

bool FindKept(const ControlChannel& channel, const std::string& name, uint32_t& id, std::string& error) {
  std::vector<uint8_t> body;
  if (!channel.Call(Writer().U32(static_cast<uint32_t>(Op::kFind)).U32(0).Text(name), body, error))
    return false;
  Reader r(body.data(), body.size());
  id = r.U32();
  return true;
}

bool WaitInterface(const ControlChannel& channel, uint32_t id, bool enabled, std::string& error) {
  std::vector<uint8_t> body;
  if (!channel.Call(Writer().U32(static_cast<uint32_t>(Op::kWaitForInterface)).U32(id).U8(enabled).U32(10000),
                    body, error, true)) {
    return false;
  }
  if (body.empty() || body[0] == 0) {
    error = enabled ? "the platesetter's interface did not appear" : "the platesetter's interface did not go";
    return false;
  }
  return true;
}

}  // namespace

bool PlugKept(const std::string& name, std::string& error) {
  ControlChannel channel;
  uint32_t id = 0;
  if (!FindKept(channel, name, id, error)) return false;
  std::vector<uint8_t> body;
  if (id == 0) {
    emu::EmulatorOptions options;
    options.name = name;
    Writer create;
    create.U32(static_cast<uint32_t>(Op::kCreateKept)).U32(0);
    Put(create, options);
    if (!channel.Call(create, body, error)) return false;
    Reader r(body.data(), body.size());
    id = r.U32();
  }
  if (!channel.Call(Writer().U32(static_cast<uint32_t>(Op::kPlug)).U32(id), body, error)) return false;
  return WaitInterface(channel, id, true, error);
}

bool UnplugKept(const std::string& name, std::string& report, std::string& error) {
  ControlChannel channel;
  uint32_t id = 0;
  if (!FindKept(channel, name, id, error)) return false;
  if (id == 0) {
    error = "no platesetter is named " + name;
    return false;
  }
  std::vector<uint8_t> body;
  if (!channel.Call(Writer().U32(static_cast<uint32_t>(Op::kHostOf)).U32(id), body, error)) return false;
  Reader r(body.data(), body.size());
  const uint64_t openNumber = r.U64();
  const HostHandle host = FindHostHandle(openNumber);
  if (!channel.Call(Writer().U32(static_cast<uint32_t>(Op::kUnplug)).U32(id), body, error)) return false;
  if (!WaitInterface(channel, id, false, error)) return false;
  report = "unplugged " + name;
  if (openNumber == 0) {
    report += "; no host held it open";
  } else if (host.handle == 0) {
    report += "; the handle of its host could not be found";
  } else {
    RemovalNotice notice;
    const int posted = notice.Post(host, error);
    if (posted == 0) return false;
    // The host takes the notice when its message loop runs.
    if (!notice.WaitDelivered(posted, 5000)) {
      error = "process " + std::to_string(host.process) + " did not take the removal notice within 5 s";
      return false;
    }
    report += "; removal notice for handle " + std::to_string(host.handle) + " sent to " +
              std::to_string(posted) + " window(s) of process " + std::to_string(host.process);
  }
  return true;
}

}  // namespace norvex::standin
