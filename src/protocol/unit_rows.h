// unit_rows.h: the rows of the units' tables, data only: a command, a state
// record, a parameterless function, a part of a multi-query read; the
// macros that make a unit's State enumeration and StateRow table from a
// record list of norvex_records.h, and the rows' order check. The exchanges
// that the rows describe are in unit_exchange.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvex {

// A command of a unit that sends `requestLength` bytes (0: none) and expects
// either a bare acknowledgement (`replyCommand` CTP_REPLY_ACK, `replyLength`
// 0) or a data reply of exactly `replyLength` bytes.
template <typename Id>
struct CommandRow {
  Id id;
  const char* name;
  uint16_t command;
  uint32_t requestLength;
  uint16_t replyCommand;
  uint32_t replyLength;
};

// A state record of a unit: selector (group, item) and record size
// (kAnyReplyLength: any size up to 500 bytes).
template <typename Id>
struct StateRow {
  Id id;
  const char* name;
  uint16_t group;
  uint16_t item;
  uint32_t length;
};

// A unit's State enumeration and its StateRow table, made from one of the
// record lists of norvex_records.h:
//   enum class State : size_t { NORVEX_LASER_HEAD_RECORDS(NORVEX_STATE_ID) };
//   inline constexpr StateRow<State> kStates[] = {NORVEX_LASER_HEAD_RECORDS(NORVEX_STATE_ROW)};
#define NORVEX_STATE_ID(id, reader, group, item, bytes) k##id,
#define NORVEX_STATE_ROW(id, reader, group, item, bytes) {State::k##id, reader, group, item, bytes},

// A function of a unit without parameters: its selector.
template <typename Id>
struct FunctionRow {
  Id id;
  const char* name;
  uint16_t group;
  uint16_t item;
};

// True when every row of `rows` stands at the index of its id, so that a
// table can be indexed by its enumeration.
template <typename Row, size_t N>
constexpr bool RowsInIdOrder(const Row (&rows)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(rows[i].id) != i) return false;
  }
  return true;
}

// The row of `id` in a table checked with RowsInIdOrder.
template <typename Row, size_t N, typename Id>
constexpr const Row& RowOf(const Row (&rows)[N], Id id) {
  return rows[static_cast<size_t>(id)];
}

// One part of a multi-query read: the record of `row` at `offset` of the
// host's buffer.
template <typename Id>
struct InfoPart {
  Id state;
  uint32_t offset;
};

}  // namespace norvex
