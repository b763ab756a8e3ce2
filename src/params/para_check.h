// para_check.h: the host-side checks that bring a copy of a parameter file
// into a consistent state before it is written back. They work on the
// caller's record only, make no exchange and take no lock; each returns the
// mask bits (para_file_tables.h) of the sections that it changed.
#pragma once

#include <cstdint>

namespace norvex::params {

// The single-precision number nearest to 1/31, the factor of the main unit's
// section 1 computation.
inline constexpr float kOneThirtyFirst = 1.0f / 31.0f;

// Bounds of the main unit's section 0 value at offset 172 when the caller
// gives no limits record.
inline constexpr uint32_t kDefaultLowerBound = 0;
inline constexpr uint32_t kDefaultUpperBound = 65536;
// Where a limits record keeps its bounds.
inline constexpr uint32_t kLimitsUpperOffset = 36;
inline constexpr uint32_t kLimitsLowerOffset = 40;

// The main unit's file (872 bytes at `record`): forces and clamps section 0,
// recomputes section 1 from section 0's word 2, repairs sections 2 to 5.
// `limits` (or null) gives the bounds of section 0's value at offset 172.
// A divisor (section 0 offset 136) of 0 counts as one that does not divide
// 20000 and becomes 50. A null record: 0.
uint32_t CheckMainUnitParaFile(uint8_t* record, const uint8_t* limits);

// The laser head board's file (116 bytes): forces sections 0 and 3's fixed
// values, clamps sections 1 and 2. A null record: 0.
uint32_t CheckLaserHeadParaFile(uint8_t* record);

// The section 1 nibble i (0..31) computed from section 0's word 2.
uint8_t SectionOneNibble(uint16_t word, uint32_t i);

}  // namespace norvex::params
