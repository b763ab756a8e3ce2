// main_unit.cpp: the emulated main unit (address 0x10): its state records at
// their real sizes and its machine commands, which move the scan motors,
// switch valves, find the balance block and the medium, start and end print
// jobs and count pages, all visible in the records that the host reads back.
//
// Record fields that the emulator gives a meaning (offsets in bytes, 32-bit
// little-endian words unless stated):
//   fast-scan 0xE000/0 and slow-scan 0xE400/0 (motors 0 and 1): 0 position,
//     4 speed, 8 status (1 at zero, 2 moved, 3 stopped)
//   valves 0x3000/0: byte n is valve n (0..11), 1 open, 0 closed
//   balance 0xBB00/0: 0 found (1), 4..15 the search record, 16 position
//   print 0x9000/0: 0 printing (1) or not (0), 4..19 the last print test,
//     20 the last channel test, byte 28 bit 7 a print error waiting
//   print parameters 0x9001/0: the 64-byte job of the last start
//   page counter 0xCC00/2: 0 pages since load, 4 pages of the job (the page
//     reset also empties the print memory and its read position)
//   counters 0xCC00/1: 16 counters of 4 bytes (counter function)
//   load 0x7700/0: 0 the last load control, 4 acknowledgements, 8 medium moved
//   find medium 0xE600/0: 0 searching (1), 4..39 the start of the search record
//   init 0x1000/0: 4 self-tests run, 8 run mode
//   flash 0xF000/0: 0 flash runs; USB 0x2000/0: the USB error word
#include <algorithm>
#include <memory>

#include "emu/unit_records.h"
#include "emu/units/units.h"

namespace norvex::emu::units {
namespace {

constexpr uint8_t kUnit = kMainUnit;

constexpr char kKernelName[] = "NVX-MAIN V1.3.0";

constexpr uint16_t kScanGroups[] = {0xE000, 0xE400};  // motor 0, motor 1
constexpr size_t kValveCount = 12;
constexpr size_t kCounterCount = 16;
constexpr size_t kPrintErrorByte = 28;
constexpr uint8_t kPrintErrorFlag = 0x80;

enum MotorStatus : uint32_t { kAtZero = 1, kMoved = 2, kStopped = 3 };

// What the main unit remembers outside its records.
struct Memory {
  Bytes current = Bytes(64, 0);  // the last current setting
  Bytes findMediumPara = Bytes(56, 0);
};

// The main unit's record (group, item), for the handlers: they run with
// the model locked.
auto Records(UnitHost& host) {
  UnitHost* h = &host;
  return [h](uint16_t group, uint16_t item = 0) -> Bytes& { return h->Record(kUnit, group, item); };
}

// The scan motors: move, move to, stop, return to zero; the tail position.
void InstallMotion(UnitHost& host) {
  auto record = Records(host);
  // Runs `move` on the scan record of the motor named by the request's first word.
  auto motor = [record](size_t size, auto move) {
    return Sized(size, [record, move](const Bytes& data) {
      const uint32_t index = Get32(data, 0);
      if (index >= std::size(kScanGroups)) return Reply::Error(kErrorBadParameter);
      move(record(kScanGroups[index]), data);
      return Reply::Ack();
    });
  };
  // Move: motor, distance (signed), speed.
  host.Handle(kUnit, 0x0810, motor(12, [](Bytes& scan, const Bytes& data) {
                Put32(scan, 0, Get32(scan, 0) + Get32(data, 4));
                Put32(scan, 4, Get32(data, 8));
                Put32(scan, 8, kMoved);
              }));
  // Move to: motor, position, speed, acceleration.
  host.Handle(kUnit, 0x0812, motor(16, [](Bytes& scan, const Bytes& data) {
                Put32(scan, 0, Get32(data, 4));
                Put32(scan, 4, Get32(data, 8));
                Put32(scan, 8, kMoved);
              }));
  host.Handle(kUnit, 0x0814, motor(4, [](Bytes& scan, const Bytes&) { Put32(scan, 8, kStopped); }));
  host.Handle(kUnit, 0x081A, motor(4, [](Bytes& scan, const Bytes&) {
                Put32(scan, 0, 0);
                Put32(scan, 8, kAtZero);
              }));
  // Tail position: the slow-scan position plus the requested length.
  host.Handle(kUnit, 0x0872, Sized(4, [record](const Bytes& data) {
                Bytes answer(4, 0);
                Put32(answer, 0, Get32(record(0xE400), 0) + Get32(data, 0));
                return Reply{0x0873, answer};
              }));
}

// The valves and the balance block.
void InstallValves(UnitHost& host) {
  auto record = Records(host);
  // Valve: valve number word, state word.
  host.Handle(kUnit, 0x0854, Sized(4, [record](const Bytes& data) {
                const uint16_t valve = Get16(data, 0);
                if (valve >= kValveCount) return Reply::Error(kErrorBadParameter);
                const uint8_t open = Get16(data, 2) != 0 ? 1 : 0;
                PutBytes(record(0x3000), valve, &open, 1);
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0832, Sized(12, [record](const Bytes& data) {
                Bytes& balance = record(0xBB00);
                Put32(balance, 0, 1);
                PutBytes(balance, 4, data.data(), data.size());
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0834, Sized(4, [record](const Bytes& data) {
                Put32(record(0xBB00), 16, Get32(data, 0));
                return Reply::Ack();
              }));
}

// Printing and its tests; the current setting and the laser power.
void InstallPrinting(UnitHost& host, const std::shared_ptr<Memory>& memory) {
  auto record = Records(host);
  host.Handle(kUnit, 0x0820, Sized(64, [record](const Bytes& data) {
                record(0x9001) = data;
                Put32(record(0x9000), 0, 1);
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0818, Sized(16, [record](const Bytes& data) {
                PutBytes(record(0x9000), 4, data.data(), data.size());
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0874, Sized(4, [record](const Bytes& data) {
                Put32(record(0x9000), 20, Get32(data, 0));
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x08B0, Sized(64, [memory](const Bytes& data) {
                memory->current = data;
                return Reply::Ack();
              }));
  // Laser power: the first word of the last current setting.
  host.Handle(kUnit, 0x0886, Sized(0, [memory](const Bytes&) {
                return Reply{0x0887, Bytes(memory->current.begin(), memory->current.begin() + 4)};
              }));
}

// Loading and the search for the medium.
void InstallLoading(UnitHost& host, const std::shared_ptr<Memory>& memory) {
  auto record = Records(host);
  host.Handle(kUnit, 0x0828, Sized(4, [record](const Bytes& data) {
                Put32(record(0x7700), 0, Get32(data, 0));
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0890, Sized(56, [record](const Bytes& data) {
                Bytes& search = record(0xE600);
                Put32(search, 0, 1);
                PutBytes(search, 4, data.data(), 36);
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0x0892, Sized(56, [memory](const Bytes& data) {
                memory->findMediumPara = data;
                return Reply::Ack();
              }));
}

// The counters, the EEPROM, the run mode.
void InstallCounters(UnitHost& host) {
  auto record = Records(host);
  // Counter function: function word (0 reset, 1 set), counter number word, value.
  host.Handle(kUnit, 0x08FE, Sized(8, [record](const Bytes& data) {
                const uint16_t function = Get16(data, 0);
                const uint16_t counter = Get16(data, 2);
                if (function > 1 || counter >= kCounterCount) return Reply::Error(kErrorBadParameter);
                Put32(record(0xCC00, 1), counter * 4u, function == 1 ? Get32(data, 4) : 0);
                return Reply::Ack();
              }));
  // Erasing the EEPROM clears the counters it keeps.
  host.Handle(kUnit, 0xC040, Sized(12, [record](const Bytes&) {
                for (uint16_t item = 0; item < 4; ++item) {
                  Bytes& counters = record(0xCC00, item);
                  std::fill(counters.begin(), counters.end(), 0);
                }
                return Reply::Ack();
              }));
  host.Handle(kUnit, 0xC002, Sized(4, [record](const Bytes& data) {
                Put32(record(0x1000), 8, Get32(data, 0));
                return Reply::Ack();
              }));
}

// What the function calls change.
void InstallFunctions(UnitHost& host) {
  auto record = Records(host);
  UnitHost* h = &host;
  auto effect = [h](uint16_t group, uint16_t item, auto change) {
    h->OnFunction(kUnit, group, item, [change](const Bytes&) {
      change();
      return Reply::Ack();
    });
  };
  // Page reset: a new page, so the print memory starts empty again and the
  // read-back reads what the page brings, not what earlier pages left.
  effect(0x1800, 0x0010, [record, h] {
    Put32(record(0xCC00, 2), 4, 0);
    h->ResetPrintMemory();
  });
  effect(0x1800, 0x0011, [record] {  // page update
    Bytes& pages = record(0xCC00, 2);
    Put32(pages, 0, Get32(pages, 0) + 1);
    Put32(pages, 4, Get32(pages, 4) + 1);
  });
  effect(0x1800, 0x0020, [record] { Put32(record(0x9000), 0, 0); });  // end of print
  effect(0x9000, 0x0002, [record] { Put32(record(0x9000), 0, 0); });  // cancel
  effect(0x9000, 0x0001, [record] {                                   // print error clear
    Bytes& print = record(0x9000);
    if (print.size() > kPrintErrorByte) print[kPrintErrorByte] &= static_cast<uint8_t>(~kPrintErrorFlag);
  });
  effect(0x7700, 0x0004, [record] { Put32(record(0x7700), 4, Get32(record(0x7700), 4) + 1); });
  effect(0x7700, 0x0001, [record] { Put32(record(0x7700), 8, 1); });
  effect(0xF000, 0x0000, [record] { Put32(record(0xF000), 0, Get32(record(0xF000), 0) + 1); });
  effect(0x2000, 0x0000, [record] { Put32(record(0x2000), 0, 0); });
  effect(0x1000, 0x000F, [record] { Put32(record(0x1000), 4, Get32(record(0x1000), 4) + 1); });
}

}  // namespace

void InstallMainUnit(UnitHost& host) {
  for (const UnitRecord& r : kMainUnitRecords) host.Record(kUnit, r.group, r.item) = Bytes(r.size, 0);
  // The general state: ready.
  host.Record(kUnit, 0x0000, 0x0000) = {0x01, 0x00, 0x00, 0x00};
  host.Record(kUnit, 0x0000, 0x0004) = TextRecord(kKernelName, FindRecord(kUnit, "NV_GetKernelName")->size);
  auto memory = std::make_shared<Memory>();
  InstallMotion(host);
  InstallValves(host);
  InstallPrinting(host, memory);
  InstallLoading(host, memory);
  InstallCounters(host);
  InstallFunctions(host);
}

}  // namespace norvex::emu::units
