// emulator.cpp: the Emulator: one platesetter, made where its options (or
// $NORVEX_EMU_CONTROL) say it lives, whose calls it passes on.
#include "emu/emulator.h"

#include <cstdlib>
#include <utility>

#include "emu/control_client.h"
#include "emu/emulator_backend.h"

namespace norvex::emu {
namespace {

std::unique_ptr<EmulatorBackend> MakeBackend(Emulator::Options options) {
  if (options.control.empty()) {
    const char* configured = std::getenv("NORVEX_EMU_CONTROL");
    if (configured != nullptr) options.control = configured;
  }
  if (options.control.empty()) return MakeDefaultBackend(options);
  const std::string control = options.control;
  return std::make_unique<ControlledPlatesetter>(control, std::move(options));
}

}  // namespace

Emulator::Emulator() : Emulator(Options{}) {}

Emulator::Emulator(Options options) : m_backend(MakeBackend(std::move(options))) {}

Emulator::~Emulator() { Unplug(); }

bool Emulator::Plug() { return m_backend->Plug(); }

void Emulator::Unplug() { m_backend->Unplug(); }

bool Emulator::IsPlugged() const { return m_backend->IsPlugged(); }

std::string Emulator::EndpointPath() const { return m_backend->EndpointPath(); }

std::string Emulator::Address() const { return m_backend->Address(); }

std::string Emulator::LastError() const { return m_backend->LastError(); }

void Emulator::DropHost() { m_backend->DropHost(); }

MachineControls& Emulator::Model() { return m_backend->Model(); }

const MachineControls& Emulator::Model() const { return m_backend->Model(); }

DeviceModel* Emulator::LocalModel() { return m_backend->LocalModel(); }

}  // namespace norvex::emu
