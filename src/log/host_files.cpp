// host_files.cpp: the host's INI keys written on the host's behalf.
#include "log/host_files.h"

#include <string_view>

#include "norvex.h"

namespace norvex {
namespace {

// The platform's code for a file that cannot be written.
constexpr uint32_t kErrorWriteFault = 29;

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }
bool BlankAtEnds(std::string_view text) {
  return !text.empty() &&
         (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t');
}

}  // namespace

uint32_t WriteHostIniString(platform::HostEnvironment& host, const char* section, const char* key,
                            const char* value) {
  if (section == nullptr || key == nullptr || value == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  const std::string_view s(section);
  const std::string_view k(key);
  const std::string_view v(value);
  // Texts that would make other lines of the file, or a key that reads back
  // as another one.
  if (s.empty() || k.empty() || s.find(']') != std::string_view::npos ||
      k.find('=') != std::string_view::npos || HasLineBreak(s) || HasLineBreak(k) || HasLineBreak(v) ||
      BlankAtEnds(k)) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  return host.WriteIniString(IniFilePath(host), s, k, v) ? NORVEX_OK : kErrorWriteFault;
}

}  // namespace norvex
