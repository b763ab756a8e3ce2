// ini_file.cpp: an INI file's new text on the disk, whole or not at all (see
// ini_file.h).
#include "platform/posix/ini_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_fd.h"

namespace norvex::platform::posix_host {
namespace {

// Writes `size` bytes of `data` at `offset`; `written` tells how many were
// written when it fails.
bool WriteAt(const DiskCalls& calls, int fd, const char* data, size_t size, size_t& written) {
  written = 0;
  while (written < size) {
    const ssize_t n = calls.write(fd, data + written, size - written, static_cast<off_t>(written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that `path` names, through symbolic links, also when that file
// does not exist yet (realpath fails for a link to a missing file).
std::string FileNamedBy(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 16; ++depth) {
    if (char* resolved = ::realpath(current.c_str(), nullptr)) {
      current = resolved;
      ::free(resolved);
      return current;
    }
    char link[4096];
    const ssize_t n = ::readlink(current.c_str(), link, sizeof(link) - 1);
    if (n <= 0) return current;
    const std::string next(link, static_cast<size_t>(n));
    current = next.front() == '/' ? next : FolderOf(current) + "/" + next;
  }
  return current;
}

// A new file beside `path` that no other writer has: its descriptor, with
// its name in `name`; none when the folder takes no new file.
UniqueFd MakeSibling(const std::string& path, mode_t mode, std::string& name) {
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    name = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

// The text in a sibling with the mode and owner of `existing` (a new file's
// when null), synced, then renamed over `target`. False with nothing
// changed when any step fails.
bool ReplaceBySibling(const std::string& target, const struct stat* existing, const std::string& text,
                      const DiskCalls& calls) {
  std::string sibling;
  UniqueFd fd = MakeSibling(target, existing != nullptr ? 0600 : 0666, sibling);
  if (!fd) return false;
  bool ok = true;
  if (existing != nullptr) {
    struct stat made {};
    ok = ::fstat(fd.get(), &made) == 0 &&
         ((made.st_uid == existing->st_uid && made.st_gid == existing->st_gid) ||
          ::fchown(fd.get(), existing->st_uid, existing->st_gid) == 0) &&
         ::fchmod(fd.get(), existing->st_mode & 07777) == 0;
  }
  size_t written = 0;
  // On the disk before it takes the file's place: a crash after the rename
  // must not leave an empty or partial file under the host's name.
  ok = ok && WriteAt(calls, fd.get(), text.data(), text.size(), written) && calls.sync(fd.get()) == 0;
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok || calls.rename(sibling.c_str(), target.c_str()) != 0) {
    ::unlink(sibling.c_str());
    return false;
  }
  // The rename reaches the disk with the folder.
  UniqueFd folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) calls.sync(folder.get());
  return true;
}

// The text written over the file itself: the room for a longer text is
// reserved before any byte changes, the file is cut down only once the new
// bytes are all written, and a write that stops half way is undone with the
// old bytes.
bool RewriteInPlace(const std::string& target, const std::string& before, const std::string& after,
                    const DiskCalls& calls) {
  UniqueFd fd(::open(target.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return false;
  const auto oldSize = static_cast<off_t>(before.size());
  const auto newSize = static_cast<off_t>(after.size());
  if (newSize > oldSize && calls.allocate(fd.get(), 0, newSize) != 0) {
    // A reservation that failed part way may have made the file longer.
    struct stat now {};
    if (::fstat(fd.get(), &now) == 0 && now.st_size != oldSize) {
      if (::ftruncate(fd.get(), oldSize) != 0) return false;
    }
    return false;
  }
  size_t written = 0;
  if (WriteAt(calls, fd.get(), after.data(), after.size(), written) &&
      (newSize >= oldSize || ::ftruncate(fd.get(), newSize) == 0) && calls.sync(fd.get()) == 0) {
    return true;
  }
  // Back to the old text and the old size. The old bytes go back whole: a
  // write that stops at a size limit has changed none of those beyond it.
  size_t restored = 0;
  WriteAt(calls, fd.get(), before.data(), before.size(), restored);
  if (::ftruncate(fd.get(), oldSize) == 0) calls.sync(fd.get());
  return false;
}

}  // namespace

bool WriteIniFile(const std::string& path, const std::string* before, const std::string& after,
                  const DiskCalls& calls) {
  const std::string target = FileNamedBy(path);
  struct stat existing {};
  if (::stat(target.c_str(), &existing) != 0) {
    // No file yet: it is made whole under another name first, so that a
    // failed write leaves none.
    return errno == ENOENT && ReplaceBySibling(target, nullptr, after, calls);
  }
  // A file the host may not write is not replaced either, as on Windows.
  if (::access(target.c_str(), W_OK) != 0) return false;
  static const std::string kNothing;
  return ReplaceBySibling(target, &existing, after, calls) ||
         RewriteInPlace(target, before != nullptr ? *before : kNothing, after, calls);
}

}  // namespace norvex::platform::posix_host
