// win32_windows.cpp: the WindowSystem of Windows: device notifications to the
// host's window (RegisterDeviceNotificationA) and the call-window-procedure
// hook of the thread that called Norvex_Init.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "norvex.h"
#include "platform/platform.h"
#include "platform/win32/win32_api.h"

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

class Win32Windows final : public WindowSystem {
 public:
  Registration RegisterInterfaceNotification(Window window, const Guid& interfaceClass) override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = win32::ToNative(interfaceClass);
    return ::RegisterDeviceNotificationA(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  Registration RegisterHandleNotification(Window window, Handle device, Registration interfaceRegistration,
                                          const Guid& interfaceClass) override {
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
    return ::UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(registration)) != FALSE;
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
