// lock_time_test.cpp: the lock time read from the host's INI file at load.
#include <gtest/gtest.h>

#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "log/driver_log.h"
#include "platform/posix/ini_profile.h"
#include "protocol/device_link.h"

namespace norvex {
namespace {

TEST(LockTime, ComesFromTheIniFileAndIsWrittenBackWhenMissing) {
  struct Case {
    const char* ini;
    uint32_t lockTime;
    std::optional<std::string> afterwards;
  } cases[] = {
      {nullptr, 7500, "7500"},
      {"[LOG]\nLockTime=-1\n", 7500, "7500"},
      {"[LOG]\nLockTime=\n", 7500, "7500"},
      {"[LOG]\nLockTime=0\n", 0, "0"},
      {"[LOG]\nLockTime=1234\n", 1234, "1234"},
      {"[LOG]\nLockTime=20000ms\n", 20000, "20000ms"},
  };
  for (const Case& c : cases) {
    testing::FakeHost host;
    if (c.ini) host.files[host.Ini()] = c.ini;
    testing::FakeDriver driver;
    testing::FakeWindowSystem windows;
    Library lib(host, driver, windows);
    EXPECT_EQ(lib.Link().LockTime(), c.lockTime) << (c.ini ? c.ini : "no file");
    EXPECT_EQ(platform::ini::Lookup(host.files[host.Ini()], "LOG", "LockTime"), c.afterwards);
  }
}

}  // namespace
}  // namespace norvex
