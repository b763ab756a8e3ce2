// local_default.cpp: an Emulator's platesetter is this process's own unless
// its options name a control port (emulator_backend.h): the default of the
// library norvex_emu (POSIX, norvex-emu.exe).
#include "emu/emulator_backend.h"
#include "emu/local_platesetter.h"

namespace norvex::emu {

std::unique_ptr<EmulatorBackend> MakeDefaultBackend(const EmulatorOptions& options) {
  return std::make_unique<LocalPlatesetter>(options);
}

}  // namespace norvex::emu
