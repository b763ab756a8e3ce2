// usb_link.h: UsbLink, the open link to the platesetter: the device handle
// (or the pseudo handle of the modes without a device), the command file of
// command-file mode, and the two control transfers of a command exchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "link/handle_guard.h"
#include "log/debug_folder.h"
#include "platform/platform.h"

namespace norvex {

// The device interface class of the platesetter's USB driver,
// {D6CF936E-E78B-477E-AFCD-697A2109E095}.
inline constexpr platform::Guid kDeviceInterfaceGuid = {
    0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};

// Marks the link open where no device is used. Odd, so never a real handle.
inline constexpr platform::Handle kPseudoHandle = 0x4E565831;

// Where commands and print data go; set by Norvex_SetPrintDataSaveIdle.
enum LinkModeValue : int32_t {
  kLinkUsb = 1,
  kLinkTiffCapture = 2,
  kLinkUsbAndTiffCapture = 3,
  kLinkCommandFile = 4,
  kLinkCompressedFile = 12,
};

inline bool IsUsbMode(int32_t mode) { return mode == kLinkUsb || mode == kLinkUsbAndTiffCapture; }

// The settings that every transfer reads when it starts.
struct LinkSettings {
  std::atomic<int32_t> linkMode{kLinkUsb};
  std::atomic<uint32_t> usbTimeout{10000};  // ms of every wait for a transfer
};

class UsbLink {
 public:
  static constexpr const char* kCommandFileName = "CommandFile.bin";

  UsbLink(platform::Driver& driver, platform::HostEnvironment& host, const LinkSettings& settings,
          const DebugFolder& debugFolder);
  ~UsbLink();

  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;

  // Opens what the link mode asks for: the device interface number `index`
  // of `interfaceClass` in the USB modes (kInvalidHandle when it cannot be
  // opened, with the platform's reason in `error`), the command file and the
  // pseudo handle in command-file mode, the pseudo handle otherwise.
  platform::Handle OpenDeviceInterface(const platform::Guid& interfaceClass, uint32_t index,
                                       uint32_t& error);
  // Closes what `handle` stands for, whatever the mode is now: a device
  // handle is closed with the driver, and the command file, if open, is
  // closed. Returns 0 or the platform's error of a failed close.
  uint32_t CloseDeviceHandle(platform::Handle handle);

  // Writes a request frame: a control request in the USB modes, an append
  // to the command file in command-file mode, nothing otherwise. A failed
  // append still gives 0; the file's path is left in `failedFile` for the
  // caller to show with ShowWriteFailure once it holds no lock (the message
  // box runs a message loop, in which the hook may open or close the link).
  // A link opened in another mode than command-file mode has no command
  // file: the first frame written in command-file mode creates it, as an
  // open in that mode would have.
  uint32_t ControlWrite(platform::Handle handle, const uint8_t* frame, uint32_t size,
                        std::string& failedFile);
  // The standard file-error message for a failed write to `path`. Shows a
  // modal message box: call it with no lock of the library held.
  void ShowWriteFailure(const std::string& path);
  // Reads one reply frame of at most `count` bytes in every mode; `count`
  // becomes the number of bytes read. On the pseudo handle the read fails at
  // the start with kErrorInvalidHandle, as it does on the platform.
  uint32_t ControlRead(platform::Handle handle, uint8_t* buffer, uint32_t& count);

  // --- DeviceHandle: the open link, kInvalidHandle while closed. ---

  platform::Handle DeviceHandle() const { return m_deviceHandle.load(); }
  bool IsOpen() const { return DeviceHandle() != platform::kInvalidHandle; }

  // Keeps the device handle from being closed or replaced while one exchange
  // or bulk write uses it. Open and close wait for every pin to go. A pin
  // taken while the link is closed holds kInvalidHandle.
  class Pin {
   public:
    explicit Pin(UsbLink& link) : m_hold(link.m_handleGuard), m_handle(link.DeviceHandle()) {}
    platform::Handle handle() const { return m_handle; }

   private:
    std::shared_lock<HandleGuard> m_hold;
    platform::Handle m_handle;
  };

  // Open and close hold this exclusively (it waits for the pins to go)
  // while they change the device handle.
  std::unique_lock<HandleGuard> LockHandle() { return std::unique_lock<HandleGuard>(m_handleGuard); }
  // The same, waiting at most `wait`; the lock is not owned when the pins
  // did not go in time.
  std::unique_lock<HandleGuard> LockHandleFor(std::chrono::milliseconds wait) {
    return std::unique_lock<HandleGuard>(m_handleGuard, wait);
  }
  // Stores a new device handle; the caller holds LockHandle().
  void SetDeviceHandle(platform::Handle handle) { m_deviceHandle.store(handle); }

 private:
  // Creates (empties) the command file in the debug folder; the caller holds
  // m_commandFileLock.
  void OpenCommandFileLocked();

  platform::Driver& m_driver;
  platform::HostEnvironment& m_host;
  const LinkSettings& m_settings;
  const DebugFolder& m_debugFolder;

  std::atomic<platform::Handle> m_deviceHandle{platform::kInvalidHandle};
  HandleGuard m_handleGuard;

  std::mutex m_commandFileLock;
  std::unique_ptr<platform::File> m_commandFile;
  bool m_commandFileOpen = false;  // opened by the last open in command-file mode
  std::string m_commandFilePath;
};

}  // namespace norvex
