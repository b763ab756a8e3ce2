// failure_text_test.cpp: the failure record and its texts, byte for byte in
// GBK, and the record kept whole while threads fail and read at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "log/driver_log.h"
#include "protocol/device_link.h"
#include "protocol/failure_record.h"

namespace norvex {
namespace {

// GBK bytes of the texts, spelled out independently of the library's table.
const std::string kErrorNumberGbk = "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5";
const std::string kNoFurtherGbk =
    "\xCE\xDE\xB7\xA8\xBD\xF8\xD2\xBB\xB2\xBD\xBB\xF1\xC8\xA1\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2!";
const std::string kCodeIsGbk = "\xB4\xED\xCE\xF3\xC2\xEB\xCE\xAA";

TEST(FailureText, NothingRecordedYetGivesTheDetailedTextOfZero) {
  FailureRecord record;
  std::string text;
  EXPECT_EQ(FormatFailureText(record, 0, text), 1);
  EXPECT_EQ(text, kErrorNumberGbk +
                      " 0x00000000\n\tSend:(0x0000 , 0x0000 , 0x00)\n\t Rec:(0x0000 , 0x0000 , 0x00)\n");
}

TEST(FailureText, LengthMismatchOfAnAckWithData) {
  uint8_t request[64] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05};
  CommandPacket p{};
  p.requestData = request;
  p.requestLength = 64;
  p.address = 16;
  p.command = 0x0820;
  // What the reply check leaves after an acknowledgement with 4 data bytes.
  p.replyAddress = 0x1001;
  p.replyLength = 4;
  p.replyCommand = CTP_REPLY_ACK;
  FailureRecord record;
  FillFailureRecord(record, p, CTP_ERR_LENGTH_MISMATCH);
  std::string text;
  EXPECT_EQ(FormatFailureText(record, CTP_ERR_LENGTH_MISMATCH, text), 1);
  EXPECT_EQ(text, kErrorNumberGbk +
                      " 0xE0000004\n"
                      "\tSend:(0x0820 , 0x0040 , 0x10)\n"
                      "\t Rec:(0x01C0 , 0x0004 , 0x1001)\n"
                      "\tData:( 0001 0002 0003 0004 )\n");
}

TEST(FailureText, DataLineHasHalfTheRequestBytesUpToFourWords) {
  struct Case {
    uint32_t length;
    const char* dataLine;
  } cases[] = {
      {0, ""},
      {1, ""},
      {2, "\tData:( 0201 )\n"},
      {4, "\tData:( 0201 0403 )\n"},
      {7, "\tData:( 0201 0403 0605 )\n"},
      {8, "\tData:( 0201 0403 0605 0807 )\n"},
      {500, "\tData:( 0201 0403 0605 0807 )\n"},
  };
  const uint8_t request[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const Case& c : cases) {
    CommandPacket p{};
    p.requestData = request;
    p.requestLength = c.length;
    FailureRecord record;
    FillFailureRecord(record, p, 7);
    std::string text;
    FormatFailureText(record, 7, text);
    std::string tail = text.substr(text.find(")\n\t Rec:") + 8);
    tail = tail.substr(tail.find('\n') + 1);
    EXPECT_EQ(tail, c.dataLine) << c.length;
  }
}

TEST(FailureText, ShortRequestKeepsOlderBytesOfTheHead) {
  const uint8_t first[8] = {1, 1, 2, 2, 3, 3, 4, 4};
  const uint8_t second[2] = {9, 9};
  CommandPacket p{};
  p.requestData = first;
  p.requestLength = 8;
  FailureRecord record;
  FillFailureRecord(record, p, 1);
  p.requestData = second;
  p.requestLength = 2;
  FillFailureRecord(record, p, 2);
  EXPECT_EQ(std::vector<uint8_t>(record.requestHead, record.requestHead + 8),
            (std::vector<uint8_t>{9, 9, 2, 2, 3, 3, 4, 4}));
}

TEST(FailureText, AnotherCodeGivesTheMismatchNotice) {
  FailureRecord record;
  record.resultCode = CTP_ERR_CHECKSUM;
  std::string text;
  EXPECT_EQ(FormatFailureText(record, 0x12345678, text), 0);
  EXPECT_EQ(text, kNoFurtherGbk + "\n" + kCodeIsGbk + "0xE0000008/0x12345678\n");
}

TEST(DeviceLinkFailure, RecordFailureLogsTheDetailedText) {
  testing::FakeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib(host, driver, windows);
  CDeviceLink& link = lib.Link();
  CommandPacket p{};
  p.address = 0x42;
  p.command = 0x0401;
  p.replyCommand = CTP_REPLY_ACK;
  link.RecordFailure(p, CTP_ERR_NO_DEVICE);
  EXPECT_NE(
      host.Log().find("09:30:15:042    " + kErrorNumberGbk +
                      " 0xE0000010\n\tSend:(0x0401 , 0x0000 , 0x42)\n\t Rec:(0x01C0 , 0x0000 , 0x00)\n"),
      std::string::npos)
      << host.Log();
  EXPECT_EQ(std::string(link.ErrorInfo(CTP_ERR_NO_DEVICE)).substr(0, 8), kErrorNumberGbk);
  EXPECT_EQ(std::string(link.ErrorInfo(5)).substr(0, kNoFurtherGbk.size()), kNoFurtherGbk);
}

TEST(DeviceLinkFailure, ErrorTextsStayWholeWhileOtherThreadsFail) {
  testing::FakeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib(host, driver, windows);
  CDeviceLink& link = lib.Link();
  std::atomic<bool> stop{false};
  // Writers alternate between two packets whose every field differs.
  std::thread writer([&] {
    const uint8_t a[8] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    const uint8_t b[8] = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
    CommandPacket pa{a, 8, nullptr, 0x1111, 0x11, 0x1111, 0x1111, 0x1111};
    CommandPacket pb{b, 8, nullptr, 0x2222, 0x22, 0x2222, 0x2222, 0x2222};
    for (int i = 0; i < 2000 && !stop; ++i) link.RecordFailure(i % 2 ? pa : pb, 0x77);
  });
  const std::string kA =
      " 0x00000077\n\tSend:(0x1111 , 0x0008 , 0x11)\n\t Rec:(0x1111 , 0x1111 , 0x1111)\n\tData:( 1111 1111 "
      "1111 1111 )\n";
  const std::string kB =
      " 0x00000077\n\tSend:(0x2222 , 0x0008 , 0x22)\n\t Rec:(0x2222 , 0x2222 , 0x2222)\n\tData:( 2222 2222 "
      "2222 2222 )\n";
  std::vector<std::thread> readers;
  std::atomic<int> torn{0};
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        const char* text = link.ErrorInfo(0x77);
        std::string copy = text;
        if (copy.rfind(kErrorNumberGbk, 0) == 0) {
          std::string rest = copy.substr(kErrorNumberGbk.size());
          if (rest != kA && rest != kB) ++torn;
        }
      }
    });
  }
  for (auto& t : readers) t.join();
  stop = true;
  writer.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace norvex
