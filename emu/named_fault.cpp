// named_fault.cpp: faults named in text (see named_fault.h).
#include "emu/named_fault.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

// Cuts "SEPARATOR PART" off the end of `text` into `part` (empty when absent).
void CutOff(std::string& text, char separator, std::string& part) {
  part.clear();
  if (const size_t at = text.find(separator); at != std::string::npos) {
    part = text.substr(at + 1);
    text.resize(at);
  }
}

// One fault as its text names it, not yet injected.
struct NamedFault {
  bool bulk = false;
  Fault reply;
  BulkWriteFault write;
};

bool Parse(const std::string& text, NamedFault& out) {
  std::string kind = text;
  std::string count;
  std::string command;
  std::string address;
  std::string value;
  CutOff(kind, '*', count);
  CutOff(kind, '/', command);
  CutOff(kind, '@', address);
  CutOff(kind, '=', value);
  uint32_t number = 0;
  if (!value.empty() && !ParseNumber(value, number)) return false;
  uint32_t addressNumber = 0;
  if (!address.empty() && (!ParseNumber(address, addressNumber) || addressNumber > 0xFF)) return false;
  uint32_t commandNumber = 0;
  if (!command.empty() && (!ParseNumber(command, commandNumber) || commandNumber > 0xFFFF)) return false;
  uint32_t countNumber = 0;
  if (!count.empty() && (!ParseNumber(count, countNumber) || countNumber == 0 || countNumber > 0x7FFFFFFF)) {
    return false;
  }
  const int times = count.empty() ? Fault::kUntilCleared : static_cast<int>(countNumber);
  if (kind == "bulk-stall" || kind == "bulk-partial" || kind == "bulk-slow") {
    if (!address.empty() || !command.empty()) return false;  // bulk writes go to no unit
    out.bulk = true;
    if (kind == "bulk-slow") {
      out.write.kind = BulkWriteFaultKind::kSlow;
      out.write.delayMs = number;
    } else {
      out.write.kind =
          kind == "bulk-stall" ? BulkWriteFaultKind::kNoCompletion : BulkWriteFaultKind::kPartial;
      out.write.bytes = number;
    }
    out.write.count = times;
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
    out.bulk = false;
    out.reply.kind = k.kind;
    out.reply.count = times;
    if (k.kind == FaultKind::kDelay) {
      out.reply.delayMs = number;
    } else {
      out.reply.value = static_cast<uint16_t>(number);
    }
    if (!address.empty()) out.reply.addressFilter = static_cast<uint8_t>(addressNumber);
    if (!command.empty()) out.reply.commandFilter = static_cast<uint16_t>(commandNumber);
    return true;
  }
  return false;
}

}  // namespace

bool InjectNamedFault(MachineControls& model, const std::string& text) {
  // Every fault of the list is understood before any is injected.
  std::vector<NamedFault> faults;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    NamedFault fault;
    if (!Parse(text.substr(start, comma == std::string::npos ? comma : comma - start), fault)) return false;
    faults.push_back(fault);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (const NamedFault& fault : faults) {
    if (fault.bulk) {
      model.InjectBulkWriteFault(fault.write);
    } else {
      model.InjectFault(fault.reply);
    }
  }
  return true;
}

}  // namespace norvex::emu
