// emulator.h: a virtual platesetter that serves one device endpoint of the
// POSIX device protocol (docs/device-protocol.md). Tests use it in-process;
// the daemon norvex-emu serves one from the command line.
//
// The emulator answers the command frames of the main unit (0x10), the laser
// head board (0x42) and the two HS boards (0x20, 0x21), keeps state records,
// takes bulk writes into its print memory, records every request frame it
// receives, and injects faults on demand. The machine is its device model,
// which Model() gives: the controls of a test (records, faults, what the
// host sent, print memory, parameter files, counters) are the model's own
// (device_model.h). On Windows the machine lives in the stand-in driver
// (windows/driver), another process: there Model() gives a RemoteModel with
// the same controls, each a request to the driver (remote_model.h); but in
// norvex-emu.exe (NORVEX_EMU_LOCAL), which serves TCP itself, the machine is
// the local model as on POSIX. Every
// member function is safe to call from any thread while the emulator serves
// a host.
#pragma once

#include <memory>
#include <string>

#include "emu/device_types.h"
#include "emu/unit_records.h"
#if defined(_WIN32) && !defined(NORVEX_EMU_LOCAL)
#include "remote_model.h"
#else
#include "emu/device_model.h"
#endif

namespace norvex::emu {

class Emulator {
 public:
  using Options = EmulatorOptions;
#if defined(_WIN32) && !defined(NORVEX_EMU_LOCAL)
  using Machine = RemoteModel;
#else
  using Machine = DeviceModel;
#endif

  Emulator();
  explicit Emulator(Options options);
  // Unplugs.
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // ---- Presence ----------------------------------------------------------
  // Creates the socket in the device folder (and the folder when missing)
  // and serves it on a thread of its own. True when plugged (also when it
  // already was); false when the endpoint cannot be created, for example
  // because another live device serves that path (found by connecting to it,
  // which that device counts as a connection). A stale socket file that
  // nobody serves is replaced.
  bool Plug();
  // Removes the socket file, closes every connection (pending transfers
  // vanish with it) and stops serving. Nothing when not plugged.
  void Unplug();
  bool IsPlugged() const;
  // The socket's path (folder + "/" + name), or for TCP the address
  // (as Address()).
  std::string EndpointPath() const;
  // Where a library reaches this platesetter: "local:FOLDER" or
  // "tcp:HOST:PORT" (with the port the system picked, once plugged).
  std::string Address() const;
  // The reason of the last failed Plug().
  std::string LastError() const;
  // Closes the host's connection while staying plugged.
  void DropHost();

  // ---- The machine ---------------------------------------------------------
  // The device model behind the endpoint, for the controls of a test.
  Machine& Model();
  const Machine& Model() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace norvex::emu
