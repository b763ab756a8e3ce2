// fake_host.h: an in-memory HostEnvironment for unit tests: files and
// folders in maps, INI files with the real profile semantics, a clock the
// test sets, message boxes collected, faults on demand.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace norvex::testing {

class FakeHost : public platform::HostEnvironment {
 public:
  FakeHost();

  // --- what the test sets up and inspects (lock `mutex` when threads run) ---
  std::string exeFolder = "/host";
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  std::set<std::string> openForWriting;  // files held by a writer
  platform::LocalTime now{2026, 12, 7, 9, 30, 15, 42};
  uint32_t ticks = 1000;
  std::vector<std::string> messages;
  bool failCreateFolder = false;
  bool failWrites = false;  // every File::Write fails
  std::recursive_mutex mutex;

  std::string Ini() const { return exeFolder + "/Varnock.ini"; }
  std::string LogPath() const { return exeFolder + "/log/UsbDriver.log"; }
  std::string Log() {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    return files[LogPath()];
  }

  // --- HostEnvironment ---
  std::string ExecutableFolder() override { return exeFolder; }
  char PathSeparator() const override { return '/'; }
  std::string DefaultDebugFolder() override { return exeFolder; }
  int32_t ReadIniInt(const std::string& iniPath, std::string_view section, std::string_view key,
                     int32_t defaultValue) override;
  std::string ReadIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                            std::string_view defaultValue, size_t capacity) override;
  bool WriteIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                      std::string_view value) override;
  platform::LocalTime Now() override;
  uint32_t TickCount() override;
  bool FolderExists(const std::string& path) override;
  bool CreateFolder(const std::string& path) override;
  std::unique_ptr<platform::File> OpenFile(const std::string& path, platform::FileMode mode) override;
  void ShowMessageBox(std::string_view text, platform::MessageIcon icon) override;
};

}  // namespace norvex::testing
