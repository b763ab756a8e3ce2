// win32_api.h: the Windows headers for the win32 platform code only, and the
// small owners of Windows handles that it shares.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <cstdint>

#include "platform/platform.h"

namespace norvex::platform::win32 {

inline HANDLE ToNative(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline Handle FromNative(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// The interface's GUID as the platform's GUID: the same 16 bytes.
inline GUID ToNative(const Guid& guid) {
  GUID native{};
  native.Data1 = guid.data1;
  native.Data2 = guid.data2;
  native.Data3 = guid.data3;
  for (int i = 0; i < 8; ++i) native.Data4[i] = guid.data4[i];
  return native;
}

// Owns a kernel handle (event, file) that is null when absent.
class UniqueEvent {
 public:
  UniqueEvent() = default;
  explicit UniqueEvent(HANDLE handle) : m_handle(handle) {}
  ~UniqueEvent() { reset(); }
  UniqueEvent(const UniqueEvent&) = delete;
  UniqueEvent& operator=(const UniqueEvent&) = delete;
  UniqueEvent(UniqueEvent&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
  UniqueEvent& operator=(UniqueEvent&& other) noexcept {
    if (this != &other) {
      reset();
      m_handle = other.m_handle;
      other.m_handle = nullptr;
    }
    return *this;
  }
  HANDLE get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  void reset() {
    if (m_handle != nullptr) ::CloseHandle(m_handle);
    m_handle = nullptr;
  }

 private:
  HANDLE m_handle = nullptr;
};

// A manual-reset, initially not signalled, unnamed event: one per transfer.
inline UniqueEvent CreateTransferEvent() {
  return UniqueEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

}  // namespace norvex::platform::win32
