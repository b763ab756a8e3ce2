// fault_matrix_test.cpp: every kind of fault the device can show, against a
// representative export of every family, table-driven: the code each must
// return, and proof (a canary) that the caller's buffers are untouched when
// the call fails. Afterwards the device must still work.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
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
using norvex::emu::Fault;
using norvex::emu::FaultKind;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xC3;
// The USB time-out of the calls that are to time out; the others wait long
// (norvex_api_test::kPatientTimeoutMs), so that a busy machine cannot make
// them time out.
constexpr uint32_t kTimeoutMs = 150;
using norvex_api_test::kPatientTimeoutMs;
constexpr uint16_t kErrorValue = 0x0007;
// A buffer larger than any record below, so that a write past the record's
// size is seen as well.
constexpr size_t kBufferBytes = 1024;

// What an export family is tried with: the unit it talks to, and a call that
// fills `buffer` on success (or leaves it as it is when it has no reply).
struct Family {
  const char* name;
  uint8_t address;
  // True when the export has a reply that lands in `buffer`.
  bool hasReply;
  std::function<uint32_t(uint8_t* buffer)> call;
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {"NV_GetState (main unit state query)", norvex::emu::kMainUnit, true,
       [](uint8_t* b) { return NV_GetState(b); }},
      {"NV_StartPrint (main unit command)", norvex::emu::kMainUnit, false,
       [](uint8_t* b) {
         // The 64-byte job is the caller's too: it must come back unchanged.
         return NV_StartPrint(b);
       }},
      {"LH_GetSystemState (laser head)", norvex::emu::kLaserHead, true,
       [](uint8_t* b) { return LH_GetSystemState(b); }},
      {"HS_GetSystemState(1) (HS board)", norvex::emu::kHsBoard1, true,
       [](uint8_t* b) { return HS_GetSystemState(1, b); }},
      {"CTP_SendCommand (raw exchange)", norvex::emu::kMainUnit, true,
       [](uint8_t* b) {
         const uint8_t selector[4] = {0, 0, 0, 0};
         CommandPacket packet{};
         packet.requestData = selector;
         packet.requestLength = 4;
         packet.replyData = b;
         packet.replyLength = 4;
         packet.address = NORVEX_ADDR_MAIN_UNIT;
         packet.command = CTP_CMD_GET_STATE_EX;
         packet.replyCommand = 0xC0D1;
         return CTP_SendCommand(&packet);
       }},
      {"NV_GetParaFile (parameter file)", 0x10, true,
       [](uint8_t* b) {
         static_assert(sizeof(MainUnitParaFile) <= kBufferBytes, "the buffer holds the record");
         return NV_GetParaFile(reinterpret_cast<MainUnitParaFile*>(b), 0x80000000u);
       }},
  };
  return families;
}

// One device fault with the code every family must get (address-dependent
// codes are computed from the family's unit).
struct FaultRow {
  const char* name;
  Fault fault;
  std::function<bool(uint32_t code, uint8_t address)> expected;
  const char* expectedText;
  bool timesOut = false;  // the call is to end by its time-out
};

bool Is(uint32_t code, uint32_t want) { return code == want; }

const std::vector<FaultRow>& FaultRows() {
  static const std::vector<FaultRow> rows = {
      {"error reply", Fault{FaultKind::kErrorReply, kErrorValue},
       [](uint32_t c, uint8_t a) { return Is(c, CTP_ERR_DEVICE(a, kErrorValue)); }, "0xE0AA0007"},
      {"bad checksum", Fault{FaultKind::kBadChecksum},
       [](uint32_t c, uint8_t) { return Is(c, CTP_ERR_CHECKSUM); }, "CTP_ERR_CHECKSUM"},
      {"wrong length word", Fault{FaultKind::kWrongLength},
       [](uint32_t c, uint8_t) { return Is(c, CTP_ERR_FRAME_LENGTH); }, "CTP_ERR_FRAME_LENGTH"},
      {"wrong reply size", Fault{FaultKind::kWrongReplySize},
       [](uint32_t c, uint8_t) { return Is(c, CTP_ERR_LENGTH_MISMATCH); }, "CTP_ERR_LENGTH_MISMATCH"},
      {"wrong reply command", Fault{FaultKind::kWrongCommand},
       [](uint32_t c, uint8_t) { return Is(c, CTP_ERR_BAD_REPLY_COMMAND); }, "CTP_ERR_BAD_REPLY_COMMAND"},
      {"no reply", Fault{FaultKind::kNoReply},
       [](uint32_t c, uint8_t) { return Is(c, NORVEX_ERROR_IO_PENDING); }, "997", true},
      {"late reply", Fault{FaultKind::kLateReply, 0, 1, std::nullopt, std::nullopt, 30},
       [](uint32_t c, uint8_t) { return Is(c, NORVEX_ERROR_IO_PENDING); }, "997", true},
      {"wrong unit", Fault{FaultKind::kWrongUnit},
       [](uint32_t c, uint8_t) { return Is(c, CTP_ERR_BAD_ADDRESS); }, "CTP_ERR_BAD_ADDRESS"},
      // The reader may see the connection end before or after the wait.
      {"disconnect", Fault{FaultKind::kDisconnect},
       [](uint32_t c, uint8_t) { return c == NORVEX_ERROR_IO_PENDING || c == 1167u; }, "997 or 1167"},
      // A reply within the time-out is a reply.
      {"delay within the time-out", Fault{FaultKind::kDelay, 0, 1, std::nullopt, std::nullopt, 20},
       [](uint32_t c, uint8_t) { return Is(c, NORVEX_OK); }, "0"},
      {"delay beyond the time-out",
       Fault{FaultKind::kDelay, 0, 1, std::nullopt, std::nullopt, 20 * kTimeoutMs},
       [](uint32_t c, uint8_t) { return Is(c, NORVEX_ERROR_IO_PENDING); }, "997", true},
  };
  return rows;
}

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    Norvex_SetUSBOvertime(kPatientTimeoutMs);
    Reopen();
  }
  void TearDown() override {
    emulator.Unplug();
    Norvex_Init(nullptr);
  }
  // A fresh link for every row: a disconnect leaves the old one broken.
  void Reopen() {
    emulator.Model().ClearFaults();
    emulator.Model().ClearBulkWriteFaults();
    ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
    ASSERT_TRUE(emulator.Model().WaitForHost(true, std::chrono::milliseconds(2000)));
  }

  Emulator emulator;
};

TEST_F(FaultMatrixTest, EveryDeviceFaultAgainstEveryFamily) {
  int rowsRun = 0;
  for (const Family& family : Families()) {
    for (const FaultRow& row : FaultRows()) {
      SCOPED_TRACE(std::string(family.name) + " / " + row.name);
      Reopen();
      emulator.Model().InjectFault(row.fault);
      std::vector<uint8_t> buffer(kBufferBytes, kCanary);
      Norvex_SetUSBOvertime(row.timesOut ? kTimeoutMs : kPatientTimeoutMs);
      const uint32_t code = family.call(buffer.data());
      Norvex_SetUSBOvertime(kPatientTimeoutMs);
      EXPECT_TRUE(row.expected(code, family.address))
          << "got 0x" << std::hex << code << ", expected " << row.expectedText;
      if (code != NORVEX_OK || !family.hasReply) {
        // Failed (or nothing to reply): not one byte of the caller's buffer moved.
        EXPECT_EQ(buffer, std::vector<uint8_t>(kBufferBytes, kCanary));
      } else {
        // A success writes the reply and nothing beyond the largest record.
        EXPECT_NE(buffer, std::vector<uint8_t>(kBufferBytes, kCanary));
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + sizeof(MainUnitParaFile), buffer.end()),
                  std::vector<uint8_t>(kBufferBytes - sizeof(MainUnitParaFile), kCanary));
      }
      // The next command on a fresh link works.
      Reopen();
      uint8_t state[4];
      EXPECT_EQ(NV_GetState(state), NORVEX_OK);
      ++rowsRun;
    }
  }
  EXPECT_EQ(rowsRun, static_cast<int>(Families().size() * FaultRows().size()));
}

// Bulk-write faults do not touch command exchanges: every family still
// succeeds while one is pending, and the fault is left for the next write.
TEST_F(FaultMatrixTest, BulkWriteFaultsLeaveCommandsAlone) {
  for (const Family& family : Families()) {
    SCOPED_TRACE(family.name);
    Reopen();
    emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kNoCompletion});
    std::vector<uint8_t> buffer(kBufferBytes, kCanary);
    EXPECT_EQ(family.call(buffer.data()), NORVEX_OK);
  }
}

// Print data, the family of bulk writes: every bulk-write fault with its code,
// the words it reports, and what reached the print memory. The caller's data
// is never written to.
TEST_F(FaultMatrixTest, EveryBulkWriteFaultAgainstPrintData) {
  struct Row {
    const char* name;
    BulkWriteFault fault;
    uint32_t code;
    uint32_t wordsReported;
    size_t bytesStored;
  } rows[] = {
      {"slow, within the time-out", BulkWriteFault{BulkWriteFaultKind::kSlow, 20}, NORVEX_OK, 64, 128},
      {"slow, beyond the time-out", BulkWriteFault{BulkWriteFaultKind::kSlow, 20 * kTimeoutMs},
       NORVEX_ERROR_BULK_INCOMPLETE, 0, 0},
      {"partial", BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 64}, NORVEX_OK, 32, 64},
      {"no completion", BulkWriteFault{BulkWriteFaultKind::kNoCompletion}, NORVEX_ERROR_BULK_INCOMPLETE, 0,
       0},
  };
  const Bytes data(128, 0x3C);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reopen();
    emulator.Model().ClearPrintMemory();
    emulator.Model().InjectBulkWriteFault(row.fault);
    Bytes copy = data;
    uint32_t words = 64;
    Norvex_SetUSBOvertime(row.code == NORVEX_OK ? kPatientTimeoutMs : kTimeoutMs);
    EXPECT_EQ(Norvex_WriteSDRAM2(copy.data(), &words, 0), row.code);
    Norvex_SetUSBOvertime(kPatientTimeoutMs);
    EXPECT_EQ(words, row.wordsReported);
    EXPECT_EQ(copy, data);
    // A cancelled write may still be stored by the device, never more than sent.
    emulator.Model().ClearBulkWriteFaults();
    EXPECT_EQ(emulator.Model().PrintMemory().size(), row.bytesStored);
    // The path is free again: the next write goes through whole.
    emulator.Model().ClearPrintMemory();
    words = 64;
    EXPECT_EQ(Norvex_WriteSDRAM2(copy.data(), &words, 0), NORVEX_OK);
    EXPECT_EQ(words, 64u);
    EXPECT_EQ(emulator.Model().PrintMemory(), data);
  }
}

// Device faults of command exchanges do not touch bulk writes: every kind
// pending, NV_SentPrintData still moves its bytes and returns 0.
TEST_F(FaultMatrixTest, DeviceFaultsLeaveBulkWritesAlone) {
  const Bytes data(256, 0x5A);
  for (const FaultRow& row : FaultRows()) {
    SCOPED_TRACE(row.name);
    Reopen();
    emulator.Model().ClearPrintMemory();
    emulator.Model().InjectFault(row.fault);
    Bytes copy = data;
    EXPECT_EQ(NV_SentPrintData(copy.data(), static_cast<uint32_t>(copy.size())), NORVEX_OK);
    EXPECT_EQ(copy, data);
    EXPECT_EQ(emulator.Model().PrintMemory(), data);
  }
}

}  // namespace
