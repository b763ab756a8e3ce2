// remote_model.h: the device model's controls for a Windows program whose
// platesetter lives in the stand-in driver: what a test uses of
// emu::DeviceModel (emu/device_model.h), each a request over the driver's
// control device (standin_protocol.h), which the driver carries out on its
// model (standin_rack.cpp). Emulator::Model() gives one on Windows. Handlers
// of a test's own are not offered: they would run in the driver's process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "emu/device_types.h"
#include "standin_protocol.h"

namespace norvex::emu {

// Sends one operation on the platesetter with its arguments (as a wait when
// `wait` is set) and gives the answer's body, empty when the request failed.
using RemoteCall =
    std::function<std::vector<uint8_t>(standin::Op op, const standin::Writer& args, bool wait)>;

// The requests and the reading of their answers.
class RemoteCalls {
 public:
  explicit RemoteCalls(RemoteCall call) : m_call(std::move(call)) {}

 protected:
  using Op = standin::Op;
  using Writer = standin::Writer;
  using Reader = standin::Reader;

  void Send(Op op, const Writer& args = Writer()) const { m_call(op, args, false); }
  // The answer read by `get` (a function of a Reader).
  template <typename Get>
  auto Ask(Op op, const Writer& args, Get get, bool wait = false) const {
    const std::vector<uint8_t> body = m_call(op, args, wait);
    Reader r(body.data(), body.size());
    return get(r);
  }
  bool Flag(Op op, const Writer& args = Writer(), bool wait = false) const {
    return Ask(
        op, args, [](Reader& r) { return r.U8() != 0; }, wait);
  }
  std::vector<uint8_t> Bytes(Op op, const Writer& args = Writer()) const {
    return Ask(op, args, [](Reader& r) { return r.Bytes(); });
  }
  template <typename T, typename Get>
  std::vector<T> List(Op op, Get get) const {
    return Ask(op, Writer(), [&](Reader& r) { return standin::GetList<T>(r, get); });
  }

 private:
  RemoteCall m_call;
};

// The units' parameter files (units::ParaFileBank).
class RemoteParaFiles : public RemoteCalls {
 public:
  using RemoteCalls::RemoteCalls;

  void SetHeader(uint8_t address, const ParaFileHeader& header) {
    Writer args;
    standin::Put(args.U8(address), header);
    Send(Op::kSetParaFileHeader, args);
  }
  ParaFileHeader Header(uint8_t address) const {
    return Ask(Op::kGetParaFileHeader, Writer().U8(address), standin::GetParaFileHeader);
  }
  void SetSizes(uint8_t address, const std::vector<uint32_t>& sectionWords) {
    Writer args;
    args.U8(address).U32(static_cast<uint32_t>(sectionWords.size()));
    for (uint32_t words : sectionWords) args.U32(words);
    Send(Op::kSetParaFileSizes, args);
  }
  void SetSection(uint8_t address, uint32_t section, const std::vector<uint8_t>& bytes) {
    Send(Op::kSetParaFileSection, Writer().U8(address).U32(section).Bytes(bytes));
  }
  std::vector<uint8_t> Section(uint8_t address, uint32_t section) const {
    return Bytes(Op::kParaFileSection, Writer().U8(address).U32(section));
  }
  std::vector<uint8_t> SavedSection(uint8_t address, uint32_t section) const {
    return Bytes(Op::kSavedParaFileSection, Writer().U8(address).U32(section));
  }
  std::vector<ParaFileEvent> Events() const {
    return List<ParaFileEvent>(Op::kParaFileEvents, standin::GetParaFileEvent);
  }
  std::vector<ParaFileSave> Saves() const {
    return List<ParaFileSave>(Op::kParaFileSaves, standin::GetParaFileSave);
  }
  void ClearEvents() { Send(Op::kClearParaFileEvents); }
  void Refuse(uint8_t address, uint16_t command, uint16_t errorValue, int count = 1) {
    Send(Op::kRefuseParaFile,
         Writer().U8(address).U16(command).U16(errorValue).U32(static_cast<uint32_t>(count)));
  }
};

// The machine (DeviceModel) but for its handlers.
class RemoteModel : public RemoteCalls {
 public:
  explicit RemoteModel(const RemoteCall& call) : RemoteCalls(call), m_paraFiles(call) {}

  void SetBoardPresent(uint8_t address, bool present) {
    Send(Op::kSetBoardPresent, Writer().U8(address).U8(present));
  }
  bool BoardPresent(uint8_t address) const { return Flag(Op::kBoardPresent, Writer().U8(address)); }
  void SetStateRecord(uint8_t address, uint16_t group, uint16_t item, const std::vector<uint8_t>& bytes) {
    Send(Op::kSetStateRecord, Writer().U8(address).U16(group).U16(item).Bytes(bytes));
  }
  std::vector<uint8_t> StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
    return Bytes(Op::kStateRecord, Writer().U8(address).U16(group).U16(item));
  }

  std::vector<std::vector<uint8_t>> ReceivedFrames() const {
    return List<std::vector<uint8_t>>(Op::kReceivedFrames, [](Reader& in) { return in.Bytes(); });
  }
  std::vector<FunctionCall> FunctionCalls() const {
    return List<FunctionCall>(Op::kFunctionCalls, standin::GetFunctionCall);
  }
  void ClearReceived() { Send(Op::kClearReceived); }
  bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    return Flag(Op::kWaitForFrames,
                Writer().U32(static_cast<uint32_t>(count)).U32(static_cast<uint32_t>(timeout.count())), true);
  }
  std::vector<uint8_t> PrintMemory() const { return Bytes(Op::kPrintMemory); }
  void ClearPrintMemory() { Send(Op::kClearPrintMemory); }

  void InjectFault(const Fault& fault) {
    Writer args;
    standin::Put(args, fault);
    Send(Op::kInjectFault, args);
  }
  void ClearFaults() { Send(Op::kClearFaults); }
  void InjectBulkWriteFault(const BulkWriteFault& fault) {
    Writer args;
    standin::Put(args, fault);
    Send(Op::kInjectBulkWriteFault, args);
  }
  void ClearBulkWriteFaults() { Send(Op::kClearBulkWriteFaults); }

  RemoteParaFiles& ParaFiles() { return m_paraFiles; }
  const RemoteParaFiles& ParaFiles() const { return m_paraFiles; }

  uint64_t ConnectionsAccepted() const { return Ask(Op::kConnectionsAccepted, Writer(), Number); }
  uint64_t BusyRefusals() const { return Ask(Op::kBusyRefusals, Writer(), Number); }
  bool HostConnected() const { return Flag(Op::kHostConnected); }
  bool WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
    return Flag(Op::kWaitForHost, Writer().U8(connected).U32(static_cast<uint32_t>(timeout.count())), true);
  }

 private:
  static uint64_t Number(Reader& r) { return r.U64(); }

  RemoteParaFiles m_paraFiles;
};

}  // namespace norvex::emu
