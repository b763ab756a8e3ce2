// hs_exports.cpp: the HS_ exports of the two HS laser driver boards.
#include "boards/hs_board.h"
#include "exports/export_support.h"
#include "norvex.h"

using norvex::kUnloaded;
using norvex::Store;
using norvex::TheLibrary;
using norvex::WhileLoaded;

namespace {

using norvex::hsboard::Command;
using norvex::hsboard::State;

norvex::CHsBoards HsBoards() { return norvex::CHsBoards(TheLibrary().Link()); }

uint32_t QueryState(State id, uint32_t board, void* buffer) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().Query(id, board, buffer)); });
}

}  // namespace

extern "C" {

NORVEX_API uint32_t NORVEX_CALL HS_GetBusData(uint32_t boardMask, uint32_t* busData) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().GetBusData(boardMask, busData)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SetCurrent(void* channelRecord) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(HsBoards().SendToChannel(Command::kSetCurrent, channelRecord)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SwitchLaser(void* channelRecord) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(HsBoards().SendToChannel(Command::kSwitchLaser, channelRecord)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SetCurList(uint32_t boardMask, const void* currentList,
                                              uint32_t /*reserved*/) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().SetCurList(boardMask, currentList)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SetMode(uint32_t boardMask, uint32_t mode) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(HsBoards().SendValue(Command::kSetMode, boardMask, mode)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SetPeriod(uint32_t boardMask, uint32_t period) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(HsBoards().SendValue(Command::kSetPeriod, boardMask, period)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SwitchLaserAll(uint32_t boardMask, uint32_t pattern) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().SwitchLaserAll(boardMask, pattern)); });
}

NORVEX_API uint32_t NORVEX_CALL HS_GetStateEx(uint32_t board, void* buffer, uint32_t length, uint32_t group,
                                              uint32_t item) {
  return WhileLoaded(kUnloaded,
                     [&] { return Store(HsBoards().GetStateEx(board, buffer, length, group, item)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_GetSystemState(uint32_t board, void* state) {
  return QueryState(State::kSystem, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetUartState(uint32_t board, void* state) {
  return QueryState(State::kUart, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetErrorInfo(uint32_t board, void* state) {
  return QueryState(State::kErrorInfo, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetInitState(uint32_t board, void* state) {
  return QueryState(State::kInit, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetADCState(uint32_t board, void* state) {
  return QueryState(State::kADC, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetFPGAState(uint32_t board, void* state) {
  return QueryState(State::kFPGA, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetLDState(uint32_t board, void* state) {
  return QueryState(State::kLD, board, state);
}
NORVEX_API uint32_t NORVEX_CALL HS_GetDAC7611State(uint32_t board, void* state) {
  return QueryState(State::kDAC7611, board, state);
}

// Three queries; the last one made leaves its result.
NORVEX_API uint32_t NORVEX_CALL HS_GetInfo(uint32_t board, void* info) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().GetInfo(board, info)); });
}

// The last-result word is 0 first, then each board's result as it comes.
NORVEX_API uint32_t NORVEX_CALL HS_FunctionEx(uint32_t boardMask, const void* data, uint32_t extraLength) {
  return WhileLoaded(kUnloaded, [&] {
    Store(NORVEX_OK);
    return HsBoards().FunctionEx(boardMask, data, extraLength, [](uint32_t result) { Store(result); });
  });
}

// ---- Parameter file ----------------------------------------------------------------
NORVEX_API uint32_t NORVEX_CALL HS_GetParaFile(uint32_t board, HsBoardParaFile* paraFile,
                                               uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().GetParaFile(board, paraFile, sectionMask)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SetParaFile(uint32_t board, HsBoardParaFile* paraFile,
                                               uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().SetParaFile(board, paraFile, sectionMask)); });
}
NORVEX_API uint32_t NORVEX_CALL HS_SaveParaFile(uint32_t board, uint32_t sectionMask) {
  return WhileLoaded(kUnloaded, [&] { return Store(HsBoards().SaveParaFile(board, sectionMask)); });
}

// No rule applies to an HS board file: nothing changes, the result is 0 and
// the last-result word stays as it was.
NORVEX_API uint32_t NORVEX_CALL HS_CheckParaFile(HsBoardParaFile* /*paraFile*/) { return 0; }

}  // extern "C"
