// emulator.cpp: the Emulator: a device model served at an endpoint.
#include "emu/emulator.h"

#include <mutex>
#include <utility>

#include "emu/device_model.h"
#include "emu/endpoint_server.h"
#include "platform/posix/device_wire.h"

namespace norvex::emu {

struct Emulator::Impl {
  explicit Impl(Options o) : options(std::move(o)), model(options) {
    if (options.folder.empty()) options.folder = wire::DeviceFolder();
    path = options.folder + "/" + options.name;
  }

  Options options;
  std::string path;
  DeviceModel model;
  // Serialises Plug, Unplug and DropHost.
  mutable std::mutex lifecycle;
  std::string lastError;  // under `lifecycle`
  EndpointServer server{model};
  bool plugged = false;  // under `lifecycle`
};

Emulator::Emulator() : Emulator(Options{}) {}

Emulator::Emulator(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() { Unplug(); }

bool Emulator::Plug() {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  if (m_impl->plugged) return true;
  std::string error;
  if (!m_impl->server.Start(m_impl->options.folder, m_impl->path, error)) {
    m_impl->lastError = error;
    return false;
  }
  m_impl->plugged = true;
  return true;
}

void Emulator::Unplug() {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  if (!m_impl->plugged) return;
  m_impl->server.Stop();
  m_impl->plugged = false;
}

bool Emulator::IsPlugged() const {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  return m_impl->plugged;
}

std::string Emulator::EndpointPath() const { return m_impl->path; }

std::string Emulator::LastError() const {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  return m_impl->lastError;
}

void Emulator::DropHost() {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  if (m_impl->plugged) m_impl->server.DropHost();
}

DeviceModel& Emulator::Model() { return m_impl->model; }

const DeviceModel& Emulator::Model() const { return m_impl->model; }

}  // namespace norvex::emu
