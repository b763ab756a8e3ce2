// debug_folder_test.cpp: the command-file folder and its trailing separator.
#include "log/debug_folder.h"

#include <gtest/gtest.h>

#include "fake_host.h"
#include "norvex.h"

namespace norvex {
namespace {

TEST(DebugFolder, StartsAtTheHostDefaultAndDropsOneTrailingSeparator) {
  testing::FakeHost host;
  DebugFolder folder(host);
  EXPECT_EQ(folder.Get(), "/host");
  struct Case {
    const char* in;
    const char* stored;
  } cases[] = {
      {"/var/tmp/", "/var/tmp"}, {"/var/tmp//", "/var/tmp/"}, {"/var/tmp", "/var/tmp"}, {"/", ""}, {"", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(folder.Set(c.in), NORVEX_OK);
    EXPECT_EQ(folder.Get(), c.stored) << c.in;
  }
  EXPECT_EQ(folder.Set("/data"), NORVEX_OK);
  EXPECT_EQ(folder.PathOf("CommandFile.bin"), "/data/CommandFile.bin");
  EXPECT_EQ(folder.Set(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(folder.Get(), "/data");
}

}  // namespace
}  // namespace norvex
