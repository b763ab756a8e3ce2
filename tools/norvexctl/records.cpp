// records.cpp: the named state records and their decoding (see records.h).
#include "records.h"

#include <cstring>

#include "cli.h"
#include "norvex.h"

namespace norvexctl {

const std::vector<UnitInfo>& Units() {
  static const std::vector<UnitInfo> units = [] {
    const std::vector<RecordInfo> board = {
        {"system", 0x0000, 0x0000, 12, Decode::kNone},     {"version", 0x0000, 0x0008, 4, Decode::kNone},
        {"uart", 0x0000, 0x000C, 4, Decode::kNone},        {"error", 0x0000, 0x000F, 8, Decode::kNone},
        {"para-header", 0x5000, 0x0002, 8, Decode::kParaHeader},
    };
    std::vector<RecordInfo> lh = board;
    lh.insert(lh.end(), {{"name", 0x0000, 0x0004, 20, Decode::kText},
                         {"adc", 0x4200, 0x0000, 12, Decode::kNone},
                         {"psd", 0x4500, 0x0000, 40, Decode::kNone},
                         {"af", 0x4500, 0x0001, 8, Decode::kNone},
                         {"sf", 0x4600, 0x0000, 20, Decode::kNone},
                         {"motor", 0x4800, 0x0000, 40, Decode::kNone},
                         {"para-sizes", 0x5000, 0x0001, 20, Decode::kParaSizes}});
    std::vector<RecordInfo> hs = board;
    hs.insert(hs.end(), {{"name", 0x0000, 0x0004, 32, Decode::kText},
                         {"fpga-version", 0x6000, 0x0000, 4, Decode::kNone},
                         {"init", 0x4000, 0x0000, 4, Decode::kNone},
                         {"adc", 0x4200, 0x0000, 52, Decode::kNone},
                         {"fpga", 0x6000, 0x0001, 4, Decode::kNone},
                         {"ld", 0x8000, 0x0000, 72, Decode::kNone},
                         {"dac7611", 0x8000, 0x0001, 32, Decode::kNone},
                         {"para-sizes", 0x5000, 0x0001, 28, Decode::kParaSizes}});
    const std::vector<RecordInfo> main = {
        {"general", 0x0000, 0x0000, 4, Decode::kNone},
        {"device-info", 0x0000, 0x0002, 32, Decode::kNone},
        {"kernel-name", 0x0000, 0x0004, kAnyLength, Decode::kText},
        {"kernel-version", 0x0000, 0x0008, 4, Decode::kNone},
        {"fpga-version", 0x0009, 0x0000, 4, Decode::kNone},
        {"valve", 0x3000, 0x0000, 12, Decode::kNone},
        {"balance", 0xBB00, 0x0000, 32, Decode::kNone},
        {"print", 0x9000, 0x0000, 92, Decode::kPrintState},
        {"print-para", 0x9001, 0x0000, 64, Decode::kNone},
        {"counter-ctrl", 0xCC00, 0x0000, 8, Decode::kNone},
        {"counter-info", 0xCC00, 0x0001, 64, Decode::kNone},
        {"page-counter", 0xCC00, 0x0002, 8, Decode::kNone},
        {"cc-init", 0xCC00, 0x0003, 16, Decode::kNone},
        {"cci-ctrl", 0xCD00, 0x0000, 32, Decode::kNone},
        {"flash", 0xF000, 0x0000, 24, Decode::kNone},
        {"init", 0x1000, 0x0000, 24, Decode::kNone},
        {"load", 0x7700, 0x0000, 16, Decode::kNone},
        {"sensor", 0x5000, 0x0000, 16, Decode::kNone},
        {"fscan", 0xE000, 0x0000, 16, Decode::kNone},
        {"sscan", 0xE400, 0x0000, 16, Decode::kNone},
        {"system-error", 0xFF00, 0x0000, 8, Decode::kNone},
        {"focus", 0xC600, 0x0000, 8, Decode::kNone},
        {"lh-sent-ctrl", 0xC400, 0x0000, 28, Decode::kNone},
        {"find-medium", 0xE600, 0x0000, 40, Decode::kNone},
        {"usb", 0x2000, 0x0000, 4, Decode::kNone},
        {"para-header", 0xF800, 0x0002, 8, Decode::kParaHeader},
        {"para-sizes", 0xF800, 0x0001, 36, Decode::kParaSizes},
    };
    return std::vector<UnitInfo>{
        {"main", "main unit", static_cast<uint8_t>(NORVEX_ADDR_MAIN_UNIT), main},
        {"lh", "laser head board", static_cast<uint8_t>(NORVEX_ADDR_LASER_HEAD), lh},
        {"hs0", "HS board 0", static_cast<uint8_t>(NORVEX_ADDR_HS_BOARD(0)), hs},
        {"hs1", "HS board 1", static_cast<uint8_t>(NORVEX_ADDR_HS_BOARD(1)), hs},
    };
  }();
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

uint32_t QueryRecord(uint8_t address, uint16_t group, uint16_t item, uint32_t length, std::vector<uint8_t>& bytes) {
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
                             static_cast<uint32_t>(bytes[i + 2]) << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24,
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
        lines.push_back(Printf("format word 0x%04X, %u sections, read chunk %u words, write chunk %u words", u16(0),
                               u16(2), u16(4), u16(6)));
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
