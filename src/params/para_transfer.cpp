// para_transfer.cpp: the parameter-file get, set and save (see
// para_transfer.h).
#include "params/para_transfer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/unit_exchange.h"

namespace norvex::params {
namespace {

// Which chunk limit of the header an operation moves sections with.
enum class Direction { kRead, kWrite };

// The sizes of one file's sections as the unit reported them.
struct SectionSizes {
  uint32_t words[16] = {};
};

// Queries the header and the size table into `record` and tests them. On
// success `sizes` holds the section sizes in words.
uint32_t HeaderAndSizeTest(CDeviceLink& link, const ParaFileKind& kind, uint16_t address, uint8_t* record,
                           Direction direction, SectionSizes& sizes) {
  uint32_t result = QueryState(link, address, kind.header.group, kind.header.item, record + kHeaderOffset,
                               kind.header.bytes);
  if (result != NORVEX_OK) return result;
  if (LoadWord(record + 0) != kind.formatWord) return NORVEX_ERR_PARA_FORMAT_WORD;
  if (LoadWord(record + 2) != kind.sectionCount) return NORVEX_ERR_PARA_SECTION_COUNT;
  // A chunk of 0 words would move nothing, again and again.
  const uint16_t chunkWords = LoadWord(record + (direction == Direction::kRead ? 4 : 6));
  if (chunkWords == 0) return NORVEX_ERR_PARA_CHUNK_LIMIT;

  result = QueryState(link, address, kind.sizeTable.group, kind.sizeTable.item, record + kSizeTableOffset,
                      kind.sizeTable.bytes);
  if (result != NORVEX_OK) return result;
  for (uint32_t i = 0; i < kind.sectionCount; ++i) {
    const SectionRow& row = kind.sections[i];
    const uint32_t words = LoadValue(record + kSizeTableOffset + 4 * i);
    const bool fits = row.expectedWords == kReportedSize ? words <= row.maxWords : words == row.expectedWords;
    if (!fits) return kind.sizeErrorBase + i;
    sizes.words[i] = words;
  }
  return NORVEX_OK;
}

// Reads section `section` of `length` bytes into `destination`, in chunks of
// at most `limit` bytes. Reply data comes in whole 32-bit units: a one-word
// section takes the unit's 4 bytes (the record keeps 2 reserved bytes after
// it); any other chunk that is not a whole number of 32-bit units is read
// with its padding into a buffer of its own, and only its bytes are kept.
uint32_t ReadSection(CDeviceLink& link, uint16_t address, uint32_t section, uint8_t* destination,
                     uint32_t length, uint32_t limit) {
  uint32_t offset = 0;
  while (offset < length) {
    const uint32_t chunk = std::min(length - offset, limit);
    uint8_t request[4];
    StoreWord(request, PositionWord(offset, section));
    StoreWord(request + 2, static_cast<uint16_t>(chunk / 2));
    const uint32_t replyLength = (chunk + 3u) & ~3u;
    if (length == 2 || replyLength == chunk) {
      const uint32_t result = RunCommand(link, address, kReadChunkCommand, 4, kReadChunkReply, replyLength,
                                         request, destination + offset);
      if (result != NORVEX_OK) return result;
      offset += replyLength;
    } else {
      uint8_t padded[kMaxReadBytes];
      const uint32_t result =
          RunCommand(link, address, kReadChunkCommand, 4, kReadChunkReply, replyLength, request, padded);
      if (result != NORVEX_OK) return result;
      std::memcpy(destination + offset, padded, chunk);
      offset += chunk;
    }
  }
  return NORVEX_OK;
}

// Writes section `section` of `length` bytes from `source`, in chunks of at
// most `limit` bytes; a one-word chunk goes out with a zero word after it
// (4 data bytes, the word count staying 1).
uint32_t WriteSection(CDeviceLink& link, uint16_t address, uint32_t section, const uint8_t* source,
                      uint32_t length, uint32_t limit) {
  if (length == 0) return NORVEX_OK;
  // Room for the position and count words and the largest chunk, a padded
  // one-word chunk included (4 data bytes even when the limit is 2).
  std::vector<uint8_t> buffer(std::max<uint32_t>(limit, 4) + 4);
  uint32_t offset = 0;
  while (offset < length) {
    const uint32_t chunk = std::min(length - offset, limit);
    StoreWord(buffer.data(), PositionWord(offset, section));
    StoreWord(buffer.data() + 2, static_cast<uint16_t>(chunk / 2));
    std::memcpy(buffer.data() + 4, source + offset, chunk);
    uint32_t dataBytes = chunk;
    if (chunk == 2) {
      StoreWord(buffer.data() + 6, 0);
      dataBytes = 4;
    }
    const uint32_t result = RunCommand(link, address, kWriteChunkCommand, 4 + dataBytes, CTP_REPLY_ACK, 0,
                                       buffer.data(), nullptr);
    if (result != NORVEX_OK) return result;
    // The next chunk starts after the section bytes sent, not after the
    // padding: with a limit of one word every word goes out.
    offset += chunk;
  }
  return NORVEX_OK;
}

}  // namespace

uint32_t GetParaFile(CDeviceLink& link, const ParaFileKind& kind, uint16_t address, void* record,
                     uint32_t mask) {
  if (record == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  auto* bytes = static_cast<uint8_t*>(record);
  SectionSizes sizes;
  const uint32_t tested = HeaderAndSizeTest(link, kind, address, bytes, Direction::kRead, sizes);
  if (tested != NORVEX_OK) return tested;

  const uint32_t limit = ChunkLimit(LoadWord(bytes + 4), kMaxReadBytes);
  for (uint32_t i = 0; i < kind.sectionCount; ++i) {
    const SectionRow& row = kind.sections[i];
    if ((mask & row.selectBits) == 0) continue;
    uint8_t* section = bytes + row.recordOffset;
    const uint32_t result = ReadSection(link, address, i, section, 2 * sizes.words[i], limit);
    if (result != NORVEX_OK) {
      if (row.clearFirstWordOnReadFailure) StoreWord(section, 0);
      return result;
    }
    if (row.secondWordDefault != 0 && LoadWord(section + 2) == 0)
      StoreWord(section + 2, row.secondWordDefault);
  }
  return NORVEX_OK;
}

uint32_t SetParaFile(CDeviceLink& link, const ParaFileKind& kind, uint16_t address, void* record,
                     uint32_t mask) {
  if (record == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  auto* bytes = static_cast<uint8_t*>(record);
  SectionSizes sizes;
  const uint32_t tested = HeaderAndSizeTest(link, kind, address, bytes, Direction::kWrite, sizes);
  if (tested != NORVEX_OK) return tested;

  const uint32_t limit = ChunkLimit(LoadWord(bytes + 6), kMaxWriteBytes);
  uint32_t saveMask = 0;
  for (size_t n = 0; n < kind.writeCount; ++n) {
    const uint8_t i = kind.writeOrder[n];
    const SectionRow& row = kind.sections[i];
    if ((mask & row.selectBits) == 0) continue;
    const uint32_t result =
        WriteSection(link, address, i, bytes + row.recordOffset, 2 * sizes.words[i], limit);
    if (result != NORVEX_OK) return result;
    saveMask |= row.saveBits;
  }
  return saveMask != 0 ? SaveParaFile(link, address, saveMask) : NORVEX_OK;
}

uint32_t SaveParaFile(CDeviceLink& link, uint16_t address, uint32_t mask) {
  const SelectorBytes bytes = LittleEndian32(mask);
  return RunCommand(link, address, kSaveCommand, 4, CTP_REPLY_ACK, 0, bytes.bytes, nullptr);
}

}  // namespace norvex::params
