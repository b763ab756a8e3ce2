// print_data.cpp: print input, the compression, the decoder (see print_data.h).
#include "print_data.h"

#include <cstdint>
#include <fstream>

#include "cli.h"
#include "image_io.h"
#include "norvex.h"

namespace norvexctl {

bool LoadPrintInput(const std::string& path, uint32_t width, PrintInput& input, std::string& error) {
  unsigned char magic[4] = {};
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot open " + path;
      return false;
    }
    in.read(reinterpret_cast<char*>(magic), sizeof(magic));
  }
  const bool image = (magic[0] == 'I' && magic[1] == 'I') || (magic[0] == 'M' && magic[1] == 'M') ||
                     (magic[0] == 0x89 && magic[1] == 'P') || (magic[0] == 'P' && (magic[1] == '1' || magic[1] == '4'));
  if (image) {
    Bitmap bitmap;
    if (!ReadBitmap(path, bitmap, error)) return false;
    input.data = ToBands(bitmap);
    input.width = BandWidth(bitmap.width);
    input.lines = BandHeight(bitmap.height);
    input.imageWidth = bitmap.width;
    input.imageHeight = bitmap.height;
    input.image = true;
    return true;
  }
  if (width == 0 || width % 16 != 0) {
    error = path + " is no image; raw print data needs --width, a multiple of 16";
    return false;
  }
  if (!ReadWholeFile(path, input.data)) {
    error = "cannot read " + path;
    return false;
  }
  input.width = width;
  input.lines = static_cast<uint32_t>(input.data.size() / (width / 8));
  return true;
}

uint32_t CompressStream(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
  // The worst case: every word a lone run word, doubled.
  std::vector<uint8_t> buffer(2 * data.size());
  uint32_t produced = 0;
  if (data.size() > UINT32_MAX) return NORVEX_ERR_LENGTH_LIMIT;
  const uint32_t result = Norvex_CompressData(buffer.data(), &produced, data.data(), static_cast<uint32_t>(data.size()));
  if (result != NORVEX_OK) return result;
  out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
  return NORVEX_OK;
}

bool Decompress(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, size_t& badOffset) {
  if (stream.size() % 2 != 0) {
    badOffset = stream.size() - 1;
    return false;
  }
  for (size_t i = 0; i < stream.size(); i += 2) {
    const unsigned word = static_cast<unsigned>(stream[i] | stream[i + 1] << 8);
    if (word != 0x0000 && word != 0xFFFF) {
      out.push_back(stream[i]);
      out.push_back(stream[i + 1]);
      continue;
    }
    if (i + 3 >= stream.size()) {
      badOffset = i;
      return false;
    }
    const unsigned count = static_cast<unsigned>(stream[i + 2] | stream[i + 3] << 8);
    if (count == 0) {
      badOffset = i;
      return false;
    }
    out.insert(out.end(), 2 * static_cast<size_t>(count), static_cast<uint8_t>(word));
    i += 2;
  }
  return true;
}

}  // namespace norvexctl
