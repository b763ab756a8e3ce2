// print_error.cpp: clearing a print error only while the main unit flags one.
#include "mainunit/main_unit.h"

namespace norvex {

uint32_t CMainUnit::ClearPrintError(ResultSink afterEach) {
  constexpr uint32_t kPrintStateSize = RowOf(mainunit::kStates, mainunit::State::kPrint).length;
  uint8_t printState[kPrintStateSize] = {};
  uint32_t result = Query(mainunit::State::kPrint, printState);
  afterEach(result);
  if (result != NORVEX_OK) return result;
  if ((printState[mainunit::kPrintErrorByte] & mainunit::kPrintErrorMask) == 0) return NORVEX_OK;
  result = Call(mainunit::Function::kClearPrintError);
  afterEach(result);
  return result;
}

}  // namespace norvex
