// host_files.h: the names of the host application's files that the library
// uses: its INI file and the log folder, in the host files' folder (beside
// the executable on Windows; see HostEnvironment::HostFilesFolder).
#pragma once

#include <string>

#include "platform/platform.h"

namespace norvex {

inline constexpr const char* kIniFileName = "Varnock.ini";
inline constexpr const char* kIniSection = "LOG";
inline constexpr const char* kLogFolderName = "log";
inline constexpr const char* kLogFileName = "UsbDriver.log";

// "<host files folder>/Varnock.ini" with the platform's separator.
inline std::string IniFilePath(platform::HostEnvironment& host) {
  return host.HostFilesFolder() + host.PathSeparator() + kIniFileName;
}

// "<host files folder>/log/" with the platform's separator, trailing one included.
inline std::string LogFolderPath(platform::HostEnvironment& host) {
  return host.HostFilesFolder() + host.PathSeparator() + kLogFolderName + host.PathSeparator();
}

}  // namespace norvex
