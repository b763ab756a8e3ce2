// mainunit_test.cpp: every NV_ command, function call and state query and
// the main unit's Norvex_ commands through norvex.h against the emulator:
// the exact request frames, the replies copied, result codes, the
// last-result word, null pointers, error replies and the print-error clear.
#include <string>
#include <vector>

#include "api_helpers.h"
#include "unit_api_support.h"

namespace {

using norvex::emu::Fault;
using norvex::emu::FaultKind;
using norvex_api_test::Bytes;
using norvex_api_test::LastResult;
using norvex_api_test::Le32;
using norvex_api_test::Pattern;
using norvex_api_test::RequestFrame;
using norvex_api_test::Selector;

constexpr uint8_t kMain = norvex::emu::kMainUnit;  // as the emulator has it

struct BlockCase {
  const char* name;
  uint32_t(NORVEX_CALL* send)(const void*);
  uint16_t command;
  size_t size;
  bool storesResult;
};

// Command word and block size of every command that sends a block.
const BlockCase kBlockCases[] = {
    {"NV_SetCurrent", NV_SetCurrent, 0x08B0, 64, true},
    {"NV_StartPrint", NV_StartPrint, 0x0820, 64, true},
    {"NV_LoadControl", NV_LoadControl, 0x0828, 4, false},
    {"Norvex_EraseEeprom", Norvex_EraseEeprom, 0xC040, 12, true},
    {"NV_ChannelTest", NV_ChannelTest, 0x0874, 4, true},
    {"Norvex_CounterFunc", Norvex_CounterFunc, 0x08FE, 8, true},
    {"NV_StartFindMedium", NV_StartFindMedium, 0x0890, 56, true},
    {"NV_FMInitPara", NV_FMInitPara, 0x0892, 56, true},
    {"NV_MotorMove", NV_MotorMove, 0x0810, 12, true},
    {"NV_MotorMoveTo", NV_MotorMoveTo, 0x0812, 16, true},
    {"NV_MotorStop", NV_MotorStop, 0x0814, 4, true},
    {"NV_PrintTest", NV_PrintTest, 0x0818, 16, true},
    {"NV_ReturnZero", NV_ReturnZero, 0x081A, 4, true},
    {"NV_SetValveState", NV_SetValveState, 0x0854, 4, true},
    {"NV_SetRunMode", NV_SetRunMode, 0xC002, 4, true},
    {"NV_FindBalanceBlock", NV_FindBalanceBlock, 0x0832, 12, true},
    {"NV_PosBalanceBlock", NV_PosBalanceBlock, 0x0834, 4, true},
};

struct FunctionCase {
  const char* name;
  uint32_t(NORVEX_CALL* call)(void);
  uint16_t group;
  uint16_t item;
};

const FunctionCase kFunctionCases[] = {
    {"NV_ResetPage", NV_ResetPage, 0x1800, 0x0010},   {"NV_UpdatePage", NV_UpdatePage, 0x1800, 0x0011},
    {"NV_EndPrint", NV_EndPrint, 0x1800, 0x0020},     {"NV_CancelPrint", NV_CancelPrint, 0x9000, 0x0002},
    {"NV_LoadAck", NV_LoadAck, 0x7700, 0x0004},       {"NV_DoFlashModule", NV_DoFlashModule, 0xF000, 0x0000},
    {"NV_MoveMedium", NV_MoveMedium, 0x7700, 0x0001}, {"NV_ClearUSBError", NV_ClearUSBError, 0x2000, 0x0000},
    {"NV_ReSelftest", NV_ReSelftest, 0x1000, 0x000F},
};

using Query = uint32_t(NORVEX_CALL*)(void*);
using QueryCase = norvex_api_test::RecordQuery<Query>;

// The state queries by the name of the record they read. Their selectors
// and sizes are the emulated unit's (RecordsOf), written apart from the
// library's: each query must send the unit's selector and copy exactly the
// unit's record. The kernel name takes any length (KernelNameTakesAnyLength).
const std::pair<const char*, Query> kQueries[] = {
    {"NV_GetState", NV_GetState},
    {"NV_GetVavleState", NV_GetVavleState},
    {"NV_GetBalanceState", NV_GetBalanceState},
    {"NV_GetPrintState", NV_GetPrintState},
    {"NV_GetPrintPara", NV_GetPrintPara},
    {"NV_GetCtpCounterCtrl", NV_GetCtpCounterCtrl},
    {"NV_GetCounterInfo", NV_GetCounterInfo},
    {"NV_GetPageCounter", NV_GetPageCounter},
    {"NV_GetCCInitData", NV_GetCCInitData},
    {"NV_GetCCICtrl", NV_GetCCICtrl},
    {"NV_GetFlashCtrl", NV_GetFlashCtrl},
    {"NV_GetInitState", NV_GetInitState},
    {"NV_GetLoadState", NV_GetLoadState},
    {"NV_GetSensorState", NV_GetSensorState},
    {"NV_GetFScanState", NV_GetFScanState},
    {"NV_GetSScanState", NV_GetSScanState},
    {"NV_GetSystemError", NV_GetSystemError},
    {"NV_GetSetFocusState", NV_GetSetFocusState},
    {"NV_GetLHSentCtrlState", NV_GetLHSentCtrlState},
    {"NV_GetFindMediumState", NV_GetFindMediumState},
    {"NV_GetKernelVersion", NV_GetKernelVersion},
    {"NV_GetFPGAVersion", NV_GetFPGAVersion},
    {"NV_GetUSBState", NV_GetUSBState},
    {"NV_GetDeviceInfo", NV_GetDeviceInfo},
};

const std::vector<QueryCase>& QueryCases() {
  static const std::vector<QueryCase> cases =
      norvex_api_test::QueriesOf(kMain, kQueries, {"NV_GetKernelName"});
  return cases;
}

class MainUnitTest : public norvex_api_test::UnitApiTest {};

TEST_F(MainUnitTest, EveryBlockCommandSendsExactlyItsBlock) {
  for (const BlockCase& c : kBlockCases) {
    SCOPED_TRACE(c.name);
    PresetLastResult(0x0033);
    // More bytes than the command takes: only its own size goes out. The
    // first word 0 names a motor, valve and counter function the unit has.
    Bytes block = {0, 0, 0, 0};
    const Bytes rest = Pattern(c.size + 4, 0x40);
    block.insert(block.end(), rest.begin(), rest.end());
    const Bytes before = block;
    EXPECT_EQ(c.send(block.data()), NORVEX_OK);
    ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
    EXPECT_EQ(
        emulator.Model().ReceivedFrames()[0],
        RequestFrame(kMain, c.command, Bytes(block.begin(), block.begin() + static_cast<long>(c.size))));
    EXPECT_EQ(block, before);
    EXPECT_EQ(LastResult(), c.storesResult ? NORVEX_OK : 0xE0100033u);
    emulator.Model().ClearReceived();
  }
}

TEST_F(MainUnitTest, EveryBlockCommandRefusesANullBlockWithoutSending) {
  for (const BlockCase& c : kBlockCases) {
    SCOPED_TRACE(c.name);
    PresetLastResult(0x0034);
    EXPECT_EQ(c.send(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
    EXPECT_EQ(LastResult(), c.storesResult ? NORVEX_ERR_INVALID_ARGUMENT : 0xE0100034u);
  }
}

TEST_F(MainUnitTest, EveryBlockCommandReturnsTheMainUnitsErrorReply) {
  for (const BlockCase& c : kBlockCases) {
    SCOPED_TRACE(c.name);
    const Bytes block(c.size, 0);
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0005, 1, c.command, kMain});
    EXPECT_EQ(c.send(block.data()), 0xE0100005u);
    if (c.storesResult) {
      EXPECT_EQ(LastResult(), 0xE0100005u);
    }
    // An acknowledgement that carries data is refused.
    emulator.Model().InjectFault(Fault{FaultKind::kWrongReplySize, 4, 1, c.command});
    EXPECT_EQ(c.send(block.data()), CTP_ERR_LENGTH_MISMATCH);
  }
}

TEST_F(MainUnitTest, LoadControlLeavesAFailureInTheLastResult) {
  PresetLastResult(0x0077);
  const uint8_t control[4] = {1, 0, 0, 0};
  EXPECT_EQ(NV_LoadControl(control), NORVEX_OK);
  EXPECT_EQ(LastResult(), 0xE0100077u);
  emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0009});
  EXPECT_EQ(NV_LoadControl(control), 0xE0100009u);
  EXPECT_EQ(LastResult(), 0xE0100077u);
}

TEST_F(MainUnitTest, EveryFunctionCallSendsItsSelector) {
  for (const FunctionCase& c : kFunctionCases) {
    SCOPED_TRACE(c.name);
    PresetLastResult(0x0035);
    EXPECT_EQ(c.call(), NORVEX_OK);
    ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
    EXPECT_EQ(emulator.Model().ReceivedFrames()[0], RequestFrame(kMain, 0xC0D8, Selector(c.group, c.item)));
    EXPECT_EQ(LastResult(), NORVEX_OK);
    emulator.Model().ClearReceived();
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0042});
    EXPECT_EQ(c.call(), 0xE0100042u);
    EXPECT_EQ(LastResult(), 0xE0100042u);
    emulator.Model().ClearReceived();
  }
}

TEST_F(MainUnitTest, FunctionCallBytesOfTheExamples) {
  NV_ResetPage();
  NV_ReSelftest();
  NV_CancelPrint();
  const auto frames = emulator.Model().ReceivedFrames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(Bytes(frames[0].begin() + 8, frames[0].begin() + 12), (Bytes{0x00, 0x18, 0x10, 0x00}));
  EXPECT_EQ(Bytes(frames[1].begin() + 8, frames[1].begin() + 12), (Bytes{0x00, 0x10, 0x0F, 0x00}));
  EXPECT_EQ(Bytes(frames[2].begin() + 8, frames[2].begin() + 12), (Bytes{0x00, 0x90, 0x02, 0x00}));
}

TEST_F(MainUnitTest, EveryQueryCopiesExactlyItsRecord) {
  for (const QueryCase& c : QueryCases()) {
    SCOPED_TRACE(c.name);
    PresetLastResult(0x0036);
    const Bytes record = Pattern(c.size, 0x80);
    emulator.Model().SetStateRecord(kMain, c.group, c.item, record);
    Bytes buffer(c.size + 4, 0xEE);
    EXPECT_EQ(c.query(buffer.data()), NORVEX_OK);
    ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
    EXPECT_EQ(emulator.Model().ReceivedFrames()[0], RequestFrame(kMain, 0xC0D0, Selector(c.group, c.item)));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(c.size)), record);
    EXPECT_EQ(Bytes(buffer.end() - 4, buffer.end()), Bytes(4, 0xEE));
    EXPECT_EQ(LastResult(), NORVEX_OK);
    emulator.Model().ClearReceived();
  }
}

TEST_F(MainUnitTest, EveryQueryLeavesTheBufferOnFailure) {
  struct Failure {
    Fault fault;
    uint32_t code;
  };
  for (const QueryCase& c : QueryCases()) {
    SCOPED_TRACE(c.name);
    const Failure failures[] = {
        {Fault{FaultKind::kErrorReply, 0x0012}, 0xE0100012u},
        {Fault{FaultKind::kWrongReplySize, static_cast<uint16_t>(c.size + 4)}, CTP_ERR_LENGTH_MISMATCH},
        {Fault{FaultKind::kWrongReplySize, static_cast<uint16_t>(c.size - 4 == 0 ? 8 : c.size - 4)},
         CTP_ERR_LENGTH_MISMATCH},
        {Fault{FaultKind::kWrongCommand}, CTP_ERR_BAD_REPLY_COMMAND},
    };
    for (const Failure& f : failures) {
      emulator.Model().InjectFault(f.fault);
      Bytes buffer(c.size, 0xEE);
      EXPECT_EQ(c.query(buffer.data()), f.code);
      EXPECT_EQ(buffer, Bytes(c.size, 0xEE));
      EXPECT_EQ(LastResult(), f.code);
    }
    EXPECT_EQ(c.query(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
  }
  emulator.Model().ClearReceived();
  for (const QueryCase& c : QueryCases()) c.query(nullptr);
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
}

TEST_F(MainUnitTest, KernelNameTakesAnyLength) {
  for (size_t size : {16u, 32u, 500u}) {
    SCOPED_TRACE(size);
    emulator.Model().SetStateRecord(kMain, 0x0000, 0x0004, Pattern(size, 0x21));
    Bytes buffer(500, 0xEE);
    EXPECT_EQ(NV_GetKernelName(buffer.data()), NORVEX_OK);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(size)), Pattern(size, 0x21));
    if (size < 500) {
      EXPECT_EQ(buffer[size], 0xEE);
    }
  }
  EXPECT_EQ(emulator.Model().ReceivedFrames().back(), RequestFrame(kMain, 0xC0D0, Selector(0x0000, 0x0004)));
  EXPECT_EQ(NV_GetKernelName(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
}

TEST_F(MainUnitTest, LaserPowerAndTailPositionCopyTheirReply) {
  // The emulator answers the laser power with the first word of the last
  // current setting, and the tail position with the slow-scan position plus
  // the value sent.
  Bytes current(64, 0);
  current[0] = 0x11;
  current[1] = 0x22;
  ASSERT_EQ(NV_SetCurrent(current.data()), NORVEX_OK);
  emulator.Model().ClearReceived();
  Bytes power(4, 0xEE);
  EXPECT_EQ(NV_GetLaserPower(power.data()), NORVEX_OK);
  EXPECT_EQ(power, (Bytes{0x11, 0x22, 0, 0}));
  EXPECT_EQ(emulator.Model().ReceivedFrames()[0], RequestFrame(kMain, 0x0886));

  emulator.Model().SetStateRecord(kMain, 0xE400, 0, Le32(0x100));
  Bytes tail(4, 0xEE);
  EXPECT_EQ(NV_TailPos(0x12345678, tail.data()), NORVEX_OK);
  EXPECT_EQ(tail, Le32(0x12345778));
  EXPECT_EQ(emulator.Model().ReceivedFrames()[1], RequestFrame(kMain, 0x0872, {0x78, 0x56, 0x34, 0x12}));
}

TEST_F(MainUnitTest, LaserPowerAndTailPositionLeaveTheBufferOnFailure) {
  struct Case {
    const char* name;
    uint16_t command;
    uint32_t (*call)(void*);
  } cases[] = {
      {"NV_GetLaserPower", 0x0886, [](void* b) { return NV_GetLaserPower(b); }},
      {"NV_TailPos", 0x0872, [](void* b) { return NV_TailPos(7, b); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(8, 0xEE);
    emulator.Model().InjectFault(Fault{FaultKind::kWrongReplySize, 8, 1, c.command});
    EXPECT_EQ(c.call(buffer.data()), CTP_ERR_LENGTH_MISMATCH);
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0005, 1, c.command});
    EXPECT_EQ(c.call(buffer.data()), 0xE0100005u);
    emulator.Model().InjectFault(Fault{FaultKind::kWrongCommand, CTP_REPLY_ACK, 1, c.command});
    EXPECT_EQ(c.call(buffer.data()), CTP_ERR_BAD_REPLY_COMMAND);
    EXPECT_EQ(buffer, Bytes(8, 0xEE));
    emulator.Model().ClearReceived();
    EXPECT_EQ(c.call(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
  }
}

// ---- The print-error clear ----------------------------------------------------

Bytes PrintState(bool errorWaiting) {
  Bytes state(92, 0x7F);
  state[28] = errorWaiting ? 0x80 : 0x7F;
  return state;
}

TEST_F(MainUnitTest, ClearPrintErrorWithoutAWaitingErrorMakesOneQuery) {
  emulator.Model().SetStateRecord(kMain, 0x9000, 0, PrintState(false));
  PresetLastResult(0x0001);
  EXPECT_EQ(NV_ClearPrintError(), NORVEX_OK);
  ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
  EXPECT_EQ(emulator.Model().ReceivedFrames()[0], RequestFrame(kMain, 0xC0D0, Selector(0x9000, 0)));
  EXPECT_EQ(LastResult(), NORVEX_OK);
}

TEST_F(MainUnitTest, ClearPrintErrorWithAWaitingErrorClearsIt) {
  emulator.Model().SetStateRecord(kMain, 0x9000, 0, PrintState(true));
  EXPECT_EQ(NV_ClearPrintError(), NORVEX_OK);
  const auto frames = emulator.Model().ReceivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], RequestFrame(kMain, 0xC0D0, Selector(0x9000, 0)));
  EXPECT_EQ(frames[1], RequestFrame(kMain, 0xC0D8, Selector(0x9000, 1)));
  // The emulated unit cleared its flag: a second call only queries.
  EXPECT_EQ(emulator.Model().StateRecord(kMain, 0x9000, 0)[28], 0x00);
  emulator.Model().ClearReceived();
  EXPECT_EQ(NV_ClearPrintError(), NORVEX_OK);
  EXPECT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
}

TEST_F(MainUnitTest, ClearPrintErrorReturnsTheClearsFailure) {
  emulator.Model().SetStateRecord(kMain, 0x9000, 0, PrintState(true));
  emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0044, 1, 0xC0D8});
  EXPECT_EQ(NV_ClearPrintError(), 0xE0100044u);
  EXPECT_EQ(emulator.Model().ReceivedFrames().size(), 2u);
  EXPECT_EQ(LastResult(), 0xE0100044u);
}

TEST_F(MainUnitTest, ClearPrintErrorStopsAtAFailedQuery) {
  emulator.Model().SetStateRecord(kMain, 0x9000, 0, PrintState(true));
  const Fault faults[] = {Fault{FaultKind::kErrorReply, 0x0003}, Fault{FaultKind::kWrongReplySize, 88}};
  const uint32_t codes[] = {0xE0100003u, CTP_ERR_LENGTH_MISMATCH};
  for (size_t i = 0; i < 2; ++i) {
    emulator.Model().ClearReceived();
    emulator.Model().InjectFault(faults[i]);
    EXPECT_EQ(NV_ClearPrintError(), codes[i]);
    EXPECT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
    EXPECT_EQ(LastResult(), codes[i]);
  }
}

// ---- Without a device -------------------------------------------------------------

TEST_F(MainUnitTest, WithoutADeviceEveryExportFailsAtOnce) {
  CloseLink();
  Bytes buffer(500, 0xEE);
  for (const BlockCase& c : kBlockCases) EXPECT_EQ(c.send(buffer.data()), CTP_ERR_NO_DEVICE) << c.name;
  for (const FunctionCase& c : kFunctionCases) EXPECT_EQ(c.call(), CTP_ERR_NO_DEVICE) << c.name;
  for (const QueryCase& c : QueryCases()) EXPECT_EQ(c.query(buffer.data()), CTP_ERR_NO_DEVICE) << c.name;
  EXPECT_EQ(NV_GetKernelName(buffer.data()), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NV_GetLaserPower(buffer.data()), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NV_TailPos(1, buffer.data()), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NV_ClearPrintError(), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(buffer, Bytes(500, 0xEE));
}

// ---- The emulated unit reacts ---------------------------------------------------

TEST_F(MainUnitTest, CommandsChangeWhatTheQueriesReadBack) {
  // Fast-scan motor: move by 0x30 from zero, then read the position.
  Bytes move = Le32(0);
  for (uint32_t v : {0x30u, 0x500u}) {
    const Bytes w = Le32(v);
    move.insert(move.end(), w.begin(), w.end());
  }
  ASSERT_EQ(NV_MotorMove(move.data()), NORVEX_OK);
  Bytes scan(16, 0);
  ASSERT_EQ(NV_GetFScanState(scan.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(scan.begin(), scan.begin() + 4), Le32(0x30));
  // Valve 3 open.
  const uint8_t valve[4] = {3, 0, 1, 0};
  ASSERT_EQ(NV_SetValveState(valve), NORVEX_OK);
  Bytes valves(12, 0xEE);
  ASSERT_EQ(NV_GetVavleState(valves.data()), NORVEX_OK);
  EXPECT_EQ(valves, (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  // A start of print shows in the print parameters.
  const Bytes job = Pattern(64, 9);
  ASSERT_EQ(NV_StartPrint(job.data()), NORVEX_OK);
  Bytes para(64, 0);
  ASSERT_EQ(NV_GetPrintPara(para.data()), NORVEX_OK);
  EXPECT_EQ(para, job);
  // A valve the unit does not have is refused by the unit.
  const uint8_t noValve[4] = {40, 0, 1, 0};
  EXPECT_EQ(NV_SetValveState(noValve), 0xE01000E5u);
}

}  // namespace
