// word_compression_kernels.h: the compression loops behind CompressWords,
// shared by word_compression.cpp (the portable loop and the choice of path)
// and word_compression_x86.cpp (the SSE2 and AVX2 loops).
//
// Every loop works in whole words: `n` input words at `in`, output words at
// `out`, whose room is 2 * n words (CompressedBound). A loop returns the
// number of output words. Positions are counted in words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "printdata/word_compression.h"

// SSE2 is part of x86-64; a 32-bit x86 build has it only when the compiler
// was told so (-msse2), since a 32-bit Windows host may lack it.
#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#define NORVEX_COMPRESS_SSE2 1
#else
#define NORVEX_COMPRESS_SSE2 0
#endif

// The AVX2 loop (x86-64 only) is compiled with a target attribute and chosen
// after a processor check. Not in Windows builds: GCC for 64-bit Windows may
// spill 32-byte vectors to stack slots that the Windows stack keeps only
// 16-byte aligned (GCC bug 54412).
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define NORVEX_COMPRESS_AVX2 1
#else
#define NORVEX_COMPRESS_AVX2 0
#endif

namespace norvex::compression {

inline constexpr size_t kMaxRun = kMaxRunWords;

inline bool IsRunWord(uint16_t word) { return word == 0x0000 || word == 0xFFFF; }

// The portable loop from input word `i` (where a literal or a run starts)
// to the end, appending after output word `m`; returns the new output count.
// The vector loops finish their last few words with it.
size_t CompressScalarFrom(const uint8_t* in, size_t n, size_t i, uint8_t* out, size_t m);

#if NORVEX_COMPRESS_SSE2
size_t CompressSse2(const uint8_t* in, size_t n, uint8_t* out);
#endif
#if NORVEX_COMPRESS_AVX2
size_t CompressAvx2(const uint8_t* in, size_t n, uint8_t* out);
// The processor runs CompressAvx2: AVX2 and POPCNT present, and the
// operating system saves the 256-bit registers.
bool CpuHasAvx2();
#endif

}  // namespace norvex::compression
