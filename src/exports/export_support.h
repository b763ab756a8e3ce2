// export_support.h: what the export files share: the library instance, the
// hook procedure, storing a result in the last-result word, and the count of
// the export calls inside the library, which its unload waits for.
#pragma once

#include <cstdint>

#include "exports/library.h"
#include "norvex.h"

namespace norvex {

// The hook procedure given to the window system by Norvex_Init.
intptr_t DeviceHookProc(int code, uintptr_t wParam, intptr_t lParam);

// Stores `result` in the last-result word and returns it.
inline uint32_t Store(uint32_t result) { return TheLibrary().Store(result); }

// One export call inside the library, from its start to its return. The
// unload waits for the calls inside before it destroys what they use; a
// call that starts once the unload has begun is refused and returns at once,
// touching nothing of the library's. The count and the flag are plain words
// that are never destroyed, so that a call made while the process exits
// (another thread calling exit) still finds them.
class ExportCall {
 public:
  ExportCall();
  ~ExportCall();
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;
  // False once the unload has begun: the export must return at once.
  explicit operator bool() const { return m_admitted; }

 private:
  bool m_admitted;
};

// What an export that returns a result code returns while the library is
// being unloaded: no device is there any more.
inline constexpr uint32_t kUnloaded = CTP_ERR_NO_DEVICE;

// Runs an export's `body` as one ExportCall; `refused` when the library is
// being unloaded.
template <typename Result, typename Body>
Result WhileLoaded(Result refused, Body body) {
  const ExportCall call;
  if (!call) return refused;
  return body();
}

// The unload's part: every export call from now on is refused.
void RefuseExports();
// Waits at most `waitMs` for the calls inside to return; true when none is
// left.
bool WaitForExportsToReturn(uint32_t waitMs);

}  // namespace norvex
