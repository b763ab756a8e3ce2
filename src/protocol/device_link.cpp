// device_link.cpp: CDeviceLink (see device_link.h).
#include "protocol/device_link.h"

#include <algorithm>
#include <cstring>

#include "log/host_files.h"

namespace norvex {

CDeviceLink::CDeviceLink(CDriverLog& log, platform::HostEnvironment& host)
    : m_log(log), m_host(host) {
  const std::string ini = IniFilePath(m_host);
  const int32_t configured = m_host.ReadIniInt(ini, kIniSection, "LockTime", -1);
  if (configured == -1) {
    m_lockTime = kDefaultLockTimeMs;
    m_host.WriteIniString(ini, kIniSection, "LockTime", std::to_string(kDefaultLockTimeMs));
  } else {
    m_lockTime = static_cast<uint32_t>(configured);
  }
}

CDeviceLink::~CDeviceLink() = default;

void CDeviceLink::RecordFailure(const CommandPacket& packet, uint32_t code) {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(m_failureLock);
    FillFailureRecord(m_failure, packet, code);
    FormatFailureText(m_failure, code, text);
  }
  m_log.WriteLine(text);
}

int CDeviceLink::FormatFailure(uint32_t code, std::string& text) const {
  std::lock_guard<std::mutex> hold(m_failureLock);
  return FormatFailureText(m_failure, code, text);
}

const char* CDeviceLink::ErrorInfo(uint32_t code) const {
  // A plain array: a thread-local object with a destructor would pin the
  // shared library in memory until the thread ends, so that unloading it
  // would not run its unload. The longest text is well under its size.
  thread_local char errorText[512];
  std::string text;
  FormatFailure(code, text);
  const size_t length = std::min(text.size(), sizeof(errorText) - 1);
  std::memcpy(errorText, text.data(), length);
  errorText[length] = '\0';
  return errorText;
}

}  // namespace norvex
