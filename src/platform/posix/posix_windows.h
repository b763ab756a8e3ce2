// posix_windows.h: the window stand-in of the POSIX build: what the host
// side (norvex_posix.h) calls on top of the WindowSystem interface.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace norvex::platform::posix_windows {

// A new window owned by the calling thread; null when it cannot be made.
Window CreateWindow();
// Sends WM_DESTROY through the calling thread's hooks and forgets the
// window. False for an unknown window or one of another thread.
bool DestroyWindow(Window window);
// Waits up to `timeoutMs` for changes in the device folder and sends the
// device notifications of the calling thread's windows. Returns how many
// messages were sent.
uint32_t DispatchMessages(uint32_t timeoutMs);
// Sends one message to `window` through the hooks of the calling thread, as
// the window system's own send does. Returns false when the window is not
// one of the calling thread's.
bool SendToWindow(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace norvex::platform::posix_windows
