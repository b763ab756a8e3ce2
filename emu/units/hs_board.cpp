// hs_board.cpp: the two emulated HS laser driver boards (0x20, 0x21): their
// state records at their real sizes, and the current, laser switch, mode and
// period commands, visible in the records that the host reads back.
//
// Record fields that the emulator gives a meaning (little-endian):
//   system 0x0000/0: 0 mode (32-bit), 4 period (32-bit)
//   LD 0x8000/0: 0..31 the 16 channel currents (16-bit each), 32 the laser
//     switch pattern (16-bit, bit n channel n)
//   DAC7611 0x8000/1: 0..31 the current list last sent
// The bus data (command 0x1000, reply 0x1001) is the low 16 bits of the mode.
#include <string>

#include "emu/unit_records.h"
#include "emu/units/units.h"

namespace norvex::emu::units {
namespace {

constexpr uint16_t kChannels = 16;
constexpr size_t kSwitchOffset = 32;
constexpr size_t kCurListSize = 32;

void InstallBoard(UnitHost& host, uint8_t unit) {
  UnitHost* h = &host;
  for (const UnitRecord& r : kHsBoardRecords) host.Record(unit, r.group, r.item) = Bytes(r.size, 0);
  host.Record(unit, 0x0000, 0x0004) = TextRecord("HS-BOARD " + std::to_string(unit - kHsBoard0) + " V1.0",
                                                 FindRecord(unit, "HS_GetInfo name")->size);
  auto record = [h, unit](uint16_t group, uint16_t item = 0) -> Bytes& {
    return h->Record(unit, group, item);
  };

  host.Handle(unit, 0x1000, Sized(0, [record](const Bytes&) {
                Bytes answer(4, 0);
                Put16(answer, 0, Get16(record(0x0000), 0));
                return Reply{0x1001, answer};
              }));
  // Current: channel word, value word.
  host.Handle(unit, 0x1080, Sized(4, [record](const Bytes& data) {
                const uint16_t channel = Get16(data, 0);
                if (channel >= kChannels) return Reply::Error(kErrorBadParameter);
                Put16(record(0x8000), channel * 2u, Get16(data, 2));
                return Reply::Ack();
              }));
  host.Handle(unit, 0x1082, Sized(kCurListSize, [record](const Bytes& data) {
                PutBytes(record(0x8000), 0, data.data(), data.size());
                PutBytes(record(0x8000, 1), 0, data.data(), data.size());
                return Reply::Ack();
              }));
  host.Handle(unit, 0x10E0, Sized(4, [record](const Bytes& data) {
                Put32(record(0x0000), 0, Get32(data, 0));
                return Reply::Ack();
              }));
  host.Handle(unit, 0x10E2, Sized(4, [record](const Bytes& data) {
                Put32(record(0x0000), 4, Get32(data, 0));
                return Reply::Ack();
              }));
  // Switch: channel word, on (non-zero) or off.
  host.Handle(unit, 0x10E4, Sized(4, [record](const Bytes& data) {
                const uint16_t channel = Get16(data, 0);
                if (channel >= kChannels) return Reply::Error(kErrorBadParameter);
                Bytes& ld = record(0x8000);
                uint16_t pattern = Get16(ld, kSwitchOffset);
                const auto bit = static_cast<uint16_t>(1u << channel);
                pattern = static_cast<uint16_t>(Get16(data, 2) != 0 ? (pattern | bit) : (pattern & ~bit));
                Put16(ld, kSwitchOffset, pattern);
                return Reply::Ack();
              }));
  host.Handle(unit, 0x10E6, Sized(4, [record](const Bytes& data) {
                Put16(record(0x8000), kSwitchOffset, Get16(data, 0));
                return Reply::Ack();
              }));
}

}  // namespace

void InstallHsBoards(UnitHost& host) {
  InstallBoard(host, kHsBoard0);
  InstallBoard(host, kHsBoard1);
}

}  // namespace norvex::emu::units
