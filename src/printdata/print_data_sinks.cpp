// print_data_sinks.cpp: the sinks of the link modes (see print_data_sinks.h).
#include "printdata/print_data_sinks.h"

#include "log/host_files.h"

namespace norvex {
namespace {

// The longest path read from the INI file, as a Windows path buffer.
constexpr size_t kMaxPath = 260;

// A sink without a device takes the whole buffer at once: its completion
// reports it all as transferred.
SinkStart TakenWhole(uint32_t size) {
  SinkStart start;
  start.bytes = size;
  return start;
}

}  // namespace

std::string PrintDataConfig::Path(const char* key, const char* defaultName) const {
  std::string path = m_host.ReadIniString(IniFilePath(m_host), kSection, key, "", kMaxPath);
  return path.empty() ? m_debugFolder.PathOf(defaultName) : path;
}

int32_t PrintDataConfig::CaptureWidth() const {
  return m_host.ReadIniInt(IniFilePath(m_host), kSection, "CaptureWidth",
                           static_cast<int32_t>(kDefaultCaptureWidth));
}

SinkStart DeviceSink::Start(const void* data, uint32_t size) {
  SinkStart start;
  start.toDevice = true;
  // A write that could not start is found out by the completion.
  start.pending = m_usb.StartBulk(data, size, start.startError);
  return start;
}

void CaptureSink::Enter(const PrintDataSink& previous) {
  if (!previous.WritesTo(&m_capture)) OpenCapture();
}

void CaptureSink::Leave(const PrintDataSink& next) {
  if (!next.WritesTo(&m_capture)) m_capture.Close();
}

SinkStart CaptureSink::Start(const void* data, uint32_t size) {
  m_capture.Capture(data, size);
  return TakenWhole(size);
}

void CaptureSink::OpenCapture() {
  const int32_t width = m_config.CaptureWidth();
  // A width the capture cannot take would make no band progress (0, not a
  // multiple of 16) or a band whose size wraps (above the limit): the capture
  // stays off, the bulk writes go on, and the log says why.
  if (width <= 0 || width % 16 != 0 || static_cast<uint32_t>(width) > CTiffCapture::kMaxWidthPixels) {
    m_log.WriteFormatted("TIFF capture off: CaptureWidth %d is not a positive multiple of 16 up to %u.\n",
                         width, CTiffCapture::kMaxWidthPixels);
    return;
  }
  if (!m_capture.Open(m_config.Path("CaptureFile", PrintDataConfig::kDefaultCaptureFile),
                      static_cast<uint32_t>(width))) {
    m_log.WriteFormatted("TIFF capture off: no memory for lines of %d pixels.\n", width);
  }
}

void FileSink::Enter(const PrintDataSink& previous) {
  // Opening closes the file that another file sink had open.
  if (!previous.Includes(*this)) m_file.Open(m_config.Path(m_key, m_defaultName));
}

void FileSink::Leave(const PrintDataSink& next) {
  if (!next.WritesTo(&m_file)) m_file.Close();
}

SinkStart FileSink::Start(const void* data, uint32_t size) {
  (m_file.*m_write)(data, size);
  return TakenWhole(size);
}

SinkStart NoSink::Start(const void* /*data*/, uint32_t size) { return TakenWhole(size); }

void SinkPair::Enter(const PrintDataSink& previous) {
  m_first.Enter(previous);
  m_second.Enter(previous);
}

void SinkPair::Leave(const PrintDataSink& next) {
  m_first.Leave(next);
  m_second.Leave(next);
}

SinkStart SinkPair::Start(const void* data, uint32_t size) {
  const SinkStart start = m_first.Start(data, size);
  m_second.Start(data, size);
  return start;
}

bool SinkPair::WritesTo(const void* output) const {
  return m_first.WritesTo(output) || m_second.WritesTo(output);
}

bool SinkPair::Includes(const PrintDataSink& sink) const {
  return &sink == this || m_first.Includes(sink) || m_second.Includes(sink);
}

PrintDataSinks::PrintDataSinks(UsbLink& usb, CTiffCapture& tiffCapture, PrintDataFile& printDataFile,
                               platform::HostEnvironment& host, const DebugFolder& debugFolder,
                               CDriverLog& log)
    : config(host, debugFolder),
      device(usb),
      capture(tiffCapture, config, log),
      deviceAndCapture(device, capture),
      dataFile(printDataFile, config, "PrintDataFile", PrintDataConfig::kDefaultDataFile,
               &PrintDataFile::Write),
      compressedFile(printDataFile, config, "CompressedFile", PrintDataConfig::kDefaultCompressedFile,
                     &PrintDataFile::WriteCompressed) {}

}  // namespace norvex
