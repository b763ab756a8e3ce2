// unit_exchange.cpp: single exchanges described by table rows (see
// unit_exchange.h).
#include "protocol/unit_exchange.h"

namespace norvex {

SelectorBytes MakeSelector(uint16_t group, uint16_t item) {
  SelectorBytes selector{};
  StoreWord(selector.bytes, group);
  StoreWord(selector.bytes + 2, item);
  return selector;
}

SelectorBytes LittleEndian32(uint32_t value) {
  return MakeSelector(static_cast<uint16_t>(value & 0xFFFFu), static_cast<uint16_t>(value >> 16));
}

uint32_t RunCommand(CDeviceLink& link, uint16_t address, uint16_t command, uint32_t requestLength,
                    uint16_t replyCommand, uint32_t replyLength, const void* request, void* reply) {
  if ((requestLength != 0 && request == nullptr) || (replyLength != 0 && reply == nullptr)) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  CommandPacket packet{};
  packet.requestData = requestLength != 0 ? request : nullptr;
  packet.requestLength = requestLength;
  packet.replyData = replyLength != 0 ? reply : nullptr;
  packet.replyLength = replyLength;
  packet.address = address;
  packet.command = command;
  packet.replyCommand = replyCommand;
  return link.Transact(packet);
}

uint32_t QueryState(CDeviceLink& link, uint16_t address, uint16_t group, uint16_t item, void* buffer,
                    uint32_t length) {
  const SelectorBytes selector = MakeSelector(group, item);
  return link.GetStateEx(selector.bytes, buffer, length, address);
}

}  // namespace norvex
