// usb_link.cpp: opening and closing the link, and the control transfers.
#include "link/usb_link.h"

namespace norvex {

UsbLink::UsbLink(platform::Driver& driver, platform::HostEnvironment& host,
                 const LinkSettings& settings, const DebugFolder& debugFolder)
    : m_driver(driver), m_host(host), m_settings(settings), m_debugFolder(debugFolder) {}

UsbLink::~UsbLink() = default;

void UsbLink::OpenCommandFileLocked() {
  m_commandFilePath = m_debugFolder.PathOf(kCommandFileName);
  m_commandFile.reset();
  m_commandFile = m_host.OpenFile(m_commandFilePath, platform::FileMode::kCreateExclusive);
  m_commandFileOpen = true;
}

platform::Handle UsbLink::OpenDeviceInterface(const platform::Guid& interfaceClass, uint32_t index,
                                              uint32_t& error) {
  const int32_t mode = m_settings.linkMode.load();
  if (mode == kLinkCommandFile) {
    // Whether the file could be created shows only when a frame is written.
    std::lock_guard<std::mutex> hold(m_commandFileLock);
    OpenCommandFileLocked();
    error = 0;
    return kPseudoHandle;
  }
  if (!IsUsbMode(mode)) {
    error = 0;
    return kPseudoHandle;
  }
  return m_driver.OpenInterface(interfaceClass, index, error);
}

uint32_t UsbLink::CloseDeviceHandle(platform::Handle handle) {
  {
    std::lock_guard<std::mutex> hold(m_commandFileLock);
    m_commandFile.reset();
    m_commandFileOpen = false;
  }
  if (handle == platform::kInvalidHandle || handle == kPseudoHandle) return 0;
  return m_driver.Close(handle);
}

uint32_t UsbLink::ControlWrite(platform::Handle handle, const uint8_t* frame, uint32_t size,
                               std::string& failedFile) {
  const int32_t mode = m_settings.linkMode.load();
  if (IsUsbMode(mode)) {
    return m_driver.ControlRequest(handle, platform::kIoctlSendFrame, frame, size,
                                   m_settings.usbTimeout.load());
  }
  if (mode != kLinkCommandFile) return 0;
  std::lock_guard<std::mutex> hold(m_commandFileLock);
  if (!m_commandFileOpen) {
    // A closed link has no command file to write to.
    if (handle == platform::kInvalidHandle) return 0;
    // The link was opened in another mode and the mode changed since: the
    // frame goes to the command file all the same, not nowhere.
    OpenCommandFileLocked();
  }
  if (!m_commandFile || !m_commandFile->Write(frame, size)) failedFile = m_commandFilePath;
  return 0;
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

}  // namespace norvex
