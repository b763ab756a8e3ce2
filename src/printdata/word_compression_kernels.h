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

#include "printdata/cpu.h"
#include "printdata/word_compression.h"

namespace norvex::compression {

inline constexpr size_t kMaxRun = kMaxRunWords;

inline bool IsRunWord(uint16_t word) { return word == 0x0000 || word == 0xFFFF; }

// The portable loop from input word `i` (where a literal or a run starts)
// to the end, appending after output word `m`; returns the new output count.
// The vector loops finish their last few words with it.
size_t CompressScalarFrom(const uint8_t* in, size_t n, size_t i, uint8_t* out, size_t m);

// The vector loops, on x86 (32 and 64 bits), each compiled for its own
// instruction set and run only where the processor has it (printdata/cpu.h).
#if NORVEX_X86_KERNELS
// For a processor with SSE2 (cpu::Level::kSse2).
size_t CompressSse2(const uint8_t* in, size_t n, uint8_t* out);
// For a processor with AVX2 and POPCNT (cpu::Level::kAvx2).
size_t CompressAvx2(const uint8_t* in, size_t n, uint8_t* out);
#endif

}  // namespace norvex::compression
