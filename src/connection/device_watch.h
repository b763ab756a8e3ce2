// device_watch.h: DeviceWatch, Norvex_Init's watch over the platesetter: the
// host's window registered for arrivals of the device interface class, and a
// message hook on the thread that called Norvex_Init, which opens the link
// at each arrival and closes it at the device's removal or when the host's
// window is destroyed. Opening and closing themselves are the link's
// (UsbLink).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/usb_link.h"
#include "log/driver_log.h"
#include "platform/platform.h"

namespace norvex {

class DeviceWatch {
 public:
  DeviceWatch(CDriverLog& log, UsbLink& usb, platform::WindowSystem& windows,
              std::atomic<uint32_t>& lastResult);
  // Removes the notification registration and the hook when Norvex_Init
  // obtained them, then closes the link as the unload does (quietly, with a
  // bounded wait for running exchanges), so that the device is closed before
  // the print-data path lets go of a bulk write left outstanding.
  ~DeviceWatch();

  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Norvex_Init: stores 0 in the last-result word, watches `window` (when
  // not null) with a notification registration and `hook` on the calling
  // thread, replacing those of an earlier call, and opens the device.
  // Returns 0 or CTP_ERR_NO_DEVICE.
  uint32_t Init(platform::Window window, platform::HookProcedure hook);
  // Closes what is open, then opens the first device (or the pseudo link of
  // the modes without a device), its removal message going to the watched
  // window. 0, or CTP_ERR_NO_DEVICE.
  uint32_t OpenDevice();
  // The hook procedure's work: arrivals open, removals and the window's
  // destruction close; every call is passed on to the next hook.
  intptr_t HookProc(int code, uintptr_t wParam, intptr_t lParam);

  // Removes the notification registration and the hook when Norvex_Init
  // obtained them: no arrival opens the device any more.
  void StopWatching();

  // 0 while the link is open, CTP_ERR_NO_DEVICE otherwise.
  uint32_t PortStatus() const;
  // The platform's reason why the latest open failed (0 after a success).
  uint32_t OpenError() const { return m_usb.OpenError(); }

 private:
  void ReleaseWatch();

  CDriverLog& m_log;
  UsbLink& m_usb;
  platform::WindowSystem& m_windows;
  std::atomic<uint32_t>& m_lastResult;

  // Guards the watch: Init may run on one thread while the hook runs on
  // another (after a second Init from another thread).
  std::mutex m_watchLock;
  std::atomic<platform::Window> m_hostWindow{nullptr};
  platform::Registration m_interfaceRegistration = nullptr;
  std::atomic<platform::Hook> m_hook{nullptr};
};

}  // namespace norvex
