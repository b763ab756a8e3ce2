// unit_api_support.h: what the main-unit and board tests share: a fixture
// with a plugged emulator and an open link, request frames built here
// independently of the library, the state queries paired with the emulated
// units' records, and the last-result word read back through the interface.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "emu/emulator.h"
#include "emulator_session.h"
#include "norvex.h"

namespace norvex_api_test {

using Bytes = std::vector<uint8_t>;

// The request frame the host must send: magic, address, 0x01, length word,
// command word, data, checksum (the 16-bit sum of the words before it).
inline Bytes RequestFrame(uint8_t address, uint16_t command, const Bytes& data = {}) {
  Bytes frame(8 + data.size());
  const uint8_t head[8] = {0x4D,
                           0x45,
                           address,
                           0x01,
                           static_cast<uint8_t>(data.size() + 2),
                           static_cast<uint8_t>((data.size() + 2) >> 8),
                           static_cast<uint8_t>(command),
                           static_cast<uint8_t>(command >> 8)};
  std::copy(head, head + 8, frame.begin());
  std::copy(data.begin(), data.end(), frame.begin() + 8);
  uint32_t sum = 0;
  for (size_t i = 0; i < frame.size(); i += 2) sum += static_cast<uint32_t>(frame[i] | (frame[i + 1] << 8));
  frame.push_back(static_cast<uint8_t>(sum));
  frame.push_back(static_cast<uint8_t>(sum >> 8));
  return frame;
}

inline Bytes Selector(uint16_t group, uint16_t item) {
  return {static_cast<uint8_t>(group), static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(item),
          static_cast<uint8_t>(item >> 8)};
}

inline Bytes Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

// `size` bytes counting up from `first`.
inline Bytes Pattern(size_t size, uint8_t first = 1) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A state query export and the record of the emulated unit that it reads.
template <typename Query>
struct RecordQuery {
  const char* name;
  Query query;
  uint16_t group;
  uint16_t item;
  size_t size;
};

// Each record of the emulated unit at `address` with the export of `queries`
// that reads it. The selectors and sizes are the emulator's (RecordsOf),
// written apart from the library's: a query must send the unit's selector
// and copy exactly the unit's record. Every record must have its export, but
// the parts of a multi-query read ("LH_GetInfo name") and those `apart`
// (tested on their own); and every export its record.
template <typename Query, size_t N>
std::vector<RecordQuery<Query>> QueriesOf(uint8_t address, const std::pair<const char*, Query> (&queries)[N],
                                          std::initializer_list<std::string_view> apart = {}) {
  std::vector<RecordQuery<Query>> cases;
  for (const norvex::emu::UnitRecord& record : norvex::emu::RecordsOf(address)) {
    const std::string_view reader = record.reader;
    if (reader.find(' ') != std::string_view::npos) continue;
    if (std::find(apart.begin(), apart.end(), reader) != apart.end()) continue;
    const auto found = std::find_if(std::begin(queries), std::end(queries),
                                    [&](const auto& q) { return reader == q.first; });
    if (found == std::end(queries)) {
      ADD_FAILURE() << "no export reads the record " << reader;
      continue;
    }
    cases.push_back({record.reader, found->second, record.group, record.item, record.size});
  }
  EXPECT_EQ(cases.size(), N) << "an export reads a record that the unit does not have";
  return cases;
}

// The last-result word: Norvex_WriteSDRAM with no words returns it unchanged.
inline uint32_t LastResult() {
  const uint16_t word = 0;
  return Norvex_WriteSDRAM(&word, 0);
}

class UnitApiTest : public EmulatorSessionTest {
 protected:
  // Leaves `code` in the last-result word by a failing general-state query.
  void PresetLastResult(uint16_t errorValue) {
    emulator.Model().InjectFault(norvex::emu::Fault{norvex::emu::FaultKind::kErrorReply, errorValue});
    uint8_t record[4];
    NV_GetState(record);
    emulator.Model().ClearReceived();
  }
  // Closes the link so that every command finds no device.
  void CloseLink() {
    emulator.Unplug();
    Norvex_Init(nullptr);
  }
};

}  // namespace norvex_api_test
