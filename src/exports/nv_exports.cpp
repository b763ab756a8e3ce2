// nv_exports.cpp: the NV_ exports of the main unit.
#include "exports/export_support.h"
#include "norvex.h"

using norvex::Store;
using norvex::TheLibrary;

namespace {

constexpr uint32_t kMainUnit = NORVEX_ADDR_MAIN_UNIT;

}  // namespace

extern "C" {

NORVEX_API uint32_t NORVEX_CALL NV_FunctionEx(const void* selector) {
  if (selector == nullptr) return Store(NORVEX_ERR_INVALID_ARGUMENT);
  return Store(TheLibrary().link.FunctionEx(selector, kMainUnit, 0));
}

}  // extern "C"
