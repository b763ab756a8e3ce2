// image_io.h: bilevel images for norvexctl: reading TIFF (libtiff), PNG
// (libpng) and PBM, writing a downscaled PNG preview, and the device's print
// band layout: 32 lines a band, column-interleaved in 64-byte blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvexctl {

// One bit a pixel, 1 = black (exposed), leftmost pixel in the most
// significant bit, each line `stride` bytes.
struct Bitmap {
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;
  std::vector<uint8_t> bits;

  void Resize(uint32_t w, uint32_t h);
  bool Black(uint32_t x, uint32_t y) const { return (bits[y * stride + x / 8] >> (7 - x % 8)) & 1; }
  void SetBlack(uint32_t x, uint32_t y) {
    bits[y * stride + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
  }
};

// What a file is, from its first bytes.
enum class FileKind { kTiff, kPng, kPbm, kJpeg, kBmp, kGif, kEmpty, kText, kOther };
// False, with `error` set, when the file cannot be opened.
bool SniffFile(const std::string& path, FileKind& kind, std::string& error);
inline bool IsImage(FileKind kind) {
  return kind == FileKind::kTiff || kind == FileKind::kPng || kind == FileKind::kPbm;
}
// "a JPEG image", "a text file", ...
const char* KindName(FileKind kind);

// The widest line norvexctl takes: the library's capture takes no wider
// (1048576 pixels, 128 KiB a line; 437 inches at 2400 dpi).
inline constexpr uint32_t kMaxLinePixels = 1048576;
// The most print data of one job: its byte count is a 32-bit word of the job
// record and of every bulk count.
inline constexpr uint64_t kMaxPrintBytes = 0xFFFFFFFFu;

// The grey level from which a pixel of a grey or colour image is white:
// darker pixels are black (exposed). Colour counts by its brightness.
inline constexpr uint32_t kThresholdLevel = 128;

// What an image file declares in its header (no pixels decoded).
struct ImageInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t page = 1;   // the page read, 1 for the first
  uint32_t pages = 1;  // the pages of a TIFF file; 1 for others
  // Empty for a bilevel image; for others, what is thresholded at
  // kThresholdLevel: "8-bit grey", "RGB colour", ...
  std::string tone;
};

// The header of an image file, of its page `page` (1 the first): a file of
// several pages needs one named (`page` 0 names none), which must be there.
// False with `error` set; a damaged file is refused with what is wrong
// (every error libtiff reports is a refusal).
bool ReadImageInfo(const std::string& path, FileKind kind, uint32_t page, ImageInfo& info,
                   std::string& error);

// Whether an image of this size can be read and printed here: the line
// width, the print data's size, and the memory reading it takes against the
// machine's memory. False with `error` saying which limit and by how much.
bool CheckImageSize(uint32_t width, uint32_t height, FileKind kind, std::string& error);

// Reads a TIFF, PNG or PBM file (told apart by its first bytes), of its page
// `page` as ReadImageInfo takes it. Colour and grey images are thresholded
// at kThresholdLevel, transparent pixels white. Sizes that CheckImageSize
// refuses are refused before any pixel is read. A file that is damaged or
// ends early is refused, never read as far as it goes. False with `error`
// set.
bool ReadBitmap(const std::string& path, Bitmap& image, std::string& error, uint32_t page = 0);

// Writes a greyscale PNG of the image made smaller by a whole factor, so
// that neither side is above `maxSide` pixels; each preview pixel is the
// share of white in its square.
bool WritePreviewPng(const std::string& path, const Bitmap& image, uint32_t maxSide, std::string& error);

inline constexpr uint32_t kBandLines = 32;
inline constexpr uint32_t kBlockBytes = 64;

// The width of the bands of an image: its width made up to a multiple of 16.
// In 64 bits: a width or height near 2^32 makes up to 2^32, which 32 bits
// would wrap to 0 (and a size check to a pass).
inline uint64_t BandWidth(uint32_t width) { return (uint64_t{width} + 15) / 16 * 16; }
// The lines of the bands: the height made up to a multiple of 32.
inline uint64_t BandHeight(uint32_t height) {
  return (uint64_t{height} + kBandLines - 1) / kBandLines * kBandLines;
}
// The bytes of print data an image makes: BandWidth / 8 a line, BandHeight
// lines.
inline uint64_t PrintBytes(uint32_t width, uint32_t height) {
  return BandWidth(width) / 8 * BandHeight(height);
}

// The image as print bands (white where the bands go beyond the image):
// word t of block b of a band holds pixels 16b..16b+15 of the band's line t,
// the leftmost pixel in bit 15, stored little-endian.
std::vector<uint8_t> ToBands(const Bitmap& image);
// The bands back to an image of `width` (a multiple of 16) pixels; a band
// cut short at the end is left out.
Bitmap FromBands(const uint8_t* data, size_t size, uint32_t width);

}  // namespace norvexctl
