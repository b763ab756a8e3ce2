// main_unit.h: CMainUnit, the main unit's commands, functions and state
// queries over the library's command link, each one a row of the main unit's
// tables (main_unit_commands.h, main_unit_states.h).
#pragma once

#include <cstdint>

#include "mainunit/main_unit_commands.h"
#include "mainunit/main_unit_states.h"
#include "protocol/device_link.h"
#include "protocol/unit_exchange.h"

namespace norvex {

class CMainUnit {
 public:
  explicit CMainUnit(CDeviceLink& link) : m_link(link) {}

  // The command of `id` with the caller's block (its row's size; ignored when
  // the row sends nothing) and, for the data replies, the caller's 4-byte
  // reply buffer, written only on success. Null where a block or buffer is
  // needed: NORVEX_ERR_INVALID_ARGUMENT, nothing sent.
  uint32_t Send(mainunit::Command id, const void* block, void* reply = nullptr);
  // The tail position command: `value` goes as 4 little-endian bytes.
  uint32_t TailPos(uint32_t value, void* reply);
  // The function call of `id` (no parameters).
  uint32_t Call(mainunit::Function id);
  // The state query of `id` into the caller's buffer (the row's size; 500
  // bytes for the kernel name).
  uint32_t Query(mainunit::State id, void* buffer);

  // Reads the print state and, only while it flags a print error, sends the
  // print-error clear. `afterEach` receives each exchange's result.
  uint32_t ClearPrintError(ResultSink afterEach);

 private:
  CDeviceLink& m_link;
};

}  // namespace norvex
