// unit_records.h: the state records of the emulated units, as the machine
// keeps them: each unit's records at their real sizes, with the selector of
// their state query and the host function that reads each. Written apart
// from the library's own list (include/norvex_records.h) on purpose: each is
// the check on the other, and the tests of the library take their records
// from here (RecordsOf, FindRecord). Header only, so that a Windows test
// program, whose machine lives in the stand-in driver, has them as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "emu/device_types.h"

namespace norvex::emu {

struct UnitRecord {
  const char* reader;  // the host function that reads it (and the part, where it reads several)
  uint16_t group;
  uint16_t item;
  uint16_t size;  // bytes; the texts are of their own size (the kernel name: any the host takes)
};

// The main unit's records. The general state starts ready (01 00 00 00), the
// kernel name holds "NVX-MAIN V1.3.0". The parameter file's header and size
// table are its parameter file's (device_model.h, ParaFiles()).
inline constexpr UnitRecord kMainUnitRecords[] = {
    {"NV_GetState", 0x0000, 0x0000, 4},
    {"NV_GetVavleState", 0x3000, 0x0000, 12},
    {"NV_GetBalanceState", 0xBB00, 0x0000, 32},
    {"NV_GetPrintState", 0x9000, 0x0000, 92},
    {"NV_GetPrintPara", 0x9001, 0x0000, 64},
    {"NV_GetCtpCounterCtrl", 0xCC00, 0x0000, 8},
    {"NV_GetCounterInfo", 0xCC00, 0x0001, 64},
    {"NV_GetPageCounter", 0xCC00, 0x0002, 8},
    {"NV_GetCCInitData", 0xCC00, 0x0003, 16},
    {"NV_GetCCICtrl", 0xCD00, 0x0000, 32},
    {"NV_GetFlashCtrl", 0xF000, 0x0000, 24},
    {"NV_GetInitState", 0x1000, 0x0000, 24},
    {"NV_GetLoadState", 0x7700, 0x0000, 16},
    {"NV_GetSensorState", 0x5000, 0x0000, 16},
    {"NV_GetFScanState", 0xE000, 0x0000, 16},
    {"NV_GetSScanState", 0xE400, 0x0000, 16},
    {"NV_GetSystemError", 0xFF00, 0x0000, 8},
    {"NV_GetSetFocusState", 0xC600, 0x0000, 8},
    {"NV_GetLHSentCtrlState", 0xC400, 0x0000, 28},
    {"NV_GetFindMediumState", 0xE600, 0x0000, 40},
    {"NV_GetKernelVersion", 0x0000, 0x0008, 4},
    {"NV_GetFPGAVersion", 0x0009, 0x0000, 4},
    {"NV_GetKernelName", 0x0000, 0x0004, 16},
    {"NV_GetUSBState", 0x2000, 0x0000, 4},
    {"NV_GetDeviceInfo", 0x0000, 0x0002, 32},
};

// The laser head board's records; the name is "LH-BOARD V2.0".
inline constexpr UnitRecord kLaserHeadRecords[] = {
    {"LH_GetSystemState", 0x0000, 0x0000, 12}, {"LH_GetInfo version", 0x0000, 0x0008, 4},
    {"LH_GetInfo name", 0x0000, 0x0004, 20},   {"LH_GetUartState", 0x0000, 0x000C, 4},
    {"LH_GetErrorInfo", 0x0000, 0x000F, 8},    {"LH_GetADCState", 0x4200, 0x0000, 12},
    {"LH_GetPSDState", 0x4500, 0x0000, 40},    {"LH_GetAFState", 0x4500, 0x0001, 8},
    {"LH_GetSFState", 0x4600, 0x0000, 20},     {"LH_GetMotorState", 0x4800, 0x0000, 40},
};

// Each HS board's records; board n's name is "HS-BOARD n V1.0".
inline constexpr UnitRecord kHsBoardRecords[] = {
    {"HS_GetSystemState", 0x0000, 0x0000, 12},  {"HS_GetInfo version", 0x0000, 0x0008, 4},
    {"HS_GetInfo name", 0x0000, 0x0004, 32},    {"HS_GetInfo FPGA word", 0x6000, 0x0000, 4},
    {"HS_GetUartState", 0x0000, 0x000C, 4},     {"HS_GetErrorInfo", 0x0000, 0x000F, 8},
    {"HS_GetInitState", 0x4000, 0x0000, 4},     {"HS_GetADCState", 0x4200, 0x0000, 52},
    {"HS_GetFPGAState", 0x6000, 0x0001, 4},     {"HS_GetLDState", 0x8000, 0x0000, 72},
    {"HS_GetDAC7611State", 0x8000, 0x0001, 32},
};

// The records of the unit at `address`: a range over one of the lists above,
// empty for an address without a unit.
struct UnitRecords {
  const UnitRecord* first = nullptr;
  size_t count = 0;
  const UnitRecord* begin() const { return first; }
  const UnitRecord* end() const { return first + count; }
};
inline UnitRecords RecordsOf(uint8_t address) {
  switch (address) {
    case kMainUnit:
      return {kMainUnitRecords, std::size(kMainUnitRecords)};
    case kLaserHead:
      return {kLaserHeadRecords, std::size(kLaserHeadRecords)};
    case kHsBoard0:
    case kHsBoard1:
      return {kHsBoardRecords, std::size(kHsBoardRecords)};
    default:
      return {};
  }
}

// The record of the unit at `address` that `reader` reads, or null.
inline const UnitRecord* FindRecord(uint8_t address, std::string_view reader) {
  for (const UnitRecord& record : RecordsOf(address)) {
    if (reader == record.reader) return &record;
  }
  return nullptr;
}

}  // namespace norvex::emu
