// local_platesetter.h: a virtual platesetter of this process: a device model
// served at an endpoint (a Unix socket of a device folder, or a TCP port) by
// a thread of its own. What an Emulator is on POSIX and in norvex-emu, and
// what norvex-emu makes for its control port's clients.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "emu/device_model.h"
#include "emu/emulator_backend.h"
#include "emu/endpoint_server.h"

namespace norvex::emu {

class LocalPlatesetter final : public EmulatorBackend {
 public:
  // Serves where `options` say (WithEndpoint: where a library of this
  // process looks, when they say nothing).
  explicit LocalPlatesetter(const EmulatorOptions& options);
  // Unplugs.
  ~LocalPlatesetter() override;
  LocalPlatesetter(const LocalPlatesetter&) = delete;
  LocalPlatesetter& operator=(const LocalPlatesetter&) = delete;

  bool Plug() override;
  void Unplug() override;
  bool IsPlugged() const override;
  std::string EndpointPath() const override;
  std::string Address() const override;
  std::string LastError() const override;
  void DropHost() override;
  DeviceModel& Model() override { return m_model; }
  const DeviceModel& Model() const override { return m_model; }
  DeviceModel* LocalModel() override { return &m_model; }
  const std::string& Name() const { return m_options.name; }

 private:
  std::string AddressLocked() const;

  EmulatorOptions m_options;
  std::string m_path;  // the socket's, for a device folder
  bool m_tcp = false;
  std::string m_host;
  uint16_t m_port = 0;  // kept once the system picked it: a replug serves the same address
  std::string m_addressProblem;
  DeviceModel m_model;
  // Serialises Plug, Unplug and DropHost.
  mutable std::mutex m_lifecycle;
  std::string m_lastError;  // under m_lifecycle
  EndpointServer m_server{m_model};
  bool m_plugged = false;  // under m_lifecycle
};

}  // namespace norvex::emu
