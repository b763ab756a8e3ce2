// library_instance.cpp: the one Library object of the loaded shared library,
// built when the library is loaded and destroyed when it is unloaded, and the
// hook procedure that reaches it.
#include "exports/export_support.h"

namespace norvex {
namespace {

Library g_library(platform::Host(), platform::DeviceDriver(), platform::Windows());

}  // namespace

Library& TheLibrary() { return g_library; }

intptr_t DeviceHookProc(int code, uintptr_t wParam, intptr_t lParam) {
  return g_library.Watch().HookProc(code, wParam, lParam);
}

}  // namespace norvex
