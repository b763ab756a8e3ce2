// device_link.cpp: CDeviceLink (see device_link.h).
#include "protocol/device_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "log/host_files.h"

namespace norvex {

CDeviceLink::CDeviceLink(CDriverLog& log, platform::HostEnvironment& host, UsbLink& usb, uint32_t lockWaitMs)
    : m_log(log),
      m_host(host),
      m_usb(usb),
      m_lockWaitMs(lockWaitMs),
      m_errorTexts(std::make_shared<ErrorTextSlots>()),
      m_threadEnds(platform::WatchThreadEnds()) {
  const std::string ini = IniFilePath(m_host);
  const int32_t configured = m_host.ReadIniInt(ini, kIniSection, "LockTime", -1);
  if (configured == -1) {
    m_lockTime = kDefaultLockTimeMs;
    m_host.WriteIniString(ini, kIniSection, "LockTime", std::to_string(kDefaultLockTimeMs));
  } else {
    m_lockTime = static_cast<uint32_t>(configured);
  }
}

CDeviceLink::~CDeviceLink() {
  // The calling thread's slot goes with the link. The holdings of threads
  // that still run keep the texts alive until they end (or for good, where
  // the system no longer tells their ends).
  if (m_threadEnds) {
    if (platform::ThreadHolding* holding = m_threadEnds->Holding()) {
      m_threadEnds->Hold(nullptr);
      holding->ThreadEnded();
    }
  }
}

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

// The slots of CTP_GetErrorInfo's texts. A slot taken by a thread is its
// own until the thread ends; it then goes to the back of the free slots, its
// text still readable until the slots freed before it are taken again.
class ErrorTextSlots {
 public:
  static constexpr size_t kTextSize = 512;

  // The free slot that was freed longest ago, or a new one.
  size_t Take() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_free.empty()) {
      const size_t slot = m_free.front();
      m_free.pop_front();
      return slot;
    }
    m_slots.push_back(std::make_unique<Text>());
    return m_slots.size() - 1;
  }
  void Release(size_t slot) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_free.push_back(slot);
  }
  // A slot's text; it stays where it is as long as the slots do.
  char* TextOf(size_t slot) {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_slots[slot]->data();
  }
  // Slots by thread id, where the system does not tell threads' ends: kept
  // as long as the link.
  size_t SlotOfThread(std::thread::id thread) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      const auto it = m_byThread.find(thread);
      if (it != m_byThread.end()) return it->second;
    }
    const size_t slot = Take();
    std::lock_guard<std::mutex> hold(m_lock);
    m_byThread.emplace(thread, slot);
    return slot;
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_slots.size();
  }

 private:
  using Text = std::array<char, kTextSize>;
  std::mutex m_lock;
  std::vector<std::unique_ptr<Text>> m_slots;
  std::deque<size_t> m_free;
  std::map<std::thread::id, size_t> m_byThread;
};

namespace {

// A thread's slot among the error texts, given back when the thread ends.
// It keeps the texts alive: a thread may end after the link has gone.
class ErrorTextHolding final : public platform::ThreadHolding {
 public:
  ErrorTextHolding(std::shared_ptr<ErrorTextSlots> slots, size_t slot)
      : m_slots(std::move(slots)), m_slot(slot), m_text(m_slots->TextOf(slot)) {}
  void ThreadEnded() override {
    m_slots->Release(m_slot);
    delete this;
  }
  char* Text() const { return m_text; }

 private:
  std::shared_ptr<ErrorTextSlots> m_slots;
  size_t m_slot;
  char* m_text;
};

}  // namespace

char* CDeviceLink::ThreadErrorText() {
  if (!m_threadEnds) return m_errorTexts->TextOf(m_errorTexts->SlotOfThread(std::this_thread::get_id()));
  auto* holding = static_cast<ErrorTextHolding*>(m_threadEnds->Holding());
  if (holding == nullptr) {
    holding = new ErrorTextHolding(m_errorTexts, m_errorTexts->Take());
    if (!m_threadEnds->Hold(holding)) {
      char* text = holding->Text();
      holding->ThreadEnded();  // the slot is free again; the text is this call's
      return text;
    }
  }
  return holding->Text();
}

const char* CDeviceLink::ErrorInfo(uint32_t code) {
  try {
    std::string text;
    FormatFailure(code, text);
    char* slot = ThreadErrorText();
    // The longest text is well under the slot's size.
    const size_t length = std::min(text.size(), ErrorTextSlots::kTextSize - 1);
    std::memcpy(slot, text.data(), length);
    slot[length] = '\0';
    return slot;
  } catch (const std::bad_alloc&) {
    return "";  // no memory for a text of this thread's own
  }
}

size_t CDeviceLink::ErrorTextSlotsForTests() const { return m_errorTexts->Count(); }

}  // namespace norvex
