// named_fault.cpp: faults named in text (see named_fault.h).
#include "emu/named_fault.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace norvex::emu {
namespace {

// A 32-bit number in decimal or 0x hex; false for anything else (a sign,
// blanks, other characters, more than 32 bits).
bool ParseNumber(const std::string& text, uint32_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t digits = hex ? 2 : 0;
  if (text.size() == digits || !std::isxdigit(static_cast<unsigned char>(text[digits]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str() + digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace

bool InjectNamedFault(MachineControls& model, const std::string& text) {
  std::string kind = text;
  std::string value;
  std::string address;
  if (const size_t at = kind.find('@'); at != std::string::npos) {
    address = kind.substr(at + 1);
    kind.resize(at);
  }
  if (const size_t eq = kind.find('='); eq != std::string::npos) {
    value = kind.substr(eq + 1);
    kind.resize(eq);
  }
  uint32_t number = 0;
  if (!value.empty() && !ParseNumber(value, number)) return false;
  uint32_t addressNumber = 0;
  if (!address.empty() && (!ParseNumber(address, addressNumber) || addressNumber > 0xFF)) return false;
  if (kind == "bulk-stall" || kind == "bulk-partial" || kind == "bulk-slow") {
    if (!address.empty()) return false;  // bulk writes go to no unit
    BulkWriteFault bulk;
    if (kind == "bulk-slow") {
      bulk.kind = BulkWriteFaultKind::kSlow;
      bulk.delayMs = number;
    } else {
      bulk.kind = kind == "bulk-stall" ? BulkWriteFaultKind::kNoCompletion : BulkWriteFaultKind::kPartial;
      bulk.bytes = number;
    }
    bulk.count = Fault::kUntilCleared;
    model.InjectBulkWriteFault(bulk);
    return true;
  }
  const struct {
    const char* name;
    FaultKind kind;
  } kinds[] = {{"error", FaultKind::kErrorReply},
               {"checksum", FaultKind::kBadChecksum},
               {"wrong-length", FaultKind::kWrongLength},
               {"wrong-size", FaultKind::kWrongReplySize},
               {"wrong-command", FaultKind::kWrongCommand},
               {"noreply", FaultKind::kNoReply},
               {"wrong-unit", FaultKind::kWrongUnit},
               {"disconnect", FaultKind::kDisconnect},
               {"delay", FaultKind::kDelay}};
  for (const auto& k : kinds) {
    if (kind != k.name) continue;
    Fault fault;
    fault.kind = k.kind;
    fault.count = Fault::kUntilCleared;
    if (k.kind == FaultKind::kDelay) {
      fault.delayMs = number;
    } else {
      fault.value = static_cast<uint16_t>(number);
    }
    if (!address.empty()) fault.addressFilter = static_cast<uint8_t>(addressNumber);
    model.InjectFault(fault);
    return true;
  }
  return false;
}

}  // namespace norvex::emu
