// print_memory.cpp: PrintMemoryBank (see print_memory.h).
#include "emu/print_memory.h"

#include <algorithm>

namespace norvex::emu {

void PrintMemoryBank::Append(const uint8_t* data, size_t size) { memory_.insert(memory_.end(), data, data + size); }

void PrintMemoryBank::Clear() {
  memory_.clear();
  readPosition_ = 0;
}

WritePlan PrintMemoryBank::PlanWrite(size_t size) {
  WritePlan plan;
  plan.bytes = static_cast<uint32_t>(size);
  if (faults_.empty()) return plan;
  const BulkWriteFault fault = faults_.front();
  if (fault.count >= 1) {
    if (fault.count == 1) {
      faults_.pop_front();
    } else {
      --faults_.front().count;
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
  const size_t left = memory_.size() - std::min(readPosition_, memory_.size());
  const size_t n = std::min(left, kMaxReadBackBytes);
  const auto begin = memory_.begin() + static_cast<std::ptrdiff_t>(readPosition_);
  Reply reply{kReadBackReply, std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(n))};
  reply.data.resize((n + 3) / 4 * 4, 0);
  readPosition_ += n;
  return reply;
}

}  // namespace norvex::emu
