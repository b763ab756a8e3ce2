// print_data_path.h: PrintDataPath, the bulk path of print data: one bulk
// write at a time, sent to the print-data sink of the link mode (the device
// through the link's bulk writes, the TIFF capture, the print-data file,
// compressed or not), and completed either inside the call or by a later
// call of the host. It keeps the record of the write and sets the link mode:
// its command route and its sink, chosen once from the table of link modes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "link/usb_link.h"
#include "log/driver_log.h"
#include "platform/platform.h"
#include "printdata/print_data_sinks.h"

namespace norvex {

// One piece of Norvex_WriteSDRAM and the limit of Norvex_WriteSDRAM2.
// NV_SentPrintData passes any length to the driver as one write.
inline constexpr uint32_t kMaxBulkBytes = 0x200000;

// A start while another bulk write is outstanding (ERROR_BUSY): the second
// write is refused and the first one is left alone.
inline constexpr uint32_t kErrorBulkBusy = 170;
// A completion with no bulk write of its kind outstanding: the record holds
// no write, as on Windows its event would be no valid handle.
inline constexpr uint32_t kErrorNoBulkWrite = platform::kErrorInvalidHandle;
// A waited piece of Norvex_WriteSDRAM that completed well but moved no byte
// (ERROR_WRITE_FAULT): going on would repeat it for ever.
inline constexpr uint32_t kErrorNoProgress = 29;

class PrintDataPath {
 public:
  // Starts in the initial link mode (link_modes.h), with its route stored
  // in `settings`. The sinks are the composition root's.
  PrintDataPath(LinkSettings& settings, UsbLink& usb, CDriverLog& log, PrintDataSinks& sinks);
  // Completes (cancels) a bulk write still outstanding, so that the driver
  // no longer reads the host's buffer.
  ~PrintDataPath();

  PrintDataPath(const PrintDataPath&) = delete;
  PrintDataPath& operator=(const PrintDataPath&) = delete;

  // Norvex_SetPrintDataSaveIdle: sets the link mode `number` of the table
  // of link modes (any other number: no device, no data kept). The new
  // mode's sink is entered before the mode is stored and the old one's is
  // left after it: entering a capturing mode from one that does not capture
  // starts a new TIFF capture, leaving the capture completes it; entering a
  // file mode creates that mode's print-data file, leaving the file modes
  // closes it.
  void SetLinkMode(int32_t number);

  // The exports' operations take the host's arguments as they come and
  // check them before anything is started: a null pointer where one is
  // needed gives NORVEX_ERR_INVALID_ARGUMENT.

  // NV_SentPrintData: one bulk write of `byteCount` bytes (null `data`
  // only with 0 bytes); with `noWait` 0 it is completed here and
  // `byteCount` becomes the bytes transferred (a failed completion writes
  // its log line), otherwise it stays outstanding for
  // GetSentPtrDataResult2. Returns 0, kErrorBulkBusy, or the completion's
  // result.
  uint32_t SentPtrData(const void* data, uint32_t& byteCount, bool noWait);
  // Norvex_GetWriteSDRAM2Result: completes the write left outstanding by
  // SentPtrData with `noWait`, storing the bytes moved in `*transferred`; a
  // failure writes its log line. kErrorNoBulkWrite when there is none; a
  // null `transferred` leaves the write outstanding.
  uint32_t GetSentPtrDataResult2(uint32_t* transferred);
  // Norvex_WriteSDRAM: `wordCount` words from `data`, in pieces of
  // kMaxBulkBytes, each waited for. No result for 0 words: nothing is sent,
  // and the caller's last result stands.
  std::optional<uint32_t> WriteSDRAM(const void* data, uint32_t wordCount);
  // Norvex_WriteSDRAM2: `*wordCount` words (a multiple of 32, at most
  // kMaxBulkBytes) as one write; when waited for, `*wordCount` becomes the
  // words transferred.
  uint32_t WriteSDRAM2(const void* data, uint32_t* wordCount, bool noWait);

 private:
  enum class State { kIdle, kStarting, kOutstanding, kCompleting };
  struct Record {
    State state = State::kIdle;
    uint64_t ticket = 0;
    bool noWait = false;
    SinkStart start;  // what the sink's write needs for its completion
  };

  // Claims the record and starts the write on the sink of the link mode.
  uint32_t StartBulkWrite(const void* data, uint32_t byteCount, bool noWait, uint64_t& ticket);
  // Completes the write of `ticket` (0: the one left for the host).
  uint32_t GetSentPtrDataResult(uint64_t ticket, uint32_t& transferred);

  LinkSettings& m_settings;
  UsbLink& m_usb;
  CDriverLog& m_log;
  PrintDataSinks& m_sinks;

  std::mutex m_modeLock;  // one mode change at a time
  // The sink of the mode set; changed under m_modeLock, read by every start.
  std::atomic<PrintDataSink*> m_sink;

  std::mutex m_recordLock;  // guards m_record and m_nextTicket
  Record m_record;
  uint64_t m_nextTicket = 0;
};

}  // namespace norvex
