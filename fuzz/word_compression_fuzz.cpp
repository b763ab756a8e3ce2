// word_compression_fuzz.cpp: the decompressor on any stream a compressed
// print-data file can hold, and the compressor's round trip on any words.
// Decoding a valid stream, compressing what it gave and decoding again must
// give the same words; compressing any input must stay within
// CompressedBound, decode back to the input, and give the same bytes through
// every built-in path (portable, SSE2, AVX2).
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "printdata/word_compression.h"

namespace {

using norvex::CompressedBound;
using norvex::CompressPath;

// A pair can stand for 0xFFFF words; 256 input bytes expand to at most 8 MiB,
// which keeps one execution fast.
constexpr size_t kMaxStreamBytes = 256;

void CheckRoundTrip(const uint8_t* data, uint32_t size) {
  const uint32_t even = size & ~1u;
  std::unique_ptr<uint8_t[]> packed(new uint8_t[CompressedBound(even) + 2]);
  // A canary after the bound proves the compressor stays inside it.
  packed[CompressedBound(even)] = 0xA5;
  packed[CompressedBound(even) + 1] = 0x5A;
  uint32_t packedBytes = 0xFFFFFFFFu;
  norvex::CompressWords(packed.get(), &packedBytes, data, size);
  if (packedBytes > CompressedBound(even) || packedBytes % 2 != 0) __builtin_trap();
  if (packed[CompressedBound(even)] != 0xA5 || packed[CompressedBound(even) + 1] != 0x5A) __builtin_trap();
  std::vector<uint8_t> unpacked;
  if (!norvex::DecompressWords(packed.get(), packedBytes, unpacked)) __builtin_trap();
  if (unpacked.size() != even || (even != 0 && std::memcmp(unpacked.data(), data, even) != 0))
    __builtin_trap();

  // Every built-in path gives the same bytes, inside the same bound.
  for (CompressPath path : {CompressPath::kScalar, CompressPath::kSse2, CompressPath::kAvx2}) {
    if (!norvex::CompressPathAvailable(path)) continue;
    std::unique_ptr<uint8_t[]> other(new uint8_t[CompressedBound(even) + 2]);
    other[CompressedBound(even)] = 0xA5;
    other[CompressedBound(even) + 1] = 0x5A;
    uint32_t otherBytes = 0xFFFFFFFFu;
    norvex::CompressWordsWith(path, other.get(), &otherBytes, data, size);
    if (otherBytes != packedBytes || std::memcmp(other.get(), packed.get(), packedBytes) != 0)
      __builtin_trap();
    if (other[CompressedBound(even)] != 0xA5 || other[CompressedBound(even) + 1] != 0x5A) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as a compressed stream.
  const size_t streamBytes = size < kMaxStreamBytes ? size : kMaxStreamBytes;
  std::vector<uint8_t> words;
  const bool valid = norvex::DecompressWords(data, streamBytes, words);
  if (words.size() % 2 != 0) __builtin_trap();
  if (valid) {
    // A valid stream decodes to words that compress and decode back.
    if (!words.empty()) CheckRoundTrip(words.data(), static_cast<uint32_t>(words.size()));
    if (streamBytes % 2 != 0) __builtin_trap();  // odd streams are refused
  }
  // The input as words (an odd trailing byte is ignored).
  CheckRoundTrip(data, static_cast<uint32_t>(size));
  return 0;
}
