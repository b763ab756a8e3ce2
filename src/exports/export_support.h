// export_support.h: what the export files share: the library instance, the
// hook procedure, and storing a result in the last-result word.
#pragma once

#include <cstdint>

#include "exports/library.h"

namespace norvex {

// The hook procedure given to the window system by Norvex_Init.
intptr_t DeviceHookProc(int code, uintptr_t wParam, intptr_t lParam);

// Stores `result` in the last-result word and returns it.
inline uint32_t Store(uint32_t result) { return TheLibrary().Store(result); }

}  // namespace norvex
