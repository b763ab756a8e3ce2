// units_test.cpp: the built-in units of the emulator, frame by frame through
// the device model: records at their real sizes, commands that change the
// records, size and range refusals, function-call effects, and faults on
// the units' own commands.
#include "emu/units/units.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "emu/device_model.h"
#include "emu/unit_records.h"
#include "norvex_records.h"
#include "protocol/frame.h"
#include "request_frames.h"

namespace norvex::emu {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Answer;
using testing::Cat;
using testing::RequestFrame;
using testing::Selector;

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

class UnitsTest : public testing::ModelTest {
 protected:
  Bytes Query(uint8_t address, uint16_t group, uint16_t item) {
    const Answer a = Send(address, kStateQuery, Selector(group, item));
    EXPECT_EQ(a.command, kStateReply);
    return a.data;
  }
  Answer Call(uint8_t address, uint16_t group, uint16_t item) {
    return Send(address, kFunctionCall, Selector(group, item));
  }
};

// The library's list of each unit's records (norvex_records.h), written apart
// from the emulator's (unit_records.h): each is the check on the other.
struct LibraryUnit {
  uint8_t address;
  const NorvexRecord* records;
  size_t count;
};
const LibraryUnit kLibraryUnits[] = {
    {kMainUnit, NorvexMainUnitRecords, std::size(NorvexMainUnitRecords)},
    {kLaserHead, NorvexLaserHeadRecords, std::size(NorvexLaserHeadRecords)},
    {kHsBoard0, NorvexHsBoardRecords, std::size(NorvexHsBoardRecords)},
    {kHsBoard1, NorvexHsBoardRecords, std::size(NorvexHsBoardRecords)},
};

TEST_F(UnitsTest, EveryRecordTheLibraryReadsHasItsSize) {
  for (const LibraryUnit& unit : kLibraryUnits) {
    for (size_t i = 0; i < unit.count; ++i) {
      const NorvexRecord& r = unit.records[i];
      SCOPED_TRACE(std::string(r.reader) + " of unit " + std::to_string(unit.address));
      const Bytes record = Query(unit.address, r.group, r.item);
      if (r.bytes == NORVEX_RECORD_ANY_LENGTH) {
        EXPECT_TRUE(!record.empty() && record.size() <= 500 && record.size() % 4 == 0) << record.size();
      } else {
        EXPECT_EQ(record.size(), r.bytes);
      }
      // The emulator's own list names the same record by the same reader.
      const UnitRecord* own = FindRecord(unit.address, r.reader);
      if (r.group == (unit.address == kMainUnit ? 0xF800 : 0x5000)) {
        EXPECT_EQ(own, nullptr);  // the parameter file's header and size table
        continue;
      }
      ASSERT_NE(own, nullptr);
      EXPECT_EQ(own->group, r.group);
      EXPECT_EQ(own->item, r.item);
      if (r.bytes != NORVEX_RECORD_ANY_LENGTH) {
        EXPECT_EQ(own->size, r.bytes);
      }
    }
    // And the emulator has no record the library does not read: the
    // library's lists have the parameter file's two records besides.
    EXPECT_EQ(RecordsOf(unit.address).count + 2, unit.count);
  }
  EXPECT_EQ(Query(kMainUnit, 0, 0), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Query(kMainUnit, 0, 4), units::TextRecord("NVX-MAIN V1.3.0", 16));
  EXPECT_EQ(Query(kHsBoard1, 0, 4), units::TextRecord("HS-BOARD 1 V1.0", 32));
  // Tests set any record to any bytes.
  model.SetStateRecord(kMainUnit, 0x9000, 0, Bytes(92, 0x80));
  EXPECT_EQ(Query(kMainUnit, 0x9000, 0), Bytes(92, 0x80));
}

TEST_F(UnitsTest, TextRecordPadsWithZeros) {
  EXPECT_EQ(units::TextRecord("ABCD"), (Bytes{'A', 'B', 'C', 'D', 0, 0, 0, 0}));
  EXPECT_EQ(units::TextRecord("ABC"), (Bytes{'A', 'B', 'C', 0}));
  EXPECT_EQ(units::TextRecord("ABCDEF", 4), (Bytes{'A', 'B', 'C', 'D'}));
}

struct SizedCommand {
  uint8_t unit;
  uint16_t command;
  size_t size;
};

const SizedCommand kSizedCommands[] = {
    {kMainUnit, 0x0810, 12}, {kMainUnit, 0x0812, 16}, {kMainUnit, 0x0814, 4},   {kMainUnit, 0x0818, 16},
    {kMainUnit, 0x081A, 4},  {kMainUnit, 0x0820, 64}, {kMainUnit, 0x0828, 4},   {kMainUnit, 0x0832, 12},
    {kMainUnit, 0x0834, 4},  {kMainUnit, 0x0854, 4},  {kMainUnit, 0x0872, 4},   {kMainUnit, 0x0874, 4},
    {kMainUnit, 0x0886, 0},  {kMainUnit, 0x0890, 56}, {kMainUnit, 0x0892, 56},  {kMainUnit, 0x08B0, 64},
    {kMainUnit, 0x08FE, 8},  {kMainUnit, 0xC002, 4},  {kMainUnit, 0xC040, 12},  {kLaserHead, 0x0422, 4},
    {kLaserHead, 0x0442, 4}, {kLaserHead, 0x0480, 0}, {kLaserHead, 0x0482, 12}, {kLaserHead, 0x0484, 16},
    {kLaserHead, 0x0486, 0}, {kHsBoard0, 0x1000, 0},  {kHsBoard0, 0x1080, 4},   {kHsBoard1, 0x1082, 32},
    {kHsBoard1, 0x10E0, 4},  {kHsBoard0, 0x10E2, 4},  {kHsBoard1, 0x10E4, 4},   {kHsBoard0, 0x10E6, 4},
};

TEST_F(UnitsTest, EveryCommandTakesOnlyItsOwnSize) {
  for (const SizedCommand& c : kSizedCommands) {
    SCOPED_TRACE(c.command);
    const Answer good = Send(c.unit, c.command, Bytes(c.size, 0));
    EXPECT_EQ(good.sender, c.unit);
    EXPECT_NE(good.command, kReplyError);
    const Answer longer = Send(c.unit, c.command, Bytes(c.size + 2, 0));
    EXPECT_EQ(longer.command, kReplyError);
    EXPECT_EQ(longer.errorValue(), units::kErrorBadLength);
    if (c.size >= 2) {
      EXPECT_EQ(Send(c.unit, c.command, Bytes(c.size - 2, 0)).errorValue(), units::kErrorBadLength);
    }
  }
}

TEST_F(UnitsTest, FaultsApplyToTheUnitsCommands) {
  model.InjectFault(Fault{FaultKind::kErrorReply, 0x0031, 1, uint16_t{0x0810}});
  EXPECT_EQ(Send(kMainUnit, 0x0810, Bytes(12, 0)).errorValue(), 0x0031);
  model.InjectFault(Fault{FaultKind::kWrongReplySize, 8, 1, uint16_t{0x0886}});
  EXPECT_EQ(Send(kMainUnit, 0x0886).data.size(), 8u);
  EXPECT_EQ(Send(kMainUnit, 0x0886).data.size(), 4u);
}

TEST_F(UnitsTest, MainUnitMotorsMoveTheScanRecords) {
  Send(kMainUnit, 0x0812, Cat(Cat(Le32(1), Le32(1000)), Cat(Le32(50), Le32(0))));  // slow scan to 1000
  Send(kMainUnit, 0x0810, Cat(Cat(Le32(1), Le32(0xFFFFFF9C)), Le32(60)));          // by -100
  Bytes slow = Query(kMainUnit, 0xE400, 0);
  EXPECT_EQ(Bytes(slow.begin(), slow.begin() + 12), Cat(Cat(Le32(900), Le32(60)), Le32(2)));
  Send(kMainUnit, 0x0814, Le32(1));
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0xE400, 0), 8), 3u);
  Send(kMainUnit, 0x081A, Le32(1));
  slow = Query(kMainUnit, 0xE400, 0);
  EXPECT_EQ(units::Get32(slow, 0), 0u);
  EXPECT_EQ(units::Get32(slow, 8), 1u);
  // The fast scan did not move; motor 2 does not exist.
  EXPECT_EQ(Query(kMainUnit, 0xE000, 0), Bytes(16, 0));
  EXPECT_EQ(Send(kMainUnit, 0x0814, Le32(2)).errorValue(), units::kErrorBadParameter);
  // The tail position adds the slow-scan position.
  Send(kMainUnit, 0x0812, Cat(Cat(Le32(1), Le32(0x40)), Cat(Le32(0), Le32(0))));
  const Answer tail = Send(kMainUnit, 0x0872, Le32(2));
  EXPECT_EQ(tail.command, 0x0873);
  EXPECT_EQ(tail.data, Le32(0x42));
}

TEST_F(UnitsTest, MainUnitValvesBalanceLoadAndMedium) {
  Send(kMainUnit, 0x0854, {11, 0, 1, 0});
  Send(kMainUnit, 0x0854, {2, 0, 5, 0});
  Send(kMainUnit, 0x0854, {2, 0, 0, 0});
  EXPECT_EQ(Query(kMainUnit, 0x3000, 0), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(Send(kMainUnit, 0x0854, {12, 0, 1, 0}).errorValue(), units::kErrorBadParameter);

  Send(kMainUnit, 0x0832, Bytes(12, 0x33));
  Send(kMainUnit, 0x0834, Le32(0x77));
  const Bytes balance = Query(kMainUnit, 0xBB00, 0);
  EXPECT_EQ(units::Get32(balance, 0), 1u);
  EXPECT_EQ(Bytes(balance.begin() + 4, balance.begin() + 16), Bytes(12, 0x33));
  EXPECT_EQ(units::Get32(balance, 16), 0x77u);

  Send(kMainUnit, 0x0828, Le32(9));
  Call(kMainUnit, 0x7700, 4);
  Call(kMainUnit, 0x7700, 4);
  Call(kMainUnit, 0x7700, 1);
  EXPECT_EQ(Query(kMainUnit, 0x7700, 0), Cat(Cat(Le32(9), Le32(2)), Cat(Le32(1), Le32(0))));

  Send(kMainUnit, 0x0890, Bytes(56, 0x5A));
  const Bytes medium = Query(kMainUnit, 0xE600, 0);
  EXPECT_EQ(units::Get32(medium, 0), 1u);
  EXPECT_EQ(Bytes(medium.begin() + 4, medium.end()), Bytes(36, 0x5A));
}

TEST_F(UnitsTest, MainUnitPrintJobAndPages) {
  Bytes job(64);
  for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i);
  Send(kMainUnit, 0x0820, job);
  EXPECT_EQ(Query(kMainUnit, 0x9001, 0), job);
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0x9000, 0), 0), 1u);
  Call(kMainUnit, 0x1800, 0x11);
  Call(kMainUnit, 0x1800, 0x11);
  EXPECT_EQ(Query(kMainUnit, 0xCC00, 2), Cat(Le32(2), Le32(2)));
  Call(kMainUnit, 0x1800, 0x10);
  EXPECT_EQ(Query(kMainUnit, 0xCC00, 2), Cat(Le32(2), Le32(0)));
  Call(kMainUnit, 0x1800, 0x20);
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0x9000, 0), 0), 0u);
  Send(kMainUnit, 0x0820, job);
  Call(kMainUnit, 0x9000, 2);
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0x9000, 0), 0), 0u);

  // The print-error clear drops only bit 7 of byte 28; every call is recorded.
  Bytes state(92, 0);
  state[28] = 0xC1;
  model.SetStateRecord(kMainUnit, 0x9000, 0, state);
  EXPECT_EQ(Call(kMainUnit, 0x9000, 1).command, kReplyAck);
  EXPECT_EQ(Query(kMainUnit, 0x9000, 0)[28], 0x41);
  EXPECT_EQ(model.FunctionCalls().back().group, 0x9000);
  EXPECT_EQ(model.FunctionCalls().back().item, 1);
}

// The page reset starts a new page in the print memory: what earlier pages
// (or an interrupted job) left is gone, and the read-back starts at the new
// page's first byte.
TEST_F(UnitsTest, PageResetEmptiesThePrintMemoryAndItsReadPosition) {
  const Bytes old(600, 0xAA);
  model.AppendPrintData(old.data(), old.size());
  EXPECT_EQ(Send(kMainUnit, 0x0842).data, Bytes(500, 0xAA));  // read position now at 500
  Call(kMainUnit, 0x1800, 0x10);
  EXPECT_TRUE(model.PrintMemory().empty());
  const Answer empty = Send(kMainUnit, 0x0842);
  EXPECT_EQ(empty.command, 0x0843);
  EXPECT_TRUE(empty.data.empty());
  const Bytes page = {1, 2, 3, 4, 5, 6, 7, 8};
  model.AppendPrintData(page.data(), page.size());
  EXPECT_EQ(Send(kMainUnit, 0x0842).data, page);
  // The page update and the end of print leave the memory as it is.
  Call(kMainUnit, 0x1800, 0x11);
  Call(kMainUnit, 0x1800, 0x20);
  EXPECT_EQ(model.PrintMemory(), page);
}

TEST_F(UnitsTest, MainUnitCountersEepromRunModeAndLaserPower) {
  Send(kMainUnit, 0x08FE, Cat({1, 0, 3, 0}, Le32(0xABCD)));  // set counter 3
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0xCC00, 1), 12), 0xABCDu);
  Send(kMainUnit, 0x08FE, Cat({0, 0, 3, 0}, Le32(5)));  // reset it
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0xCC00, 1), 12), 0u);
  EXPECT_EQ(Send(kMainUnit, 0x08FE, Cat({2, 0, 0, 0}, Le32(0))).errorValue(), units::kErrorBadParameter);
  EXPECT_EQ(Send(kMainUnit, 0x08FE, Cat({1, 0, 16, 0}, Le32(0))).errorValue(), units::kErrorBadParameter);

  Send(kMainUnit, 0x08FE, Cat({1, 0, 0, 0}, Le32(7)));
  Call(kMainUnit, 0x1800, 0x11);
  Send(kMainUnit, 0xC040, Bytes(12, 0));
  EXPECT_EQ(Query(kMainUnit, 0xCC00, 1), Bytes(64, 0));
  EXPECT_EQ(Query(kMainUnit, 0xCC00, 2), Bytes(8, 0));

  Send(kMainUnit, 0xC002, Le32(3));
  Call(kMainUnit, 0x1000, 0x0F);
  const Bytes init = Query(kMainUnit, 0x1000, 0);
  EXPECT_EQ(units::Get32(init, 4), 1u);
  EXPECT_EQ(units::Get32(init, 8), 3u);
  Call(kMainUnit, 0xF000, 0);
  EXPECT_EQ(units::Get32(Query(kMainUnit, 0xF000, 0), 0), 1u);
  model.SetStateRecord(kMainUnit, 0x2000, 0, Le32(0x55));
  Call(kMainUnit, 0x2000, 0);
  EXPECT_EQ(Query(kMainUnit, 0x2000, 0), Le32(0));

  const Answer before = Send(kMainUnit, 0x0886);
  EXPECT_EQ(before.command, 0x0887);
  EXPECT_EQ(before.data, Le32(0));
  Send(kMainUnit, 0x08B0, Cat(Le32(0x1357), Bytes(60, 0)));
  EXPECT_EQ(Send(kMainUnit, 0x0886).data, Le32(0x1357));
}

TEST_F(UnitsTest, LaserHeadCommandsChangeItsRecords) {
  Send(kLaserHead, 0x0422, Le32(0x321));
  Send(kLaserHead, 0x0442, Le32(0x654));
  EXPECT_EQ(units::Get32(Query(kLaserHead, 0x4200, 0), 0), 0x321u);
  EXPECT_EQ(units::Get32(Query(kLaserHead, 0x4500, 1), 0), 0x654u);
  Send(kLaserHead, 0x0484, Cat(Cat(Le32(300), Le32(20)), Bytes(8, 0)));
  Send(kLaserHead, 0x0482, Cat(Cat(Le32(25), Le32(30)), Le32(0)));
  Bytes motor = Query(kLaserHead, 0x4800, 0);
  EXPECT_EQ(Bytes(motor.begin(), motor.begin() + 12), Cat(Cat(Le32(325), Le32(30)), Le32(2)));
  Send(kLaserHead, 0x0486);
  EXPECT_EQ(units::Get32(Query(kLaserHead, 0x4800, 0), 8), 3u);
  Send(kLaserHead, 0x0480);
  motor = Query(kLaserHead, 0x4800, 0);
  EXPECT_EQ(units::Get32(motor, 0), 0u);
  EXPECT_EQ(units::Get32(motor, 8), 1u);
}

TEST_F(UnitsTest, HsBoardCommandsChangeTheirOwnBoardsRecords) {
  Send(kHsBoard1, 0x1080, {5, 0, 0x34, 0x12});
  EXPECT_EQ(Send(kHsBoard1, 0x1080, {16, 0, 0, 0}).errorValue(), units::kErrorBadParameter);
  Bytes ld = Query(kHsBoard1, 0x8000, 0);
  EXPECT_EQ(units::Get16(ld, 10), 0x1234);
  EXPECT_EQ(Query(kHsBoard0, 0x8000, 0), Bytes(72, 0));

  Send(kHsBoard0, 0x10E6, Le32(0x00F0));
  Send(kHsBoard0, 0x10E4, {0, 0, 1, 0});
  Send(kHsBoard0, 0x10E4, {4, 0, 0, 0});
  EXPECT_EQ(units::Get16(Query(kHsBoard0, 0x8000, 0), 32), 0x00E1);
  EXPECT_EQ(Send(kHsBoard0, 0x10E4, {16, 0, 1, 0}).errorValue(), units::kErrorBadParameter);

  Bytes list(32);
  for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<uint8_t>(0x80 + i);
  Send(kHsBoard0, 0x1082, list);
  EXPECT_EQ(Query(kHsBoard0, 0x8000, 1), list);
  ld = Query(kHsBoard0, 0x8000, 0);
  EXPECT_EQ(Bytes(ld.begin(), ld.begin() + 32), list);

  Send(kHsBoard0, 0x10E0, Le32(0x00020003));
  Send(kHsBoard0, 0x10E2, Le32(250));
  const Bytes system = Query(kHsBoard0, 0, 0);
  EXPECT_EQ(units::Get32(system, 0), 0x00020003u);
  EXPECT_EQ(units::Get32(system, 4), 250u);
  const Answer bus = Send(kHsBoard0, 0x1000);
  EXPECT_EQ(bus.command, 0x1001);
  EXPECT_EQ(bus.data, Le32(0x0003));
  EXPECT_EQ(Send(kHsBoard1, 0x1000).data, Le32(0));
}

TEST_F(UnitsTest, HandlersGrowRecordsThatTestsMadeShort) {
  model.SetStateRecord(kMainUnit, 0xBB00, 0, Bytes{});
  Send(kMainUnit, 0x0834, Le32(1));
  EXPECT_EQ(Query(kMainUnit, 0xBB00, 0).size(), 20u);
  model.SetStateRecord(kMainUnit, 0x3000, 0, Bytes{});
  Send(kMainUnit, 0x0854, {11, 0, 1, 0});
  EXPECT_EQ(Query(kMainUnit, 0x3000, 0).size(), 12u);
}

}  // namespace
}  // namespace norvex::emu
