// usb_link.h: UsbLink, the open link to the platesetter. It owns the device
// handle (or the pseudo handle of the modes without a device), the lock that
// keeps it in place while transfers use it, its removal registration, and
// the command file of command-file mode; it opens and closes the link and
// carries the control transfers of a command exchange and the bulk writes of
// print data.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "link/handle_guard.h"
#include "log/debug_folder.h"
#include "log/driver_log.h"
#include "platform/platform.h"

namespace norvex {

// The device interface class of the platesetter's USB driver,
// {D6CF936E-E78B-477E-AFCD-697A2109E095}.
inline constexpr platform::Guid kDeviceInterfaceGuid = {
    0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};

// Marks the link open where no device is used. Odd, so never a real handle.
inline constexpr platform::Handle kPseudoHandle = 0x4E565831;

// Where the request frames of commands go, and what an open of the link
// opens. Each link mode names one (printdata/link_modes.h); setting the mode
// stores it here.
enum class CommandRoute : uint8_t {
  kDevice,       // the platesetter: an open opens the device, a frame is a control request
  kCommandFile,  // no device: an open makes the command file, a frame is appended to it
  kNowhere,      // no device: an open gives the pseudo handle, a frame goes nowhere
};

// The settings that every transfer reads when it starts.
struct LinkSettings {
  std::atomic<CommandRoute> commands{CommandRoute::kDevice};
  std::atomic<uint32_t> usbTimeout{10000};  // ms of every wait for a transfer
};

class UsbLink {
 public:
  static constexpr const char* kCommandFileName = "CommandFile.bin";
  // The longest wait of the unload's close for running exchanges to let go
  // of the handle.
  static constexpr uint32_t kUnloadPinWaitMs = 1000;

  UsbLink(platform::Driver& driver, platform::WindowSystem& windows, platform::HostEnvironment& host,
          CDriverLog& log, const LinkSettings& settings, const DebugFolder& debugFolder);
  // Closes the link as CloseAtUnload does, when it is still open.
  ~UsbLink();

  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;

  // --- Open and close. Both wait for every pin to go. ---------------------

  // Closes what is open, then opens what the command route asks for: the
  // first device of the platesetter's interface class (kDevice), the command
  // file and the pseudo handle (kCommandFile), the pseudo handle (kNowhere). An opened link writes "Open
  // Device!" and asks for the removal message of its handle to be sent to `window` (with
  // `interfaceRegistration`); the close removes that registration again.
  // True when the link is open; OpenError() tells why not.
  bool Open(platform::Window window, platform::Registration interfaceRegistration);
  // Closes the link when open, writing "Close Device!": whatever the command
  // route is by now, a device handle is closed with the driver and the
  // command file, if open, is closed. Returns 0 or the platform's error of
  // the close.
  uint32_t Close();
  // The close at unload: no log line, and a wait of at most
  // kUnloadPinWaitMs for the pins (at process exit a thread may have been
  // ended in the middle of an exchange, and its pin is never released). The
  // handle is closed in any case; the driver makes a transfer still running
  // on it fail.
  void CloseAtUnload();

  // The platform's reason why the latest open failed (0 after a success).
  uint32_t OpenError() const { return m_openError.load(); }
  // The open link, kInvalidHandle while closed.
  platform::Handle DeviceHandle() const { return m_deviceHandle.load(); }
  bool IsOpen() const { return DeviceHandle() != platform::kInvalidHandle; }

  // --- Control transfers of a command exchange, on a pinned handle. -------

  // Keeps the device handle from being closed or replaced while one exchange
  // uses it. A pin taken while the link is closed holds kInvalidHandle.
  class Pin {
   public:
    explicit Pin(UsbLink& link) : m_hold(link.m_handleGuard), m_handle(link.DeviceHandle()) {}
    platform::Handle handle() const { return m_handle; }

   private:
    std::shared_lock<HandleGuard> m_hold;
    platform::Handle m_handle;
  };

  // Writes a request frame where the command route says: a control request
  // (kDevice), an append to the command file (kCommandFile), nowhere
  // (kNowhere). A failed
  // append still gives 0; the file's path is left in `failedFile` for the
  // caller to show with ShowWriteFailure once it holds no lock (the message
  // box runs a message loop, in which the hook may open or close the link).
  // A link opened with another route has no command file: the first frame
  // written with kCommandFile creates it, as an open with that route would
  // have.
  uint32_t ControlWrite(platform::Handle handle, const uint8_t* frame, uint32_t size,
                        std::string& failedFile);
  // The standard file-error message for a failed write to `path`. Shows a
  // modal message box: call it with no lock of the library held.
  void ShowWriteFailure(const std::string& path);
  // Reads one reply frame of at most `count` bytes in every mode; `count`
  // becomes the number of bytes read. On the pseudo handle the read fails at
  // the start with kErrorInvalidHandle, as it does on the platform.
  uint32_t ControlRead(platform::Handle handle, uint8_t* buffer, uint32_t& count);

  // --- Bulk writes of print data. -----------------------------------------

  using BulkWrite = platform::Driver::PendingWrite;
  static constexpr BulkWrite kNoBulkWrite = platform::Driver::kNoWrite;

  // Starts an overlapped write of `size` bytes from `data` (read in place
  // until the write is completed) on the open device, the handle pinned
  // while it starts. Returns the write, or kNoBulkWrite with the reason in
  // `error`, never 0 then (kErrorInvalidHandle when no device is open).
  BulkWrite StartBulk(const void* data, uint32_t size, uint32_t& error);
  // Waits at most UsbTimeout for `write`, the handle pinned meanwhile, and
  // stores the bytes it moved in `transferred`. Returns 0, kErrorIoIncomplete
  // when it had not finished (it is cancelled then), or its error.
  uint32_t CompleteBulk(BulkWrite write, uint32_t& transferred);
  // Completes `write` without waiting (cancelled when not done) and without
  // a pin: for an owner that goes at unload, after the close.
  void CancelBulk(BulkWrite write);

 private:
  // Reads m_handleGuard from outside the class: a type that only the unit
  // tests define, to look whether a pin or an open is held.
  friend class UsbLinkInspector;

  // Open failures of the platform that the log names: another protocol
  // version (ERROR_REVISION_MISMATCH), a device folder or endpoint another
  // user could have made (ERROR_INVALID_OWNER), a configured address that is
  // none (ERROR_BAD_PATHNAME).
  static constexpr uint32_t kErrorRevisionMismatch = 1306;
  static constexpr uint32_t kErrorInvalidOwner = 1307;
  static constexpr uint32_t kErrorBadAddress = 161;
  void LogRefusedOpen(uint32_t error);

  // Closes the link when open; the caller holds the handle lock (or gave up
  // waiting for it at unload). `logged`: whether "Close Device!" is written.
  uint32_t CloseLocked(bool logged);
  // Creates (empties) the command file in the debug folder; the caller holds
  // m_commandFileLock.
  void OpenCommandFileLocked();
  // ControlWrite's append of a frame to the command file.
  void AppendToCommandFile(platform::Handle handle, const uint8_t* frame, uint32_t size,
                           std::string& failedFile);

  platform::Driver& m_driver;
  platform::WindowSystem& m_windows;
  platform::HostEnvironment& m_host;
  CDriverLog& m_log;
  const LinkSettings& m_settings;
  const DebugFolder& m_debugFolder;

  // Changed only by open and close, which hold m_handleGuard exclusively.
  std::atomic<platform::Handle> m_deviceHandle{platform::kInvalidHandle};
  HandleGuard m_handleGuard;
  // The removal registration of the open handle: one per open handle,
  // removed when the handle is closed.
  platform::Registration m_handleRegistration = nullptr;
  std::atomic<uint32_t> m_openError{0};

  std::mutex m_commandFileLock;
  std::unique_ptr<platform::File> m_commandFile;
  bool m_commandFileOpen = false;  // opened by the last open with kCommandFile
  std::string m_commandFilePath;
};

}  // namespace norvex
