// remote_model.cpp: each control of a machine in another process as its
// request and the reading of its answer (remote_model.h).
#include "emu/remote_model.h"

#include <algorithm>
#include <limits>

namespace norvex::emu {
namespace {

using control::Op;
using control::Reader;
using control::Writer;

// The answer to `op` read by `get` (a function of a Reader).
template <typename Get>
auto Ask(const RemoteCall& call, Op op, const Writer& args, Get get, bool wait = false) {
  const std::vector<uint8_t> body = call(op, args, wait);
  Reader r(body.data(), body.size());
  return get(r);
}

bool Flag(const RemoteCall& call, Op op, const Writer& args = Writer(), bool wait = false) {
  return Ask(
      call, op, args, [](Reader& r) { return r.U8() != 0; }, wait);
}

std::vector<uint8_t> Bytes(const RemoteCall& call, Op op, const Writer& args = Writer()) {
  return Ask(call, op, args, [](Reader& r) { return r.Bytes(); });
}

uint64_t Number(const RemoteCall& call, Op op) {
  return Ask(call, op, Writer(), [](Reader& r) { return r.U64(); });
}

template <typename T, typename Get>
std::vector<T> List(const RemoteCall& call, Op op, Get get) {
  return Ask(call, op, Writer(), [&](Reader& r) { return control::GetList<T>(r, get); });
}

template <typename Record>
Writer With(const Record& record) {
  Writer args;
  control::Put(args, record);
  return args;
}

// A wait's time-out as its request carries it (32-bit milliseconds).
uint32_t Milliseconds(std::chrono::milliseconds timeout) {
  const auto ms =
      std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, std::numeric_limits<uint32_t>::max());
  return static_cast<uint32_t>(ms);
}

}  // namespace

void RemoteParaFiles::SetHeader(uint8_t address, const ParaFileHeader& header) {
  Writer args;
  control::Put(args.U8(address), header);
  m_call(Op::kSetParaFileHeader, args, false);
}

ParaFileHeader RemoteParaFiles::Header(uint8_t address) const {
  return Ask(m_call, Op::kGetParaFileHeader, Writer().U8(address), control::GetParaFileHeader);
}

void RemoteParaFiles::SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
  Writer args;
  args.U8(address).U32(static_cast<uint32_t>(sectionWords.size()));
  for (uint32_t words : sectionWords) args.U32(words);
  m_call(Op::kSetParaFileSizes, args, false);
}

void RemoteParaFiles::SetSection(uint8_t address, uint32_t section, const std::vector<uint8_t>& bytes) {
  m_call(Op::kSetParaFileSection, Writer().U8(address).U32(section).Bytes(bytes), false);
}

std::vector<uint8_t> RemoteParaFiles::Section(uint8_t address, uint32_t section) const {
  return Bytes(m_call, Op::kParaFileSection, Writer().U8(address).U32(section));
}

std::vector<uint8_t> RemoteParaFiles::SavedSection(uint8_t address, uint32_t section) const {
  return Bytes(m_call, Op::kSavedParaFileSection, Writer().U8(address).U32(section));
}

std::vector<ParaFileEvent> RemoteParaFiles::Events() const {
  return List<ParaFileEvent>(m_call, Op::kParaFileEvents, control::GetParaFileEvent);
}

std::vector<ParaFileSave> RemoteParaFiles::Saves() const {
  return List<ParaFileSave>(m_call, Op::kParaFileSaves, control::GetParaFileSave);
}

void RemoteParaFiles::ClearEvents() { m_call(Op::kClearParaFileEvents, Writer(), false); }

void RemoteParaFiles::Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count) {
  m_call(Op::kRefuseParaFile,
         Writer().U8(address).U16(command).U16(errorValue).U32(static_cast<uint32_t>(count)), false);
}

void RemoteModel::SetBoardPresent(uint8_t address, bool present) {
  m_call(Op::kSetBoardPresent, Writer().U8(address).U8(present), false);
}

bool RemoteModel::BoardPresent(uint8_t address) const {
  return Flag(m_call, Op::kBoardPresent, Writer().U8(address));
}

void RemoteModel::SetStateRecord(uint8_t address, uint16_t group, uint16_t item,
                                 const std::vector<uint8_t>& bytes) {
  m_call(Op::kSetStateRecord, Writer().U8(address).U16(group).U16(item).Bytes(bytes), false);
}

std::vector<uint8_t> RemoteModel::StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
  return Bytes(m_call, Op::kStateRecord, Writer().U8(address).U16(group).U16(item));
}

std::vector<std::vector<uint8_t>> RemoteModel::ReceivedFrames() const {
  return List<std::vector<uint8_t>>(m_call, Op::kReceivedFrames, [](Reader& in) { return in.Bytes(); });
}

std::vector<FunctionCall> RemoteModel::FunctionCalls() const {
  return List<FunctionCall>(m_call, Op::kFunctionCalls, control::GetFunctionCall);
}

void RemoteModel::ClearReceived() { m_call(Op::kClearReceived, Writer(), false); }

bool RemoteModel::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  const uint32_t frames =
      static_cast<uint32_t>(std::min<size_t>(count, std::numeric_limits<uint32_t>::max()));
  return Flag(m_call, Op::kWaitForFrames, Writer().U32(frames).U32(Milliseconds(timeout)), true);
}

std::vector<uint8_t> RemoteModel::PrintMemory() const { return Bytes(m_call, Op::kPrintMemory); }

void RemoteModel::ClearPrintMemory() { m_call(Op::kClearPrintMemory, Writer(), false); }

void RemoteModel::InjectFault(const Fault& fault) { m_call(Op::kInjectFault, With(fault), false); }

void RemoteModel::ClearFaults() { m_call(Op::kClearFaults, Writer(), false); }

void RemoteModel::InjectBulkWriteFault(const BulkWriteFault& fault) {
  m_call(Op::kInjectBulkWriteFault, With(fault), false);
}

void RemoteModel::ClearBulkWriteFaults() { m_call(Op::kClearBulkWriteFaults, Writer(), false); }

uint64_t RemoteModel::ConnectionsAccepted() const { return Number(m_call, Op::kConnectionsAccepted); }

uint64_t RemoteModel::BusyRefusals() const { return Number(m_call, Op::kBusyRefusals); }

bool RemoteModel::HostConnected() const { return Flag(m_call, Op::kHostConnected); }

bool RemoteModel::WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
  return Flag(m_call, Op::kWaitForHost, Writer().U8(connected).U32(Milliseconds(timeout)), true);
}

}  // namespace norvex::emu
