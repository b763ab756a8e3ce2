// norvex_exports.cpp: the Norvex_ exports: start-up, settings and versions.
#include <optional>

#include "exports/export_support.h"
#include "mainunit/main_unit.h"
#include "norvex.h"
#include "printdata/word_compression.h"

using norvex::Store;
using norvex::TheLibrary;

extern "C" {

NORVEX_API uint32_t NORVEX_CALL Norvex_Init(NorvexWindow hostWindow) {
  return TheLibrary().Watch().Init(hostWindow, &norvex::DeviceHookProc);
}

NORVEX_API void* NORVEX_CALL Norvex_GetVersion(void* versionBuffer) {
  if (versionBuffer != nullptr) {
    auto* bytes = static_cast<uint8_t*>(versionBuffer);
    bytes[0] = NORVEX_VERSION_MAJOR;
    bytes[1] = NORVEX_VERSION_MINOR;
    bytes[2] = NORVEX_VERSION_PATCH;
    bytes[3] = 0;
  }
  return versionBuffer;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_GetPortStatus(void) { return TheLibrary().Watch().PortStatus(); }

NORVEX_API uint32_t NORVEX_CALL Norvex_SetUSBOvertime(uint32_t timeoutMs) {
  TheLibrary().Settings().usbTimeout.store(timeoutMs);
  return timeoutMs;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_SetDebugFolder(const char* folder) {
  return TheLibrary().Debug().Set(folder);
}

NORVEX_API uint32_t NORVEX_CALL Norvex_SetPrintDataSaveIdle(int32_t linkMode) {
  // Also starts or completes the TIFF capture and opens or closes the
  // print-data file as the mode enters or leaves 2/3 and 4/12.
  TheLibrary().PrintData().SetLinkMode(linkMode);
  return Store(NORVEX_OK);
}

NORVEX_API uint32_t NORVEX_CALL Norvex_WriteSDRAM(const void* data, uint32_t wordCount) {
  const std::optional<uint32_t> result = TheLibrary().PrintData().WriteSDRAM(data, wordCount);
  // No words: nothing was sent, and the last result stands.
  return result ? Store(*result) : TheLibrary().LastResult();
}

NORVEX_API uint32_t NORVEX_CALL Norvex_WriteSDRAM2(const void* data, uint32_t* wordCount, uint32_t noWait) {
  // The flag is a 16-bit value: only its low half counts.
  const bool dontWait = (noWait & 0xFFFFu) != 0;
  return Store(TheLibrary().PrintData().WriteSDRAM2(data, wordCount, dontWait));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_GetWriteSDRAM2Result(uint32_t* bytesTransferred) {
  return Store(TheLibrary().PrintData().GetSentPtrDataResult2(bytesTransferred));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_CompressData(void* dst, uint32_t* outByteCount, const void* src,
                                                    uint32_t byteCount) {
  return Store(norvex::CompressData(dst, outByteCount, src, byteCount));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_EraseEeprom(const void* eraseRecord) {
  return Store(
      norvex::CMainUnit(TheLibrary().Link()).Send(norvex::mainunit::Command::kEraseEeprom, eraseRecord));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_CounterFunc(const void* counterRecord) {
  return Store(
      norvex::CMainUnit(TheLibrary().Link()).Send(norvex::mainunit::Command::kCounterFunc, counterRecord));
}

}  // extern "C"
