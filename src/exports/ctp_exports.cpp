// ctp_exports.cpp: the CTP_ exports: raw commands, generic state queries and
// failure texts.
#include "exports/export_support.h"
#include "norvex.h"

using norvex::Store;
using norvex::TheLibrary;

extern "C" {

NORVEX_API uint32_t NORVEX_CALL CTP_SendCommand(CommandPacket* packet) {
  if (packet == nullptr) return NORVEX_ERR_INVALID_ARGUMENT;
  // Any reply length is accepted: the reply needs somewhere to go.
  if ((packet->replyLength & 0xFFFFu) > 500 && packet->replyData == nullptr) {
    return NORVEX_ERR_INVALID_ARGUMENT;
  }
  // A bare exchange: no lock, no device test, nothing logged or recorded.
  // Its own frame buffers keep it clear of commands on other threads.
  norvex::FrameBuffer tx;
  norvex::FrameBuffer rx;
  uint32_t received = 0;
  return TheLibrary().link.Exchange(*packet, tx, rx, received);
}

NORVEX_API const char* NORVEX_CALL CTP_GetErrorInfo(uint32_t code) {
  return TheLibrary().link.ErrorInfo(code);
}

NORVEX_API uint32_t NORVEX_CALL CTP_GetStateEx(const void* selector, void* replyBuffer,
                                               uint32_t replyLength, uint32_t address) {
  if (selector == nullptr || replyBuffer == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  return Store(TheLibrary().link.GetStateEx(selector, replyBuffer, replyLength, address));
}

}  // extern "C"
