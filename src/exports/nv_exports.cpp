// nv_exports.cpp: the NV_ exports of the main unit.
#include "exports/export_support.h"
#include "mainunit/main_unit.h"
#include "norvex.h"
#include "params/para_check.h"
#include "params/para_transfer.h"
#include "printdata/sdram_readback.h"

using norvex::kUnloaded;
using norvex::Store;
using norvex::TheLibrary;
using norvex::WhileLoaded;

namespace {

// NV_GetMaxSDRAMIndex while the library is unloaded: as when the query fails.
constexpr uint32_t kUnloadedMaxSDRAMIndex = 31;

constexpr uint32_t kMainUnit = NORVEX_ADDR_MAIN_UNIT;

using norvex::mainunit::Command;
using norvex::mainunit::Function;
using norvex::mainunit::State;

norvex::CMainUnit MainUnit() { return norvex::CMainUnit(TheLibrary().Link()); }

// A command with the caller's block (or reply buffer), stored and returned.
uint32_t SendBlock(Command id, const void* block) {
  return WhileLoaded(kUnloaded, [&] { return Store(MainUnit().Send(id, block)); });
}
uint32_t CallFunction(Function id) {
  return WhileLoaded(kUnloaded, [&] { return Store(MainUnit().Call(id)); });
}
uint32_t QueryState(State id, void* buffer) {
  return WhileLoaded(kUnloaded, [&] { return Store(MainUnit().Query(id, buffer)); });
}

}  // namespace

extern "C" {

NORVEX_API uint32_t NORVEX_CALL NV_FunctionEx(const void* selector) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(TheLibrary().Link().FunctionEx(selector, kMainUnit, 0)); });
}

// ---- Commands with a block from the caller ----------------------------------
NORVEX_API uint32_t NORVEX_CALL NV_SetCurrent(const void* currentRecord) {
  return SendBlock(Command::kSetCurrent, currentRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_StartPrint(const void* printJob) {
  return SendBlock(Command::kStartPrint, printJob);
}
NORVEX_API uint32_t NORVEX_CALL NV_ChannelTest(const void* channelTest) {
  return SendBlock(Command::kChannelTest, channelTest);
}
NORVEX_API uint32_t NORVEX_CALL NV_StartFindMedium(const void* findMediumRecord) {
  return SendBlock(Command::kStartFindMedium, findMediumRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_FMInitPara(const void* findMediumRecord) {
  return SendBlock(Command::kFMInitPara, findMediumRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_MotorMove(const void* moveRecord) {
  return SendBlock(Command::kMotorMove, moveRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_MotorMoveTo(const void* moveToRecord) {
  return SendBlock(Command::kMotorMoveTo, moveToRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_MotorStop(const void* motorStop) {
  return SendBlock(Command::kMotorStop, motorStop);
}
NORVEX_API uint32_t NORVEX_CALL NV_PrintTest(const void* testRecord) {
  return SendBlock(Command::kPrintTest, testRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_ReturnZero(const void* returnZero) {
  return SendBlock(Command::kReturnZero, returnZero);
}
NORVEX_API uint32_t NORVEX_CALL NV_SetValveState(const void* valveState) {
  return SendBlock(Command::kSetValveState, valveState);
}
NORVEX_API uint32_t NORVEX_CALL NV_SetRunMode(const void* runMode) {
  return SendBlock(Command::kSetRunMode, runMode);
}
NORVEX_API uint32_t NORVEX_CALL NV_FindBalanceBlock(const void* balanceRecord) {
  return SendBlock(Command::kFindBalanceBlock, balanceRecord);
}
NORVEX_API uint32_t NORVEX_CALL NV_PosBalanceBlock(const void* balancePosition) {
  return SendBlock(Command::kPosBalanceBlock, balancePosition);
}

// Leaves the last-result word as it was, whatever the result.
NORVEX_API uint32_t NORVEX_CALL NV_LoadControl(const void* loadControl) {
  return WhileLoaded(kUnloaded, [&] { return MainUnit().Send(Command::kLoadControl, loadControl); });
}

// ---- Commands with a 4-byte reply --------------------------------------------
NORVEX_API uint32_t NORVEX_CALL NV_GetLaserPower(void* laserPower) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(MainUnit().Send(Command::kGetLaserPower, nullptr, laserPower)); });
}
NORVEX_API uint32_t NORVEX_CALL NV_TailPos(uint32_t value, void* tailPosition) {
  return WhileLoaded(kUnloaded, [&] { return Store(MainUnit().TailPos(value, tailPosition)); });
}

// ---- Function calls ------------------------------------------------------------
NORVEX_API uint32_t NORVEX_CALL NV_ResetPage(void) { return CallFunction(Function::kResetPage); }
NORVEX_API uint32_t NORVEX_CALL NV_UpdatePage(void) { return CallFunction(Function::kUpdatePage); }
NORVEX_API uint32_t NORVEX_CALL NV_EndPrint(void) { return CallFunction(Function::kEndPrint); }
NORVEX_API uint32_t NORVEX_CALL NV_CancelPrint(void) { return CallFunction(Function::kCancelPrint); }
NORVEX_API uint32_t NORVEX_CALL NV_LoadAck(void) { return CallFunction(Function::kLoadAck); }
NORVEX_API uint32_t NORVEX_CALL NV_DoFlashModule(void) { return CallFunction(Function::kDoFlashModule); }
NORVEX_API uint32_t NORVEX_CALL NV_MoveMedium(void) { return CallFunction(Function::kMoveMedium); }
NORVEX_API uint32_t NORVEX_CALL NV_ClearUSBError(void) { return CallFunction(Function::kClearUSBError); }
NORVEX_API uint32_t NORVEX_CALL NV_ReSelftest(void) { return CallFunction(Function::kReSelftest); }

// The print-state query, then the clear only while a print error waits; each
// exchange's result is stored as it comes.
NORVEX_API uint32_t NORVEX_CALL NV_ClearPrintError(void) {
  return WhileLoaded(kUnloaded,
                     [&] { return MainUnit().ClearPrintError([](uint32_t result) { Store(result); }); });
}

// ---- State queries ---------------------------------------------------------------
NORVEX_API uint32_t NORVEX_CALL NV_GetState(void* state) { return QueryState(State::kGeneral, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetVavleState(void* state) { return QueryState(State::kValve, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetBalanceState(void* state) { return QueryState(State::kBalance, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetPrintState(void* state) { return QueryState(State::kPrint, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetPrintPara(void* state) { return QueryState(State::kPrintPara, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetCtpCounterCtrl(void* state) {
  return QueryState(State::kCtpCounterCtrl, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetCounterInfo(void* state) {
  return QueryState(State::kCounterInfo, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetPageCounter(void* state) {
  return QueryState(State::kPageCounter, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetCCInitData(void* state) {
  return QueryState(State::kCCInitData, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetCCICtrl(void* state) { return QueryState(State::kCCICtrl, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetFlashCtrl(void* state) { return QueryState(State::kFlashCtrl, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetInitState(void* state) { return QueryState(State::kInit, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetLoadState(void* state) { return QueryState(State::kLoad, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetSensorState(void* state) { return QueryState(State::kSensor, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetFScanState(void* state) { return QueryState(State::kFScan, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetSScanState(void* state) { return QueryState(State::kSScan, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetSystemError(void* state) {
  return QueryState(State::kSystemError, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetSetFocusState(void* state) {
  return QueryState(State::kSetFocus, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetLHSentCtrlState(void* state) {
  return QueryState(State::kLHSentCtrl, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetFindMediumState(void* state) {
  return QueryState(State::kFindMedium, state);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetKernelVersion(void* version) {
  return QueryState(State::kKernelVersion, version);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetFPGAVersion(void* version) {
  return QueryState(State::kFPGAVersion, version);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetKernelName(void* kernelName) {
  return QueryState(State::kKernelName, kernelName);
}
NORVEX_API uint32_t NORVEX_CALL NV_GetUSBState(void* state) { return QueryState(State::kUSB, state); }
NORVEX_API uint32_t NORVEX_CALL NV_GetDeviceInfo(void* deviceInfo) {
  return QueryState(State::kDeviceInfo, deviceInfo);
}

// ---- Parameter file ----------------------------------------------------------------
NORVEX_API uint32_t NORVEX_CALL NV_GetParaFile(MainUnitParaFile* paraFile, uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::GetParaFile(TheLibrary().Link(), norvex::params::kMainUnitFile, kMainUnit,
                                             paraFile, sectionMask));
  });
}
NORVEX_API uint32_t NORVEX_CALL NV_SetParaFile(MainUnitParaFile* paraFile, uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::SetParaFile(TheLibrary().Link(), norvex::params::kMainUnitFile, kMainUnit,
                                             paraFile, sectionMask));
  });
}
NORVEX_API uint32_t NORVEX_CALL NV_SaveParaFile(uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::SaveParaFile(TheLibrary().Link(), kMainUnit, sectionMask));
  });
}
// Leaves the last-result word as it was.
NORVEX_API uint32_t NORVEX_CALL NV_CheckParaFile(MainUnitParaFile* paraFile, const void* limits) {
  return norvex::params::CheckMainUnitParaFile(reinterpret_cast<uint8_t*>(paraFile),
                                               static_cast<const uint8_t*>(limits));
}

// ---- Print data: the bulk write, print memory read-back, the index limit ----
NORVEX_API uint32_t NORVEX_CALL NV_SentPrintData(const void* data, uint32_t byteCount) {
  return WhileLoaded(kUnloaded, [&] {
    uint32_t length = byteCount;
    return Store(TheLibrary().PrintData().SentPtrData(data, length, false));
  });
}

NORVEX_API uint32_t NORVEX_CALL NV_ReadSDRAMData(void* buffer, uint32_t* byteCount) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(norvex::ReadSDRAMData(TheLibrary().Link(), buffer, byteCount)); });
}

NORVEX_API uint32_t NORVEX_CALL NV_GetMaxSDRAMIndex(void) {
  return WhileLoaded(kUnloadedMaxSDRAMIndex, [&] {
    uint32_t queryResult = NORVEX_OK;
    const uint32_t index = norvex::MaxSDRAMIndex(TheLibrary().Link(), queryResult);
    Store(queryResult);
    return index;
  });
}

}  // extern "C"
