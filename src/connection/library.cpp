// library.cpp: construction of the library's static objects.
#include "connection/library.h"

namespace norvex {

Library::Library(platform::HostEnvironment& hostEnvironment, platform::Driver& driver,
                 platform::WindowSystem& windows, uint32_t lockWaitMs)
    : host(hostEnvironment),
      log(host),
      printDataFile(host),
      debugFolder(host),
      usb(driver, host, settings, debugFolder),
      link(log, host, usb, lockWaitMs),
      printData(driver, host, settings, usb, log, debugFolder, printDataFile, tiffCapture),
      connection(log, usb, windows, lastResult) {}

}  // namespace norvex
