// api_helpers.h: what the C-interface tests share: the files the library
// keeps beside the test executable, a device folder of their own, and the
// log read line by line.
#pragma once

#include <string>
#include <vector>

namespace norvex_api_test {

// The folder of the running test executable, where the library keeps its
// "log" folder and reads "Varnock.ini".
std::string ExecutableFolder();
std::string LogPath();
std::string IniPath();
std::string ReadFile(const std::string& path);
// Creates one folder; true when it exists afterwards.
bool MakeFolder(const std::string& path);

// Gives the process a fresh device folder (NORVEX_DEVICE_DIR) before any
// test runs, and removes it afterwards. Returns the folder.
const std::string& DeviceFolder();
// Whether this run reaches the emulators over TCP (NORVEX_TEST_TRANSPORT=tcp,
// or a NORVEX_DEVICE=tcp:... given to the run): one platesetter at one
// address, no device folder, and on Windows no kernel driver: the library's
// own network hot-plug instead of Wine's device events.
bool OverTcp();

// Reads the log from where the last call (or Mark()) left off: the texts of
// the new lines, without their time prefixes; date lines are left out.
class LogReader {
 public:
  LogReader() { Mark(); }
  void Mark();
  std::vector<std::string> NewLines();
  // The new lines joined with '|', for compact comparisons.
  std::string NewText();

 private:
  size_t m_offset = 0;
};

}  // namespace norvex_api_test
