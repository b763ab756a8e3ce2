// fault_report.h: an unhandled fault in a Windows test program (an access
// violation, an illegal instruction) ends it at once with one line on
// standard error: the code, the address with its module and offset, and the
// step the faulting thread had announced with Step(). Without it Wine starts
// its debugger, which in WoW64 mode (Wine 8) never returns.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline thread_local char t_faultStep[256] = "starting";

// Names what the calling thread does next, for the report of a fault.
inline void Step(const std::string& what) {
  std::snprintf(t_faultStep, sizeof(t_faultStep), "%s", what.c_str());
}

inline LONG WINAPI ReportFault(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  void* address = info->ExceptionRecord->ExceptionAddress;
  HMODULE module = nullptr;
  char name[MAX_PATH] = "?";
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module)) {
    GetModuleFileNameA(module, name, MAX_PATH);
  }
  const auto offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module);
  std::fprintf(stderr, "FAULT 0x%08lX at %p (%s + 0x%lX) while: %s\n", static_cast<unsigned long>(code),
               address, name, static_cast<unsigned long>(offset), t_faultStep);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Call once, first thing in main (or in a static object's constructor).
inline void InstallFaultReport() { SetUnhandledExceptionFilter(&ReportFault); }
