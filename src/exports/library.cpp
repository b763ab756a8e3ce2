// library.cpp: construction of the library's static objects.
#include "exports/library.h"

namespace norvex {

Library::Library(platform::HostEnvironment& host, platform::Driver& driver, platform::WindowSystem& windows,
                 uint32_t lockWaitMs)
    : m_host(host),
      m_log(host),
      m_printDataFile(host),
      m_debugFolder(host),
      m_usb(driver, windows, host, m_log, m_settings, m_debugFolder),
      m_link(m_log, host, m_usb, lockWaitMs),
      m_sinks(m_usb, m_tiffCapture, m_printDataFile, host, m_debugFolder, m_log),
      m_printData(m_settings, m_usb, m_log, m_sinks),
      m_watch(m_log, m_usb, windows, m_lastResult) {}

void Library::CloseForUnload() {
  m_watch.StopWatching();
  m_usb.CloseAtUnload();
}

}  // namespace norvex
