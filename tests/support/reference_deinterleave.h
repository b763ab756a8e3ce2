// reference_deinterleave.h: a band of print data taken apart into its 32
// image lines one byte at a time, as the layout reads: the oracle that the
// library's de-interleave kernels must match, and the plain loop that the
// benchmarks hold them against.
#pragma once

#include <cstdint>

namespace norvex::reference {

// Line t, bytes 2b and 2b + 1, are band bytes 64b + 2t + 1 and 64b + 2t;
// `lines` receives 32 lines of `lineBytes` bytes, line t at t * lineBytes.
void DeinterleaveBand(const uint8_t* band, uint8_t* lines, uint32_t lineBytes);

}  // namespace norvex::reference
