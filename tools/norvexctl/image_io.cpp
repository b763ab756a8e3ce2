// image_io.cpp: bilevel image reading and writing, print bands (see image_io.h).
#include "image_io.h"

#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "output.h"

namespace norvexctl {
namespace {

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// libtiff's messages would go to stderr; the tool reports its own.
void QuietTiffHandler(const char*, const char*, va_list) {}

bool ReadTiff(const std::string& path, Bitmap& image, std::string& error) {
  TIFFSetErrorHandler(QuietTiffHandler);
  TIFFSetWarningHandler(QuietTiffHandler);
  std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "r"));
  if (!tiff) {
    error = "not a readable TIFF file";
    return false;
  }
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 1;
  uint16_t samples = 1;
  uint16_t photometric = PHOTOMETRIC_MINISWHITE;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
  if (width == 0 || height == 0) {
    error = "TIFF without width or height";
    return false;
  }
  const bool bilevel = bits == 1 && samples == 1 &&
                       (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
  if (!CheckImageSize(width, height, bilevel ? FileKind::kPbm : FileKind::kTiff, error)) return false;
  image.Resize(width, height);
  if (bits == 1 && samples == 1 &&
      (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
    const tmsize_t scanline = TIFFScanlineSize(tiff.get());
    if (scanline < 0 || static_cast<size_t>(scanline) < image.stride) {
      error = "TIFF line size does not fit its width";
      return false;
    }
    std::vector<uint8_t> line(static_cast<size_t>(scanline));
    for (uint32_t y = 0; y < height; ++y) {
      if (TIFFReadScanline(tiff.get(), line.data(), y, 0) < 0) {
        error = "TIFF pixel data cannot be read (line " + std::to_string(y) + ")";
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
  // Anything else through libtiff's RGBA reader, thresholded.
  std::vector<uint32_t> rgba(static_cast<size_t>(width) * height);
  if (TIFFReadRGBAImageOriented(tiff.get(), width, height, rgba.data(), ORIENTATION_TOPLEFT, 0) == 0) {
    error = "TIFF of a kind that cannot be read";
    return false;
  }
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t p = rgba[static_cast<size_t>(y) * width + x];
      const uint32_t grey = (TIFFGetR(p) * 299 + TIFFGetG(p) * 587 + TIFFGetB(p) * 114) / 1000;
      if (grey < 128) image.SetBlack(x, y);
    }
  }
  return true;
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
  if (png_image_finish_read(&png, nullptr, grey.data(), 0, nullptr) == 0) {
    error = std::string("PNG pixel data cannot be read: ") + png.message;
    png_image_free(&png);
    return false;
  }
  image.Resize(png.width, png.height);
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x) {
      if (grey[static_cast<size_t>(y) * png.width + x] < 128) image.SetBlack(x, y);
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

bool ReadImageSize(const std::string& path, FileKind kind, uint32_t& width, uint32_t& height,
                   std::string& error) {
  width = height = 0;
  if (kind == FileKind::kTiff) {
    TIFFSetErrorHandler(QuietTiffHandler);
    TIFFSetWarningHandler(QuietTiffHandler);
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff) {
      error = "not a readable TIFF file";
      return false;
    }
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  } else if (kind == FileKind::kPng) {
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
      error = std::string("not a readable PNG file: ") + png.message;
      return false;
    }
    width = png.width;
    height = png.height;
    png_image_free(&png);
  } else if (kind == FileKind::kPbm) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    if (!ReadPbmHeader(in, magic, width, height)) {
      error = "not a PBM file";
      return false;
    }
  } else {
    error = "not a TIFF, PNG or PBM image";
    return false;
  }
  if (width == 0 || height == 0) {
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

bool ReadBitmap(const std::string& path, Bitmap& image, std::string& error) {
  FileKind kind = FileKind::kOther;
  if (!SniffFile(path, kind, error)) return false;
  if (kind == FileKind::kTiff) return ReadTiff(path, image, error);
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
