// ctp_exports.cpp: the CTP_ exports: raw commands, generic state queries and
// failure texts.
#include "exports/export_support.h"
#include "norvex.h"

using norvex::kUnloaded;
using norvex::Store;
using norvex::TheLibrary;
using norvex::WhileLoaded;

namespace {

constexpr const char* kUnloadedText = "";  // no text while the library is unloaded

}  // namespace

extern "C" {

NORVEX_API uint32_t NORVEX_CALL CTP_SendCommand(CommandPacket* packet) {
  return WhileLoaded(kUnloaded, [&] {
    // The exchange runs under the command lock, so that it never takes
    // another command's reply; no device test, nothing logged or recorded.
    return TheLibrary().Link().SendCommand(packet);
  });
}

NORVEX_API const char* NORVEX_CALL CTP_GetErrorInfo(uint32_t code) {
  return WhileLoaded(kUnloadedText, [&] { return TheLibrary().Link().ErrorInfo(code); });
}

NORVEX_API uint32_t NORVEX_CALL CTP_GetStateEx(const void* selector, void* replyBuffer, uint32_t replyLength,
                                               uint32_t address) {
  return WhileLoaded(kUnloaded, [&] {
    return Store(TheLibrary().Link().GetStateEx(selector, replyBuffer, replyLength, address));
  });
}

}  // extern "C"
