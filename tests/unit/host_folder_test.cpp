// host_folder_test.cpp: where the POSIX build keeps the host's files: the
// order NORVEX_HOME, the executable's folder when writable and not the
// system's, the per-user state folder.
#include "platform/posix/host_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

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

TEST(HostFolderTest, SystemFoldersAreNeverChosen) {
  // Run as root, /usr/bin can be written; the state folder is taken instead.
  PretendFolders folders;
  folders.writable = {"/usr/bin", "/usr/local/bin", "/bin"};
  folders.makeable = {"/root/.local/state/norvex"};
  FolderSources s = Sources();
  s.userHome = "/root";
  for (const char* exe : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    s.executableFolder = exe;
    EXPECT_EQ(ChooseFolder(s, folders.Ops()), "/root/.local/state/norvex") << exe;
  }
  // A state folder that cannot be made is named all the same (the log's open
  // failure shows it); without any state folder nothing is chosen.
  PretendFolders none;
  none.writable = {"/usr/bin"};
  s.executableFolder = "/usr/bin";
  EXPECT_EQ(ChooseFolder(s, none.Ops()), "/root/.local/state/norvex");
  s.userHome.clear();
  EXPECT_EQ(ChooseFolder(s, none.Ops()), "");
  // NORVEX_HOME is the user's own choice, whatever it names.
  s.norvexHome = "/usr/local/var/norvex";
  EXPECT_EQ(ChooseFolder(s, none.Ops()), "/usr/local/var/norvex");
}

TEST(HostFolderTest, SystemFoldersAreTheSystemsTrees) {
  for (const char* path :
       {"/", "/usr", "/usr/bin", "/usr/local/bin", "/usr/lib/x86_64-linux-gnu", "/bin", "/sbin", "/lib",
        "/lib64", "/etc", "/etc/norvex/", "/boot", "/proc/self", "/run/user"}) {
    EXPECT_TRUE(IsSystemFolder(path)) << path;
  }
  for (const char* path : {"/opt/app/bin", "/home/ana/bin", "/usrlocal", "/library/bin", "/binaries",
                           "/srv/x", "/tmp/build/tools/norvexctl"}) {
    EXPECT_FALSE(IsSystemFolder(path)) << path;
  }
}

}  // namespace
}  // namespace norvex::platform::posix_host
