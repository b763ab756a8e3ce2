// request_frames.h: request frames as a host sends them, built in the
// emulator's tests independently of the library's frame builder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/frame.h"

namespace norvex::emu::testing {

using Bytes = std::vector<uint8_t>;

// Magic, address, host, length word, command, data, then the plain 16-bit
// sum of every word before it.
inline Bytes RequestFrame(uint8_t address, uint16_t command, const Bytes& data = {}) {
  Bytes frame(data.size() + 10);
  StoreWord(frame.data(), 0x454D);
  frame[2] = address;
  frame[3] = 0x01;
  StoreWord(frame.data() + 4, static_cast<uint16_t>(data.size() + 2));
  StoreWord(frame.data() + 6, command);
  std::copy(data.begin(), data.end(), frame.begin() + 8);
  uint32_t sum = 0;
  for (size_t i = 0; i + 2 < frame.size(); i += 2) sum += LoadWord(frame.data() + i);
  StoreWord(frame.data() + frame.size() - 2, static_cast<uint16_t>(sum));
  return frame;
}

// The 4-byte selector of a state query or function call.
inline Bytes Selector(uint16_t group, uint16_t item) {
  return {static_cast<uint8_t>(group), static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(item),
          static_cast<uint8_t>(item >> 8)};
}

}  // namespace norvex::emu::testing
