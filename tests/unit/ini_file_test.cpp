// ini_file_test.cpp: an INI update on a disk that cannot take it (a file size
// limit, a full disk, a write that stops half way) leaves the host's file as
// it was, every key of it; one that fits writes it whole.
#include "platform/posix/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "temp_folder.h"

namespace norvex::platform {
namespace {

// A host's INI file: the library's section and two of the host's own.
const std::string kHostIni =
    "[LOG]\r\nLockTime=7500\r\nLastTime=2024/05/01\r\n[Machine]\r\nSerial=NVX-0042-7781\r\n"
    "LaserHours=12034\r\n[Plates]\r\nLast=job-118.tif\r\n";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

size_t Entries(const std::string& folder) {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
}

// Runs `write` in a child process whose files may not grow beyond `limit`
// bytes, as a quota stops them (RLIMIT_FSIZE, with SIGXFSZ ignored so that
// the write fails with EFBIG); true when it reported success.
bool UnderSizeLimit(rlim_t limit, const std::function<bool()>& write) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit rl = {limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(2);
    ::_exit(write() ? 1 : 0);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << status;
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

TEST(IniFile, SizeLimitLeavesTheHostsFileAsItWas) {
  const test_support::TempFolder temp("norvex-ini");
  const std::string ini = temp.Path("Varnock.ini");
  HostEnvironment& host = Host();
  // A key that makes the file longer than the limit lets it grow.
  Write(ini, kHostIni);
  EXPECT_FALSE(UnderSizeLimit(kHostIni.size() + 8, [&] {
    return host.WriteIniString(ini, "LOG", "LockTime", "7500 milliseconds, as the service manual says");
  }));
  EXPECT_EQ(Read(ini), kHostIni);
  // A shorter text, but longer than the limit: the write stops at the limit.
  EXPECT_FALSE(UnderSizeLimit(48, [&] { return host.WriteIniString(ini, "Machine", "LaserHours", "1"); }));
  EXPECT_EQ(Read(ini), kHostIni);
  EXPECT_EQ(Entries(temp.path()), 1u);  // no sibling left behind
  // No file yet: none is left behind either.
  const std::string fresh = temp.Path("fresh.ini");
  EXPECT_FALSE(UnderSizeLimit(12, [&] { return host.WriteIniString(fresh, "LOG", "LockTime", "7500"); }));
  EXPECT_FALSE(std::filesystem::exists(fresh));
  // Within the limit the update is made, every other key kept.
  EXPECT_TRUE(UnderSizeLimit(4096, [&] { return host.WriteIniString(ini, "Machine", "LaserHours", "1"); }));
  std::string expected = kHostIni;
  expected.replace(expected.find("12034"), 5, "1");
  EXPECT_EQ(Read(ini), expected);
}

// A file system holding the files of one folder and `room` bytes more: a
// write that would make a file longer than the room left allows stops there
// (ENOSPC); bytes a file already has are overwritten without room, and a
// removed file gives its room back. `failAfter` bytes (when not negative)
// are written before one write fails whatever the room, as a disk error
// does. Every call is noted in `calls`.
struct FullDisk {
  static inline std::string folder;
  static inline off_t capacity = 0;
  static inline long failAfter = -1;
  static inline bool renameFails = false;
  static inline std::vector<std::string> calls;

  static off_t Used() {
    off_t used = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.is_regular_file()) used += static_cast<off_t>(entry.file_size());
    }
    return used;
  }
  static ssize_t WriteCall(int fd, const void* data, size_t size, off_t offset) {
    calls.push_back("write");
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (failAfter == 0) {
      failAfter = -1;  // one failure, then the disk works again
      errno = EIO;
      return -1;
    }
    if (failAfter > 0 && static_cast<size_t>(failAfter) <= size) {
      size = static_cast<size_t>(failAfter);
      failAfter = 0;
    } else if (failAfter > 0) {
      failAfter -= static_cast<long>(size);
    }
    const off_t end = offset + static_cast<off_t>(size);
    const off_t growth = end > st.st_size ? end - std::max(offset, st.st_size) : 0;
    const off_t free = capacity - Used();
    if (growth > free) {
      size -= static_cast<size_t>(growth - free);
      if (size == 0 || offset + static_cast<off_t>(size) <= st.st_size) {
        errno = ENOSPC;
        return -1;
      }
    }
    return ::pwrite(fd, data, size, offset);
  }
  static int AllocateCall(int fd, off_t offset, off_t length) {
    calls.push_back("allocate");
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    const off_t growth = offset + length > st.st_size ? offset + length - st.st_size : 0;
    if (growth > capacity - Used()) return ENOSPC;
    return ::posix_fallocate(fd, offset, length);
  }
  static int SyncCall(int fd) {
    calls.push_back("sync");
    return ::fsync(fd);
  }
  static int RenameCall(const char* from, const char* to) {
    calls.push_back("rename");
    if (renameFails) {
      errno = EXDEV;
      return -1;
    }
    return ::rename(from, to);
  }
  // The stand-in for `files`, with `room` bytes left beside what they hold.
  static posix_host::DiskCalls Calls(const std::string& files, off_t room) {
    folder = files;
    capacity = Used() + room;
    failAfter = -1;
    renameFails = false;
    calls.clear();
    posix_host::DiskCalls c;
    c.write = WriteCall;
    c.allocate = AllocateCall;
    c.sync = SyncCall;
    c.rename = RenameCall;
    return c;
  }
};

TEST(IniFile, FullDiskLeavesTheFileAsItWasOrWritesItWhole) {
  const test_support::TempFolder temp("norvex-ini");
  const std::string ini = temp.Path("Varnock.ini");
  const std::string longer = kHostIni + "[PrintData]\r\nCaptureWidth=10800\r\n";
  const std::string shorter = kHostIni.substr(0, kHostIni.find("[Plates]"));
  const off_t growth = static_cast<off_t>(longer.size() - kHostIni.size());
  const struct {
    const char* what;
    const std::string& after;
    off_t room;
    bool written;
  } cases[] = {
      {"no room at all", longer, 0, false},
      {"room for the growth but not for a second copy", longer, growth, true},
      {"one byte short of the growth", longer, growth - 1, false},
      {"a shorter text needs no room in place", shorter, 0, true},
  };
  for (const auto& c : cases) {
    Write(ini, kHostIni);
    EXPECT_EQ(posix_host::WriteIniFile(ini, &kHostIni, c.after, FullDisk::Calls(temp.path(), c.room)),
              c.written)
        << c.what;
    EXPECT_EQ(Read(ini), c.written ? c.after : kHostIni) << c.what;
    EXPECT_EQ(Entries(temp.path()), 1u) << c.what;
    // A longer text has its room reserved in place before a byte of the
    // file is written over.
    if (c.after.size() > kHostIni.size()) {
      const std::vector<std::string>& calls = FullDisk::calls;
      const auto allocate = std::find(calls.begin(), calls.end(), "allocate");
      EXPECT_NE(allocate, calls.end()) << c.what;
      if (c.written) {
        EXPECT_NE(std::find(allocate, calls.end(), "write"), calls.end()) << c.what;
      }
    }
  }
  // A new file that does not fit is not made at all.
  EXPECT_FALSE(
      posix_host::WriteIniFile(temp.Path("new.ini"), nullptr, longer, FullDisk::Calls(temp.path(), 10)));
  EXPECT_FALSE(std::filesystem::exists(temp.Path("new.ini")));
}

// Where the sibling cannot take the file's place, the file is written in
// place; a write that stops half way there is undone.
TEST(IniFile, InPlaceWriteThatStopsHalfWayIsUndone) {
  const test_support::TempFolder temp("norvex-ini");
  const std::string ini = temp.Path("Varnock.ini");
  const std::string changed = "[LOG]\r\nLockTime=9000\r\n" + kHostIni.substr(kHostIni.find("LastTime"));
  Write(ini, kHostIni);
  posix_host::DiskCalls calls = FullDisk::Calls(temp.path(), 1 << 20);
  FullDisk::renameFails = true;
  FullDisk::failAfter = static_cast<long>(changed.size() + 30);  // the sibling's, then 30 bytes in place
  EXPECT_FALSE(posix_host::WriteIniFile(ini, &kHostIni, changed, calls));
  EXPECT_EQ(Read(ini), kHostIni);
  EXPECT_EQ(Entries(temp.path()), 1u);
  // Without the failure the in-place write goes through.
  calls = FullDisk::Calls(temp.path(), 1 << 20);
  FullDisk::renameFails = true;
  EXPECT_TRUE(posix_host::WriteIniFile(ini, &kHostIni, changed, calls));
  EXPECT_EQ(Read(ini), changed);
}

// The sibling is on the disk before it is renamed over the file, and the
// folder after the rename.
TEST(IniFile, SiblingIsSyncedBeforeItsRename) {
  const test_support::TempFolder temp("norvex-ini");
  const std::string ini = temp.Path("Varnock.ini");
  Write(ini, kHostIni);
  const std::string after = kHostIni + "[PrintData]\r\nCaptureWidth=10800\r\n";
  ASSERT_TRUE(posix_host::WriteIniFile(ini, &kHostIni, after, FullDisk::Calls(temp.path(), 1 << 20)));
  EXPECT_EQ(Read(ini), after);
  const std::vector<std::string>& calls = FullDisk::calls;
  const auto rename = std::find(calls.begin(), calls.end(), "rename");
  ASSERT_NE(rename, calls.end());
  ASSERT_NE(rename, calls.begin());
  EXPECT_EQ(*(rename - 1), "sync");
  EXPECT_EQ(std::count(calls.begin(), rename, "write"), std::count(calls.begin(), calls.end(), "write"));
  EXPECT_EQ(calls.back(), "sync");
}

}  // namespace
}  // namespace norvex::platform
