// api_helpers.cpp: files beside the test executable, the device folder, the
// log reader. Built for Linux and, against the platesetter stand-in under
// wine, for Windows.
#include "api_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "temp_folder.h"

namespace norvex_api_test {

std::string ExecutableFolder() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path, n < MAX_PATH ? n : 0);
  return exe.substr(0, exe.rfind('\\'));
#else
  char path[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string exe(path, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(0, exe.rfind('/'));
#endif
}

bool MakeFolder(const std::string& path) {
#ifdef _WIN32
  return ::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
#else
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
#endif
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
// the folder from their first use on. On Windows the platesetters are the
// stand-in driver's, and the folder only holds the tests' own files.
//
// With NORVEX_TEST_TRANSPORT=tcp the library is given a TCP address of the
// loopback interface instead (NORVEX_DEVICE), and the emulators, which
// serve where the library looks, listen there. The port is kept for the
// whole run by a socket bound to it that never listens (so that no other
// program takes it); the emulators bind it beside that one. A run whose
// NORVEX_DEVICE names a TCP address already (a norvex-emu's platesetters,
// scripts/test-wine-tcp, whose port the script keeps) goes there as it is.
struct DeviceFolderSetup {
  DeviceFolderSetup() {
#ifndef _WIN32
    ::setenv("NORVEX_DEVICE_DIR", folder.path().c_str(), 1);
    const char* transport = std::getenv("NORVEX_TEST_TRANSPORT");
    const char* given = std::getenv("NORVEX_DEVICE");
    const bool tcpGiven = given != nullptr && std::string(given).rfind("tcp:", 0) == 0;
    if (transport != nullptr && std::string(transport) == "tcp" && !tcpGiven) {
      reservation = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      ::setsockopt(reservation, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof(address);
      if (::bind(reservation, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
          ::getsockname(reservation, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        ::setenv("NORVEX_DEVICE", ("tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 1);
      }
    }
#endif
  }
  const norvex::test_support::TempFolder folder{"norvex-api"};
  int reservation = -1;
};

DeviceFolderSetup& Setup() {
  static DeviceFolderSetup setup;
  return setup;
}

const bool kFolderMadeEarly = (Setup(), true);

}  // namespace

const std::string& DeviceFolder() { return Setup().folder.path(); }

bool OverTcp() {
  Setup();
  const char* device = std::getenv("NORVEX_DEVICE");
  return device != nullptr && std::string(device).rfind("tcp:", 0) == 0;
}

void LogReader::Mark() { m_offset = ReadFile(LogPath()).size(); }

std::vector<std::string> LogReader::NewLines() {
  const std::string all = ReadFile(LogPath());
  std::vector<std::string> out;
  size_t pos = m_offset;
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
  m_offset = pos;
  return out;
}

std::string LogReader::NewText() {
  std::string text;
  for (const std::string& line : NewLines()) text += line + "|";
  return text;
}

}  // namespace norvex_api_test
