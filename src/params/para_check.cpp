// para_check.cpp: the main-unit and laser head parameter-file checks (see
// para_check.h). Every step compares its section before and after its rules,
// so a field rewritten to the value it had counts as no change.
#include "params/para_check.h"

#include <array>
#include <cstring>

#include "params/para_file_tables.h"

namespace norvex::params {
namespace {

// Runs `rules` on `size` bytes at `section` and returns `bit` when they
// changed any byte.
template <size_t Size, typename Rules>
uint32_t Step(uint8_t* section, uint32_t bit, Rules rules) {
  std::array<uint8_t, Size> before;
  std::memcpy(before.data(), section, Size);
  rules(section);
  return std::memcmp(before.data(), section, Size) != 0 ? bit : 0;
}

void ZeroValues(uint8_t* p, uint32_t from, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) StoreValue(p + from + 4 * i, 0);
}

// ---- Main unit ----------------------------------------------------------------
constexpr uint32_t kSection0 = kMainUnitSections[0].recordOffset;
constexpr uint32_t kSection1 = kMainUnitSections[1].recordOffset;
constexpr uint32_t kSection2 = kMainUnitSections[2].recordOffset;
constexpr uint32_t kSection3 = kMainUnitSections[3].recordOffset;
constexpr uint32_t kSection5 = kMainUnitSections[5].recordOffset;
constexpr size_t kSection0Bytes = 272;
constexpr size_t kSection1Bytes = 16;
constexpr size_t kSections34Bytes = 4 + 512;
constexpr size_t kSection5Bytes = 8;

constexpr uint32_t kDivisorOffset = 136;
constexpr uint32_t kPhaseOffset = 138;
constexpr uint16_t kDivisorBase = 20000;
constexpr uint16_t kDefaultDivisor = 50;
constexpr uint16_t kDefaultSection3Value = 2400;
constexpr uint16_t kMaxEntries = 32;
constexpr uint32_t kEntryBytes = 16;

void RepairSection0(uint8_t* s, uint32_t lower, uint32_t upper) {
  StoreWord(s + 0, static_cast<uint16_t>(LoadWord(s + 0) & 0x0008u));
  StoreWord(s + 2, 0);
  StoreWord(s + 6, 4800);
  StoreWord(s + 8, 4800);
  StoreValue(s + 12, 0);
  StoreWord(s + 34, 30);
  StoreValue(s + 64, 0x20C50000u);
  StoreValue(s + 68, 0x6D3A0000u);
  const auto signedValue = static_cast<int32_t>(LoadValue(s + 92));
  if (signedValue < 10000 || signedValue > 70000) StoreValue(s + 92, 50000);
  // A divisor of 0 divides nothing: it is repaired like any other divisor
  // that 20000 is not a whole multiple of.
  const uint16_t divisor = LoadWord(s + kDivisorOffset);
  if (divisor == 0 || kDivisorBase % divisor != 0) StoreWord(s + kDivisorOffset, kDefaultDivisor);
  if (LoadWord(s + kPhaseOffset) >= LoadWord(s + kDivisorOffset)) StoreWord(s + kPhaseOffset, 0);
  ZeroValues(s, 156, 4);
  const uint32_t value = LoadValue(s + 172);
  if (value < lower || value > upper) StoreValue(s + 172, (lower + upper) >> 1);
  StoreValue(s + 176, 13000);
  StoreValue(s + 180, 60000);
  ZeroValues(s, 184, 3);
  StoreWord(s + 198, 2457);
  StoreValue(s + 204, 10000);
  ZeroValues(s, 208, 3);
  StoreValue(s + 224, 0);
  StoreValue(s + 248, 0);
}

void ComputeSection1(uint8_t* s, uint16_t word) {
  uint16_t words[8] = {};
  for (uint32_t i = 0; i < 32; ++i) {
    words[i / 4] = static_cast<uint16_t>(words[i / 4] | (SectionOneNibble(word, i) << (4 * (i % 4))));
  }
  for (uint32_t w = 0; w < 8; ++w) StoreWord(s + 2 * w, words[w]);
}

void RepairSection2(uint8_t* s) {
  uint32_t value = LoadValue(s);
  value &= ~0x38u;  // bits 3, 4 and 5
  value &= 0x7Fu;   // nothing from bit 7 up
  StoreValue(s, value);
}

// The word brought to the phase within its multiple of the divisor. Where
// that passes 65535 the word would wrap to a small value that is not at the
// phase at all; the word at the phase one divisor lower is taken instead.
uint16_t ToPhase(uint16_t word, uint16_t divisor, uint16_t phase) {
  if (word % divisor == phase) return word;
  uint32_t value = static_cast<uint32_t>(word / divisor) * divisor + phase;
  if (value > 0xFFFFu) value -= divisor;
  return static_cast<uint16_t>(value);
}

// Sections 3 and 4 together (section 4 follows section 3 directly).
void RepairSections34(uint8_t* s, uint16_t divisor, uint16_t phase) {
  if (LoadWord(s + 2) == 0) StoreWord(s + 2, kDefaultSection3Value);
  if (LoadWord(s) > kMaxEntries) StoreWord(s, 0);
  const uint16_t count = LoadWord(s);
  for (uint32_t j = 0; j < count; ++j) {
    uint8_t* entry = s + 4 + kEntryBytes * j;
    for (uint32_t offset : {8u, 4u}) {
      const uint32_t value = LoadValue(entry + offset);
      if ((value & 31u) != 0) StoreValue(entry + offset, (value + 31u) & ~31u);
    }
    for (uint32_t offset : {12u, 14u})
      StoreWord(entry + offset, ToPhase(LoadWord(entry + offset), divisor, phase));
  }
}

constexpr uint8_t kSection5Content[kSection5Bytes] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xF8, 0x38, 0x00};

// ---- Laser head ------------------------------------------------------------------
constexpr uint32_t kLhSection0 = kLaserHeadSections[0].recordOffset;
constexpr uint32_t kLhSection1 = kLaserHeadSections[1].recordOffset;
constexpr uint32_t kLhSection2 = kLaserHeadSections[2].recordOffset;
constexpr uint32_t kLhSection3 = kLaserHeadSections[3].recordOffset;
constexpr uint32_t kLhSection0Values[7] = {0x02100000u, 0x00004800u, 0x02100000u, 0x00840000u,
                                           0x00004000u, 0x00009C40u, 0x00000000u};
constexpr uint32_t kLhSection3Values[2] = {0x00840000u, 0x00004000u};

void RepairLhSection1(uint8_t* s) {
  const uint16_t first = LoadWord(s);
  if (first >= 4096 || first < 2) StoreWord(s, 4095);
  const uint16_t limit = LoadWord(s);
  const uint16_t second = LoadWord(s + 2);
  if (second > limit || second == 0) StoreWord(s + 2, static_cast<uint16_t>(limit >> 1));
}

void RepairLhSection2(uint8_t* s) {
  const uint32_t speed = LoadValue(s + 0);
  if (speed >= 65536 || speed <= 43690) StoreValue(s + 0, 54613);
  const uint32_t second = LoadValue(s + 4);
  if (second >= 21845 || second == 0) StoreValue(s + 4, 10922);
  if (LoadWord(s + 18) > 32766) StoreWord(s + 18, 24000);
  if (LoadWord(s + 16) > 5000) StoreWord(s + 16, 5000);
  if (LoadWord(s + 16) >= LoadWord(s + 18)) {
    StoreWord(s + 16, 5000);
    StoreWord(s + 18, 24000);
  }
  if (LoadValue(s + 8) != 1024 || LoadValue(s + 12) != 1024) {
    StoreValue(s + 8, 1024);
    StoreValue(s + 12, 1024);
  }
}

template <size_t N>
void StoreValues(uint8_t* s, const uint32_t (&values)[N]) {
  for (size_t i = 0; i < N; ++i) StoreValue(s + 4 * i, values[i]);
}

}  // namespace

uint8_t SectionOneNibble(uint16_t word, uint32_t i) {
  const uint32_t magnitude = word & 0x7FFFu;
  const bool descending = (word & 0x8000u) != 0;
  const uint32_t x = descending ? 31 - i : i;
  // Every intermediate value is exact in double precision; the factor is the
  // single-precision 1/31, slightly below the true fraction.
  const double k = static_cast<double>(kOneThirtyFirst);
  const double value = ((static_cast<double>(magnitude) * 0.0625) * x) * k * 8.0 + 0.5;
  return static_cast<uint8_t>(static_cast<uint32_t>(value) & 7u);
}

uint32_t CheckMainUnitParaFile(uint8_t* record, const uint8_t* limits) {
  if (record == nullptr) return 0;
  uint32_t lower = kDefaultLowerBound;
  uint32_t upper = kDefaultUpperBound;
  if (limits != nullptr) {
    upper = LoadValue(limits + kLimitsUpperOffset);
    lower = LoadValue(limits + kLimitsLowerOffset);
  }
  uint8_t* s0 = record + kSection0;
  uint32_t changed = Step<kSection0Bytes>(s0, kMainUnitSections[0].saveBits,
                                          [&](uint8_t* s) { RepairSection0(s, lower, upper); });

  uint8_t section1[kSection1Bytes];
  ComputeSection1(section1, LoadWord(s0 + 4));
  changed |= Step<kSection1Bytes>(record + kSection1, kMainUnitSections[1].saveBits,
                                  [&](uint8_t* s) { std::memcpy(s, section1, kSection1Bytes); });

  changed |= Step<4>(record + kSection2, kMainUnitSections[2].saveBits, RepairSection2);

  // Step 1 left a divisor that divides 20000 (never 0) and a phase below it.
  const uint16_t divisor = LoadWord(s0 + kDivisorOffset);
  const uint16_t phase = LoadWord(s0 + kPhaseOffset);
  changed |= Step<kSections34Bytes>(record + kSection3, kMainSections34Bits,
                                    [&](uint8_t* s) { RepairSections34(s, divisor, phase); });

  changed |= Step<kSection5Bytes>(record + kSection5, kMainUnitSections[5].saveBits,
                                  [](uint8_t* s) { std::memcpy(s, kSection5Content, kSection5Bytes); });
  return changed;
}

uint32_t CheckLaserHeadParaFile(uint8_t* record) {
  if (record == nullptr) return 0;
  uint32_t changed = Step<28>(record + kLhSection0, kLaserHeadSections[0].saveBits,
                              [](uint8_t* s) { StoreValues(s, kLhSection0Values); });
  changed |= Step<8>(record + kLhSection1, kLaserHeadSections[1].saveBits, RepairLhSection1);
  changed |= Step<24>(record + kLhSection2, kLaserHeadSections[2].saveBits, RepairLhSection2);
  changed |= Step<8>(record + kLhSection3, kLaserHeadSections[3].saveBits,
                     [](uint8_t* s) { StoreValues(s, kLhSection3Values); });
  return changed;
}

}  // namespace norvex::params
