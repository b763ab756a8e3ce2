// frame.h: request and reply frames of the command channel.
//
// Both frames are little-endian 16-bit words: magic 0x454D, address word,
// length word (data bytes + 2), command word, data, checksum. The checksum is
// the plain 16-bit sum of every word before it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex.h"

namespace norvex {

inline constexpr size_t kFrameBufferSize = 512;
inline constexpr uint16_t kFrameMagic = 0x454D;
inline constexpr uint16_t kHostAddress = 0x01;
inline constexpr uint16_t kMainUnitReplyAddressWord = 0x1001;       // main unit to host
inline constexpr uint32_t kMaxRequestData = kFrameBufferSize - 10;  // 502
inline constexpr uint32_t kMaxReplyData = 500;
// The expected reply length with which the library's own callers accept any.
inline constexpr uint32_t kAnyReplyLength = 0xFFFFFFFF;

// The code of an error reply `value` from the board at `address`.
inline uint32_t DeviceErrorCode(uint16_t address, uint16_t value) {
  return ((static_cast<uint32_t>(address) + 0xE000u) << 16) | value;
}

using FrameBuffer = uint8_t[kFrameBufferSize];

inline uint16_t LoadWord(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void StoreWord(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

// The checksum of the frame in `frame`: the sum of (length word + 6) / 2
// words from offset 0, that is everything before the checksum's own place.
// Words beyond `bufferSize` are not read.
uint16_t FrameChecksum(const uint8_t* frame, size_t bufferSize = kFrameBufferSize);

// Builds the request frame of `packet` into `tx` and stores its byte count
// (data bytes + 10) in `frameLength`. Requests that do not fit the buffer
// (more than 502 data bytes) give NORVEX_ERR_LENGTH_LIMIT; odd lengths, which
// the frame cannot carry without overwriting a data byte with the checksum,
// give NORVEX_ERR_INVALID_ARGUMENT, as does a missing data pointer with a
// non-zero length. Nothing is written to `tx` when the request is refused.
uint32_t BuildRequestFrame(const CommandPacket& packet, FrameBuffer& tx, uint32_t& frameLength);

// Checks the reply in `rx` (`received` bytes of it) against `packet`, in the
// fixed order of the protocol, writing the packet's reply address, reply
// length and reply command as the checks advance, and copying the reply data
// on success. Returns 0 or a CTP_ERR_ code.
uint32_t CheckReplyFrame(CommandPacket& packet, const FrameBuffer& rx, uint32_t received);

}  // namespace norvex
