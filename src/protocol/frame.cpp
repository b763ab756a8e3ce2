// frame.cpp: building request frames and checking reply frames.
#include "protocol/frame.h"

#include <cstring>

namespace norvex {

uint16_t FrameChecksum(const uint8_t* frame, size_t bufferSize) {
  size_t words = (static_cast<size_t>(LoadWord(frame + 4)) + 6) / 2;
  if (words > bufferSize / 2) words = bufferSize / 2;
  uint32_t sum = 0;
  for (size_t i = 0; i < words; ++i) sum += LoadWord(frame + 2 * i);
  return static_cast<uint16_t>(sum);
}

uint32_t BuildRequestFrame(const CommandPacket& packet, FrameBuffer& tx, uint32_t& frameLength) {
  const uint32_t n = packet.requestLength;
  if (n > kMaxRequestData) return NORVEX_ERR_LENGTH_LIMIT;
  if ((n & 1u) != 0 || (n != 0 && packet.requestData == nullptr)) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  StoreWord(tx + 0, kFrameMagic);
  StoreWord(tx + 2, static_cast<uint16_t>(0x0100u | (packet.address & 0xFFu)));
  StoreWord(tx + 4, static_cast<uint16_t>(n + 2));
  StoreWord(tx + 6, packet.command);
  if (n != 0) std::memcpy(tx + 8, packet.requestData, n);
  StoreWord(tx + 8 + n, FrameChecksum(tx));
  frameLength = n + 10;
  return NORVEX_OK;
}

uint32_t CheckReplyFrame(CommandPacket& packet, const FrameBuffer& rx, uint32_t received) {
  // 1. The driver cannot hand us more than the buffer holds.
  if (received > kFrameBufferSize) return CTP_ERR_RX_OVERFLOW;
  // 2. Magic.
  if (LoadWord(rx + 0) != kFrameMagic) return CTP_ERR_BAD_MAGIC;
  // 3. Address: the addressee must be the sender.
  const uint16_t addressWord = LoadWord(rx + 2);
  packet.replyAddress = addressWord;
  const uint16_t expectedAddress = static_cast<uint16_t>(((packet.address & 0xFFu) << 8) | kHostAddress);
  if (addressWord != expectedAddress) {
    return addressWord == kMainUnitReplyAddressWord ? CTP_ERR_MAIN_UNIT_REPLIED : CTP_ERR_BAD_ADDRESS;
  }
  // 4. Set the caller's expectations aside and report what came.
  const uint32_t expectedLength = packet.replyLength & 0xFFFFu;
  const uint16_t expectedCommand = packet.replyCommand;
  const uint16_t lengthWord = LoadWord(rx + 4);
  // The packet reports length word - 2 as a 32-bit value, wrapped for the
  // length words 0 and 1 (they announce less than the command word itself).
  const uint32_t dataLength = static_cast<uint32_t>(lengthWord) - 2u;
  packet.replyLength = dataLength;
  packet.replyCommand = LoadWord(rx + 6);
  // 5. The frame must be exactly as long as its length word says.
  if (static_cast<uint32_t>(lengthWord) + 8u != received) return CTP_ERR_FRAME_LENGTH;
  // 6. Reply data comes in whole 32-bit units. A length word of 0 or 1 has
  // no data length at all; it is refused here by its own test, so that the
  // checksum's place below is never computed from a wrapped length.
  if (lengthWord < 2u || dataLength % 4u != 0) return CTP_ERR_LENGTH_ALIGNMENT;
  // 7. Checksum. Its place, 8 + data length, lies inside the buffer: steps 1
  // and 5 give length word + 8 = received <= 512, so 8 + data length + 2 is
  // at most 512, and step 6 keeps the data length from wrapping.
  if (FrameChecksum(rx) != LoadWord(rx + 8 + dataLength)) return CTP_ERR_CHECKSUM;
  // 8. An error reply is recognised whatever the caller expected.
  if (packet.replyCommand == CTP_REPLY_ERROR) {
    if (dataLength != 4) return CTP_ERR_LENGTH_MISMATCH;
    return DeviceErrorCode(packet.address, LoadWord(rx + 8));
  }
  // 9. Command.
  if (packet.replyCommand != expectedCommand) return CTP_ERR_BAD_REPLY_COMMAND;
  // 10. Length, when the caller named one.
  if (expectedLength <= kMaxReplyData && expectedLength != dataLength) return CTP_ERR_LENGTH_MISMATCH;
  // 11. Data.
  if (dataLength != 0) {
    if (packet.replyData == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
    std::memcpy(packet.replyData, rx + 8, dataLength);
  }
  return NORVEX_OK;
}

}  // namespace norvex
