// band_deinterleave.h: turns one band of the device's print data back into
// its 32 image lines. A band is lineBytes / 2 blocks of 64 bytes; word t
// (little-endian) of block b is the 16 pixels of columns 16b..16b+15 of line
// t, and the image line holds that word high byte first. Taking a band apart
// is a transposition of 16-bit words (blocks x lines into lines x blocks)
// with a byte swap in each word, which vector registers do a tile of 8 x 8
// words at a time; the kernel is chosen at run time from what the processor
// has (printdata/cpu.h), with a plain portable one always there.
#pragma once

#include <cstdint>

namespace norvex {

// The lines of one band, and the bytes of one block (16 pixels of each line).
inline constexpr uint32_t kLinesPerBand = 32;
inline constexpr uint32_t kBytesPerBlock = 64;

enum class DeinterleaveKernel {
  kPortable,  // standard C++ only, any processor
  kSse2,      // x86 with SSE2: 16-byte tiles of 8 x 8 words
  kSsse3,     // x86 with SSSE3: the same, the byte swap one shuffle
  kAvx2,      // x86 with AVX2: two tiles a step
};

// Whether this build on this processor can run `kernel`.
bool DeinterleaveKernelAvailable(DeinterleaveKernel kernel);
// The fastest available kernel; DeinterleaveBand uses it.
DeinterleaveKernel BestDeinterleaveKernel();
// "portable", "sse2", "ssse3", "avx2".
const char* DeinterleaveKernelName(DeinterleaveKernel kernel);

// Writes the 32 image lines of `band` (32 * lineBytes bytes) to `lines`
// (32 * lineBytes bytes), line t at lines + t * lineBytes. `lineBytes` is a
// positive even number (the width in pixels / 8, the width a multiple of
// 16); the two buffers do not overlap; neither needs any alignment.
void DeinterleaveBand(const uint8_t* band, uint8_t* lines, uint32_t lineBytes);
// The same with a given kernel; one that is not available runs the
// portable kernel instead.
void DeinterleaveBandWith(DeinterleaveKernel kernel, const uint8_t* band, uint8_t* lines, uint32_t lineBytes);

}  // namespace norvex
