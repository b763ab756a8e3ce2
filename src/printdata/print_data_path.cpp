// print_data_path.cpp: PrintDataPath (see print_data_path.h).
#include "printdata/print_data_path.h"

#include <cstdint>

#include "norvex.h"
#include "printdata/link_modes.h"

namespace norvex {

PrintDataPath::PrintDataPath(LinkSettings& settings, UsbLink& usb, CDriverLog& log, PrintDataSinks& sinks)
    : m_settings(settings),
      m_usb(usb),
      m_log(log),
      m_sinks(sinks),
      m_sink(&LinkModeOf(kInitialLinkMode).sink(sinks)) {
  m_settings.commands.store(LinkModeOf(kInitialLinkMode).commands);
}

PrintDataPath::~PrintDataPath() {
  UsbLink::BulkWrite outstanding = UsbLink::kNoBulkWrite;
  {
    std::lock_guard<std::mutex> hold(m_recordLock);
    if (m_record.state == State::kOutstanding) outstanding = m_record.start.pending;
    m_record = Record{};
  }
  // The cancel waits for the driver to let go of the buffer: without the
  // record lock, which is never held across a driver call.
  if (outstanding != UsbLink::kNoBulkWrite) m_usb.CancelBulk(outstanding);
}

void PrintDataPath::SetLinkMode(int32_t number) {
  std::lock_guard<std::mutex> hold(m_modeLock);
  const LinkMode& mode = LinkModeOf(number);
  PrintDataSink& previous = *m_sink.load();
  PrintDataSink& next = mode.sink(m_sinks);
  // What the new sink writes to is ready before the mode is: the next bulk
  // write may start as soon as it is stored.
  next.Enter(previous);
  m_settings.commands.store(mode.commands);
  m_sink.store(&next);
  previous.Leave(next);
}

uint32_t PrintDataPath::StartBulkWrite(const void* data, uint32_t byteCount, bool noWait, uint64_t& ticket) {
  {
    std::lock_guard<std::mutex> hold(m_recordLock);
    // One bulk write at a time, from any thread, waited for or not.
    if (m_record.state != State::kIdle) return kErrorBulkBusy;
    m_record = Record{};
    m_record.state = State::kStarting;
    m_record.noWait = noWait;
    m_record.ticket = ticket = ++m_nextTicket;
  }

  const SinkStart started = m_sink.load()->Start(data, byteCount);

  std::lock_guard<std::mutex> hold(m_recordLock);
  m_record.start = started;
  m_record.state = State::kOutstanding;
  return NORVEX_OK;
}

uint32_t PrintDataPath::GetSentPtrDataResult(uint64_t ticket, uint32_t& transferred) {
  transferred = 0;
  Record record;
  {
    std::lock_guard<std::mutex> hold(m_recordLock);
    const bool mine = ticket != 0 ? m_record.ticket == ticket : m_record.noWait;
    if (m_record.state != State::kOutstanding || !mine) return kErrorNoBulkWrite;
    m_record.state = State::kCompleting;
    record = m_record;
  }

  uint32_t result = NORVEX_OK;
  if (!record.start.toDevice) {
    transferred = record.start.bytes;
  } else if (record.start.pending == UsbLink::kNoBulkWrite) {
    result = record.start.startError;
  } else {
    result = m_usb.CompleteBulk(record.start.pending, transferred);
  }

  std::lock_guard<std::mutex> hold(m_recordLock);
  m_record = Record{};
  return result;
}

uint32_t PrintDataPath::SentPtrData(const void* data, uint32_t& byteCount, bool noWait) {
  // Without data there is nothing to read the bytes from.
  if (data == nullptr && byteCount != 0) return NORVEX_ERR_INVALID_ARGUMENT;
  uint64_t ticket = 0;
  const uint32_t started = StartBulkWrite(data, byteCount, noWait, ticket);
  if (started != NORVEX_OK) {
    if (!noWait) byteCount = 0;
    return started;
  }
  if (noWait) return NORVEX_OK;
  const uint32_t result = GetSentPtrDataResult(ticket, byteCount);
  if (result != NORVEX_OK) m_log.WriteFormatted("FAIL:GetSentPtrDataResult(result is 0x%08X).\n", result);
  return result;
}

uint32_t PrintDataPath::GetSentPtrDataResult2(uint32_t* transferred) {
  // Without the pointer the write stays outstanding for a proper call.
  if (transferred == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  const uint32_t result = GetSentPtrDataResult(0, *transferred);
  if (result != NORVEX_OK) m_log.WriteFormatted("FAIL:GetSentPtrDataResult2(result is 0x%08X).\n", result);
  return result;
}

std::optional<uint32_t> PrintDataPath::WriteSDRAM(const void* data, uint32_t wordCount) {
  if (data == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  // 64-bit: twice a word count above 2^31 must not wrap to a short write.
  const uint64_t byteCount = 2 * static_cast<uint64_t>(wordCount);
  if (byteCount == 0) return std::nullopt;
  // From 2^31 words on, the byte count no longer fits the 32 bits a host's
  // buffer size has: no buffer is that long, so the count is refused before
  // anything is read from the buffer.
  if (byteCount > UINT32_MAX) return NORVEX_ERR_LENGTH_LIMIT;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t sent = 0;
  while (sent < byteCount) {
    const uint32_t piece =
        byteCount - sent < kMaxBulkBytes ? static_cast<uint32_t>(byteCount - sent) : kMaxBulkBytes;
    uint32_t transferred = piece;
    const uint32_t result = SentPtrData(bytes + sent, transferred, false);
    if (result != NORVEX_OK) return result;
    // A piece that moved nothing would be sent again and again.
    if (transferred == 0) return kErrorNoProgress;
    // The next piece starts right after what was taken, never beyond this one.
    sent += transferred < piece ? transferred : piece;
  }
  return NORVEX_OK;
}

uint32_t PrintDataPath::WriteSDRAM2(const void* data, uint32_t* wordCount, bool noWait) {
  if (wordCount == nullptr || data == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  // 64-bit, so that a huge word count is too long rather than wrapped short.
  const uint64_t byteCount = 2 * static_cast<uint64_t>(*wordCount);
  if (byteCount > kMaxBulkBytes) return NORVEX_ERR_LENGTH_LIMIT;
  if (byteCount % 64 != 0) return NORVEX_ERR_INVALID_ARGUMENT;
  uint32_t length = static_cast<uint32_t>(byteCount);
  const uint32_t result = SentPtrData(data, length, noWait);
  if (!noWait) *wordCount = length / 2;
  return result;
}

}  // namespace norvex
