// api_helpers.cpp: files beside the test executable.
#include "api_helpers.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace norvex_api_test {

std::string ExecutableFolder() {
  char path[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string exe(path, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(0, exe.rfind('/'));
}

std::string LogPath() { return ExecutableFolder() + "/log/UsbDriver.log"; }
std::string IniPath() { return ExecutableFolder() + "/Varnock.ini"; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace norvex_api_test
