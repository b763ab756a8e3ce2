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

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() { Unplug(); }

bool Emulator::Plug() {
  std::lock_guard<std::mutex> lock(impl_->lifecycle);
  if (impl_->plugged) return true;
  std::string error;
  if (!impl_->server.Start(impl_->options.folder, impl_->path, error)) {
    impl_->lastError = error;
    return false;
  }
  impl_->plugged = true;
  return true;
}

void Emulator::Unplug() {
  std::lock_guard<std::mutex> lock(impl_->lifecycle);
  if (!impl_->plugged) return;
  impl_->server.Stop();
  impl_->plugged = false;
}

bool Emulator::IsPlugged() const {
  std::lock_guard<std::mutex> lock(impl_->lifecycle);
  return impl_->plugged;
}

std::string Emulator::EndpointPath() const { return impl_->path; }

std::string Emulator::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->lifecycle);
  return impl_->lastError;
}

void Emulator::DropHost() {
  std::lock_guard<std::mutex> lock(impl_->lifecycle);
  if (impl_->plugged) impl_->server.DropHost();
}

void Emulator::SetBoardPresent(uint8_t address, bool present) { impl_->model.SetBoardPresent(address, present); }

bool Emulator::BoardPresent(uint8_t address) const { return impl_->model.BoardPresent(address); }

void Emulator::SetStateRecord(uint8_t address, uint16_t group, uint16_t item, std::vector<uint8_t> bytes) {
  impl_->model.SetStateRecord(address, group, item, std::move(bytes));
}

std::vector<uint8_t> Emulator::StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
  return impl_->model.StateRecord(address, group, item);
}

void Emulator::SetCommandHandler(uint8_t address, uint16_t command, CommandHandler handler) {
  impl_->model.SetCommandHandler(address, command, std::move(handler));
}

std::vector<std::vector<uint8_t>> Emulator::ReceivedFrames() const { return impl_->model.ReceivedFrames(); }

std::vector<FunctionCall> Emulator::FunctionCalls() const { return impl_->model.FunctionCalls(); }

void Emulator::ClearReceived() { impl_->model.ClearReceived(); }

bool Emulator::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  return impl_->model.WaitForFrames(count, timeout);
}

std::vector<uint8_t> Emulator::PrintMemory() const { return impl_->model.PrintMemory(); }

void Emulator::ClearPrintMemory() { impl_->model.ClearPrintMemory(); }

void Emulator::InjectFault(const Fault& fault) { impl_->model.InjectFault(fault); }

void Emulator::ClearFaults() { impl_->model.ClearFaults(); }

void Emulator::InjectBulkWriteFault(const BulkWriteFault& fault) { impl_->model.InjectBulkWriteFault(fault); }

void Emulator::ClearBulkWriteFaults() { impl_->model.ClearBulkWriteFaults(); }

void Emulator::SetParaFileHeader(uint8_t address, const ParaFileHeader& header) {
  impl_->model.WithParaFiles([&](units::ParaFileBank& files) { files.SetHeader(address, header); });
}

ParaFileHeader Emulator::GetParaFileHeader(uint8_t address) const {
  return impl_->model.WithParaFiles([&](units::ParaFileBank& files) { return files.Header(address); });
}

void Emulator::SetParaFileSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  impl_->model.WithParaFiles([&](units::ParaFileBank& files) { files.SetSizes(address, sectionWords); });
}

void Emulator::SetParaFileSection(uint8_t address, uint32_t section, std::vector<uint8_t> bytes) {
  impl_->model.WithParaFiles(
      [&](units::ParaFileBank& files) { files.SetSection(address, section, std::move(bytes)); });
}

std::vector<uint8_t> Emulator::ParaFileSection(uint8_t address, uint32_t section) const {
  return impl_->model.WithParaFiles(
      [&](units::ParaFileBank& files) { return files.Section(address, section); });
}

std::vector<uint8_t> Emulator::SavedParaFileSection(uint8_t address, uint32_t section) const {
  return impl_->model.WithParaFiles(
      [&](units::ParaFileBank& files) { return files.SavedSection(address, section); });
}

std::vector<ParaFileEvent> Emulator::ParaFileEvents() const {
  return impl_->model.WithParaFiles([](units::ParaFileBank& files) { return files.Events(); });
}

std::vector<ParaFileSave> Emulator::ParaFileSaves() const {
  return impl_->model.WithParaFiles([](units::ParaFileBank& files) { return files.Saves(); });
}

void Emulator::ClearParaFileEvents() {
  impl_->model.WithParaFiles([](units::ParaFileBank& files) { files.ClearEvents(); });
}

void Emulator::RefuseParaFile(uint8_t address, uint16_t command, uint16_t errorValue, int count) {
  impl_->model.WithParaFiles(
      [&](units::ParaFileBank& files) { files.Refuse(address, command, errorValue, count); });
}

uint64_t Emulator::ConnectionsAccepted() const { return impl_->model.ConnectionsAccepted(); }

uint64_t Emulator::BusyRefusals() const { return impl_->model.BusyRefusals(); }

bool Emulator::HostConnected() const { return impl_->model.HostConnected(); }

bool Emulator::WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
  return impl_->model.WaitForHost(connected, timeout);
}

}  // namespace norvex::emu
