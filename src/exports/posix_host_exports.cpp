// posix_host_exports.cpp: the host side of the POSIX window stand-in
// (norvex_posix.h).
#include "norvex.h"
#include "norvex_posix.h"
#include "platform/posix/posix_windows.h"

namespace windows = norvex::platform::posix_windows;

extern "C" {

NORVEX_API NorvexWindow NORVEX_CALL NorvexHost_CreateWindow(void) { return windows::CreateWindow(); }

NORVEX_API uint32_t NORVEX_CALL NorvexHost_DestroyWindow(NorvexWindow window) {
  return windows::DestroyWindow(window) ? NORVEX_OK : NORVEX_ERR_INVALID_ARGUMENT;
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_DispatchMessages(uint32_t timeoutMs) {
  return windows::DispatchMessages(timeoutMs);
}

}  // extern "C"
