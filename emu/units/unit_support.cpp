// unit_support.cpp: the record and request helpers of the emulated units.
#include <algorithm>
#include <utility>

#include "emu/units/units.h"

namespace norvex::emu::units {

Bytes TextRecord(const std::string& text, size_t size) {
  if (size == 0) size = (text.size() / 4 + 1) * 4;
  Bytes record(size, 0);
  std::copy_n(text.begin(), std::min(text.size(), size), record.begin());
  return record;
}

uint32_t Get32(const Bytes& bytes, size_t offset) {
  return static_cast<uint32_t>(Get16(bytes, offset)) |
         (static_cast<uint32_t>(Get16(bytes, offset + 2)) << 16);
}

uint16_t Get16(const Bytes& bytes, size_t offset) {
  if (offset + 2 > bytes.size()) return 0;
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void Put32(Bytes& bytes, size_t offset, uint32_t value) {
  Put16(bytes, offset, static_cast<uint16_t>(value & 0xFFFFu));
  Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

void Put16(Bytes& bytes, size_t offset, uint16_t value) {
  if (bytes.size() < offset + 2) bytes.resize(offset + 2, 0);
  bytes[offset] = static_cast<uint8_t>(value & 0xFFu);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutBytes(Bytes& bytes, size_t offset, const uint8_t* data, size_t size) {
  if (bytes.size() < offset + size) bytes.resize(offset + size, 0);
  std::copy_n(data, size, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

CommandHandler Sized(size_t requestLength, std::function<Reply(const Bytes& data)> act) {
  return [requestLength, act = std::move(act)](const Request& request) {
    if (request.data.size() != requestLength) return Reply::Error(kErrorBadLength);
    return act(request.data);
  };
}

}  // namespace norvex::emu::units
