// laser_head.cpp: the emulated laser head board (address 0x42): its state
// records at their real sizes, and the current, focus and motor commands,
// visible in the records that the host reads back.
//
// Record fields that the emulator gives a meaning (32-bit little-endian):
//   ADC 0x4200/0: 0 the laser diode current last set
//   AF 0x4500/1: 0 the focus last set
//   motor 0x4800/0: 0 position, 4 speed, 8 status (1 at zero, 2 moved, 3 stopped)
#include "emu/unit_records.h"
#include "emu/units/units.h"

namespace norvex::emu::units {
namespace {

constexpr uint8_t kUnit = kLaserHead;

constexpr char kBoardName[] = "LH-BOARD V2.0";

enum MotorStatus : uint32_t { kAtZero = 1, kMoved = 2, kStopped = 3 };

}  // namespace

void InstallLaserHead(UnitHost& host) {
  UnitHost* h = &host;
  for (const UnitRecord& r : kLaserHeadRecords) host.Record(kUnit, r.group, r.item) = Bytes(r.size, 0);
  host.Record(kUnit, 0x0000, 0x0004) = TextRecord(kBoardName, FindRecord(kUnit, "LH_GetInfo name")->size);
  auto record = [h](uint16_t group, uint16_t item = 0) -> Bytes& { return h->Record(kUnit, group, item); };

  host.Handle(kUnit, 0x0422, Sized(4, [record](const Bytes& data) {
                Put32(record(0x4200), 0, Get32(data, 0));
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0442, Sized(4, [record](const Bytes& data) {
                Put32(record(0x4500, 1), 0, Get32(data, 0));
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0480, Sized(0, [record](const Bytes&) {
                Put32(record(0x4800), 0, 0);
                Put32(record(0x4800), 8, kAtZero);
                return Reply::Ack();
              }));
  // Move: distance (signed), speed, acceleration.
  host.Handle(kUnit, 0x0482, Sized(12, [record](const Bytes& data) {
                Bytes& motor = record(0x4800);
                Put32(motor, 0, Get32(motor, 0) + Get32(data, 0));
                Put32(motor, 4, Get32(data, 4));
                Put32(motor, 8, kMoved);
                return Reply::Ack();
              }));
  // Move to: position, speed, acceleration, deceleration.
  host.Handle(kUnit, 0x0484, Sized(16, [record](const Bytes& data) {
                Bytes& motor = record(0x4800);
                Put32(motor, 0, Get32(data, 0));
                Put32(motor, 4, Get32(data, 4));
                Put32(motor, 8, kMoved);
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0486, Sized(0, [record](const Bytes&) {
                Put32(record(0x4800), 8, kStopped);
                return Reply::Ack();
              }));
}

}  // namespace norvex::emu::units
