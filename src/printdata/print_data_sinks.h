// print_data_sinks.h: PrintDataSink, where the bulk data of print data goes,
// and the sinks of the link modes: the device, the TIFF capture, the
// print-data file as it is or compressed, nowhere, and a pair of two. A link
// mode names one sink (link_modes.h); the composition root owns one of each
// (PrintDataSinks), and PrintDataPath writes each bulk write to the sink of
// the mode set.
#pragma once

#include <cstdint>
#include <string>

#include "link/usb_link.h"
#include "log/debug_folder.h"
#include "log/driver_log.h"
#include "platform/platform.h"
#include "printdata/print_data_file.h"
#include "printdata/tiff_capture.h"

namespace norvex {

// What a bulk write that a sink started needs for its completion.
struct SinkStart {
  // A write to the device was started, or tried: its completion is the
  // device's. Otherwise the sink took the whole buffer at once.
  bool toDevice = false;
  UsbLink::BulkWrite pending = UsbLink::kNoBulkWrite;
  uint32_t startError = 0;  // why no write to the device could start
  uint32_t bytes = 0;       // what a sink without a device took
};

// Where the bulk data goes while a link mode is set. The mode change enters
// the new mode's sink and leaves the old one's, under the mode lock; bulk
// writes start on any thread meanwhile.
class PrintDataSink {
 public:
  virtual ~PrintDataSink() = default;

  // The mode of this sink is being set, after one with `previous` (which
  // may be this sink): opens what the sink writes to, unless it stays open.
  // Runs before the sink is the mode's, so that it is ready for the first
  // write.
  virtual void Enter(const PrintDataSink& /*previous*/) {}
  // The mode of `next` is set now: closes what this sink wrote to, unless
  // `next` writes to it too.
  virtual void Leave(const PrintDataSink& /*next*/) {}
  // Starts one bulk write of `size` bytes at `data`, which the host keeps
  // until the write is completed.
  virtual SinkStart Start(const void* data, uint32_t size) = 0;

  // Whether the sink writes to `output`: the link, the capture, the
  // print-data file.
  virtual bool WritesTo(const void* output) const = 0;
  // Whether `sink` is this sink, or a part of it.
  virtual bool Includes(const PrintDataSink& sink) const { return &sink == this; }
};

// Where the capture and the print-data files come from: the host's INI file,
// section "PrintData", read when a sink that writes to them is entered.
class PrintDataConfig {
 public:
  static constexpr const char* kSection = "PrintData";
  static constexpr uint32_t kDefaultCaptureWidth = 10800;  // 4.5 in at 2400 dpi
  static constexpr const char* kDefaultCaptureFile = "PrintCapture.tif";
  static constexpr const char* kDefaultDataFile = "PrintData.bin";
  static constexpr const char* kDefaultCompressedFile = "PrintData.cmp";

  PrintDataConfig(platform::HostEnvironment& host, const DebugFolder& debugFolder)
      : m_host(host), m_debugFolder(debugFolder) {}

  // The path that `key` names, or `defaultName` in the debug folder when the
  // key is missing or empty.
  std::string Path(const char* key, const char* defaultName) const;
  // CaptureWidth, as written (the capture checks it).
  int32_t CaptureWidth() const;

 private:
  platform::HostEnvironment& m_host;
  const DebugFolder& m_debugFolder;
};

// The platesetter: an overlapped bulk write on the open link.
class DeviceSink final : public PrintDataSink {
 public:
  explicit DeviceSink(UsbLink& usb) : m_usb(usb) {}
  SinkStart Start(const void* data, uint32_t size) override;
  bool WritesTo(const void* output) const override { return output == &m_usb; }

 private:
  UsbLink& m_usb;
};

// The TIFF capture, of the width and into the file that the INI file names.
// It stays open from one capturing sink to the next.
class CaptureSink final : public PrintDataSink {
 public:
  CaptureSink(CTiffCapture& capture, const PrintDataConfig& config, CDriverLog& log)
      : m_capture(capture), m_config(config), m_log(log) {}
  void Enter(const PrintDataSink& previous) override;
  void Leave(const PrintDataSink& next) override;
  SinkStart Start(const void* data, uint32_t size) override;
  bool WritesTo(const void* output) const override { return output == &m_capture; }

 private:
  // Starts the capture, or leaves it off with a log line saying why.
  void OpenCapture();

  CTiffCapture& m_capture;
  const PrintDataConfig& m_config;
  CDriverLog& m_log;
};

// The print-data file under the INI file's `key`, written by `write` (as it
// is, or compressed). Entering the sink creates its file anew; another file
// sink, which shares the one print-data file, takes it over with a file of
// its own.
class FileSink final : public PrintDataSink {
 public:
  using Write = void (PrintDataFile::*)(const void* data, uint32_t size);
  FileSink(PrintDataFile& file, const PrintDataConfig& config, const char* key, const char* defaultName,
           Write write)
      : m_file(file), m_config(config), m_key(key), m_defaultName(defaultName), m_write(write) {}
  void Enter(const PrintDataSink& previous) override;
  void Leave(const PrintDataSink& next) override;
  SinkStart Start(const void* data, uint32_t size) override;
  bool WritesTo(const void* output) const override { return output == &m_file; }

 private:
  PrintDataFile& m_file;
  const PrintDataConfig& m_config;
  const char* m_key;
  const char* m_defaultName;
  Write m_write;
};

// Nowhere: the data is taken whole and dropped.
class NoSink final : public PrintDataSink {
 public:
  SinkStart Start(const void* data, uint32_t size) override;
  bool WritesTo(const void* /*output*/) const override { return false; }
};

// Two sinks at once: each write goes to `first`, then to `second`, and
// completes as the first's does.
class SinkPair final : public PrintDataSink {
 public:
  SinkPair(PrintDataSink& first, PrintDataSink& second) : m_first(first), m_second(second) {}
  void Enter(const PrintDataSink& previous) override;
  void Leave(const PrintDataSink& next) override;
  SinkStart Start(const void* data, uint32_t size) override;
  bool WritesTo(const void* output) const override;
  bool Includes(const PrintDataSink& sink) const override;

 private:
  PrintDataSink& m_first;
  PrintDataSink& m_second;
};

// One sink of each kind that a link mode names, built and owned by the
// composition root; link_modes.h says which mode writes to which.
struct PrintDataSinks {
  PrintDataSinks(UsbLink& usb, CTiffCapture& tiffCapture, PrintDataFile& printDataFile,
                 platform::HostEnvironment& host, const DebugFolder& debugFolder, CDriverLog& log);
  PrintDataSinks(const PrintDataSinks&) = delete;
  PrintDataSinks& operator=(const PrintDataSinks&) = delete;

  PrintDataConfig config;
  DeviceSink device;
  CaptureSink capture;
  SinkPair deviceAndCapture;
  FileSink dataFile;
  FileSink compressedFile;
  NoSink none;
};

}  // namespace norvex
