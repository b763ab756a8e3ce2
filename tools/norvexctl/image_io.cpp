// image_io.cpp: bilevel image reading and writing, print bands (see image_io.h).
#include "image_io.h"

#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "output.h"

namespace norvexctl {
namespace {

// libtiff reports through handlers of the whole process; the tool reads one
// file at a time, on one thread. The first error of the file open now is
// kept: any error makes its read fail (libtiff's readers go on after many).
struct TiffErrors {
  std::string path;
  std::string first;
};
TiffErrors& Errors() {
  static TiffErrors errors;
  return errors;
}

void KeepFirstTiffError(const char* module, const char* format, va_list args) {
  TiffErrors& errors = Errors();
  if (!errors.first.empty()) return;
  char text[512];
  std::vsnprintf(text, sizeof(text), format, args);
  // The module is often the file's own name, which the refusal names anyway.
  const bool named = module != nullptr && *module != '\0' && errors.path != module;
  errors.first = named ? std::string(module) + ": " + text : std::string(text);
}
void IgnoreTiffWarning(const char*, const char*, va_list) {}

// An open TIFF file whose errors are kept.
class TiffFile {
 public:
  explicit TiffFile(const std::string& path) {
    Errors() = TiffErrors{path, {}};
    TIFFSetErrorHandler(KeepFirstTiffError);
    TIFFSetWarningHandler(IgnoreTiffWarning);
    m_tiff = TIFFOpen(path.c_str(), "r");
  }
  ~TiffFile() {
    if (m_tiff != nullptr) TIFFClose(m_tiff);
  }
  TiffFile(const TiffFile&) = delete;
  TiffFile& operator=(const TiffFile&) = delete;
  TIFF* get() const { return m_tiff; }
  // True, with `error` saying what libtiff found, when it reported an error.
  bool Damaged(std::string& error) const {
    if (Errors().first.empty()) return false;
    error = "damaged TIFF: " + Errors().first;
    return true;
  }
  // The refusal of a file that libtiff cannot open.
  std::string Unreadable() const {
    return "not a readable TIFF file" + (Errors().first.empty() ? std::string() : ": " + Errors().first);
  }

 private:
  TIFF* m_tiff = nullptr;
};

bool IsBilevel(uint16_t bits, uint16_t samples, uint16_t photometric) {
  return bits == 1 && samples == 1 &&
         (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
}

// Makes page `page` (ReadImageInfo's rule) the current one and reads its
// header into `info`; `bits`, `samples` and `photometric` for the reader.
bool ReadTiffPage(const TiffFile& file, uint32_t page, ImageInfo& info, uint16_t& bits, uint16_t& samples,
                  uint16_t& photometric, std::string& error) {
  TIFF* tiff = file.get();
  const auto pages = static_cast<uint32_t>(TIFFNumberOfDirectories(tiff));
  if (file.Damaged(error)) return false;
  if (pages > 1 && page == 0) {
    error = Printf("a TIFF of %u pages: name the page to print with --page N (1 to %u)", pages, pages);
    return false;
  }
  info.pages = pages;
  info.page = page == 0 ? 1 : page;
  if (info.page > pages) {
    error = Printf("no page %u: the TIFF holds %u page%s", info.page, pages, pages == 1 ? "" : "s");
    return false;
  }
  const bool set = TIFFSetDirectory(tiff, static_cast<tdir_t>(info.page - 1)) != 0;
  if (file.Damaged(error) || !set) {
    if (error.empty()) error = Printf("page %u of the TIFF cannot be read", info.page);
    return false;
  }
  bits = 1;
  samples = 1;
  photometric = PHOTOMETRIC_MINISWHITE;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &info.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &info.height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  if (file.Damaged(error)) return false;
  if (info.width == 0 || info.height == 0) {
    error = "TIFF without width or height";
    return false;
  }
  if (IsBilevel(bits, samples, photometric)) {
    info.tone.clear();
  } else if (samples == 1 &&
             (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
    info.tone = std::to_string(bits) + "-bit grey";
  } else if (photometric == PHOTOMETRIC_PALETTE) {
    info.tone = "palette colour";
  } else if (photometric == PHOTOMETRIC_RGB) {
    info.tone = "RGB colour";
  } else {
    info.tone = "colour";
  }
  return true;
}

bool ReadTiff(const std::string& path, uint32_t page, Bitmap& image, std::string& error) {
  const TiffFile file(path);
  TIFF* tiff = file.get();
  if (tiff == nullptr) {
    error = file.Unreadable();
    return false;
  }
  ImageInfo info;
  uint16_t bits = 1;
  uint16_t samples = 1;
  uint16_t photometric = PHOTOMETRIC_MINISWHITE;
  if (!ReadTiffPage(file, page, info, bits, samples, photometric, error)) return false;
  const uint32_t width = info.width;
  const uint32_t height = info.height;
  const bool bilevel = IsBilevel(bits, samples, photometric);
  if (!CheckImageSize(width, height, bilevel ? FileKind::kPbm : FileKind::kTiff, error)) return false;
  image.Resize(width, height);
  if (bilevel) {
    const tmsize_t scanline = TIFFScanlineSize(tiff);
    if (scanline < 0 || static_cast<size_t>(scanline) < image.stride) {
      error = "TIFF line size does not fit its width";
      return false;
    }
    std::vector<uint8_t> line(static_cast<size_t>(scanline));
    for (uint32_t y = 0; y < height; ++y) {
      const bool read = TIFFReadScanline(tiff, line.data(), y, 0) >= 0;
      if (file.Damaged(error) || !read) {
        if (error.empty()) error = "TIFF pixel data cannot be read (line " + std::to_string(y) + ")";
        return false;
      }
      uint8_t* row = &image.bits[y * image.stride];
      std::memcpy(row, line.data(), image.stride);
      if (photometric == PHOTOMETRIC_MINISBLACK) {
        for (size_t i = 0; i < image.stride; ++i) row[i] = static_cast<uint8_t>(~row[i]);
      }
      // Bits beyond the width stay white.
      if (width % 8 != 0) row[image.stride - 1] &= static_cast<uint8_t>(0xFF00u >> (width % 8));
    }
    return true;
  }
  // Anything else through libtiff's RGBA reader, which stops at the first
  // error; thresholded by brightness.
  std::vector<uint32_t> rgba(static_cast<size_t>(width) * height);
  const bool read = TIFFReadRGBAImageOriented(tiff, width, height, rgba.data(), ORIENTATION_TOPLEFT, 1) != 0;
  if (file.Damaged(error) || !read) {
    if (error.empty()) error = "TIFF of a kind that cannot be read";
    return false;
  }
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t p = rgba[static_cast<size_t>(y) * width + x];
      // Transparent pixels are white, as on paper.
      const uint32_t alpha = TIFFGetA(p);
      const uint32_t grey = (TIFFGetR(p) * 299 + TIFFGetG(p) * 587 + TIFFGetB(p) * 114) / 1000;
      if (grey * alpha + 255 * (255 - alpha) < kThresholdLevel * 255) image.SetBlack(x, y);
    }
  }
  return true;
}

// Whether a PNG file's chunks run whole to its end chunk (IEND): the reader
// stops after the pixel data and does not see a file that ends there.
bool PngEndsWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const auto size = static_cast<uint64_t>(in.tellg());
  uint64_t at = 8;  // after the signature
  while (at + 8 <= size) {
    unsigned char head[8];
    if (!in.seekg(static_cast<std::streamoff>(at)) || !in.read(reinterpret_cast<char*>(head), sizeof(head))) {
      return false;
    }
    const uint32_t length =
        uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
    const uint64_t next = at + 8 + length + 4;  // length, type, data, CRC
    if (next > size) return false;
    if (std::memcmp(head + 4, "IEND", 4) == 0) return true;
    at = next;
  }
  return false;
}

bool ReadPng(const std::string& path, Bitmap& image, std::string& error) {
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
    error = std::string("not a readable PNG file: ") + png.message;
    return false;
  }
  if (!CheckImageSize(png.width, png.height, FileKind::kPng, error)) {
    png_image_free(&png);
    return false;
  }
  png.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> grey(PNG_IMAGE_SIZE(png));
  // Transparent pixels on white, as on paper. A file that ends early, or
  // whose data are damaged, fails the read.
  png_color white{255, 255, 255};
  if (png_image_finish_read(&png, &white, grey.data(), 0, nullptr) == 0) {
    error = std::string("PNG pixel data cannot be read: ") + png.message;
    png_image_free(&png);
    return false;
  }
  if (!PngEndsWhole(path)) {
    error = "PNG file cut short: it ends before its end chunk (IEND)";
    return false;
  }
  image.Resize(png.width, png.height);
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x) {
      if (grey[static_cast<size_t>(y) * png.width + x] < kThresholdLevel) image.SetBlack(x, y);
    }
  }
  return true;
}

// A PBM header: "P1" (text) or "P4" (raw), width and height, with comments
// between. False when it is none (or declares no pixels).
bool ReadPbmHeader(std::istream& in, std::string& magic, uint32_t& width, uint32_t& height) {
  in >> magic;
  auto number = [&in](uint32_t& value) {
    while (in >> std::ws && in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
    }
    return static_cast<bool>(in >> value);
  };
  return (magic == "P1" || magic == "P4") && number(width) && number(height) && width != 0 && height != 0;
}

// PBM: the header, then the pixels, 1 = black as in our bitmaps.
bool ReadPbm(const std::string& path, Bitmap& image, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  uint32_t width = 0;
  uint32_t height = 0;
  if (!ReadPbmHeader(in, magic, width, height)) {
    error = "not a PBM file";
    return false;
  }
  if (!CheckImageSize(width, height, FileKind::kPbm, error)) return false;
  image.Resize(width, height);
  if (magic == "P4") {
    in.get();  // the one blank after the height
    in.read(reinterpret_cast<char*>(image.bits.data()), static_cast<std::streamsize>(image.bits.size()));
    if (static_cast<size_t>(in.gcount()) != image.bits.size()) {
      error = "PBM pixel data cut short";
      return false;
    }
    // The padding bits of each line's last byte are no pixels: white.
    if (width % 8 != 0) {
      for (uint32_t y = 0; y < height; ++y) {
        image.bits[y * image.stride + image.stride - 1] &= static_cast<uint8_t>(0xFF00u >> (width % 8));
      }
    }
    return true;
  }
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      char c = 0;
      while (in.get(c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t')) {
      }
      if (!in || (c != '0' && c != '1')) {
        error = "PBM pixel data cut short or not 0/1";
        return false;
      }
      if (c == '1') image.SetBlack(x, y);
    }
  }
  return true;
}

}  // namespace

void Bitmap::Resize(uint32_t w, uint32_t h) {
  width = w;
  height = h;
  stride = (static_cast<size_t>(w) + 7) / 8;
  bits.assign(stride * h, 0);
}

bool SniffFile(const std::string& path, FileKind& kind, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  unsigned char head[512] = {};
  in.read(reinterpret_cast<char*>(head), sizeof(head));
  const size_t n = static_cast<size_t>(in.gcount());
  auto starts = [&](const char* magic, size_t size) {
    return n >= size && std::memcmp(head, magic, size) == 0;
  };
  if (n == 0) {
    kind = FileKind::kEmpty;
  } else if (starts("II*\0", 4) || starts("MM\0*", 4)) {
    kind = FileKind::kTiff;
  } else if (starts("\x89PNG", 4)) {
    kind = FileKind::kPng;
  } else if (starts("P1", 2) || starts("P4", 2)) {
    kind = FileKind::kPbm;
  } else if (starts("\xFF\xD8\xFF", 3)) {
    kind = FileKind::kJpeg;
  } else if (starts("BM", 2)) {
    kind = FileKind::kBmp;
  } else if (starts("GIF8", 4)) {
    kind = FileKind::kGif;
  } else {
    // Text: no control bytes but blanks and line ends (UTF-8 passes).
    kind = FileKind::kText;
    for (size_t i = 0; i < n; ++i) {
      if (head[i] < 0x20 && head[i] != '\n' && head[i] != '\r' && head[i] != '\t') kind = FileKind::kOther;
    }
  }
  return true;
}

const char* KindName(FileKind kind) {
  switch (kind) {
    case FileKind::kTiff:
      return "a TIFF image";
    case FileKind::kPng:
      return "a PNG image";
    case FileKind::kPbm:
      return "a PBM image";
    case FileKind::kJpeg:
      return "a JPEG image";
    case FileKind::kBmp:
      return "a BMP image";
    case FileKind::kGif:
      return "a GIF image";
    case FileKind::kEmpty:
      return "empty";
    case FileKind::kText:
      return "a text file";
    case FileKind::kOther:
      return "no image";
  }
  return "no image";
}

namespace {

// The bit depth and colour type of a PNG file's header (IHDR), which the
// simplified reader does not tell.
std::string PngTone(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[26] = {};
  in.read(reinterpret_cast<char*>(head), sizeof(head));
  if (in.gcount() != static_cast<std::streamsize>(sizeof(head))) return "colour";
  const unsigned depth = head[24];
  switch (head[25]) {
    case 0:
      return depth == 1 ? std::string() : std::to_string(depth) + "-bit grey";
    case 2:
      return "RGB colour";
    case 3:
      return "palette colour";
    case 4:
      return "grey with transparency";
    default:
      return "RGB colour with transparency";
  }
}

}  // namespace

bool ReadImageInfo(const std::string& path, FileKind kind, uint32_t page, ImageInfo& info,
                   std::string& error) {
  info = ImageInfo{};
  if (kind == FileKind::kTiff) {
    const TiffFile file(path);
    if (file.get() == nullptr) {
      error = file.Unreadable();
      return false;
    }
    uint16_t bits = 1;
    uint16_t samples = 1;
    uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    return ReadTiffPage(file, page, info, bits, samples, photometric, error);
  }
  if (page > 1) {
    error = Printf("no page %u: %s has one page", page, KindName(kind));
    return false;
  }
  if (kind == FileKind::kPng) {
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
      error = std::string("not a readable PNG file: ") + png.message;
      return false;
    }
    info.width = png.width;
    info.height = png.height;
    png_image_free(&png);
    info.tone = PngTone(path);
  } else if (kind == FileKind::kPbm) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    if (!ReadPbmHeader(in, magic, info.width, info.height)) {
      error = "not a PBM file";
      return false;
    }
  } else {
    error = "not a TIFF, PNG or PBM image";
    return false;
  }
  if (info.width == 0 || info.height == 0) {
    error = "an image without width or height";
    return false;
  }
  return true;
}

bool CheckImageSize(uint32_t width, uint32_t height, FileKind kind, std::string& error) {
  if (width > kMaxLinePixels) {
    error =
        Printf("%u x %u pixels: lines wider than %u pixels cannot be printed", width, height, kMaxLinePixels);
    return false;
  }
  const uint64_t bands = PrintBytes(width, height);
  if (bands > kMaxPrintBytes) {
    error = Printf("%u x %u pixels: %.2f GB of print data, more than the %.2f GB a print job holds", width,
                   height, static_cast<double>(bands) / 1e9, static_cast<double>(kMaxPrintBytes) / 1e9);
    return false;
  }
  // What reading and printing it takes: the bitmap, the bands, the read-back
  // copy, and for colour or grey images their decoded pixels.
  const uint64_t pixels = uint64_t{width} * height;
  const uint64_t decoded = kind == FileKind::kTiff ? 4 * pixels : kind == FileKind::kPng ? pixels : 0;
  const uint64_t needed = 3 * bands + decoded;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    const uint64_t memory = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
    if (needed > memory) {
      error = Printf("%u x %u pixels: reading it takes about %.1f GB of memory, this machine has %.1f GB",
                     width, height, static_cast<double>(needed) / 1e9, static_cast<double>(memory) / 1e9);
      return false;
    }
  }
  return true;
}

bool ReadBitmap(const std::string& path, Bitmap& image, std::string& error, uint32_t page) {
  FileKind kind = FileKind::kOther;
  if (!SniffFile(path, kind, error)) return false;
  if (kind == FileKind::kTiff) return ReadTiff(path, page, image, error);
  if (page > 1) {
    error = Printf("no page %u: %s has one page", page, KindName(kind));
    return false;
  }
  if (kind == FileKind::kPng) return ReadPng(path, image, error);
  if (kind == FileKind::kPbm) return ReadPbm(path, image, error);
  error = path + " is " + KindName(kind) + ", not a TIFF, PNG or PBM image";
  return false;
}

bool WritePreviewPng(const std::string& path, const Bitmap& image, uint32_t maxSide, std::string& error) {
  if (image.width == 0 || image.height == 0) {
    error = "an empty image has no preview";
    return false;
  }
  const uint32_t longest = image.width > image.height ? image.width : image.height;
  const uint32_t factor = maxSide == 0 ? 1 : (longest + maxSide - 1) / maxSide;
  const uint32_t w = (image.width + factor - 1) / factor;
  const uint32_t h = (image.height + factor - 1) / factor;
  std::vector<uint32_t> black(static_cast<size_t>(w) * h, 0);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* row = &image.bits[y * image.stride];
    uint32_t* out = &black[static_cast<size_t>(y / factor) * w];
    for (uint32_t x = 0; x < image.width; ++x) {
      if ((row[x / 8] >> (7 - x % 8)) & 1) ++out[x / factor];
    }
  }
  std::vector<uint8_t> grey(black.size());
  for (uint32_t y = 0; y < h; ++y) {
    const uint32_t cellH = (y + 1) * factor <= image.height ? factor : image.height - y * factor;
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t cellW = (x + 1) * factor <= image.width ? factor : image.width - x * factor;
      const size_t i = static_cast<size_t>(y) * w + x;
      grey[i] = static_cast<uint8_t>(255u - black[i] * 255u / (cellW * cellH));
    }
  }
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = w;
  png.height = h;
  png.format = PNG_FORMAT_GRAY;
  if (png_image_write_to_file(&png, path.c_str(), 0, grey.data(), 0, nullptr) == 0) {
    error = std::string("cannot write the PNG: ") + png.message;
    return false;
  }
  return true;
}

std::vector<uint8_t> ToBands(const Bitmap& image) {
  // The image passed CheckImageSize: its bands fit in 32-bit counts.
  const auto lineBytes = static_cast<size_t>(BandWidth(image.width) / 8);
  const auto lines = static_cast<size_t>(BandHeight(image.height));
  std::vector<uint8_t> data(lineBytes * lines, 0);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* row = &image.bits[y * image.stride];
    uint8_t* band = &data[(y / kBandLines) * kBandLines * lineBytes];
    const size_t t = y % kBandLines;
    for (size_t b = 0; b < lineBytes / 2; ++b) {
      const uint8_t first = 2 * b < image.stride ? row[2 * b] : 0;
      const uint8_t second = 2 * b + 1 < image.stride ? row[2 * b + 1] : 0;
      band[kBlockBytes * b + 2 * t + 1] = first;
      band[kBlockBytes * b + 2 * t] = second;
    }
  }
  return data;
}

Bitmap FromBands(const uint8_t* data, size_t size, uint32_t width) {
  Bitmap image;
  const size_t lineBytes = width / 8;
  const size_t bandBytes = lineBytes * kBandLines;
  if (lineBytes == 0) return image;
  const size_t bands = size / bandBytes;
  image.Resize(width, static_cast<uint32_t>(bands * kBandLines));
  for (size_t y = 0; y < image.height; ++y) {
    const uint8_t* band = data + (y / kBandLines) * bandBytes;
    const size_t t = y % kBandLines;
    uint8_t* row = &image.bits[y * image.stride];
    for (size_t b = 0; b < lineBytes / 2; ++b) {
      row[2 * b] = band[kBlockBytes * b + 2 * t + 1];
      row[2 * b + 1] = band[kBlockBytes * b + 2 * t];
    }
  }
  return image;
}

}  // namespace norvexctl
