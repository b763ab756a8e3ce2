// device_watch.cpp: Norvex_Init's watch and the hot-plug hook.
#include "connection/device_watch.h"

#include "norvex.h"

namespace norvex {

DeviceWatch::DeviceWatch(CDriverLog& log, UsbLink& usb, platform::WindowSystem& windows,
                         std::atomic<uint32_t>& lastResult)
    : m_log(log), m_usb(usb), m_windows(windows), m_lastResult(lastResult) {}

DeviceWatch::~DeviceWatch() {
  StopWatching();
  m_usb.CloseAtUnload();
}

void DeviceWatch::StopWatching() {
  std::lock_guard<std::mutex> hold(m_watchLock);
  ReleaseWatch();
}

void DeviceWatch::ReleaseWatch() {
  if (m_interfaceRegistration != nullptr) {
    m_windows.UnregisterNotification(m_interfaceRegistration);
    m_interfaceRegistration = nullptr;
  }
  if (platform::Hook hook = m_hook.exchange(nullptr)) m_windows.RemoveHook(hook);
}

uint32_t DeviceWatch::Init(platform::Window window, platform::HookProcedure hook) {
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

uint32_t DeviceWatch::OpenDevice() {
  platform::Registration interfaceRegistration;
  {
    std::lock_guard<std::mutex> hold(m_watchLock);
    interfaceRegistration = m_interfaceRegistration;
  }
  return m_usb.Open(m_hostWindow.load(), interfaceRegistration) ? NORVEX_OK : CTP_ERR_NO_DEVICE;
}

uint32_t DeviceWatch::PortStatus() const { return m_usb.IsOpen() ? NORVEX_OK : CTP_ERR_NO_DEVICE; }

intptr_t DeviceWatch::HookProc(int code, uintptr_t wParam, intptr_t lParam) {
  const platform::Hook hook = m_hook.load();
  if (code < 0) return m_windows.CallNextHook(hook, code, wParam, lParam);

  const auto* message = reinterpret_cast<const platform::HookMessage*>(lParam);
  const platform::Window window = m_hostWindow.load();
  if (message != nullptr && window != nullptr && message->window == window) {
    const auto* broadcast = reinterpret_cast<const platform::BroadcastHeader*>(message->lParam);
    if (message->message == platform::kWmDestroy) {
      m_log.WriteLine("Windows Destroy!");
      m_usb.Close();
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
        m_usb.Close();
      }
    }
  }
  return m_windows.CallNextHook(hook, code, wParam, lParam);
}

}  // namespace norvex
