// laser_head.cpp: CLaserHead's table-driven exchanges (see laser_head.h).
#include "boards/laser_head.h"

namespace norvex {

using laserhead::kAddress;

uint32_t CLaserHead::Send(laserhead::Command id, const void* block) {
  return RunCommand(m_link, kAddress, RowOf(laserhead::kCommands, id), block, nullptr);
}

uint32_t CLaserHead::SendValue(laserhead::Command id, uint32_t value) {
  const SelectorBytes bytes = LittleEndian32(value);
  return Send(id, bytes.bytes);
}

uint32_t CLaserHead::Query(laserhead::State id, void* buffer) {
  return QueryState(m_link, kAddress, RowOf(laserhead::kStates, id), buffer);
}

uint32_t CLaserHead::GetStateEx(void* buffer, uint32_t length, uint32_t group, uint32_t item) {
  return QueryState(m_link, kAddress, static_cast<uint16_t>(group & 0xFFFFu),
                    static_cast<uint16_t>(item & 0xFFFFu), buffer, length);
}

uint32_t CLaserHead::GetInfo(void* buffer) {
  return QueryParts(m_link, kAddress, laserhead::kStates, laserhead::kInfoParts, buffer);
}

uint32_t CLaserHead::FunctionEx(const void* data, uint32_t extra) {
  return m_link.FunctionEx(data, kAddress, extra);
}

}  // namespace norvex
