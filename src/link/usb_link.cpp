// usb_link.cpp: opening and closing the link, the control transfers and the
// bulk writes.
#include "link/usb_link.h"

namespace norvex {

UsbLink::UsbLink(platform::Driver& driver, platform::WindowSystem& windows, platform::HostEnvironment& host,
                 CDriverLog& log, const LinkSettings& settings, const DebugFolder& debugFolder)
    : m_driver(driver),
      m_windows(windows),
      m_host(host),
      m_log(log),
      m_settings(settings),
      m_debugFolder(debugFolder) {}

UsbLink::~UsbLink() {
  if (IsOpen()) CloseAtUnload();
}

void UsbLink::OpenCommandFileLocked() {
  m_commandFilePath = m_debugFolder.PathOf(kCommandFileName);
  m_commandFile.reset();
  m_commandFile = m_host.OpenFile(m_commandFilePath, platform::FileMode::kCreateExclusive);
  m_commandFileOpen = true;
}

bool UsbLink::Open(platform::Window window, platform::Registration interfaceRegistration) {
  std::unique_lock<HandleGuard> hold(m_handleGuard);
  CloseLocked(true);
  platform::Handle handle = kPseudoHandle;
  uint32_t error = 0;
  switch (m_settings.commands.load()) {
    case CommandRoute::kDevice:
      m_driver.SetOpenWait(m_settings.usbTimeout.load());
      handle = m_driver.OpenInterface(kDeviceInterfaceGuid, 0, error);
      break;
    case CommandRoute::kCommandFile: {
      // Whether the file could be created shows only when a frame is written.
      std::lock_guard<std::mutex> files(m_commandFileLock);
      OpenCommandFileLocked();
      break;
    }
    case CommandRoute::kNowhere:
      break;
  }
  m_openError.store(error);
  m_deviceHandle.store(handle);
  if (handle == platform::kInvalidHandle) {
    LogRefusedOpen(error);
    return false;
  }
  m_log.WriteLine("Open Device!");
  // Kept, so that the close removes it: one removal message per unplug,
  // however often the device was opened.
  m_handleRegistration =
      m_windows.RegisterHandleNotification(window, handle, interfaceRegistration, kDeviceInterfaceGuid);
  return true;
}

void UsbLink::LogRefusedOpen(uint32_t error) {
  // The open failures that a device address brings, which the host could
  // not tell from an absent device otherwise. Absent, busy and stale devices
  // are not logged, as with the kernel driver.
  switch (error) {
    case kErrorRevisionMismatch:
      m_log.WriteFormatted("Open Device Fail! The device speaks another protocol version (error %u).\n",
                           error);
      break;
    case kErrorInvalidOwner:
      m_log.WriteFormatted(
          "Open Device Fail! The device folder or endpoint belongs to another user or others may write it "
          "(error %u).\n",
          error);
      break;
    case kErrorBadAddress:
      m_log.WriteFormatted(
          "Open Device Fail! NORVEX_DEVICE or [Device] Address is no device address (error %u).\n", error);
      break;
    default:
      break;
  }
}

uint32_t UsbLink::Close() {
  std::unique_lock<HandleGuard> hold(m_handleGuard);
  return CloseLocked(true);
}

void UsbLink::CloseAtUnload() {
  // Not owned when a pin outlived its thread; the close goes ahead anyway.
  std::unique_lock<HandleGuard> hold(m_handleGuard, std::chrono::milliseconds(kUnloadPinWaitMs));
  CloseLocked(false);
}

uint32_t UsbLink::CloseLocked(bool logged) {
  const platform::Handle handle = m_deviceHandle.load();
  if (handle == platform::kInvalidHandle) return 0;
  if (logged) m_log.WriteLine("Close Device!");
  // The window system forgets the handle before it is closed.
  if (m_handleRegistration != nullptr) {
    m_windows.UnregisterNotification(m_handleRegistration);
    m_handleRegistration = nullptr;
  }
  {
    std::lock_guard<std::mutex> files(m_commandFileLock);
    m_commandFile.reset();
    m_commandFileOpen = false;
  }
  const uint32_t result = handle == kPseudoHandle ? 0 : m_driver.Close(handle);
  m_deviceHandle.store(platform::kInvalidHandle);
  return result;
}

uint32_t UsbLink::ControlWrite(platform::Handle handle, const uint8_t* frame, uint32_t size,
                               std::string& failedFile) {
  switch (m_settings.commands.load()) {
    case CommandRoute::kDevice:
      return m_driver.ControlRequest(handle, platform::kIoctlSendFrame, frame, size,
                                     m_settings.usbTimeout.load());
    case CommandRoute::kCommandFile:
      AppendToCommandFile(handle, frame, size, failedFile);
      return 0;
    case CommandRoute::kNowhere:
      break;
  }
  return 0;
}

void UsbLink::AppendToCommandFile(platform::Handle handle, const uint8_t* frame, uint32_t size,
                                  std::string& failedFile) {
  std::lock_guard<std::mutex> files(m_commandFileLock);
  if (!m_commandFileOpen) {
    // A closed link has no command file to write to.
    if (handle == platform::kInvalidHandle) return;
    // The link was opened with another route and the route changed since:
    // the frame goes to the command file all the same, not nowhere.
    OpenCommandFileLocked();
  }
  if (!m_commandFile || !m_commandFile->Write(frame, size)) failedFile = m_commandFilePath;
}

void UsbLink::ShowWriteFailure(const std::string& path) {
  m_host.ShowMessageBox("A write to the file \"" + path + "\" failed.", platform::MessageIcon::kExclamation);
}

uint32_t UsbLink::ControlRead(platform::Handle handle, uint8_t* buffer, uint32_t& count) {
  if (handle == kPseudoHandle || handle == platform::kInvalidHandle) {
    count = 0;
    return platform::kErrorInvalidHandle;
  }
  uint32_t read = 0;
  const uint32_t result = m_driver.Read(handle, buffer, count, read, m_settings.usbTimeout.load());
  count = read;
  return result;
}

UsbLink::BulkWrite UsbLink::StartBulk(const void* data, uint32_t size, uint32_t& error) {
  // The handle stays open, and stays this device, while the write starts.
  Pin pin(*this);
  error = 0;
  const BulkWrite write = m_driver.StartWrite(pin.handle(), data, size, error);
  if (write == kNoBulkWrite && error == 0) error = platform::kErrorInvalidHandle;
  return write;
}

uint32_t UsbLink::CompleteBulk(BulkWrite write, uint32_t& transferred) {
  // The wait, the result and the cancel of a write not done in time are the
  // driver's; the handle stays open meanwhile.
  Pin pin(*this);
  return m_driver.CompleteWrite(write, m_settings.usbTimeout.load(), transferred);
}

void UsbLink::CancelBulk(BulkWrite write) {
  uint32_t transferred = 0;
  m_driver.CompleteWrite(write, 0, transferred);
}

}  // namespace norvex
