// emulator.cpp: the Emulator: a device model served at an endpoint.
#include "emu/emulator.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "emu/device_model.h"
#include "emu/endpoint_server.h"
#include "wire/device_address.h"

namespace norvex::emu {

struct Emulator::Impl {
  explicit Impl(Options o) : options(std::move(o)), model(options) {
    if (options.folder.empty() && options.listen.empty()) {
      // Where a library of this process looks.
      const char* configured = std::getenv("NORVEX_DEVICE");
      const wire::DeviceAddress address = wire::ParseDeviceAddress(configured != nullptr ? configured : "");
      if (address.kind == wire::DeviceAddress::Kind::kTcp) {
        tcp = true;
        host = address.host;
        port = address.port;
      } else if (address.kind == wire::DeviceAddress::Kind::kLocal) {
        options.folder = address.folder;
      }
    } else if (!options.listen.empty()) {
      const wire::DeviceAddress address = wire::ParseDeviceAddress("tcp:" + options.listen, true);
      tcp = true;
      host = address.host;
      port = address.port;
      if (address.kind != wire::DeviceAddress::Kind::kTcp) addressProblem = address.problem;
    }
    if (!tcp && options.folder.empty()) options.folder = net::DefaultDeviceFolder();
    path = options.folder + "/" + options.name;
  }

  std::string Address() const { return tcp ? wire::TcpAddressText(host, port) : "local:" + options.folder; }

  Options options;
  std::string path;
  bool tcp = false;
  std::string host;
  uint16_t port = 0;  // kept once the system picked it: a replug serves the same address
  std::string addressProblem;
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
  if (!m_impl->addressProblem.empty()) {
    m_impl->lastError =
        "not an address to listen at: " + m_impl->options.listen + ": " + m_impl->addressProblem;
    return false;
  }
  const bool started = m_impl->tcp ? m_impl->server.StartTcp(m_impl->host, m_impl->port, error)
                                   : m_impl->server.StartLocal(m_impl->options.folder, m_impl->path, error);
  if (!started) {
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

std::string Emulator::EndpointPath() const {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  return m_impl->tcp ? m_impl->Address() : m_impl->path;
}

std::string Emulator::Address() const {
  std::lock_guard<std::mutex> lock(m_impl->lifecycle);
  return m_impl->Address();
}

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
