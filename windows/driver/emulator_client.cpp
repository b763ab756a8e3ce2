// emulator_client.cpp: norvex::emu::Emulator for Windows programs: the
// platesetter is the stand-in driver's (windows/driver), made through its
// control device when the Emulator is made and gone when it goes. Plug and
// Unplug wait until the platesetter's device interface appears or goes, and
// Unplug gives the host that held it open the removal notice that Wine does
// not send (standin_client.h).
#include <windows.h>

#include <mutex>
#include <utility>

#include "emu/emulator.h"
#include "standin_client.h"

namespace norvex::emu {

using standin::Op;
using standin::Reader;
using standin::Writer;

struct Emulator::Impl {
  explicit Impl(Options o) : options(std::move(o)) {}

  // Sends `op` with the platesetter's id and `args`; the answer's body, empty
  // when the request failed (the reason is kept for LastError).
  std::vector<uint8_t> Call(Op op, const Writer& args = Writer(), bool wait = false) const {
    Writer request;
    request.U32(static_cast<uint32_t>(op)).U32(id);
    request.Data().insert(request.Data().end(), args.Data().begin(), args.Data().end());
    std::vector<uint8_t> body;
    std::string error;
    if (!channel.Call(request, body, error, wait)) {
      std::lock_guard<std::mutex> lock(mu);
      lastError = error;
      body.clear();
    }
    return body;
  }
  bool Flag(Op op, const Writer& args = Writer(), bool wait = false) const {
    const std::vector<uint8_t> body = Call(op, args, wait);
    return !body.empty() && body[0] != 0;
  }
  uint64_t Number(Op op) const {
    const std::vector<uint8_t> body = Call(op);
    Reader r(body.data(), body.size());
    return r.U64();
  }
  bool WaitInterface(bool enabled) const {
    return Flag(Op::kWaitForInterface, Writer().U8(enabled).U32(10000), true);
  }

  Options options;
  standin::ControlChannel channel;
  uint32_t id = 0;
  mutable std::mutex mu;
  mutable std::string lastError;  // under mu
  // The removal notice to this process's own windows, which take it when
  // their thread next dispatches messages (until the next unplug).
  std::unique_ptr<standin::RemovalNotice> notice;
};

Emulator::Emulator() : Emulator(Options{}) {}

Emulator::Emulator(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {
  Writer args;
  standin::Put(args, m_impl->options);
  m_impl->id = 0;
  const std::vector<uint8_t> body = m_impl->Call(Op::kCreate, args);
  Reader r(body.data(), body.size());
  m_impl->id = r.U32();
}

Emulator::~Emulator() {
  Unplug();
  if (m_impl->id != 0) m_impl->Call(Op::kDestroy);
}

bool Emulator::Plug() {
  if (m_impl->id == 0) return false;
  m_impl->Call(Op::kPlug);
  return m_impl->WaitInterface(true);
}

void Emulator::Unplug() {
  if (m_impl->id == 0 || !IsPlugged()) return;
  const std::vector<uint8_t> body = m_impl->Call(Op::kHostOf);
  Reader r(body.data(), body.size());
  const standin::HostHandle host = standin::FindHostHandle(r.U64());
  m_impl->Call(Op::kUnplug);
  m_impl->WaitInterface(false);
  m_impl->notice.reset();
  if (host.handle == 0) return;
  m_impl->notice = std::make_unique<standin::RemovalNotice>();
  std::string error;
  if (m_impl->notice->Post(host, error) == 0) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->lastError = error;
    return;
  }
  // A host in another process (one that opened the device through this
  // emulator's platesetter) gets it at once, as from the norvex-standin tool.
  if (host.process != ::GetCurrentProcessId()) m_impl->notice->WaitDelivered(1, 5000);
}

bool Emulator::IsPlugged() const { return m_impl->Flag(Op::kIsPlugged); }

std::string Emulator::EndpointPath() const { return "\\\\?\\norvex#platesetter#" + m_impl->options.name; }

std::string Emulator::LastError() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->lastError;
}

void Emulator::DropHost() { m_impl->Call(Op::kDropHost); }

void Emulator::SetBoardPresent(uint8_t address, bool present) {
  m_impl->Call(Op::kSetBoardPresent, Writer().U8(address).U8(present));
}

bool Emulator::BoardPresent(uint8_t address) const { return m_impl->Flag(Op::kBoardPresent, Writer().U8(address)); }

void Emulator::SetStateRecord(uint8_t address, uint16_t group, uint16_t item, std::vector<uint8_t> bytes) {
  m_impl->Call(Op::kSetStateRecord, Writer().U8(address).U16(group).U16(item).Bytes(bytes));
}

std::vector<uint8_t> Emulator::StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kStateRecord, Writer().U8(address).U16(group).U16(item));
  Reader r(body.data(), body.size());
  return r.Bytes();
}

std::vector<std::vector<uint8_t>> Emulator::ReceivedFrames() const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kReceivedFrames);
  Reader r(body.data(), body.size());
  return standin::GetList<std::vector<uint8_t>>(r, [](Reader& in) { return in.Bytes(); });
}

std::vector<FunctionCall> Emulator::FunctionCalls() const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kFunctionCalls);
  Reader r(body.data(), body.size());
  return standin::GetList<FunctionCall>(r, standin::GetFunctionCall);
}

void Emulator::ClearReceived() { m_impl->Call(Op::kClearReceived); }

bool Emulator::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  return m_impl->Flag(Op::kWaitForFrames,
                     Writer().U32(static_cast<uint32_t>(count)).U32(static_cast<uint32_t>(timeout.count())), true);
}

std::vector<uint8_t> Emulator::PrintMemory() const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kPrintMemory);
  Reader r(body.data(), body.size());
  return r.Bytes();
}

void Emulator::ClearPrintMemory() { m_impl->Call(Op::kClearPrintMemory); }

void Emulator::InjectFault(const Fault& fault) {
  Writer args;
  standin::Put(args, fault);
  m_impl->Call(Op::kInjectFault, args);
}

void Emulator::ClearFaults() { m_impl->Call(Op::kClearFaults); }

void Emulator::InjectBulkWriteFault(const BulkWriteFault& fault) {
  Writer args;
  standin::Put(args, fault);
  m_impl->Call(Op::kInjectBulkWriteFault, args);
}

void Emulator::ClearBulkWriteFaults() { m_impl->Call(Op::kClearBulkWriteFaults); }

void Emulator::SetParaFileHeader(uint8_t address, const ParaFileHeader& header) {
  Writer args;
  args.U8(address);
  standin::Put(args, header);
  m_impl->Call(Op::kSetParaFileHeader, args);
}

ParaFileHeader Emulator::GetParaFileHeader(uint8_t address) const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kGetParaFileHeader, Writer().U8(address));
  Reader r(body.data(), body.size());
  return standin::GetParaFileHeader(r);
}

void Emulator::SetParaFileSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  Writer args;
  args.U8(address).U32(static_cast<uint32_t>(sectionWords.size()));
  for (uint32_t words : sectionWords) args.U32(words);
  m_impl->Call(Op::kSetParaFileSizes, args);
}

void Emulator::SetParaFileSection(uint8_t address, uint32_t section, std::vector<uint8_t> bytes) {
  m_impl->Call(Op::kSetParaFileSection, Writer().U8(address).U32(section).Bytes(bytes));
}

std::vector<uint8_t> Emulator::ParaFileSection(uint8_t address, uint32_t section) const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kParaFileSection, Writer().U8(address).U32(section));
  Reader r(body.data(), body.size());
  return r.Bytes();
}

std::vector<uint8_t> Emulator::SavedParaFileSection(uint8_t address, uint32_t section) const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kSavedParaFileSection, Writer().U8(address).U32(section));
  Reader r(body.data(), body.size());
  return r.Bytes();
}

std::vector<ParaFileEvent> Emulator::ParaFileEvents() const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kParaFileEvents);
  Reader r(body.data(), body.size());
  return standin::GetList<ParaFileEvent>(r, standin::GetParaFileEvent);
}

std::vector<ParaFileSave> Emulator::ParaFileSaves() const {
  const std::vector<uint8_t> body = m_impl->Call(Op::kParaFileSaves);
  Reader r(body.data(), body.size());
  return standin::GetList<ParaFileSave>(r, standin::GetParaFileSave);
}

void Emulator::ClearParaFileEvents() { m_impl->Call(Op::kClearParaFileEvents); }

void Emulator::RefuseParaFile(uint8_t address, uint16_t command, uint16_t errorValue, int count) {
  m_impl->Call(Op::kRefuseParaFile,
              Writer().U8(address).U16(command).U16(errorValue).U32(static_cast<uint32_t>(count)));
}

uint64_t Emulator::ConnectionsAccepted() const { return m_impl->Number(Op::kConnectionsAccepted); }

uint64_t Emulator::BusyRefusals() const { return m_impl->Number(Op::kBusyRefusals); }

bool Emulator::HostConnected() const { return m_impl->Flag(Op::kHostConnected); }

bool Emulator::WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
  return m_impl->Flag(Op::kWaitForHost, Writer().U8(connected).U32(static_cast<uint32_t>(timeout.count())), true);
}

}  // namespace norvex::emu
