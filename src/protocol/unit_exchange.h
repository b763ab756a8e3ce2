// unit_exchange.h: the single exchanges that the units' commands are made
// of, each described by a row of a unit's table (unit_rows.h): a command
// with a fixed-size block, a state query with a fixed selector and record
// size, a function call with a fixed selector. Also the multi-query reads
// that fill parts of one host buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_link.h"
#include "protocol/unit_rows.h"

namespace norvex {

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
