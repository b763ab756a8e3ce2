// sdram_readback.cpp: print memory read-back and the index limit.
#include "printdata/sdram_readback.h"

#include "protocol/frame.h"

namespace norvex {
namespace {

// A leading decimal integer as the C library's atoi reads one (blanks, an
// optional sign, digits up to the first other character), kept as its low 8
// bits; computed modulo 256 so that no number is too long.
uint8_t LeadingNumberLow8(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = (value * 10 + static_cast<unsigned>(text[i] - '0')) & 0xFFu;
  }
  if (negative) value = (0x100u - value) & 0xFFu;
  return static_cast<uint8_t>(value);
}

}  // namespace

uint32_t ReadSDRAMData(CDeviceLink& link, void* buffer, uint32_t* byteCount) {
  if (byteCount == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  const uint32_t wanted = *byteCount;
  if (wanted == 0) return NORVEX_OK;
  if (buffer == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t received = 0;
  uint32_t result = NORVEX_OK;
  while (received < wanted) {
    CommandPacket packet{};
    packet.requestData = nullptr;
    packet.requestLength = 0;
    packet.replyData = bytes + received;
    packet.replyLength = kAnyReplyLength;
    packet.address = static_cast<uint16_t>(NORVEX_ADDR_MAIN_UNIT);
    packet.command = kCmdReadSdram;
    packet.replyCommand = kReplyReadSdram;
    result = link.Transact(packet);
    if (result != NORVEX_OK) break;
    // A reply without data would leave the sum where it is for ever: the
    // device has nothing more to give, and the read ends with what came.
    if (packet.replyLength == 0) break;
    received += packet.replyLength;
  }
  *byteCount = received;
  return result;
}

bool ParseKernelVersion(std::string_view name, KernelVersion& version) {
  version = KernelVersion{};
  const size_t v = name.rfind('V');
  if (v == std::string_view::npos) return false;
  std::string_view rest = name.substr(v + 1);
  uint8_t* parts[3] = {&version.major, &version.minor, &version.patch};
  for (int i = 0; i < 3; ++i) {
    *parts[i] = LeadingNumberLow8(rest);
    const size_t dot = rest.find('.');
    if (dot == std::string_view::npos) break;
    rest = rest.substr(dot + 1);
  }
  return true;
}

uint32_t MaxSDRAMIndex(CDeviceLink& link, uint32_t& queryResult) {
  constexpr uint32_t kSmall = 31;
  constexpr uint32_t kLarge = 63;
  // Room for the longest reply and a terminating zero, so that a name of
  // any length the query admits fits and ends.
  char name[kMaxReplyData + 1] = {};
  const uint8_t selector[4] = {0x00, 0x00, 0x04, 0x00};
  queryResult = link.GetStateEx(selector, name, kAnyReplyLength, NORVEX_ADDR_MAIN_UNIT);
  if (queryResult != NORVEX_OK) return kSmall;
  KernelVersion version;
  if (!ParseKernelVersion(std::string_view(name), version)) return kSmall;
  if (version.major != 1) return version.major > 1 ? kLarge : kSmall;
  if (version.minor != 3) return version.minor > 3 ? kLarge : kSmall;
  return kLarge;  // 1.3.x, x >= 0
}

}  // namespace norvex
