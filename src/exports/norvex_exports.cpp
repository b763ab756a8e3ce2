// norvex_exports.cpp: the Norvex_ exports: start-up, settings and versions.
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
    bytes[0] = 3;
    bytes[1] = 2;
    bytes[2] = 1;
    bytes[3] = 0;
  }
  return versionBuffer;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_GetPortStatus(void) {
  return TheLibrary().Watch().PortStatus();
}

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
  if (data == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  // 64-bit: twice a word count above 2^31 must not wrap to a short write.
  const uint64_t byteCount = 2 * static_cast<uint64_t>(wordCount);
  if (byteCount == 0) return TheLibrary().LastResult();
  return Store(TheLibrary().PrintData().WriteSDRAM(data, byteCount));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_WriteSDRAM2(const void* data, uint32_t* wordCount, uint32_t noWait) {
  if (wordCount == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  if (data == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  // The flag is a 16-bit value: only its low half counts.
  const bool dontWait = (noWait & 0xFFFFu) != 0;
  return Store(TheLibrary().PrintData().WriteSDRAM2(data, *wordCount, dontWait));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_GetWriteSDRAM2Result(uint32_t* bytesTransferred) {
  // Without the pointer the write stays outstanding for a proper call.
  if (bytesTransferred == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  return Store(TheLibrary().PrintData().GetSentPtrDataResult2(*bytesTransferred));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_CompressData(void* dst, uint32_t* outByteCount, const void* src,
                                                    uint32_t byteCount) {
  Store(NORVEX_OK);
  if (dst == nullptr || outByteCount == nullptr || src == nullptr) {
    return Store(NORVEX_ERR_INVALID_ARGUMENT);
  }
  norvex::CompressWords(dst, outByteCount, src, byteCount);
  return NORVEX_OK;
}

NORVEX_API uint32_t NORVEX_CALL Norvex_EraseEeprom(const void* eraseRecord) {
  return Store(
      norvex::CMainUnit(TheLibrary().Link()).Send(norvex::mainunit::Command::kEraseEeprom, eraseRecord));
}

NORVEX_API uint32_t NORVEX_CALL Norvex_CounterFunc(const void* counterRecord) {
  if (counterRecord == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  return Store(
      norvex::CMainUnit(TheLibrary().Link()).Send(norvex::mainunit::Command::kCounterFunc, counterRecord));
}

}  // extern "C"
