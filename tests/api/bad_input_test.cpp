// bad_input_test.cpp: what a host can get wrong, table by table: null
// pointers, oversize and odd lengths, unknown link modes, board numbers out
// of range, zero sizes, a bulk write while one is outstanding. Each gets a
// clear code (and a bad argument sends nothing), never a crash; the suite
// also runs under AddressSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "emulator_session.h"
#include "norvex.h"

namespace {

using norvex::emu::BulkWriteFault;
using norvex::emu::BulkWriteFaultKind;
using norvex::emu::Emulator;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBadArgument = NORVEX_ERR_INVALID_ARGUMENT;
constexpr uint32_t kTooLong = NORVEX_ERR_LENGTH_LIMIT;

struct Row {
  const char* name;
  std::function<uint32_t()> call;
  uint32_t expected;
  // Whether the call may reach the device (a bad argument must not).
  bool sends;
};

class BadInputTest : public norvex_api_test::EmulatorSessionTest {
 protected:
  void RunTable(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      emulator.Model().ClearReceived();
      emulator.Model().ClearPrintMemory();
      EXPECT_EQ(row.call(), row.expected) << std::hex << "expected 0x" << row.expected;
      if (!row.sends) {
        EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
        EXPECT_TRUE(emulator.Model().PrintMemory().empty());
      }
      // The library still works after every row.
      uint8_t state[4];
      EXPECT_EQ(NV_GetState(state), NORVEX_OK);
    }
  }
};

TEST_F(BadInputTest, NullPointersGiveInvalidArgumentAndSendNothing) {
  static uint8_t buffer[4096];
  static MainUnitParaFile mainFile;
  static uint32_t count = 64;
  RunTable({
      {"NV_GetState(null)", [] { return NV_GetState(nullptr); }, kBadArgument, false},
      {"NV_StartPrint(null)", [] { return NV_StartPrint(nullptr); }, kBadArgument, false},
      {"NV_FunctionEx(null)", [] { return NV_FunctionEx(nullptr); }, kBadArgument, false},
      {"NV_TailPos(1, null)", [] { return NV_TailPos(1, nullptr); }, kBadArgument, false},
      {"Norvex_EraseEeprom(null)", [] { return Norvex_EraseEeprom(nullptr); }, kBadArgument, false},
      {"Norvex_CounterFunc(null)", [] { return Norvex_CounterFunc(nullptr); }, kBadArgument, false},
      {"CTP_SendCommand(null)", [] { return CTP_SendCommand(nullptr); }, kBadArgument, false},
      {"CTP_GetStateEx(null selector)", [] { return CTP_GetStateEx(nullptr, buffer, 4, 0x10); }, kBadArgument,
       false},
      {"CTP_GetStateEx(null reply)",
       [] {
         const uint8_t selector[4] = {};
         return CTP_GetStateEx(selector, nullptr, 4, 0x10);
       },
       kBadArgument, false},
      {"LH_GetSystemState(null)", [] { return LH_GetSystemState(nullptr); }, kBadArgument, false},
      {"LH_GetStateEx(null)", [] { return LH_GetStateEx(nullptr, 4, 0, 0); }, kBadArgument, false},
      {"LH_FunctionEx(null)", [] { return LH_FunctionEx(nullptr, 0); }, kBadArgument, false},
      {"LH_Move(null)", [] { return LH_Move(nullptr); }, kBadArgument, false},
      {"HS_GetSystemState(0, null)", [] { return HS_GetSystemState(0, nullptr); }, kBadArgument, false},
      {"HS_GetInfo(1, null)", [] { return HS_GetInfo(1, nullptr); }, kBadArgument, false},
      {"HS_GetBusData(3, null)", [] { return HS_GetBusData(3, nullptr); }, kBadArgument, false},
      {"HS_SetCurrent(null)", [] { return HS_SetCurrent(nullptr); }, kBadArgument, false},
      {"HS_SetCurList(3, null)", [] { return HS_SetCurList(3, nullptr, 0); }, kBadArgument, false},
      {"HS_FunctionEx(3, null)", [] { return HS_FunctionEx(3, nullptr, 0); }, kBadArgument, false},
      {"NV_GetParaFile(null)", [] { return NV_GetParaFile(nullptr, 0xFFFFFFFFu); }, kBadArgument, false},
      {"NV_SetParaFile(null)", [] { return NV_SetParaFile(nullptr, 0xFFFFFFFFu); }, kBadArgument, false},
      {"LH_GetParaFile(null)", [] { return LH_GetParaFile(nullptr, 0x1F); }, kBadArgument, false},
      {"HS_SetParaFile(0, null)", [] { return HS_SetParaFile(0, nullptr, 0x7F); }, kBadArgument, false},
      {"NV_CheckParaFile(null, null)", [] { return NV_CheckParaFile(nullptr, nullptr); }, 0, false},
      {"LH_CheckParaFile(null)", [] { return LH_CheckParaFile(nullptr); }, 0, false},
      {"HS_CheckParaFile(null)", [] { return HS_CheckParaFile(nullptr); }, 0, false},
      {"Norvex_WriteSDRAM(null, 32)", [] { return Norvex_WriteSDRAM(nullptr, 32); }, kBadArgument, false},
      {"Norvex_WriteSDRAM2(null, &32)", [] { return Norvex_WriteSDRAM2(nullptr, &count, 0); }, kBadArgument,
       false},
      {"Norvex_WriteSDRAM2(data, null)", [] { return Norvex_WriteSDRAM2(buffer, nullptr, 0); }, kBadArgument,
       false},
      {"Norvex_GetWriteSDRAM2Result(null)", [] { return Norvex_GetWriteSDRAM2Result(nullptr); }, kBadArgument,
       false},
      {"NV_SentPrintData(null, 64)", [] { return NV_SentPrintData(nullptr, 64); }, kBadArgument, false},
      {"NV_ReadSDRAMData(buffer, null)", [] { return NV_ReadSDRAMData(buffer, nullptr); }, kBadArgument,
       false},
      {"NV_ReadSDRAMData(null, &64)",
       [] {
         uint32_t n = 64;
         return NV_ReadSDRAMData(nullptr, &n);
       },
       kBadArgument, false},
      {"Norvex_CompressData(null dst)",
       [] {
         uint32_t out = 0;
         return Norvex_CompressData(nullptr, &out, buffer, 4);
       },
       kBadArgument, false},
      {"Norvex_CompressData(null count)", [] { return Norvex_CompressData(buffer, nullptr, buffer, 4); },
       kBadArgument, false},
      {"Norvex_CompressData(null src)",
       [] {
         uint32_t out = 0;
         return Norvex_CompressData(buffer, &out, nullptr, 4);
       },
       kBadArgument, false},
      {"Norvex_SetDebugFolder(null)", [] { return Norvex_SetDebugFolder(nullptr); }, kBadArgument, false},
      {"Norvex_GetVersion(null) returns null", [] { return Norvex_GetVersion(nullptr) == nullptr ? 0u : 1u; },
       0, false},
      {"CTP_GetErrorInfo(any) is a text", [] { return CTP_GetErrorInfo(0x12345678u) != nullptr ? 0u : 1u; },
       0, false},
  });
  (void)mainFile;
}

TEST_F(BadInputTest, BoardNumbersOutOfRangeGiveInvalidArgument) {
  static uint8_t buffer[64];
  static HsBoardParaFile hsFile;
  RunTable({
      {"HS_GetSystemState(2)", [] { return HS_GetSystemState(2, buffer); }, kBadArgument, false},
      {"HS_GetSystemState(0xFFFFFFFF)", [] { return HS_GetSystemState(0xFFFFFFFFu, buffer); }, kBadArgument,
       false},
      {"HS_GetStateEx(5)", [] { return HS_GetStateEx(5, buffer, 4, 0, 0); }, kBadArgument, false},
      {"HS_GetInfo(2)", [] { return HS_GetInfo(2, buffer); }, kBadArgument, false},
      {"HS_GetParaFile(2)", [] { return HS_GetParaFile(2, &hsFile, 0x7F); }, kBadArgument, false},
      {"HS_SetParaFile(0x80000000)", [] { return HS_SetParaFile(0x80000000u, &hsFile, 0x7F); }, kBadArgument,
       false},
      {"HS_SaveParaFile(7)", [] { return HS_SaveParaFile(7, 1); }, kBadArgument, false},
      // Masks name boards by bits 0 and 1; other bits name no board: nothing
      // is sent and nothing fails.
      {"HS_SetMode(mask 0)", [] { return HS_SetMode(0, 1); }, NORVEX_OK, false},
      {"HS_SetMode(mask 0xFFFFFFFC)", [] { return HS_SetMode(0xFFFFFFFCu, 1); }, NORVEX_OK, false},
      // A channel word above 31 is taken modulo the 32 channels.
      {"HS_SetCurrent(channel 0xFFFF)",
       [] {
         uint8_t record[4] = {0xFF, 0xFF, 1, 0};
         return HS_SetCurrent(record);
       },
       NORVEX_OK, true},
  });
}

TEST_F(BadInputTest, LengthsOversizeOddAndZero) {
  static uint8_t buffer[4096];
  RunTable({
      {"CTP_SendCommand request of 503 bytes",
       [] {
         CommandPacket p{buffer, 503, buffer, 0, 0x10, 0x0001, 0, CTP_REPLY_ACK};
         return CTP_SendCommand(&p);
       },
       kTooLong, false},
      {"CTP_SendCommand request of 0xFFFFFFFF bytes",
       [] {
         CommandPacket p{buffer, 0xFFFFFFFFu, buffer, 0, 0x10, 0x0001, 0, CTP_REPLY_ACK};
         return CTP_SendCommand(&p);
       },
       kTooLong, false},
      {"CTP_SendCommand odd request of 3 bytes",
       [] {
         CommandPacket p{buffer, 3, buffer, 0, 0x10, 0x0001, 0, CTP_REPLY_ACK};
         return CTP_SendCommand(&p);
       },
       kBadArgument, false},
      {"CTP_SendCommand null request data of 4 bytes",
       [] {
         CommandPacket p{nullptr, 4, buffer, 0, 0x10, 0x0001, 0, CTP_REPLY_ACK};
         return CTP_SendCommand(&p);
       },
       kBadArgument, false},
      {"CTP_SendCommand any reply length, null reply data",
       [] {
         CommandPacket p{buffer, 4, nullptr, 0xFFFFFFFFu, 0x10, 0xC0D0, 0, 0xC0D1};
         return CTP_SendCommand(&p);
       },
       kBadArgument, false},
      {"CTP_SendCommand request of 502 bytes goes out",
       [] {
         CommandPacket p{buffer, 502, buffer, 0, 0x10, 0x0001, 0, CTP_REPLY_ACK};
         return CTP_SendCommand(&p);
       },
       NORVEX_OK, true},
      {"CTP_GetStateEx of 0 bytes: the 4-byte record is no match",
       [] {
         const uint8_t selector[4] = {};
         return CTP_GetStateEx(selector, buffer, 0, 0x10);
       },
       CTP_ERR_LENGTH_MISMATCH, true},
      {"LH_GetStateEx of 3 bytes", [] { return LH_GetStateEx(buffer, 3, 0, 0); }, CTP_ERR_LENGTH_MISMATCH,
       true},
      {"LH_FunctionEx with 499 parameter bytes (503 in all)", [] { return LH_FunctionEx(buffer, 499); },
       kTooLong, false},
      {"LH_FunctionEx with 3 parameter bytes (odd)", [] { return LH_FunctionEx(buffer, 3); }, kBadArgument,
       false},
      {"HS_FunctionEx with 0x10000 parameter bytes: low 16 bits, none",
       [] {
         const uint8_t selector[4] = {1, 0, 2, 0};
         return HS_FunctionEx(1, selector, 0x10000u);
       },
       NORVEX_OK, true},
      {"Norvex_WriteSDRAM2 of 0x100001 words (above 2 MiB)",
       [] {
         uint32_t words = 0x100001;
         return Norvex_WriteSDRAM2(buffer, &words, 0);
       },
       kTooLong, false},
      {"Norvex_WriteSDRAM2 of 0xFFFFFFFF words (no wrap)",
       [] {
         uint32_t words = 0xFFFFFFFFu;
         return Norvex_WriteSDRAM2(buffer, &words, 0);
       },
       kTooLong, false},
      {"Norvex_WriteSDRAM2 of 31 words (not a multiple of 64 bytes)",
       [] {
         uint32_t words = 31;
         return Norvex_WriteSDRAM2(buffer, &words, 0);
       },
       kBadArgument, false},
      {"Norvex_WriteSDRAM of 0 words keeps the last result", [] { return Norvex_WriteSDRAM(buffer, 0); },
       NORVEX_OK, false},
      {"NV_ReadSDRAMData of 0 bytes",
       [] {
         uint32_t n = 0;
         return NV_ReadSDRAMData(buffer, &n);
       },
       NORVEX_OK, false},
      {"Norvex_CompressData of 3 bytes (odd byte ignored)",
       [] {
         uint32_t out = 0xFFFF;
         const uint8_t src[3] = {1, 2, 3};
         const uint32_t r = Norvex_CompressData(buffer, &out, src, 3);
         return r == NORVEX_OK && out == 2 ? 0u : 1u;
       },
       0, false},
      {"Norvex_CompressData of 0 bytes",
       [] {
         uint32_t out = 0xFFFF;
         const uint32_t r = Norvex_CompressData(buffer, &out, buffer, 0);
         return r == NORVEX_OK && out == 0 ? 0u : 1u;
       },
       0, false},
  });
}

TEST_F(BadInputTest, UnknownLinkModesSendNothingAnywhere) {
  for (int32_t mode : {0, 5, 7, 11, 13, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(Norvex_SetPrintDataSaveIdle(mode), NORVEX_OK);
    // Opened in that mode, the link is the pseudo link: it counts as open,
    // and commands fail on its handle at once.
    EXPECT_EQ(Norvex_Init(nullptr), NORVEX_OK);
    emulator.Model().ClearReceived();
    emulator.Model().ClearPrintMemory();
    EXPECT_EQ(Norvex_GetPortStatus(), NORVEX_OK);
    uint8_t state[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(NV_GetState(state), NORVEX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(Bytes(state, state + 4), Bytes(4, 0xEE));
    // Bulk data goes nowhere, reported as taken whole.
    Bytes data(128, 0x11);
    uint32_t words = 64;
    EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 0), NORVEX_OK);
    EXPECT_EQ(words, 64u);
    EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
    EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  }
  // A switch to an unknown mode with the device open sends the frame
  // nowhere; the read on the open handle finds no reply: 997, not a hang.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(9);
  emulator.Model().ClearReceived();
  uint8_t record[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  Norvex_SetUSBOvertime(300);
  EXPECT_EQ(NV_GetState(record), NORVEX_ERROR_IO_PENDING);
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  EXPECT_EQ(Bytes(record, record + 4), Bytes(4, 0xEE));
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
  // Back to USB, the device answers again.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  uint8_t state[4];
  EXPECT_EQ(NV_GetState(state), NORVEX_OK);
}

// From 2^31 words on, the doubled count no longer fits 32 bits: refused in
// every link mode before the buffer is read (the buffer here holds 4 KiB;
// under AddressSanitizer a read beyond it fails the run).
TEST_F(BadInputTest, WriteSdramOfTwoToTheThirtyOneWordsOrMoreIsTooLongInEveryMode) {
  auto buffer = std::make_unique<uint8_t[]>(4096);
  for (int32_t mode : {NORVEX_LINK_USB, NORVEX_LINK_TIFF_CAPTURE, NORVEX_LINK_USB_AND_TIFF_CAPTURE,
                       NORVEX_LINK_COMMAND_FILE, NORVEX_LINK_COMPRESSED_FILE, 7}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(Norvex_SetPrintDataSaveIdle(mode), NORVEX_OK);
    for (uint32_t words : {0x80000000u, 0x80000001u, 0xFFFFFFFFu}) {
      EXPECT_EQ(Norvex_WriteSDRAM(buffer.get(), words), kTooLong) << std::hex << words;
    }
  }
  ASSERT_EQ(Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB), NORVEX_OK);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  // The largest count below the limit that the buffer holds still goes out.
  EXPECT_EQ(Norvex_WriteSDRAM(buffer.get(), 2048), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory().size(), 4096u);
}

TEST_F(BadInputTest, BulkWriteWhileOneIsOutstandingIsBusy) {
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kNoCompletion});
  Bytes first(128, 0x01);
  Bytes second(128, 0x02);
  uint32_t words = 64;
  ASSERT_EQ(Norvex_WriteSDRAM2(first.data(), &words, 1), NORVEX_OK);  // left outstanding
  uint32_t more = 64;
  EXPECT_EQ(Norvex_WriteSDRAM2(second.data(), &more, 1), 170u);
  EXPECT_EQ(Norvex_WriteSDRAM2(second.data(), &more, 0), 170u);
  EXPECT_EQ(more, 0u);  // a waited write that could not start moved nothing
  EXPECT_EQ(NV_SentPrintData(second.data(), 128), 170u);
  EXPECT_EQ(Norvex_WriteSDRAM(second.data(), 64), 170u);
  // The outstanding one is completed (cancelled: the device never finishes it).
  uint32_t bytes = 0xFFFFFFFFu;
  Norvex_SetUSBOvertime(300);
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), NORVEX_ERROR_BULK_INCOMPLETE);
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  EXPECT_EQ(bytes, 0u);
  // No write outstanding any more.
  bytes = 0xFFFFFFFFu;
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), NORVEX_ERROR_INVALID_HANDLE);
  EXPECT_EQ(bytes, 0u);
  emulator.Model().ClearBulkWriteFaults();
  emulator.Model().ClearPrintMemory();
  words = 64;
  EXPECT_EQ(Norvex_WriteSDRAM2(second.data(), &words, 0), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), second);
}

// A capture width in the host's INI file that is a multiple of 16 but far too
// wide (2^30 pixels: bands of 4 GiB, whose 32-bit byte count wraps to 0)
// gives the default width, and the capture works.
// A width the capture cannot take (no band progress, or a band size that
// wraps 32 bits) leaves the capture off with a log line; the bulk writes in
// mode 2 still report the whole piece, and no file is left.
TEST_F(BadInputTest, UnusableCaptureWidthLeavesTheCaptureOffAndSaysWhy) {
  const std::string ini = norvex_api_test::IniPath();
  const std::string kept = norvex_api_test::ReadFile(ini);
  const std::string capture = norvex_api_test::ExecutableFolder() + "/bad-width.tif";
  const char* const widths[] = {"0", "-16", "8", "10801", "1048592", "1073741824"};
  for (const char* width : widths) {
    SCOPED_TRACE(width);
    std::remove(capture.c_str());
    {
      std::ofstream out(ini, std::ios::binary | std::ios::trunc);
      out << kept << "\n[PrintData]\nCaptureWidth=" << width << "\nCaptureFile=" << capture << "\n";
    }
    norvex_api_test::LogReader log;
    EXPECT_EQ(Norvex_SetPrintDataSaveIdle(NORVEX_LINK_TIFF_CAPTURE), NORVEX_OK);
    EXPECT_EQ(log.NewText(), std::string("TIFF capture off: CaptureWidth ") + width +
                                 " is not a positive multiple of 16 up to 1048576.|");
    Bytes band(32 * 10800 / 8, 0xA5);
    uint32_t words = static_cast<uint32_t>(band.size() / 2);
    EXPECT_EQ(Norvex_WriteSDRAM2(band.data(), &words, 0), NORVEX_OK);
    EXPECT_EQ(words, band.size() / 2);
    EXPECT_EQ(Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB), NORVEX_OK);
    EXPECT_EQ(log.NewText(), "");
    EXPECT_FALSE(std::ifstream(capture).good()) << "a capture file was left";
  }
  std::ofstream out(ini, std::ios::binary | std::ios::trunc);
  out << kept;
}

}  // namespace
