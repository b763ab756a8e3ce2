// reference_compress.h: the word run-length compression as a plain loop, one
// word at a time: the oracle that the library's fast paths must match byte for
// byte, and the baseline that the benchmarks hold them against.
#pragma once

#include <cstdint>

namespace norvex::reference {

// Same contract as norvex::CompressWords: writes at most
// CompressedBound(byteCount) bytes to `dst` and their count to `outByteCount`.
void CompressWords(void* dst, uint32_t* outByteCount, const void* src, uint32_t byteCount);

}  // namespace norvex::reference
