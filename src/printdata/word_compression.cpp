// word_compression.cpp: CompressWords and DecompressWords.
#include "printdata/word_compression.h"

#include "protocol/frame.h"

namespace norvex {
namespace {

inline bool IsRunWord(uint16_t word) { return word == 0x0000 || word == 0xFFFF; }

}  // namespace

void CompressWords(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount) {
  const auto* in = static_cast<const uint8_t*>(src);
  auto* out = static_cast<uint8_t*>(dst);
  const uint32_t n = byteCount / 2;
  uint32_t i = 0;
  uint32_t m = 0;  // output words
  while (i < n) {
    const uint16_t word = LoadWord(in + 2 * static_cast<size_t>(i));
    if (!IsRunWord(word)) {
      StoreWord(out + 2 * static_cast<size_t>(m), word);
      i += 1;
      m += 1;
      continue;
    }
    // A run never crosses the end of the input nor the longest count.
    const uint32_t limit = n - i < kMaxRunWords ? n - i : kMaxRunWords;
    uint32_t r = 1;
    while (r < limit && LoadWord(in + 2 * (static_cast<size_t>(i) + r)) == word) ++r;
    StoreWord(out + 2 * static_cast<size_t>(m), word);
    StoreWord(out + 2 * static_cast<size_t>(m) + 2, static_cast<uint16_t>(r));
    i += r;
    m += 2;
  }
  *outByteCount = 2 * m;
}

bool DecompressWords(const void* src, size_t byteCount, std::vector<uint8_t>& out) {
  const auto* in = static_cast<const uint8_t*>(src);
  if (byteCount % 2 != 0) return false;
  const size_t words = byteCount / 2;
  size_t i = 0;
  while (i < words) {
    const uint16_t word = LoadWord(in + 2 * i);
    if (!IsRunWord(word)) {
      out.push_back(in[2 * i]);
      out.push_back(in[2 * i + 1]);
      i += 1;
      continue;
    }
    if (i + 1 >= words) return false;  // a pair cut off after its value
    const uint16_t count = LoadWord(in + 2 * i + 2);
    if (count == 0) return false;
    const uint8_t byte = word == 0 ? 0x00 : 0xFF;
    out.insert(out.end(), 2 * static_cast<size_t>(count), byte);
    i += 2;
  }
  return true;
}

}  // namespace norvex
