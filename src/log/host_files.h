// host_files.h: the names of the host application's files that the library
// uses: its INI file and the log folder, in the host files' folder (beside
// the executable on Windows; see HostEnvironment::HostFilesFolder).
#pragma once

#include <cstdint>
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

// NorvexHost_WriteIniString: sets `key` to `value` in [`section`] of the
// host's INI file with the library's own writer. 0; 29 when the file cannot
// be written; NORVEX_ERR_INVALID_ARGUMENT for a null text, an empty section
// or key, a section holding ']', a key holding '=' or blank at either end,
// or a line break in any of the three (texts that would make other lines of
// the file or read back as another key).
uint32_t WriteHostIniString(platform::HostEnvironment& host, const char* section, const char* key,
                            const char* value);

}  // namespace norvex
