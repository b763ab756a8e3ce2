// ctp_exports.cpp: the CTP_ exports: raw commands and failure texts.
#include "connection/library.h"
#include "norvex.h"

using norvex::TheLibrary;

extern "C" {

NORVEX_API const char* NORVEX_CALL CTP_GetErrorInfo(uint32_t code) {
  return TheLibrary().link.ErrorInfo(code);
}

}  // extern "C"
