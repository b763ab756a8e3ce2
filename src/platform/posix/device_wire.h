// device_wire.h: the messages between the POSIX driver and a device
// endpoint (docs/device-protocol.md): encoding, decoding, whole-message I/O
// on a stream socket. Shared by the driver and the emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace norvex::wire {

inline constexpr uint16_t kMagic = 0x564E;
inline constexpr size_t kHeaderSize = 12;
// The most data bytes one WRITE_DATA message carries. A bulk write of any
// 32-bit length travels as a WRITE and as many WRITE_DATA as it takes.
inline constexpr uint32_t kMaxBulk = 0x200000;
inline constexpr uint32_t kMaxPayload = kMaxBulk + 8;

enum MessageType : uint16_t {
  kOpen = 0x0001,
  kControl = 0x0010,
  kControlDone = 0x0011,
  kRead = 0x0020,
  kReadDone = 0x0021,
  kWrite = 0x0030,
  kWriteDone = 0x0031,
  kWriteData = 0x0032,
  kCancel = 0x0040,
};

// The folder of device endpoints: $NORVEX_DEVICE_DIR, or /tmp/norvex-devices.
std::string DeviceFolder();

bool IsKnownType(uint16_t type);

struct Message {
  uint16_t type = 0;
  uint32_t id = 0;
  std::vector<uint8_t> payload;
};

// The 12-byte header of a message.
void EncodeHeader(uint8_t* out, uint16_t type, uint32_t id, uint32_t payloadLength);
// Decodes a header; false for a wrong magic, an unknown type or a payload
// above the limit.
bool DecodeHeader(const uint8_t* in, uint16_t& type, uint32_t& id, uint32_t& payloadLength);

// Sends one message whose payload is `first` followed by `second` (either may
// be empty), as one write where it fits. False when the connection failed or
// the payload is longer than kMaxPayload (then nothing is sent).
bool Send(int fd, uint16_t type, uint32_t id, const void* first, size_t firstSize,
          const void* second = nullptr, size_t secondSize = 0);
// Receives one whole message; false at end of stream, on an error or on a
// malformed header.
bool Receive(int fd, Message& message);

inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace norvex::wire
