// print_memory.cpp: PrintMemoryBank (see print_memory.h).
#include "emu/print_memory.h"

#include <algorithm>

namespace norvex::emu {

size_t PrintMemoryBank::Append(const uint8_t* data, size_t size) {
  const size_t taken =
      std::min(size, kPrintMemoryBytes - std::min<size_t>(m_memory.size(), kPrintMemoryBytes));
  m_memory.insert(m_memory.end(), data, data + taken);
  return taken;
}

void PrintMemoryBank::Clear() {
  m_memory.clear();
  m_readPosition = 0;
}

WritePlan PrintMemoryBank::PlanWrite(size_t size) {
  WritePlan plan;
  plan.bytes = static_cast<uint32_t>(size);
  if (m_faults.empty()) return plan;
  const BulkWriteFault fault = m_faults.front();
  if (fault.count >= 1) {
    if (fault.count == 1) {
      m_faults.pop_front();
    } else {
      --m_faults.front().count;
    }
  }
  switch (fault.kind) {
    case BulkWriteFaultKind::kSlow:
      plan.delayMs = fault.delayMs;
      break;
    case BulkWriteFaultKind::kPartial:
      plan.bytes = static_cast<uint32_t>(std::min<size_t>(size, fault.bytes));
      plan.delayMs = fault.delayMs;
      break;
    case BulkWriteFaultKind::kNoCompletion:
      plan.complete = false;
      plan.bytes = 0;
      break;
    case BulkWriteFaultKind::kStall:
      plan.stallMs = fault.delayMs;
      break;
  }
  return plan;
}

Reply PrintMemoryBank::ReadBack(const Request& /*request*/) {
  const size_t left = m_memory.size() - std::min(m_readPosition, m_memory.size());
  const size_t n = std::min(left, kMaxReadBackBytes);
  const auto begin = m_memory.begin() + static_cast<std::ptrdiff_t>(m_readPosition);
  Reply reply{kReadBackReply, std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(n))};
  reply.data.resize((n + 3) / 4 * 4, 0);
  m_readPosition += n;
  return reply;
}

}  // namespace norvex::emu
