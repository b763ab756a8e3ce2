// laser_head_table.h: the laser head board's commands and state records as
// tables: command word and bytes sent; selector and record size (the records
// made from the list of norvex_records.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex.h"
#include "norvex_records.h"
#include "protocol/unit_rows.h"

namespace norvex::laserhead {

inline constexpr uint16_t kAddress = NORVEX_ADDR_LASER_HEAD;

enum class Command : size_t { kSetLDCurrent, kSetFocus, kReturnZero, kMove, kMoveTo, kStop };

// Every command expects a bare acknowledgement.
// clang-format off
inline constexpr CommandRow<Command> kCommands[] = {
    // id                     name               command  sent  reply          reply bytes
    {Command::kSetLDCurrent, "LH_SetLDCurrent", 0x0422,  4,    CTP_REPLY_ACK, 0},
    {Command::kSetFocus,     "LH_SetFocus",     0x0442,  4,    CTP_REPLY_ACK, 0},
    {Command::kReturnZero,   "LH_ReturnZero",   0x0480,  0,    CTP_REPLY_ACK, 0},
    {Command::kMove,         "LH_Move",         0x0482,  12,   CTP_REPLY_ACK, 0},
    {Command::kMoveTo,       "LH_MoveTo",       0x0484,  16,   CTP_REPLY_ACK, 0},
    {Command::kStop,         "LH_Stop",         0x0486,  0,    CTP_REPLY_ACK, 0},
};
// clang-format on
static_assert(RowsInIdOrder(kCommands), "kCommands must follow the order of Command");

// One id a record of the list, in its order.
enum class State : size_t { NORVEX_LASER_HEAD_RECORDS(NORVEX_STATE_ID) };

inline constexpr StateRow<State> kStates[] = {NORVEX_LASER_HEAD_RECORDS(NORVEX_STATE_ROW)};
static_assert(RowsInIdOrder(kStates), "kStates must follow the order of State");

// LH_GetInfo's 24-byte buffer: the version, then the name.
inline constexpr InfoPart<State> kInfoParts[] = {{State::kVersion, 0}, {State::kName, 4}};
inline constexpr uint32_t kInfoSize = 24;

}  // namespace norvex::laserhead
