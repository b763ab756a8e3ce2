// hs_board.h: CHsBoards, the two HS laser driver boards' commands, state
// queries and function call over the library's command link: the per-board
// loops over a board mask, the channel routing, the packed bus data and
// switch patterns. Each exchange is a row of hs_board_table.h.
#pragma once

#include <cstdint>

#include "boards/hs_board_table.h"
#include "protocol/device_link.h"
#include "protocol/unit_exchange.h"

namespace norvex {

class CHsBoards {
 public:
  explicit CHsBoards(CDeviceLink& link) : m_link(link) {}

  // Every operation refuses a null pointer and a board number above 1 with
  // NORVEX_ERR_INVALID_ARGUMENT before anything is sent. The mask operations
  // serve board 0, then board 1, as their bits select them (higher bits are
  // ignored), stop at the first failing board with its result, and return 0
  // when the mask selects no board.

  // Bus data: *out is zeroed, then each served board's low 16 bits are OR'ed
  // in at a shift that grows by 2 per served board.
  uint32_t GetBusData(uint32_t mask, uint32_t* out);
  // SetCurrent or SwitchLaser: routes the 4-byte record by its channel word
  // (mod 32: bit 4 the board) and rewrites that word to the board's channel
  // (0..15) before sending the record.
  uint32_t SendToChannel(hsboard::Command id, void* record);
  // 32 bytes of `list` to each served board, the list moving on kCurListStep
  // bytes after each.
  uint32_t SetCurList(uint32_t mask, const void* list);
  // The 4 bytes of `value` to each served board (SetMode, SetPeriod).
  uint32_t SendValue(hsboard::Command id, uint32_t mask, uint32_t value);
  // (pattern >> shift) AND 0xFFFF to each served board, the shift growing
  // by 2 per served board.
  uint32_t SwitchLaserAll(uint32_t mask, uint32_t pattern);

  uint32_t Query(hsboard::State id, uint32_t board, void* buffer);
  uint32_t GetStateEx(uint32_t board, void* buffer, uint32_t length, uint32_t group, uint32_t item);
  // Version (bytes 0..3), name (4..35), FPGA word (36..39); stops at the
  // first failure.
  uint32_t GetInfo(uint32_t board, void* buffer);
  // The function call to each served board; `afterEach` receives each
  // board's result as soon as it has it, and the refusal of null `data`.
  uint32_t FunctionEx(uint32_t mask, const void* data, uint32_t extra, ResultSink afterEach);

  // The parameter file of `board`, through params/para_transfer.h.
  uint32_t GetParaFile(uint32_t board, void* record, uint32_t mask);
  uint32_t SetParaFile(uint32_t board, void* record, uint32_t mask);
  uint32_t SaveParaFile(uint32_t board, uint32_t mask);

 private:
  // Runs `exchange(board)` for each board selected by `mask`, in order,
  // stopping at the first failure.
  template <typename Exchange>
  static uint32_t ForEachBoard(uint32_t mask, Exchange exchange);

  CDeviceLink& m_link;
};

}  // namespace norvex
