// lh_exports.cpp: the LH_ exports of the laser head board.
#include "boards/laser_head.h"
#include "exports/export_support.h"
#include "norvex.h"
#include "params/para_check.h"
#include "params/para_transfer.h"

using norvex::kUnloaded;
using norvex::Store;
using norvex::TheLibrary;
using norvex::WhileLoaded;

namespace {

using norvex::laserhead::Command;
using norvex::laserhead::State;

norvex::CLaserHead LaserHead() { return norvex::CLaserHead(TheLibrary().Link()); }

uint32_t SendBlock(Command id, const void* block) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().Send(id, block)); });
}
uint32_t SendValue(Command id, uint32_t value) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().SendValue(id, value)); });
}
uint32_t QueryState(State id, void* buffer) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().Query(id, buffer)); });
}

}  // namespace

extern "C" {

NORVEX_API uint32_t NORVEX_CALL LH_SetLDCurrent(uint32_t value) {
  return SendValue(Command::kSetLDCurrent, value);
}
NORVEX_API uint32_t NORVEX_CALL LH_SetFocus(uint32_t value) { return SendValue(Command::kSetFocus, value); }
NORVEX_API uint32_t NORVEX_CALL LH_ReturnZero(void) { return SendBlock(Command::kReturnZero, nullptr); }
NORVEX_API uint32_t NORVEX_CALL LH_Move(const void* moveRecord) {
  return SendBlock(Command::kMove, moveRecord);
}
NORVEX_API uint32_t NORVEX_CALL LH_MoveTo(const void* moveToRecord) {
  return SendBlock(Command::kMoveTo, moveToRecord);
}
NORVEX_API uint32_t NORVEX_CALL LH_Stop(void) { return SendBlock(Command::kStop, nullptr); }

NORVEX_API uint32_t NORVEX_CALL LH_GetStateEx(void* buffer, uint32_t length, uint32_t group, uint32_t item) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().GetStateEx(buffer, length, group, item)); });
}
NORVEX_API uint32_t NORVEX_CALL LH_GetSystemState(void* state) { return QueryState(State::kSystem, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetUartState(void* state) { return QueryState(State::kUart, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetErrorInfo(void* state) { return QueryState(State::kErrorInfo, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetADCState(void* state) { return QueryState(State::kADC, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetPSDState(void* state) { return QueryState(State::kPSD, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetAFState(void* state) { return QueryState(State::kAF, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetSFState(void* state) { return QueryState(State::kSF, state); }
NORVEX_API uint32_t NORVEX_CALL LH_GetMotorState(void* state) { return QueryState(State::kMotor, state); }

// Two queries; the last one made leaves its result.
NORVEX_API uint32_t NORVEX_CALL LH_GetInfo(void* info) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().GetInfo(info)); });
}

NORVEX_API uint32_t NORVEX_CALL LH_FunctionEx(const void* data, uint32_t extraLength) {
  return WhileLoaded(kUnloaded, [&] { return Store(LaserHead().FunctionEx(data, extraLength)); });
}

// ---- Parameter file ----------------------------------------------------------------
NORVEX_API uint32_t NORVEX_CALL LH_GetParaFile(LaserHeadParaFile* paraFile, uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::GetParaFile(TheLibrary().Link(), norvex::params::kLaserHeadFile,
                                             NORVEX_ADDR_LASER_HEAD, paraFile, sectionMask));
  });
}
NORVEX_API uint32_t NORVEX_CALL LH_SetParaFile(LaserHeadParaFile* paraFile, uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::SetParaFile(TheLibrary().Link(), norvex::params::kLaserHeadFile,
                                             NORVEX_ADDR_LASER_HEAD, paraFile, sectionMask));
  });
}
NORVEX_API uint32_t NORVEX_CALL LH_SaveParaFile(uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(norvex::params::SaveParaFile(TheLibrary().Link(), NORVEX_ADDR_LASER_HEAD, sectionMask));
  });
}
// Leaves the last-result word as it was.
NORVEX_API uint32_t NORVEX_CALL LH_CheckParaFile(LaserHeadParaFile* paraFile) {
  return norvex::params::CheckLaserHeadParaFile(reinterpret_cast<uint8_t*>(paraFile));
}

}  // extern "C"
