// main_unit_commands.h: the main unit's machine and system commands and its
// parameterless functions, as tables: command word, bytes sent, reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex.h"
#include "protocol/unit_rows.h"

namespace norvex::mainunit {

inline constexpr uint16_t kAddress = NORVEX_ADDR_MAIN_UNIT;

enum class Command : size_t {
  kSetCurrent,
  kStartPrint,
  kLoadControl,
  kEraseEeprom,
  kGetLaserPower,
  kChannelTest,
  kCounterFunc,
  kStartFindMedium,
  kFMInitPara,
  kMotorMove,
  kMotorMoveTo,
  kMotorStop,
  kPrintTest,
  kReturnZero,
  kSetValveState,
  kSetRunMode,
  kFindBalanceBlock,
  kPosBalanceBlock,
  kTailPos,
};

using CommandEntry = CommandRow<Command>;
inline constexpr uint16_t kAck = CTP_REPLY_ACK;

// Every block is sent byte for byte from the caller's memory; the two data
// replies are 4 bytes with the command word plus one.
// clang-format off
inline constexpr CommandEntry kCommands[] = {
    // id                         name                   command  sent  reply   reply bytes
    {Command::kSetCurrent,       "NV_SetCurrent",       0x08B0,  64,   kAck,   0},
    {Command::kStartPrint,       "NV_StartPrint",       0x0820,  64,   kAck,   0},
    {Command::kLoadControl,      "NV_LoadControl",      0x0828,  4,    kAck,   0},
    {Command::kEraseEeprom,      "Norvex_EraseEeprom",  0xC040,  12,   kAck,   0},
    {Command::kGetLaserPower,    "NV_GetLaserPower",    0x0886,  0,    0x0887, 4},
    {Command::kChannelTest,      "NV_ChannelTest",      0x0874,  4,    kAck,   0},
    {Command::kCounterFunc,      "Norvex_CounterFunc",  0x08FE,  8,    kAck,   0},
    {Command::kStartFindMedium,  "NV_StartFindMedium",  0x0890,  56,   kAck,   0},
    {Command::kFMInitPara,       "NV_FMInitPara",       0x0892,  56,   kAck,   0},
    {Command::kMotorMove,        "NV_MotorMove",        0x0810,  12,   kAck,   0},
    {Command::kMotorMoveTo,      "NV_MotorMoveTo",      0x0812,  16,   kAck,   0},
    {Command::kMotorStop,        "NV_MotorStop",        0x0814,  4,    kAck,   0},
    {Command::kPrintTest,        "NV_PrintTest",        0x0818,  16,   kAck,   0},
    {Command::kReturnZero,       "NV_ReturnZero",       0x081A,  4,    kAck,   0},
    {Command::kSetValveState,    "NV_SetValveState",    0x0854,  4,    kAck,   0},
    {Command::kSetRunMode,       "NV_SetRunMode",       0xC002,  4,    kAck,   0},
    {Command::kFindBalanceBlock, "NV_FindBalanceBlock", 0x0832,  12,   kAck,   0},
    {Command::kPosBalanceBlock,  "NV_PosBalanceBlock",  0x0834,  4,    kAck,   0},
    {Command::kTailPos,          "NV_TailPos",          0x0872,  4,    0x0873, 4},
};
// clang-format on
static_assert(RowsInIdOrder(kCommands), "kCommands must follow the order of Command");

enum class Function : size_t {
  kResetPage,
  kUpdatePage,
  kEndPrint,
  kCancelPrint,
  kClearPrintError,
  kLoadAck,
  kDoFlashModule,
  kMoveMedium,
  kClearUSBError,
  kReSelftest,
};

using FunctionEntry = FunctionRow<Function>;

// Function calls (0xC0D8) with a selector and no parameters.
// clang-format off
inline constexpr FunctionEntry kFunctions[] = {
    // id                          name                  group   item
    {Function::kResetPage,        "NV_ResetPage",       0x1800, 0x0010},
    {Function::kUpdatePage,       "NV_UpdatePage",      0x1800, 0x0011},
    {Function::kEndPrint,         "NV_EndPrint",        0x1800, 0x0020},
    {Function::kCancelPrint,      "NV_CancelPrint",     0x9000, 0x0002},
    {Function::kClearPrintError,  "print error clear",  0x9000, 0x0001},
    {Function::kLoadAck,          "NV_LoadAck",         0x7700, 0x0004},
    {Function::kDoFlashModule,    "NV_DoFlashModule",   0xF000, 0x0000},
    {Function::kMoveMedium,       "NV_MoveMedium",      0x7700, 0x0001},
    {Function::kClearUSBError,    "NV_ClearUSBError",   0x2000, 0x0000},
    {Function::kReSelftest,       "NV_ReSelftest",      0x1000, 0x000F},
};
// clang-format on
static_assert(RowsInIdOrder(kFunctions), "kFunctions must follow the order of Function");

}  // namespace norvex::mainunit
