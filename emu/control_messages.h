// control_messages.h: the requests that control an emulated platesetter in
// another process, and their answers: the operations, the answer statuses,
// and the encoding of their arguments and of the records they carry. Two
// servers take them: the stand-in driver under wine (through its control
// device, windows/driver/standin_protocol.h) and norvex-emu (through its
// control port, control_server.h; docs/emulator-control.md gives the bytes).
// Their clients are RemoteModel (remote_model.h) and the platesetters made
// through them.
//
// A request is an operation word, a platesetter id and the operation's
// arguments; an answer is a status word (0: done), the size of the whole
// answer, and the answer's body. Numbers are little-endian; byte strings,
// texts and lists carry a 32-bit count first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "emu/device_types.h"
#include "emu/machine_controls.h"

namespace norvex::emu::control {

// The numbers are part of the control port's protocol: a new operation takes
// a new number, and one never changes its meaning.
enum class Op : uint32_t {
  // ---- Platesetters and their presence; each server answers its own ------
  kCreate = 1,      // options -> u32 id; the platesetter belongs to the connection (or handle)
  kCreateKept = 2,  // stand-in: options -> u32 id, kept after the handle closes
  kDestroy = 3,
  kFind = 4,  // text name -> u32 id, 0 when none
  kPlug = 5,  // norvex-emu: -> u8 plugged, text error
  kUnplug = 6,
  kIsPlugged = 7,  // -> u8
  kDropHost = 8,
  kHostOf = 9,  // stand-in: -> u64 number of the host's open (0 without a host)
  kWhere = 39,  // norvex-emu: -> text address (Address()), text endpoint path
  // ---- The machine's controls (ApplyMachineControl) -------------------------
  kSetBoardPresent = 10,
  kBoardPresent = 11,
  kSetStateRecord = 12,
  kStateRecord = 13,
  kReceivedFrames = 14,
  kFunctionCalls = 15,
  kClearReceived = 16,
  kPrintMemory = 17,
  kClearPrintMemory = 18,
  kInjectFault = 19,
  kClearFaults = 20,
  kInjectBulkWriteFault = 21,
  kClearBulkWriteFaults = 22,
  kSetParaFileHeader = 23,
  kGetParaFileHeader = 24,
  kSetParaFileSizes = 25,
  kSetParaFileSection = 26,
  kParaFileSection = 27,
  kSavedParaFileSection = 28,
  kParaFileEvents = 29,
  kParaFileSaves = 30,
  kClearParaFileEvents = 31,
  kRefuseParaFile = 32,
  kConnectionsAccepted = 33,
  kBusyRefusals = 34,
  kHostConnected = 35,
  // ---- Waits: answered when the awaited state holds or at the time-out -----
  kWaitForFrames = 36,  // u32 count, u32 ms -> u8 held
  kWaitForHost = 37,    // u8 connected, u32 ms -> u8 held
  // stand-in: u8 enabled, u32 ms -> u8 held: the platesetter's device
  // interface is enabled (it can be found and opened) or disabled (gone).
  kWaitForInterface = 38,
};

// Answer status words.
inline constexpr uint32_t kAnswerOk = 0;
inline constexpr uint32_t kAnswerTooLong = 1;    // stand-in: the size needed follows
inline constexpr uint32_t kAnswerNoMachine = 2;  // no platesetter with that id
inline constexpr uint32_t kAnswerBadRequest = 3;
inline constexpr uint32_t kAnswerFailed = 4;  // a message text follows
inline constexpr size_t kAnswerHeader = 8;    // status, whole size

class Writer {
 public:
  Writer& U8(uint8_t v) {
    m_bytes.push_back(v);
    return *this;
  }
  Writer& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
  Writer& U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16)); }
  Writer& U64(uint64_t v) { return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32)); }
  Writer& Bytes(const std::vector<uint8_t>& v) {
    U32(static_cast<uint32_t>(v.size()));
    m_bytes.insert(m_bytes.end(), v.begin(), v.end());
    return *this;
  }
  Writer& Text(const std::string& s) { return Bytes(std::vector<uint8_t>(s.begin(), s.end())); }
  const std::vector<uint8_t>& Data() const { return m_bytes; }
  std::vector<uint8_t>& Data() { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// Reads what a Writer wrote; a read past the end gives zeros and clears ok().
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t U8() { return Take(1) ? m_data[m_pos - 1] : 0; }
  uint16_t U16() {
    uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  uint64_t U64() {
    uint64_t lo = U32();
    return lo | (static_cast<uint64_t>(U32()) << 32);
  }
  std::vector<uint8_t> Bytes() {
    const uint32_t n = U32();
    if (!Take(n)) return {};
    return std::vector<uint8_t>(m_data + m_pos - n, m_data + m_pos);
  }
  std::string Text() {
    const std::vector<uint8_t> b = Bytes();
    return std::string(b.begin(), b.end());
  }
  bool ok() const { return m_ok; }

 private:
  bool Take(size_t n) {
    if (!m_ok || m_size - m_pos < n) {
      m_ok = false;
      return false;
    }
    m_pos += n;
    return true;
  }
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
  bool m_ok = true;
};

// An answer: the status, the whole size, the body.
inline std::vector<uint8_t> Answer(uint32_t status, const Writer& body = Writer()) {
  Writer w;
  w.U32(status).U32(static_cast<uint32_t>(kAnswerHeader + body.Data().size()));
  std::vector<uint8_t> answer = w.Data();
  answer.insert(answer.end(), body.Data().begin(), body.Data().end());
  return answer;
}

// The records that cross between the processes.
inline void Put(Writer& w, const EmulatorOptions& o) {
  w.Text(o.name).U8(o.laserHead).U8(o.hsBoard0).U8(o.hsBoard1).Text(o.folder).Text(o.listen);
}
inline EmulatorOptions GetOptions(Reader& r) {
  EmulatorOptions o;
  o.name = r.Text();
  o.laserHead = r.U8() != 0;
  o.hsBoard0 = r.U8() != 0;
  o.hsBoard1 = r.U8() != 0;
  o.folder = r.Text();
  o.listen = r.Text();
  return o;
}

inline void Put(Writer& w, const Fault& f) {
  w.U32(static_cast<uint32_t>(f.kind)).U16(f.value).U32(static_cast<uint32_t>(f.count));
  w.U8(f.commandFilter.has_value()).U16(f.commandFilter.value_or(0));
  w.U8(f.addressFilter.has_value()).U8(f.addressFilter.value_or(0)).U32(f.delayMs);
}
inline Fault GetFault(Reader& r) {
  Fault f;
  const uint32_t kind = r.U32();
  f.kind = static_cast<FaultKind>(kind);
  f.value = r.U16();
  f.count = static_cast<int>(r.U32());
  const bool hasCommand = r.U8() != 0;
  const uint16_t command = r.U16();
  if (hasCommand) f.commandFilter = command;
  const bool hasAddress = r.U8() != 0;
  const uint8_t address = r.U8();
  if (hasAddress) f.addressFilter = address;
  f.delayMs = r.U32();
  return f;
}
// Whether a fault that came in a request names a kind the model knows.
inline bool KnownKind(const Fault& f) { return f.kind <= FaultKind::kDelay; }

inline void Put(Writer& w, const BulkWriteFault& f) {
  w.U32(static_cast<uint32_t>(f.kind)).U32(f.delayMs).U32(f.bytes).U32(static_cast<uint32_t>(f.count));
}
inline BulkWriteFault GetBulkWriteFault(Reader& r) {
  BulkWriteFault f;
  f.kind = static_cast<BulkWriteFaultKind>(r.U32());
  f.delayMs = r.U32();
  f.bytes = r.U32();
  f.count = static_cast<int>(r.U32());
  return f;
}
inline bool KnownKind(const BulkWriteFault& f) { return f.kind <= BulkWriteFaultKind::kStall; }

inline void Put(Writer& w, const ParaFileHeader& h) {
  w.U16(h.formatWord).U16(h.sectionCount).U16(h.readChunkWords).U16(h.writeChunkWords);
}
inline ParaFileHeader GetParaFileHeader(Reader& r) {
  ParaFileHeader h;
  h.formatWord = r.U16();
  h.sectionCount = r.U16();
  h.readChunkWords = r.U16();
  h.writeChunkWords = r.U16();
  return h;
}

inline void Put(Writer& w, const FunctionCall& c) {
  w.U8(c.address).U16(c.group).U16(c.item).Bytes(c.params);
}
inline FunctionCall GetFunctionCall(Reader& r) {
  FunctionCall c;
  c.address = r.U8();
  c.group = r.U16();
  c.item = r.U16();
  c.params = r.Bytes();
  return c;
}

inline void Put(Writer& w, const ParaFileEvent& e) {
  w.U32(static_cast<uint32_t>(e.kind)).U8(e.address).U32(e.section).U32(e.wordOffset).U32(e.words);
  w.U32(e.mask).U16(e.refusal);
}
inline ParaFileEvent GetParaFileEvent(Reader& r) {
  ParaFileEvent e;
  e.kind = static_cast<ParaFileEvent::Kind>(r.U32());
  e.address = r.U8();
  e.section = r.U32();
  e.wordOffset = r.U32();
  e.words = r.U32();
  e.mask = r.U32();
  e.refusal = r.U16();
  return e;
}

inline void Put(Writer& w, const ParaFileSave& s) {
  w.U8(s.address).U32(s.mask).U64(s.eventIndex).U32(static_cast<uint32_t>(s.sections.size()));
  for (const auto& section : s.sections) w.U32(section.first).Bytes(section.second);
}
inline ParaFileSave GetParaFileSave(Reader& r) {
  ParaFileSave s;
  s.address = r.U8();
  s.mask = r.U32();
  s.eventIndex = static_cast<size_t>(r.U64());
  const uint32_t n = r.U32();
  for (uint32_t i = 0; i < n && r.ok(); ++i) {
    const uint32_t number = r.U32();
    s.sections.emplace_back(number, r.Bytes());
  }
  return s;
}

template <typename T>
void PutList(Writer& w, const std::vector<T>& items) {
  w.U32(static_cast<uint32_t>(items.size()));
  for (const T& item : items) Put(w, item);
}
inline void Put(Writer& w, const std::vector<uint8_t>& bytes) { w.Bytes(bytes); }
template <typename T, typename Get>
std::vector<T> GetList(Reader& r, Get get) {
  std::vector<T> items;
  const uint32_t n = r.U32();
  for (uint32_t i = 0; i < n && r.ok(); ++i) items.push_back(get(r));
  return items;
}

// Carries out one of the machine's controls (kSetBoardPresent to
// kHostConnected; not the waits, which each server keeps in its own way) on
// `machine`, with the arguments in `args`, writing the answer's body to
// `out`. False for another operation, and for arguments that are cut short
// or name no fault kind: then nothing was done.
bool ApplyMachineControl(Op op, MachineControls& machine, Reader& args, Writer& out);

}  // namespace norvex::emu::control
