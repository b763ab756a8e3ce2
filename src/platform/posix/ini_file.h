// ini_file.h: putting the new text of an INI file on the disk so that the
// file holds either all of it or, when the write fails (a full disk, a file
// size limit), all that it held before. The host's INI file is the host's
// own: an update may never leave it cut short.
//
// The usual way is a sibling file with the new text, its mode and owner
// those of the file, synced to the disk and renamed over it. Where no
// sibling can be put in place (a folder the process may not write, a file
// of another owner), the file is rewritten in place: its new size is
// reserved first, and the old bytes are written back when the new ones
// cannot all be written.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

namespace norvex::platform::posix_host {

// The calls through which an update puts bytes on the disk: the system's
// own, or a test's stand-in of a full disk. Each has the system call's
// contract (allocate that of posix_fallocate: 0 or an error number).
struct DiskCalls {
  ssize_t (*write)(int fd, const void* data, size_t size, off_t offset) = ::pwrite;
  int (*allocate)(int fd, off_t offset, off_t length) = ::posix_fallocate;
  int (*sync)(int fd) = ::fsync;
  int (*rename)(const char* from, const char* to) = ::rename;
};

// Makes the file at `path` hold `after`. `before` is what it holds now, or
// null when there is no such file (then it is made, with the mode that the
// umask leaves of 0666). A symbolic link stays a link: the file it names is
// written. True when the whole new text is on the disk; false with the file
// as it was (or still missing) otherwise, and for a file this process may
// not write.
bool WriteIniFile(const std::string& path, const std::string* before, const std::string& after,
                  const DiskCalls& calls = DiskCalls());

}  // namespace norvex::platform::posix_host
