// exit_during_command.cpp: a host that calls exit() while another of its
// threads is inside a command to a device that never answers; run by
// exit_test.cpp. It loads the library (argv[1]) after registering a check
// with atexit, so that the check runs after the library's unload: by then
// the command has returned with a failure, and calls made now (as another
// thread of an exiting process makes them) return at once, touching
// nothing. It calls exit(0) when a byte arrives on descriptor argv[2] (the
// test writes it once the device has the command's request). Exit status:
// 0 when all held, another number for the first thing that did not.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "norvex.h"
#include "norvex_posix.h"

namespace {

using GetState = uint32_t(NORVEX_CALL*)(void*);
using GetErrorInfo = const char*(NORVEX_CALL*)(uint32_t);

GetState g_getState = nullptr;
GetErrorInfo g_getErrorInfo = nullptr;
std::atomic<bool> g_returned{false};
std::atomic<uint32_t> g_result{0};

void CheckAfterUnload() {
  // The command's thread has left the library when its unload ends, but it
  // may not yet have run on to say so: it is waited for. A thread still
  // inside objects the unload destroyed would crash (or, under the
  // sanitizers, be reported) instead of returning.
  for (int waited = 0; !g_returned.load() && waited < 60000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!g_returned.load()) ::_exit(20);  // never came back from the library
  if (g_result.load() == NORVEX_OK) ::_exit(21);
  uint8_t state[4] = {};
  if (g_getState(state) != CTP_ERR_NO_DEVICE) ::_exit(22);
  const char* text = g_getErrorInfo(0);
  if (text == nullptr || text[0] != '\0') ::_exit(23);
}

template <typename Function>
Function Find(void* library, const char* name) {
  void* symbol = ::dlsym(library, name);
  if (symbol == nullptr) ::_exit(11);
  return reinterpret_cast<Function>(symbol);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 10;
  std::atexit(CheckAfterUnload);
  void* library = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 12;
  g_getState = Find<GetState>(library, "NV_GetState");
  g_getErrorInfo = Find<GetErrorInfo>(library, "CTP_GetErrorInfo");
  const auto createWindow = Find<NorvexWindow(NORVEX_CALL*)()>(library, "NorvexHost_CreateWindow");
  const auto init = Find<uint32_t(NORVEX_CALL*)(NorvexWindow)>(library, "Norvex_Init");
  const auto setTimeout = Find<uint32_t(NORVEX_CALL*)(uint32_t)>(library, "Norvex_SetUSBOvertime");
  // The command waits for the device far longer than the test runs.
  setTimeout(600000);
  if (init(createWindow()) != NORVEX_OK) return 13;
  std::thread([] {
    uint8_t state[4] = {};
    g_result.store(g_getState(state));
    g_returned.store(true);
  }).detach();
  char go = 0;
  if (::read(std::atoi(argv[2]), &go, 1) != 1) return 14;
  std::exit(0);
}
