// posix_host_exports.cpp: the host side of the POSIX window stand-in, the
// host files' folder, the INI writer, the last open's error and the
// library's texts in UTF-8 (norvex_posix.h).
#include <new>
#include <string>

#include "exports/export_support.h"
#include "log/host_files.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "platform/library_texts.h"
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

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetFilesFolder(char* buffer, uint32_t capacity) {
  return norvex::texts::CopyToBuffer(norvex::TheLibrary().Host().HostFilesFolder(), buffer, capacity);
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_WriteIniString(const char* section, const char* key,
                                                          const char* value) {
  return norvex::WriteHostIniString(norvex::TheLibrary().Host(), section, key, value);
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetOpenError(void) {
  return norvex::TheLibrary().Watch().OpenError();
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetErrorText(uint32_t errorCode, char* buffer, uint32_t capacity) {
  try {
    std::string text;
    norvex::TheLibrary().Link().FormatFailure(errorCode, text);
    return norvex::texts::CopyToBuffer(norvex::texts::ToUtf8(text, true), buffer, capacity);
  } catch (const std::bad_alloc&) {
    return norvex::texts::CopyToBuffer("", buffer, capacity);  // no memory for the text
  }
}

NORVEX_API uint32_t NORVEX_CALL NorvexHost_TextToUtf8(const char* text, char* buffer, uint32_t capacity) {
  try {
    return norvex::texts::CopyToBuffer(norvex::texts::ToUtf8(text != nullptr ? text : "", true), buffer,
                                       capacity);
  } catch (const std::bad_alloc&) {
    return norvex::texts::CopyToBuffer("", buffer, capacity);
  }
}

}  // extern "C"
