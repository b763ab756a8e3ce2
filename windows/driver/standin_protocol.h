// standin_protocol.h: the private control requests of the platesetter
// stand-in driver (windows/driver), shared by the driver and its clients (the
// emulator controls of the tests, norvex-standin.exe).
//
// The stand-in's control device "\\.\NorvexStandIn" takes METHOD_BUFFERED
// requests. The input is an operation word, a platesetter id and the
// operation's arguments; the output is a status word (0: done), the size of
// the whole answer, and the answer. An output buffer that is too small gets
// the status kAnswerTooLong with the size needed, so that the client asks
// again with room enough. Numbers are little-endian; byte strings and lists
// carry a 32-bit count first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "emu/device_types.h"

namespace norvex::standin {

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t BufferedControlCode(uint32_t function) { return (0x22u << 16) | (function << 2); }
// An operation on the emulated machines, answered at once.
inline constexpr uint32_t kIoctlOperation = BufferedControlCode(0x900);
// A wait (frames received, host connected), answered when it holds or at
// its time-out.
inline constexpr uint32_t kIoctlWait = BufferedControlCode(0x901);
// Sent to a platesetter's own handle: the answer is the 64-bit number of the
// open that the handle belongs to (0 for an open that the device refused).
inline constexpr uint32_t kIoctlIdentifyOpen = BufferedControlCode(0x902);

inline constexpr wchar_t kControlDeviceName[] = L"\\Device\\NorvexStandIn";
inline constexpr wchar_t kControlLinkName[] = L"\\DosDevices\\NorvexStandIn";
inline constexpr char kControlPath[] = "\\\\.\\NorvexStandIn";
// The root device that the driver serves and its hardware id (the INF's).
inline constexpr char kRootInstanceId[] = "ROOT\\NORVEXSTANDIN\\0";
inline constexpr char kRootHardwareId[] = "root\\norvexstandin";

enum class Op : uint32_t {
  kCreate = 1,  // options -> id; the machine belongs to the control handle
  kCreateKept,  // options -> id; kept after the handle closes (norvex-standin.exe)
  kDestroy,
  kFind,  // name -> id, 0 when none
  kPlug,
  kUnplug,
  kIsPlugged,
  kDropHost,
  kHostOf,  // -> u64 number of the host's open (0 without a host)
  kSetBoardPresent,
  kBoardPresent,
  kSetStateRecord,
  kStateRecord,
  kReceivedFrames,
  kFunctionCalls,
  kClearReceived,
  kPrintMemory,
  kClearPrintMemory,
  kInjectFault,
  kClearFaults,
  kInjectBulkWriteFault,
  kClearBulkWriteFaults,
  kSetParaFileHeader,
  kGetParaFileHeader,
  kSetParaFileSizes,
  kSetParaFileSection,
  kParaFileSection,
  kSavedParaFileSection,
  kParaFileEvents,
  kParaFileSaves,
  kClearParaFileEvents,
  kRefuseParaFile,
  kConnectionsAccepted,
  kBusyRefusals,
  kHostConnected,
  kWaitForFrames,  // kIoctlWait: u32 count, u32 ms -> u8 held
  kWaitForHost,    // kIoctlWait: u8 connected, u32 ms -> u8 held
  // kIoctlWait: u8 enabled, u32 ms -> u8 held: the platesetter's device
  // interface is enabled (it can be found and opened) or disabled (gone).
  kWaitForInterface,
};

// Answer status words.
inline constexpr uint32_t kAnswerOk = 0;
inline constexpr uint32_t kAnswerTooLong = 1;    // the size needed follows
inline constexpr uint32_t kAnswerNoMachine = 2;  // no machine with that id
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

// The records that cross the control device.
inline void Put(Writer& w, const emu::EmulatorOptions& o) {
  w.Text(o.name).U8(o.laserHead).U8(o.hsBoard0).U8(o.hsBoard1);
}
inline emu::EmulatorOptions GetOptions(Reader& r) {
  emu::EmulatorOptions o;
  o.name = r.Text();
  o.laserHead = r.U8() != 0;
  o.hsBoard0 = r.U8() != 0;
  o.hsBoard1 = r.U8() != 0;
  return o;
}

inline void Put(Writer& w, const emu::Fault& f) {
  w.U32(static_cast<uint32_t>(f.kind)).U16(f.value).U32(static_cast<uint32_t>(f.count));
  w.U8(f.commandFilter.has_value()).U16(f.commandFilter.value_or(0));
  w.U8(f.addressFilter.has_value()).U8(f.addressFilter.value_or(0)).U32(f.delayMs);
}
inline emu::Fault GetFault(Reader& r) {
  emu::Fault f;
  f.kind = static_cast<emu::FaultKind>(r.U32());
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

inline void Put(Writer& w, const emu::BulkWriteFault& f) {
  w.U32(static_cast<uint32_t>(f.kind)).U32(f.delayMs).U32(f.bytes).U32(static_cast<uint32_t>(f.count));
}
inline emu::BulkWriteFault GetBulkWriteFault(Reader& r) {
  emu::BulkWriteFault f;
  f.kind = static_cast<emu::BulkWriteFaultKind>(r.U32());
  f.delayMs = r.U32();
  f.bytes = r.U32();
  f.count = static_cast<int>(r.U32());
  return f;
}

inline void Put(Writer& w, const emu::ParaFileHeader& h) {
  w.U16(h.formatWord).U16(h.sectionCount).U16(h.readChunkWords).U16(h.writeChunkWords);
}
inline emu::ParaFileHeader GetParaFileHeader(Reader& r) {
  emu::ParaFileHeader h;
  h.formatWord = r.U16();
  h.sectionCount = r.U16();
  h.readChunkWords = r.U16();
  h.writeChunkWords = r.U16();
  return h;
}

inline void Put(Writer& w, const emu::FunctionCall& c) {
  w.U8(c.address).U16(c.group).U16(c.item).Bytes(c.params);
}
inline emu::FunctionCall GetFunctionCall(Reader& r) {
  emu::FunctionCall c;
  c.address = r.U8();
  c.group = r.U16();
  c.item = r.U16();
  c.params = r.Bytes();
  return c;
}

inline void Put(Writer& w, const emu::ParaFileEvent& e) {
  w.U32(static_cast<uint32_t>(e.kind)).U8(e.address).U32(e.section).U32(e.wordOffset).U32(e.words);
  w.U32(e.mask).U16(e.refusal);
}
inline emu::ParaFileEvent GetParaFileEvent(Reader& r) {
  emu::ParaFileEvent e;
  e.kind = static_cast<emu::ParaFileEvent::Kind>(r.U32());
  e.address = r.U8();
  e.section = r.U32();
  e.wordOffset = r.U32();
  e.words = r.U32();
  e.mask = r.U32();
  e.refusal = r.U16();
  return e;
}

inline void Put(Writer& w, const emu::ParaFileSave& s) {
  w.U8(s.address).U32(s.mask).U64(s.eventIndex).U32(static_cast<uint32_t>(s.sections.size()));
  for (const auto& section : s.sections) w.U32(section.first).Bytes(section.second);
}
inline emu::ParaFileSave GetParaFileSave(Reader& r) {
  emu::ParaFileSave s;
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

}  // namespace norvex::standin
