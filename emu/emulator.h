// emulator.h: a virtual platesetter that serves one device endpoint of the
// device protocol (docs/device-protocol.md). Tests use it; the daemon
// norvex-emu serves them from the command line.
//
// The emulator answers the command frames of the main unit (0x10), the laser
// head board (0x42) and the two HS boards (0x20, 0x21), keeps state records,
// takes bulk writes into its print memory, records every request frame it
// receives, and injects faults on demand. Model() gives the machine's
// controls (machine_controls.h: records, faults, what the host sent, print
// memory, parameter files, counters), the same wherever the machine lives:
//   - in this process (the default on POSIX and in norvex-emu.exe): a device
//     model served at a Unix socket of a device folder or a TCP port;
//     LocalModel() gives the model itself, for command handlers of a test's own;
//   - in a Windows test program's default: in the stand-in driver under wine
//     (windows/driver, docs/wine-stand-in.md);
//   - in a norvex-emu, when Options::control or $NORVEX_EMU_CONTROL names its
//     control port (tcp:HOST:PORT): the platesetter is made there, serves
//     its endpoint from there, and goes with this Emulator
//     (docs/emulator-control.md).
// Every member function is safe to call from any thread while the emulator
// serves a host.
#pragma once

#include <memory>
#include <string>

#include "emu/device_types.h"
#include "emu/machine_controls.h"
#include "emu/unit_records.h"

namespace norvex::emu {

class DeviceModel;
class EmulatorBackend;

class Emulator {
 public:
  using Options = EmulatorOptions;

  Emulator();
  explicit Emulator(Options options);
  // Unplugs.
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // ---- Presence ----------------------------------------------------------
  // Creates the endpoint and serves it: the socket in the device folder (and
  // the folder when missing), or the TCP port. True when plugged (also when
  // it already was); false when the endpoint cannot be created, for example
  // because another live device serves that path (found by connecting to it,
  // which that device counts as a connection). A stale socket file that
  // nobody serves is replaced.
  bool Plug();
  // Removes the socket file (or stops listening), closes every connection
  // (pending transfers vanish with it) and stops serving. Nothing when not
  // plugged.
  void Unplug();
  bool IsPlugged() const;
  // The socket's path (folder + "/" + name), or for TCP the address
  // (as Address()).
  std::string EndpointPath() const;
  // Where a library reaches this platesetter: "local:FOLDER" or
  // "tcp:HOST:PORT" (with the port the system picked, once plugged).
  std::string Address() const;
  // The reason of the last failed Plug() or control.
  std::string LastError() const;
  // Closes the host's connection while staying plugged.
  void DropHost();

  // ---- The machine ---------------------------------------------------------
  // The controls of the machine behind the endpoint.
  MachineControls& Model();
  const MachineControls& Model() const;
  // The device model when it runs in this process; null when the machine
  // lives in another (the stand-in driver, a norvex-emu).
  DeviceModel* LocalModel();

 private:
  std::unique_ptr<EmulatorBackend> m_backend;
};

}  // namespace norvex::emu
