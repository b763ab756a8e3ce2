// unit_exchange.h: the single exchanges that the units' commands are made
// of, each described by a row of a unit's command table: a command with a
// fixed-size block, a state query with a fixed selector and record size, a
// function call with a fixed selector. Also the multi-query reads that fill
// parts of one host buffer, and the rows' order check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_link.h"

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

// Receives a result as soon as an exchange of a multi-exchange operation
// has it (the exports store it in the last-result word).
using ResultSink = void (*)(uint32_t result);

// The 4 selector bytes: group word, then item word, little-endian.
struct SelectorBytes {
  uint8_t bytes[4];
};
SelectorBytes MakeSelector(uint16_t group, uint16_t item);
// A 32-bit value as 4 little-endian bytes.
SelectorBytes LittleEndian32(uint32_t value);

// One command exchange of `row` with the unit at `address`: `request` holds
// row.requestLength bytes, `reply` receives row.replyLength bytes. A null
// `request` or `reply` where the row needs one gives
// NORVEX_ERR_INVALID_ARGUMENT and nothing is sent.
template <typename Id>
uint32_t RunCommand(CDeviceLink& link, uint16_t address, const CommandRow<Id>& row, const void* request,
                    void* reply);
uint32_t RunCommand(CDeviceLink& link, uint16_t address, uint16_t command, uint32_t requestLength,
                    uint16_t replyCommand, uint32_t replyLength, const void* request, void* reply);

template <typename Id>
uint32_t RunCommand(CDeviceLink& link, uint16_t address, const CommandRow<Id>& row, const void* request,
                    void* reply) {
  return RunCommand(link, address, row.command, row.requestLength, row.replyCommand, row.replyLength, request,
                    reply);
}

// The state query (group, item) of `length` bytes into `buffer`; a null
// buffer gives NORVEX_ERR_INVALID_ARGUMENT and nothing is sent
// (CDeviceLink::GetStateEx).
uint32_t QueryState(CDeviceLink& link, uint16_t address, uint16_t group, uint16_t item, void* buffer,
                    uint32_t length);
template <typename Id>
uint32_t QueryState(CDeviceLink& link, uint16_t address, const StateRow<Id>& row, void* buffer) {
  return QueryState(link, address, row.group, row.item, buffer, row.length);
}

// The function call (group, item) without parameters.
template <typename Id>
uint32_t CallFunction(CDeviceLink& link, uint16_t address, const FunctionRow<Id>& row) {
  const SelectorBytes selector = MakeSelector(row.group, row.item);
  return link.FunctionEx(selector.bytes, address, 0);
}

// One part of a multi-query read: the record of `row` at `offset` of the
// host's buffer.
template <typename Id>
struct InfoPart {
  Id state;
  uint32_t offset;
};

// Reads each part in turn into `buffer`; the first failure ends the read
// with its result, and the parts already read stay in the buffer.
template <typename Id, size_t NRows, size_t NParts>
uint32_t QueryParts(CDeviceLink& link, uint16_t address, const StateRow<Id> (&rows)[NRows],
                    const InfoPart<Id> (&parts)[NParts], void* buffer) {
  if (buffer == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  auto* bytes = static_cast<uint8_t*>(buffer);
  for (const InfoPart<Id>& part : parts) {
    const uint32_t result = QueryState(link, address, RowOf(rows, part.state), bytes + part.offset);
    if (result != NORVEX_OK) return result;
  }
  return NORVEX_OK;
}

}  // namespace norvex
