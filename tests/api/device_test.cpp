// device_test.cpp: whole commands through norvex.h against the emulator:
// wire bytes, result codes, the two log entries of every failure, exclusive
// open, the command file, bad arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "emulator_session.h"
#include "endpoint_client.h"
#include "norvex.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "norvex_posix.h"
#endif

namespace {

using norvex::emu::Emulator;
using norvex::emu::Fault;
using norvex::emu::FaultKind;
using norvex_api_test::LogReader;
using norvex_api_test::ReadFile;
using Bytes = std::vector<uint8_t>;

const std::string kErrorNumberGbk = "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5";

class DeviceTest : public norvex_api_test::EmulatorSessionTest {
 protected:
  void SetUp() override {
    EmulatorSessionTest::SetUp();
    log.Mark();
  }
  uint32_t GeneralState(uint8_t* record, uint32_t address = NORVEX_ADDR_MAIN_UNIT) {
    const uint8_t selector[4] = {0, 0, 0, 0};
    return CTP_GetStateEx(selector, record, 4, address);
  }

  LogReader log;
};

TEST_F(DeviceTest, GeneralStateQueryByteForByte) {
  uint8_t record[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(GeneralState(record), NORVEX_OK);
  EXPECT_EQ(Bytes(record, record + 4), (Bytes{1, 0, 0, 0}));
  ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 1u);
  EXPECT_EQ(emulator.Model().ReceivedFrames()[0],
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0, 0, 0, 0, 0x33, 0x07}));
  EXPECT_EQ(log.NewText(), "");
  EXPECT_EQ(Norvex_GetPortStatus(), NORVEX_OK);
}

TEST_F(DeviceTest, RecordsOfEveryUnitAndAnyLength) {
  emulator.Model().SetStateRecord(norvex::emu::kLaserHead, 0x0001, 0x0002, Bytes(40, 0x42));
  std::vector<uint8_t> record(500, 0);
  const uint8_t selector[4] = {0x01, 0x00, 0x02, 0x00};
  EXPECT_EQ(CTP_GetStateEx(selector, record.data(), 0xFFFFFFFF, NORVEX_ADDR_LASER_HEAD), NORVEX_OK);
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 41), [] {
    Bytes b(40, 0x42);
    b.push_back(0);
    return b;
  }());
  EXPECT_EQ(CTP_GetStateEx(selector, record.data(), 4, NORVEX_ADDR_LASER_HEAD), CTP_ERR_LENGTH_MISMATCH);
}

TEST_F(DeviceTest, AbsentBoardIsAnsweredByTheMainUnit) {
  emulator.Model().SetBoardPresent(norvex::emu::kHsBoard1, false);
  uint8_t record[4];
  EXPECT_EQ(GeneralState(record, NORVEX_ADDR_HS_BOARD(1)), CTP_ERR_MAIN_UNIT_REPLIED);
}

TEST_F(DeviceTest, FunctionCallSendsFourBytesAndRejectsAnAckWithData) {
  const uint8_t selector[4] = {0x05, 0x00, 0x06, 0x00};
  EXPECT_EQ(NV_FunctionEx(selector), NORVEX_OK);
  ASSERT_EQ(emulator.Model().FunctionCalls().size(), 1u);
  EXPECT_EQ(emulator.Model().FunctionCalls()[0].group, 5);
  EXPECT_EQ(emulator.Model().FunctionCalls()[0].item, 6);
  EXPECT_EQ(emulator.Model().ReceivedFrames()[0].size(), 14u);
  emulator.Model().InjectFault(Fault{FaultKind::kWrongReplySize, 4});
  EXPECT_EQ(NV_FunctionEx(selector), CTP_ERR_LENGTH_MISMATCH);
}

// Every kind of fault of the device, with the code the command returns and
// the summary line that the log shows before the failure text.
TEST_F(DeviceTest, EveryFaultGivesItsCodeAndTwoLogEntries) {
  struct Case {
    const char* name;
    Fault fault;
    uint32_t address;
    uint32_t code;
  } cases[] = {
      {"error reply", Fault{FaultKind::kErrorReply, 7}, norvex::emu::kMainUnit, 0xE0100007},
      {"board error reply", Fault{FaultKind::kErrorReply, 0x1234}, norvex::emu::kHsBoard0, 0xE0201234},
      {"bad checksum", Fault{FaultKind::kBadChecksum}, norvex::emu::kMainUnit, CTP_ERR_CHECKSUM},
      {"wrong length", Fault{FaultKind::kWrongLength}, norvex::emu::kMainUnit, CTP_ERR_FRAME_LENGTH},
      {"wrong size", Fault{FaultKind::kWrongReplySize}, norvex::emu::kMainUnit, CTP_ERR_LENGTH_MISMATCH},
      {"wrong command", Fault{FaultKind::kWrongCommand}, norvex::emu::kMainUnit, CTP_ERR_BAD_REPLY_COMMAND},
      {"wrong unit", Fault{FaultKind::kWrongUnit}, norvex::emu::kLaserHead, CTP_ERR_BAD_ADDRESS},
      {"no reply", Fault{FaultKind::kNoReply}, norvex::emu::kMainUnit, NORVEX_ERROR_IO_PENDING},
  };
  for (const Case& c : cases) {
    emulator.Model().InjectFault(c.fault);
    log.Mark();
    uint8_t record[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    // Only the call that is to time out waits briefly.
    Norvex_SetUSBOvertime(c.code == NORVEX_ERROR_IO_PENDING ? 150 : norvex_api_test::kPatientTimeoutMs);
    EXPECT_EQ(GeneralState(record, c.address), c.code) << c.name;
    Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
    EXPECT_EQ(Bytes(record, record + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE})) << c.name;
    std::vector<std::string> lines = log.NewLines();
    ASSERT_GE(lines.size(), 4u) << c.name;
    char summary[128];
    std::snprintf(summary, sizeof(summary),
                  "Communication Fail! cmd = 0xC0D0 , addr = 0x%02X , return = 0x%08X", c.address, c.code);
    EXPECT_EQ(lines[0], summary) << c.name;
    char number[32];
    std::snprintf(number, sizeof(number), " 0x%08X", c.code);
    EXPECT_EQ(lines[1], kErrorNumberGbk + number) << c.name;
    EXPECT_EQ(std::string(CTP_GetErrorInfo(c.code)).substr(0, 8), kErrorNumberGbk) << c.name;
    // The device still works for the next command.
    EXPECT_EQ(GeneralState(record), NORVEX_OK) << c.name;
  }
}

TEST_F(DeviceTest, LateReplyIsDroppedNotTakenForTheNextAnswer) {
  Norvex_SetUSBOvertime(100);
  emulator.Model().SetStateRecord(0x10, 0, 1, Bytes{0xAA, 0xAA, 0xAA, 0xAA});
  emulator.Model().SetStateRecord(0x10, 0, 2, Bytes{0xBB, 0xBB, 0xBB, 0xBB});
  emulator.Model().InjectFault(Fault{FaultKind::kLateReply, 0, 1, std::nullopt, std::nullopt, 50});
  const uint8_t first[4] = {0, 0, 1, 0};
  const uint8_t second[4] = {0, 0, 2, 0};
  uint8_t record[4] = {};
  EXPECT_EQ(CTP_GetStateEx(first, record, 4, 0x10), NORVEX_ERROR_IO_PENDING);
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  EXPECT_EQ(CTP_GetStateEx(second, record, 4, 0x10), NORVEX_OK);
  EXPECT_EQ(Bytes(record, record + 4), (Bytes{0xBB, 0xBB, 0xBB, 0xBB}));
}

TEST_F(DeviceTest, UsbTimeoutZeroCancelsAtOnce) {
  EXPECT_EQ(Norvex_SetUSBOvertime(0), 0u);
  emulator.Model().InjectFault(Fault{FaultKind::kNoReply});
  uint8_t record[4];
  EXPECT_EQ(GeneralState(record), NORVEX_ERROR_IO_PENDING);
}

TEST_F(DeviceTest, DisconnectInTheMiddleFailsUntilTheLinkIsOpenedAgain) {
  emulator.Model().InjectFault(Fault{FaultKind::kDisconnect});
  uint8_t record[4];
  const uint32_t first = GeneralState(record);
  EXPECT_TRUE(first == NORVEX_ERROR_IO_PENDING || first == 1167u) << first;
  EXPECT_EQ(GeneralState(record), 1167u);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  EXPECT_EQ(GeneralState(record), NORVEX_OK);
}

// A second opener of the device, a raw connection of another host. Not
// against the stand-in driver under wine: there a second opener is a second
// CreateFileA, which Wine 8 lets through whatever the driver answers (the
// stand-in then refuses that handle's transfers); over TCP the device's own
// opening decides, on every platform.
TEST_F(DeviceTest, DeviceHeldByAnotherHostCannotBeOpened) {
#ifdef _WIN32
  if (!norvex_api_test::OverTcp()) GTEST_SKIP() << "Wine 8 lets a second opener of the stand-in through";
#endif
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);  // keeps the device
  // Another host's open attempt is refused while this one holds it...
  {
    norvex::test_support::EndpointClient other(emulator.EndpointPath());
    EXPECT_EQ(other.OpenStatus(), 5);  // OPEN, status 5: busy
  }
  EXPECT_EQ(emulator.Model().BusyRefusals(), 1u);
  // ...and this host cannot open it while another holds it.
  emulator.DropHost();
  ASSERT_TRUE(emulator.Model().WaitForHost(false, std::chrono::milliseconds(2000)));
  norvex::test_support::EndpointClient holder(emulator.EndpointPath());
  ASSERT_EQ(holder.OpenStatus(), 0);
  ASSERT_TRUE(emulator.Model().WaitForHost(true, std::chrono::milliseconds(2000)));
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(Norvex_GetPortStatus(), CTP_ERR_NO_DEVICE);
  // Once the other host lets go, the device is this host's again.
  holder.Close();
  ASSERT_TRUE(emulator.Model().WaitForHost(false, std::chrono::milliseconds(2000)));
  EXPECT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  EXPECT_EQ(emulator.Model().BusyRefusals(), 2u);
}

// An endpoint that others may write is not trusted with the print data:
// no device, its reason for the host, and a log line that says why.
#ifndef _WIN32
TEST_F(DeviceTest, AnEndpointOthersMayWriteIsRefusedWithALogLine) {
  if (norvex_api_test::OverTcp()) GTEST_SKIP() << "a TCP address has no socket file";
  ASSERT_EQ(::chmod(emulator.EndpointPath().c_str(), 0666), 0);
  log.Mark();
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NorvexHost_GetOpenError(), 1307u);
  EXPECT_EQ(log.NewText(),
            "Close Device!|Open Device Fail! The device folder or endpoint belongs to another user or others "
            "may write it (error "
            "1307).|");
  ASSERT_EQ(::chmod(emulator.EndpointPath().c_str(), 0600), 0);
  EXPECT_EQ(Norvex_Init(nullptr), NORVEX_OK);
}
#endif

TEST_F(DeviceTest, NoDeviceMeansNoDeviceForEveryCommand) {
  emulator.Unplug();
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  log.Mark();
  uint8_t record[4];
  EXPECT_EQ(GeneralState(record), CTP_ERR_NO_DEVICE);
  std::vector<std::string> lines = log.NewLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Device disconnect! cmd = 0xC0D0 , addr = 0x10");
  EXPECT_EQ(lines[1], kErrorNumberGbk + " 0xE0000010");
}

TEST_F(DeviceTest, SendCommandIsABareExchange) {
  uint8_t record[500];
  const uint8_t selector[4] = {0, 0, 0, 0};
  CommandPacket packet{selector, 4, record, 0xFFFFFFFF, 0x10, 0xC0D0, 0, 0xC0D1};
  EXPECT_EQ(CTP_SendCommand(&packet), NORVEX_OK);
  EXPECT_EQ(packet.replyLength, 4u);
  EXPECT_EQ(packet.replyAddress, 0x1001);
  // Failures are neither logged nor recorded.
  emulator.Model().InjectFault(Fault{FaultKind::kBadChecksum});
  packet.replyLength = 4;
  EXPECT_EQ(CTP_SendCommand(&packet), CTP_ERR_CHECKSUM);
  EXPECT_EQ(log.NewText(), "");
  EXPECT_NE(std::string(CTP_GetErrorInfo(CTP_ERR_CHECKSUM)).substr(0, 8), kErrorNumberGbk);
}

// A raw exchange beside locked commands on another thread gets its own
// reply every time: the two never interleave on the wire.
TEST_F(DeviceTest, SendCommandBesideLockedCommandsGetsItsOwnReplies) {
  emulator.Model().SetStateRecord(0x10, 0x0123, 0x0456,
                                  Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8});
  std::atomic<bool> stop{false};
  std::atomic<int> kernelFailures{0};
  std::thread names([&] {
    char name[500];
    while (!stop) {
      if (NV_GetKernelName(name) != NORVEX_OK) ++kernelFailures;
    }
  });
  const uint8_t selector[4] = {0x23, 0x01, 0x56, 0x04};
  int wrong = 0;
  for (int i = 0; i < 200; ++i) {
    uint8_t record[500] = {};
    CommandPacket packet{selector, 4, record, 0xFFFFFFFF, 0x10, 0xC0D0, 0, 0xC0D1};
    const uint32_t result = CTP_SendCommand(&packet);
    if (result != NORVEX_OK || packet.replyLength != 8 || record[0] != 0xA1 || record[7] != 0xA8) ++wrong;
  }
  stop = true;
  names.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(kernelFailures.load(), 0);
}

TEST_F(DeviceTest, BadArgumentsSendNothing) {
  uint8_t record[4];
  const uint8_t selector[4] = {};
  EXPECT_EQ(CTP_SendCommand(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(CTP_GetStateEx(nullptr, record, 4, 0x10), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(CTP_GetStateEx(selector, nullptr, 4, 0x10), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NV_FunctionEx(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  CommandPacket anyLengthNoBuffer{selector, 4, nullptr, 0xFFFFFFFF, 0x10, 0xC0D0, 0, 0xC0D1};
  EXPECT_EQ(CTP_SendCommand(&anyLengthNoBuffer), NORVEX_ERR_INVALID_ARGUMENT);
  for (uint32_t expected : {1u, 4u, 500u}) {
    CommandPacket exactLengthNoBuffer{selector, 4, nullptr, expected, 0x10, 0xC0D0, 0, 0xC0D1};
    EXPECT_EQ(CTP_SendCommand(&exactLengthNoBuffer), NORVEX_ERR_INVALID_ARGUMENT) << expected;
  }
  std::vector<uint8_t> big(503);
  CommandPacket oversize{big.data(), 503, nullptr, 0, 0x10, 0x0820, 0, CTP_REPLY_ACK};
  EXPECT_EQ(CTP_SendCommand(&oversize), NORVEX_ERR_LENGTH_LIMIT);
  CommandPacket odd{big.data(), 5, nullptr, 0, 0x10, 0x0820, 0, CTP_REPLY_ACK};
  EXPECT_EQ(CTP_SendCommand(&odd), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
}

TEST_F(DeviceTest, CommandFileModeHoldsExactlyTheFramesSent) {
#ifdef _WIN32
  const std::string separator = "\\";
#else
  const std::string separator = "/";
#endif
  const std::string folder = norvex_api_test::DeviceFolder() + separator + "debug";
  ASSERT_TRUE(norvex_api_test::MakeFolder(folder));
  ASSERT_EQ(Norvex_SetDebugFolder((folder + separator).c_str()), NORVEX_OK);
  ASSERT_EQ(Norvex_SetPrintDataSaveIdle(NORVEX_LINK_COMMAND_FILE), NORVEX_OK);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  uint8_t record[4];
  const uint8_t selector[4] = {0x00, 0x30, 0x00, 0x00};
  EXPECT_EQ(CTP_GetStateEx(selector, record, 4, 0x10), NORVEX_ERROR_INVALID_HANDLE);
  EXPECT_EQ(NV_FunctionEx(selector), NORVEX_ERROR_INVALID_HANDLE);
  // The library keeps the file to itself until the link closes (on Windows
  // no one else may even read it meanwhile): a mode without files, opened
  // anew, closes it.
  Norvex_SetPrintDataSaveIdle(99);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  EXPECT_EQ(ReadFile(folder + separator + "CommandFile.bin"),
            std::string("\x4D\x45\x10\x01\x06\x00\xD0\xC0\x00\x30\x00\x00\x33\x37"
                        "\x4D\x45\x10\x01\x06\x00\xD8\xC0\x00\x30\x00\x00\x3B\x37",
                        28));
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
  // Modes without a device count as open.
  for (int32_t mode : {2, 12, 99}) {
    Norvex_SetPrintDataSaveIdle(mode);
    EXPECT_EQ(Norvex_Init(nullptr), NORVEX_OK);
    EXPECT_EQ(Norvex_GetPortStatus(), NORVEX_OK);
  }
}

TEST(Version, IsTheHeadersVersion) {
  uint8_t version[4] = {};
  EXPECT_EQ(Norvex_GetVersion(version), version);
  EXPECT_EQ(Bytes(version, version + 4),
            (Bytes{NORVEX_VERSION_MAJOR, NORVEX_VERSION_MINOR, NORVEX_VERSION_PATCH, 0}));
  EXPECT_EQ(NORVEX_VERSION, static_cast<uint32_t>(version[0] << 16 | version[1] << 8 | version[2]));
  // The number grows with each part, the major version counting most.
  EXPECT_EQ(NORVEX_MAKE_VERSION(3, 2, 1), 0x030201u);
  EXPECT_LT(NORVEX_MAKE_VERSION(3, 2, 255), NORVEX_MAKE_VERSION(3, 3, 0));
  EXPECT_LT(NORVEX_MAKE_VERSION(3, 255, 255), NORVEX_MAKE_VERSION(4, 0, 0));
  EXPECT_EQ(Norvex_SetUSBOvertime(3000), 3000u);
  EXPECT_EQ(Norvex_SetUSBOvertime(10000), 10000u);
}

}  // namespace
