// win32_windows.cpp: the WindowSystem of Windows: device notifications to the
// host's window (RegisterDeviceNotificationA) and the call-window-procedure
// hook of the thread that called Norvex_Init. For a device reached over the
// network, which no kernel driver reports, the library sends the same
// notifications itself, from a hidden window with a timer on the host's
// thread: a lost connection is DBT_DEVICEREMOVECOMPLETE for the open
// handle, and a device that answers a probe again while none is open is
// DBT_DEVICEARRIVAL of the interface class, both sent to the host's window
// so that the hook sees them as it sees the kernel driver's.
#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "norvex.h"
#include "platform/device/device_address.h"
#include "platform/device/endpoint_driver.h"
#include "platform/platform.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_network.h"
#include "platform/win32/winsock_transport.h"

namespace norvex::platform {
namespace {

// The interface's records have the window system's layouts, so that the hook
// reads the platform's records through them.
static_assert(sizeof(Guid) == sizeof(GUID) && offsetof(Guid, data4) == offsetof(GUID, Data4), "GUID");

static_assert(sizeof(HookMessage) == sizeof(CWPSTRUCT), "CWPSTRUCT");
static_assert(offsetof(HookMessage, lParam) == offsetof(CWPSTRUCT, lParam), "CWPSTRUCT.lParam");
static_assert(offsetof(HookMessage, wParam) == offsetof(CWPSTRUCT, wParam), "CWPSTRUCT.wParam");
static_assert(offsetof(HookMessage, message) == offsetof(CWPSTRUCT, message), "CWPSTRUCT.message");
static_assert(offsetof(HookMessage, window) == offsetof(CWPSTRUCT, hwnd), "CWPSTRUCT.hwnd");

static_assert(sizeof(BroadcastHeader) == sizeof(DEV_BROADCAST_HDR), "DEV_BROADCAST_HDR");
static_assert(offsetof(BroadcastHeader, deviceType) == offsetof(DEV_BROADCAST_HDR, dbch_devicetype),
              "DEV_BROADCAST_HDR.dbch_devicetype");

static_assert(sizeof(BroadcastDeviceInterface) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) &&
                  sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32,
              "DEV_BROADCAST_DEVICEINTERFACE_A");
static_assert(offsetof(BroadcastDeviceInterface, classGuid) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
              "DEV_BROADCAST_DEVICEINTERFACE_A.dbcc_classguid");
static_assert(offsetof(BroadcastDeviceInterface, name) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name),
              "DEV_BROADCAST_DEVICEINTERFACE_A.dbcc_name");

static_assert(sizeof(BroadcastHandle) == sizeof(DEV_BROADCAST_HANDLE), "DEV_BROADCAST_HANDLE");
static_assert(offsetof(BroadcastHandle, handle) == offsetof(DEV_BROADCAST_HANDLE, dbch_handle),
              "DEV_BROADCAST_HANDLE.dbch_handle");
static_assert(offsetof(BroadcastHandle, notification) == offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify),
              "DEV_BROADCAST_HANDLE.dbch_hdevnotify");
static_assert(offsetof(BroadcastHandle, eventGuid) == offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid),
              "DEV_BROADCAST_HANDLE.dbch_eventguid");
static_assert(offsetof(BroadcastHandle, nameOffset) == offsetof(DEV_BROADCAST_HANDLE, dbch_nameoffset),
              "DEV_BROADCAST_HANDLE.dbch_nameoffset");
static_assert(offsetof(BroadcastHandle, data) == offsetof(DEV_BROADCAST_HANDLE, dbch_data),
              "DEV_BROADCAST_HANDLE.dbch_data");

static_assert(kWmDestroy == WM_DESTROY && kWmDeviceChange == WM_DEVICECHANGE &&
                  kDbtDeviceArrival == DBT_DEVICEARRIVAL &&
                  kDbtDeviceRemoveComplete == DBT_DEVICEREMOVECOMPLETE &&
                  kDbtDevtypDeviceInterface == DBT_DEVTYP_DEVICEINTERFACE &&
                  kDbtDevtypHandle == DBT_DEVTYP_HANDLE,
              "message and event numbers");

// The 32-bit layouts of the interface's records that the host passes in.
#ifndef _WIN64
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 44, "DEV_BROADCAST_HANDLE, 32-bit");
static_assert(sizeof(CWPSTRUCT) == 16, "CWPSTRUCT, 32-bit");
static_assert(sizeof(CommandPacket) == 24, "CommandPacket, 32-bit");
static_assert(offsetof(CommandPacket, requestData) == 0 && offsetof(CommandPacket, requestLength) == 4 &&
                  offsetof(CommandPacket, replyData) == 8 && offsetof(CommandPacket, replyLength) == 12 &&
                  offsetof(CommandPacket, address) == 16 && offsetof(CommandPacket, command) == 18 &&
                  offsetof(CommandPacket, replyAddress) == 20 && offsetof(CommandPacket, replyCommand) == 22,
              "CommandPacket field offsets, 32-bit");
#else
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "DEV_BROADCAST_HANDLE, 64-bit");
#endif

// The platform calls hook procedures with its own calling convention; the
// interface's procedure is reached through this one. The library installs
// one procedure; the latest one installed is the one called.
std::atomic<HookProcedure> g_hookProcedure{nullptr};

LRESULT CALLBACK HookThunk(int code, WPARAM wParam, LPARAM lParam) {
  const HookProcedure procedure = g_hookProcedure.load();
  if (procedure == nullptr) return ::CallNextHookEx(nullptr, code, wParam, lParam);
  return procedure(code, wParam, lParam);
}

// ---- The watch of network devices -----------------------------------------

// How often the hidden window looks at the connection and probes the
// address, and how long one probe may take (on the host's thread).
constexpr UINT kWatchIntervalMs = 250;
constexpr std::chrono::milliseconds kProbeWait{200};
constexpr char kWatchClassName[] = "NorvexNetworkWatch";

// An arrival registration of a host window while a network address is
// configured: its hidden window on the host's thread.
struct InterfaceWatch {
  HWND hidden;
  HWND host;
  Guid interfaceClass;
  DWORD thread;
  HDEVNOTIFY native;  // the platform's registration, when it made one
};
// A removal registration of an open network device.
struct HandleWatch {
  HWND host;
  Handle device;
  Registration parent;
  Guid interfaceClass;
  bool removed = false;  // its removal was sent
};

class NetworkWatches {
 public:
  std::mutex lock;
  std::map<Registration, InterfaceWatch> interfaces;
  std::map<Registration, HandleWatch> handles;
  uintptr_t nextToken = 0x4E570000;
};

NetworkWatches& Watches() {
  static NetworkWatches watches;
  return watches;
}

// Whether the device at a network address answers a probe as free. The
// probe never takes it from another host.
bool NetworkDeviceFree(const device::DeviceAddress& address) {
  const device::Clock::time_point deadline = device::Clock::now() + kProbeWait;
  uint32_t error = 0;
  return device::ProbeFree(winsock_transport::Connect(address.host, address.port, deadline, error), deadline);
}

// One look of the hidden window `hidden`: removals of lost connections,
// then an arrival when the device answers again and none is open.
void Look(HWND hidden) {
  std::vector<HandleWatch> open;
  InterfaceWatch watch{};
  bool found = false;
  {
    std::lock_guard<std::mutex> hold(Watches().lock);
    for (auto& entry : Watches().interfaces) {
      if (entry.second.hidden == hidden) {
        watch = entry.second;
        found = true;
      }
    }
    if (!found) return;
    for (auto& entry : Watches().handles) {
      if (entry.second.host == watch.host) open.push_back(entry.second);
    }
  }
  for (const HandleWatch& handle : open) {
    if (handle.removed || win32::NetworkDeviceAlive(handle.device)) continue;
    {
      std::lock_guard<std::mutex> hold(Watches().lock);
      for (auto& entry : Watches().handles) {
        if (entry.second.device == handle.device) entry.second.removed = true;
      }
    }
    DEV_BROADCAST_HANDLE removal;
    std::memset(&removal, 0, sizeof(removal));
    removal.dbch_size = sizeof(removal);
    removal.dbch_devicetype = DBT_DEVTYP_HANDLE;
    removal.dbch_handle = win32::ToNative(handle.device);
    removal.dbch_hdevnotify = static_cast<HDEVNOTIFY>(handle.parent);
    removal.dbch_eventguid = win32::ToNative(handle.interfaceClass);
    ::SendMessageA(handle.host, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                   reinterpret_cast<LPARAM>(&removal));
  }
  if (!open.empty()) return;
  const device::DeviceAddress address = device::ConfiguredDeviceAddress(Host());
  if (!address.IsNetwork() || !NetworkDeviceFree(address)) return;
  DEV_BROADCAST_DEVICEINTERFACE_A arrival;
  std::memset(&arrival, 0, sizeof(arrival));
  arrival.dbcc_size = sizeof(arrival);
  arrival.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  arrival.dbcc_classguid = win32::ToNative(watch.interfaceClass);
  ::SendMessageA(watch.host, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
}

LRESULT CALLBACK WatchProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    Look(window);
    return 0;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWatchWindow() {
  static const ATOM watchClass = [] {
    WNDCLASSA c{};
    c.lpfnWndProc = &WatchProcedure;
    c.hInstance = ::GetModuleHandleA(nullptr);
    c.lpszClassName = kWatchClassName;
    return ::RegisterClassA(&c);
  }();
  if (watchClass == 0) return nullptr;
  HWND hidden = ::CreateWindowExA(0, kWatchClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ::GetModuleHandleA(nullptr), nullptr);
  if (hidden != nullptr) ::SetTimer(hidden, 1, kWatchIntervalMs, nullptr);
  return hidden;
}

class Win32Windows final : public WindowSystem {
 public:
  Registration RegisterInterfaceNotification(Window window, const Guid& interfaceClass) override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = win32::ToNative(interfaceClass);
    HDEVNOTIFY native =
        ::RegisterDeviceNotificationA(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    // Without a network address, exactly the platform's registration.
    if (!device::ConfiguredDeviceAddress(Host()).IsNetwork()) return native;
    HWND hidden = MakeWatchWindow();
    if (hidden == nullptr) return native;
    std::lock_guard<std::mutex> hold(Watches().lock);
    Registration key =
        native != nullptr ? static_cast<Registration>(native) : static_cast<Registration>(hidden);
    Watches().interfaces[key] =
        InterfaceWatch{hidden, static_cast<HWND>(window), interfaceClass, ::GetCurrentThreadId(), native};
    return key;
  }

  Registration RegisterHandleNotification(Window window, Handle device, Registration interfaceRegistration,
                                          const Guid& interfaceClass) override {
    if (win32::IsNetworkDevice(device)) {
      std::lock_guard<std::mutex> hold(Watches().lock);
      Watches().nextToken += 4;
      Registration token = reinterpret_cast<Registration>(Watches().nextToken);
      Watches().handles[token] =
          HandleWatch{static_cast<HWND>(window), device, interfaceRegistration, interfaceClass, false};
      return token;
    }
    DEV_BROADCAST_HANDLE filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = win32::ToNative(device);
    filter.dbch_hdevnotify = static_cast<HDEVNOTIFY>(interfaceRegistration);
    filter.dbch_eventguid = win32::ToNative(interfaceClass);
    return ::RegisterDeviceNotificationA(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  bool UnregisterNotification(Registration registration) override {
    HWND hidden = nullptr;
    HDEVNOTIFY native = static_cast<HDEVNOTIFY>(registration);
    {
      std::lock_guard<std::mutex> hold(Watches().lock);
      if (Watches().handles.erase(registration) != 0) return true;
      auto found = Watches().interfaces.find(registration);
      if (found != Watches().interfaces.end()) {
        hidden = found->second.hidden;
        native = found->second.native;
        Watches().interfaces.erase(found);
      }
    }
    if (hidden != nullptr) {
      // A window is destroyed by its own thread; from another one (an
      // unload elsewhere) the module stays loaded for the window procedure
      // of a window that outlives the registration.
      if (!::DestroyWindow(hidden)) {
        HMODULE self = nullptr;
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCSTR>(&WatchProcedure), &self);
        ::PostMessageA(hidden, WM_CLOSE, 0, 0);
      }
      if (native == nullptr) return true;
    }
    return ::UnregisterDeviceNotification(native) != FALSE;
  }

  Hook InstallHook(HookProcedure procedure) override {
    g_hookProcedure.store(procedure);
    return ::SetWindowsHookExA(WH_CALLWNDPROC, &HookThunk, nullptr, ::GetCurrentThreadId());
  }

  bool RemoveHook(Hook hook) override { return ::UnhookWindowsHookEx(static_cast<HHOOK>(hook)) != FALSE; }

  intptr_t CallNextHook(Hook hook, int code, uintptr_t wParam, intptr_t lParam) override {
    return ::CallNextHookEx(static_cast<HHOOK>(hook), code, wParam, lParam);
  }
};

}  // namespace

WindowSystem& Windows() {
  static Win32Windows windows;
  return windows;
}

}  // namespace norvex::platform
