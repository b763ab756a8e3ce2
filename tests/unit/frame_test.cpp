// frame_test.cpp: request frames byte for byte, and every step of the reply
// check in its order, with the packet fields each step leaves behind.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace norvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(const CommandPacket& packet, uint32_t* code = nullptr) {
  FrameBuffer tx = {};
  uint32_t length = 0;
  uint32_t result = BuildRequestFrame(packet, tx, length);
  if (code) *code = result;
  return Bytes(tx, tx + length);
}

CommandPacket Packet(uint16_t address, uint16_t command, const void* data, uint32_t length, void* reply,
                     uint32_t replyLength, uint16_t replyCommand) {
  CommandPacket p{};
  p.requestData = data;
  p.requestLength = length;
  p.replyData = reply;
  p.replyLength = replyLength;
  p.address = address;
  p.command = command;
  p.replyCommand = replyCommand;
  return p;
}

uint32_t Check(CommandPacket& packet, const Bytes& reply, uint32_t received) {
  FrameBuffer rx = {};
  std::memcpy(rx, reply.data(), std::min(reply.size(), sizeof(rx)));
  return CheckReplyFrame(packet, rx, received);
}
uint32_t Check(CommandPacket& packet, const Bytes& reply) {
  return Check(packet, reply, static_cast<uint32_t>(reply.size()));
}

// Appends the checksum, as a device does.
Bytes Seal(Bytes frame) {
  frame.resize(frame.size() + 2);
  FrameBuffer buffer = {};
  std::memcpy(buffer, frame.data(), frame.size());
  uint16_t sum = FrameChecksum(buffer);
  frame[frame.size() - 2] = static_cast<uint8_t>(sum);
  frame[frame.size() - 1] = static_cast<uint8_t>(sum >> 8);
  return frame;
}

TEST(RequestFrame, GoldenFrames) {
  const uint8_t query[] = {0x00, 0x30, 0x00, 0x00};
  EXPECT_EQ(Build(Packet(0x10, 0xC0D0, query, 4, nullptr, 4, 0xC0D1)),
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x30, 0x00, 0x00, 0x33, 0x37}));
  const uint8_t general[] = {0, 0, 0, 0};
  EXPECT_EQ(Build(Packet(0x10, 0xC0D0, general, 4, nullptr, 4, 0xC0D1)),
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07}));
  EXPECT_EQ(Build(Packet(16, 0x0820, nullptr, 0, nullptr, 0, CTP_REPLY_ACK)),
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x02, 0x00, 0x20, 0x08, 0x7F, 0x4E}));
}

TEST(RequestFrame, AddressLowByteTravelsAndLengthWordCountsData) {
  uint8_t data[12] = {};
  Bytes frame = Build(Packet(0x1242, 0xC0D8, data, 12, nullptr, 0, CTP_REPLY_ACK));
  ASSERT_EQ(frame.size(), 22u);
  EXPECT_EQ(frame[2], 0x42);
  EXPECT_EQ(frame[3], 0x01);
  EXPECT_EQ(frame[4], 14);  // 12 + 2
}

TEST(RequestFrame, LargestRequestFillsTheBufferExactly) {
  std::vector<uint8_t> data(502, 0xAB);
  uint32_t code = 1;
  Bytes frame = Build(Packet(16, 0x0842, data.data(), 502, nullptr, 0, CTP_REPLY_ACK), &code);
  EXPECT_EQ(code, NORVEX_OK);
  EXPECT_EQ(frame.size(), 512u);
}

TEST(RequestFrame, RefusedRequestsWriteNothing) {
  std::vector<uint8_t> data(0x10006, 0x11);
  struct Case {
    uint32_t length;
    const void* data;
    uint32_t code;
  } cases[] = {
      {503, data.data(), NORVEX_ERR_LENGTH_LIMIT},
      {0x10004, data.data(), NORVEX_ERR_LENGTH_LIMIT},  // low 16 bits alone would look small
      {0xFFFFFFFF, data.data(), NORVEX_ERR_LENGTH_LIMIT},
      {5, data.data(), NORVEX_ERR_INVALID_ARGUMENT},  // odd: checksum would cover a data byte
      {1, data.data(), NORVEX_ERR_INVALID_ARGUMENT},
      {4, nullptr, NORVEX_ERR_INVALID_ARGUMENT},
  };
  for (const Case& c : cases) {
    FrameBuffer tx;
    std::memset(tx, 0xEE, sizeof(tx));
    uint32_t length = 77;
    CommandPacket p = Packet(16, 0x0820, c.data, c.length, nullptr, 0, CTP_REPLY_ACK);
    EXPECT_EQ(BuildRequestFrame(p, tx, length), c.code) << c.length;
    EXPECT_EQ(length, 77u);
    for (uint8_t b : tx) ASSERT_EQ(b, 0xEE);
  }
}

TEST(Checksum, TakesItsWordCountFromTheLengthWordAndStaysInTheBuffer) {
  FrameBuffer frame = {};
  StoreWord(frame + 0, 0x0001);
  StoreWord(frame + 4, 0xFFFF);  // claims far more words than the buffer has
  std::memset(frame + 8, 0xFF, sizeof(frame) - 8);
  // 256 words at most: 1 + 0xFFFF + 252 * 0xFFFF, modulo 65536.
  uint32_t expected = 1u + 0xFFFFu + 252u * 0xFFFFu;
  EXPECT_EQ(FrameChecksum(frame), static_cast<uint16_t>(expected));
}

const Bytes kStateReply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1,
                           0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
const Bytes kAck = {0x4D, 0x45, 0x01, 0x10, 0x02, 0x00, 0xC0, 0x01, 0x10, 0x57};
const Bytes kErrorReply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xC1,
                           0x01, 0x05, 0x00, 0x00, 0x00, 0x1A, 0x57};

TEST(ReplyCheck, GoldenStateReplyIsCopied) {
  uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  CommandPacket p = Packet(16, 0xC0D0, nullptr, 0, reply, 4, 0xC0D1);
  EXPECT_EQ(Check(p, kStateReply), NORVEX_OK);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(p.replyLength, 4u);
  EXPECT_EQ(p.replyAddress, 0x1001);
  EXPECT_EQ(p.replyCommand, 0xC0D1);
}

TEST(ReplyCheck, GoldenAcknowledgement) {
  CommandPacket p = Packet(16, 0x0820, nullptr, 0, nullptr, 0, CTP_REPLY_ACK);
  EXPECT_EQ(Check(p, kAck), NORVEX_OK);
  EXPECT_EQ(p.replyLength, 0u);
}

TEST(ReplyCheck, ErrorReplyWinsWhateverWasExpectedAndCopiesNothing) {
  uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  CommandPacket p = Packet(16, 0xC0D0, nullptr, 0, reply, 4, 0xC0D1);
  EXPECT_EQ(Check(p, kErrorReply), 0xE0100005u);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(p.replyCommand, CTP_REPLY_ERROR);
  // The same reply to a board: it came from the main unit instead.
  CommandPacket board = Packet(0x42, 0xC0D0, nullptr, 0, reply, 4, 0xC0D1);
  EXPECT_EQ(Check(board, kErrorReply), CTP_ERR_MAIN_UNIT_REPLIED);
  EXPECT_EQ(board.replyAddress, 0x1001);
  EXPECT_EQ(board.replyCommand, 0xC0D1);  // not reached: still the expectation
  EXPECT_EQ(board.replyLength, 4u);
  // A board's own error reply carries its address in the code.
  CommandPacket hs = Packet(0x21, 0xC0D0, nullptr, 0, reply, 4, 0xC0D1);
  EXPECT_EQ(Check(hs, Seal({0x4D, 0x45, 0x01, 0x21, 0x06, 0x00, 0xC1, 0x01, 0x07, 0x00, 0, 0})), 0xE0210007u);
}

TEST(ReplyCheck, ExpectedLengthAboveFiveHundredAcceptsAnyMultipleOfFour) {
  std::vector<uint8_t> reply(500, 0xEE);
  for (uint32_t n : {0u, 4u, 100u, 500u}) {
    Bytes frame = {
        0x4D, 0x45, 0x01, 0x10, static_cast<uint8_t>((n + 2) & 0xFF), static_cast<uint8_t>((n + 2) >> 8),
        0xD1, 0xC0};
    for (uint32_t i = 0; i < n; ++i) frame.push_back(static_cast<uint8_t>(i));
    CommandPacket p = Packet(16, 0xC0D0, nullptr, 0, reply.data(), kAnyReplyLength, 0xC0D1);
    EXPECT_EQ(Check(p, Seal(frame)), NORVEX_OK) << n;
    EXPECT_EQ(p.replyLength, n);
    if (n > 0) {
      EXPECT_EQ(reply[n - 1], static_cast<uint8_t>(n - 1));
    }
  }
  // Only the low 16 bits of the expectation count: 0x00010000 means exactly 0.
  CommandPacket zero = Packet(16, 0xC0D0, nullptr, 0, reply.data(), 0x00010000, 0xC0D1);
  EXPECT_EQ(Check(zero, kStateReply), CTP_ERR_LENGTH_MISMATCH);
}

// Each row breaks one thing of a good state reply; the checks must fire in
// their fixed order, and the packet fields written before the failure stay.
struct ReplyCase {
  const char* name;
  Bytes reply;
  int32_t receivedDelta;  // received byte count relative to the reply's size
  uint16_t address;
  uint32_t expectedCode;
  uint16_t replyAddress;  // packet fields after the check
  uint32_t replyLength;
  uint16_t replyCommand;
};

class ReplyCheckOrder : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyCheckOrder, FiresTheFirstFailingStep) {
  const ReplyCase& c = GetParam();
  uint8_t reply[500];
  std::memset(reply, 0xEE, sizeof(reply));
  CommandPacket p = Packet(c.address, 0xC0D0, nullptr, 0, reply, 4, 0xC0D1);
  p.replyAddress = 0xAAAA;
  uint32_t received = static_cast<uint32_t>(static_cast<int32_t>(c.reply.size()) + c.receivedDelta);
  EXPECT_EQ(Check(p, c.reply, received), c.expectedCode);
  EXPECT_EQ(p.replyAddress, c.replyAddress);
  EXPECT_EQ(p.replyLength, c.replyLength);
  EXPECT_EQ(p.replyCommand, c.replyCommand);
  if (c.expectedCode != NORVEX_OK) {
    EXPECT_EQ(reply[0], 0xEE);
  }
}

Bytes With(Bytes b, size_t at, uint8_t value) {
  b[at] = value;
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    AllSteps, ReplyCheckOrder,
    ::testing::Values(
        ReplyCase{"Overflow", kStateReply, 513 - 14, 16, CTP_ERR_RX_OVERFLOW, 0xAAAA, 4, 0xC0D1},
        ReplyCase{"BadMagic", With(kStateReply, 0, 0x4E), 0, 16, CTP_ERR_BAD_MAGIC, 0xAAAA, 4, 0xC0D1},
        ReplyCase{"OtherBoard", With(kStateReply, 3, 0x42), 0, 16, CTP_ERR_BAD_ADDRESS, 0x4201, 4, 0xC0D1},
        ReplyCase{"NotToHost", With(kStateReply, 2, 0x02), 0, 16, CTP_ERR_BAD_ADDRESS, 0x1002, 4, 0xC0D1},
        ReplyCase{"MainUnitForBoard", kStateReply, 0, 0x20, CTP_ERR_MAIN_UNIT_REPLIED, 0x1001, 4, 0xC0D1},
        ReplyCase{"OneByteShort", kStateReply, -1, 16, CTP_ERR_FRAME_LENGTH, 0x1001, 4, 0xC0D1},
        ReplyCase{"OneByteLong", kStateReply, 1, 16, CTP_ERR_FRAME_LENGTH, 0x1001, 4, 0xC0D1},
        ReplyCase{"SixDataBytes",
                  Bytes{0x4D, 0x45, 0x01, 0x10, 0x08, 0x00, 0xD1, 0xC0, 1, 2, 3, 4, 5, 6, 0x00, 0x00}, 0, 16,
                  CTP_ERR_LENGTH_ALIGNMENT, 0x1001, 6, 0xC0D1},
        ReplyCase{"LengthWordZero", Bytes{0x4D, 0x45, 0x01, 0x10, 0x00, 0x00, 0xD1, 0xC0}, 0, 16,
                  CTP_ERR_LENGTH_ALIGNMENT, 0x1001, 0xFFFFFFFE, 0xC0D1},
        ReplyCase{"LengthWordOne", Bytes{0x4D, 0x45, 0x01, 0x10, 0x01, 0x00, 0xD1, 0xC0, 0}, 0, 16,
                  CTP_ERR_LENGTH_ALIGNMENT, 0x1001, 0xFFFFFFFF, 0xC0D1},
        ReplyCase{"Checksum", With(kStateReply, 12, 0x27), 0, 16, CTP_ERR_CHECKSUM, 0x1001, 4, 0xC0D1},
        ReplyCase{"ErrorReplyOfEightBytes",
                  Seal({0x4D, 0x45, 0x01, 0x10, 0x0A, 0x00, 0xC1, 0x01, 5, 0, 0, 0, 0, 0, 0, 0}), 0, 16,
                  CTP_ERR_LENGTH_MISMATCH, 0x1001, 8, CTP_REPLY_ERROR},
        ReplyCase{"OtherCommand", Seal({0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD9, 0xC0, 1, 0, 0, 0}), 0, 16,
                  CTP_ERR_BAD_REPLY_COMMAND, 0x1001, 4, 0xC0D9},
        ReplyCase{"AckForQuery", kAck, 0, 16, CTP_ERR_BAD_REPLY_COMMAND, 0x1001, 0, CTP_REPLY_ACK},
        ReplyCase{"EightBytesForFour",
                  Seal({0x4D, 0x45, 0x01, 0x10, 0x0A, 0x00, 0xD1, 0xC0, 1, 0, 0, 0, 2, 0, 0, 0}), 0, 16,
                  CTP_ERR_LENGTH_MISMATCH, 0x1001, 8, 0xC0D1},
        ReplyCase{"Good", kStateReply, 0, 16, NORVEX_OK, 0x1001, 4, 0xC0D1}),
    [](const ::testing::TestParamInfo<ReplyCase>& param) { return std::string(param.param.name); });

TEST(ReplyCheck, AckWithDataFailsAPlainCommand) {
  CommandPacket p = Packet(16, 0x0820, nullptr, 0, nullptr, 0, CTP_REPLY_ACK);
  EXPECT_EQ(Check(p, Seal({0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xC0, 0x01, 0, 0, 0, 0})),
            CTP_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(p.replyLength, 4u);
}

TEST(ReplyCheck, NoReplyBufferForDataIsRefusedNotWritten) {
  CommandPacket p = Packet(16, 0xC0D0, nullptr, 0, nullptr, kAnyReplyLength, 0xC0D1);
  EXPECT_EQ(Check(p, kStateReply), NORVEX_ERR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace norvex
