// posix_host_exports.cpp: the host side of the POSIX window stand-in, the
// host files' folder, the INI writer and the last open's error
// (norvex_posix.h).
#include <cstring>
#include <string>

#include "exports/export_support.h"
#include "log/host_files.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "platform/posix/posix_windows.h"

namespace windows = norvex::platform::posix_windows;
using norvex::WhileLoaded;

namespace {

// While the library is unloaded: no folder (the buffer is left as it is),
// the INI file not written, no device endpoint.
constexpr uint32_t kUnloadedFolder = 0;
constexpr uint32_t kUnloadedIniWrite = 29;
constexpr uint32_t kUnloadedOpenError = NORVEX_ERROR_NO_MORE_ITEMS;

}  // namespace

extern "C" {

NORVEX_API NorvexWindow NORVEX_CALL NorvexHost_CreateWindow(void) { return windows::CreateWindow(); }

NORVEX_API uint32_t NORVEX_CALL NorvexHost_DestroyWindow(NorvexWindow window) {
  return windows::DestroyWindow(window) ? NORVEX_OK : NORVEX_ERR_INVALID_ARGUMENT;
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_DispatchMessages(uint32_t timeoutMs) {
  return windows::DispatchMessages(timeoutMs);
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetFilesFolder(char* buffer, uint32_t capacity) {
  return WhileLoaded(kUnloadedFolder, [&] {
    const std::string folder = norvex::TheLibrary().Host().HostFilesFolder();
    if (buffer != nullptr && capacity > 0) {
      const size_t n = folder.size() < capacity - 1 ? folder.size() : capacity - 1;
      std::memcpy(buffer, folder.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<uint32_t>(folder.size());
  });
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_WriteIniString(const char* section, const char* key,
                                                          const char* value) {
  return WhileLoaded(kUnloadedIniWrite, [&] {
    return norvex::WriteHostIniString(norvex::TheLibrary().Host(), section, key, value);
  });
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetOpenError(void) {
  return WhileLoaded(kUnloadedOpenError, [&] { return norvex::TheLibrary().Watch().OpenError(); });
}

}  // extern "C"
