// tiff_capture.h: CTiffCapture, the capture of print data as a bilevel TIFF
// image in the link modes 2 and 3. The device's print data comes in bands of
// 32 lines, column-interleaved in blocks of 64 bytes; the capture turns each
// band back into 32 image lines (DeinterleaveBand) and writes them, one
// flushed line at a time, after an 8-byte TIFF header. Closing the capture
// writes the image file directory (IFD) and the resolutions after the pixel
// data and points the header at the IFD, so that the file left on disk is a
// complete TIFF.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "printdata/band_deinterleave.h"

namespace norvex {

// One 12-byte IFD entry as TIFF 6.0 lays it out.
struct TiffIfdEntry {
  uint16_t tag = 0;
  uint16_t type = 4;  // 3 SHORT, 4 LONG, 5 RATIONAL
  uint32_t count = 1;
  uint32_t value = 1;  // a SHORT value sits in the first two bytes
};

struct TiffRational {
  uint32_t numerator;
  uint32_t denominator;
};

class CTiffCapture {
 public:
  static constexpr uint32_t kBandLines = kLinesPerBand;
  static constexpr uint32_t kBlockBytes = kBytesPerBlock;
  static constexpr uint32_t kIfdEntries = 16;
  // The IFD: entry count, the entries, the next-IFD offset.
  static constexpr uint32_t kIfdBytes = 2 + kIfdEntries * 12 + 4;
  static constexpr uint32_t kHeaderBytes = 8;
  // The widest line a capture takes: 1048576 pixels (128 KiB a line, 4 MiB a
  // band), far beyond any plate. A wider one would make a band of 4 GiB or
  // more, whose 32-bit byte count wraps (to 0 at 2^30 pixels: an endless
  // loop over a band of no bytes), after trying to allocate gigabytes.
  static constexpr uint32_t kMaxWidthPixels = 1u << 20;

  CTiffCapture();
  // Completes the capture when one is open.
  ~CTiffCapture();

  CTiffCapture(const CTiffCapture&) = delete;
  CTiffCapture& operator=(const CTiffCapture&) = delete;

  // Starts a capture of `widthPixels` pixels a line into the file at `path`,
  // completing a capture that was open. The file is created (emptied when it
  // exists) when the first line is complete, so a capture that never gets a
  // whole band leaves no file. False, with nothing open, when the width is
  // not a positive multiple of 16, is above kMaxWidthPixels, or the buffers
  // cannot be had.
  bool Open(const std::string& path, uint32_t widthPixels);
  // Completes the TIFF (IFD, resolutions, header) and closes the file.
  // Bytes of a band that never became whole are dropped. Nothing when no
  // capture is open.
  void Close();

  // Takes any number of bytes of print data; whole bands become lines, the
  // rest waits for the next call. Nothing when no capture is open.
  void Capture(const void* data, uint32_t byteCount);

  bool IsOpen() const;
  uint32_t Width() const;
  uint32_t LinesWritten() const;
  uint32_t PendingBytes() const;
  // Whether a write to the file failed since Open.
  bool Failed() const;

 private:
  void CaptureLocked(const uint8_t* data, uint32_t byteCount);
  // Writes one line of m_lineBuffer and flushes it.
  void EmitLine(const uint8_t* line);
  void CloseLocked();
  void BuildIfdTemplate();

  mutable std::mutex m_lock;

  // The header and its IFD, in the order of the file's structures.
  uint16_t m_byteOrder = 0x4949;  // "II": little-endian
  uint16_t m_magic = 42;
  uint32_t m_ifdOffset = 0;
  uint32_t m_width = 0;
  TiffRational m_xResolution = {200, 1};
  TiffRational m_yResolution = {200, 1};
  std::ofstream m_stream;
  // The 32 lines of the band being written, line t at t * (m_width / 8): a
  // band is taken apart as a whole (a transposition of its words), then its
  // lines go out one at a time.
  std::unique_ptr<uint8_t[]> m_lineBuffer;
  TiffIfdEntry m_ifd[kIfdEntries];
  std::unique_ptr<uint8_t[]> m_groupBuffer;
  uint32_t m_pending = 0;

  bool m_open = false;
  bool m_failed = false;
  std::string m_path;
  uint32_t m_lines = 0;
};

}  // namespace norvex
