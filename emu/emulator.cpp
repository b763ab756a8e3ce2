// emulator.cpp: the Emulator facade over the device model and the endpoint.
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

void Emulator::SetBoardPresent(uint8_t address, bool present) { m_impl->model.SetBoardPresent(address, present); }

bool Emulator::BoardPresent(uint8_t address) const { return m_impl->model.BoardPresent(address); }

void Emulator::SetStateRecord(uint8_t address, uint16_t group, uint16_t item, std::vector<uint8_t> bytes) {
  m_impl->model.SetStateRecord(address, group, item, std::move(bytes));
}

std::vector<uint8_t> Emulator::StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
  return m_impl->model.StateRecord(address, group, item);
}

void Emulator::SetCommandHandler(uint8_t address, uint16_t command, CommandHandler handler) {
  m_impl->model.SetCommandHandler(address, command, std::move(handler));
}

std::vector<std::vector<uint8_t>> Emulator::ReceivedFrames() const { return m_impl->model.ReceivedFrames(); }

std::vector<FunctionCall> Emulator::FunctionCalls() const { return m_impl->model.FunctionCalls(); }

void Emulator::ClearReceived() { m_impl->model.ClearReceived(); }

bool Emulator::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  return m_impl->model.WaitForFrames(count, timeout);
}

std::vector<uint8_t> Emulator::PrintMemory() const { return m_impl->model.PrintMemory(); }

void Emulator::ClearPrintMemory() { m_impl->model.ClearPrintMemory(); }

void Emulator::InjectFault(const Fault& fault) { m_impl->model.InjectFault(fault); }

void Emulator::ClearFaults() { m_impl->model.ClearFaults(); }

void Emulator::InjectBulkWriteFault(const BulkWriteFault& fault) { m_impl->model.InjectBulkWriteFault(fault); }

void Emulator::ClearBulkWriteFaults() { m_impl->model.ClearBulkWriteFaults(); }

void Emulator::SetParaFileHeader(uint8_t address, const ParaFileHeader& header) {
  m_impl->model.WithParaFiles([&](units::ParaFileBank& files) { files.SetHeader(address, header); });
}

ParaFileHeader Emulator::GetParaFileHeader(uint8_t address) const {
  return m_impl->model.WithParaFiles([&](units::ParaFileBank& files) { return files.Header(address); });
}

void Emulator::SetParaFileSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  m_impl->model.WithParaFiles([&](units::ParaFileBank& files) { files.SetSizes(address, sectionWords); });
}

void Emulator::SetParaFileSection(uint8_t address, uint32_t section, std::vector<uint8_t> bytes) {
  m_impl->model.WithParaFiles(
      [&](units::ParaFileBank& files) { files.SetSection(address, section, std::move(bytes)); });
}

std::vector<uint8_t> Emulator::ParaFileSection(uint8_t address, uint32_t section) const {
  return m_impl->model.WithParaFiles(
      [&](units::ParaFileBank& files) { return files.Section(address, section); });
}

std::vector<uint8_t> Emulator::SavedParaFileSection(uint8_t address, uint32_t section) const {
  return m_impl->model.WithParaFiles(
      [&](units::ParaFileBank& files) { return files.SavedSection(address, section); });
}

std::vector<ParaFileEvent> Emulator::ParaFileEvents() const {
  return m_impl->model.WithParaFiles([](units::ParaFileBank& files) { return files.Events(); });
}

std::vector<ParaFileSave> Emulator::ParaFileSaves() const {
  return m_impl->model.WithParaFiles([](units::ParaFileBank& files) { return files.Saves(); });
}

void Emulator::ClearParaFileEvents() {
  m_impl->model.WithParaFiles([](units::ParaFileBank& files) { files.ClearEvents(); });
}

void Emulator::RefuseParaFile(uint8_t address, uint16_t command, uint16_t errorValue, int count) {
  m_impl->model.WithParaFiles(
      [&](units::ParaFileBank& files) { files.Refuse(address, command, errorValue, count); });
}

uint64_t Emulator::ConnectionsAccepted() const { return m_impl->model.ConnectionsAccepted(); }

uint64_t Emulator::BusyRefusals() const { return m_impl->model.BusyRefusals(); }

bool Emulator::HostConnected() const { return m_impl->model.HostConnected(); }

bool Emulator::WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
  return m_impl->model.WaitForHost(connected, timeout);
}

}  // namespace norvex::emu
