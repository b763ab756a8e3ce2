// records.cpp: the named state records and their decoding (see records.h).
#include "records.h"

#include <cstring>
#include <string_view>

#include "cli.h"
#include "norvex.h"
#include "norvex_records.h"

namespace norvexctl {

namespace {

// The tool's name of a record, the function of norvex_records.h that reads
// it (the selector and size come from there) and what is known of its
// meaning; in the order `state` shows a unit's records.
struct RecordName {
  const char* name;
  const char* reader;
  Decode decode;
};

constexpr RecordName kMainUnitNames[] = {
    {"general", "NV_GetState", Decode::kNone},
    {"device-info", "NV_GetDeviceInfo", Decode::kNone},
    {"kernel-name", "NV_GetKernelName", Decode::kText},
    {"kernel-version", "NV_GetKernelVersion", Decode::kNone},
    {"fpga-version", "NV_GetFPGAVersion", Decode::kNone},
    {"valve", "NV_GetVavleState", Decode::kNone},
    {"balance", "NV_GetBalanceState", Decode::kNone},
    {"print", "NV_GetPrintState", Decode::kPrintState},
    {"print-para", "NV_GetPrintPara", Decode::kNone},
    {"counter-ctrl", "NV_GetCtpCounterCtrl", Decode::kNone},
    {"counter-info", "NV_GetCounterInfo", Decode::kNone},
    {"page-counter", "NV_GetPageCounter", Decode::kNone},
    {"cc-init", "NV_GetCCInitData", Decode::kNone},
    {"cci-ctrl", "NV_GetCCICtrl", Decode::kNone},
    {"flash", "NV_GetFlashCtrl", Decode::kNone},
    {"init", "NV_GetInitState", Decode::kNone},
    {"load", "NV_GetLoadState", Decode::kNone},
    {"sensor", "NV_GetSensorState", Decode::kNone},
    {"fscan", "NV_GetFScanState", Decode::kNone},
    {"sscan", "NV_GetSScanState", Decode::kNone},
    {"system-error", "NV_GetSystemError", Decode::kNone},
    {"focus", "NV_GetSetFocusState", Decode::kNone},
    {"lh-sent-ctrl", "NV_GetLHSentCtrlState", Decode::kNone},
    {"find-medium", "NV_GetFindMediumState", Decode::kNone},
    {"usb", "NV_GetUSBState", Decode::kNone},
    {"para-header", "NV_GetParaFile header", Decode::kParaHeader},
    {"para-sizes", "NV_GetParaFile sizes", Decode::kParaSizes},
};

constexpr RecordName kLaserHeadNames[] = {
    {"system", "LH_GetSystemState", Decode::kNone},
    {"version", "LH_GetInfo version", Decode::kNone},
    {"uart", "LH_GetUartState", Decode::kNone},
    {"error", "LH_GetErrorInfo", Decode::kNone},
    {"para-header", "LH_GetParaFile header", Decode::kParaHeader},
    {"name", "LH_GetInfo name", Decode::kText},
    {"adc", "LH_GetADCState", Decode::kNone},
    {"psd", "LH_GetPSDState", Decode::kNone},
    {"af", "LH_GetAFState", Decode::kNone},
    {"sf", "LH_GetSFState", Decode::kNone},
    {"motor", "LH_GetMotorState", Decode::kNone},
    {"para-sizes", "LH_GetParaFile sizes", Decode::kParaSizes},
};

constexpr RecordName kHsBoardNames[] = {
    {"system", "HS_GetSystemState", Decode::kNone},
    {"version", "HS_GetInfo version", Decode::kNone},
    {"uart", "HS_GetUartState", Decode::kNone},
    {"error", "HS_GetErrorInfo", Decode::kNone},
    {"para-header", "HS_GetParaFile header", Decode::kParaHeader},
    {"name", "HS_GetInfo name", Decode::kText},
    {"fpga-version", "HS_GetInfo FPGA word", Decode::kNone},
    {"init", "HS_GetInitState", Decode::kNone},
    {"adc", "HS_GetADCState", Decode::kNone},
    {"fpga", "HS_GetFPGAState", Decode::kNone},
    {"ld", "HS_GetLDState", Decode::kNone},
    {"dac7611", "HS_GetDAC7611State", Decode::kNone},
    {"para-sizes", "HS_GetParaFile sizes", Decode::kParaSizes},
};

// The index of the row of `rows` read by `reader`, or N. (An index, not a
// pointer: a sanitizer build cannot compare the address of an inline
// variable in a constant expression.)
template <size_t N>
constexpr size_t FindReader(const NorvexRecord (&rows)[N], std::string_view reader) {
  for (size_t i = 0; i < N; ++i) {
    if (reader == rows[i].reader) return i;
  }
  return N;
}

// Every name stands for a row of the library's list, and no row twice.
template <size_t N, size_t M>
constexpr bool NamesRows(const RecordName (&names)[N], const NorvexRecord (&rows)[M]) {
  for (size_t i = 0; i < N; ++i) {
    if (FindReader(rows, names[i].reader) == M) return false;
    for (size_t j = 0; j < i; ++j) {
      if (std::string_view(names[i].reader) == names[j].reader) return false;
    }
  }
  return true;
}
// Every row of the library's list has a name.
template <size_t N, size_t M>
constexpr bool RowsNamed(const RecordName (&names)[N], const NorvexRecord (&rows)[M]) {
  for (size_t i = 0; i < M; ++i) {
    bool named = false;
    for (size_t j = 0; j < N; ++j) named = named || std::string_view(rows[i].reader) == names[j].reader;
    if (!named) return false;
  }
  return true;
}
static_assert(NamesRows(kMainUnitNames, NorvexMainUnitRecords),
              "a main unit record the library does not read");
static_assert(NamesRows(kLaserHeadNames, NorvexLaserHeadRecords),
              "a laser head record the library does not read");
static_assert(NamesRows(kHsBoardNames, NorvexHsBoardRecords), "an HS board record the library does not read");
static_assert(RowsNamed(kMainUnitNames, NorvexMainUnitRecords), "a main unit record without a name");
static_assert(RowsNamed(kLaserHeadNames, NorvexLaserHeadRecords), "a laser head record without a name");
static_assert(RowsNamed(kHsBoardNames, NorvexHsBoardRecords), "an HS board record without a name");

template <size_t N, size_t M>
std::vector<RecordInfo> Named(const RecordName (&names)[N], const NorvexRecord (&rows)[M]) {
  std::vector<RecordInfo> records;
  for (const RecordName& name : names) {
    const NorvexRecord& row = rows[FindReader(rows, name.reader)];
    records.push_back({name.name, row.group, row.item, row.bytes, name.decode});
  }
  return records;
}

}  // namespace

const std::vector<UnitInfo>& Units() {
  static const std::vector<UnitInfo> units = {
      {"main", "main unit", static_cast<uint8_t>(NORVEX_ADDR_MAIN_UNIT),
       Named(kMainUnitNames, NorvexMainUnitRecords)},
      {"lh", "laser head board", static_cast<uint8_t>(NORVEX_ADDR_LASER_HEAD),
       Named(kLaserHeadNames, NorvexLaserHeadRecords)},
      {"hs0", "HS board 0", static_cast<uint8_t>(NORVEX_ADDR_HS_BOARD(0)),
       Named(kHsBoardNames, NorvexHsBoardRecords)},
      {"hs1", "HS board 1", static_cast<uint8_t>(NORVEX_ADDR_HS_BOARD(1)),
       Named(kHsBoardNames, NorvexHsBoardRecords)},
  };
  return units;
}

const UnitInfo* FindUnit(const std::string& name) {
  uint32_t address = 0;
  const bool numeric = ParseU32(name, address);
  for (const UnitInfo& unit : Units()) {
    if (name == unit.name || (numeric && address == unit.address)) return &unit;
  }
  return nullptr;
}

const RecordInfo* FindRecord(const UnitInfo& unit, const std::string& name) {
  for (const RecordInfo& record : unit.records) {
    if (name == record.name) return &record;
  }
  return nullptr;
}

uint32_t QueryRecord(uint8_t address, uint16_t group, uint16_t item, uint32_t length,
                     std::vector<uint8_t>& bytes) {
  const uint8_t selector[4] = {static_cast<uint8_t>(group), static_cast<uint8_t>(group >> 8),
                               static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
  // Room for the longest reply whatever the length asked for.
  std::vector<uint8_t> buffer(kMaxReply + 4, 0);
  if (length != kAnyLength && length <= kMaxReply) {
    const uint32_t result = CTP_GetStateEx(selector, buffer.data(), length, address);
    if (result != NORVEX_OK) return result;
    buffer.resize(length);
    bytes = buffer;
    return result;
  }
  // Any length: the same state query as a packet of our own, which tells
  // the reply's real data length (CTP_GetStateEx does not).
  CommandPacket packet{};
  packet.requestData = selector;
  packet.requestLength = sizeof(selector);
  packet.replyData = buffer.data();
  packet.replyLength = kAnyLength;
  packet.address = address;
  packet.command = CTP_CMD_GET_STATE_EX;
  packet.replyCommand = CTP_CMD_GET_STATE_EX + 1;
  const uint32_t result = CTP_SendCommand(&packet);
  if (result != NORVEX_OK) return result;
  buffer.resize(packet.replyLength <= kMaxReply ? packet.replyLength : kMaxReply);
  bytes = buffer;
  return result;
}

Json WordsJson(const std::vector<uint8_t>& bytes) {
  Json words = Json::Array();
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    words.Push(Json::Hex(static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8 |
                             static_cast<uint32_t>(bytes[i + 2]) << 16 |
                             static_cast<uint32_t>(bytes[i + 3]) << 24,
                         8));
  }
  return words;
}

std::string Words(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    const uint32_t w = static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8 |
                       static_cast<uint32_t>(bytes[i + 2]) << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24;
    if (!out.empty()) out += ' ';
    out += Printf("%08X", w);
  }
  return out;
}

std::string RecordText(const uint8_t* bytes, size_t size) {
  size_t n = 0;
  while (n < size && bytes[n] != 0) ++n;
  std::string text(reinterpret_cast<const char*>(bytes), n);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return text;
}

std::vector<std::string> DecodeRecord(Decode decode, const std::vector<uint8_t>& bytes, Json& json) {
  std::vector<std::string> lines;
  auto u16 = [&bytes](size_t at) { return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8); };
  auto u32 = [&bytes, &u16](size_t at) { return u16(at) | u16(at + 2) << 16; };
  switch (decode) {
    case Decode::kNone:
      break;
    case Decode::kText: {
      const std::string text = RecordText(bytes.data(), bytes.size());
      lines.push_back("text: \"" + text + "\"");
      json.Set("text", Json::Str(text));
      break;
    }
    case Decode::kPrintState:
      if (bytes.size() > 28) {
        // Byte 28, bit 7: a print error waits to be cleared (NV_ClearPrintError).
        const bool waiting = (bytes[28] & 0x80) != 0;
        lines.push_back(std::string("print error waiting: ") + (waiting ? "yes" : "no"));
        json.Set("print_error_waiting", Json::Bool(waiting));
      }
      break;
    case Decode::kParaHeader:
      if (bytes.size() >= 8) {
        lines.push_back(Printf("format word 0x%04X, %u sections, read chunk %u words, write chunk %u words",
                               u16(0), u16(2), u16(4), u16(6)));
        json.Set("format_word", Json::Hex(u16(0), 4));
        json.Set("section_count", Json::Int(u16(2)));
        json.Set("read_chunk_words", Json::Int(u16(4)));
        json.Set("write_chunk_words", Json::Int(u16(6)));
      }
      break;
    case Decode::kParaSizes: {
      std::string text = "words per section:";
      Json sizes = Json::Array();
      for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        text += Printf(" %u", u32(i));
        sizes.Push(Json::Int(u32(i)));
      }
      lines.push_back(text);
      json.Set("section_words", sizes);
      break;
    }
  }
  return lines;
}

}  // namespace norvexctl
