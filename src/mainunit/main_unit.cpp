// main_unit.cpp: CMainUnit's table-driven exchanges (see main_unit.h).
#include "mainunit/main_unit.h"

namespace norvex {

using mainunit::kAddress;

uint32_t CMainUnit::Send(mainunit::Command id, const void* block, void* reply) {
  return RunCommand(m_link, kAddress, RowOf(mainunit::kCommands, id), block, reply);
}

uint32_t CMainUnit::TailPos(uint32_t value, void* reply) {
  const SelectorBytes bytes = LittleEndian32(value);
  return Send(mainunit::Command::kTailPos, bytes.bytes, reply);
}

uint32_t CMainUnit::Call(mainunit::Function id) {
  return CallFunction(m_link, kAddress, RowOf(mainunit::kFunctions, id));
}

uint32_t CMainUnit::Query(mainunit::State id, void* buffer) {
  return QueryState(m_link, kAddress, RowOf(mainunit::kStates, id), buffer);
}

}  // namespace norvex
