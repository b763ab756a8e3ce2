// library_loader.cpp: the library loaded on demand, and the forwarding
// functions of every interface function norvexctl calls (see
// library_loader.h).
#include "library_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "norvex.h"
#include "norvex_posix.h"

// The interface functions norvexctl uses: result type, name, parameters,
// arguments.
#define NORVEXCTL_FUNCTIONS(X)                                                                      \
  X(uint32_t, Norvex_Init, (NorvexWindow w), (w))                                                   \
  X(void*, Norvex_GetVersion, (void* v), (v))                                                       \
  X(uint32_t, Norvex_GetPortStatus, (void), ())                                                     \
  X(uint32_t, Norvex_SetUSBOvertime, (uint32_t t), (t))                                             \
  X(uint32_t, Norvex_SetPrintDataSaveIdle, (int32_t m), (m))                                        \
  X(uint32_t, Norvex_CompressData, (void* d, uint32_t* n, const void* s, uint32_t c), (d, n, s, c)) \
  X(uint32_t, Norvex_WriteSDRAM2, (const void* d, uint32_t* n, uint32_t w), (d, n, w))              \
  X(uint32_t, CTP_SendCommand, (CommandPacket * p), (p))                                            \
  X(const char*, CTP_GetErrorInfo, (uint32_t c), (c))                                               \
  X(uint32_t, CTP_GetStateEx, (const void* s, void* r, uint32_t l, uint32_t a), (s, r, l, a))       \
  X(uint32_t, NV_StartPrint, (const void* j), (j))                                                  \
  X(uint32_t, NV_ResetPage, (void), ())                                                             \
  X(uint32_t, NV_UpdatePage, (void), ())                                                            \
  X(uint32_t, NV_EndPrint, (void), ())                                                              \
  X(uint32_t, NV_CancelPrint, (void), ())                                                           \
  X(uint32_t, NV_ClearPrintError, (void), ())                                                       \
  X(uint32_t, NV_LoadControl, (const void* l), (l))                                                 \
  X(uint32_t, NV_LoadAck, (void), ())                                                               \
  X(uint32_t, NV_MoveMedium, (void), ())                                                            \
  X(uint32_t, NV_GetKernelVersion, (void* v), (v))                                                  \
  X(uint32_t, NV_GetFPGAVersion, (void* v), (v))                                                    \
  X(uint32_t, NV_GetKernelName, (void* n), (n))                                                     \
  X(uint32_t, NV_GetDeviceInfo, (void* d), (d))                                                     \
  X(uint32_t, NV_GetParaFile, (MainUnitParaFile * f, uint32_t m), (f, m))                           \
  X(uint32_t, NV_SetParaFile, (MainUnitParaFile * f, uint32_t m), (f, m))                           \
  X(uint32_t, NV_SaveParaFile, (uint32_t m), (m))                                                   \
  X(uint32_t, NV_CheckParaFile, (MainUnitParaFile * f, const void* l), (f, l))                      \
  X(uint32_t, NV_SentPrintData, (const void* d, uint32_t n), (d, n))                                \
  X(uint32_t, NV_ReadSDRAMData, (void* b, uint32_t* n), (b, n))                                     \
  X(uint32_t, NV_GetMaxSDRAMIndex, (void), ())                                                      \
  X(uint32_t, LH_GetParaFile, (LaserHeadParaFile * f, uint32_t m), (f, m))                          \
  X(uint32_t, LH_SetParaFile, (LaserHeadParaFile * f, uint32_t m), (f, m))                          \
  X(uint32_t, LH_SaveParaFile, (uint32_t m), (m))                                                   \
  X(uint32_t, LH_CheckParaFile, (LaserHeadParaFile * f), (f))                                       \
  X(uint32_t, LH_GetInfo, (void* i), (i))                                                           \
  X(uint32_t, HS_GetParaFile, (uint32_t b, HsBoardParaFile * f, uint32_t m), (b, f, m))             \
  X(uint32_t, HS_SetParaFile, (uint32_t b, HsBoardParaFile * f, uint32_t m), (b, f, m))             \
  X(uint32_t, HS_SaveParaFile, (uint32_t b, uint32_t m), (b, m))                                    \
  X(uint32_t, HS_CheckParaFile, (HsBoardParaFile * f), (f))                                         \
  X(uint32_t, HS_GetInfo, (uint32_t b, void* i), (b, i))                                            \
  X(NorvexWindow, NorvexHost_CreateWindow, (void), ())                                              \
  X(uint32_t, NorvexHost_DestroyWindow, (NorvexWindow w), (w))                                      \
  X(uint32_t, NorvexHost_DispatchMessages, (uint32_t t), (t))                                       \
  X(uint32_t, NorvexHost_GetFilesFolder, (char* b, uint32_t c), (b, c))                             \
  X(uint32_t, NorvexHost_WriteIniString, (const char* s, const char* k, const char* v), (s, k, v))  \
  X(uint32_t, NorvexHost_GetOpenError, (void), ())                                                  \
  X(uint32_t, NorvexHost_GetErrorText, (uint32_t c, char* b, uint32_t n), (c, b, n))                \
  X(uint32_t, NorvexHost_TextToUtf8, (const char* t, char* b, uint32_t n), (t, b, n))

namespace norvexctl {
namespace {

// The library's functions, resolved at load; one member per function.
struct Functions {
#define NORVEXCTL_MEMBER(result, name, params, args) decltype(&::name) name = nullptr;
  NORVEXCTL_FUNCTIONS(NORVEXCTL_MEMBER)
#undef NORVEXCTL_MEMBER
};

struct Loaded {
  bool tried = false;
  bool ok = false;
  std::string error;
  Functions functions;
};

Loaded& State() {
  static Loaded loaded;
  return loaded;
}

// A forwarding function called before the library was loaded is a fault of
// the tool itself: every command that calls the library loads it first.
[[noreturn]] void NotLoaded(const char* name) {
  std::fprintf(stderr, "norvexctl: internal error: %s called before the library was loaded\n", name);
  std::abort();
}

}  // namespace

// The canonical form of an existing path; empty when it cannot be had.
std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// Where the library may be, in this order: $NORVEX_LIBRARY; the install
// layout beside the executable (bin/../lib); the build folder's library, only
// when this executable is the one in the build folder; the SONAME, through
// the system's library path. The paths are tried here rather than through a
// run path, which dlopen does not see when a sanitizer's runtime intercepts it.
std::vector<std::string> Candidates() {
  const char* named = std::getenv("NORVEX_LIBRARY");
  if (named != nullptr && *named != '\0') return {named};
  std::vector<std::string> files;
  const std::string exe = RealPath("/proc/self/exe");
  const std::string folder = exe.empty() ? exe : exe.substr(0, exe.rfind('/'));
  if (!folder.empty()) files.push_back(folder + "/" NORVEXCTL_LIBRARY_FROM_BIN "/" NORVEX_LIBRARY_SONAME);
  const std::string buildFolder = RealPath(NORVEXCTL_BUILD_FOLDER);
  if (!folder.empty() && folder == buildFolder) files.push_back(NORVEX_LIBRARY_BUILD_FILE);
  files.push_back(NORVEX_LIBRARY_SONAME);
  return files;
}

bool LoadLibrary(std::string& error) {
  Loaded& state = State();
  if (!state.tried) {
    state.tried = true;
    void* handle = nullptr;
    std::string file;
    for (const std::string& candidate : Candidates()) {
      // A path that is not there is passed over; the SONAME is always tried.
      if (candidate.find('/') != std::string::npos && ::access(candidate.c_str(), R_OK) != 0) continue;
      file = candidate;
      // Kept loaded until the process ends, when the library writes its
      // "Application Close!" line.
      handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle != nullptr) break;
      const char* why = ::dlerror();
      state.error = "cannot load the Norvex library " + file + ": " + (why != nullptr ? why : "");
    }
    if (file.empty()) state.error = "cannot find the Norvex library (set NORVEX_LIBRARY to its file)";
    if (handle != nullptr) {
      state.error.clear();
      state.ok = true;
#define NORVEXCTL_RESOLVE(result, name, params, args)                                 \
  state.functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (state.functions.name == nullptr && state.ok) {                                  \
    state.ok = false;                                                                 \
    state.error = file + " has no function " #name;                                   \
  }
      NORVEXCTL_FUNCTIONS(NORVEXCTL_RESOLVE)
#undef NORVEXCTL_RESOLVE
    }
  }
  error = state.error;
  return state.ok;
}

}  // namespace norvexctl

// The forwarding functions, with the interface's own names and types.
extern "C" {
#define NORVEXCTL_FORWARD(result, name, params, args) \
  result NORVEX_CALL name params {                    \
    const auto& state = norvexctl::State();           \
    if (!state.ok) norvexctl::NotLoaded(#name);       \
    return state.functions.name args;                 \
  }
NORVEXCTL_FUNCTIONS(NORVEXCTL_FORWARD)
#undef NORVEXCTL_FORWARD
}
