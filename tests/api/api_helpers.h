// api_helpers.h: what the C-interface tests share: the files the library
// keeps beside the test executable.
#pragma once

#include <string>

namespace norvex_api_test {

// The folder of the running test executable, where the library keeps its
// "log" folder and reads "Varnock.ini".
std::string ExecutableFolder();
std::string LogPath();
std::string IniPath();
std::string ReadFile(const std::string& path);

}  // namespace norvex_api_test
