// posix_host.cpp: the HostEnvironment of POSIX systems: /proc/self/exe and
// the folder of the host's files (host_folder.h), INI
// files with the Windows profile semantics, clocks, folders, files with
// Windows-like sharing (advisory locks), message boxes as UTF-8 lines on stderr.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/library_texts.h"
#include "platform/platform.h"
#include "platform/posix/host_folder.h"
#include "platform/posix/ini_profile.h"
#include "platform/posix/posix_fd.h"

namespace norvex::platform {
namespace {

class PosixFile final : public File {
 public:
  explicit PosixFile(UniqueFd fd) : m_fd(std::move(fd)) {}

  bool Write(const void* data, size_t size) override { return WriteAll(m_fd.get(), data, size); }
  bool SeekToEnd() override { return ::lseek(m_fd.get(), 0, SEEK_END) != static_cast<off_t>(-1); }
  bool Flush() override { return ::fdatasync(m_fd.get()) == 0; }

 private:
  UniqueFd m_fd;
};

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

// Writes `text` over the file at `path` (created when missing): the same
// file, its mode, owner and links untouched.
bool WriteInPlace(const std::string& path, const std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) return false;
  return WriteAll(fd.get(), text.data(), text.size()) &&
         ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0;
}

// Writes `text` to a new file beside `path` with the mode and owner of
// `existing` (the file at `path`) and renames it over `path`, so that a
// reader never sees half a file. False, with nothing changed, when the
// sibling cannot be made or given the same owner.
bool ReplaceKeepingModeAndOwner(const std::string& path, const struct stat& existing,
                                const std::string& text) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return false;
  struct stat made {};
  bool ok = ::fstat(fd.get(), &made) == 0 &&
            ((made.st_uid == existing.st_uid && made.st_gid == existing.st_gid) ||
             ::fchown(fd.get(), existing.st_uid, existing.st_gid) == 0) &&
            ::fchmod(fd.get(), existing.st_mode & 07777) == 0 && WriteAll(fd.get(), text.data(), text.size());
  fd.reset();
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

class PosixHost final : public HostEnvironment {
 public:
  std::string ExecutableFolder() override { return posix_host::ExecutableFolder(); }

  std::string HostFilesFolder() override {
    // Chosen once: the log, the INI file and the debug folder agree for the
    // whole run, whatever the environment or the folders do later.
    std::call_once(m_filesFolderChosen, [this] {
      m_filesFolder =
          posix_host::ChooseFolder(posix_host::SourcesFromEnvironment(), posix_host::RealFolderOps());
    });
    return m_filesFolder;
  }

  char PathSeparator() const override { return '/'; }

  std::string DefaultDebugFolder() override { return HostFilesFolder(); }

  int32_t ReadIniInt(const std::string& iniPath, std::string_view section, std::string_view key,
                     int32_t defaultValue) override {
    std::string text;
    if (!ReadWholeFile(iniPath, text)) return defaultValue;
    std::optional<std::string> value = ini::Lookup(text, section, key);
    if (!value || value->empty()) return defaultValue;
    return ini::ParseInt(*value);
  }

  std::string ReadIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                            std::string_view defaultValue, size_t capacity) override {
    if (capacity == 0) return {};
    std::string text;
    std::string value(defaultValue);
    if (ReadWholeFile(iniPath, text)) {
      if (std::optional<std::string> found = ini::Lookup(text, section, key)) value = *found;
    }
    if (value.size() > capacity - 1) value.resize(capacity - 1);
    return value;
  }

  bool WriteIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                      std::string_view value) override {
    // One update at a time in this process: each reads the file, changes a
    // key and writes it back, and must not lose another's change.
    std::lock_guard<std::mutex> hold(m_iniLock);
    std::string text;
    ReadWholeFile(iniPath, text);  // a missing file starts empty
    const std::string updated = ini::Update(text, section, key, value);

    // The file the path names, through any symbolic links: the link stays a
    // link, and the file keeps its mode and owner.
    std::string target = iniPath;
    if (char* resolved = ::realpath(iniPath.c_str(), nullptr)) {
      target = resolved;
      ::free(resolved);
    }
    struct stat existing {};
    if (::stat(target.c_str(), &existing) != 0) return WriteInPlace(iniPath, updated);
    // A file the host may not write is not replaced either, as on Windows.
    if (::access(target.c_str(), W_OK) != 0) return false;
    return ReplaceKeepingModeAndOwner(target, existing, updated) || WriteInPlace(target, updated);
  }

  LocalTime Now() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm parts {};
    ::localtime_r(&ts.tv_sec, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
  }

  uint32_t TickCount() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }

  bool FolderExists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool CreateFolder(const std::string& path) override {
    return ::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && FolderExists(path));
  }

  std::unique_ptr<File> OpenFile(const std::string& path, FileMode mode) override {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return nullptr;
    // Windows share modes become an exclusive advisory lock on the open file:
    // a second writer, here or in another process, cannot get it. Readers
    // take no lock and may read as they please.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    if (mode == FileMode::kCreateExclusive && ::ftruncate(fd.get(), 0) != 0) return nullptr;
    return std::make_unique<PosixFile>(std::move(fd));
  }

  void ShowMessageBox(std::string_view text, MessageIcon icon) override {
    const char* kind = icon == MessageIcon::kStop ? "error" : "warning";
    // The text is GBK, as a Windows message box takes it; a terminal reads UTF-8.
    std::string line = "Norvex " + std::string(kind) + ": " + texts::ToUtf8(text, false);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    line.push_back('\n');
    WriteAll(STDERR_FILENO, line.data(), line.size());
  }

  std::string EnvironmentVariable(std::string_view name) override {
    const char* value = std::getenv(std::string(name).c_str());
    return value != nullptr ? value : "";
  }

 private:
  std::once_flag m_filesFolderChosen;
  std::string m_filesFolder;
  std::mutex m_iniLock;
};

}  // namespace

HostEnvironment& Host() {
  static PosixHost host;
  return host;
}

}  // namespace norvex::platform
