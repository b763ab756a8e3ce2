// para_transfer.h: reading, writing and saving a unit's parameter file, one
// mechanism for the three kinds of file (para_file_tables.h).
//
// Get and set first query the unit's header and size table into the record
// and test them (format word, section count, the chunk limit that the
// operation needs, each section's size); then the selected sections move in
// chunks of at most the unit's chunk limit (500 bytes a read, 496 a write).
// A set ends with a save of exactly the sections it wrote. Every exchange is
// its own locked transaction: a get or set is not atomic.
#pragma once

#include <cstdint>

#include "params/para_file_tables.h"
#include "protocol/device_link.h"

namespace norvex::params {

// Reads the sections selected by `mask` from the unit at `address` into
// `record` (kind.recordBytes bytes). Returns 0; NORVEX_ERR_PARA_FORMAT_WORD,
// NORVEX_ERR_PARA_SECTION_COUNT, NORVEX_ERR_PARA_CHUNK_LIMIT (a read chunk of
// 0 words) or kind.sizeErrorBase + section before any section is read; or the
// first failing exchange's result (earlier sections stay read). A null record:
// NORVEX_ERR_INVALID_ARGUMENT, nothing sent.
uint32_t GetParaFile(CDeviceLink& link, const ParaFileKind& kind, uint16_t address, void* record,
                     uint32_t mask);

// Writes the sections selected by `mask` that the kind writes, in the kind's
// order, then saves them. The header and size table of `record` are replaced
// by the unit's first; the errors are those of GetParaFile (the chunk-limit
// error for a write chunk of 0 words). A failed write ends the set without a
// save.
uint32_t SetParaFile(CDeviceLink& link, const ParaFileKind& kind, uint16_t address, void* record,
                     uint32_t mask);

// The save command with `mask` as it is.
uint32_t SaveParaFile(CDeviceLink& link, uint16_t address, uint32_t mask);

// The largest chunk in bytes for a unit offering `chunkWords` words: twice
// that, but at most `maxBytes`.
constexpr uint32_t ChunkLimit(uint16_t chunkWords, uint32_t maxBytes) {
  return 2u * chunkWords < maxBytes ? 2u * chunkWords : maxBytes;
}

// The position word of a chunk `byteOffset` bytes into section `section`.
constexpr uint16_t PositionWord(uint32_t byteOffset, uint32_t section) {
  return static_cast<uint16_t>(((byteOffset / 2) << 4) | (section & 0x0Fu));
}

}  // namespace norvex::params
