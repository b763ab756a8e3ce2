// cpu.h: the one rule by which the print data's vector kernels (the word
// compression, the band de-interleave) pick their path. The processor is
// asked once per process what it runs; each family of kernels then takes its
// fastest path at or below that level, and a path that a test or benchmark
// names runs only where the processor has it.
#pragma once

// Whether this build has the x86 vector kernels: x86 (32 or 64 bits) with GCC
// or clang. Each kernel is compiled for its own level with a target
// attribute, the rest of the library for the build's baseline, so one binary
// runs on any x86 processor. The kernels assume nothing about the stack's
// alignment beyond what the build's flags tell the compiler (see
// src/CMakeLists.txt for the Windows builds).
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define NORVEX_X86_KERNELS 1
#define NORVEX_TARGET_SSE2 __attribute__((target("sse2")))
#define NORVEX_TARGET_SSSE3 __attribute__((target("ssse3")))
#define NORVEX_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#else
#define NORVEX_X86_KERNELS 0
#endif

namespace norvex::cpu {

// The instruction sets the kernels are written for, each including the ones
// before it. kAvx2 also stands for POPCNT, which every AVX2 processor has.
enum class Level {
  kPortable,  // standard C++ only, any processor
  kSse2,
  kSsse3,
  kAvx2,
};

// The highest level this processor runs: for kAvx2 also POPCNT, and the
// operating system keeping the 256-bit registers across task switches.
// kPortable on other architectures. Asked once; the answer cannot change
// while the process runs.
Level Detected();

// Whether code written for `level` may run here.
bool Runs(Level level);

// "portable", "sse2", "ssse3", "avx2".
const char* Name(Level level);

}  // namespace norvex::cpu
