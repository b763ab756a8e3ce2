// debug_folder.h: DebugFolder, the folder in which command-file mode writes
// its command file. Set by the host with Norvex_SetDebugFolder.
#pragma once

#include <mutex>
#include <string>

#include "platform/platform.h"

namespace norvex {

class DebugFolder {
 public:
  explicit DebugFolder(platform::HostEnvironment& host);

  // Stores `folder` without one trailing separator. Returns 0, or
  // NORVEX_ERR_INVALID_ARGUMENT for a null text (the folder stays).
  uint32_t Set(const char* folder);
  std::string Get() const;
  // The folder joined with `fileName` by the platform's separator.
  std::string PathOf(const char* fileName) const;

 private:
  const char m_separator;
  mutable std::mutex m_lock;
  std::string m_folder;
};

}  // namespace norvex
