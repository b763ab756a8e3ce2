/* norvex_posix.h: the host side of the window stand-in of the POSIX build.
 *
 * On Windows the library follows the device through notifications sent to
 * the host's window and a hook on the thread that called Norvex_Init. On
 * POSIX systems there is no window system, so the library brings a small one:
 * a host creates a window here, passes it to Norvex_Init, and lets its
 * message loop call NorvexHost_DispatchMessages on the same thread. The
 * arrival of a device endpoint in the device folder and the removal of the
 * open device's endpoint then reach the library's hook on that thread, as
 * WM_DEVICECHANGE messages do on Windows.
 */
#ifndef NORVEX_POSIX_H
#define NORVEX_POSIX_H

#include "norvex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a window owned by the calling thread. Null when it cannot. */
NORVEX_API NorvexWindow NORVEX_CALL NorvexHost_CreateWindow(void);

/* Destroys a window of the calling thread: WM_DESTROY goes through the
 * thread's hooks first. Returns 0, or NORVEX_ERR_INVALID_ARGUMENT for an
 * unknown window or one of another thread. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_DestroyWindow(NorvexWindow window);

/* Delivers the device notifications for the calling thread's windows,
 * waiting at most timeoutMs for the first one. Returns how many messages
 * were delivered. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_DispatchMessages(uint32_t timeoutMs);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NORVEX_POSIX_H */
