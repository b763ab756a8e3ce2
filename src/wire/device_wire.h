// device_wire.h: the messages of the device protocol (docs/device-protocol.md)
// as bytes: the header, the message types and limits, the versioned opening,
// and a parser that takes a byte stream as it comes and hands out whole
// messages. Standard C++ only, no system calls: the library's transports,
// the emulator (also norvex-emu.exe) and the tests share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvex::wire {

inline constexpr uint16_t kMagic = 0x564E;
inline constexpr size_t kHeaderSize = 12;
// The most data bytes one WRITE_DATA message carries. A bulk write of any
// 32-bit length travels as a WRITE and as many WRITE_DATA as it takes.
inline constexpr uint32_t kMaxBulk = 0x200000;
inline constexpr uint32_t kMaxPayload = kMaxBulk + 8;

// The protocol's version, exchanged in the opening (version history in
// docs/device-protocol.md). Versions 1 and 2 had no version field: their
// devices send a 4-byte OPEN unasked as soon as a host connects.
inline constexpr uint32_t kProtocolVersion = 3;

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

// What a host asks for in its OPEN.
enum class OpenPurpose : uint32_t {
  kUse = 0,    // the device becomes this host's until the connection closes
  kProbe = 1,  // only whether the device is there and free; never granted
};

// OPEN statuses (Windows system error numbers).
inline constexpr uint32_t kOpenGranted = 0;
inline constexpr uint32_t kOpenBusy = 5;                // another host has the device
inline constexpr uint32_t kOpenVersionMismatch = 1306;  // ERROR_REVISION_MISMATCH
// The payload sizes of the two OPENs of version 3, and of the one OPEN of
// the versions before.
inline constexpr uint32_t kOpenRequestSize = 8;  // u32 version, u32 purpose
inline constexpr uint32_t kOpenAnswerSize = 8;   // u32 status, u32 version
inline constexpr uint32_t kLegacyOpenSize = 4;   // u32 status

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

// A whole message as bytes: header, then `first` and `second` (either may be
// empty). Empty when the payload is longer than kMaxPayload.
std::vector<uint8_t> Encode(uint16_t type, uint32_t id, const void* first, size_t firstSize,
                            const void* second = nullptr, size_t secondSize = 0);

// The host's OPEN and the device's answer of version 3, whole.
std::vector<uint8_t> EncodeOpenRequest(OpenPurpose purpose, uint32_t version = kProtocolVersion);
std::vector<uint8_t> EncodeOpenAnswer(uint32_t status, uint32_t version = kProtocolVersion);

// Cuts a byte stream into messages. Feed() takes what arrived; Next() hands
// out the next whole message. The parser keeps at most one message's bytes
// beyond what it handed out, and never allocates more than a header allows.
class MessageParser {
 public:
  enum class Result { kMessage, kNeedMore, kBadHeader };

  void Feed(const uint8_t* data, size_t size);
  // kMessage with the next message in `message`; kNeedMore when the bytes
  // fed so far hold no whole message; kBadHeader for a header that
  // DecodeHeader refuses (the stream can then no longer be trusted).
  Result Next(Message& message);
  // Bytes fed and not yet handed out.
  size_t Buffered() const { return m_bytes.size() - m_offset; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_offset = 0;
};

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
