// emulator_backend.h: what an Emulator (emulator.h) is made of: one virtual
// platesetter with its presence and its machine's controls, wherever it
// lives. Three kinds: LocalPlatesetter (local_platesetter.h: a device model
// served by this process), ControlledPlatesetter (control_client.h: one made
// in a norvex-emu through its control port) and, in the Windows test
// programs, the stand-in driver's (windows/driver/emulator_client.cpp).
// Each member is the Emulator's of the same name.
#pragma once

#include <memory>
#include <string>

#include "emu/device_types.h"
#include "emu/machine_controls.h"

namespace norvex::emu {

class DeviceModel;

class EmulatorBackend {
 public:
  virtual ~EmulatorBackend() = default;
  virtual bool Plug() = 0;
  virtual void Unplug() = 0;
  virtual bool IsPlugged() const = 0;
  virtual std::string EndpointPath() const = 0;
  virtual std::string Address() const = 0;
  virtual std::string LastError() const = 0;
  virtual void DropHost() = 0;
  virtual MachineControls& Model() = 0;
  virtual const MachineControls& Model() const = 0;
  virtual DeviceModel* LocalModel() { return nullptr; }
};

// The platesetter of an Emulator whose options name no control port: one
// definition per library that offers the Emulator (emu/local_default.cpp:
// this process's; windows/driver/emulator_client.cpp: the stand-in driver's).
std::unique_ptr<EmulatorBackend> MakeDefaultBackend(const EmulatorOptions& options);

// `options` with its endpoint named: when neither `folder` nor `listen` says
// where, the place where a library of this process looks (NORVEX_DEVICE's
// local:FOLDER or tcp:HOST:PORT, else the default device folder; Windows
// has none, and there both stay empty).
EmulatorOptions WithEndpoint(EmulatorOptions options);

}  // namespace norvex::emu
