// word_compression.cpp: CompressWords (the choice of loop, and the portable
// loop) and DecompressWords.
#include "printdata/word_compression.h"

#include <cstring>

#include "printdata/word_compression_kernels.h"
#include "protocol/frame.h"

namespace norvex {
namespace compression {

size_t CompressScalarFrom(const uint8_t* in, size_t n, size_t i, uint8_t* out, size_t m) {
  while (i < n) {
    const uint16_t word = LoadWord(in + 2 * i);
    if (!IsRunWord(word)) {
      StoreWord(out + 2 * m, word);
      i += 1;
      m += 1;
      continue;
    }
    // A run never crosses the end of the input nor the longest count.
    const size_t limit = n - i < kMaxRun ? n - i : kMaxRun;
    size_t r = 1;
    while (r < limit && LoadWord(in + 2 * (i + r)) == word) {
      ++r;
      if (r == 16) {
        // A long run: on four words at a time. A run word is 0x0000 or
        // 0xFFFF, so four of them read as 64 bits are all zero or all one
        // bits in either byte order. (Most runs are short, and ended by the
        // word loop without this second loop's misprediction.)
        const uint64_t four = word == 0 ? 0 : ~uint64_t{0};
        while (r + 4 <= limit) {
          uint64_t next;
          std::memcpy(&next, in + 2 * (i + r), sizeof next);
          if (next != four) break;
          r += 4;
        }
      }
    }
    StoreWord(out + 2 * m, word);
    StoreWord(out + 2 * m + 2, static_cast<uint16_t>(r));
    i += r;
    m += 2;
  }
  return m;
}

}  // namespace compression

bool CompressPathAvailable(CompressPath path) {
  switch (path) {
    case CompressPath::kScalar:
      return true;
    case CompressPath::kSse2:
      return cpu::Runs(cpu::Level::kSse2);
    case CompressPath::kAvx2:
      return cpu::Runs(cpu::Level::kAvx2);
  }
  return false;
}

CompressPath FastestCompressPath() {
  if (CompressPathAvailable(CompressPath::kAvx2)) return CompressPath::kAvx2;
  if (CompressPathAvailable(CompressPath::kSse2)) return CompressPath::kSse2;
  return CompressPath::kScalar;
}

namespace {

// Runs the loop of `path`, which must be available.
void Compress(CompressPath path, void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount) {
  const auto* in = static_cast<const uint8_t*>(src);
  auto* out = static_cast<uint8_t*>(dst);
  const size_t n = byteCount / 2;
  size_t m = 0;
  switch (path) {
#if NORVEX_X86_KERNELS
    case CompressPath::kAvx2:
      m = compression::CompressAvx2(in, n, out);
      break;
    case CompressPath::kSse2:
      m = compression::CompressSse2(in, n, out);
      break;
#endif
    default:
      m = compression::CompressScalarFrom(in, n, 0, out, 0);
      break;
  }
  // Two bytes a word; as a 32-bit count, like the input length.
  *outByteCount = static_cast<uint32_t>(2 * m);
}

}  // namespace

void CompressWordsWith(CompressPath path, void* dst, uint32_t* outByteCount, const void* src,
                       uint32_t byteCount) {
  Compress(CompressPathAvailable(path) ? path : CompressPath::kScalar, dst, outByteCount, src, byteCount);
}

void CompressWords(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount) {
  Compress(FastestCompressPath(), dst, outByteCount, src, byteCount);
}

uint32_t CompressData(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount) {
  if (dst == nullptr || outByteCount == nullptr || src == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  CompressWords(dst, outByteCount, src, byteCount);
  return NORVEX_OK;
}

bool DecompressWords(const void* src, size_t byteCount, std::vector<uint8_t>& out) {
  const auto* in = static_cast<const uint8_t*>(src);
  if (byteCount % 2 != 0) return false;
  const size_t words = byteCount / 2;
  size_t i = 0;
  while (i < words) {
    const uint16_t word = LoadWord(in + 2 * i);
    if (!compression::IsRunWord(word)) {
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
