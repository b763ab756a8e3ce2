// host_files.h: the names of the host application's files that the library
// uses: its INI file and the log folder beside its executable.
#pragma once

#include <string>

#include "platform/platform.h"

namespace norvex {

inline constexpr const char* kIniFileName = "Varnock.ini";
inline constexpr const char* kIniSection = "LOG";
inline constexpr const char* kLogFolderName = "log";
inline constexpr const char* kLogFileName = "UsbDriver.log";

// "<executable folder>/Varnock.ini" with the platform's separator.
inline std::string IniFilePath(platform::HostEnvironment& host) {
  return host.ExecutableFolder() + host.PathSeparator() + kIniFileName;
}

// "<executable folder>/log/" with the platform's separator, trailing one included.
inline std::string LogFolderPath(platform::HostEnvironment& host) {
  return host.ExecutableFolder() + host.PathSeparator() + kLogFolderName + host.PathSeparator();
}

}  // namespace norvex
