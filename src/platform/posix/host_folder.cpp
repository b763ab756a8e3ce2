// host_folder.cpp: the folder of the host's files on POSIX systems (see
// host_folder.h).
#include "platform/posix/host_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace norvex::platform::posix_host {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool IsWritableFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(path.c_str(), W_OK | X_OK) == 0;
}

// mkdir -p: each missing component made with `mode` (the umask applies).
bool MakeFolders(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string part = at == std::string::npos ? path : path.substr(0, at);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The home folder of the user the process runs as, from the user database.
std::string DatabaseHome() {
  std::vector<char> storage(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, storage.data(), storage.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

bool IsSystemFolder(const std::string& path) {
  static const char* const kSystemTrees[] = {"/usr", "/bin",  "/sbin", "/lib",  "/lib32", "/lib64", "/libx32",
                                             "/etc", "/boot", "/dev",  "/proc", "/sys",   "/run"};
  const std::string folder = WithoutTrailingSlashes(path);
  if (folder == "/") return true;
  for (const char* tree : kSystemTrees) {
    const std::string root = tree;
    if (folder == root || folder.compare(0, root.size() + 1, root + "/") == 0) return true;
  }
  return false;
}

std::string ChooseFolder(const FolderSources& sources, const FolderOps& ops) {
  if (!sources.norvexHome.empty()) {
    std::string home = sources.norvexHome;
    if (home.front() != '/' && !sources.workingFolder.empty()) home = sources.workingFolder + "/" + home;
    home = WithoutTrailingSlashes(home);
    // Asked for by name: used even when it cannot be made, so that the
    // failure shows (the log's message) instead of files going elsewhere.
    ops.makeFolders(home);
    return home;
  }
  const bool ownFolder = !sources.executableFolder.empty() && !IsSystemFolder(sources.executableFolder);
  if (ownFolder && ops.writable(sources.executableFolder)) return sources.executableFolder;
  std::string state;
  if (!sources.xdgStateHome.empty() && sources.xdgStateHome.front() == '/') {
    state = WithoutTrailingSlashes(sources.xdgStateHome) + "/norvex";
  } else if (!sources.userHome.empty() && sources.userHome.front() == '/') {
    state = WithoutTrailingSlashes(sources.userHome) + "/.local/state/norvex";
  }
  if (!state.empty() && ops.makeFolders(state) && ops.writable(state)) return state;
  if (ownFolder) return sources.executableFolder;
  // Never a folder of the system: files that cannot be kept show up as the
  // log's open failure instead of landing among the system's programs.
  return state;
}

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return {};
  const std::string exe(path, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

FolderSources SourcesFromEnvironment() {
  FolderSources sources;
  sources.norvexHome = Environment("NORVEX_HOME");
  sources.executableFolder = ExecutableFolder();
  sources.xdgStateHome = Environment("XDG_STATE_HOME");
  sources.userHome = Environment("HOME");
  if (sources.userHome.empty()) sources.userHome = DatabaseHome();
  char cwd[4096];
  if (::getcwd(cwd, sizeof(cwd)) != nullptr) sources.workingFolder = cwd;
  return sources;
}

FolderOps RealFolderOps() {
  FolderOps ops;
  ops.writable = IsWritableFolder;
  ops.makeFolders = [](const std::string& path) { return MakeFolders(path, 0700); };
  return ops;
}

}  // namespace norvex::platform::posix_host
