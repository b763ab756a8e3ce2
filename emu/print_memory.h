// print_memory.h: the main unit's print memory (SDRAM) in the emulator:
// what bulk writes bring, the read-back command 0x0842, and the faults of
// bulk writes (slow, partial, never completed). Not locked itself: the
// DeviceModel calls it with its one mutex held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "emu/device_types.h"

namespace norvex::emu {

// The read-back command and its reply word.
inline constexpr uint16_t kReadBackCommand = 0x0842;
inline constexpr uint16_t kReadBackReply = 0x0843;
// The most print memory bytes one read-back reply carries.
inline constexpr size_t kMaxReadBackBytes = 500;
// The print memory's size: a WRITE announcing more is refused, and bytes
// beyond it are not taken (the WRITE_DONE says how many were).
inline constexpr uint32_t kPrintMemoryBytes = 64u << 20;

// How the endpoint completes one WRITE.
struct WritePlan {
  bool complete = true;  // false: the WRITE stays pending until its CANCEL
  uint32_t bytes = 0;    // the bytes taken and reported in WRITE_DONE
  uint32_t delayMs = 0;  // WRITE_DONE (and the taking of the bytes) this much later
  uint32_t stallMs = 0;  // from the WRITE on, nothing is read from the connection for this long
};

class PrintMemoryBank {
 public:
  // Appends bulk data, in the order the writes complete, as far as the
  // memory holds it; returns the bytes taken.
  size_t Append(const uint8_t* data, size_t size);
  std::vector<uint8_t> Contents() const { return m_memory; }
  // Empties the memory and moves the read position back to its start.
  void Clear();

  // How to complete a WRITE of `size` bytes: at once and whole, unless a
  // bulk-write fault applies (it then uses up one of its count).
  WritePlan PlanWrite(size_t size);
  void InjectFault(const BulkWriteFault& fault) { m_faults.push_back(fault); }
  void ClearFaults() { m_faults.clear(); }

  // 0x0842: the next bytes from the read position, at most 500, padded with
  // zeros to whole 32-bit units; the position advances by the bytes of
  // memory returned. At the end of the memory the reply carries no data.
  Reply ReadBack(const Request& request);

 private:
  std::vector<uint8_t> m_memory;
  size_t m_readPosition = 0;
  std::deque<BulkWriteFault> m_faults;
};

}  // namespace norvex::emu
