// word_compression.h: the word run-length compression of print data. Runs
// of the words 0x0000 and 0xFFFF (sixteen clear or sixteen set pixels)
// become a value-and-count pair; every other word is copied as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvex {

// The longest run one pair describes.
inline constexpr uint32_t kMaxRunWords = 0xFFFF;

// The most output bytes that CompressWords can produce for `byteCount` input
// bytes: every lone 0x0000 or 0xFFFF word doubles.
inline uint64_t CompressedBound(uint64_t byteCount) { return (byteCount / 2) * 4; }

// Compresses the whole 16-bit little-endian words of `src` (`byteCount`
// bytes; a trailing odd byte is ignored) into `dst`, which must have room for
// CompressedBound(byteCount) bytes, and stores the output length in bytes in
// `outByteCount`. Allocates nothing, keeps no state between calls.
void CompressWords(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount);

// Norvex_CompressData: CompressWords of the host's buffers. Returns 0, or
// NORVEX_ERR_INVALID_ARGUMENT (nothing written) for a null pointer, even
// with 0 bytes to compress.
uint32_t CompressData(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount);

// The implementations behind CompressWords; all of them give the same bytes.
// CompressWords takes the fastest one that this build has and this processor
// runs (printdata/cpu.h); tests and benchmarks name one to check or measure it.
enum class CompressPath {
  kScalar,  // portable C++, any processor
  kSse2,    // x86 with SSE2
  kAvx2,    // x86 with AVX2 and POPCNT
};

// True when `path` is built in and this processor can run it.
bool CompressPathAvailable(CompressPath path);

// The path that CompressWords uses on this processor.
CompressPath FastestCompressPath();

// CompressWords through `path`; a path that is not available falls back to
// kScalar.
void CompressWordsWith(CompressPath path, void* dst, uint32_t* outByteCount, const void* src,
                       uint32_t byteCount);

// Turns a compressed stream back into the words it describes, appending
// their bytes to `out`. False (with `out` holding what was decoded before)
// when the stream is malformed: an odd length, a pair without its count, or a
// count of 0.
bool DecompressWords(const void* src, size_t byteCount, std::vector<uint8_t>& out);

}  // namespace norvex
