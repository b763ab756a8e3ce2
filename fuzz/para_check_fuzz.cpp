// para_check_fuzz.cpp: the parameter-file checks (NV_CheckParaFile,
// LH_CheckParaFile) on any record a host can hand in, with or without a
// limits record. Each check must stay inside its record (the records are
// heap blocks of their exact size), change only the sections it repairs,
// report exactly the sections it changed, and leave a record that a second
// check does not change.
//
// Input: 1 byte of choice (bit 0: laser head, else main unit; bit 1: with a
// limits record), then the record's bytes (zero-padded), then the limits.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "params/para_check.h"
#include "params/para_file_tables.h"

namespace {

namespace params = norvex::params;

constexpr size_t kMainUnitBytes = 872;
constexpr size_t kLaserHeadBytes = 116;
constexpr size_t kLimitsBytes = 44;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The mask of the rows whose bytes differ between `before` and `after`; also
// checks that every byte outside `rows` is unchanged.
template <size_t N>
uint32_t ChangedRows(const params::SectionRow (&rows)[N], size_t repaired, const uint8_t* before,
                     const uint8_t* after, size_t recordBytes) {
  std::vector<bool> covered(recordBytes, false);
  uint32_t mask = 0;
  for (size_t i = 0; i < repaired; ++i) {
    const size_t from = rows[i].recordOffset;
    const size_t bytes = 2 * static_cast<size_t>(rows[i].maxWords);
    for (size_t b = from; b < from + bytes && b < recordBytes; ++b) covered[b] = true;
    if (std::memcmp(before + from, after + from, bytes) != 0) mask |= rows[i].saveBits;
  }
  for (size_t b = 0; b < recordBytes; ++b) {
    if (!covered[b]) Check(before[b] == after[b]);
  }
  return mask;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool laserHead = (data[0] & 1) != 0;
  const bool withLimits = (data[0] & 2) != 0;
  ++data;
  --size;
  const size_t recordBytes = laserHead ? kLaserHeadBytes : kMainUnitBytes;
  // Exact-size heap blocks, so that a read or write past the end is caught.
  std::unique_ptr<uint8_t[]> record(new uint8_t[recordBytes]());
  std::memcpy(record.get(), data, size < recordBytes ? size : recordBytes);
  std::unique_ptr<uint8_t[]> limits;
  if (withLimits) {
    limits.reset(new uint8_t[kLimitsBytes]());
    if (size > recordBytes) {
      const size_t rest = size - recordBytes;
      std::memcpy(limits.get(), data + recordBytes, rest < kLimitsBytes ? rest : kLimitsBytes);
    }
  }
  const std::vector<uint8_t> before(record.get(), record.get() + recordBytes);

  uint32_t changed = 0;
  uint32_t expected = 0;
  if (laserHead) {
    changed = params::CheckLaserHeadParaFile(record.get());
    // Sections 0 to 3 are repaired; section 4 (read only), the header and
    // the size table stay as they were.
    expected = ChangedRows(params::kLaserHeadSections, 4, before.data(), record.get(), recordBytes);
    Check((changed & ~0x0Fu) == 0);
  } else {
    changed = params::CheckMainUnitParaFile(record.get(), limits.get());
    // Sections 0 to 5 are repaired; 6 to 8 (read only) are not.
    expected = ChangedRows(params::kMainUnitSections, 6, before.data(), record.get(), recordBytes);
  }
  Check(changed == expected);

  // A checked record passes a second check unchanged.
  const std::vector<uint8_t> once(record.get(), record.get() + recordBytes);
  const uint32_t again = laserHead ? params::CheckLaserHeadParaFile(record.get())
                                   : params::CheckMainUnitParaFile(record.get(), limits.get());
  Check(again == 0);
  Check(std::memcmp(once.data(), record.get(), recordBytes) == 0);
  return 0;
}
