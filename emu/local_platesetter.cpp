// local_platesetter.cpp: a device model served by this process
// (local_platesetter.h), and where a library of this process looks for it.
#include "emu/local_platesetter.h"

#include <cstdlib>
#include <utility>

#include "emu/net.h"
#include "wire/device_address.h"

namespace norvex::emu {

EmulatorOptions WithEndpoint(EmulatorOptions options) {
  if (!options.folder.empty() || !options.listen.empty()) return options;
  const char* configured = std::getenv("NORVEX_DEVICE");
  const wire::DeviceAddress address = wire::ParseDeviceAddress(configured != nullptr ? configured : "");
  if (address.kind == wire::DeviceAddress::Kind::kTcp) {
    options.listen = wire::TcpAddressText(address.host, address.port).substr(4);
  } else if (address.kind == wire::DeviceAddress::Kind::kLocal) {
    options.folder = address.folder;
  } else {
    options.folder = net::DefaultDeviceFolder();
  }
  return options;
}

LocalPlatesetter::LocalPlatesetter(const EmulatorOptions& options)
    : m_options(WithEndpoint(options)), m_model(m_options) {
  if (!m_options.listen.empty()) {
    const wire::DeviceAddress address = wire::ParseDeviceAddress("tcp:" + m_options.listen, true);
    m_tcp = true;
    m_host = address.host;
    m_port = address.port;
    if (address.kind != wire::DeviceAddress::Kind::kTcp) m_addressProblem = address.problem;
  }
  m_path = m_options.folder + "/" + m_options.name;
}

LocalPlatesetter::~LocalPlatesetter() { Unplug(); }

bool LocalPlatesetter::Plug() {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  if (m_plugged) return true;
  if (!m_addressProblem.empty()) {
    m_lastError = "not an address to listen at: " + m_options.listen + ": " + m_addressProblem;
    return false;
  }
  std::string error;
  const bool started =
      m_tcp ? m_server.StartTcp(m_host, m_port, error) : m_server.StartLocal(m_options.folder, m_path, error);
  if (!started) {
    m_lastError = error;
    return false;
  }
  m_plugged = true;
  return true;
}

void LocalPlatesetter::Unplug() {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  if (!m_plugged) return;
  m_server.Stop();
  m_plugged = false;
}

bool LocalPlatesetter::IsPlugged() const {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  return m_plugged;
}

std::string LocalPlatesetter::AddressLocked() const {
  return m_tcp ? wire::TcpAddressText(m_host, m_port) : "local:" + m_options.folder;
}

std::string LocalPlatesetter::EndpointPath() const {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  return m_tcp ? AddressLocked() : m_path;
}

std::string LocalPlatesetter::Address() const {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  return AddressLocked();
}

std::string LocalPlatesetter::LastError() const {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  return m_lastError;
}

void LocalPlatesetter::DropHost() {
  std::lock_guard<std::mutex> lock(m_lifecycle);
  if (m_plugged) m_server.DropHost();
}

}  // namespace norvex::emu
