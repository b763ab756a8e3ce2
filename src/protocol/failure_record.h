// failure_record.h: the record of the last failed command and its text.
#pragma once

#include <cstdint>
#include <string>

#include "norvex.h"

namespace norvex {

// A copy of the packet of the last failure, with its result code.
struct FailureRecord {
  uint32_t resultCode = 0;
  uint8_t requestHead[8] = {};  // the first min(request length, 8) request bytes
  uint32_t requestLength = 0;
  uint32_t replyLength = 0;
  uint16_t address = 0;
  uint16_t command = 0;
  uint16_t replyAddress = 0;
  uint16_t replyCommand = 0;
};

// Copies `packet` and `code` into `record`; request bytes beyond the packet's
// length keep what the record held before.
void FillFailureRecord(FailureRecord& record, const CommandPacket& packet, uint32_t code);

// The text of `record` for `code` (GBK bytes): the detailed text when the
// codes match (returns 1), otherwise the notice that no more is known, with
// the recorded code and the asked code (returns 0).
int FormatFailureText(const FailureRecord& record, uint32_t code, std::string& text);

}  // namespace norvex
