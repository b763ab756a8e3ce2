// tiff_capture_fuzz.cpp: the TIFF capture with any width and any split of
// the print data into calls. The file it leaves must be the whole bands of
// the input turned into lines, then the IFD that describes them.
//
// Input: 4 bytes of width (bit 31 set: the other bits are the width as
// given, any value; clear: a small width, 16 * (1 + value % 64)), 4 bytes
// that seed the sizes of the pieces, then the print data.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "printdata/tiff_capture.h"

namespace {

uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

const std::string& CapturePath() {
  static const std::string path = "/tmp/norvex-fuzz-capture-" + std::to_string(::getpid()) + ".tif";
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using norvex::CTiffCapture;
  if (size < 8 || size > (1u << 20)) return 0;
  const uint32_t rawWidth = Load32(data);
  const uint32_t width = (rawWidth & 0x80000000u) != 0 ? rawWidth & 0x7FFFFFFFu : 16 * (1 + rawWidth % 64);
  uint32_t seed = Load32(data + 4) | 1u;
  const uint8_t* pixels = data + 8;
  const auto total = static_cast<uint32_t>(size - 8);

  std::remove(CapturePath().c_str());
  CTiffCapture capture;
  const bool valid = width != 0 && width % 16 == 0 && width <= CTiffCapture::kMaxWidthPixels;
  Check(capture.Open(CapturePath(), width) == valid);
  Check(capture.IsOpen() == valid);
  if (!valid) {
    capture.Capture(pixels, total);  // nothing open: taken as nothing
    capture.Close();
    Check(ReadAll(CapturePath()).empty());
    return 0;
  }

  const uint32_t lineBytes = width / 8;
  const uint32_t bandBytes = CTiffCapture::kBandLines * lineBytes;
  // Pieces of 0 to two bands, from a small generator, cover every split point.
  uint32_t offset = 0;
  while (offset < total) {
    seed = seed * 1103515245u + 12345u;
    uint32_t piece = (seed >> 8) % (2 * bandBytes + 1);
    if (piece > total - offset) piece = total - offset;
    capture.Capture(pixels + offset, piece);
    offset += piece;
    Check(capture.PendingBytes() == offset % bandBytes);
    Check(capture.LinesWritten() == offset / bandBytes * CTiffCapture::kBandLines);
  }
  const uint32_t bands = total / bandBytes;
  const uint32_t lines = bands * CTiffCapture::kBandLines;
  capture.Close();
  Check(!capture.IsOpen());
  Check(!capture.Failed());

  const std::string file = ReadAll(CapturePath());
  if (lines == 0) {
    Check(file.empty());  // no whole band: no file
    return 0;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  const uint32_t ifd = CTiffCapture::kHeaderBytes + lines * lineBytes;
  Check(file.size() == ifd + CTiffCapture::kIfdBytes + 16);
  Check(bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0);
  Check(Load32(bytes + 4) == ifd);
  Check((bytes[ifd] | (bytes[ifd + 1] << 8)) == CTiffCapture::kIfdEntries);
  // ImageWidth and ImageLength are entries 1 and 2.
  Check(Load32(bytes + ifd + 2 + 12 * 1 + 8) == width);
  Check(Load32(bytes + ifd + 2 + 12 * 2 + 8) == lines);
  // Every pixel: word t of block b of a band is columns 16b..16b+15 of its
  // line t, low byte first in the data, high byte first in the line.
  for (uint32_t band = 0; band < bands; ++band) {
    const uint8_t* in = pixels + static_cast<size_t>(band) * bandBytes;
    for (uint32_t t = 0; t < CTiffCapture::kBandLines; ++t) {
      const uint8_t* line = bytes + CTiffCapture::kHeaderBytes +
                            (static_cast<size_t>(band) * CTiffCapture::kBandLines + t) * lineBytes;
      for (uint32_t b = 0; b < lineBytes / 2; ++b) {
        const uint8_t* word = in + 64 * static_cast<size_t>(b) + 2 * t;
        Check(line[2 * b] == word[1] && line[2 * b + 1] == word[0]);
      }
    }
  }
  return 0;
}
