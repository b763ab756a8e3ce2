// para_check_test.cpp: the main-unit and laser head parameter-file checks,
// rule by rule on records built here: every repaired field, the fields left
// alone, and the returned mask of changed sections.
#include "params/para_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "norvex.h"

namespace norvex::params {
namespace {

using Bytes = std::vector<uint8_t>;

// A field of a record: absolute byte offset, width 2 or 4, value.
struct Field {
  uint32_t offset;
  int width;
  uint32_t value;
};

void Put(Bytes& record, const Field& f) {
  for (int i = 0; i < f.width; ++i)
    record[f.offset + static_cast<uint32_t>(i)] = static_cast<uint8_t>(f.value >> (8 * i));
}

uint32_t Get(const Bytes& record, uint32_t offset, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i)
    value |= static_cast<uint32_t>(record[offset + static_cast<uint32_t>(i)]) << (8 * i);
  return value;
}

// ---- Main unit ----------------------------------------------------------------
constexpr uint32_t S0 = 44;   // section 0
constexpr uint32_t S1 = 316;  // section 1
constexpr uint32_t S2 = 332;
constexpr uint32_t S3 = 336;
constexpr uint32_t S4 = 340;
constexpr uint32_t S5 = 852;

constexpr uint32_t kS0 = 0x80000000u, kS1 = 0x08000000u, kS2 = 0x20000000u, kS34 = 0x000A0000u,
                   kS5 = 0x02000000u;

// A main-unit record that the check leaves as it is.
Bytes ConsistentMainUnit() {
  Bytes r(sizeof(MainUnitParaFile), 0);
  for (const Field& f : std::vector<Field>{{S0 + 6, 2, 4800},
                                           {S0 + 8, 2, 4800},
                                           {S0 + 34, 2, 30},
                                           {S0 + 64, 4, 0x20C50000u},
                                           {S0 + 68, 4, 0x6D3A0000u},
                                           {S0 + 92, 4, 50000},
                                           {S0 + 136, 2, 50},
                                           {S0 + 138, 2, 10},
                                           {S0 + 172, 4, 1000},
                                           {S0 + 176, 4, 13000},
                                           {S0 + 180, 4, 60000},
                                           {S0 + 198, 2, 2457},
                                           {S0 + 204, 4, 10000},
                                           {S3 + 2, 2, 2400},
                                           {S5, 4, 0xFFFFFFFFu},
                                           {S5 + 4, 4, 0x0038F800u},
                                           // Fields the check does not govern.
                                           {S0 + 10, 2, 0x1234},
                                           {S0 + 100, 4, 0xCAFEF00Du},
                                           {S4 + 4 * 64, 4, 0x77777777u}}) {
    Put(r, f);
  }
  return r;
}

struct MainCase {
  const char* name;
  std::vector<Field> set;
  std::vector<Field> expect;
  uint32_t mask;
  bool withLimits = false;
  uint32_t lower = 0;
  uint32_t upper = 0;
};

const std::vector<MainCase>& MainCases() {
  static const std::vector<MainCase> cases = {
      {"consistent record", {}, {{S0 + 10, 2, 0x1234}}, 0},
      {"s0 word 0 keeps only bit 3", {{S0, 2, 0xFFFF}}, {{S0, 2, 0x0008}}, kS0},
      {"s0 word 0 bit 3 stays", {{S0, 2, 0x0008}}, {{S0, 2, 0x0008}}, 0},
      {"s0 word 2 forced to 0", {{S0 + 2, 2, 5}}, {{S0 + 2, 2, 0}}, kS0},
      {"s0 word 6 forced to 4800", {{S0 + 6, 2, 1}}, {{S0 + 6, 2, 4800}}, kS0},
      {"s0 word 8 forced to 4800", {{S0 + 8, 2, 0}}, {{S0 + 8, 2, 4800}}, kS0},
      {"s0 value 12 forced to 0", {{S0 + 12, 4, 7}}, {{S0 + 12, 4, 0}}, kS0},
      {"s0 word 34 forced to 30", {{S0 + 34, 2, 31}}, {{S0 + 34, 2, 30}}, kS0},
      {"s0 value 64", {{S0 + 64, 4, 1}}, {{S0 + 64, 4, 0x20C50000u}}, kS0},
      {"s0 value 68", {{S0 + 68, 4, 1}}, {{S0 + 68, 4, 0x6D3A0000u}}, kS0},
      {"s0 value 92 = 10000 stays", {{S0 + 92, 4, 10000}}, {{S0 + 92, 4, 10000}}, 0},
      {"s0 value 92 = 70000 stays", {{S0 + 92, 4, 70000}}, {{S0 + 92, 4, 70000}}, 0},
      {"s0 value 92 = 9999", {{S0 + 92, 4, 9999}}, {{S0 + 92, 4, 50000}}, kS0},
      {"s0 value 92 = 70001", {{S0 + 92, 4, 70001}}, {{S0 + 92, 4, 50000}}, kS0},
      {"s0 value 92 negative", {{S0 + 92, 4, 0xFFFFFFFFu}}, {{S0 + 92, 4, 50000}}, kS0},
      {"divisor 30 becomes 50", {{S0 + 136, 2, 30}}, {{S0 + 136, 2, 50}, {S0 + 138, 2, 10}}, kS0},
      {"divisor 40 stays", {{S0 + 136, 2, 40}}, {{S0 + 136, 2, 40}}, 0},
      {"divisor 0 becomes 50",
       {{S0 + 136, 2, 0}, {S0 + 138, 2, 0}},
       {{S0 + 136, 2, 50}, {S0 + 138, 2, 0}},
       kS0},
      {"phase 50 after divisor 30 becomes 0",
       {{S0 + 136, 2, 30}, {S0 + 138, 2, 50}},
       {{S0 + 136, 2, 50}, {S0 + 138, 2, 0}},
       kS0},
      {"phase 39 with divisor 40 stays", {{S0 + 136, 2, 40}, {S0 + 138, 2, 39}}, {{S0 + 138, 2, 39}}, 0},
      {"phase 40 with divisor 40 becomes 0", {{S0 + 136, 2, 40}, {S0 + 138, 2, 40}}, {{S0 + 138, 2, 0}}, kS0},
      {"s0 values 156..171", {{S0 + 156, 4, 1}, {S0 + 168, 4, 2}}, {{S0 + 156, 4, 0}, {S0 + 168, 4, 0}}, kS0},
      {"value 172 above 65536 without limits", {{S0 + 172, 4, 70000}}, {{S0 + 172, 4, 32768}}, kS0},
      {"value 172 = 65536 stays", {{S0 + 172, 4, 65536}}, {{S0 + 172, 4, 65536}}, 0},
      {"value 172 below the lower limit", {{S0 + 172, 4, 100}}, {{S0 + 172, 4, 600}}, kS0, true, 200, 1000},
      {"value 172 above the upper limit", {{S0 + 172, 4, 1001}}, {{S0 + 172, 4, 600}}, kS0, true, 200, 1000},
      {"value 172 at the lower limit", {{S0 + 172, 4, 200}}, {{S0 + 172, 4, 200}}, 0, true, 200, 1000},
      {"limits summed in 32 bits",
       {{S0 + 172, 4, 5}},
       {{S0 + 172, 4, 0x7FFFFFF7u}},
       kS0,
       true,
       0xFFFFFFF0u,
       0xFFFFFFFFu},
      {"s0 value 176", {{S0 + 176, 4, 0}}, {{S0 + 176, 4, 13000}}, kS0},
      {"s0 value 180", {{S0 + 180, 4, 0}}, {{S0 + 180, 4, 60000}}, kS0},
      {"s0 values 184..195", {{S0 + 184, 4, 1}, {S0 + 192, 4, 1}}, {{S0 + 184, 4, 0}, {S0 + 192, 4, 0}}, kS0},
      {"s0 word 198", {{S0 + 198, 2, 0}}, {{S0 + 198, 2, 2457}}, kS0},
      {"s0 value 204", {{S0 + 204, 4, 0}}, {{S0 + 204, 4, 10000}}, kS0},
      {"s0 values 208..219", {{S0 + 208, 4, 9}, {S0 + 216, 4, 9}}, {{S0 + 208, 4, 0}, {S0 + 216, 4, 0}}, kS0},
      {"s0 value 224", {{S0 + 224, 4, 9}}, {{S0 + 224, 4, 0}}, kS0},
      {"s0 value 248", {{S0 + 248, 4, 9}}, {{S0 + 248, 4, 0}}, kS0},
      {"ungoverned s0 bytes",
       {{S0 + 220, 4, 0x12345678u}, {S0 + 252, 4, 1}},
       {{S0 + 220, 4, 0x12345678u}, {S0 + 252, 4, 1}},
       0},
      // Section 1 from section 0's word 2 (record word at s0 + 4).
      {"s1 from 0x0010",
       {{S0 + 4, 2, 0x0010}},
       {{S1, 4, 0x22111100u}, {S1 + 4, 4, 0x44333322u}, {S1 + 8, 4, 0x66555544u}, {S1 + 12, 4, 0x00777766u}},
       kS1},
      {"s1 from 0x8010 descending",
       {{S0 + 4, 2, 0x8010}},
       {{S1, 4, 0x66777700u}, {S1 + 4, 4, 0x44555566u}, {S1 + 8, 4, 0x22333344u}, {S1 + 12, 4, 0x00111122u}},
       kS1},
      {"s1 from 0x001F, single-precision 1/31",
       {{S0 + 4, 2, 0x001F}},
       {{S1, 4, 0x33221100u}, {S1 + 4, 4, 0x77665544u}, {S1 + 8, 4, 0x33221100u}, {S1 + 12, 4, 0x77665544u}},
       kS1},
      {"s1 from 0 is all zeros", {{S1, 4, 0x11111111u}}, {{S1, 4, 0}}, kS1},
      {"s1 already right",
       {{S0 + 4, 2, 0x0010},
        {S1, 4, 0x22111100u},
        {S1 + 4, 4, 0x44333322u},
        {S1 + 8, 4, 0x66555544u},
        {S1 + 12, 4, 0x00777766u}},
       {{S1, 4, 0x22111100u}},
       0},
      // Section 2 as one 32-bit value with its reserved bytes.
      {"s2 bits 3..5 cleared", {{S2, 4, 0x49}}, {{S2, 4, 0x41}}, kS2},
      {"s2 valid bits stay", {{S2, 4, 0x47}}, {{S2, 4, 0x47}}, 0},
      {"s2 bits from 7 up cleared", {{S2, 4, 0x00010001u}}, {{S2, 4, 0x01}}, kS2},
      {"s2 bit 7", {{S2, 4, 0x80}}, {{S2, 4, 0}}, kS2},
      // Sections 3 and 4 (divisor 50, phase 10 in the consistent record).
      {"s3 value 0 becomes 2400", {{S3 + 2, 2, 0}}, {{S3 + 2, 2, 2400}}, kS34},
      {"s3 count 33 becomes 0, entries untouched",
       {{S3, 2, 33}, {S4 + 4, 4, 33}},
       {{S3, 2, 0}, {S4 + 4, 4, 33}},
       kS34},
      {"entry values raised to multiples of 32",
       {{S3, 2, 1}, {S4 + 4, 4, 33}, {S4 + 8, 4, 64}, {S4 + 12, 2, 10}, {S4 + 14, 2, 60}},
       {{S4 + 4, 4, 64}, {S4 + 8, 4, 64}},
       kS34},
      {"entry raise wraps in 32 bits",
       {{S3, 2, 1}, {S4 + 4, 4, 0xFFFFFFF1u}, {S4 + 12, 2, 10}, {S4 + 14, 2, 10}},
       {{S4 + 4, 4, 0}},
       kS34},
      {"entry words to the phase",
       {{S3, 2, 2}, {S4 + 12, 2, 125}, {S4 + 14, 2, 110}, {S4 + 16 + 12, 2, 65535}, {S4 + 16 + 14, 2, 10}},
       {{S4 + 12, 2, 110}, {S4 + 14, 2, 110}, {S4 + 16 + 12, 2, 65510}, {S4 + 16 + 14, 2, 10}},
       kS34},
      // 65549 does not fit 16 bits (kept to 16 bits it would be 13, not at the
      // phase): the word at the phase one divisor lower.
      {"entry word stays within 16 bits",
       {{S0 + 138, 2, 49}, {S3, 2, 1}, {S4 + 12, 2, 65535}, {S4 + 14, 2, 49}},
       {{S4 + 12, 2, 65499}, {S4 + 14, 2, 49}},
       kS34},
      {"entry word 65530 with phase 49",
       {{S0 + 138, 2, 49}, {S3, 2, 1}, {S4 + 12, 2, 65530}, {S4 + 14, 2, 49}},
       {{S4 + 12, 2, 65499}},
       kS34},
      {"entry words after a repaired divisor",
       {{S0 + 136, 2, 0}, {S0 + 138, 2, 0}, {S3, 2, 1}, {S4 + 12, 2, 75}, {S4 + 14, 2, 100}},
       {{S4 + 12, 2, 50}, {S4 + 14, 2, 100}},
       kS0 | kS34},
      {"entries from n on untouched",
       {{S3, 2, 1}, {S4 + 12, 2, 10}, {S4 + 14, 2, 10}, {S4 + 16 + 4, 4, 1}, {S4 + 16 + 12, 2, 3}},
       {{S4 + 16 + 4, 4, 1}, {S4 + 16 + 12, 2, 3}},
       0},
      {"s5 fixed content", {{S5 + 6, 2, 0}}, {{S5, 4, 0xFFFFFFFFu}, {S5 + 4, 4, 0x0038F800u}}, kS5},
      {"several sections", {{S0 + 2, 2, 1}, {S5, 2, 0}}, {{S0 + 2, 2, 0}, {S5, 2, 0xFFFF}}, kS0 | kS5},
      {"sections 6 to 8, header and sizes untouched",
       {{0, 4, 0x12345678u}, {8, 4, 7}, {860, 4, 0xAAAAAAAAu}, {864, 4, 0xBBBBBBBBu}, {868, 4, 0xCCCCCCCCu}},
       {{0, 4, 0x12345678u}, {8, 4, 7}, {860, 4, 0xAAAAAAAAu}, {864, 4, 0xBBBBBBBBu}, {868, 4, 0xCCCCCCCCu}},
       0},
  };
  return cases;
}

TEST(MainUnitParaCheck, RuleByRule) {
  for (const MainCase& c : MainCases()) {
    SCOPED_TRACE(c.name);
    Bytes record = ConsistentMainUnit();
    for (const Field& f : c.set) Put(record, f);
    Bytes limits(44, 0);
    Put(limits, {36, 4, c.upper});
    Put(limits, {40, 4, c.lower});
    const Bytes before = record;
    EXPECT_EQ(CheckMainUnitParaFile(record.data(), c.withLimits ? limits.data() : nullptr), c.mask);
    for (const Field& f : c.expect) {
      EXPECT_EQ(Get(record, f.offset, f.width), f.value) << "offset " << f.offset;
    }
    // Only the governed sections change, and only those named by the mask.
    const struct {
      uint32_t begin, end, bit;
    } regions[] = {{0, S0, 0},     {S0, S1, kS0},  {S1, S2, kS1}, {S2, S3, kS2},
                   {S3, S5, kS34}, {S5, 860, kS5}, {860, 872, 0}};
    for (const auto& region : regions) {
      if ((c.mask & region.bit) != 0) continue;
      EXPECT_TRUE(std::equal(record.begin() + region.begin, record.begin() + region.end,
                             before.begin() + region.begin))
          << "bytes " << region.begin << ".." << region.end << " changed";
    }
    // A repaired record stays as it is.
    EXPECT_EQ(CheckMainUnitParaFile(record.data(), c.withLimits ? limits.data() : nullptr), 0u);
  }
}

TEST(MainUnitParaCheck, ZeroRecordIsRepairedOnce) {
  Bytes record(sizeof(MainUnitParaFile), 0);
  // Section 0's forced fields, section 3's default and section 5 change; a
  // zero divisor becomes 50.
  EXPECT_EQ(CheckMainUnitParaFile(record.data(), nullptr), kS0 | kS34 | kS5);
  EXPECT_EQ(Get(record, S0 + 136, 2), 50u);
  EXPECT_EQ(Get(record, S0 + 172, 4), 0u);  // 0 is within 0..65536
  EXPECT_EQ(CheckMainUnitParaFile(record.data(), nullptr), 0u);
}

TEST(MainUnitParaCheck, NullRecordGivesZero) {
  EXPECT_EQ(CheckMainUnitParaFile(nullptr, nullptr), 0u);
  EXPECT_EQ(CheckLaserHeadParaFile(nullptr), 0u);
}

TEST(MainUnitParaCheck, SinglePrecisionFactor) {
  uint32_t bits = 0;
  std::memcpy(&bits, &kOneThirtyFirst, sizeof bits);
  EXPECT_EQ(bits, 0x3D042108u);
  // With the exact fraction nibble 1 of 0x001F would be 1.
  EXPECT_EQ(SectionOneNibble(0x001F, 1), 0);
  EXPECT_EQ(SectionOneNibble(0x001F, 2), 1);
  // 16 / 16 * 31 * 8 / 31 rounds to 8, whose low 3 bits are 0.
  EXPECT_EQ(SectionOneNibble(0x0010, 29), 7);
  EXPECT_EQ(SectionOneNibble(0x0010, 30), 0);
  EXPECT_EQ(SectionOneNibble(0x8010, 0), 0);
  EXPECT_EQ(SectionOneNibble(0x8010, 2), 7);
  EXPECT_EQ(SectionOneNibble(0x8010, 31), 0);
}

// ---- Laser head ------------------------------------------------------------------
constexpr uint32_t L0 = 28, L1 = 56, L2 = 64, L3 = 88, L4 = 112;

Bytes ConsistentLaserHead() {
  Bytes r(sizeof(LaserHeadParaFile), 0);
  const uint32_t s0[7] = {0x02100000u, 0x00004800u, 0x02100000u, 0x00840000u, 0x00004000u, 40000, 0};
  for (uint32_t i = 0; i < 7; ++i) Put(r, {L0 + 4 * i, 4, s0[i]});
  for (const Field& f : std::vector<Field>{{L1, 2, 100},
                                           {L1 + 2, 2, 100},
                                           {L1 + 4, 4, 0xABCD1234u},
                                           {L2, 4, 50000},
                                           {L2 + 4, 4, 1000},
                                           {L2 + 8, 4, 1024},
                                           {L2 + 12, 4, 1024},
                                           {L2 + 16, 2, 4000},
                                           {L2 + 18, 2, 20000},
                                           {L2 + 20, 4, 0x5A5A5A5Au},
                                           {L3, 4, 0x00840000u},
                                           {L3 + 4, 4, 0x00004000u},
                                           {L3 + 8, 4, 0x99999999u},
                                           {L4, 4, 0x12345678u}}) {
    Put(r, f);
  }
  return r;
}

struct LhCase {
  const char* name;
  std::vector<Field> set;
  std::vector<Field> expect;
  uint32_t mask;
};

const LhCase kLhCases[] = {
    {"consistent record", {}, {{L1 + 4, 4, 0xABCD1234u}, {L4, 4, 0x12345678u}}, 0},
    {"s0 fixed content", {{L0 + 20, 4, 40001}}, {{L0 + 20, 4, 40000}}, 0x01},
    {"s0 last value", {{L0 + 24, 4, 1}}, {{L0 + 24, 4, 0}}, 0x01},
    {"s1 words 1 and 0", {{L1, 2, 1}, {L1 + 2, 2, 0}}, {{L1, 2, 4095}, {L1 + 2, 2, 2047}}, 0x02},
    {"s1 words 100 and 100 stay", {{L1, 2, 100}, {L1 + 2, 2, 100}}, {{L1, 2, 100}, {L1 + 2, 2, 100}}, 0},
    {"s1 words 100 and 101", {{L1, 2, 100}, {L1 + 2, 2, 101}}, {{L1, 2, 100}, {L1 + 2, 2, 50}}, 0x02},
    {"s1 word 4096", {{L1, 2, 4096}}, {{L1, 2, 4095}, {L1 + 2, 2, 100}}, 0x02},
    {"s1 word 4095 and 2 stay", {{L1, 2, 4095}, {L1 + 2, 2, 2}}, {{L1, 2, 4095}, {L1 + 2, 2, 2}}, 0},
    {"s2 value 43690", {{L2, 4, 43690}}, {{L2, 4, 54613}}, 0x04},
    {"s2 value 43691 stays", {{L2, 4, 43691}}, {{L2, 4, 43691}}, 0},
    {"s2 value 65536", {{L2, 4, 65536}}, {{L2, 4, 54613}}, 0x04},
    {"s2 value 65535 stays", {{L2, 4, 65535}}, {{L2, 4, 65535}}, 0},
    {"s2 value 4 = 0", {{L2 + 4, 4, 0}}, {{L2 + 4, 4, 10922}}, 0x04},
    {"s2 value 4 = 21845", {{L2 + 4, 4, 21845}}, {{L2 + 4, 4, 10922}}, 0x04},
    {"s2 value 4 = 21844 stays", {{L2 + 4, 4, 21844}}, {{L2 + 4, 4, 21844}}, 0},
    {"s2 pair 5000 and 5000",
     {{L2 + 16, 2, 5000}, {L2 + 18, 2, 5000}},
     {{L2 + 16, 2, 5000}, {L2 + 18, 2, 24000}},
     0x04},
    {"s2 pair 4000 and 33000",
     {{L2 + 16, 2, 4000}, {L2 + 18, 2, 33000}},
     {{L2 + 16, 2, 4000}, {L2 + 18, 2, 24000}},
     0x04},
    {"s2 word 16 above 5000", {{L2 + 16, 2, 6000}}, {{L2 + 16, 2, 5000}, {L2 + 18, 2, 20000}}, 0x04},
    {"s2 word 18 = 32766 stays", {{L2 + 18, 2, 32766}}, {{L2 + 18, 2, 32766}}, 0},
    {"s2 values 8 and 12", {{L2 + 12, 4, 1023}}, {{L2 + 8, 4, 1024}, {L2 + 12, 4, 1024}}, 0x04},
    {"s3 first value wrong", {{L3, 4, 0x00840001u}}, {{L3, 4, 0x00840000u}, {L3 + 8, 4, 0x99999999u}}, 0x08},
    {"s3 second value wrong", {{L3 + 4, 4, 0}}, {{L3 + 4, 4, 0x00004000u}}, 0x08},
    {"several sections",
     {{L0, 4, 0}, {L1, 2, 0}, {L2, 4, 0}, {L3, 4, 0}},
     {{L0, 4, 0x02100000u}, {L1, 2, 4095}, {L2, 4, 54613}, {L3, 4, 0x00840000u}},
     0x0F},
    {"header, sizes and s4 untouched",
     {{0, 4, 0xFFFFFFFFu}, {8, 4, 3}, {L4, 4, 0xFFFFFFFFu}},
     {{0, 4, 0xFFFFFFFFu}, {8, 4, 3}, {L4, 4, 0xFFFFFFFFu}},
     0},
};

TEST(LaserHeadParaCheck, RuleByRule) {
  for (const LhCase& c : kLhCases) {
    SCOPED_TRACE(c.name);
    Bytes record = ConsistentLaserHead();
    for (const Field& f : c.set) Put(record, f);
    const Bytes before = record;
    EXPECT_EQ(CheckLaserHeadParaFile(record.data()), c.mask);
    for (const Field& f : c.expect)
      EXPECT_EQ(Get(record, f.offset, f.width), f.value) << "offset " << f.offset;
    const struct {
      uint32_t begin, end, bit;
    } regions[] = {{0, L0, 0}, {L0, L1, 0x01}, {L1, L2, 0x02}, {L2, L3, 0x04}, {L3, L4, 0x08}, {L4, 116, 0}};
    for (const auto& region : regions) {
      if ((c.mask & region.bit) != 0) continue;
      EXPECT_TRUE(std::equal(record.begin() + region.begin, record.begin() + region.end,
                             before.begin() + region.begin))
          << "bytes " << region.begin << ".." << region.end << " changed";
    }
    EXPECT_EQ(CheckLaserHeadParaFile(record.data()), 0u);
  }
}

}  // namespace
}  // namespace norvex::params
