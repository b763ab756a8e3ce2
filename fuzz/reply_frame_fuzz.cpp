// reply_frame_fuzz.cpp: the reply check on any bytes a device can send, with
// any expectation the caller can state.
#include <cstdint>
#include <cstring>

#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 8 bytes of expectation (address, command, expected length), then the
  // reply; the received count may claim more than the buffer holds.
  if (size < 8) return 0;
  CommandPacket packet{};
  uint8_t reply[500];
  packet.address = static_cast<uint16_t>(data[0] | (data[1] << 8));
  packet.replyCommand = static_cast<uint16_t>(data[2] | (data[3] << 8));
  packet.replyLength = static_cast<uint32_t>(data[4] | (data[5] << 8)) | (data[6] & 1 ? 0xFFFF0000u : 0);
  packet.replyData = reply;
  const bool overclaim = (data[7] & 1) != 0;
  data += 8;
  size -= 8;
  norvex::FrameBuffer rx = {};
  const size_t copied = size < sizeof(rx) ? size : sizeof(rx);
  std::memcpy(rx, data, copied);
  const uint32_t received = overclaim ? static_cast<uint32_t>(size) : static_cast<uint32_t>(copied);
  const uint32_t result = norvex::CheckReplyFrame(packet, rx, received);
  // On success the copied length is the reported one, and it fits.
  if (result == 0 && packet.replyLength > 500) __builtin_trap();
  return 0;
}
