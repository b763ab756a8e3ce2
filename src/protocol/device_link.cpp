// device_link.cpp: CDeviceLink (see device_link.h).
#include "protocol/device_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "log/host_files.h"

namespace norvex {

CDeviceLink::CDeviceLink(CDriverLog& log, platform::HostEnvironment& host, UsbLink& usb, uint32_t lockWaitMs)
    : m_log(log), m_host(host), m_usb(usb), m_lockWaitMs(lockWaitMs) {
  const std::string ini = IniFilePath(m_host);
  const int32_t configured = m_host.ReadIniInt(ini, kIniSection, "LockTime", -1);
  if (configured == -1) {
    m_lockTime = kDefaultLockTimeMs;
    m_host.WriteIniString(ini, kIniSection, "LockTime", std::to_string(kDefaultLockTimeMs));
  } else {
    m_lockTime = static_cast<uint32_t>(configured);
  }
}

CDeviceLink::~CDeviceLink() = default;

uint32_t CDeviceLink::RefuseWithoutDevice(const CommandPacket& packet) {
  m_log.WriteFormatted("Device disconnect! cmd = 0x%04X , addr = 0x%02X", packet.command, packet.address);
  RecordFailure(packet, CTP_ERR_NO_DEVICE);
  return CTP_ERR_NO_DEVICE;
}

uint32_t CDeviceLink::Transact(CommandPacket& packet) {
  if (!m_usb.IsOpen()) return RefuseWithoutDevice(packet);

  const uint32_t before = m_host.TickCount();
  const bool locked = m_commandLock.try_lock_for(std::chrono::milliseconds(m_lockWaitMs));
  const uint32_t waited = m_host.TickCount() - before;
  if (!locked) {
    m_log.WriteFormatted("Device lock Timeout! cmd = 0x%04X , addr = 0x%02X , time = %d(%d)", packet.command,
                         packet.address, static_cast<int>(waited), static_cast<int>(m_lockWaitMs));
    RecordFailure(packet, CTP_ERR_LOCK_TIMEOUT);
    return CTP_ERR_LOCK_TIMEOUT;
  }
  uint32_t result = NORVEX_OK;
  std::string failedFile;
  {
    std::lock_guard<CommandLock> hold(m_commandLock, std::adopt_lock);
    if (waited > m_lockTime) {
      m_log.WriteFormatted("Command lock time! cmd = 0x%04X , addr = 0x%02X , time = %d(%d)", packet.command,
                           packet.address, static_cast<int>(waited), static_cast<int>(m_lockWaitMs));
      RecordFailure(packet, CTP_ERR_SLOW_LOCK);
    }
    // The handle stays open, and stays this device, for the whole exchange.
    // A removal may have closed it since the test above.
    UsbLink::Pin pin(m_usb);
    if (pin.handle() == platform::kInvalidHandle) return RefuseWithoutDevice(packet);
    result = Exchange(packet, pin.handle(), m_txBuffer, m_rxBuffer, m_rxCount, failedFile);
    if (result != NORVEX_OK) {
      m_log.WriteFormatted("Communication Fail! cmd = 0x%04X , addr = 0x%02X , return = 0x%08X",
                           packet.command, packet.address, result);
      RecordFailure(packet, result);
    }
  }
  // Every lock is released: the message box may run the hook.
  if (!failedFile.empty()) m_usb.ShowWriteFailure(failedFile);
  return result;
}

uint32_t CDeviceLink::SendCommand(CommandPacket* packet) {
  if (packet == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  // A reply with data needs somewhere to go: refused before anything is
  // sent, whether an exact length (1 to 500) or any length is expected.
  if ((packet->replyLength & 0xFFFFu) != 0 && packet->replyData == nullptr) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  if (!m_commandLock.try_lock_for(std::chrono::milliseconds(m_lockWaitMs))) return CTP_ERR_LOCK_TIMEOUT;
  uint32_t result = NORVEX_OK;
  std::string failedFile;
  {
    std::lock_guard<CommandLock> hold(m_commandLock, std::adopt_lock);
    // Fresh buffers: a short reply is never checked against an earlier
    // frame's bytes.
    FrameBuffer tx = {};
    FrameBuffer rx = {};
    uint32_t received = 0;
    UsbLink::Pin pin(m_usb);
    result = Exchange(*packet, pin.handle(), tx, rx, received, failedFile);
  }
  if (!failedFile.empty()) m_usb.ShowWriteFailure(failedFile);
  return result;
}

uint32_t CDeviceLink::Exchange(CommandPacket& packet, platform::Handle handle, FrameBuffer& tx,
                               FrameBuffer& rx, uint32_t& received, std::string& failedFile) {
  uint32_t frameLength = 0;
  uint32_t result = BuildRequestFrame(packet, tx, frameLength);
  if (result != NORVEX_OK) return result;
  result = m_usb.ControlWrite(handle, tx, frameLength, failedFile);
  if (result != NORVEX_OK) return result;
  received = kFrameBufferSize;
  result = m_usb.ControlRead(handle, rx, received);
  if (result != NORVEX_OK) return result;
  return CheckReplyFrame(packet, rx, received);
}

uint32_t CDeviceLink::GetStateEx(const void* selector, void* reply, uint32_t replyLength, uint32_t address) {
  if (selector == nullptr || reply == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  CommandPacket packet{};
  packet.requestData = selector;
  packet.requestLength = 4;
  packet.replyData = reply;
  packet.replyLength = replyLength;
  packet.address = static_cast<uint16_t>(address);
  packet.command = CTP_CMD_GET_STATE_EX;
  packet.replyCommand = CTP_CMD_GET_STATE_EX + 1;
  return Transact(packet);
}

uint32_t CDeviceLink::FunctionEx(const void* request, uint32_t address, uint32_t parameterCount) {
  if (request == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  CommandPacket packet{};
  packet.requestData = request;
  packet.requestLength = (parameterCount & 0xFFFFu) + 4;
  packet.address = static_cast<uint16_t>(address);
  packet.command = CTP_CMD_FUNCTION_EX;
  packet.replyCommand = CTP_REPLY_ACK;
  return Transact(packet);
}

void CDeviceLink::RecordFailure(const CommandPacket& packet, uint32_t code) {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(m_failureLock);
    FillFailureRecord(m_failure, packet, code);
    FormatFailureText(m_failure, code, text);
  }
  m_log.WriteLine(text);
}

int CDeviceLink::FormatFailure(uint32_t code, std::string& text) const {
  std::lock_guard<std::mutex> hold(m_failureLock);
  return FormatFailureText(m_failure, code, text);
}

const char* CDeviceLink::ErrorInfo(uint32_t code) {
  try {
    std::string text;
    FormatFailure(code, text);
    std::lock_guard<std::mutex> hold(m_errorTextLock);
    std::unique_ptr<ErrorText>& slot = m_errorTexts[std::this_thread::get_id()];
    if (!slot) slot = std::make_unique<ErrorText>();
    // The longest text is well under the slot's size.
    const size_t length = std::min(text.size(), slot->size() - 1);
    std::memcpy(slot->data(), text.data(), length);
    (*slot)[length] = '\0';
    return slot->data();
  } catch (const std::bad_alloc&) {
    return "";  // no memory for a text of this thread's own
  }
}

}  // namespace norvex
