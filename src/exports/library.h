// library.h: Library, the composition root: the library's static objects,
// built at load in this order and destroyed at unload in the reverse order,
// so that the driver log is the first to open and the last to close. The
// exports reach the parts they call through it.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/device_watch.h"
#include "link/usb_link.h"
#include "log/debug_folder.h"
#include "log/driver_log.h"
#include "platform/platform.h"
#include "printdata/print_data_file.h"
#include "printdata/print_data_path.h"
#include "printdata/print_data_sinks.h"
#include "printdata/tiff_capture.h"
#include "protocol/device_link.h"

namespace norvex {

class Library {
 public:
  Library(platform::HostEnvironment& host, platform::Driver& driver, platform::WindowSystem& windows,
          uint32_t lockWaitMs = CDeviceLink::kLockWaitMs);

  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  platform::HostEnvironment& Host() { return m_host; }
  LinkSettings& Settings() { return m_settings; }
  DebugFolder& Debug() { return m_debugFolder; }
  UsbLink& Usb() { return m_usb; }
  CDeviceLink& Link() { return m_link; }
  PrintDataPath& PrintData() { return m_printData; }
  DeviceWatch& Watch() { return m_watch; }

  // The first step of the unload: the watch lets go of the host's window
  // and the device is closed as at unload (quietly, with a bounded wait for
  // the exchanges on it), so that an exchange that waits for the device
  // ends. The objects stay; the destructor does the rest.
  void CloseForUnload();
  // The end of an unload that leaves the objects in place, for a call still
  // inside them: the log gets its "Application Close!" and takes no more.
  void EndUnloadInPlace() { m_log.Close(); }

  // The result of the latest export that stores one; the last writer wins.
  uint32_t LastResult() const { return m_lastResult.load(); }
  // Stores `result` in the last-result word and returns it.
  uint32_t Store(uint32_t result) {
    m_lastResult.store(result);
    return result;
  }

 private:
  platform::HostEnvironment& m_host;
  CDriverLog m_log;
  PrintDataFile m_printDataFile;
  CTiffCapture m_tiffCapture;
  DebugFolder m_debugFolder;
  LinkSettings m_settings;
  std::atomic<uint32_t> m_lastResult{0};
  UsbLink m_usb;
  CDeviceLink m_link;
  // Where bulk data goes in each link mode; PrintDataPath chooses among them
  // when the mode is set (printdata/link_modes.h).
  PrintDataSinks m_sinks;
  PrintDataPath m_printData;
  DeviceWatch m_watch;
};

// The one instance of the loaded library. Defined by the shared library only;
// the core's tests build their own Library objects.
Library& TheLibrary();

}  // namespace norvex
