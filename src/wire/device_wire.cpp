// device_wire.cpp: message encoding and the stream parser.
#include "wire/device_wire.h"

#include <cstring>

namespace norvex::wire {

bool IsKnownType(uint16_t type) {
  switch (type) {
    case kOpen:
    case kControl:
    case kControlDone:
    case kRead:
    case kReadDone:
    case kWrite:
    case kWriteDone:
    case kWriteData:
    case kCancel:
      return true;
    default:
      return false;
  }
}

void EncodeHeader(uint8_t* out, uint16_t type, uint32_t id, uint32_t payloadLength) {
  out[0] = static_cast<uint8_t>(kMagic);
  out[1] = static_cast<uint8_t>(kMagic >> 8);
  out[2] = static_cast<uint8_t>(type);
  out[3] = static_cast<uint8_t>(type >> 8);
  StoreU32(out + 4, id);
  StoreU32(out + 8, payloadLength);
}

bool DecodeHeader(const uint8_t* in, uint16_t& type, uint32_t& id, uint32_t& payloadLength) {
  const uint16_t magic = static_cast<uint16_t>(in[0] | (in[1] << 8));
  type = static_cast<uint16_t>(in[2] | (in[3] << 8));
  id = LoadU32(in + 4);
  payloadLength = LoadU32(in + 8);
  return magic == kMagic && IsKnownType(type) && payloadLength <= kMaxPayload;
}

std::vector<uint8_t> Encode(uint16_t type, uint32_t id, const void* first, size_t firstSize,
                            const void* second, size_t secondSize) {
  // A longer payload cannot be told in the header (nor taken by a receiver).
  if (firstSize > kMaxPayload || secondSize > kMaxPayload - firstSize) return {};
  std::vector<uint8_t> bytes(kHeaderSize + firstSize + secondSize);
  EncodeHeader(bytes.data(), type, id, static_cast<uint32_t>(firstSize + secondSize));
  if (firstSize > 0) std::memcpy(bytes.data() + kHeaderSize, first, firstSize);
  if (secondSize > 0) std::memcpy(bytes.data() + kHeaderSize + firstSize, second, secondSize);
  return bytes;
}

std::vector<uint8_t> EncodeOpenRequest(OpenPurpose purpose, uint32_t version) {
  uint8_t payload[kOpenRequestSize];
  StoreU32(payload, version);
  StoreU32(payload + 4, static_cast<uint32_t>(purpose));
  return Encode(kOpen, 0, payload, sizeof(payload));
}

std::vector<uint8_t> EncodeOpenAnswer(uint32_t status, uint32_t version) {
  uint8_t payload[kOpenAnswerSize];
  StoreU32(payload, status);
  StoreU32(payload + 4, version);
  return Encode(kOpen, 0, payload, sizeof(payload));
}

void MessageParser::Feed(const uint8_t* data, size_t size) {
  if (size == 0) return;
  // What was handed out goes before the buffer grows.
  if (m_offset > 0 && (m_offset == m_bytes.size() || m_offset >= 64 * 1024)) {
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_offset));
    m_offset = 0;
  }
  m_bytes.insert(m_bytes.end(), data, data + size);
}

MessageParser::Result MessageParser::Next(Message& message) {
  const size_t available = m_bytes.size() - m_offset;
  if (available < kHeaderSize) return Result::kNeedMore;
  const uint8_t* header = m_bytes.data() + m_offset;
  uint16_t type = 0;
  uint32_t id = 0;
  uint32_t length = 0;
  if (!DecodeHeader(header, type, id, length)) return Result::kBadHeader;
  if (available - kHeaderSize < length) return Result::kNeedMore;
  message.type = type;
  message.id = id;
  message.payload.assign(header + kHeaderSize, header + kHeaderSize + length);
  m_offset += kHeaderSize + length;
  if (m_offset == m_bytes.size()) {
    m_bytes.clear();
    m_offset = 0;
  }
  return Result::kMessage;
}

}  // namespace norvex::wire
