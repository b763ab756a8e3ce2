// norvex_exports.cpp: the Norvex_ exports: start-up, settings and versions.
#include "exports/export_support.h"
#include "norvex.h"

using norvex::Store;
using norvex::TheLibrary;

extern "C" {

NORVEX_API uint32_t NORVEX_CALL Norvex_Init(NorvexWindow hostWindow) {
  return TheLibrary().connection.Init(hostWindow, &norvex::DeviceHookProc);
}

NORVEX_API void* NORVEX_CALL Norvex_GetVersion(void* versionBuffer) {
  if (versionBuffer != nullptr) {
    auto* bytes = static_cast<uint8_t*>(versionBuffer);
    bytes[0] = 3;
    bytes[1] = 2;
    bytes[2] = 1;
    bytes[3] = 0;
  }
  return versionBuffer;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_GetPortStatus(void) {
  return TheLibrary().connection.PortStatus();
}

NORVEX_API uint32_t NORVEX_CALL Norvex_SetUSBOvertime(uint32_t timeoutMs) {
  TheLibrary().settings.usbTimeout.store(timeoutMs);
  return timeoutMs;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_SetDebugFolder(const char* folder) {
  return TheLibrary().debugFolder.Set(folder);
}

NORVEX_API uint32_t NORVEX_CALL Norvex_SetPrintDataSaveIdle(int32_t linkMode) {
  TheLibrary().settings.linkMode.store(linkMode);
  return Store(NORVEX_OK);
}

}  // extern "C"
