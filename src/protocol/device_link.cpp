// device_link.cpp: CDeviceLink (see device_link.h).
#include "protocol/device_link.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/host_files.h"

namespace norvex {

CDeviceLink::CDeviceLink(CDriverLog& log, platform::HostEnvironment& host, UsbLink& usb,
                         uint32_t lockWaitMs)
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

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

}  // namespace

uint32_t CDeviceLink::Transact(CommandPacket& packet) {
  if (!m_usb.IsOpen()) {
    m_log.WriteLine(Format("Device disconnect! cmd = 0x%04X , addr = 0x%02X", packet.command,
                           packet.address));
    RecordFailure(packet, CTP_ERR_NO_DEVICE);
    return CTP_ERR_NO_DEVICE;
  }

  const uint32_t before = m_host.TickCount();
  const bool locked = m_commandLock.try_lock_for(std::chrono::milliseconds(m_lockWaitMs));
  const uint32_t waited = m_host.TickCount() - before;
  if (!locked) {
    m_log.WriteLine(Format("Device lock Timeout! cmd = 0x%04X , addr = 0x%02X , time = %d(%d)",
                           packet.command, packet.address, static_cast<int>(waited),
                           static_cast<int>(m_lockWaitMs)));
    RecordFailure(packet, CTP_ERR_LOCK_TIMEOUT);
    return CTP_ERR_LOCK_TIMEOUT;
  }
  std::lock_guard<CommandLock> hold(m_commandLock, std::adopt_lock);
  if (waited > m_lockTime) {
    m_log.WriteLine(Format("Command lock time! cmd = 0x%04X , addr = 0x%02X , time = %d(%d)",
                           packet.command, packet.address, static_cast<int>(waited),
                           static_cast<int>(m_lockWaitMs)));
    RecordFailure(packet, CTP_ERR_SLOW_LOCK);
  }

  const uint32_t result = Exchange(packet, m_txBuffer, m_rxBuffer, m_rxCount);
  if (result != NORVEX_OK) {
    m_log.WriteLine(Format("Communication Fail! cmd = 0x%04X , addr = 0x%02X , return = 0x%08X",
                           packet.command, packet.address, result));
    RecordFailure(packet, result);
  }
  return result;
}

uint32_t CDeviceLink::Exchange(CommandPacket& packet, FrameBuffer& tx, FrameBuffer& rx,
                               uint32_t& received) {
  uint32_t frameLength = 0;
  uint32_t result = BuildRequestFrame(packet, tx, frameLength);
  if (result != NORVEX_OK) return result;
  // The handle stays open, and stays this device, for the whole exchange.
  UsbLink::Pin pin(m_usb);
  result = m_usb.ControlWrite(pin.handle(), tx, frameLength);
  if (result != NORVEX_OK) return result;
  received = kFrameBufferSize;
  result = m_usb.ControlRead(pin.handle(), rx, received);
  if (result != NORVEX_OK) return result;
  return CheckReplyFrame(packet, rx, received);
}

uint32_t CDeviceLink::GetStateEx(const void* selector, void* reply, uint32_t replyLength,
                                 uint32_t address) {
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

const char* CDeviceLink::ErrorInfo(uint32_t code) const {
  // A plain array: a thread-local object with a destructor would pin the
  // shared library in memory until the thread ends, so that unloading it
  // would not run its unload. The longest text is well under its size.
  thread_local char errorText[512];
  std::string text;
  FormatFailure(code, text);
  const size_t length = std::min(text.size(), sizeof(errorText) - 1);
  std::memcpy(errorText, text.data(), length);
  errorText[length] = '\0';
  return errorText;
}

}  // namespace norvex
