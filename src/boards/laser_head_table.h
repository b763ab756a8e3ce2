// laser_head_table.h: the laser head board's commands and state records as
// tables: command word and bytes sent; selector and record size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex.h"
#include "protocol/unit_exchange.h"

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

enum class State : size_t {
  kSystem,
  kVersion,
  kName,
  kUart,
  kErrorInfo,
  kADC,
  kPSD,
  kAF,
  kSF,
  kMotor,
};

// clang-format off
inline constexpr StateRow<State> kStates[] = {
    // id                 name                  group   item    bytes
    {State::kSystem,     "LH_GetSystemState",  0x0000, 0x0000, 12},
    {State::kVersion,    "LH_GetInfo version", 0x0000, 0x0008, 4},
    {State::kName,       "LH_GetInfo name",    0x0000, 0x0004, 20},
    {State::kUart,       "LH_GetUartState",    0x0000, 0x000C, 4},
    {State::kErrorInfo,  "LH_GetErrorInfo",    0x0000, 0x000F, 8},
    {State::kADC,        "LH_GetADCState",     0x4200, 0x0000, 12},
    {State::kPSD,        "LH_GetPSDState",     0x4500, 0x0000, 40},
    {State::kAF,         "LH_GetAFState",      0x4500, 0x0001, 8},
    {State::kSF,         "LH_GetSFState",      0x4600, 0x0000, 20},
    {State::kMotor,      "LH_GetMotorState",   0x4800, 0x0000, 40},
};
// clang-format on
static_assert(RowsInIdOrder(kStates), "kStates must follow the order of State");

// LH_GetInfo's 24-byte buffer: the version, then the name.
inline constexpr InfoPart<State> kInfoParts[] = {{State::kVersion, 0}, {State::kName, 4}};
inline constexpr uint32_t kInfoSize = 24;

}  // namespace norvex::laserhead
