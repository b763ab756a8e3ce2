// request_frames.h: request frames as a host sends them, built in the
// emulator's tests independently of the library's frame builder, and a
// device model that the tests send them to one by one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "emu/device_model.h"
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

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The model's answer to one request frame, taken apart.
struct Answer {
  uint8_t sender = 0;
  uint16_t command = 0;
  Bytes data;
  // The first word of the data (an error reply's value); 0xFFFF without one.
  uint16_t errorValue() const { return data.size() >= 2 ? LoadWord(data.data()) : 0xFFFF; }
  // The value of an error reply; 0 for any other reply.
  uint16_t error() const { return command == kReplyError ? errorValue() : 0; }
};

// A device model without an endpoint, and requests sent to it frame by frame.
class ModelTest : public ::testing::Test {
 protected:
  Answer Send(uint8_t address, uint16_t command, const Bytes& data = {}) {
    const Bytes frame = RequestFrame(address, command, data);
    const Outcome outcome = model.HandleFrame(frame.data(), frame.size());
    Answer a;
    a.sender = outcome.frame[3];
    a.command = LoadWord(outcome.frame.data() + 6);
    a.data.assign(outcome.frame.begin() + 8, outcome.frame.end() - 2);
    return a;
  }

  DeviceModel model{EmulatorOptions{}};
};

}  // namespace norvex::emu::testing
