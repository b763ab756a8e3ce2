// unix_transport.cpp: the device folder and Unix-socket connections.
#include "platform/posix/unix_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_stream.h"

namespace norvex::platform::unix_transport {

std::string DefaultDeviceFolder() {
  const char* folder = std::getenv("NORVEX_DEVICE_DIR");
  if (folder != nullptr && *folder != '\0') return folder;
  // A folder that only this user can have made: a name in /tmp that any
  // user could take first would let them answer as a platesetter.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/norvex";
  return "/tmp/norvex-" + std::to_string(::geteuid());
}

bool MakeDeviceFolder(const std::string& folder) {
  struct stat info {};
  return ::mkdir(folder.c_str(), 0700) == 0 || (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

uint32_t CheckOwnership(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return kErrorNoMoreItems;
  if (info.st_uid != ::geteuid() || (info.st_mode & S_IWOTH) != 0) return device::kErrorInvalidOwner;
  return 0;
}

std::vector<std::string> ListEndpoints(const std::string& folder) {
  std::vector<std::string> names;
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return names;
  // fdopendir takes the descriptor over; closedir closes it.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(folderFd), &::closedir);
  if (!dir) {
    ::close(folderFd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    // Hidden names are no devices: among them, a device's socket that is
    // still being set up before it is renamed into place.
    if (entry->d_name[0] == '.') continue;
    bool isSocket = entry->d_type == DT_SOCK;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // The file system does not say, or a link names the socket: ask stat.
      struct stat info {};
      isSocket = ::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) == 0 && S_ISSOCK(info.st_mode);
    }
    if (isSocket) names.emplace_back(entry->d_name);
  }
  // std::string compares as unsigned char: the byte order of the names.
  std::sort(names.begin(), names.end());
  return names;
}

std::unique_ptr<device::Stream> Connect(const std::string& path, device::Clock::time_point deadline,
                                        uint32_t& error) {
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    error = device::kErrorFilenameTooLong;
    return nullptr;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  int systemError = 0;
  return posix_stream::Connect(AF_UNIX, reinterpret_cast<const struct sockaddr*>(&address), sizeof(address),
                               deadline, error, systemError);
}

}  // namespace norvex::platform::unix_transport
