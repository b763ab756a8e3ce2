// main_unit_states.h: the main unit's state records as a table: selector
// (group, item) and record size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frame.h"
#include "protocol/unit_exchange.h"

namespace norvex::mainunit {

enum class State : size_t {
  kGeneral,
  kValve,
  kBalance,
  kPrint,
  kPrintPara,
  kCtpCounterCtrl,
  kCounterInfo,
  kPageCounter,
  kCCInitData,
  kCCICtrl,
  kFlashCtrl,
  kInit,
  kLoad,
  kSensor,
  kFScan,
  kSScan,
  kSystemError,
  kSetFocus,
  kLHSentCtrl,
  kFindMedium,
  kKernelVersion,
  kFPGAVersion,
  kKernelName,
  kUSB,
  kDeviceInfo,
  kParaFileSizeTable,
  kParaFileHeader,
};

using StateEntry = StateRow<State>;

// clang-format off
inline constexpr StateEntry kStates[] = {
    // id                           name                      group   item    bytes
    {State::kGeneral,              "NV_GetState",            0x0000, 0x0000, 4},
    {State::kValve,                "NV_GetVavleState",       0x3000, 0x0000, 12},
    {State::kBalance,              "NV_GetBalanceState",     0xBB00, 0x0000, 32},
    {State::kPrint,                "NV_GetPrintState",       0x9000, 0x0000, 92},
    {State::kPrintPara,            "NV_GetPrintPara",        0x9001, 0x0000, 64},
    {State::kCtpCounterCtrl,       "NV_GetCtpCounterCtrl",   0xCC00, 0x0000, 8},
    {State::kCounterInfo,          "NV_GetCounterInfo",      0xCC00, 0x0001, 64},
    {State::kPageCounter,          "NV_GetPageCounter",      0xCC00, 0x0002, 8},
    {State::kCCInitData,           "NV_GetCCInitData",       0xCC00, 0x0003, 16},
    {State::kCCICtrl,              "NV_GetCCICtrl",          0xCD00, 0x0000, 32},
    {State::kFlashCtrl,            "NV_GetFlashCtrl",        0xF000, 0x0000, 24},
    {State::kInit,                 "NV_GetInitState",        0x1000, 0x0000, 24},
    {State::kLoad,                 "NV_GetLoadState",        0x7700, 0x0000, 16},
    {State::kSensor,               "NV_GetSensorState",      0x5000, 0x0000, 16},
    {State::kFScan,                "NV_GetFScanState",       0xE000, 0x0000, 16},
    {State::kSScan,                "NV_GetSScanState",       0xE400, 0x0000, 16},
    {State::kSystemError,          "NV_GetSystemError",      0xFF00, 0x0000, 8},
    {State::kSetFocus,             "NV_GetSetFocusState",    0xC600, 0x0000, 8},
    {State::kLHSentCtrl,           "NV_GetLHSentCtrlState",  0xC400, 0x0000, 28},
    {State::kFindMedium,           "NV_GetFindMediumState",  0xE600, 0x0000, 40},
    {State::kKernelVersion,        "NV_GetKernelVersion",    0x0000, 0x0008, 4},
    {State::kFPGAVersion,          "NV_GetFPGAVersion",      0x0009, 0x0000, 4},
    // Any length the frame allows: the caller's buffer holds 500 bytes.
    {State::kKernelName,           "NV_GetKernelName",       0x0000, 0x0004, kAnyReplyLength},
    {State::kUSB,                  "NV_GetUSBState",         0x2000, 0x0000, 4},
    {State::kDeviceInfo,           "NV_GetDeviceInfo",       0x0000, 0x0002, 32},
    // Read by the parameter-file transfer before it touches the file.
    {State::kParaFileSizeTable,    "parameter-file sizes",   0xF800, 0x0001, 36},
    {State::kParaFileHeader,       "parameter-file header",  0xF800, 0x0002, 8},
};
// clang-format on
static_assert(RowsInIdOrder(kStates), "kStates must follow the order of State");

// The print state's flag of a print error waiting to be cleared.
inline constexpr size_t kPrintErrorByte = 28;
inline constexpr uint8_t kPrintErrorMask = 0x80;

}  // namespace norvex::mainunit
