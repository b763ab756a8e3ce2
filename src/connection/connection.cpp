// connection.cpp: Norvex_Init, open, close and the hot-plug hook.
#include "connection/connection.h"

#include <chrono>

#include "norvex.h"

namespace norvex {

Connection::Connection(CDriverLog& log, UsbLink& usb, platform::WindowSystem& windows,
                       std::atomic<uint32_t>& lastResult)
    : m_log(log), m_usb(usb), m_windows(windows), m_lastResult(lastResult) {}

Connection::~Connection() {
  {
    std::lock_guard<std::mutex> hold(m_watchLock);
    ReleaseWatch();
  }
  // Not owned when a pin outlived its thread; the close goes ahead anyway.
  auto guard = m_usb.LockHandleFor(std::chrono::milliseconds(kUnloadPinWaitMs));
  CloseDeviceLocked(false);
}

void Connection::ReleaseWatch() {
  if (m_interfaceRegistration != nullptr) {
    m_windows.UnregisterNotification(m_interfaceRegistration);
    m_interfaceRegistration = nullptr;
  }
  if (platform::Hook hook = m_hook.exchange(nullptr)) m_windows.RemoveHook(hook);
}

uint32_t Connection::Init(platform::Window window, platform::HookProcedure hook) {
  m_lastResult.store(NORVEX_OK);
  {
    std::lock_guard<std::mutex> hold(m_watchLock);
    // A repeated Init replaces the earlier watch, so that each message is
    // handled once.
    ReleaseWatch();
    m_hostWindow.store(window);
    if (window != nullptr) {
      m_interfaceRegistration = m_windows.RegisterInterfaceNotification(window, kDeviceInterfaceGuid);
      m_hook.store(m_windows.InstallHook(hook));
    }
  }
  return OpenDevice();
}

uint32_t Connection::OpenDevice() {
  auto guard = m_usb.LockHandle();
  CloseDeviceLocked();
  uint32_t error = 0;
  const platform::Handle handle = m_usb.OpenDeviceInterface(kDeviceInterfaceGuid, 0, error);
  m_openError.store(error);
  m_usb.SetDeviceHandle(handle);
  if (handle == platform::kInvalidHandle) return CTP_ERR_NO_DEVICE;
  m_log.WriteLine("Open Device!");
  platform::Registration interfaceRegistration;
  {
    std::lock_guard<std::mutex> hold(m_watchLock);
    interfaceRegistration = m_interfaceRegistration;
  }
  // Kept, so that the close removes it: one removal message per unplug,
  // however often the device was opened.
  m_handleRegistration = m_windows.RegisterHandleNotification(m_hostWindow.load(), handle,
                                                              interfaceRegistration, kDeviceInterfaceGuid);
  return NORVEX_OK;
}

uint32_t Connection::CloseDevice() {
  auto guard = m_usb.LockHandle();
  return CloseDeviceLocked();
}

uint32_t Connection::CloseDeviceLocked(bool logged) {
  const platform::Handle handle = m_usb.DeviceHandle();
  if (handle == platform::kInvalidHandle) return NORVEX_OK;
  if (logged) m_log.WriteLine("Close Device!");
  // The window system forgets the handle before it is closed.
  if (m_handleRegistration != nullptr) {
    m_windows.UnregisterNotification(m_handleRegistration);
    m_handleRegistration = nullptr;
  }
  const uint32_t result = m_usb.CloseDeviceHandle(handle);
  m_usb.SetDeviceHandle(platform::kInvalidHandle);
  return result;
}

uint32_t Connection::PortStatus() const {
  return m_usb.IsOpen() ? NORVEX_OK : CTP_ERR_NO_DEVICE;
}

intptr_t Connection::HookProc(int code, uintptr_t wParam, intptr_t lParam) {
  const platform::Hook hook = m_hook.load();
  if (code < 0) return m_windows.CallNextHook(hook, code, wParam, lParam);

  const auto* message = reinterpret_cast<const platform::HookMessage*>(lParam);
  const platform::Window window = m_hostWindow.load();
  if (message != nullptr && window != nullptr && message->window == window) {
    const auto* broadcast = reinterpret_cast<const platform::BroadcastHeader*>(message->lParam);
    if (message->message == platform::kWmDestroy) {
      m_log.WriteLine("Windows Destroy!");
      CloseDevice();
    } else if (message->message == platform::kWmDeviceChange && broadcast != nullptr) {
      if (message->wParam == platform::kDbtDeviceArrival &&
          broadcast->deviceType == platform::kDbtDevtypDeviceInterface &&
          reinterpret_cast<const platform::BroadcastDeviceInterface*>(broadcast)->classGuid ==
              kDeviceInterfaceGuid) {
        m_log.WriteLine("Device Arrival!");
        OpenDevice();
        m_lastResult.store(NORVEX_OK);
      } else if (message->wParam == platform::kDbtDeviceRemoveComplete &&
                 broadcast->deviceType == platform::kDbtDevtypHandle &&
                 reinterpret_cast<const platform::BroadcastHandle*>(broadcast)->handle ==
                     m_usb.DeviceHandle()) {
        m_log.WriteLine("Device Remove Complete!");
        CloseDevice();
      }
    }
  }
  return m_windows.CallNextHook(hook, code, wParam, lParam);
}

}  // namespace norvex
