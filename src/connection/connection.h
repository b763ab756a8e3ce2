// connection.h: Connection, the lifecycle of the link: Norvex_Init, opening
// and closing the device, and following its arrival and removal through
// device notifications to the host's window and a message hook on the thread
// that called Norvex_Init.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/usb_link.h"
#include "log/driver_log.h"
#include "platform/platform.h"

namespace norvex {

class Connection {
 public:
  Connection(CDriverLog& log, UsbLink& usb, platform::WindowSystem& windows,
             std::atomic<uint32_t>& lastResult);
  // Removes the notification registrations and the hook when Norvex_Init
  // obtained them, and closes the device without a log line, so that no
  // transfer or driver resource outlives the library. It waits at most
  // kUnloadPinWaitMs for running exchanges to let go of the handle: at
  // process exit a thread may have been ended in the middle of one, and its
  // pin is never released. The handle is closed in any case (the driver
  // makes a transfer still running on it fail).
  ~Connection();

  static constexpr uint32_t kUnloadPinWaitMs = 1000;

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Norvex_Init: watches `window` (when not null) with a notification
  // registration and `hook` on the calling thread, replacing those of an
  // earlier call, and opens the device. Returns 0 or CTP_ERR_NO_DEVICE.
  uint32_t Init(platform::Window window, platform::HookProcedure hook);
  // Closes what is open, then opens the first device (or the pseudo link of
  // the modes without a device). 0, or CTP_ERR_NO_DEVICE.
  uint32_t OpenDevice();
  // Closes the link when open: 0, or the platform's error of the close.
  uint32_t CloseDevice();
  // The hook procedure's work: arrivals open, removals and the window's
  // destruction close; every call is passed on to the next hook.
  intptr_t HookProc(int code, uintptr_t wParam, intptr_t lParam);

  // 0 while the link is open, CTP_ERR_NO_DEVICE otherwise.
  uint32_t PortStatus() const;
  // The platform's reason why the latest open failed (0 after a success).
  uint32_t OpenError() const { return m_openError.load(); }

 private:
  // Closes the link when open; the caller holds the handle lock. `logged`:
  // whether the close writes "Close Device!" (unload closes quietly).
  uint32_t CloseDeviceLocked(bool logged = true);
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
  // The removal registration of the open handle, one per open handle:
  // removed when the handle is closed. Changed under the handle lock.
  platform::Registration m_handleRegistration = nullptr;
  std::atomic<platform::Hook> m_hook{nullptr};
  std::atomic<uint32_t> m_openError{0};
};

}  // namespace norvex
