// para_file_tables.h: the three kinds of parameter file (main unit, laser
// head board, HS board) as tables: the state records of its header and size
// table (the unit's rows of norvex_records.h), the format word and section
// count it must report, and per section the record offset, the expected
// size, the mask bits and whether a set writes it. The transfer
// (para_transfer.h) is one mechanism driven by these tables. The record
// layouts of norvex.h and the two state records are checked against them at
// compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "boards/hs_board_table.h"
#include "boards/laser_head_table.h"
#include "mainunit/main_unit_states.h"
#include "norvex.h"
#include "protocol/frame.h"

namespace norvex::params {

// Command words of the parameter-file exchanges.
inline constexpr uint16_t kReadChunkCommand = 0xC080;
inline constexpr uint16_t kReadChunkReply = 0xC081;
inline constexpr uint16_t kWriteChunkCommand = 0xC082;
inline constexpr uint16_t kSaveCommand = 0xC0EE;

// The most bytes one read reply and one write frame carry, whatever larger
// chunks the unit's header offers.
inline constexpr uint32_t kMaxReadBytes = 500;
inline constexpr uint32_t kMaxWriteBytes = 496;

// A little-endian 32-bit value of a record.
inline uint32_t LoadValue(const uint8_t* p) {
  return static_cast<uint32_t>(LoadWord(p)) | (static_cast<uint32_t>(LoadWord(p + 2)) << 16);
}
inline void StoreValue(uint8_t* p, uint32_t value) {
  StoreWord(p, static_cast<uint16_t>(value & 0xFFFFu));
  StoreWord(p + 2, static_cast<uint16_t>(value >> 16));
}

// The expected size of a section whose size is taken as the unit reports it
// (bounded by SectionRow::maxWords).
inline constexpr uint32_t kReportedSize = 0xFFFFFFFFu;

struct SectionRow {
  uint32_t recordOffset;
  uint32_t expectedWords;  // kReportedSize: as the unit says, up to maxWords
  uint32_t maxWords;       // the room the record has for the section
  // Bits of the caller's mask that select the section; any one of them does.
  uint32_t selectBits;
  // The bits that name the section in a save mask once it was written.
  uint32_t saveBits;
  // Main unit, section 3: after a failed read its first word becomes 0; after
  // a successful one a second word of 0 becomes secondWordDefault (0: no rule).
  bool clearFirstWordOnReadFailure;
  uint16_t secondWordDefault;
};

// A state record of a unit: its selector and size.
struct RecordQuery {
  uint16_t group;
  uint16_t item;
  uint32_t bytes;
};
template <typename Id>
constexpr RecordQuery QueryOf(const StateRow<Id>& row) {
  return {row.group, row.item, row.length};
}

struct ParaFileKind {
  const char* name;
  RecordQuery header;     // the header's state record (a ParaFileHeader)
  RecordQuery sizeTable;  // the size table's: a 32-bit word count a section
  uint16_t formatWord;
  uint16_t sectionCount;
  uint32_t sizeErrorBase;
  uint32_t recordBytes;  // with section 6 of an HS board file at its largest
  const SectionRow* sections;
  const uint8_t* writeOrder;  // the sections a set writes, in order; it writes no other
  size_t writeCount;
};

// Offsets shared by every record.
inline constexpr uint32_t kHeaderOffset = 0;
inline constexpr uint32_t kSizeTableOffset = 8;

// ---- Main unit ----------------------------------------------------------------
inline constexpr uint32_t kMainSections34Bits = 0x000A0000u;

// clang-format off
inline constexpr SectionRow kMainUnitSections[] = {
    // offset words maxWords select            save                 clear1st default2nd
    {44,   136, 136, 0x80000000u,         0x80000000u, false, 0},
    {316,  8,   8,   0x08000000u,         0x08000000u, false, 0},
    {332,  1,   2,   0x20000000u,         0x20000000u, false, 0},
    {336,  2,   2,   kMainSections34Bits, kMainSections34Bits, true, 2400},
    {340,  256, 256, kMainSections34Bits, kMainSections34Bits, false, 0},
    {852,  4,   4,   0x02000000u,         0x02000000u, false, 0},
    {860,  1,   2,   0x00008000u,         0x00008000u, false, 0},
    {864,  2,   2,   0x00800000u,         0x00800000u, false, 0},
    {868,  2,   2,   0x00200000u,         0x00200000u, false, 0},
};
// Section 4 before section 3.
inline constexpr uint8_t kMainUnitWriteOrder[] = {0, 1, 2, 4, 3, 5};

// ---- Laser head board ---------------------------------------------------------
inline constexpr SectionRow kLaserHeadSections[] = {
    {28,  14, 14, 0x01, 0x01, false, 0},
    {56,  4,  4,  0x02, 0x02, false, 0},
    {64,  12, 12, 0x04, 0x04, false, 0},
    {88,  12, 12, 0x08, 0x08, false, 0},
    {112, 2,  2,  0x10, 0x10, false, 0},
};
inline constexpr uint8_t kLaserHeadWriteOrder[] = {0, 1, 2, 3};

// ---- HS board -----------------------------------------------------------------
inline constexpr SectionRow kHsBoardSections[] = {
    {36,   454, 454, 0x01, 0x01, false, 0},
    {944,  32,  32,  0x02, 0x02, false, 0},
    {1008, 40,  40,  0x04, 0x04, false, 0},
    {1088, 2,   2,   0x08, 0x08, false, 0},
    {1092, 2,   2,   0x10, 0x10, false, 0},
    {1096, 454, 454, 0x20, 0x20, false, 0},
    {2004, kReportedSize, NORVEX_HS_PARA_SECTION6_MAX_WORDS, 0x40, 0x40, false, 0},
};
inline constexpr uint8_t kHsBoardWriteOrder[] = {0, 1, 2, 5, 6};

inline constexpr ParaFileKind kMainUnitFile = {
    "main unit",
    QueryOf(RowOf(mainunit::kStates, mainunit::State::kParaFileHeader)),
    QueryOf(RowOf(mainunit::kStates, mainunit::State::kParaFileSizeTable)),
    0x0202, 9, NORVEX_ERR_PARA_SIZE_MAIN_UNIT, sizeof(MainUnitParaFile),
    kMainUnitSections, kMainUnitWriteOrder, sizeof(kMainUnitWriteOrder)};
inline constexpr ParaFileKind kLaserHeadFile = {
    "laser head",
    QueryOf(RowOf(laserhead::kStates, laserhead::State::kParaFileHeader)),
    QueryOf(RowOf(laserhead::kStates, laserhead::State::kParaFileSizeTable)),
    0x0302, 5, NORVEX_ERR_PARA_SIZE_LASER_HEAD, sizeof(LaserHeadParaFile),
    kLaserHeadSections, kLaserHeadWriteOrder, sizeof(kLaserHeadWriteOrder)};
inline constexpr ParaFileKind kHsBoardFile = {
    "HS board",
    QueryOf(RowOf(hsboard::kStates, hsboard::State::kParaFileHeader)),
    QueryOf(RowOf(hsboard::kStates, hsboard::State::kParaFileSizeTable)),
    0x0302, 7, NORVEX_ERR_PARA_SIZE_HS_BOARD, sizeof(HsBoardParaFile),
    kHsBoardSections, kHsBoardWriteOrder, sizeof(kHsBoardWriteOrder)};
// clang-format on

static_assert(std::size(kMainUnitSections) == 9 && std::size(kLaserHeadSections) == 5 &&
                  std::size(kHsBoardSections) == 7,
              "one row per section");

// ---- The records of norvex.h agree with the tables ----------------------------
// Only fixed-width fields, so these hold on 32-bit hosts as well.
static_assert(sizeof(ParaFileHeader) == 8, "ParaFileHeader is 8 bytes");
static_assert(offsetof(ParaFileHeader, formatWord) == 0 && offsetof(ParaFileHeader, sectionCount) == 2 &&
                  offsetof(ParaFileHeader, readChunkWords) == 4 &&
                  offsetof(ParaFileHeader, writeChunkWords) == 6,
              "ParaFileHeader words");

// The header and size-table records of norvex_records.h fit the record: a
// ParaFileHeader, then one word count a section up to the first section.
constexpr bool RecordsFit(const ParaFileKind& kind) {
  return kind.header.bytes == sizeof(ParaFileHeader) && kind.sizeTable.bytes == 4u * kind.sectionCount &&
         kSizeTableOffset == kHeaderOffset + kind.header.bytes &&
         kSizeTableOffset + kind.sizeTable.bytes == kind.sections[0].recordOffset;
}
static_assert(RecordsFit(kMainUnitFile), "the main unit's header and size-table records");
static_assert(RecordsFit(kLaserHeadFile), "the laser head board's header and size-table records");
static_assert(RecordsFit(kHsBoardFile), "the HS board's header and size-table records");

// The end of section `i` of a table (offset + room for its words).
constexpr uint32_t SectionEnd(const SectionRow* rows, size_t i) {
  return rows[i].recordOffset + 2 * rows[i].maxWords;
}

static_assert(sizeof(MainUnitParaFile) == 872, "MainUnitParaFile is 872 bytes");
static_assert(offsetof(MainUnitParaFile, sectionWords) == kSizeTableOffset, "main unit size table");
static_assert(offsetof(MainUnitParaFile, section0) == kMainUnitSections[0].recordOffset, "main unit s0");
static_assert(offsetof(MainUnitParaFile, section1) == kMainUnitSections[1].recordOffset, "main unit s1");
static_assert(offsetof(MainUnitParaFile, section2) == kMainUnitSections[2].recordOffset, "main unit s2");
static_assert(offsetof(MainUnitParaFile, section3) == kMainUnitSections[3].recordOffset, "main unit s3");
static_assert(offsetof(MainUnitParaFile, section4) == kMainUnitSections[4].recordOffset, "main unit s4");
static_assert(offsetof(MainUnitParaFile, section5) == kMainUnitSections[5].recordOffset, "main unit s5");
static_assert(offsetof(MainUnitParaFile, section6) == kMainUnitSections[6].recordOffset, "main unit s6");
static_assert(offsetof(MainUnitParaFile, section7) == kMainUnitSections[7].recordOffset, "main unit s7");
static_assert(offsetof(MainUnitParaFile, section8) == kMainUnitSections[8].recordOffset, "main unit s8");
static_assert(SectionEnd(kMainUnitSections, 8) == sizeof(MainUnitParaFile), "main unit ends with s8");

static_assert(sizeof(LaserHeadParaFile) == 116, "LaserHeadParaFile is 116 bytes");
static_assert(offsetof(LaserHeadParaFile, sectionWords) == kSizeTableOffset, "laser head size table");
static_assert(offsetof(LaserHeadParaFile, section0) == kLaserHeadSections[0].recordOffset, "laser head s0");
static_assert(offsetof(LaserHeadParaFile, section1) == kLaserHeadSections[1].recordOffset, "laser head s1");
static_assert(offsetof(LaserHeadParaFile, section2) == kLaserHeadSections[2].recordOffset, "laser head s2");
static_assert(offsetof(LaserHeadParaFile, section3) == kLaserHeadSections[3].recordOffset, "laser head s3");
static_assert(offsetof(LaserHeadParaFile, section4) == kLaserHeadSections[4].recordOffset, "laser head s4");
static_assert(SectionEnd(kLaserHeadSections, 4) == sizeof(LaserHeadParaFile), "laser head ends with s4");

static_assert(sizeof(HsBoardParaFile) == 2004 + 2 * NORVEX_HS_PARA_SECTION6_MAX_WORDS,
              "HsBoardParaFile is 2004 bytes and the largest section 6");
static_assert(offsetof(HsBoardParaFile, sectionWords) == kSizeTableOffset, "HS board size table");
static_assert(offsetof(HsBoardParaFile, section0) == kHsBoardSections[0].recordOffset, "HS board s0");
static_assert(offsetof(HsBoardParaFile, section1) == kHsBoardSections[1].recordOffset, "HS board s1");
static_assert(offsetof(HsBoardParaFile, section2) == kHsBoardSections[2].recordOffset, "HS board s2");
static_assert(offsetof(HsBoardParaFile, section3) == kHsBoardSections[3].recordOffset, "HS board s3");
static_assert(offsetof(HsBoardParaFile, section4) == kHsBoardSections[4].recordOffset, "HS board s4");
static_assert(offsetof(HsBoardParaFile, section5) == kHsBoardSections[5].recordOffset, "HS board s5");
static_assert(offsetof(HsBoardParaFile, section6) == kHsBoardSections[6].recordOffset, "HS board s6");
static_assert(SectionEnd(kHsBoardSections, 6) == sizeof(HsBoardParaFile), "HS board ends with s6");
// A one-word section 6 is read with its 2 padding bytes: the bound leaves room.
static_assert(NORVEX_HS_PARA_SECTION6_MAX_WORDS >= 2, "room for a padded one-word section 6");

}  // namespace norvex::params
