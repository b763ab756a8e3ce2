// print_data.cpp: print input, the compression, the decoder (see print_data.h).
#include "print_data.h"

#include <cstdint>
#include <fstream>

#include "cli.h"
#include "image_io.h"
#include "norvex.h"

namespace norvexctl {

bool PlanInput(const std::string& path, const std::string& name, uint32_t rawWidth, RawData raw,
               PrintInput& plan, std::string& error) {
  FileKind kind = FileKind::kOther;
  if (!SniffFile(path, kind, error)) {
    if (path != name) error = "cannot read " + name;
    return false;
  }
  const std::string shown = name == "-" ? std::string("standard input") : name;
  if (IsImage(kind)) {
    ImageInfo info;
    if (!ReadImageInfo(path, kind, plan.page, info, error) ||
        !CheckImageSize(info.width, info.height, kind, error)) {
      error = shown + ": " + error;
      return false;
    }
    const uint32_t width = info.width;
    const uint32_t height = info.height;
    plan.image = true;
    plan.imageWidth = width;
    plan.imageHeight = height;
    plan.page = info.page;
    plan.pages = info.pages;
    plan.tone = info.tone;
    // CheckImageSize keeps the bands within 32-bit counts.
    plan.width = static_cast<uint32_t>(BandWidth(width));
    plan.lines = static_cast<uint32_t>(BandHeight(height));
    plan.bytes = PrintBytes(width, height);
    return true;
  }
  if (kind == FileKind::kEmpty) {
    error = shown + " is empty";
    return false;
  }
  const bool otherImage = kind == FileKind::kJpeg || kind == FileKind::kBmp || kind == FileKind::kGif;
  if (plan.page > 1) {
    error = Printf("%s: no page %u: %s has one page", shown.c_str(), plan.page, KindName(kind));
    return false;
  }
  if (raw == RawData::kRefused || otherImage) {
    error = shown + " is " + KindName(kind) + "; norvexctl reads TIFF, PNG and PBM images" +
            (otherImage ? " (make it a bilevel TIFF first)" : "");
    return false;
  }
  if (rawWidth == 0) {
    error = shown + " is " + KindName(kind) +
            ", not a TIFF, PNG or PBM image; as raw print data it needs --width W " +
            "(pixels a line, a multiple of 16)";
    return false;
  }
  if (rawWidth % 16 != 0 || rawWidth > kMaxLinePixels) {
    error =
        Printf("--width %u: raw print data needs a multiple of 16 up to %u pixels", rawWidth, kMaxLinePixels);
    return false;
  }
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const auto size = static_cast<uint64_t>(in.tellg());
  if (size > kMaxPrintBytes) {
    error = Printf("%s holds %.2f GB, more print data than the %.2f GB a job holds", shown.c_str(),
                   static_cast<double>(size) / 1e9, static_cast<double>(kMaxPrintBytes) / 1e9);
    return false;
  }
  plan.image = false;
  plan.width = rawWidth;
  plan.lines = static_cast<uint32_t>(size / (rawWidth / 8));
  plan.bytes = size;
  return true;
}

bool LoadPrintInput(const std::string& path, const std::string& name, uint32_t rawWidth, RawData raw,
                    PrintInput& input, std::string& error) {
  if (!PlanInput(path, name, rawWidth, raw, input, error)) return false;
  if (input.image) {
    Bitmap bitmap;
    if (!ReadBitmap(path, bitmap, error, input.page)) {
      error = (name == "-" ? std::string("standard input") : name) + ": " + error;
      return false;
    }
    input.data = ToBands(bitmap);
    return true;
  }
  if (!ReadWholeFile(path, input.data)) {
    error = "cannot read " + name;
    return false;
  }
  return true;
}

bool ParsePage(const std::string& text, PrintInput& input) {
  return ParseU32(text, input.page) && input.page >= 1;
}

std::vector<std::string> DescribeReading(const PrintInput& input, Json& json) {
  std::vector<std::string> lines;
  if (!input.image) return lines;
  if (input.pages > 1) {
    lines.push_back(Printf("image: page %u of %u", input.page, input.pages));
    json.Set("page", Json::Int(input.page));
    json.Set("pages", Json::Int(input.pages));
  }
  if (!input.tone.empty()) {
    lines.push_back(Printf("image: %s, thresholded at grey level %u of 255: darker pixels are exposed",
                           input.tone.c_str(), kThresholdLevel));
    Json threshold = Json::Object();
    threshold.Set("tone", Json::Str(input.tone));
    threshold.Set("level", Json::Int(kThresholdLevel));
    json.Set("threshold", threshold);
  }
  return lines;
}

uint32_t CompressStream(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
  // The worst case: every word a lone run word, doubled.
  std::vector<uint8_t> buffer(2 * data.size());
  uint32_t produced = 0;
  if (data.size() > UINT32_MAX) return NORVEX_ERR_LENGTH_LIMIT;
  const uint32_t result =
      Norvex_CompressData(buffer.data(), &produced, data.data(), static_cast<uint32_t>(data.size()));
  if (result != NORVEX_OK) return result;
  out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
  return NORVEX_OK;
}

namespace {

// Walks a compressed stream: `take(word, count)` for each word it stands for
// `count` times (a literal word once). False at a malformed stream, with
// `badOffset` its byte offset.
template <typename Take>
bool WalkStream(const std::vector<uint8_t>& stream, size_t& badOffset, Take take) {
  if (stream.size() % 2 != 0) {
    badOffset = stream.size() - 1;
    return false;
  }
  for (size_t i = 0; i < stream.size(); i += 2) {
    const unsigned word = static_cast<unsigned>(stream[i] | stream[i + 1] << 8);
    if (word != 0x0000 && word != 0xFFFF) {
      take(word, 1u);
      continue;
    }
    if (i + 3 >= stream.size() || (stream[i + 2] | stream[i + 3]) == 0) {
      badOffset = i;
      return false;
    }
    take(word, static_cast<unsigned>(stream[i + 2] | stream[i + 3] << 8));
    i += 2;
  }
  return true;
}

}  // namespace

bool DecompressedSize(const std::vector<uint8_t>& stream, uint64_t& size, size_t& badOffset) {
  size = 0;
  return WalkStream(stream, badOffset, [&size](unsigned, unsigned count) { size += 2 * uint64_t{count}; });
}

bool Decompress(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, size_t& badOffset) {
  return WalkStream(stream, badOffset, [&out](unsigned word, unsigned count) {
    if (word == 0x0000 || word == 0xFFFF) {
      out.insert(out.end(), 2 * size_t{count}, static_cast<uint8_t>(word));  // both bytes alike
    } else {
      out.push_back(static_cast<uint8_t>(word));
      out.push_back(static_cast<uint8_t>(word >> 8));
    }
  });
}

}  // namespace norvexctl
