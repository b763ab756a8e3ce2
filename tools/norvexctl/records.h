// records.h: the state records of the units that norvexctl knows by name
// (their selectors and sizes are the library's, norvex_records.h), the query
// of one record, and what is known about its meaning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "norvex_records.h"
#include "output.h"

namespace norvexctl {

// A reply length that takes any reply of up to 500 bytes.
inline constexpr uint32_t kAnyLength = NORVEX_RECORD_ANY_LENGTH;
inline constexpr uint32_t kMaxReply = 500;

enum class Decode { kNone, kText, kPrintState, kParaHeader, kParaSizes };

struct RecordInfo {
  const char* name;
  uint16_t group;
  uint16_t item;
  uint32_t length;  // kAnyLength: any
  Decode decode;
};

struct UnitInfo {
  const char* name;  // main, lh, hs0, hs1
  const char* title;
  uint8_t address;
  std::vector<RecordInfo> records;
};

const std::vector<UnitInfo>& Units();
// The unit named `name` (or given by its address, 0x10...), or null.
const UnitInfo* FindUnit(const std::string& name);
// The record of the unit named `name`, or null.
const RecordInfo* FindRecord(const UnitInfo& unit, const std::string& name);

// Reads one record with CTP_GetStateEx; `bytes` gets the reply. With
// kAnyLength the query goes as a packet of its own (CTP_SendCommand), so
// that `bytes` has the reply's real length.
uint32_t QueryRecord(uint8_t address, uint16_t group, uint16_t item, uint32_t length,
                     std::vector<uint8_t>& bytes);

// What is known of a record's content, as lines ("print error waiting: no").
std::vector<std::string> DecodeRecord(Decode decode, const std::vector<uint8_t>& bytes, Json& json);
// The record's bytes as 32-bit little-endian words, hex: for a person, and
// for JSON (an array of "0x%08X").
std::string Words(const std::vector<uint8_t>& bytes);
Json WordsJson(const std::vector<uint8_t>& bytes);
// A zero-terminated text inside a record.
std::string RecordText(const uint8_t* bytes, size_t size);

}  // namespace norvexctl
