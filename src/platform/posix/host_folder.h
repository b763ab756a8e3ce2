// host_folder.h: where the POSIX build keeps the host's files (Varnock.ini
// and the log folder). As on Windows that is the executable's folder, but an
// installed program often lies in a folder that its user cannot write (a
// Python host's executable is the interpreter in /usr/bin), so the choice is:
//   1. $NORVEX_HOME when it is set and not empty (made when missing);
//   2. the executable's folder when it can be written;
//   3. a per-user state folder: $XDG_STATE_HOME/norvex when XDG_STATE_HOME is
//      an absolute path, else $HOME/.local/state/norvex (made when missing);
//   4. the executable's folder all the same when none of these can be had.
#pragma once

#include <functional>
#include <string>

namespace norvex::platform::posix_host {

// What the choice depends on, as the process sees it.
struct FolderSources {
  std::string norvexHome;        // $NORVEX_HOME, empty when unset
  std::string executableFolder;  // the folder of /proc/self/exe
  std::string xdgStateHome;      // $XDG_STATE_HOME, empty when unset
  std::string userHome;          // $HOME, empty when unset
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

// The sources as the process's environment gives them, and the real folder
// operations (folders made private to the user: mode 0700 before the umask).
FolderSources SourcesFromEnvironment();
FolderOps RealFolderOps();

// The executable's folder from /proc/self/exe; empty when it cannot be told.
std::string ExecutableFolder();

}  // namespace norvex::platform::posix_host
