// hs_board_table.h: the HS laser driver boards' commands and state records
// as tables (the records made from the list of norvex_records.h), and the
// board numbering.
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex.h"
#include "norvex_records.h"
#include "protocol/unit_rows.h"

namespace norvex::hsboard {

// Board n (0 or 1) answers at 0x20 + n; mask bit n selects it.
inline constexpr uint32_t kBoardCount = 2;
inline constexpr uint16_t Address(uint32_t board) {
  return static_cast<uint16_t>(NORVEX_ADDR_HS_BOARD(board));
}

// A channel number 0..31 across both boards: bit 4 is the board, bits 0..3
// the channel on it.
inline constexpr uint32_t kChannelsPerBoard = 16;
inline constexpr uint32_t kChannelCount = kChannelsPerBoard * kBoardCount;

// Per-board values packed into one word (bus data, switch pattern) move by
// this many bits from one served board to the next.
inline constexpr uint32_t kPackedBitsPerBoard = 2;

// How far the current list moves on after each board served: the second
// board's 32-byte block begins this many bytes after the first's. The boards'
// own layout is not known; 4 is the step that existing host programs and
// their 36-byte lists rely on, so it stays until the layout is settled (a
// list of 16 16-bit currents a board would call for 32).
inline constexpr uint32_t kCurListStep = 4;

enum class Command : size_t {
  kGetBusData,
  kSetCurrent,
  kSetCurList,
  kSetMode,
  kSetPeriod,
  kSwitchLaser,
  kSwitchLaserAll
};

// clang-format off
inline constexpr CommandRow<Command> kCommands[] = {
    // id                        name                 command  sent  reply          reply bytes
    {Command::kGetBusData,      "HS_GetBusData",     0x1000,  0,    0x1001,        4},
    {Command::kSetCurrent,      "HS_SetCurrent",     0x1080,  4,    CTP_REPLY_ACK, 0},
    {Command::kSetCurList,      "HS_SetCurList",     0x1082,  32,   CTP_REPLY_ACK, 0},
    {Command::kSetMode,         "HS_SetMode",        0x10E0,  4,    CTP_REPLY_ACK, 0},
    {Command::kSetPeriod,       "HS_SetPeriod",      0x10E2,  4,    CTP_REPLY_ACK, 0},
    {Command::kSwitchLaser,     "HS_SwitchLaser",    0x10E4,  4,    CTP_REPLY_ACK, 0},
    {Command::kSwitchLaserAll,  "HS_SwitchLaserAll", 0x10E6,  4,    CTP_REPLY_ACK, 0},
};
// clang-format on
static_assert(RowsInIdOrder(kCommands), "kCommands must follow the order of Command");

// One id a record of the list, in its order.
enum class State : size_t { NORVEX_HS_BOARD_RECORDS(NORVEX_STATE_ID) };

inline constexpr StateRow<State> kStates[] = {NORVEX_HS_BOARD_RECORDS(NORVEX_STATE_ROW)};
static_assert(RowsInIdOrder(kStates), "kStates must follow the order of State");

// HS_GetInfo's 40-byte buffer: version, name, FPGA word.
inline constexpr InfoPart<State> kInfoParts[] = {
    {State::kVersion, 0}, {State::kName, 4}, {State::kFPGAWord, 36}};
inline constexpr uint32_t kInfoSize = 40;

}  // namespace norvex::hsboard
