/* norvex_records.h: the state records of the platesetter's units as the
 * library reads them: for each record the selector of its state query
 * (CTP_CMD_GET_STATE_EX: the group word, then the item word), its size in
 * bytes and the function of norvex.h that reads it. Data only, for C and C++:
 * the library makes its own record tables from these lists, and norvexctl
 * names the records from them.
 *
 * Each list is an X macro that calls X(id, reader, group, item, bytes) once a
 * record, in a fixed order; `id` names the record within its unit. The arrays
 * further down hold the same rows as NorvexRecord records.
 */
#ifndef NORVEX_RECORDS_H
#define NORVEX_RECORDS_H

#include <stdint.h>

/* The size of a record that may come back in any length a reply frame
 * allows (at most 500 bytes); the caller's buffer holds 500. */
#define NORVEX_RECORD_ANY_LENGTH 0xFFFFFFFFu

/* The main unit (NORVEX_ADDR_MAIN_UNIT). The parameter file's header and size
 * table are read by NV_GetParaFile and NV_SetParaFile before the file. */
#define NORVEX_MAIN_UNIT_RECORDS(X)                                           \
  X(General, "NV_GetState", 0x0000, 0x0000, 4)                                \
  X(Valve, "NV_GetVavleState", 0x3000, 0x0000, 12)                            \
  X(Balance, "NV_GetBalanceState", 0xBB00, 0x0000, 32)                        \
  X(Print, "NV_GetPrintState", 0x9000, 0x0000, 92)                            \
  X(PrintPara, "NV_GetPrintPara", 0x9001, 0x0000, 64)                         \
  X(CtpCounterCtrl, "NV_GetCtpCounterCtrl", 0xCC00, 0x0000, 8)                \
  X(CounterInfo, "NV_GetCounterInfo", 0xCC00, 0x0001, 64)                     \
  X(PageCounter, "NV_GetPageCounter", 0xCC00, 0x0002, 8)                      \
  X(CCInitData, "NV_GetCCInitData", 0xCC00, 0x0003, 16)                       \
  X(CCICtrl, "NV_GetCCICtrl", 0xCD00, 0x0000, 32)                             \
  X(FlashCtrl, "NV_GetFlashCtrl", 0xF000, 0x0000, 24)                         \
  X(Init, "NV_GetInitState", 0x1000, 0x0000, 24)                              \
  X(Load, "NV_GetLoadState", 0x7700, 0x0000, 16)                              \
  X(Sensor, "NV_GetSensorState", 0x5000, 0x0000, 16)                          \
  X(FScan, "NV_GetFScanState", 0xE000, 0x0000, 16)                            \
  X(SScan, "NV_GetSScanState", 0xE400, 0x0000, 16)                            \
  X(SystemError, "NV_GetSystemError", 0xFF00, 0x0000, 8)                      \
  X(SetFocus, "NV_GetSetFocusState", 0xC600, 0x0000, 8)                       \
  X(LHSentCtrl, "NV_GetLHSentCtrlState", 0xC400, 0x0000, 28)                  \
  X(FindMedium, "NV_GetFindMediumState", 0xE600, 0x0000, 40)                  \
  X(KernelVersion, "NV_GetKernelVersion", 0x0000, 0x0008, 4)                  \
  X(FPGAVersion, "NV_GetFPGAVersion", 0x0009, 0x0000, 4)                      \
  X(KernelName, "NV_GetKernelName", 0x0000, 0x0004, NORVEX_RECORD_ANY_LENGTH) \
  X(USB, "NV_GetUSBState", 0x2000, 0x0000, 4)                                 \
  X(DeviceInfo, "NV_GetDeviceInfo", 0x0000, 0x0002, 32)                       \
  X(ParaFileSizeTable, "NV_GetParaFile sizes", 0xF800, 0x0001, 36)            \
  X(ParaFileHeader, "NV_GetParaFile header", 0xF800, 0x0002, 8)

/* The laser head board (NORVEX_ADDR_LASER_HEAD). LH_GetInfo reads the version
 * and the name into one buffer. */
#define NORVEX_LASER_HEAD_RECORDS(X)                               \
  X(System, "LH_GetSystemState", 0x0000, 0x0000, 12)               \
  X(Version, "LH_GetInfo version", 0x0000, 0x0008, 4)              \
  X(Name, "LH_GetInfo name", 0x0000, 0x0004, 20)                   \
  X(Uart, "LH_GetUartState", 0x0000, 0x000C, 4)                    \
  X(ErrorInfo, "LH_GetErrorInfo", 0x0000, 0x000F, 8)               \
  X(ADC, "LH_GetADCState", 0x4200, 0x0000, 12)                     \
  X(PSD, "LH_GetPSDState", 0x4500, 0x0000, 40)                     \
  X(AF, "LH_GetAFState", 0x4500, 0x0001, 8)                        \
  X(SF, "LH_GetSFState", 0x4600, 0x0000, 20)                       \
  X(Motor, "LH_GetMotorState", 0x4800, 0x0000, 40)                 \
  X(ParaFileSizeTable, "LH_GetParaFile sizes", 0x5000, 0x0001, 20) \
  X(ParaFileHeader, "LH_GetParaFile header", 0x5000, 0x0002, 8)

/* Each HS board (NORVEX_ADDR_HS_BOARD(n)). HS_GetInfo reads the version, the
 * name and the FPGA word into one buffer. */
#define NORVEX_HS_BOARD_RECORDS(X)                                 \
  X(System, "HS_GetSystemState", 0x0000, 0x0000, 12)               \
  X(Version, "HS_GetInfo version", 0x0000, 0x0008, 4)              \
  X(Name, "HS_GetInfo name", 0x0000, 0x0004, 32)                   \
  X(FPGAWord, "HS_GetInfo FPGA word", 0x6000, 0x0000, 4)           \
  X(Uart, "HS_GetUartState", 0x0000, 0x000C, 4)                    \
  X(ErrorInfo, "HS_GetErrorInfo", 0x0000, 0x000F, 8)               \
  X(Init, "HS_GetInitState", 0x4000, 0x0000, 4)                    \
  X(ADC, "HS_GetADCState", 0x4200, 0x0000, 52)                     \
  X(FPGA, "HS_GetFPGAState", 0x6000, 0x0001, 4)                    \
  X(LD, "HS_GetLDState", 0x8000, 0x0000, 72)                       \
  X(DAC7611, "HS_GetDAC7611State", 0x8000, 0x0001, 32)             \
  X(ParaFileSizeTable, "HS_GetParaFile sizes", 0x5000, 0x0001, 28) \
  X(ParaFileHeader, "HS_GetParaFile header", 0x5000, 0x0002, 8)

/* ---- The same lists as arrays ----------------------------------------------- */

typedef struct NorvexRecord {
  const char* reader; /* the function that reads it, or that and the part it reads */
  uint16_t group;
  uint16_t item;
  uint32_t bytes; /* NORVEX_RECORD_ANY_LENGTH: any length up to 500 */
} NorvexRecord;

#ifdef __cplusplus
#define NORVEX_RECORD_TABLE static constexpr
#else
#define NORVEX_RECORD_TABLE static const
#endif
#define NORVEX_RECORD_ENTRY(id, reader, group, item, bytes) {reader, group, item, bytes},

NORVEX_RECORD_TABLE NorvexRecord NorvexMainUnitRecords[] = {NORVEX_MAIN_UNIT_RECORDS(NORVEX_RECORD_ENTRY)};
NORVEX_RECORD_TABLE NorvexRecord NorvexLaserHeadRecords[] = {NORVEX_LASER_HEAD_RECORDS(NORVEX_RECORD_ENTRY)};
NORVEX_RECORD_TABLE NorvexRecord NorvexHsBoardRecords[] = {NORVEX_HS_BOARD_RECORDS(NORVEX_RECORD_ENTRY)};

#undef NORVEX_RECORD_ENTRY
#undef NORVEX_RECORD_TABLE

#endif /* NORVEX_RECORDS_H */
