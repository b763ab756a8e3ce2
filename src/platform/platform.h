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
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

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
  // The folder where the library keeps the host's files (Varnock.ini and the
  // log folder), without a trailing separator: the executable's folder,
  // unless the platform has reason to choose another (POSIX: NORVEX_HOME, or
  // a per-user state folder when the executable's folder cannot be written).
  // The same folder for the whole life of the process.
  virtual std::string HostFilesFolder() { return ExecutableFolder(); }
  // The separator of path components: '\\' on Windows, '/' elsewhere.
  virtual char PathSeparator() const = 0;
  // The command-file folder the library starts with: "C:" on Windows; on
  // POSIX, where "C:" names nothing, the host files' folder.
  virtual std::string DefaultDebugFolder() = 0;

  // INI files, with the semantics of the Windows profile functions: section
  // and key names compare without regard to case; a missing file, section or
  // key gives the default. ReadIniInt parses an optional sign and decimal
  // digits after leading blanks (a value without digits reads as 0).
  // ReadIniString returns at most `capacity - 1` characters (capacity counts
  // the terminator, as the Windows buffer size does; capacity 0 gives "").
  // WriteIniString creates the file, the section and the key as needed and
  // replaces the key's value in place otherwise. It returns false when the
  // file could not be written; the file then holds what it held before (a
  // full disk or a size limit never leaves it cut short).
  virtual int32_t ReadIniInt(const std::string& iniPath, std::string_view section, std::string_view key,
                             int32_t defaultValue) = 0;
  virtual std::string ReadIniString(const std::string& iniPath, std::string_view section,
                                    std::string_view key, std::string_view defaultValue, size_t capacity) = 0;
  virtual bool WriteIniString(const std::string& iniPath, std::string_view section, std::string_view key,
                              std::string_view value) = 0;

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

  // The value of the process's environment variable `name` as it is now;
  // empty when it is not set.
  virtual std::string EnvironmentVariable(std::string_view /*name*/) { return {}; }
};

// ---------------------------------------------------------------------------
// The platesetter's kernel driver.

// A handle of the platform: a device handle, or the library's pseudo handle.
using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
inline bool operator==(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.data4[i] != b.data4[i]) return false;
  }
  return true;
}

// The device control request that carries one request frame.
inline constexpr uint32_t kIoctlSendFrame = 0x222002;

// What the library relies on from the platesetter's USB driver. One
// transfer is one overlapped attempt: started, waited for at most the given
// time, and cancelled when not done by then; a cancelled transfer is waited
// for until it can no longer touch the caller's buffer, so that the caller
// may reuse or free it as soon as the call returns.
//
// Thread safety: every operation may be called from any thread, also at the
// same time on the same handle (a command on one thread, a bulk write on
// another). Closing a handle while another thread transfers on it makes that
// transfer fail; it never touches freed memory.
class Driver {
 public:
  virtual ~Driver() = default;

  // Opens the present interface number `index` of the class `interfaceClass`
  // for exclusive, overlapped use. Returns the handle, or kInvalidHandle with
  // the reason in `error`: kErrorNoMoreItems when there is no such device,
  // kErrorAccessDenied when another opener holds it, other codes for other
  // failures. `error` is 0 after a successful open.
  virtual Handle OpenInterface(const Guid& interfaceClass, uint32_t index, uint32_t& error) = 0;
  // Closes a handle from OpenInterface: 0, or kErrorInvalidHandle.
  virtual uint32_t Close(Handle device) = 0;
  // The longest wait of the next opens for a device endpoint to answer
  // (connect and opening): the USB time-out, at least 2000 ms. A kernel
  // driver's open does not wait and ignores it.
  virtual void SetOpenWait(uint32_t /*timeoutMs*/) {}

  // Sends `size` bytes as the output buffer of control request `ioctl`.
  // Returns 0 when done, kErrorIoPending when not done within `timeoutMs`
  // (or done with an error after pending), or the error with which the
  // request could not be started (kErrorInvalidHandle for a handle that is
  // not a device).
  virtual uint32_t ControlRequest(Handle device, uint32_t ioctl, const void* data, uint32_t size,
                                  uint32_t timeoutMs) = 0;
  // Reads one reply frame of at most `capacity` bytes. The result codes are
  // those of ControlRequest; `bytesRead` is the size of what was read (0 when
  // nothing was).
  virtual uint32_t Read(Handle device, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                        uint32_t timeoutMs) = 0;

  // Bulk writes of print data, in two steps so that the caller can return
  // to the host between them. At most one is outstanding per caller; the
  // driver reads `data` directly (no copy) until CompleteWrite returns.
  //
  // StartWrite starts an overlapped write of `size` bytes (any 32-bit size:
  // what the device takes of it, the completion says) and returns at once
  // with its record, or kNoWrite when it could not start, with the reason in
  // `error` (kErrorInvalidHandle for a handle that is not a device). A write
  // that fails after its start returns a record whose completion reports
  // the error; kNoWrite is never completed (the caller reports `error`).
  using PendingWrite = std::uintptr_t;
  static constexpr PendingWrite kNoWrite = 0;
  virtual PendingWrite StartWrite(Handle device, const void* data, uint32_t size, uint32_t& error) = 0;
  // Waits at most `timeoutMs` for the write, stores the bytes it moved in
  // `transferred`, and releases its record. Returns 0 when it completed,
  // kErrorIoIncomplete when it had not (it is then cancelled, and the driver
  // no longer reads the data when this returns), or the error with which it
  // failed, as the device or the platform reported it (kErrorDeviceNotConnected
  // when the device went, for example).
  virtual uint32_t CompleteWrite(PendingWrite write, uint32_t timeoutMs, uint32_t& transferred) = 0;
};

// ---------------------------------------------------------------------------
// Device notifications and the message hook of the host's window system.

using Window = void*;
using Registration = void*;
using Hook = void*;

// Windows message numbers and device events that the hook looks at.
inline constexpr uint32_t kWmDestroy = 0x0002;
inline constexpr uint32_t kWmDeviceChange = 0x0219;
inline constexpr uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr uint32_t kDbtDevtypHandle = 6;

// The message record that a call-window-procedure hook receives, and the
// device broadcast records that WM_DEVICECHANGE points to: the layouts of
// the window system (CWPSTRUCT, DEV_BROADCAST_HDR, _DEVICEINTERFACE, _HANDLE).
struct HookMessage {
  intptr_t lParam;
  uintptr_t wParam;
  uint32_t message;
  Window window;
};
struct BroadcastHeader {
  uint32_t size;
  uint32_t deviceType;
  uint32_t reserved;
};
struct BroadcastDeviceInterface {
  BroadcastHeader header;
  Guid classGuid;
  char name[1];
};
struct BroadcastHandle {
  BroadcastHeader header;
  Handle handle;
  Registration notification;
  Guid eventGuid;
  int32_t nameOffset;
  uint8_t data[1];
};

// The hook procedure: code, message parameter, pointer to a HookMessage.
using HookProcedure = intptr_t (*)(int code, uintptr_t wParam, intptr_t lParam);

// Thread safety: registrations may be made and removed from any thread;
// InstallHook hooks the calling thread, and the hook runs on that thread
// only, while it dispatches messages sent to its windows.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Asks for arrival notifications of interfaces of `interfaceClass` to be
  // sent to `window`. Null when it cannot be registered.
  virtual Registration RegisterInterfaceNotification(Window window, const Guid& interfaceClass) = 0;
  // Asks for the removal notification of the open `device` to be sent to
  // `window`. Null when it cannot be registered.
  virtual Registration RegisterHandleNotification(Window window, Handle device,
                                                  Registration interfaceRegistration,
                                                  const Guid& interfaceClass) = 0;
  virtual bool UnregisterNotification(Registration registration) = 0;

  // Installs `procedure` as a call-window-procedure hook of the calling
  // thread. Null when it cannot be installed.
  virtual Hook InstallHook(HookProcedure procedure) = 0;
  virtual bool RemoveHook(Hook hook) = 0;
  // Passes a hook call on to the next hook of the chain.
  virtual intptr_t CallNextHook(Hook hook, int code, uintptr_t wParam, intptr_t lParam) = 0;
};

// ---------------------------------------------------------------------------
// The ends of threads.

// Something a thread holds of the library's, told when the thread ends.
class ThreadHolding {
 public:
  // Called once, on the ending thread (or as ThreadEndWatch says); the
  // holding may delete itself.
  virtual void ThreadEnded() = 0;

 protected:
  ~ThreadHolding() = default;
};

// One holding per thread, told when its thread ends: how the library learns
// that a thread which used something of its own is gone, since thread ids
// outlive their threads (the system gives them to new ones).
//
// Thread safety: Holding and Hold act on the calling thread's holding only.
// ThreadEnded runs on the ending thread after the thread's own code has
// returned. Once the watch is destroyed, holdings are no longer told at
// their threads' ends: on POSIX they are never told, on Windows each one
// still held is told at once, on the destroying thread. An owner copes with
// both (a holding keeps alive what it releases).
class ThreadEndWatch {
 public:
  virtual ~ThreadEndWatch() = default;
  // The calling thread's holding; null until it holds one.
  virtual ThreadHolding* Holding() = 0;
  // Makes `holding` (or none, for null) the calling thread's. False when the
  // system cannot keep it.
  virtual bool Hold(ThreadHolding* holding) = 0;
};

// A new watch; null when the system has no room for another (POSIX thread
// keys, Windows fiber-local storage).
std::unique_ptr<ThreadEndWatch> WatchThreadEnds();

// The build's implementations. Each lives from its first use to the end of
// the process.
HostEnvironment& Host();
Driver& DeviceDriver();
WindowSystem& Windows();

}  // namespace norvex::platform
