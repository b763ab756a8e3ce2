// main_unit_states.h: the main unit's state records as a table: selector
// (group, item) and record size, made from the list of norvex_records.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "norvex_records.h"
#include "protocol/frame.h"
#include "protocol/unit_rows.h"

namespace norvex::mainunit {

// One id a record of the list, in its order.
enum class State : size_t { NORVEX_MAIN_UNIT_RECORDS(NORVEX_STATE_ID) };

using StateEntry = StateRow<State>;

inline constexpr StateEntry kStates[] = {NORVEX_MAIN_UNIT_RECORDS(NORVEX_STATE_ROW)};
static_assert(RowsInIdOrder(kStates), "kStates must follow the order of State");
static_assert(NORVEX_RECORD_ANY_LENGTH == kAnyReplyLength, "the kernel name's any length");

// The print state's flag of a print error waiting to be cleared.
inline constexpr size_t kPrintErrorByte = 28;
inline constexpr uint8_t kPrintErrorMask = 0x80;

}  // namespace norvex::mainunit
