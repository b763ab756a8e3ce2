// export_call.cpp: the count of the export calls inside the library and the
// refusal of new ones once the unload has begun (see export_support.h).
#include <atomic>
#include <chrono>
#include <thread>

#include "exports/export_support.h"

namespace norvex {
namespace {

// Constant-initialised and trivially destructible: valid from before the
// library's objects are built until the process ends, also while exit()
// destroys those objects on one thread and another thread calls an export.
std::atomic<uint32_t> g_callsInside{0};
std::atomic<bool> g_unloading{false};

}  // namespace

ExportCall::ExportCall() {
  // Counted before the flag is read: an unload that set the flag first
  // sees this call in the count, or this call sees the flag.
  g_callsInside.fetch_add(1);
  m_admitted = !g_unloading.load();
}

ExportCall::~ExportCall() { g_callsInside.fetch_sub(1); }

void RefuseExports() { g_unloading.store(true); }

bool WaitForExportsToReturn(uint32_t waitMs) {
  // The count includes refused calls on their way out, which leave at once.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (g_callsInside.load() != 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace norvex
