// hs_board.cpp: CHsBoards (see hs_board.h).
#include "boards/hs_board.h"

#include "params/para_transfer.h"

namespace norvex {

using hsboard::Address;
using hsboard::kBoardCount;

template <typename Exchange>
uint32_t CHsBoards::ForEachBoard(uint32_t mask, Exchange exchange) {
  for (uint32_t board = 0; board < kBoardCount; ++board) {
    if ((mask & (1u << board)) == 0) continue;
    const uint32_t result = exchange(board);
    if (result != NORVEX_OK) return result;
  }
  return NORVEX_OK;
}

uint32_t CHsBoards::GetBusData(uint32_t mask, uint32_t* out) {
  if (out == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  *out = 0;
  uint32_t shift = 0;
  const auto& row = RowOf(hsboard::kCommands, hsboard::Command::kGetBusData);
  return ForEachBoard(mask, [&](uint32_t board) {
    uint8_t answer[4] = {};
    const uint32_t result = RunCommand(m_link, Address(board), row, nullptr, answer);
    if (result == NORVEX_OK) {
      *out |= static_cast<uint32_t>(LoadWord(answer)) << shift;
      shift += hsboard::kPackedBitsPerBoard;
    }
    return result;
  });
}

uint32_t CHsBoards::SendToChannel(hsboard::Command id, void* record) {
  if (record == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  auto* bytes = static_cast<uint8_t*>(record);
  const uint32_t channel = LoadWord(bytes) % hsboard::kChannelCount;
  const uint32_t board = channel / hsboard::kChannelsPerBoard;
  StoreWord(bytes, static_cast<uint16_t>(channel % hsboard::kChannelsPerBoard));
  return RunCommand(m_link, Address(board), RowOf(hsboard::kCommands, id), record, nullptr);
}

uint32_t CHsBoards::SetCurList(uint32_t mask, const void* list) {
  if (list == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  const auto* block = static_cast<const uint8_t*>(list);
  const auto& row = RowOf(hsboard::kCommands, hsboard::Command::kSetCurList);
  return ForEachBoard(mask, [&](uint32_t board) {
    const uint32_t result = RunCommand(m_link, Address(board), row, block, nullptr);
    block += hsboard::kCurListStep;
    return result;
  });
}

uint32_t CHsBoards::SendValue(hsboard::Command id, uint32_t mask, uint32_t value) {
  const SelectorBytes bytes = LittleEndian32(value);
  const auto& row = RowOf(hsboard::kCommands, id);
  return ForEachBoard(
      mask, [&](uint32_t board) { return RunCommand(m_link, Address(board), row, bytes.bytes, nullptr); });
}

uint32_t CHsBoards::SwitchLaserAll(uint32_t mask, uint32_t pattern) {
  uint32_t shift = 0;
  const auto& row = RowOf(hsboard::kCommands, hsboard::Command::kSwitchLaserAll);
  return ForEachBoard(mask, [&](uint32_t board) {
    const SelectorBytes bytes = LittleEndian32((pattern >> shift) & 0xFFFFu);
    const uint32_t result = RunCommand(m_link, Address(board), row, bytes.bytes, nullptr);
    if (result == NORVEX_OK) shift += hsboard::kPackedBitsPerBoard;
    return result;
  });
}

uint32_t CHsBoards::Query(hsboard::State id, uint32_t board, void* buffer) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return QueryState(m_link, Address(board), RowOf(hsboard::kStates, id), buffer);
}

uint32_t CHsBoards::GetStateEx(uint32_t board, void* buffer, uint32_t length, uint32_t group, uint32_t item) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return QueryState(m_link, Address(board), static_cast<uint16_t>(group & 0xFFFFu),
                    static_cast<uint16_t>(item & 0xFFFFu), buffer, length);
}

uint32_t CHsBoards::GetInfo(uint32_t board, void* buffer) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return QueryParts(m_link, Address(board), hsboard::kStates, hsboard::kInfoParts, buffer);
}

uint32_t CHsBoards::FunctionEx(uint32_t mask, const void* data, uint32_t extra, ResultSink afterEach) {
  if (data == nullptr) {
    afterEach(NORVEX_ERR_INVALID_ARGUMENT);
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  return ForEachBoard(mask, [&](uint32_t board) {
    const uint32_t result = m_link.FunctionEx(data, Address(board), extra);
    afterEach(result);
    return result;
  });
}

uint32_t CHsBoards::GetParaFile(uint32_t board, void* record, uint32_t mask) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return params::GetParaFile(m_link, params::kHsBoardFile, Address(board), record, mask);
}

uint32_t CHsBoards::SetParaFile(uint32_t board, void* record, uint32_t mask) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return params::SetParaFile(m_link, params::kHsBoardFile, Address(board), record, mask);
}

uint32_t CHsBoards::SaveParaFile(uint32_t board, uint32_t mask) {
  if (board >= kBoardCount) return NORVEX_ERR_INVALID_ARGUMENT;
  return params::SaveParaFile(m_link, Address(board), mask);
}

}  // namespace norvex
