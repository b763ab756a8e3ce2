// print_data_path.h: PrintDataPath, the bulk path of print data: one bulk
// write at a time, sent where the link mode says (the device through the
// link's bulk writes, the TIFF capture, the print-data file, compressed or
// not), and completed either inside the call or by a later call of the host.
// It keeps the record of the write and switches the capture and the
// print-data file when the link mode changes.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "link/usb_link.h"
#include "log/debug_folder.h"
#include "log/driver_log.h"
#include "platform/platform.h"
#include "printdata/print_data_file.h"
#include "printdata/tiff_capture.h"

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

// Where the capture and the print-data file come from: the host's INI file,
// section "PrintData", read when a link mode that uses them is entered.
struct PrintDataConfig {
  static constexpr const char* kSection = "PrintData";
  static constexpr uint32_t kDefaultCaptureWidth = 10800;  // 4.5 in at 2400 dpi
  static constexpr const char* kDefaultCaptureFile = "PrintCapture.tif";
  static constexpr const char* kDefaultDataFile = "PrintData.bin";
  static constexpr const char* kDefaultCompressedFile = "PrintData.cmp";
};

class PrintDataPath {
 public:
  PrintDataPath(platform::HostEnvironment& host, LinkSettings& settings, UsbLink& usb, CDriverLog& log,
                const DebugFolder& debugFolder, PrintDataFile& file, CTiffCapture& capture);
  // Completes (cancels) a bulk write still outstanding, so that the driver
  // no longer reads the host's buffer.
  ~PrintDataPath();

  PrintDataPath(const PrintDataPath&) = delete;
  PrintDataPath& operator=(const PrintDataPath&) = delete;

  // Norvex_SetPrintDataSaveIdle: stores the link mode. Entering mode 2 or 3
  // from another mode starts a new TIFF capture, leaving them completes it;
  // entering 4 or 12 creates that mode's print-data file, leaving it closes
  // the file.
  void SetLinkMode(int32_t mode);

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
  // Starts the TIFF capture with the INI file's width and file, or leaves it
  // off with a log line saying why.
  void OpenCapture();

  enum class State { kIdle, kStarting, kOutstanding, kCompleting };
  struct Record {
    State state = State::kIdle;
    uint64_t ticket = 0;
    bool noWait = false;
    bool overlapped = false;  // an overlapped write to the device was started
    UsbLink::BulkWrite pending = UsbLink::kNoBulkWrite;
    uint32_t startError = 0;  // why no overlapped write could start
    uint32_t bytes = 0;       // what the modes without a device took
  };

  // Claims the record and starts the write according to the link mode.
  uint32_t StartBulkWrite(const void* data, uint32_t byteCount, bool noWait, uint64_t& ticket);
  // Completes the write of `ticket` (0: the one left for the host).
  uint32_t GetSentPtrDataResult(uint64_t ticket, uint32_t& transferred);

  std::string ConfiguredPath(const char* key, const char* defaultName);

  platform::HostEnvironment& m_host;
  LinkSettings& m_settings;
  UsbLink& m_usb;
  CDriverLog& m_log;
  const DebugFolder& m_debugFolder;
  PrintDataFile& m_file;
  CTiffCapture& m_capture;

  std::mutex m_modeLock;  // one mode change at a time

  std::mutex m_recordLock;  // guards m_record and m_nextTicket
  Record m_record;
  uint64_t m_nextTicket = 0;
};

}  // namespace norvex
