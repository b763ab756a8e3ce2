// host_folder_test.cpp: where the POSIX build keeps the host's files: the
// order NORVEX_HOME, the executable's folder when writable, the per-user
// state folder; and the GBK texts of the POSIX message box as UTF-8.
#include "platform/posix/host_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "log/gbk_texts.h"
#include "platform/posix/text_encoding.h"
#include "temp_folder.h"

namespace norvex::platform::posix_host {
namespace {

// Folder operations on a pretend file system: which folders can be written,
// which can be made, and what was made.
struct PretendFolders {
  std::set<std::string> writable;
  std::set<std::string> makeable;  // made (and then writable) when asked
  std::vector<std::string> made;
  FolderOps Ops() {
    FolderOps ops;
    ops.writable = [this](const std::string& path) { return writable.count(path) != 0; };
    ops.makeFolders = [this](const std::string& path) {
      made.push_back(path);
      if (makeable.count(path) == 0) return writable.count(path) != 0;
      writable.insert(path);
      return true;
    };
    return ops;
  }
};

FolderSources Sources() {
  FolderSources s;
  s.executableFolder = "/opt/app/bin";
  s.userHome = "/home/ana";
  s.workingFolder = "/work";
  return s;
}

TEST(HostFolderTest, ExecutableFolderWhenItCanBeWritten) {
  PretendFolders folders;
  folders.writable = {"/opt/app/bin"};
  EXPECT_EQ(ChooseFolder(Sources(), folders.Ops()), "/opt/app/bin");
  EXPECT_TRUE(folders.made.empty());
}

TEST(HostFolderTest, NorvexHomeComesFirstAndIsMade) {
  PretendFolders folders;
  folders.writable = {"/opt/app/bin"};
  folders.makeable = {"/srv/norvex"};
  FolderSources s = Sources();
  s.norvexHome = "/srv/norvex//";
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/srv/norvex");
  EXPECT_EQ(folders.made, std::vector<std::string>{"/srv/norvex"});
  // Relative to the working folder; kept even when it cannot be made, so
  // that the failure shows where the user asked for the files.
  s.norvexHome = "state";
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/work/state");
}

TEST(HostFolderTest, ReadOnlyExecutableFolderFallsBackToTheStateFolder) {
  PretendFolders folders;
  folders.makeable = {"/home/ana/.local/state/norvex", "/xdg/state/norvex"};
  FolderSources s = Sources();
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/home/ana/.local/state/norvex");
  s.xdgStateHome = "/xdg/state/";
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/xdg/state/norvex");
  // A relative XDG_STATE_HOME is ignored, as the convention says.
  s.xdgStateHome = "xdg";
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/home/ana/.local/state/norvex");
}

TEST(HostFolderTest, NothingUsableLeavesTheExecutableFolder) {
  PretendFolders folders;
  FolderSources s = Sources();
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/opt/app/bin");
  s.userHome.clear();
  EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/opt/app/bin");
}

TEST(HostFolderTest, RealOperationsMakeNestedPrivateFolders) {
  const test_support::TempFolder temp("norvex-home");
  ASSERT_FALSE(temp.path().empty());
  const std::string root = temp.path();
  FolderSources s;
  s.executableFolder = root + "/missing-exe-folder";
  s.xdgStateHome = root + "/a/b";
  const std::string chosen = ChooseFolder(s, RealFolderOps());
  EXPECT_EQ(chosen, root + "/a/b/norvex");
  struct stat info {};
  ASSERT_EQ(::stat(chosen.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(TextEncodingTest, GbkTextsBecomeUtf8) {
  EXPECT_EQ(GbkToUtf8(gbk::kLogOpenFailed),
            "\xE6\x97\xA5\xE5\xBF\x97\xE6\x96\x87\xE4\xBB\xB6\xE6\x89\x93\xE5\xBC\x80"
            "\xE5\xA4\xB1\xE8\xB4\xA5!");  // 日志文件打开失败!
  EXPECT_EQ(GbkToUtf8(std::string(gbk::kErrorNumber) + " 0xE0100012"),
            "\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7 0xE0100012");  // 错误编号
  // A lead byte without its second byte is no character.
  EXPECT_EQ(GbkToUtf8("ab\xB4"), "ab?");
}

}  // namespace
}  // namespace norvex::platform::posix_host
