// boards_test.cpp: every LH_ and HS_ export (but the parameter files)
// through norvex.h against the emulator: request frames and addresses, the
// replies copied, the multi-query reads and where they stop, the per-board
// loops over a mask, channel routing, packed bus data and switch patterns,
// the last-result word, null pointers and board numbers out of range.
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

// The boards' addresses, as the emulator has them.
constexpr uint8_t kLh = norvex::emu::kLaserHead;
constexpr uint8_t kHs0 = norvex::emu::kHsBoard0;
constexpr uint8_t kHs1 = norvex::emu::kHsBoard1;

class BoardsTest : public norvex_api_test::UnitApiTest {
 protected:
  std::vector<Bytes> Frames() const { return emulator.Model().ReceivedFrames(); }
};

// ---- Laser head board ---------------------------------------------------------

struct LhCommandCase {
  const char* name;
  uint32_t (*send)(const void* block);  // block: the bytes to send (ignored when none)
  uint16_t command;
  Bytes expected;  // the data bytes on the wire
};

TEST_F(BoardsTest, LaserHeadCommandsSendTheirData) {
  static const Bytes move = Pattern(16, 0x30);
  const LhCommandCase cases[] = {
      {"LH_SetLDCurrent", [](const void*) { return LH_SetLDCurrent(0x123); }, 0x0422, {0x23, 0x01, 0, 0}},
      {"LH_SetFocus", [](const void*) { return LH_SetFocus(0x89ABCDEF); }, 0x0442, {0xEF, 0xCD, 0xAB, 0x89}},
      {"LH_ReturnZero", [](const void*) { return LH_ReturnZero(); }, 0x0480, {}},
      {"LH_Move", [](const void* b) { return LH_Move(b); }, 0x0482, Bytes(move.begin(), move.begin() + 12)},
      {"LH_MoveTo", [](const void* b) { return LH_MoveTo(b); }, 0x0484, move},
      {"LH_Stop", [](const void*) { return LH_Stop(); }, 0x0486, {}},
  };
  for (const LhCommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    PresetLastResult(0x0001);
    EXPECT_EQ(c.send(move.data()), NORVEX_OK);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0], RequestFrame(kLh, c.command, c.expected));
    EXPECT_EQ(LastResult(), NORVEX_OK);
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0B0B});
    EXPECT_EQ(c.send(move.data()), 0xE0420B0Bu);
    EXPECT_EQ(LastResult(), 0xE0420B0Bu);
    emulator.Model().ClearReceived();
  }
  EXPECT_EQ(LH_Move(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(LH_MoveTo(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());
}

using LhQuery = uint32_t(NORVEX_CALL*)(void*);
using HsQuery = uint32_t(NORVEX_CALL*)(uint32_t, void*);

// The state queries by the name of the record they read; their selectors
// and sizes are the emulated boards' (QueriesOf).
const std::pair<const char*, LhQuery> kLhQueries[] = {
    {"LH_GetSystemState", LH_GetSystemState}, {"LH_GetUartState", LH_GetUartState},
    {"LH_GetErrorInfo", LH_GetErrorInfo},     {"LH_GetADCState", LH_GetADCState},
    {"LH_GetPSDState", LH_GetPSDState},       {"LH_GetAFState", LH_GetAFState},
    {"LH_GetSFState", LH_GetSFState},         {"LH_GetMotorState", LH_GetMotorState},
};
const std::pair<const char*, HsQuery> kHsQueries[] = {
    {"HS_GetSystemState", HS_GetSystemState}, {"HS_GetUartState", HS_GetUartState},
    {"HS_GetErrorInfo", HS_GetErrorInfo},     {"HS_GetInitState", HS_GetInitState},
    {"HS_GetADCState", HS_GetADCState},       {"HS_GetFPGAState", HS_GetFPGAState},
    {"HS_GetLDState", HS_GetLDState},         {"HS_GetDAC7611State", HS_GetDAC7611State},
};

// The emulated board's record that a multi-query read takes as one part.
const norvex::emu::UnitRecord& Part(uint8_t address, const char* reader) {
  static const norvex::emu::UnitRecord none{"", 0, 0, 0};
  const norvex::emu::UnitRecord* record = norvex::emu::FindRecord(address, reader);
  EXPECT_NE(record, nullptr) << reader;
  return record != nullptr ? *record : none;
}

TEST_F(BoardsTest, LaserHeadQueriesCopyExactlyTheirRecord) {
  for (const auto& c : norvex_api_test::QueriesOf(kLh, kLhQueries)) {
    SCOPED_TRACE(c.name);
    emulator.Model().SetStateRecord(kLh, c.group, c.item, Pattern(c.size, 0x50));
    Bytes buffer(c.size + 4, 0xEE);
    EXPECT_EQ(c.query(buffer.data()), NORVEX_OK);
    EXPECT_EQ(Frames().back(), RequestFrame(kLh, 0xC0D0, Selector(c.group, c.item)));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 4), Pattern(c.size, 0x50));
    EXPECT_EQ(Bytes(buffer.end() - 4, buffer.end()), Bytes(4, 0xEE));
    emulator.Model().InjectFault(Fault{FaultKind::kWrongReplySize, static_cast<uint16_t>(c.size + 4)});
    Bytes untouched(c.size, 0xEE);
    EXPECT_EQ(c.query(untouched.data()), CTP_ERR_LENGTH_MISMATCH);
    EXPECT_EQ(LastResult(), CTP_ERR_LENGTH_MISMATCH);
    EXPECT_EQ(untouched, Bytes(c.size, 0xEE));
    emulator.Model().ClearReceived();
    EXPECT_EQ(c.query(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
  }
}

TEST_F(BoardsTest, LaserHeadGetStateExUsesTheLow16BitsOfGroupAndItem) {
  emulator.Model().SetStateRecord(kLh, 0x1234, 0x5678, Pattern(8));
  Bytes buffer(8, 0);
  EXPECT_EQ(LH_GetStateEx(buffer.data(), 8, 0xABCD1234, 0x00015678), NORVEX_OK);
  EXPECT_EQ(Frames()[0], RequestFrame(kLh, 0xC0D0, Selector(0x1234, 0x5678)));
  EXPECT_EQ(buffer, Pattern(8));
  EXPECT_EQ(LH_GetStateEx(buffer.data(), 12, 0x1234, 0x5678), CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(LH_GetStateEx(nullptr, 8, 0x1234, 0x5678), NORVEX_ERR_INVALID_ARGUMENT);
}

TEST_F(BoardsTest, LaserHeadGetInfoReadsVersionThenName) {
  const auto& version = Part(kLh, "LH_GetInfo version");
  const auto& name = Part(kLh, "LH_GetInfo name");
  emulator.Model().SetStateRecord(kLh, version.group, version.item, Pattern(version.size, 0x10));
  emulator.Model().SetStateRecord(kLh, name.group, name.item, Pattern(name.size, 0x60));
  Bytes expected = Pattern(version.size, 0x10);
  const Bytes nameBytes = Pattern(name.size, 0x60);
  expected.insert(expected.end(), nameBytes.begin(), nameBytes.end());
  Bytes info(expected.size() + 4, 0xEE);
  EXPECT_EQ(LH_GetInfo(info.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(info.begin(), info.end() - 4), expected);
  EXPECT_EQ(Bytes(info.end() - 4, info.end()), Bytes(4, 0xEE));
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[0], RequestFrame(kLh, 0xC0D0, Selector(version.group, version.item)));
  EXPECT_EQ(Frames()[1], RequestFrame(kLh, 0xC0D0, Selector(name.group, name.item)));
}

TEST_F(BoardsTest, LaserHeadGetInfoStopsAtTheFirstFailure) {
  const auto& version = Part(kLh, "LH_GetInfo version");
  const auto& name = Part(kLh, "LH_GetInfo name");
  emulator.Model().SetStateRecord(kLh, version.group, version.item, Pattern(4, 0x10));
  // The first query fails: one exchange, the buffer untouched.
  emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0021});
  Bytes info(24, 0xEE);
  EXPECT_EQ(LH_GetInfo(info.data()), 0xE0420021u);
  EXPECT_EQ(Frames().size(), 1u);
  EXPECT_EQ(info, Bytes(24, 0xEE));
  // The second fails: the version stays, the name part is untouched.
  emulator.Model().ClearReceived();
  emulator.Model().SetStateRecord(kLh, name.group, name.item,
                                  Pattern(name.size - 4u));  // not the size asked for
  EXPECT_EQ(LH_GetInfo(info.data()), CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(LastResult(), CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Bytes(info.begin(), info.begin() + 4), Pattern(4, 0x10));
  EXPECT_EQ(Bytes(info.begin() + 4, info.end()), Bytes(20, 0xEE));
  EXPECT_EQ(LH_GetInfo(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
}

TEST_F(BoardsTest, LaserHeadFunctionExCountsTheLow16BitsOfExtra) {
  const Bytes data = Pattern(16);
  EXPECT_EQ(LH_FunctionEx(data.data(), 0x10002), NORVEX_OK);
  EXPECT_EQ(Frames()[0], RequestFrame(kLh, 0xC0D8, Pattern(6)));
  EXPECT_EQ(LH_FunctionEx(data.data(), 12), NORVEX_OK);
  EXPECT_EQ(Frames()[1], RequestFrame(kLh, 0xC0D8, data));
  EXPECT_EQ(LH_FunctionEx(nullptr, 0), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(Frames().size(), 2u);
}

TEST_F(BoardsTest, AbsentLaserHeadIsReportedByTheMainUnit) {
  emulator.Model().SetBoardPresent(kLh, false);
  uint8_t state[12];
  EXPECT_EQ(LH_GetSystemState(state), CTP_ERR_MAIN_UNIT_REPLIED);
  EXPECT_EQ(LH_Stop(), CTP_ERR_MAIN_UNIT_REPLIED);
}

// ---- HS boards --------------------------------------------------------------------

TEST_F(BoardsTest, HsQueriesGoToTheNumberedBoard) {
  for (const auto& c : norvex_api_test::QueriesOf(kHs0, kHsQueries)) {
    for (uint32_t board : {0u, 1u}) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(board);
      const uint8_t address = static_cast<uint8_t>(kHs0 + board);
      emulator.Model().SetStateRecord(address, c.group, c.item,
                                      Pattern(c.size, static_cast<uint8_t>(board * 100)));
      Bytes buffer(c.size + 4, 0xEE);
      EXPECT_EQ(c.query(board, buffer.data()), NORVEX_OK);
      EXPECT_EQ(Frames().back(), RequestFrame(address, 0xC0D0, Selector(c.group, c.item)));
      EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 4), Pattern(c.size, static_cast<uint8_t>(board * 100)));
      EXPECT_EQ(Bytes(buffer.end() - 4, buffer.end()), Bytes(4, 0xEE));
      emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0707});
      EXPECT_EQ(c.query(board, buffer.data()), CTP_ERR_DEVICE(address, 0x0707u));
      EXPECT_EQ(LastResult(), CTP_ERR_DEVICE(address, 0x0707u));
    }
    emulator.Model().ClearReceived();
    Bytes buffer(c.size, 0xEE);
    EXPECT_EQ(c.query(2, buffer.data()), NORVEX_ERR_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(c.query(0, nullptr), NORVEX_ERR_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(Frames().empty()) << c.name;
  }
}

TEST_F(BoardsTest, HsGetStateExUsesTheLow16BitsAndChecksTheBoard) {
  emulator.Model().SetStateRecord(kHs1, 0x0102, 0x0304, Pattern(12));
  Bytes buffer(12, 0);
  EXPECT_EQ(HS_GetStateEx(1, buffer.data(), 12, 0xFFFF0102, 0x10304), NORVEX_OK);
  EXPECT_EQ(Frames()[0], RequestFrame(kHs1, 0xC0D0, Selector(0x0102, 0x0304)));
  EXPECT_EQ(buffer, Pattern(12));
  EXPECT_EQ(HS_GetStateEx(0x100, buffer.data(), 12, 0x0102, 0x0304), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(HS_GetStateEx(1, nullptr, 12, 0x0102, 0x0304), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(BoardsTest, HsGetInfoReadsThreeRecordsAndStopsAtAFailure) {
  Bytes expected;
  std::vector<Bytes> frames;
  uint8_t first = 0x10;
  for (const char* reader : {"HS_GetInfo version", "HS_GetInfo name", "HS_GetInfo FPGA word"}) {
    const auto& part = Part(kHs1, reader);
    const Bytes bytes = Pattern(part.size, first);
    emulator.Model().SetStateRecord(kHs1, part.group, part.item, bytes);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    frames.push_back(RequestFrame(kHs1, 0xC0D0, Selector(part.group, part.item)));
    first = static_cast<uint8_t>(first + 0x30);
  }
  ASSERT_EQ(expected.size(), 40u);  // the buffer HS_GetInfo fills
  Bytes info(44, 0xEE);
  EXPECT_EQ(HS_GetInfo(1, info.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(info.begin(), info.begin() + 40), expected);
  EXPECT_EQ(Bytes(info.begin() + 40, info.end()), Bytes(4, 0xEE));
  EXPECT_EQ(Frames(), frames);

  // A failing third query leaves bytes 36..39 as they were.
  Bytes partial(40, 0xEE);
  const auto& fpgaWord = Part(kHs1, "HS_GetInfo FPGA word");
  emulator.Model().SetStateRecord(kHs1, fpgaWord.group, fpgaWord.item, Pattern(fpgaWord.size + 4u));
  EXPECT_EQ(HS_GetInfo(1, partial.data()), CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(Bytes(partial.begin(), partial.begin() + 36), Bytes(expected.begin(), expected.begin() + 36));
  EXPECT_EQ(Bytes(partial.begin() + 36, partial.end()), Bytes(4, 0xEE));
  EXPECT_EQ(LastResult(), CTP_ERR_LENGTH_MISMATCH);

  emulator.Model().ClearReceived();
  EXPECT_EQ(HS_GetInfo(2, info.data()), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(HS_GetInfo(0, nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());
}

// The boards served, in order, by a per-board export for each mask.
struct MaskCase {
  uint32_t mask;
  std::vector<uint8_t> addresses;
};
const MaskCase kMasks[] = {
    {0, {}}, {1, {kHs0}}, {2, {kHs1}}, {3, {kHs0, kHs1}}, {6, {kHs1}}, {0xFFFFFFFC, {}}, {0x80000001, {kHs0}},
};

struct ValueCase {
  const char* name;
  uint32_t(NORVEX_CALL* send)(uint32_t, uint32_t);
  uint16_t command;
};

TEST_F(BoardsTest, ModeAndPeriodGoToEachSelectedBoard) {
  const ValueCase cases[] = {{"HS_SetMode", HS_SetMode, 0x10E0}, {"HS_SetPeriod", HS_SetPeriod, 0x10E2}};
  for (const ValueCase& c : cases) {
    for (const MaskCase& m : kMasks) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(m.mask);
      PresetLastResult(0x0001);
      EXPECT_EQ(c.send(m.mask, 0xA1B2C3D4), NORVEX_OK);
      std::vector<Bytes> expected;
      for (uint8_t a : m.addresses) expected.push_back(RequestFrame(a, c.command, {0xD4, 0xC3, 0xB2, 0xA1}));
      EXPECT_EQ(Frames(), expected);
      EXPECT_EQ(LastResult(), NORVEX_OK);
      emulator.Model().ClearReceived();
    }
  }
}

TEST_F(BoardsTest, PerBoardExportsStopAtTheFirstFailingBoard) {
  const uint8_t data[8] = {1, 0, 2, 0, 3, 0, 4, 0};
  const Bytes list = Pattern(36);
  struct Case {
    const char* name;
    uint32_t (*call)(const uint8_t* data, const Bytes& list);
  } cases[] = {
      {"HS_SetMode", [](const uint8_t*, const Bytes&) { return HS_SetMode(3, 1); }},
      {"HS_SetPeriod", [](const uint8_t*, const Bytes&) { return HS_SetPeriod(3, 1); }},
      {"HS_SwitchLaserAll", [](const uint8_t*, const Bytes&) { return HS_SwitchLaserAll(3, 1); }},
      {"HS_SetCurList", [](const uint8_t*, const Bytes& l) { return HS_SetCurList(3, l.data(), 0); }},
      {"HS_FunctionEx", [](const uint8_t* d, const Bytes&) { return HS_FunctionEx(3, d, 4); }},
      {"HS_GetBusData",
       [](const uint8_t*, const Bytes&) {
         uint32_t out = 0;
         return HS_GetBusData(3, &out);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Board 0 refuses: board 1 is not asked.
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0102, 1, std::nullopt, kHs0});
    EXPECT_EQ(c.call(data, list), 0xE0200102u);
    EXPECT_EQ(LastResult(), 0xE0200102u);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0][2], kHs0);
    emulator.Model().ClearReceived();
    // Board 1 refuses after board 0 was served.
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0304, 1, std::nullopt, kHs1});
    EXPECT_EQ(c.call(data, list), 0xE0210304u);
    EXPECT_EQ(LastResult(), 0xE0210304u);
    EXPECT_EQ(Frames().size(), 2u);
    emulator.Model().ClearReceived();
    // An absent board 1 is answered by the main unit.
    emulator.Model().SetBoardPresent(kHs1, false);
    EXPECT_EQ(c.call(data, list), CTP_ERR_MAIN_UNIT_REPLIED);
    emulator.Model().SetBoardPresent(kHs1, true);
    emulator.Model().ClearReceived();
  }
}

TEST_F(BoardsTest, SwitchLaserAllShiftsThePatternPerServedBoard) {
  struct Case {
    uint32_t mask;
    uint32_t pattern;
    std::vector<std::pair<uint8_t, uint32_t>> sent;
  } cases[] = {
      {3, 0x0000FFFF, {{kHs0, 0xFFFF}, {kHs1, 0x3FFF}}},
      {3, 0x000ABCDE, {{kHs0, 0xBCDE}, {kHs1, 0xAF37}}},
      {1, 0x12345678, {{kHs0, 0x5678}}},
      {2, 0x12345678, {{kHs1, 0x5678}}},
      {0, 0x12345678, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(HS_SwitchLaserAll(c.mask, c.pattern), NORVEX_OK);
    std::vector<Bytes> expected;
    for (const auto& [address, value] : c.sent)
      expected.push_back(RequestFrame(address, 0x10E6, Le32(value)));
    EXPECT_EQ(Frames(), expected);
    emulator.Model().ClearReceived();
  }
}

TEST_F(BoardsTest, BusDataIsPackedTwoBitsApartPerServedBoard) {
  // The emulated bus data is the low 16 bits of the board's mode.
  ASSERT_EQ(HS_SetMode(1, 0x0001), NORVEX_OK);
  ASSERT_EQ(HS_SetMode(2, 0x0002), NORVEX_OK);
  emulator.Model().ClearReceived();
  struct Case {
    uint32_t mask;
    uint32_t out;
    size_t exchanges;
  } cases[] = {{3, 0x0009, 2}, {1, 0x0001, 1}, {2, 0x0002, 1}, {0, 0, 0}, {4, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    uint32_t out = 0xEEEEEEEE;
    EXPECT_EQ(HS_GetBusData(c.mask, &out), NORVEX_OK);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(Frames().size(), c.exchanges);
    for (const Bytes& f : Frames()) EXPECT_EQ(Bytes(f.begin() + 4, f.begin() + 8), (Bytes{2, 0, 0x00, 0x10}));
    emulator.Model().ClearReceived();
  }
  EXPECT_EQ(Frames().size(), 0u);
  // A failing board 1 leaves board 0's answer in out.
  emulator.Model().InjectFault(Fault{FaultKind::kWrongReplySize, 8, 1, 0x1000, kHs1});
  uint32_t out = 0xEEEEEEEE;
  EXPECT_EQ(HS_GetBusData(3, &out), CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(out, 0x0001u);
  emulator.Model().ClearReceived();
  EXPECT_EQ(HS_GetBusData(3, nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());
}

struct ChannelCase {
  uint16_t channel;
  uint8_t address;
  uint16_t boardChannel;
};
const ChannelCase kChannels[] = {{0, kHs0, 0},  {5, kHs0, 5},   {15, kHs0, 15}, {16, kHs1, 0},
                                 {21, kHs1, 5}, {31, kHs1, 15}, {37, kHs0, 5},  {0xFFFF, kHs1, 15}};

TEST_F(BoardsTest, SetCurrentAndSwitchLaserRouteByChannelAndRewriteIt) {
  struct Case {
    const char* name;
    uint32_t(NORVEX_CALL* send)(void*);
    uint16_t command;
  } cases[] = {{"HS_SetCurrent", HS_SetCurrent, 0x1080}, {"HS_SwitchLaser", HS_SwitchLaser, 0x10E4}};
  for (const Case& c : cases) {
    for (const ChannelCase& ch : kChannels) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(ch.channel);
      uint8_t record[4] = {static_cast<uint8_t>(ch.channel), static_cast<uint8_t>(ch.channel >> 8), 0x34,
                           0x12};
      EXPECT_EQ(c.send(record), NORVEX_OK);
      EXPECT_EQ(Bytes(record, record + 4), (Bytes{static_cast<uint8_t>(ch.boardChannel), 0, 0x34, 0x12}));
      ASSERT_EQ(Frames().size(), 1u);
      EXPECT_EQ(Frames()[0], RequestFrame(ch.address, c.command, Bytes(record, record + 4)));
      emulator.Model().ClearReceived();
    }
    // The word is rewritten also when the exchange then fails.
    uint8_t record[4] = {21, 0, 1, 0};
    emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0055});
    EXPECT_EQ(c.send(record), 0xE0210055u);
    EXPECT_EQ(LastResult(), 0xE0210055u);
    EXPECT_EQ(record[0], 5);
    emulator.Model().ClearReceived();
    EXPECT_EQ(c.send(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(Frames().empty());
  }
}

TEST_F(BoardsTest, CurListSendsThirtyTwoBytesPerBoardFourBytesApart) {
  const Bytes list = Pattern(36);
  EXPECT_EQ(HS_SetCurList(3, list.data(), 0xDEAD), NORVEX_OK);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[0], RequestFrame(kHs0, 0x1082, Bytes(list.begin(), list.begin() + 32)));
  EXPECT_EQ(Frames()[1], RequestFrame(kHs1, 0x1082, Bytes(list.begin() + 4, list.end())));
  emulator.Model().ClearReceived();
  // Board 1 alone gets the start of the list.
  EXPECT_EQ(HS_SetCurList(2, list.data(), 0), NORVEX_OK);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0], RequestFrame(kHs1, 0x1082, Bytes(list.begin(), list.begin() + 32)));
  emulator.Model().ClearReceived();
  EXPECT_EQ(HS_SetCurList(3, nullptr, 0), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(BoardsTest, FunctionExCallsEachBoardAndKeepsTheLastResult) {
  const Bytes data = Pattern(12);
  // Mask 0: no call, and the word is 0 even after a failure before.
  PresetLastResult(0x0066);
  EXPECT_EQ(HS_FunctionEx(0, data.data(), 8), NORVEX_OK);
  EXPECT_EQ(LastResult(), NORVEX_OK);
  EXPECT_TRUE(Frames().empty());
  // Mask 1: board 0 only; 4 + (extra AND 0xFFFF) bytes.
  EXPECT_EQ(HS_FunctionEx(1, data.data(), 0x30004), NORVEX_OK);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0], RequestFrame(kHs0, 0xC0D8, Pattern(8)));
  emulator.Model().ClearReceived();
  EXPECT_EQ(HS_FunctionEx(3, data.data(), 8), NORVEX_OK);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1], RequestFrame(kHs1, 0xC0D8, data));
  emulator.Model().ClearReceived();
  EXPECT_EQ(HS_FunctionEx(3, nullptr, 0), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(BoardsTest, WithoutADeviceTheBoardExportsFailAtOnce) {
  CloseLink();
  Bytes buffer(100, 0xEE);
  uint32_t out = 0xEEEEEEEE;
  EXPECT_EQ(LH_SetFocus(1), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(LH_GetInfo(buffer.data()), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(HS_GetInfo(0, buffer.data()), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(HS_SetMode(3, 1), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(HS_GetBusData(3, &out), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(buffer, Bytes(100, 0xEE));
}

// ---- The emulated boards react -------------------------------------------------

TEST_F(BoardsTest, BoardCommandsChangeWhatTheQueriesReadBack) {
  ASSERT_EQ(LH_SetFocus(0x1234), NORVEX_OK);
  Bytes af(8, 0);
  ASSERT_EQ(LH_GetAFState(af.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(af.begin(), af.begin() + 4), Le32(0x1234));
  Bytes moveTo = Le32(500);
  moveTo.resize(16, 0);
  ASSERT_EQ(LH_MoveTo(moveTo.data()), NORVEX_OK);
  Bytes motor(40, 0);
  ASSERT_EQ(LH_GetMotorState(motor.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(motor.begin(), motor.begin() + 4), Le32(500));
  ASSERT_EQ(LH_ReturnZero(), NORVEX_OK);
  ASSERT_EQ(LH_GetMotorState(motor.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(motor.begin(), motor.begin() + 4), Le32(0));

  uint8_t current[4] = {21, 0, 0x99, 0x01};  // board 1, channel 5
  ASSERT_EQ(HS_SetCurrent(current), NORVEX_OK);
  ASSERT_EQ(HS_SwitchLaserAll(3, 0x00050003), NORVEX_OK);
  Bytes ld(72, 0);
  ASSERT_EQ(HS_GetLDState(1, ld.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(ld.begin() + 10, ld.begin() + 12), (Bytes{0x99, 0x01}));
  EXPECT_EQ(Bytes(ld.begin() + 32, ld.begin() + 34), (Bytes{0x00, 0x40}));  // 0x50003 >> 2
  ASSERT_EQ(HS_GetLDState(0, ld.data()), NORVEX_OK);
  EXPECT_EQ(Bytes(ld.begin() + 32, ld.begin() + 34), (Bytes{0x03, 0x00}));
}

}  // namespace
