// library.h: the library's static objects, built at load in this order and
// destroyed at unload in the reverse order, so that the driver log is the
// first to open and the last to close.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/connection.h"
#include "link/usb_link.h"
#include "log/debug_folder.h"
#include "log/driver_log.h"
#include "platform/platform.h"
#include "printdata/print_data_file.h"
#include "printdata/print_data_path.h"
#include "printdata/tiff_capture.h"
#include "protocol/device_link.h"

namespace norvex {

class Library {
 public:
  Library(platform::HostEnvironment& host, platform::Driver& driver, platform::WindowSystem& windows,
          uint32_t lockWaitMs = CDeviceLink::kLockWaitMs);

  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  platform::HostEnvironment& host;
  CDriverLog log;
  PrintDataFile printDataFile;
  CTiffCapture tiffCapture;
  DebugFolder debugFolder;
  LinkSettings settings;
  // The result of the latest export that stores one; the last writer wins.
  std::atomic<uint32_t> lastResult{0};
  UsbLink usb;
  CDeviceLink link;
  PrintDataPath printData;
  Connection connection;
};

// The one instance of the loaded library. Defined by the shared library only;
// the core's tests build their own Library objects.
Library& TheLibrary();

}  // namespace norvex
