// posix_host_test.cpp: the POSIX host environment on real files: INI files,
// folders, the log's sharing, the clocks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "temp_folder.h"
#include "thread_end_checks.h"

namespace norvex::platform {
namespace {

class PosixHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_dir.empty()); }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  const test_support::TempFolder m_temp{"norvex-host"};
  const std::string m_dir = m_temp.path();
  HostEnvironment& m_host = Host();
};

TEST_F(PosixHostTest, IniKeysReadAndWrittenLikeTheProfileFunctions) {
  const std::string ini = m_dir + "/Varnock.ini";
  EXPECT_EQ(m_host.ReadIniInt(ini, "LOG", "LockTime", -1), -1);
  EXPECT_EQ(m_host.ReadIniString(ini, "LOG", "LastTime", "dflt", 100), "dflt");
  ASSERT_TRUE(m_host.WriteIniString(ini, "LOG", "LockTime", "7500"));
  EXPECT_EQ(Read(ini), "[LOG]\r\nLockTime=7500\r\n");
  ASSERT_TRUE(m_host.WriteIniString(ini, "LOG", "LastTime", "2026/12/07"));
  EXPECT_EQ(m_host.ReadIniInt(ini, "log", "locktime", -1), 7500);
  EXPECT_EQ(m_host.ReadIniString(ini, "LOG", "LastTime", "", 11), "2026/12/07");
  EXPECT_EQ(m_host.ReadIniString(ini, "LOG", "LastTime", "", 5), "2026");
  EXPECT_EQ(m_host.ReadIniString(ini, "LOG", "LastTime", "", 0), "");
  EXPECT_EQ(m_host.ReadIniString(ini, "LOG", "Missing", "dflt", 3), "df");
  EXPECT_FALSE(m_host.WriteIniString(m_dir + "/no/such/folder.ini", "LOG", "x", "1"));
}

// An update writes the file the path names: a symbolic link stays a link,
// the file keeps its mode (and, where the process may give it, its owner).
TEST_F(PosixHostTest, IniUpdateKeepsLinksModeAndOwner) {
  const std::string real = m_dir + "/real.ini";
  const std::string link = m_dir + "/Varnock.ini";
  ASSERT_TRUE(m_host.WriteIniString(real, "LOG", "LockTime", "7500"));
  ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("real.ini", link.c_str()), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(real.c_str(), 4242, 4343), 0);
  }

  ASSERT_TRUE(m_host.WriteIniString(link, "LOG", "LastTime", "2026/12/07"));
  struct stat linkInfo {};
  ASSERT_EQ(::lstat(link.c_str(), &linkInfo), 0);
  EXPECT_TRUE(S_ISLNK(linkInfo.st_mode));
  struct stat info {};
  ASSERT_EQ(::stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(info.st_uid, 4242u);
    EXPECT_EQ(info.st_gid, 4343u);
  }
  EXPECT_EQ(Read(real), "[LOG]\r\nLockTime=7500\r\nLastTime=2026/12/07\r\n");
  // Nothing left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), std::filesystem::directory_iterator()),
            2);
}

TEST_F(PosixHostTest, LogFileIsSharedForReadingOnly) {
  const std::string path = m_dir + "/UsbDriver.log";
  auto writer = m_host.OpenFile(path, FileMode::kWriteShareRead);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(m_host.OpenFile(path, FileMode::kWriteShareRead), nullptr);
  ASSERT_TRUE(writer->Write("abc\n", 4));
  ASSERT_TRUE(writer->Flush());
  EXPECT_EQ(Read(path), "abc\n");  // readers are welcome
  writer.reset();
  auto again = m_host.OpenFile(path, FileMode::kWriteShareRead);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->SeekToEnd());
  ASSERT_TRUE(again->Write("def\n", 4));
  EXPECT_EQ(Read(path), "abc\ndef\n");
}

TEST_F(PosixHostTest, ExclusiveCreateEmptiesOnlyWhenItGetsTheFile) {
  const std::string path = m_dir + "/CommandFile.bin";
  auto first = m_host.OpenFile(path, FileMode::kCreateExclusive);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(first->Write("frame", 5));
  EXPECT_EQ(m_host.OpenFile(path, FileMode::kCreateExclusive), nullptr);
  EXPECT_EQ(Read(path), "frame");
  first.reset();
  auto second = m_host.OpenFile(path, FileMode::kCreateExclusive);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Read(path), "");
  EXPECT_EQ(m_host.OpenFile(m_dir + "/missing/x.bin", FileMode::kCreateExclusive), nullptr);
}

TEST_F(PosixHostTest, FoldersClocksAndExecutable) {
  EXPECT_FALSE(m_host.FolderExists(m_dir + "/log"));
  EXPECT_TRUE(m_host.CreateFolder(m_dir + "/log"));
  EXPECT_TRUE(m_host.CreateFolder(m_dir + "/log"));
  EXPECT_TRUE(m_host.FolderExists(m_dir + "/log/"));
  EXPECT_FALSE(m_host.CreateFolder(m_dir + "/a/b"));

  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  std::string folder = exe;
  folder.resize(folder.rfind('/'));
  EXPECT_EQ(m_host.ExecutableFolder(), folder);
  EXPECT_EQ(m_host.DefaultDebugFolder(), folder);

  LocalTime t = m_host.Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.milliseconds >= 0 && t.milliseconds <= 999);
  uint32_t before = m_host.TickCount();
  ::usleep(20000);
  uint32_t elapsed = m_host.TickCount() - before;
  EXPECT_GE(elapsed, 19u);
}

// A holding is told on its own thread when the thread ends, once; a thread
// without one, and threads that end after the watch has gone, tell nothing.
TEST(ThreadEndWatch, TellsEachHoldingWhenItsThreadEnds) {
  std::unique_ptr<ThreadEndWatch> watch = WatchThreadEnds();
  ASSERT_NE(watch, nullptr);
  test_support::ExpectHoldingsToldAtTheirThreadsEnd(*watch);

  test_support::NotedHolding late;
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;
  bool watchGone = false;
  std::thread later([&] {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(watch->Hold(&late));
    held = true;
    changed.notify_all();
    changed.wait(hold, [&] { return watchGone; });
  });
  {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return held; });
    watch.reset();
    watchGone = true;
  }
  changed.notify_all();
  later.join();
  EXPECT_EQ(late.told, 0);
}

}  // namespace
}  // namespace norvex::platform
