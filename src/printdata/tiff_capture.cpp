// tiff_capture.cpp: CTiffCapture (see tiff_capture.h).
#include "printdata/tiff_capture.h"

#include <cstring>
#include <new>

namespace norvex {
namespace {

enum TiffType : uint16_t { kShort = 3, kLong = 4, kRational = 5 };

// Places of the entries that the capture fills in when it closes.
constexpr size_t kImageWidthEntry = 1;
constexpr size_t kImageLengthEntry = 2;
constexpr size_t kRowsPerStripEntry = 10;
constexpr size_t kStripByteCountsEntry = 11;
constexpr size_t kXResolutionEntry = 12;
constexpr size_t kYResolutionEntry = 13;

void Put16(uint8_t*& out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out += 2;
}

void Put32(uint8_t*& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) *out++ = static_cast<uint8_t>(value >> shift);
}

}  // namespace

CTiffCapture::CTiffCapture() { BuildIfdTemplate(); }

CTiffCapture::~CTiffCapture() {
  std::lock_guard<std::mutex> hold(m_lock);
  CloseLocked();
}

void CTiffCapture::BuildIfdTemplate() {
  // Tag, type, value; count 1 everywhere. The entries marked "filled in"
  // get their values when the capture closes.
  const struct {
    uint16_t tag;
    uint16_t type;
    uint32_t value;
  } entries[kIfdEntries] = {
      {254, kLong, 0},      // NewSubfileType
      {256, kLong, 1},      // ImageWidth: filled in
      {257, kLong, 1},      // ImageLength: filled in
      {258, kShort, 1},     // BitsPerSample
      {259, kShort, 1},     // Compression: none
      {262, kShort, 0},     // PhotometricInterpretation: WhiteIsZero, a 1 bit is black
      {266, kShort, 1},     // FillOrder: leftmost pixel in the most significant bit
      {273, kLong, 8},      // StripOffsets: the pixels follow the header
      {274, kShort, 1},     // Orientation
      {277, kShort, 1},     // SamplesPerPixel
      {278, kLong, 1},      // RowsPerStrip: filled in
      {279, kLong, 1},      // StripByteCounts: filled in
      {282, kRational, 1},  // XResolution: filled in with the offset of 200/1
      {283, kRational, 1},  // YResolution: filled in with the offset of 200/1
      {296, kShort, 1},     // ResolutionUnit: none
      {32934, kLong, 0},    // private tag
  };
  for (size_t i = 0; i < kIfdEntries; ++i) {
    m_ifd[i].tag = entries[i].tag;
    m_ifd[i].type = entries[i].type;
    m_ifd[i].count = 1;
    m_ifd[i].value = entries[i].value;
  }
}

bool CTiffCapture::Open(const std::string& path, uint32_t widthPixels) {
  std::lock_guard<std::mutex> hold(m_lock);
  CloseLocked();
  // The band's blocks are 16 pixels wide, so a line is a whole number of
  // 16-bit words; a width of 0 would make a band of 0 bytes.
  if (widthPixels == 0 || widthPixels % 16 != 0) return false;
  // A band's byte count must fit in 32 bits (see kMaxWidthPixels).
  if (widthPixels > kMaxWidthPixels) return false;
  const size_t lineBytes = widthPixels / 8;
  m_lineBuffer.reset(new (std::nothrow) uint8_t[lineBytes * kBandLines]);
  m_groupBuffer.reset(new (std::nothrow) uint8_t[lineBytes * kBandLines]);
  if (!m_lineBuffer || !m_groupBuffer) {
    m_lineBuffer.reset();
    m_groupBuffer.reset();
    return false;
  }
  m_width = widthPixels;
  m_path = path;
  m_pending = 0;
  m_lines = 0;
  m_ifdOffset = 0;
  m_failed = false;
  m_open = true;
  return true;
}

void CTiffCapture::Close() {
  std::lock_guard<std::mutex> hold(m_lock);
  CloseLocked();
}

void CTiffCapture::CloseLocked() {
  if (!m_open) return;
  m_open = false;
  if (m_stream.is_open()) {
    const uint32_t lineBytes = m_width / 8;
    // The IFD follows the pixel data (an even offset, as lines have an even
    // byte count), the two resolutions follow the IFD.
    m_ifdOffset = kHeaderBytes + m_lines * lineBytes;
    const uint32_t resolutions = m_ifdOffset + kIfdBytes;
    m_ifd[kImageWidthEntry].value = m_width;
    m_ifd[kImageLengthEntry].value = m_lines;
    m_ifd[kRowsPerStripEntry].value = m_lines;
    m_ifd[kStripByteCountsEntry].value = m_lines * lineBytes;
    m_ifd[kXResolutionEntry].value = resolutions;
    m_ifd[kYResolutionEntry].value = resolutions + 8;

    uint8_t tail[kIfdBytes + 16];
    uint8_t* out = tail;
    Put16(out, static_cast<uint16_t>(kIfdEntries));
    for (const TiffIfdEntry& entry : m_ifd) {
      Put16(out, entry.tag);
      Put16(out, entry.type);
      Put32(out, entry.count);
      if (entry.type == kShort) {
        Put16(out, static_cast<uint16_t>(entry.value));
        Put16(out, 0);
      } else {
        Put32(out, entry.value);
      }
    }
    Put32(out, 0);  // no next IFD
    Put32(out, m_xResolution.numerator);
    Put32(out, m_xResolution.denominator);
    Put32(out, m_yResolution.numerator);
    Put32(out, m_yResolution.denominator);
    m_stream.write(reinterpret_cast<const char*>(tail), static_cast<std::streamsize>(sizeof(tail)));

    uint8_t offset[4];
    out = offset;
    Put32(out, m_ifdOffset);
    m_stream.seekp(4);
    m_stream.write(reinterpret_cast<const char*>(offset), sizeof(offset));
    m_stream.close();
    if (m_stream.fail()) m_failed = true;
    m_stream.clear();
  }
  m_lineBuffer.reset();
  m_groupBuffer.reset();
  m_pending = 0;
}

void CTiffCapture::Capture(const void* data, uint32_t byteCount) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_open || byteCount == 0) return;
  CaptureLocked(static_cast<const uint8_t*>(data), byteCount);
}

void CTiffCapture::CaptureLocked(const uint8_t* data, uint32_t byteCount) {
  const uint32_t lineBytes = m_width / 8;
  const uint32_t bandBytes = kBandLines * lineBytes;
  // 64-bit: pending plus a count near 4 GiB must not wrap.
  uint64_t total = static_cast<uint64_t>(m_pending) + byteCount;
  while (total >= bandBytes) {
    const uint32_t take = bandBytes - m_pending;
    std::memcpy(m_groupBuffer.get() + m_pending, data, take);
    data += take;
    // Word t of block b holds columns 16b..16b+15 of line t, low byte
    // first; the line holds it high byte first.
    DeinterleaveBand(m_groupBuffer.get(), m_lineBuffer.get(), lineBytes);
    for (uint32_t t = 0; t < kBandLines; ++t) {
      EmitLine(m_lineBuffer.get() + static_cast<size_t>(t) * lineBytes);
    }
    total -= bandBytes;
    m_pending = 0;
  }
  const auto rest = static_cast<uint32_t>(total - m_pending);
  if (rest > 0) std::memcpy(m_groupBuffer.get() + m_pending, data, rest);
  m_pending = static_cast<uint32_t>(total);
}

void CTiffCapture::EmitLine(const uint8_t* line) {
  if (!m_stream.is_open() && !m_failed) {
    m_stream.open(m_path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!m_stream.is_open()) {
      m_failed = true;
      m_stream.clear();
      return;
    }
    // The header, pointing at no IFD until the capture closes.
    uint8_t header[kHeaderBytes];
    uint8_t* out = header;
    Put16(out, m_byteOrder);
    Put16(out, m_magic);
    Put32(out, 0);
    m_stream.write(reinterpret_cast<const char*>(header), sizeof(header));
  }
  if (!m_stream.is_open()) return;
  const uint64_t lineBytes = m_width / 8;
  // TIFF offsets are 32-bit: a line that would push the IFD or the
  // resolutions beyond 4 GiB is dropped.
  if (kHeaderBytes + (m_lines + uint64_t{1}) * lineBytes + kIfdBytes + 16 > 0xFFFFFFFFu) {
    m_failed = true;
    return;
  }
  m_stream.write(reinterpret_cast<const char*>(line), static_cast<std::streamsize>(lineBytes));
  m_stream.flush();
  if (m_stream.fail()) {
    // The next line goes where this one should have gone, so that the
    // pixel data stays whole lines and the IFD's offsets stay right.
    m_failed = true;
    m_stream.clear();
    m_stream.seekp(static_cast<std::streamoff>(kHeaderBytes + m_lines * lineBytes));
    return;
  }
  ++m_lines;
}

bool CTiffCapture::IsOpen() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_open;
}

uint32_t CTiffCapture::Width() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_width;
}

uint32_t CTiffCapture::LinesWritten() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_lines;
}

uint32_t CTiffCapture::PendingBytes() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_pending;
}

bool CTiffCapture::Failed() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_failed;
}

}  // namespace norvex
