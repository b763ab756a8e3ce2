// reference_deinterleave.cpp: the plain byte-by-byte band de-interleave.
#include "reference_deinterleave.h"

#include <cstddef>

namespace norvex::reference {

void DeinterleaveBand(const uint8_t* band, uint8_t* lines, uint32_t lineBytes) {
  for (size_t t = 0; t < 32; ++t) {
    uint8_t* line = lines + t * lineBytes;
    for (size_t b = 0; b < lineBytes / 2; ++b) {
      line[2 * b] = band[64 * b + 2 * t + 1];
      line[2 * b + 1] = band[64 * b + 2 * t];
    }
  }
}

}  // namespace norvex::reference
