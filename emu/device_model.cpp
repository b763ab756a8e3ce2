// device_model.cpp: the units of the emulated machine and the frame handling.
#include "emu/device_model.h"

#include <algorithm>
#include <utility>

#include "protocol/frame.h"

namespace norvex::emu {
namespace {

constexpr size_t kMaxRequestFrame = 512;
constexpr size_t kFrameOverhead = 10;  // magic, address, length, command, checksum

// Whether `frame` is a request frame from the host that the units can take:
// magic, sender byte, length word matching the bytes, even data length,
// checksum.
bool WellFormedRequest(const uint8_t* frame, size_t size) {
  if (size < kFrameOverhead || size > kMaxRequestFrame) return false;
  if (LoadWord(frame) != kFrameMagic) return false;
  if (frame[3] != kHostAddress) return false;  // the host is the sender
  const uint16_t lengthWord = LoadWord(frame + 4);
  if (static_cast<size_t>(lengthWord) + 8 != size) return false;
  if ((lengthWord & 1u) != 0) return false;
  return FrameChecksum(frame, size) == LoadWord(frame + size - 2);
}

uint16_t SelectorWord(const std::vector<uint8_t>& data, size_t offset) {
  return LoadWord(data.data() + offset);
}

// What a fault makes of the units' answer before the frame is built: the
// reply, its sender, when and whether it comes. False when no reply comes.
bool ChangeReply(const Fault& fault, uint8_t& sender, Reply& reply, Outcome& outcome) {
  outcome.delayMs = fault.delayMs;
  switch (fault.kind) {
    case FaultKind::kErrorReply:
      reply = Reply::Error(fault.value);
      break;
    case FaultKind::kWrongReplySize:
      reply.data.resize(fault.value != 0 ? fault.value : reply.data.size() + 4, 0);
      break;
    case FaultKind::kWrongCommand:
      reply.command = fault.value != 0 ? fault.value : static_cast<uint16_t>(reply.command + 0x100);
      break;
    case FaultKind::kWrongUnit:
      sender = fault.value != 0 ? static_cast<uint8_t>(fault.value)
                                : (sender == kLaserHead ? kHsBoard0 : kLaserHead);
      break;
    case FaultKind::kNoReply:
      outcome.action = Outcome::Action::kNoReply;
      outcome.delayMs = 0;
      return false;
    case FaultKind::kLateReply:
      outcome.action = Outcome::Action::kLateReply;
      break;
    case FaultKind::kDisconnect:
    case FaultKind::kBadChecksum:
    case FaultKind::kWrongLength:
    case FaultKind::kDelay:
      break;
  }
  return true;
}

// What a fault makes of the built reply frame: a wrong checksum or length word.
void CorruptFrame(const Fault& fault, std::vector<uint8_t>& frame) {
  if (fault.kind == FaultKind::kBadChecksum) {
    uint8_t* checksum = frame.data() + frame.size() - 2;
    const uint16_t wrong = fault.value != 0 ? static_cast<uint16_t>(LoadWord(checksum) ^ fault.value)
                                            : static_cast<uint16_t>(LoadWord(checksum) + 1);
    StoreWord(checksum, wrong);
  }
  if (fault.kind == FaultKind::kWrongLength) {
    uint8_t* lengthWord = frame.data() + 4;
    StoreWord(lengthWord, fault.value != 0 ? fault.value : static_cast<uint16_t>(LoadWord(lengthWord) + 2));
  }
}

}  // namespace

std::vector<uint8_t> BuildReplyFrame(uint8_t sender, uint16_t command, const std::vector<uint8_t>& data) {
  const size_t n = std::min(data.size(), kMaxFrameData);
  std::vector<uint8_t> frame(n + kFrameOverhead);
  StoreWord(frame.data(), kFrameMagic);
  frame[2] = static_cast<uint8_t>(kHostAddress);
  frame[3] = sender;
  StoreWord(frame.data() + 4, static_cast<uint16_t>(n + 2));
  StoreWord(frame.data() + 6, command);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), frame.begin() + 8);
  StoreWord(frame.data() + 8 + n, FrameChecksum(frame.data(), frame.size()));
  return frame;
}

DeviceModel::DeviceModel(const EmulatorOptions& options) {
  m_present[kMainUnit] = true;
  m_present[kLaserHead] = options.laserHead;
  m_present[kHsBoard0] = options.hsBoard0;
  m_present[kHsBoard1] = options.hsBoard1;
  InstallBuiltinHandlers();
}

void DeviceModel::InstallBuiltinHandlers() {
  for (uint8_t unit : {kMainUnit, kLaserHead, kHsBoard0, kHsBoard1}) {
    m_builtin[HandlerKey{unit, kStateQuery}] = [this](const Request& r) { return HandleStateQuery(r); };
    m_builtin[HandlerKey{unit, kFunctionCall}] = [this](const Request& r) { return HandleFunctionCall(r); };
  }
  m_builtin[HandlerKey{kMainUnit, kReadBackCommand}] = [this](const Request& r) {
    return m_printMemory.ReadBack(r);
  };
  units::InstallMainUnit(*this);
  units::InstallLaserHead(*this);
  units::InstallHsBoards(*this);
  m_paraFiles.Install(*this, m_mu);
}

std::vector<uint8_t>& DeviceModel::Record(uint8_t address, uint16_t group, uint16_t item) {
  auto [it, made] = m_records.try_emplace(RecordKey{address, group, item}, std::vector<uint8_t>(4, 0));
  return it->second;
}

void DeviceModel::Handle(uint8_t address, uint16_t command, CommandHandler handler) {
  m_builtin[HandlerKey{address, command}] = std::move(handler);
}

void DeviceModel::OnFunction(uint8_t address, uint16_t group, uint16_t item, units::FunctionEffect effect) {
  m_effects[RecordKey{address, group, item}] = std::move(effect);
}

Reply DeviceModel::Dispatch(const Request& request) {
  const HandlerKey key{request.address, request.command};
  if (auto custom = m_custom.find(key); custom != m_custom.end()) return custom->second(request);
  if (auto builtin = m_builtin.find(key); builtin != m_builtin.end()) return builtin->second(request);
  return Reply::Ack();
}

Reply DeviceModel::HandleStateQuery(const Request& request) {
  if (request.data.size() < 4) return Reply::Error(kErrorNoSelector);
  return Reply{kStateReply,
               RecordLocked(request.address, SelectorWord(request.data, 0), SelectorWord(request.data, 2))};
}

Reply DeviceModel::HandleFunctionCall(const Request& request) {
  if (request.data.size() < 4) return Reply::Error(kErrorNoSelector);
  m_calls.push_back(FunctionCall{request.address, SelectorWord(request.data, 0),
                                 SelectorWord(request.data, 2),
                                 std::vector<uint8_t>(request.data.begin() + 4, request.data.end())});
  if (m_calls.size() > kFrameHistory) m_calls.pop_front();
  const FunctionCall& call = m_calls.back();
  if (auto effect = m_effects.find(RecordKey{call.address, call.group, call.item});
      effect != m_effects.end()) {
    return effect->second(call.params);
  }
  return Reply::Ack();
}

std::vector<uint8_t> DeviceModel::RecordLocked(uint8_t address, uint16_t group, uint16_t item) const {
  auto found = m_records.find(RecordKey{address, group, item});
  if (found != m_records.end()) return found->second;
  return std::vector<uint8_t>(4, 0);
}

bool DeviceModel::PresentLocked(uint8_t address) const {
  auto found = m_present.find(address);
  return found != m_present.end() && found->second;
}

bool DeviceModel::TakeFault(bool haveAddress, uint8_t address, bool haveCommand, uint16_t command,
                            Fault& out) {
  for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
    if (it->commandFilter && !(haveCommand && *it->commandFilter == command)) continue;
    if (it->addressFilter && !(haveAddress && *it->addressFilter == address)) continue;
    out = *it;
    if (it->count >= 1 && --it->count == 0) m_faults.erase(it);
    return true;
  }
  return false;
}

Outcome DeviceModel::HandleFrame(const uint8_t* frame, size_t size) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_frames.emplace_back(frame, frame + size);
  m_frameBytes += size;
  ++m_framesCounted;
  while (m_frames.size() > kFrameHistory || (m_frameBytes > kFrameHistoryBytes && m_frames.size() > 1)) {
    m_frameBytes -= m_frames.front().size();
    m_frames.pop_front();
  }
  m_changed.notify_all();

  const bool haveAddress = size >= 3;
  const bool haveCommand = size >= 8;
  const uint8_t address = haveAddress ? frame[2] : 0;
  const uint16_t command = haveCommand ? LoadWord(frame + 6) : 0;

  Fault fault;
  const bool faulty = TakeFault(haveAddress, address, haveCommand, command, fault);
  Outcome outcome;
  // A dropped connection takes the frame away before any unit sees it.
  if (faulty && fault.kind == FaultKind::kDisconnect) {
    outcome.action = Outcome::Action::kDisconnect;
    return outcome;
  }

  // The answer of the units. They act on the frame even when a fault then
  // changes or withholds what reaches the host.
  uint8_t sender = kMainUnit;
  Reply reply;
  if (!WellFormedRequest(frame, size)) {
    reply = Reply::Error(kErrorBadFrame);
  } else if (!PresentLocked(address)) {
    reply = Reply::Error(kErrorNoSuchBoard);
  } else {
    sender = address;
    reply = Dispatch(Request{address, command, std::vector<uint8_t>(frame + 8, frame + size - 2)});
  }

  if (faulty && !ChangeReply(fault, sender, reply, outcome)) return outcome;
  outcome.frame = BuildReplyFrame(sender, reply.command, reply.data);
  if (faulty) CorruptFrame(fault, outcome.frame);
  return outcome;
}

size_t DeviceModel::AppendPrintData(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_printMemory.Append(data, size);
}

WritePlan DeviceModel::PlanWrite(size_t size) {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_printMemory.PlanWrite(size);
}

void DeviceModel::InjectBulkWriteFault(const BulkWriteFault& fault) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_printMemory.InjectFault(fault);
}

void DeviceModel::ClearBulkWriteFaults() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_printMemory.ClearFaults();
}

void DeviceModel::NoteConnection(bool granted) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (granted) {
    ++m_accepted;
  } else {
    ++m_refused;
  }
  m_changed.notify_all();
}

void DeviceModel::SetHostConnected(bool connected) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_hostConnected = connected;
  m_changed.notify_all();
}

void DeviceModel::SetBoardPresent(uint8_t address, bool present) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_present[address] = present || address == kMainUnit;
}

bool DeviceModel::BoardPresent(uint8_t address) const {
  std::lock_guard<std::mutex> lock(m_mu);
  return PresentLocked(address);
}

void DeviceModel::SetStateRecord(uint8_t address, uint16_t group, uint16_t item,
                                 const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_records[RecordKey{address, group, item}] = bytes;
}

std::vector<uint8_t> DeviceModel::StateRecord(uint8_t address, uint16_t group, uint16_t item) const {
  std::lock_guard<std::mutex> lock(m_mu);
  return RecordLocked(address, group, item);
}

void DeviceModel::SetCommandHandler(uint8_t address, uint16_t command, CommandHandler handler) {
  std::lock_guard<std::mutex> lock(m_mu);
  if (handler) {
    m_custom[HandlerKey{address, command}] = std::move(handler);
  } else {
    m_custom.erase(HandlerKey{address, command});
  }
}

std::vector<std::vector<uint8_t>> DeviceModel::ReceivedFrames() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return std::vector<std::vector<uint8_t>>(m_frames.begin(), m_frames.end());
}

std::vector<FunctionCall> DeviceModel::FunctionCalls() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return std::vector<FunctionCall>(m_calls.begin(), m_calls.end());
}

void DeviceModel::ClearReceived() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_frames.clear();
  m_frameBytes = 0;
  m_framesCounted = 0;
  m_calls.clear();
}

bool DeviceModel::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mu);
  return m_changed.wait_for(lock, timeout, [&] { return m_framesCounted >= count; });
}

std::vector<uint8_t> DeviceModel::PrintMemory() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_printMemory.Contents();
}

void DeviceModel::ClearPrintMemory() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_printMemory.Clear();
}

void DeviceModel::InjectFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_faults.push_back(fault);
}

void DeviceModel::ClearFaults() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_faults.clear();
}

uint64_t DeviceModel::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_accepted;
}

uint64_t DeviceModel::BusyRefusals() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_refused;
}

bool DeviceModel::HostConnected() const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_hostConnected;
}

bool DeviceModel::WaitForHost(bool connected, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mu);
  return m_changed.wait_for(lock, timeout, [&] { return m_hostConnected == connected; });
}

}  // namespace norvex::emu
