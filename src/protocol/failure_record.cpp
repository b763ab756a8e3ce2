// failure_record.cpp: filling and formatting the failure record.
#include "protocol/failure_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/library_texts.h"
#include "protocol/frame.h"

namespace norvex {

void FillFailureRecord(FailureRecord& record, const CommandPacket& packet, uint32_t code) {
  record.resultCode = code;
  const uint32_t head = std::min<uint32_t>(packet.requestLength, sizeof(record.requestHead));
  if (head != 0 && packet.requestData != nullptr) {
    std::memcpy(record.requestHead, packet.requestData, head);
  }
  record.requestLength = packet.requestLength;
  record.replyLength = packet.replyLength;
  record.address = packet.address;
  record.command = packet.command;
  record.replyAddress = packet.replyAddress;
  record.replyCommand = packet.replyCommand;
}

int FormatFailureText(const FailureRecord& record, uint32_t code, std::string& text) {
  char buffer[256];
  if (code != record.resultCode) {
    std::snprintf(buffer, sizeof(buffer), "%s\n%s0x%08X/0x%08X\n", texts::kNoFurtherInfo.gbk,
                  texts::kErrorCodeIs.gbk, record.resultCode, code);
    text = buffer;
    return 0;
  }
  std::snprintf(buffer, sizeof(buffer),
                "%s 0x%08X\n\tSend:(0x%04X , 0x%04X , 0x%02X)\n\t Rec:(0x%04X , 0x%04X , 0x%02X)\n",
                texts::kErrorNumber.gbk, record.resultCode, record.command, record.requestLength,
                record.address, record.replyCommand, record.replyLength, record.replyAddress);
  text = buffer;
  const uint32_t words = std::min<uint32_t>(record.requestLength, 8) / 2;
  if (words >= 1) {
    text += "\tData:( ";
    for (uint32_t i = 0; i < words; ++i) {
      std::snprintf(buffer, sizeof(buffer), "%04X ", LoadWord(record.requestHead + 2 * i));
      text += buffer;
    }
    text += ")\n";
  }
  return 1;
}

}  // namespace norvex
