// library_instance.cpp: the one Library object of the loaded shared library,
// built when the library is loaded and destroyed when it is unloaded once no
// export call is inside it any more, and the hook procedure that reaches it.
#include <new>

#include "exports/export_support.h"

namespace norvex {
namespace {

class LoadedLibrary {
 public:
  LoadedLibrary() {
    new (m_storage) Library(platform::Host(), platform::DeviceDriver(), platform::Windows());
  }

  // The unload, also at exit() while other threads still run: calls that
  // start from now on return at once; the watch lets go and the device
  // closes, so that an exchange that waits for the device ends; then the
  // objects go once the calls inside have returned. A call that has not
  // returned in time (its thread ended inside it, or it waits for something
  // else) keeps them: they are left as they are, alive until the process
  // ends, rather than destroyed under it; the log still ends with
  // "Application Close!".
  ~LoadedLibrary() {
    RefuseExports();
    Library& library = Get();
    library.CloseForUnload();
    if (WaitForExportsToReturn(kUnloadCallWaitMs)) {
      library.~Library();
    } else {
      library.EndUnloadInPlace();
    }
  }

  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  Library& Get() { return *std::launder(reinterpret_cast<Library*>(m_storage)); }

 private:
  // The longest wait for the calls inside once the device is closed.
  static constexpr uint32_t kUnloadCallWaitMs = 1000;

  alignas(Library) unsigned char m_storage[sizeof(Library)];
};

LoadedLibrary g_library;

}  // namespace

Library& TheLibrary() { return g_library.Get(); }

intptr_t DeviceHookProc(int code, uintptr_t wParam, intptr_t lParam) {
  return WhileLoaded<intptr_t>(0, [&] { return TheLibrary().Watch().HookProc(code, wParam, lParam); });
}

}  // namespace norvex
