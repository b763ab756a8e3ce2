// api_helpers.cpp: files beside the test executable, the device folder, the
// log reader.
#include "api_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
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

namespace {

// Made before main() runs, so that the library and the window stand-in see
// the folder from their first use on.
struct DeviceFolderSetup {
  DeviceFolderSetup() {
    char pattern[] = "/tmp/norvex-api-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) folder = pattern;
    ::setenv("NORVEX_DEVICE_DIR", folder.c_str(), 1);
  }
  ~DeviceFolderSetup() {
    if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
  }
  std::string folder;
};

DeviceFolderSetup& Setup() {
  static DeviceFolderSetup setup;
  return setup;
}

const bool kFolderMadeEarly = (Setup(), true);

}  // namespace

const std::string& DeviceFolder() { return Setup().folder; }

void LogReader::Mark() { offset_ = ReadFile(LogPath()).size(); }

std::vector<std::string> LogReader::NewLines() {
  const std::string all = ReadFile(LogPath());
  std::vector<std::string> out;
  size_t pos = offset_;
  while (pos < all.size()) {
    size_t lf = all.find('\n', pos);
    if (lf == std::string::npos) break;
    std::string line = all.substr(pos, lf - pos);
    pos = lf + 1;
    if (line.size() >= 16 && line[2] == ':' && line[5] == ':' && line[8] == ':') {
      out.push_back(line.substr(16));
    } else if (!(line.size() == 10 && line[4] == '/')) {
      // A continuation line of a multi-line text (failure texts).
      out.push_back(line);
    }
  }
  offset_ = pos;
  return out;
}

std::string LogReader::NewText() {
  std::string text;
  for (const std::string& line : NewLines()) text += line + "|";
  return text;
}

}  // namespace norvex_api_test
