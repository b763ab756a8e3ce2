// laser_head.h: CLaserHead, the laser head board's commands, state queries
// and function call over the library's command link, each one a row of the
// board's tables (laser_head_table.h).
#pragma once

#include <cstdint>

#include "boards/laser_head_table.h"
#include "protocol/device_link.h"
#include "protocol/unit_exchange.h"

namespace norvex {

class CLaserHead {
 public:
  explicit CLaserHead(CDeviceLink& link) : m_link(link) {}

  // The command of `id` with the caller's block of the row's size (ignored
  // when the row sends nothing). Null where a block is needed:
  // NORVEX_ERR_INVALID_ARGUMENT, nothing sent.
  uint32_t Send(laserhead::Command id, const void* block);
  // The command of `id` with `value` as 4 little-endian bytes.
  uint32_t SendValue(laserhead::Command id, uint32_t value);
  // The state query of `id` into the caller's buffer.
  uint32_t Query(laserhead::State id, void* buffer);
  // Any state query: the low 16 bits of `group` and `item` are the selector.
  uint32_t GetStateEx(void* buffer, uint32_t length, uint32_t group, uint32_t item);
  // Version into bytes 0..3, name into bytes 4..23; stops at the first failure.
  uint32_t GetInfo(void* buffer);
  // The function call: the selector and (extra AND 0xFFFF) more bytes of
  // `data` (null: NORVEX_ERR_INVALID_ARGUMENT, nothing sent).
  uint32_t FunctionEx(const void* data, uint32_t extra);

 private:
  CDeviceLink& m_link;
};

}  // namespace norvex
