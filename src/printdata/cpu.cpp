// cpu.cpp: asks the processor once which of the kernels' instruction sets it
// runs (see cpu.h).
#include "printdata/cpu.h"

namespace norvex::cpu {
namespace {

Level Ask() {
#if NORVEX_X86_KERNELS
  // The compiler's runtime reads CPUID, and for AVX2 also XGETBV: AVX2 is
  // reported only when the operating system saves the 256-bit registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return Level::kAvx2;
  if (__builtin_cpu_supports("ssse3")) return Level::kSsse3;
  if (__builtin_cpu_supports("sse2")) return Level::kSse2;
#endif
  return Level::kPortable;
}

}  // namespace

Level Detected() {
  static const Level level = Ask();
  return level;
}

bool Runs(Level level) { return static_cast<int>(level) <= static_cast<int>(Detected()); }

const char* Name(Level level) {
  switch (level) {
    case Level::kPortable:
      return "portable";
    case Level::kSse2:
      return "sse2";
    case Level::kSsse3:
      return "ssse3";
    case Level::kAvx2:
      return "avx2";
  }
  return "unknown";
}

}  // namespace norvex::cpu
