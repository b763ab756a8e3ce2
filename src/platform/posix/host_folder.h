// host_folder.h: where the POSIX build keeps the host's files (Varnock.ini
// and the log folder). As on Windows that is the executable's folder, but an
// installed program often lies in a folder that its user cannot write (a
// Python host's executable is the interpreter in /usr/bin), or one that only
// root can write and that belongs to the system's packages, so the choice is:
//   1. $NORVEX_HOME when it is set and not empty (made when missing);
//   2. the executable's folder when it can be written and is no system
//      folder (IsSystemFolder: /usr/bin is one, for root too);
//   3. a per-user state folder: $XDG_STATE_HOME/norvex when XDG_STATE_HOME is
//      an absolute path, else ~/.local/state/norvex, the home folder from
//      $HOME or else from the user database (made when missing);
//   4. when none of these can be had: the executable's folder all the same
//      if it is no system folder, else the state folder even though it could
//      not be made (the log's open failure then says so), else nothing.
#pragma once

#include <functional>
#include <string>

namespace norvex::platform::posix_host {

// What the choice depends on, as the process sees it.
struct FolderSources {
  std::string norvexHome;        // $NORVEX_HOME, empty when unset
  std::string executableFolder;  // the folder of /proc/self/exe
  std::string xdgStateHome;      // $XDG_STATE_HOME, empty when unset
  std::string userHome;          // $HOME, else the user database's home folder; empty when neither
  std::string workingFolder;     // for a relative NORVEX_HOME
};

// The operations on folders the choice uses (RealFolderOps() below).
struct FolderOps {
  // True when the folder exists and this process may create files in it.
  std::function<bool(const std::string&)> writable;
  // Makes the folder and its missing parents; true when it exists afterwards.
  std::function<bool(const std::string&)> makeFolders;
};

// The folder chosen by the rules above, without a trailing '/'.
std::string ChooseFolder(const FolderSources& sources, const FolderOps& ops);

// True for a folder that belongs to the system rather than to a program or a
// user: /, /usr and everything under it, and /bin, /sbin, /lib, /lib32,
// /lib64, /libx32, /etc, /boot, /dev, /proc, /sys, /run with everything under
// them. `path` is absolute and without "." or ".." components, as
// /proc/self/exe gives it.
bool IsSystemFolder(const std::string& path);

// The sources as the process's environment gives them, and the real folder
// operations (folders made private to the user: mode 0700 before the umask).
FolderSources SourcesFromEnvironment();
FolderOps RealFolderOps();

// The executable's folder from /proc/self/exe; empty when it cannot be told.
std::string ExecutableFolder();

}  // namespace norvex::platform::posix_host
