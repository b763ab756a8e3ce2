// reference_compress.cpp: the plain word-by-word compression loop.
#include "reference_compress.h"

#include <cstddef>

namespace norvex::reference {
namespace {

constexpr uint32_t kMaxRun = 0xFFFF;

uint16_t Load(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Store(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

void CompressWords(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount) {
  const auto* in = static_cast<const uint8_t*>(src);
  auto* out = static_cast<uint8_t*>(dst);
  const uint32_t n = byteCount / 2;
  uint32_t i = 0;
  uint32_t m = 0;  // output words
  while (i < n) {
    const uint16_t word = Load(in + 2 * static_cast<size_t>(i));
    if (word != 0x0000 && word != 0xFFFF) {
      Store(out + 2 * static_cast<size_t>(m), word);
      i += 1;
      m += 1;
      continue;
    }
    const uint32_t limit = n - i < kMaxRun ? n - i : kMaxRun;
    uint32_t r = 1;
    while (r < limit && Load(in + 2 * (static_cast<size_t>(i) + r)) == word) ++r;
    Store(out + 2 * static_cast<size_t>(m), word);
    Store(out + 2 * static_cast<size_t>(m) + 2, static_cast<uint16_t>(r));
    i += r;
    m += 2;
  }
  *outByteCount = 2 * m;
}

}  // namespace norvex::reference
