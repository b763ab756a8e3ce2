// band_deinterleave.cpp: the kernels of DeinterleaveBand (see
// band_deinterleave.h) and the choice among them.
//
// The vector kernels work on tiles of 8 blocks x 8 lines: the 16 bytes at
// offset 16g of each of 8 neighbouring blocks are words 8g..8g+7 of those
// blocks, so 8 loads, a byte swap of every word and an 8 x 8 transposition of
// 16-bit elements (three rounds of unpacks) give 16 bytes of each of the
// lines 8g..8g+7. Four such tiles take 8 blocks apart for all 32 lines; every
// band byte is read once and every line byte written once. When the block
// count is not a multiple of the tile, the last tile is placed so that it
// ends at the last block: it overlaps its neighbour and writes the same bytes
// again, which keeps the tail in vector code.
#include "printdata/band_deinterleave.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "printdata/cpu.h"

#if NORVEX_X86_KERNELS
#include <immintrin.h>
#endif

namespace norvex {
namespace {

// Blocks [firstBlock, endBlock) of every line, one 16-bit word at a time:
// the word is loaded, its two bytes swapped, and stored into its line.
void PortableBlocks(const uint8_t* band, uint8_t* lines, size_t lineBytes, size_t firstBlock,
                    size_t endBlock) {
  for (size_t b = firstBlock; b < endBlock; ++b) {
    const uint8_t* block = band + kBytesPerBlock * b;
    uint8_t* column = lines + 2 * b;
    for (size_t t = 0; t < kLinesPerBand; ++t) {
      uint16_t word;
      std::memcpy(&word, block + 2 * t, 2);
      // Swapping the two bytes of a 16-bit value reverses them in memory
      // whatever the processor's byte order.
      word = static_cast<uint16_t>((word << 8) | (word >> 8));
      std::memcpy(column + t * lineBytes, &word, 2);
    }
  }
}

void DeinterleavePortable(const uint8_t* band, uint8_t* lines, size_t lineBytes) {
  PortableBlocks(band, lines, lineBytes, 0, lineBytes / 2);
}

#if NORVEX_X86_KERNELS

// Transposes 8 rows of 8 words: out[j] holds word j of each row of `in`, in
// row order. Three rounds of unpacks, each pairing rows at twice the width of
// the round before. The 256-bit form does the same in each 128-bit half.
inline __attribute__((always_inline)) NORVEX_TARGET_SSE2 void Transpose8x8(const __m128i in[8],
                                                                           __m128i out[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(in[0], in[1]);
  const __m128i a1 = _mm_unpackhi_epi16(in[0], in[1]);
  const __m128i a2 = _mm_unpacklo_epi16(in[2], in[3]);
  const __m128i a3 = _mm_unpackhi_epi16(in[2], in[3]);
  const __m128i a4 = _mm_unpacklo_epi16(in[4], in[5]);
  const __m128i a5 = _mm_unpackhi_epi16(in[4], in[5]);
  const __m128i a6 = _mm_unpacklo_epi16(in[6], in[7]);
  const __m128i a7 = _mm_unpackhi_epi16(in[6], in[7]);
  const __m128i c0 = _mm_unpacklo_epi32(a0, a2);
  const __m128i c1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i c2 = _mm_unpacklo_epi32(a1, a3);
  const __m128i c3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i c4 = _mm_unpacklo_epi32(a4, a6);
  const __m128i c5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i c6 = _mm_unpacklo_epi32(a5, a7);
  const __m128i c7 = _mm_unpackhi_epi32(a5, a7);
  out[0] = _mm_unpacklo_epi64(c0, c4);
  out[1] = _mm_unpackhi_epi64(c0, c4);
  out[2] = _mm_unpacklo_epi64(c1, c5);
  out[3] = _mm_unpackhi_epi64(c1, c5);
  out[4] = _mm_unpacklo_epi64(c2, c6);
  out[5] = _mm_unpackhi_epi64(c2, c6);
  out[6] = _mm_unpacklo_epi64(c3, c7);
  out[7] = _mm_unpackhi_epi64(c3, c7);
}

// How far ahead of the tile being taken apart its band is fetched. A tile's
// loads jump from block to block, 64 bytes apart, 4 times over, which the
// processor's own prefetch follows too late when the band is not in the
// cache yet; 64 blocks is 4 KiB ahead. (Prefetching never faults, but only
// the band's own blocks are asked for.)
inline constexpr size_t kPrefetchBlocks = 64;

// Asks for blocks [firstBlock, firstBlock + count) of the band, as far as
// there are any, to be on their way into the cache.
inline __attribute__((always_inline)) NORVEX_TARGET_SSE2 void PrefetchBlocks(const uint8_t* band,
                                                                             size_t blocks, size_t firstBlock,
                                                                             size_t count) {
  for (size_t b = firstBlock; b < firstBlock + count && b < blocks; ++b) {
    _mm_prefetch(reinterpret_cast<const char*>(band + kBytesPerBlock * b), _MM_HINT_T0);
  }
}

// Writes out[j] to line 8 * group + j of the tile's column.
inline __attribute__((always_inline)) NORVEX_TARGET_SSE2 void StoreTileLines(const __m128i out[8],
                                                                             uint8_t* column,
                                                                             size_t lineBytes, size_t group) {
  uint8_t* first = column + 8 * group * lineBytes;
  for (size_t j = 0; j < 8; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(first + j * lineBytes), out[j]);
}

// The 8 blocks from `firstBlock` on, all 32 lines; the byte swap by two
// shifts and an or.
NORVEX_TARGET_SSE2 void Sse2Tile(const uint8_t* band, uint8_t* lines, size_t lineBytes, size_t firstBlock) {
  const uint8_t* in = band + kBytesPerBlock * firstBlock;
  for (size_t group = 0; group < kLinesPerBand / 8; ++group) {
    __m128i rows[8];
    for (size_t i = 0; i < 8; ++i) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + kBytesPerBlock * i + 16 * group));
      rows[i] = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
    __m128i out[8];
    Transpose8x8(rows, out);
    StoreTileLines(out, lines + 2 * firstBlock, lineBytes, group);
  }
}

// The same with the byte swap as one byte shuffle.
NORVEX_TARGET_SSSE3 void Ssse3Tile(const uint8_t* band, uint8_t* lines, size_t lineBytes, size_t firstBlock) {
  const __m128i swap = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const uint8_t* in = band + kBytesPerBlock * firstBlock;
  for (size_t group = 0; group < kLinesPerBand / 8; ++group) {
    __m128i rows[8];
    for (size_t i = 0; i < 8; ++i) {
      rows[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + kBytesPerBlock * i + 16 * group)), swap);
    }
    __m128i out[8];
    Transpose8x8(rows, out);
    StoreTileLines(out, lines + 2 * firstBlock, lineBytes, group);
  }
}

NORVEX_TARGET_SSE2 void DeinterleaveSse2(const uint8_t* band, uint8_t* lines, size_t lineBytes) {
  const size_t blocks = lineBytes / 2;
  if (blocks < 8) {
    PortableBlocks(band, lines, lineBytes, 0, blocks);
    return;
  }
  size_t b = 0;
  for (; b + 8 <= blocks; b += 8) {
    PrefetchBlocks(band, blocks, b + kPrefetchBlocks, 8);
    Sse2Tile(band, lines, lineBytes, b);
  }
  if (b < blocks) Sse2Tile(band, lines, lineBytes, blocks - 8);
}

NORVEX_TARGET_SSSE3 void DeinterleaveSsse3(const uint8_t* band, uint8_t* lines, size_t lineBytes) {
  const size_t blocks = lineBytes / 2;
  if (blocks < 8) {
    PortableBlocks(band, lines, lineBytes, 0, blocks);
    return;
  }
  size_t b = 0;
  for (; b + 8 <= blocks; b += 8) {
    PrefetchBlocks(band, blocks, b + kPrefetchBlocks, 8);
    Ssse3Tile(band, lines, lineBytes, b);
  }
  if (b < blocks) Ssse3Tile(band, lines, lineBytes, blocks - 8);
}

// The 16 blocks from `firstBlock` on, all 32 lines: the low half of each
// register carries the tile of blocks 0..7, the high half the tile of blocks
// 8..15, so that every register of the result is 32 bytes of one line.
NORVEX_TARGET_AVX2 void Avx2Tile(const uint8_t* band, uint8_t* lines, size_t lineBytes, size_t firstBlock) {
  const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,  //
                                        1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const uint8_t* in = band + kBytesPerBlock * firstBlock;
  uint8_t* column = lines + 2 * firstBlock;
  for (size_t group = 0; group < kLinesPerBand / 8; ++group) {
    __m256i r[8];
    for (size_t i = 0; i < 8; ++i) {
      const uint8_t* low = in + kBytesPerBlock * i + 16 * group;
      const uint8_t* high = low + 8 * kBytesPerBlock;
      r[i] = _mm256_shuffle_epi8(_mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high)),
                                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                 swap);
    }
    const __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]);
    const __m256i a1 = _mm256_unpackhi_epi16(r[0], r[1]);
    const __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]);
    const __m256i a3 = _mm256_unpackhi_epi16(r[2], r[3]);
    const __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]);
    const __m256i a5 = _mm256_unpackhi_epi16(r[4], r[5]);
    const __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]);
    const __m256i a7 = _mm256_unpackhi_epi16(r[6], r[7]);
    const __m256i c0 = _mm256_unpacklo_epi32(a0, a2);
    const __m256i c1 = _mm256_unpackhi_epi32(a0, a2);
    const __m256i c2 = _mm256_unpacklo_epi32(a1, a3);
    const __m256i c3 = _mm256_unpackhi_epi32(a1, a3);
    const __m256i c4 = _mm256_unpacklo_epi32(a4, a6);
    const __m256i c5 = _mm256_unpackhi_epi32(a4, a6);
    const __m256i c6 = _mm256_unpacklo_epi32(a5, a7);
    const __m256i c7 = _mm256_unpackhi_epi32(a5, a7);
    const __m256i line[8] = {
        _mm256_unpacklo_epi64(c0, c4), _mm256_unpackhi_epi64(c0, c4), _mm256_unpacklo_epi64(c1, c5),
        _mm256_unpackhi_epi64(c1, c5), _mm256_unpacklo_epi64(c2, c6), _mm256_unpackhi_epi64(c2, c6),
        _mm256_unpacklo_epi64(c3, c7), _mm256_unpackhi_epi64(c3, c7),
    };
    uint8_t* first = column + 8 * group * lineBytes;
    for (size_t j = 0; j < 8; ++j) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + j * lineBytes), line[j]);
    }
  }
}

NORVEX_TARGET_AVX2 void DeinterleaveAvx2(const uint8_t* band, uint8_t* lines, size_t lineBytes) {
  const size_t blocks = lineBytes / 2;
  if (blocks < 16) {
    DeinterleaveSsse3(band, lines, lineBytes);
    return;
  }
  size_t b = 0;
  for (; b + 16 <= blocks; b += 16) {
    PrefetchBlocks(band, blocks, b + kPrefetchBlocks, 16);
    Avx2Tile(band, lines, lineBytes, b);
  }
  if (b < blocks) Avx2Tile(band, lines, lineBytes, blocks - 16);
}

#endif  // NORVEX_X86_KERNELS

// Runs `kernel`, which the caller found available.
void RunKernel(DeinterleaveKernel kernel, const uint8_t* band, uint8_t* lines, size_t lineBytes) {
  switch (kernel) {
#if NORVEX_X86_KERNELS
    case DeinterleaveKernel::kAvx2:
      DeinterleaveAvx2(band, lines, lineBytes);
      return;
    case DeinterleaveKernel::kSsse3:
      DeinterleaveSsse3(band, lines, lineBytes);
      return;
    case DeinterleaveKernel::kSse2:
      DeinterleaveSse2(band, lines, lineBytes);
      return;
#endif
    default:
      DeinterleavePortable(band, lines, lineBytes);
      return;
  }
}

// The kernel written for each instruction set.
cpu::Level LevelOf(DeinterleaveKernel kernel) {
  switch (kernel) {
    case DeinterleaveKernel::kSse2:
      return cpu::Level::kSse2;
    case DeinterleaveKernel::kSsse3:
      return cpu::Level::kSsse3;
    case DeinterleaveKernel::kAvx2:
      return cpu::Level::kAvx2;
    case DeinterleaveKernel::kPortable:
      break;
  }
  return cpu::Level::kPortable;
}

}  // namespace

bool DeinterleaveKernelAvailable(DeinterleaveKernel kernel) { return cpu::Runs(LevelOf(kernel)); }

DeinterleaveKernel BestDeinterleaveKernel() {
  for (DeinterleaveKernel kernel :
       {DeinterleaveKernel::kAvx2, DeinterleaveKernel::kSsse3, DeinterleaveKernel::kSse2}) {
    if (DeinterleaveKernelAvailable(kernel)) return kernel;
  }
  return DeinterleaveKernel::kPortable;
}

const char* DeinterleaveKernelName(DeinterleaveKernel kernel) { return cpu::Name(LevelOf(kernel)); }

void DeinterleaveBandWith(DeinterleaveKernel kernel, const uint8_t* band, uint8_t* lines,
                          uint32_t lineBytes) {
  RunKernel(DeinterleaveKernelAvailable(kernel) ? kernel : DeinterleaveKernel::kPortable, band, lines,
            lineBytes);
}

void DeinterleaveBand(const uint8_t* band, uint8_t* lines, uint32_t lineBytes) {
  RunKernel(BestDeinterleaveKernel(), band, lines, lineBytes);
}

}  // namespace norvex
