// platform.h: the OS boundary. Everything above src/platform/ reaches the
// operating system only through the interfaces declared here.
//
// Each interface has one implementation per platform, chosen at build time
// (posix/ or win32/), and returned by the accessor at the end of this file.
// Error codes are the Windows system error numbers on every platform, so that
// the layers above see the same values everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace norvex::platform {

// Windows system error numbers that the library reports or tests for.
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorIoPending = 997;

// The local wall-clock time, to the millisecond.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

enum class FileMode {
  // Write only; created when missing, never truncated; the write position is
  // wherever SeekToEnd puts it. Other openers may read the file but not open
  // it for writing: a second writer's open fails, in this or another process.
  kWriteShareRead,
  // Write only; created, or emptied when it exists; not shared with anyone.
  kCreateExclusive,
};

// An open file. Writes are unbuffered in the library: what Write accepted has
// reached the operating system when it returns.
//
// Thread safety: one File is used by one thread at a time; callers serialise.
class File {
 public:
  virtual ~File() = default;
  // Appends `size` bytes at the write position. Returns false when not all of
  // them could be written (disk full, file removed under a lock, ...).
  virtual bool Write(const void* data, size_t size) = 0;
  // Moves the write position to the end of the file.
  virtual bool SeekToEnd() = 0;
  // Forces what was written to the storage device.
  virtual bool Flush() = 0;
};

enum class MessageIcon { kStop, kExclamation };

// What the library needs from the process around it: where the host
// executable lies, its INI file, the clocks, folders, files, and the user.
//
// Every operation may be called from any thread, with or without the
// library's locks held; none of them blocks for longer than the file system
// does, except ShowMessageBox, which waits for the user where there is one.
class HostEnvironment {
 public:
  virtual ~HostEnvironment() = default;

  // The folder of the executable that started the process (not the
  // library's), without a trailing separator. Empty when it cannot be told.
  virtual std::string ExecutableFolder() = 0;
  // The separator of path components: '\\' on Windows, '/' elsewhere.
  virtual char PathSeparator() const = 0;
  // The command-file folder the library starts with: "C:" on Windows; on
  // POSIX, where "C:" names nothing, the executable's folder.
  virtual std::string DefaultDebugFolder() = 0;

  // INI files, with the semantics of the Windows profile functions: section
  // and key names compare without regard to case; a missing file, section or
  // key gives the default. ReadIniInt parses an optional sign and decimal
  // digits after leading blanks (a value without digits reads as 0).
  // ReadIniString returns at most `capacity - 1` characters (capacity counts
  // the terminator, as the Windows buffer size does; capacity 0 gives "").
  // WriteIniString creates the file, the section and the key as needed and
  // replaces the key's value in place otherwise. It returns false when the
  // file could not be written.
  virtual int32_t ReadIniInt(const std::string& iniPath, std::string_view section,
                             std::string_view key, int32_t defaultValue) = 0;
  virtual std::string ReadIniString(const std::string& iniPath, std::string_view section,
                                    std::string_view key, std::string_view defaultValue,
                                    size_t capacity) = 0;
  virtual bool WriteIniString(const std::string& iniPath, std::string_view section,
                              std::string_view key, std::string_view value) = 0;

  virtual LocalTime Now() = 0;
  // Milliseconds since an arbitrary start, wrapping modulo 2^32.
  virtual uint32_t TickCount() = 0;

  virtual bool FolderExists(const std::string& path) = 0;
  // Creates one folder (not its parents). True when it exists afterwards.
  virtual bool CreateFolder(const std::string& path) = 0;
  // Opens a file; null when it cannot be opened.
  virtual std::unique_ptr<File> OpenFile(const std::string& path, FileMode mode) = 0;

  // A modal message with an OK button. On POSIX: one line on standard error.
  virtual void ShowMessageBox(std::string_view text, MessageIcon icon) = 0;
};

// The build's implementation. It lives from its first use to the end of the
// process.
HostEnvironment& Host();

}  // namespace norvex::platform
