// posix_host.cpp: the HostEnvironment of POSIX systems: /proc/self/exe and
// the folder of the host's files (host_folder.h), INI
// files with the Windows profile semantics, clocks, folders, files with
// Windows-like sharing (advisory locks), message boxes as UTF-8 lines on stderr.
#include <fcntl.h>
#include <pthread.h>
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
#include "platform/posix/ini_file.h"
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

// The whole text of an INI file into `text`; `exists` false (and true
// returned) when there is no such file. False for a file that is there but
// cannot be read: an update must not replace it by one without its keys.
bool ReadIniText(const std::string& path, std::string& text, bool& exists) {
  text.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  exists = static_cast<bool>(fd);
  if (!fd) return errno == ENOENT;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
  }
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
    bool exists = false;
    if (!ReadIniText(iniPath, text, exists)) return false;
    // Written whole or not at all, through any symbolic link, with the
    // file's mode and owner (ini_file.h).
    return posix_host::WriteIniFile(iniPath, exists ? &text : nullptr,
                                    ini::Update(text, section, key, value));
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
    WriteAll(MessageDescriptor(), line.data(), line.size());
  }

  std::string EnvironmentVariable(std::string_view name) override {
    const char* value = std::getenv(std::string(name).c_str());
    return value != nullptr ? value : "";
  }

 private:
  // Where the message lines go: the open descriptor that NORVEX_MESSAGE_FD
  // names (a host that shows them its own way, a tool that follows its -q
  // and --json), else standard error. Looked up at the first message.
  int MessageDescriptor() {
    std::call_once(m_messageDescriptorChosen, [this] {
      const char* named = std::getenv("NORVEX_MESSAGE_FD");
      char* end = nullptr;
      const long fd = named != nullptr && *named != '\0' ? std::strtol(named, &end, 10) : -1;
      if (fd >= 0 && fd <= 0x7FFFFFFF && end != nullptr && *end == '\0' &&
          ::fcntl(static_cast<int>(fd), F_GETFD) != -1) {
        m_messageDescriptor = static_cast<int>(fd);
      }
    });
    return m_messageDescriptor;
  }

  std::once_flag m_messageDescriptorChosen;
  int m_messageDescriptor = STDERR_FILENO;
  std::once_flag m_filesFolderChosen;
  std::string m_filesFolder;
  std::mutex m_iniLock;
};

// Thread keys: the key's destructor is called at the end of each thread
// that set a value, and for no thread once the key is deleted.
class PosixThreadEndWatch final : public ThreadEndWatch {
 public:
  explicit PosixThreadEndWatch(pthread_key_t key) : m_key(key) {}
  ~PosixThreadEndWatch() override { ::pthread_key_delete(m_key); }
  PosixThreadEndWatch(const PosixThreadEndWatch&) = delete;
  PosixThreadEndWatch& operator=(const PosixThreadEndWatch&) = delete;

  ThreadHolding* Holding() override { return static_cast<ThreadHolding*>(::pthread_getspecific(m_key)); }
  bool Hold(ThreadHolding* holding) override { return ::pthread_setspecific(m_key, holding) == 0; }

  static void Ended(void* holding) { static_cast<ThreadHolding*>(holding)->ThreadEnded(); }

 private:
  pthread_key_t m_key;
};

}  // namespace

HostEnvironment& Host() {
  static PosixHost host;
  return host;
}

std::unique_ptr<ThreadEndWatch> WatchThreadEnds() {
  pthread_key_t key{};
  if (::pthread_key_create(&key, &PosixThreadEndWatch::Ended) != 0) return nullptr;
  return std::make_unique<PosixThreadEndWatch>(key);
}

}  // namespace norvex::platform
