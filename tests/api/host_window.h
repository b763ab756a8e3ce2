// host_window.h: a host window for the hot-plug tests and the message loop
// that the library's hot-plug rides on: on Windows a real window and
// PeekMessage/DispatchMessage, elsewhere the POSIX window stand-in of
// norvex_posix.h.
#pragma once

#include <cstdint>

#include "norvex.h"
#ifdef _WIN32
#include <windows.h>
#else
#include "norvex_posix.h"
#endif

namespace norvex_api_test {

#ifdef _WIN32
inline LRESULT CALLBACK HostWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcA(window, message, wParam, lParam);
}

inline NorvexWindow CreateHostWindow() {
  static const ATOM windowClass = [] {
    WNDCLASSA c{};
    c.lpfnWndProc = &HostWindowProcedure;
    c.lpszClassName = "NorvexApiTestHost";
    return ::RegisterClassA(&c);
  }();
  if (windowClass == 0) return nullptr;
  return ::CreateWindowA("NorvexApiTestHost", "Norvex API test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                         nullptr, nullptr, nullptr);
}

inline uint32_t DestroyHostWindow(NorvexWindow window) {
  return ::DestroyWindow(static_cast<HWND>(window)) ? NORVEX_OK : ::GetLastError();
}

// Dispatches the thread's messages, waiting at most `milliseconds` for the
// first ones to come, as NorvexHost_DispatchMessages does.
inline void DispatchHostMessages(uint32_t milliseconds) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    bool dispatched = false;
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
      dispatched = true;
    }
    const DWORD spent = ::GetTickCount() - start;
    if (dispatched || spent >= milliseconds) return;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - spent, QS_ALLINPUT);
  }
}
#else
inline NorvexWindow CreateHostWindow() { return NorvexHost_CreateWindow(); }
inline uint32_t DestroyHostWindow(NorvexWindow window) { return NorvexHost_DestroyWindow(window); }
inline void DispatchHostMessages(uint32_t milliseconds) { NorvexHost_DispatchMessages(milliseconds); }
#endif

}  // namespace norvex_api_test
