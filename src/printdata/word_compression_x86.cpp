// word_compression_x86.cpp: the SSE2 and AVX2 loops of the word run-length
// compression.
//
// Both walk the input in blocks, 16 words (SSE2) or 32 words (AVX2), and
// every block starts where a literal or a run starts. Loads at the block and
// one word later give two masks: each word is a run word (0x0000 or
// 0xFFFF), and each word runs into the next (a run word that the next word
// repeats). A word starts a literal or a run unless the word before runs into
// it. Then, without a branch per word:
// - a block of literals only is copied as it is;
// - when the block's last run goes on past its end, the block stops before
//   that run, so that the next block starts with it (carrying the open run
//   into the next block instead costs more work per block than it saves on
//   the halftone); a run that fills a whole block is measured by comparing
//   16 or 32 words at a time;
// - the count of each run that starts in the block is the distance to its
//   last word, from a suffix maximum across the lanes;
// - each word that starts a literal or a run goes out together with its
//   count, and the count is kept only for a run. AVX2 packs the kept words of
//   each 4-word group with a byte shuffle from a 256-entry table; SSE2, which
//   has no byte shuffle, stores a word-and-count pair for every word and
//   moves the output on by 0, 1 or 2 words.
// In halftone most words are literals between runs of one to three words:
// there a branch per literal or run would be mispredicted all the time.
//
// Stores write whole vectors or pairs just past the output kept so far, and
// each reaches at most twice the words consumed once its block is done, so
// nothing is written past CompressedBound. No load reaches past the last
// input word: a block needs the word after it, and the last words of the
// input go through the portable loop.
#include "printdata/word_compression_kernels.h"

#if NORVEX_X86_KERNELS

#include <immintrin.h>

#include <cstring>

namespace norvex::compression {
namespace {

// x86 is little-endian: native 16- and 32-bit values are the stream's words.
inline uint16_t LoadWordAt(const uint8_t* in, size_t i) {
  uint16_t word;
  std::memcpy(&word, in + 2 * i, sizeof word);
  return word;
}

inline void StorePairAt(uint8_t* out, size_t m, uint16_t word, size_t count) {
  const uint32_t pair = word | static_cast<uint32_t>(count) << 16;
  std::memcpy(out + 2 * m, &pair, sizeof pair);
}

// Masks of movemask_epi8 on 16-bit lanes hold two bits a lane.
inline uint32_t HighestLane(uint64_t pairBits) {
  return (63u - static_cast<uint32_t>(__builtin_clzll(pairBits))) / 2;
}
inline size_t LowestLane(uint64_t pairBits) { return static_cast<size_t>(__builtin_ctzll(pairBits)) / 2; }

NORVEX_TARGET_SSE2 inline __m128i LoadSse(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

NORVEX_TARGET_SSE2 inline uint32_t MoveMask(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }

// All ones in the lanes that hold 0x0000 or 0xFFFF: the words equal to their
// own sign spread over 16 bits.
NORVEX_TARGET_SSE2 inline __m128i RunWords(__m128i v) { return _mm_cmpeq_epi16(v, _mm_srai_epi16(v, 15)); }

// The length of the run of `word` at input word `i`, whose first `known`
// words are known to be `word`: at most kMaxRun, and never past word n.
NORVEX_TARGET_SSE2 size_t RunLengthSse2(const uint8_t* in, size_t n, size_t i, uint16_t word, size_t known) {
  const size_t avail = n - i;
  const size_t limit = avail < kMaxRun ? avail : kMaxRun;
  const uint8_t* p = in + 2 * i;
  const __m128i value = _mm_set1_epi16(static_cast<short>(word));
  size_t r = known;
  while (r < limit && r + 16 <= avail) {
    const __m128i a = _mm_cmpeq_epi16(LoadSse(p + 2 * r), value);
    const __m128i b = _mm_cmpeq_epi16(LoadSse(p + 2 * r + 16), value);
    if (MoveMask(_mm_and_si128(a, b)) != 0xFFFF) {
      r += LowestLane(~(MoveMask(a) | MoveMask(b) << 16));
      break;
    }
    r += 16;
  }
  while (r < limit && LoadWordAt(p, r) == word) ++r;
  return r < limit ? r : limit;
}

// Suffix maximum of the 16-bit lanes.
NORVEX_TARGET_SSE2 inline __m128i SuffixMax(__m128i v) {
  v = _mm_max_epi16(v, _mm_srli_si128(v, 2));
  v = _mm_max_epi16(v, _mm_srli_si128(v, 4));
  return _mm_max_epi16(v, _mm_srli_si128(v, 8));
}

}  // namespace

// Blocks of 16 words as two vectors, a and b; masks of 32 bits.
NORVEX_TARGET_SSE2 size_t CompressSse2(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  size_t m = 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
  // 16 - k and 17 - k for word k of the block, in a and in b.
  const __m128i toEndA = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i toEndB = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i countBaseA = _mm_setr_epi16(17, 16, 15, 14, 13, 12, 11, 10);
  const __m128i countBaseB = _mm_setr_epi16(9, 8, 7, 6, 5, 4, 3, 2);
  alignas(16) uint32_t pairs[16];
  alignas(16) uint16_t steps[16];

  while (i + 17 <= n) {
    const uint8_t* p = in + 2 * i;
    const __m128i a = LoadSse(p);
    const __m128i b = LoadSse(p + 16);
    const __m128i runA = RunWords(a);
    const __m128i runB = RunWords(b);
    if (MoveMask(_mm_or_si128(runA, runB)) == 0) {  // literals only
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * m), a);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * m + 16), b);
      m += 16;
      i += 16;
      continue;
    }
    const __m128i intoNextA = _mm_and_si128(runA, _mm_cmpeq_epi16(a, LoadSse(p + 2)));
    const __m128i intoNextB = _mm_and_si128(runB, _mm_cmpeq_epi16(b, LoadSse(p + 18)));
    const uint32_t nextMask = MoveMask(intoNextA) | MoveMask(intoNextB) << 16;
    const uint32_t starts = ~(nextMask << 2);  // the first word always starts
    const uint32_t blockWords = (nextMask >> 31) != 0 ? HighestLane(starts) : 16;
    if (blockWords == 0) {  // one run fills the block and goes on
      const uint16_t word = LoadWordAt(p, 0);
      const size_t r = RunLengthSse2(in, n, i, word, 17);
      StorePairAt(out, m, word, r);
      m += 2;
      i += r;
      continue;
    }
    // Words that start a literal or a run (the word before does not run
    // into them) before where the block stops, and starts of runs; each word
    // moves the output on by 0, 1 or 2 words.
    const __m128i fromBeforeA = _mm_slli_si128(intoNextA, 2);
    const __m128i fromBeforeB = _mm_or_si128(_mm_slli_si128(intoNextB, 2), _mm_srli_si128(intoNextA, 14));
    const __m128i limit = _mm_set1_epi16(static_cast<short>(blockWords));
    const __m128i keepWordA = _mm_andnot_si128(fromBeforeA, _mm_cmpgt_epi16(limit, lanes));
    const __m128i keepWordB =
        _mm_andnot_si128(fromBeforeB, _mm_cmpgt_epi16(_mm_sub_epi16(limit, _mm_set1_epi16(8)), lanes));
    const __m128i stepA = _mm_sub_epi16(zero, _mm_add_epi16(keepWordA, _mm_and_si128(keepWordA, runA)));
    const __m128i stepB = _mm_sub_epi16(zero, _mm_add_epi16(keepWordB, _mm_and_si128(keepWordB, runB)));
    // 16 - (the lane of the first run end at or after each lane), carried
    // from b into a, then the counts.
    const __m128i endB = SuffixMax(_mm_andnot_si128(intoNextB, toEndB));
    __m128i endA = SuffixMax(_mm_andnot_si128(intoNextA, toEndA));
    const __m128i firstB = _mm_shufflelo_epi16(endB, 0);
    endA = _mm_max_epi16(endA, _mm_unpacklo_epi64(firstB, firstB));
    const __m128i countA = _mm_sub_epi16(countBaseA, endA);
    const __m128i countB = _mm_sub_epi16(countBaseB, endB);
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs), _mm_unpacklo_epi16(a, countA));
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 4), _mm_unpackhi_epi16(a, countA));
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 8), _mm_unpacklo_epi16(b, countB));
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 12), _mm_unpackhi_epi16(b, countB));
    _mm_store_si128(reinterpret_cast<__m128i*>(steps), stepA);
    _mm_store_si128(reinterpret_cast<__m128i*>(steps + 8), stepB);
    for (int k = 0; k < 16; ++k) {
      std::memcpy(out + 2 * m, &pairs[k], sizeof pairs[k]);
      m += steps[k];
    }
    i += blockWords;
  }
  return CompressScalarFrom(in, n, i, out, m);
}

namespace {

// Shuffle controls that move the words of a 16-byte group picked by an 8-bit
// mask to its front, in order.
struct LeftPackTable {
  alignas(16) uint8_t control[256][16];
};

constexpr LeftPackTable MakeLeftPackTable() {
  LeftPackTable table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned kept = 0;
    for (unsigned word = 0; word < 8; ++word) {
      if ((mask >> word) & 1) {
        table.control[mask][2 * kept] = static_cast<uint8_t>(2 * word);
        table.control[mask][2 * kept + 1] = static_cast<uint8_t>(2 * word + 1);
        ++kept;
      }
    }
    for (unsigned b = 2 * kept; b < 16; ++b) table.control[mask][b] = 0x80;
  }
  return table;
}

constexpr LeftPackTable kLeftPack = MakeLeftPackTable();

NORVEX_TARGET_AVX2 inline __m256i LoadAvx(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

NORVEX_TARGET_AVX2 inline uint32_t MoveMaskAvx(__m256i v) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(v));
}

NORVEX_TARGET_AVX2 inline __m256i RunWords(__m256i v) {
  return _mm256_cmpeq_epi16(v, _mm256_srai_epi16(v, 15));
}

// Stores the words of `group` picked by an 8-bit mask, given as the table
// row's byte offset (mask * 16), at output word m; returns how many.
NORVEX_TARGET_AVX2 inline size_t PackGroup(uint8_t* out, size_t m, __m128i group, uint32_t rowOffset) {
  const __m128i control =
      _mm_load_si128(reinterpret_cast<const __m128i*>(&kLeftPack.control[0][0] + rowOffset));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * m), _mm_shuffle_epi8(group, control));
  return static_cast<size_t>(__builtin_popcount(rowOffset));
}

// The four groups of 4 words of a 16-word block: word-and-count pairs in
// input order are the low half of `lo`, the low half of `hi`, the high half
// of `lo`, the high half of `hi`. `keep` has bit 2k for word k and bit 2k + 1
// for its count.
NORVEX_TARGET_AVX2 inline size_t PackBlock(uint8_t* out, size_t m, __m256i words, __m256i counts,
                                           uint32_t keep) {
  const __m256i lo = _mm256_unpacklo_epi16(words, counts);
  const __m256i hi = _mm256_unpackhi_epi16(words, counts);
  m += PackGroup(out, m, _mm256_castsi256_si128(lo), (keep << 4) & 0xFF0);
  m += PackGroup(out, m, _mm256_castsi256_si128(hi), (keep >> 4) & 0xFF0);
  m += PackGroup(out, m, _mm256_extracti128_si256(lo, 1), (keep >> 12) & 0xFF0);
  m += PackGroup(out, m, _mm256_extracti128_si256(hi, 1), (keep >> 20) & 0xFF0);
  return m;
}

// Suffix maximum of the 16-bit lanes within each 128-bit half.
NORVEX_TARGET_AVX2 inline __m256i SuffixMaxInHalves(__m256i v) {
  v = _mm256_max_epi16(v, _mm256_srli_si256(v, 2));
  v = _mm256_max_epi16(v, _mm256_srli_si256(v, 4));
  return _mm256_max_epi16(v, _mm256_srli_si256(v, 8));
}

// Lane 8 of `v` in every lane of the low half, 0 in the high half.
NORVEX_TARGET_AVX2 inline __m256i HighFirstToLow(__m256i v) {
  return _mm256_blend_epi32(_mm256_broadcastw_epi16(_mm256_extracti128_si256(v, 1)), _mm256_setzero_si256(),
                            0xF0);
}

// Lane 0 of `v` in every lane of the high half, 0 in the low half.
NORVEX_TARGET_AVX2 inline __m256i FirstToHigh(__m256i v) {
  return _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_broadcastw_epi16(_mm256_castsi256_si128(v)), 0xF0);
}

NORVEX_TARGET_AVX2 size_t RunLengthAvx2(const uint8_t* in, size_t n, size_t i, uint16_t word, size_t known) {
  const size_t avail = n - i;
  const size_t limit = avail < kMaxRun ? avail : kMaxRun;
  const uint8_t* p = in + 2 * i;
  const __m256i value = _mm256_set1_epi16(static_cast<short>(word));
  size_t r = known;
  while (r < limit && r + 32 <= avail) {
    const __m256i a = _mm256_cmpeq_epi16(LoadAvx(p + 2 * r), value);
    const __m256i b = _mm256_cmpeq_epi16(LoadAvx(p + 2 * r + 32), value);
    if (MoveMaskAvx(_mm256_and_si256(a, b)) != 0xFFFFFFFFu) {
      r += LowestLane(~(MoveMaskAvx(a) | static_cast<uint64_t>(MoveMaskAvx(b)) << 32));
      break;
    }
    r += 32;
  }
  while (r < limit && LoadWordAt(p, r) == word) ++r;
  return r < limit ? r : limit;
}

}  // namespace

// Blocks of 32 words as two vectors, a and b; masks of 64 bits.
NORVEX_TARGET_AVX2 size_t CompressAvx2(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  size_t m = 0;
  // 32 - k and 33 - k for word k of the block, in a and in b.
  const __m256i toEndA = _mm256_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
  const __m256i toEndB = _mm256_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i countBaseA =
      _mm256_setr_epi16(33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18);
  const __m256i countBaseB = _mm256_setr_epi16(17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2);

  while (i + 33 <= n) {
    const uint8_t* p = in + 2 * i;
    const __m256i a = LoadAvx(p);
    const __m256i b = LoadAvx(p + 32);
    const __m256i runA = RunWords(a);
    const __m256i runB = RunWords(b);
    const uint64_t runMask = MoveMaskAvx(runA) | static_cast<uint64_t>(MoveMaskAvx(runB)) << 32;
    if (runMask == 0) {  // literals only
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * m), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * m + 32), b);
      m += 32;
      i += 32;
      continue;
    }
    const __m256i intoNextA = _mm256_and_si256(runA, _mm256_cmpeq_epi16(a, LoadAvx(p + 2)));
    const __m256i intoNextB = _mm256_and_si256(runB, _mm256_cmpeq_epi16(b, LoadAvx(p + 34)));
    const uint64_t nextMask = MoveMaskAvx(intoNextA) | static_cast<uint64_t>(MoveMaskAvx(intoNextB)) << 32;
    const uint64_t starts = ~(nextMask << 2);  // the first word always starts
    const uint32_t blockWords = (nextMask >> 63) != 0 ? HighestLane(starts) : 32;
    if (blockWords == 0) {  // one run fills the block and goes on
      const uint16_t word = LoadWordAt(p, 0);
      const size_t r = RunLengthAvx2(in, n, i, word, 33);
      StorePairAt(out, m, word, r);
      m += 2;
      i += r;
      continue;
    }
    // The words and counts to keep: starts of literals and runs, counts of
    // runs only, nothing from where the block stops.
    const uint64_t keep = starts & (0x5555555555555555u | (runMask & 0xAAAAAAAAAAAAAAAAu)) &
                          (~uint64_t{0} >> (64 - 2 * blockWords));
    // 32 - (the lane of the first run end at or after each lane): suffix
    // maxima within the halves, carried from b's high half to its low half,
    // then into a's high half and on to a's low half.
    __m256i endB = SuffixMaxInHalves(_mm256_andnot_si256(intoNextB, toEndB));
    endB = _mm256_max_epi16(endB, HighFirstToLow(endB));
    __m256i endA = SuffixMaxInHalves(_mm256_andnot_si256(intoNextA, toEndA));
    endA = _mm256_max_epi16(endA, FirstToHigh(endB));
    endA = _mm256_max_epi16(endA, HighFirstToLow(endA));
    m = PackBlock(out, m, a, _mm256_sub_epi16(countBaseA, endA), static_cast<uint32_t>(keep));
    m = PackBlock(out, m, b, _mm256_sub_epi16(countBaseB, endB), static_cast<uint32_t>(keep >> 32));
    i += blockWords;
  }
  return CompressScalarFrom(in, n, i, out, m);
}

}  // namespace norvex::compression

#endif  // NORVEX_X86_KERNELS
