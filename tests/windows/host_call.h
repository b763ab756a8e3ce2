// host_call.h: calls a standard-call function as a 32-bit host built by
// another compiler may call it (host_call_x86.S), and records what the call
// left behind: the stack pointer, the callee-saved registers, the direction
// flag, the x87 control word and MXCSR, and the word above the arguments.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// One call. The fields up to `mxcsr` are the caller's; the thunk fills in
// the rest.
struct HostCall {
  const void* target;           // the function, standard-call
  uint32_t argCount;            // at most 8
  uint32_t args[8];             // the arguments, first one at the lowest address
  uint32_t stackOffset;         // ESP modulo 16 at the call instruction: 0, 4, 8 or 12
  uint32_t ebx, esi, edi, ebp;  // loaded before the call; the callee must keep them
  uint32_t fpuControl;          // x87 control word during the call
  uint32_t mxcsr;               // MXCSR during the call
  uint32_t result;              // EAX after the return
  int32_t stackError;           // ESP after the return minus ESP above the arguments: 0 when the
                                // callee removed exactly its arguments
  uint32_t ebxAfter, esiAfter, ediAfter, ebpAfter;
  uint32_t eflagsAfter;
  uint32_t fpuControlAfter;
  uint32_t mxcsrAfter;
  uint32_t guardAfter;  // the word above the arguments, kHostCallGuard before the call
  uint32_t espAtCall;   // ESP at the call instruction
  uint32_t savedEsp;    // the thunk's own
};

// The thread-local slot (TlsAlloc) through which the thunk finds its
// HostCall once the callee has returned, whatever it did to the stack and
// the registers. Set once before the first call.
extern uint32_t g_hostCallSlot;

// Calls call->target on a stack of its own making; the HostCall must be in
// the calling thread's g_hostCallSlot (TlsSetValue) during the call.
void NorvexHostCall(HostCall* call);

}  // extern "C"

inline constexpr uint32_t kHostCallGuard = 0x6A5A6A5A;

// The offsets that host_call_x86.S reads.
static_assert(offsetof(HostCall, argCount) == 4 && offsetof(HostCall, args) == 8);
static_assert(offsetof(HostCall, stackOffset) == 40 && offsetof(HostCall, ebx) == 44);
static_assert(offsetof(HostCall, fpuControl) == 60 && offsetof(HostCall, mxcsr) == 64);
static_assert(offsetof(HostCall, result) == 68 && offsetof(HostCall, stackError) == 72);
static_assert(offsetof(HostCall, ebxAfter) == 76 && offsetof(HostCall, eflagsAfter) == 92);
static_assert(offsetof(HostCall, fpuControlAfter) == 96 && offsetof(HostCall, mxcsrAfter) == 100);
static_assert(offsetof(HostCall, guardAfter) == 104 && offsetof(HostCall, espAtCall) == 108);
static_assert(offsetof(HostCall, savedEsp) == 112);
