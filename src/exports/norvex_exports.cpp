// norvex_exports.cpp: the Norvex_ exports: set-up, settings and versions.
#include "connection/library.h"
#include "norvex.h"

using norvex::TheLibrary;

extern "C" {

NORVEX_API uint32_t NORVEX_CALL Norvex_SetDebugFolder(const char* folder) {
  return TheLibrary().debugFolder.Set(folder);
}

}  // extern "C"
