// posix_host_exports.cpp: the host side of the POSIX window stand-in, the
// host files' folder, the INI writer and the last open's error
// (norvex_posix.h).
#include <cstring>
#include <string_view>

#include "exports/export_support.h"
#include "log/host_files.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "platform/posix/posix_windows.h"

namespace windows = norvex::platform::posix_windows;

namespace {

// The platform's code for a file that cannot be written.
constexpr uint32_t kErrorWriteFault = 29;

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }
bool BlankAtEnds(std::string_view text) {
  return !text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t');
}

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
  const std::string folder = norvex::TheLibrary().Host().HostFilesFolder();
  if (buffer != nullptr && capacity > 0) {
    const size_t n = folder.size() < capacity - 1 ? folder.size() : capacity - 1;
    std::memcpy(buffer, folder.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<uint32_t>(folder.size());
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_WriteIniString(const char* section, const char* key, const char* value) {
  if (section == nullptr || key == nullptr || value == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  const std::string_view s(section);
  const std::string_view k(key);
  const std::string_view v(value);
  // Texts that would make other lines of the file, or a key that reads back
  // as another one.
  if (s.empty() || k.empty() || s.find(']') != std::string_view::npos || k.find('=') != std::string_view::npos ||
      HasLineBreak(s) || HasLineBreak(k) || HasLineBreak(v) || BlankAtEnds(k)) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  norvex::platform::HostEnvironment& host = norvex::TheLibrary().Host();
  return host.WriteIniString(norvex::IniFilePath(host), s, k, v) ? NORVEX_OK : kErrorWriteFault;
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetOpenError(void) {
  return norvex::TheLibrary().Watch().OpenError();
}

}  // extern "C"
