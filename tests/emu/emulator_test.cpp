// emulator_test.cpp: the device emulator seen from a raw host socket, message
// by message: the open handshake, frame answers of every unit, the READ and
// CANCEL rules, bulk writes, every injectable fault, unplug and replug.
#include "emu/emulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "protocol/frame.h"
#include "request_frames.h"
#include "socket_messages.h"
#include "temp_folder.h"
#include "wire/device_wire.h"

namespace norvex::emu {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::RequestFrame;
using testing::Selector;
using Clock = std::chrono::steady_clock;
using platform::UniqueFd;
using std::chrono::milliseconds;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

Bytes Query(uint8_t address, uint16_t group = 0, uint16_t item = 0) {
  return RequestFrame(address, kStateQuery, Selector(group, item));
}

// A reply frame taken apart.
struct ReplyView {
  uint8_t host = 0;
  uint8_t sender = 0;
  uint16_t addressWord = 0;
  uint16_t lengthWord = 0;
  uint16_t command = 0;
  Bytes data;
  bool lengthMatches = false;
  bool checksumOk = false;
  uint16_t errorValue() const { return data.size() >= 2 ? LoadWord(data.data()) : 0xFFFF; }
};

ReplyView Parse(const Bytes& frame) {
  ReplyView v;
  if (frame.size() < 10) return v;
  EXPECT_EQ(LoadWord(frame.data()), 0x454D);
  v.host = frame[2];
  v.sender = frame[3];
  v.addressWord = LoadWord(frame.data() + 2);
  v.lengthWord = LoadWord(frame.data() + 4);
  v.command = LoadWord(frame.data() + 6);
  v.lengthMatches = static_cast<size_t>(v.lengthWord) + 8 == frame.size();
  v.data.assign(frame.begin() + 8, frame.end() - 2);
  uint32_t sum = 0;
  for (size_t i = 0; i + 2 < frame.size(); i += 2) sum += LoadWord(frame.data() + i);
  v.checksumOk = static_cast<uint16_t>(sum) == LoadWord(frame.data() + frame.size() - 2);
  return v;
}

// A host on a raw connection, speaking the device protocol message by message.
class RawHost {
 public:
  // `where`: a socket's path or a tcp: address.
  explicit RawHost(const std::string& where) : m_fd(test_support::ConnectEndpoint(where)) {}

  bool connected() const { return static_cast<bool>(m_fd); }
  int fd() const { return m_fd.get(); }

  std::optional<wire::Message> Receive() {
    wire::Message message;
    if (!test_support::ReceiveMessage(m_fd.get(), message)) return std::nullopt;
    return message;
  }

  // Opens (sends the OPEN) and returns the answer's status, or -1 when
  // none came.
  int64_t OpenStatus(wire::OpenPurpose purpose = wire::OpenPurpose::kUse) {
    return test_support::OpenAndAnswer(m_fd.get(), purpose);
  }

  // Sends a CONTROL with `frame` and returns its id.
  uint32_t SendControl(const Bytes& frame, uint32_t code = kFrameControlCode) {
    uint8_t codeBytes[4];
    wire::StoreU32(codeBytes, code);
    const uint32_t id = m_nextId++;
    EXPECT_TRUE(
        test_support::SendMessage(m_fd.get(), wire::kControl, id, codeBytes, 4, frame.data(), frame.size()));
    return id;
  }

  // Sends a CONTROL and expects its CONTROL_DONE with `status`.
  void Control(const Bytes& frame, uint32_t status = kStatusOk) {
    const uint32_t id = SendControl(frame);
    auto done = Receive();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->type, wire::kControlDone);
    EXPECT_EQ(done->id, id);
    ASSERT_EQ(done->payload.size(), 4u);
    EXPECT_EQ(wire::LoadU32(done->payload.data()), status);
  }

  uint32_t SendRead(uint32_t capacity = 512) {
    uint8_t capacityBytes[4];
    wire::StoreU32(capacityBytes, capacity);
    const uint32_t id = m_nextId++;
    EXPECT_TRUE(test_support::SendMessage(m_fd.get(), wire::kRead, id, capacityBytes, 4));
    return id;
  }

  void SendCancel(uint32_t id) {
    EXPECT_TRUE(test_support::SendMessage(m_fd.get(), wire::kCancel, id, nullptr, 0));
  }

  // Sends a WRITE of `data` and its WRITE_DATA in pieces of `segment` bytes;
  // returns its id.
  uint32_t SendWrite(const Bytes& data, size_t segment = 0x10000) {
    const uint32_t id = m_nextId++;
    uint8_t total[4];
    wire::StoreU32(total, static_cast<uint32_t>(data.size()));
    EXPECT_TRUE(test_support::SendMessage(m_fd.get(), wire::kWrite, id, total, 4));
    for (size_t offset = 0; offset < data.size(); offset += segment) {
      const size_t bytes = std::min(segment, data.size() - offset);
      EXPECT_TRUE(test_support::SendMessage(m_fd.get(), wire::kWriteData, id, data.data() + offset, bytes));
    }
    return id;
  }

  // Expects WRITE_DONE for `id` with `status` and `bytes`.
  void ExpectWriteDone(uint32_t id, uint32_t status, uint32_t bytes) {
    auto done = Receive();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->type, wire::kWriteDone);
    EXPECT_EQ(done->id, id);
    ASSERT_EQ(done->payload.size(), 8u);
    EXPECT_EQ(wire::LoadU32(done->payload.data()), status);
    EXPECT_EQ(wire::LoadU32(done->payload.data() + 4), bytes);
  }

  // Expects READ_DONE for `id` with `status`; returns the frame it carries.
  Bytes ExpectReadDone(uint32_t id, uint32_t status = kStatusOk) {
    auto done = Receive();
    if (!done) {
      ADD_FAILURE() << "no READ_DONE";
      return {};
    }
    EXPECT_EQ(done->type, wire::kReadDone);
    EXPECT_EQ(done->id, id);
    if (done->payload.size() < 4) {
      ADD_FAILURE() << "READ_DONE without a status";
      return {};
    }
    EXPECT_EQ(wire::LoadU32(done->payload.data()), status);
    return Bytes(done->payload.begin() + 4, done->payload.end());
  }

  // CONTROL, then READ: the reply frame.
  Bytes Exchange(const Bytes& frame) {
    Control(frame);
    return ExpectReadDone(SendRead());
  }

  // True when nothing arrives within `ms`.
  bool Quiet(int ms) {
    pollfd p{m_fd.get(), POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
  }

  // True when the device closed the connection (end of stream, nothing else).
  bool Closed() {
    uint8_t byte = 0;
    return ::recv(m_fd.get(), &byte, 1, 0) == 0;
  }

  bool ReadExactly(uint8_t* out, size_t size) {
    while (size > 0) {
      ssize_t n = ::recv(m_fd.get(), out, size, 0);
      if (n <= 0) return false;
      out += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool WriteRaw(const Bytes& bytes) { return platform::WriteAll(m_fd.get(), bytes.data(), bytes.size()); }

  void Close() { m_fd.reset(); }

 private:
  UniqueFd m_fd;
  uint32_t m_nextId = 1;
};

class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    Make(EmulatorOptions{});
  }

  void Make(EmulatorOptions options) {
    m_emu.reset();
    options.folder = m_dir.path();
    m_emu = std::make_unique<Emulator>(options);
    ASSERT_TRUE(m_emu->Plug()) << m_emu->LastError();
  }

  // A connected host that holds the device.
  std::unique_ptr<RawHost> Host() {
    auto host = std::make_unique<RawHost>(m_emu->EndpointPath());
    EXPECT_TRUE(host->connected());
    EXPECT_EQ(host->OpenStatus(), 0);
    return host;
  }

  const test_support::TempFolder m_dir{"norvex-emu-test"};
  std::unique_ptr<Emulator> m_emu;
};

// ---- Opening ----------------------------------------------------------------

TEST_F(EmulatorTest, EndpointLiesInTheFolder) {
  EXPECT_EQ(m_emu->EndpointPath(), m_dir.path() + "/platesetter-0");
  EXPECT_TRUE(m_emu->IsPlugged());
  struct stat st {};
  ASSERT_EQ(::lstat(m_emu->EndpointPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST_F(EmulatorTest, CreatesAMissingFolder) {
  const std::string nested = m_dir.path() + "/a/b";
  EmulatorOptions options;
  options.folder = nested;
  options.name = "ps";
  Emulator emulator(options);
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  EXPECT_TRUE(Exists(nested + "/ps"));
}

TEST_F(EmulatorTest, DefaultFolderIsTheProtocolsFolder) {
  ASSERT_EQ(::setenv("NORVEX_DEVICE_DIR", m_dir.path().c_str(), 1), 0);
  Emulator emulator;
  EXPECT_EQ(emulator.EndpointPath(), m_dir.path() + "/platesetter-0");
  ::unsetenv("NORVEX_DEVICE_DIR");
}

TEST_F(EmulatorTest, OpenIsGrantedToTheFirstHost) {
  auto host = Host();
  EXPECT_TRUE(m_emu->Model().WaitForHost(true, milliseconds(1000)));
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 1u);
  EXPECT_EQ(m_emu->Model().BusyRefusals(), 0u);
}

TEST_F(EmulatorTest, SecondHostIsRefusedAsBusyAndClosed) {
  auto first = Host();
  RawHost second(m_emu->EndpointPath());
  ASSERT_TRUE(second.connected());
  EXPECT_EQ(second.OpenStatus(), 5);
  EXPECT_TRUE(second.Closed());
  EXPECT_EQ(m_emu->Model().BusyRefusals(), 1u);
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 1u);

  // The first host keeps the device.
  EXPECT_EQ(Parse(first->Exchange(Query(kMainUnit))).command, kStateReply);

  // Once it goes, the next host is granted.
  first->Close();
  ASSERT_TRUE(m_emu->Model().WaitForHost(false, milliseconds(1000)));
  auto third = Host();
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 2u);
}

// A host that closed its connection before the next one connects has let go
// of the device: the next is granted, however soon it comes.
TEST_F(EmulatorTest, HostThatClosedBeforeTheNextConnectedNeverMakesItBusy) {
  for (int i = 0; i < 50; ++i) {
    auto host = Host();
    host->Control(Query(kMainUnit));
    host->Close();
  }
  EXPECT_EQ(m_emu->Model().BusyRefusals(), 0u);
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 50u);
}

// A probe says whether the device is free, and is never granted: it takes
// the device from no one and is no connection of a host.
TEST_F(EmulatorTest, ProbeIsAnsweredAndNeverGranted) {
  RawHost probe(m_emu->EndpointPath());
  EXPECT_EQ(probe.OpenStatus(wire::OpenPurpose::kProbe), 0);
  EXPECT_TRUE(probe.Closed());
  EXPECT_FALSE(m_emu->Model().HostConnected());
  auto host = Host();
  RawHost busy(m_emu->EndpointPath());
  EXPECT_EQ(busy.OpenStatus(wire::OpenPurpose::kProbe), 5);
  EXPECT_TRUE(busy.Closed());
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 1u);
  EXPECT_EQ(m_emu->Model().BusyRefusals(), 0u);
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
}

// A host of another version is refused with ERROR_REVISION_MISMATCH and
// the device's version; a host of the versions before the version field,
// which waits for the device to speak first, gets that version's OPEN with
// the same refusal.
TEST_F(EmulatorTest, HostsOfOtherVersionsAreRefusedInTheirOwnForm) {
  RawHost newer(m_emu->EndpointPath());
  ASSERT_TRUE(test_support::SendOpen(newer.fd(), wire::OpenPurpose::kUse, 4));
  const auto answer = newer.Receive();
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->payload.size(), 8u);
  EXPECT_EQ(wire::LoadU32(answer->payload.data()), 1306u);
  EXPECT_EQ(wire::LoadU32(answer->payload.data() + 4), 3u);
  EXPECT_TRUE(newer.Closed());

  RawHost older(m_emu->EndpointPath());
  const auto legacy = older.Receive();  // after about a second of silence
  ASSERT_TRUE(legacy.has_value());
  EXPECT_EQ(legacy->type, wire::kOpen);
  ASSERT_EQ(legacy->payload.size(), 4u);
  EXPECT_EQ(wire::LoadU32(legacy->payload.data()), 1306u);
  EXPECT_TRUE(older.Closed());
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 0u);
  auto host = Host();  // the device is still free
}

TEST_F(EmulatorTest, EndpointAndItsFolderArePrivateToTheUser) {
  EmulatorOptions options;
  options.folder = m_dir.path() + "/made";
  Emulator emulator(options);
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  struct stat folder {};
  struct stat endpoint {};
  ASSERT_EQ(::stat(options.folder.c_str(), &folder), 0);
  ASSERT_EQ(::stat(emulator.EndpointPath().c_str(), &endpoint), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(endpoint.st_mode & 0777, 0600u);
}

// Over TCP: the system's port is kept, so that a replug serves the same
// address; unplugged, nobody answers there.
TEST_F(EmulatorTest, ServesTcpAndKeepsItsPortAcrossAReplug) {
  EmulatorOptions options;
  options.listen = "127.0.0.1:0";
  Emulator emulator(options);
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  const std::string address = emulator.Address();
  EXPECT_EQ(address.rfind("tcp:127.0.0.1:", 0), 0u);
  EXPECT_NE(address, "tcp:127.0.0.1:0");
  {
    RawHost host(address);
    EXPECT_EQ(host.OpenStatus(), 0);
    EXPECT_EQ(Parse(host.Exchange(Query(kMainUnit))).command, kStateReply);
    emulator.Unplug();
    EXPECT_TRUE(host.Closed());
  }
  EXPECT_FALSE(RawHost(address).connected());
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  EXPECT_EQ(emulator.Address(), address);
  RawHost again(address);
  EXPECT_EQ(again.OpenStatus(), 0);
  EXPECT_EQ(Parse(again.Exchange(Query(kMainUnit))).command, kStateReply);
}

// A frame longer than a host can make and a write above the print memory
// are refused at once; the connection goes on, and nothing was taken.
TEST_F(EmulatorTest, OversizeFrameAndWriteAboveThePrintMemoryAreRefused) {
  auto host = Host();
  host->Control(Bytes(0xFFFF + 9, 0x4D), kStatusInvalidParameter);
  EXPECT_TRUE(m_emu->Model().ReceivedFrames().empty());
  uint8_t total[4];
  wire::StoreU32(total, kPrintMemoryBytes + 1);
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWrite, 50, total, 4));
  const auto done = host->Receive();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->type, wire::kWriteDone);
  ASSERT_EQ(done->payload.size(), 8u);
  EXPECT_EQ(wire::LoadU32(done->payload.data()), 8u);  // ERROR_NOT_ENOUGH_MEMORY
  EXPECT_EQ(wire::LoadU32(done->payload.data() + 4), 0u);
  const Bytes data(1000, 0x77);
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 50, data.data(), data.size()));
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  EXPECT_TRUE(m_emu->Model().PrintMemory().empty());
}

// The history of received frames stays within its bounds however much a
// host sends; the count of frames goes on.
TEST_F(EmulatorTest, FrameHistoryStaysBounded) {
  auto host = Host();
  const Bytes big(0xFFFF, 0x11);  // not well formed: answered with an error reply, recorded
  for (int i = 0; i < 80; ++i) host->Control(big);
  host->Control(Query(kMainUnit));
  EXPECT_TRUE(m_emu->Model().WaitForFrames(81, milliseconds(0)));
  const auto frames = m_emu->Model().ReceivedFrames();
  size_t bytes = 0;
  for (const Bytes& frame : frames) bytes += frame.size();
  EXPECT_LE(bytes, DeviceModel::kFrameHistoryBytes);
  EXPECT_LT(frames.size(), 81u);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), Query(kMainUnit));
}

// ---- Frames -----------------------------------------------------------------

TEST_F(EmulatorTest, GoldenSessionByteForByte) {
  RawHost host(m_emu->EndpointPath());
  ASSERT_TRUE(host.connected());
  // The opening of version 3: the host's OPEN (version 3, for use), the
  // device's answer (granted, version 3).
  ASSERT_TRUE(host.WriteRaw({0x4E, 0x56, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                             0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const Bytes open = {0x4E, 0x56, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  Bytes got(open.size());
  ASSERT_TRUE(host.ReadExactly(got.data(), got.size()));
  EXPECT_EQ(got, open);

  ASSERT_TRUE(host.WriteRaw({0x4E, 0x56, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x12, 0x00,
                             0x00, 0x00, 0x02, 0x20, 0x22, 0x00, 0x4D, 0x45, 0x10, 0x01,
                             0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07}));
  const Bytes controlDone = {0x4E, 0x56, 0x11, 0x00, 0x01, 0x00, 0x00, 0x00,
                             0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  got.assign(controlDone.size(), 0);
  ASSERT_TRUE(host.ReadExactly(got.data(), got.size()));
  EXPECT_EQ(got, controlDone);

  ASSERT_TRUE(host.WriteRaw(
      {0x4E, 0x56, 0x20, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}));
  const Bytes readDone = {0x4E, 0x56, 0x21, 0x00, 0x02, 0x00, 0x00, 0x00, 0x12, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4D, 0x45, 0x01, 0x10,
                          0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
  got.assign(readDone.size(), 0);
  ASSERT_TRUE(host.ReadExactly(got.data(), got.size()));
  EXPECT_EQ(got, readDone);

  // The bulk write of docs/device-protocol.md.
  ASSERT_TRUE(host.WriteRaw({0x4E, 0x56, 0x30, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                             0x06, 0x00, 0x00, 0x00, 0x4E, 0x56, 0x32, 0x00, 0x03, 0x00, 0x00, 0x00,
                             0x06, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
  const Bytes writeDone = {0x4E, 0x56, 0x31, 0x00, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};
  got.assign(writeDone.size(), 0);
  ASSERT_TRUE(host.ReadExactly(got.data(), got.size()));
  EXPECT_EQ(got, writeDone);
  EXPECT_EQ(m_emu->Model().PrintMemory(), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
  EXPECT_TRUE(host.Quiet(20));
}

TEST_F(EmulatorTest, RecordsAreFourZeroBytesUntilSet) {
  auto host = Host();
  // A selector that no unit gives a meaning (the units' own records have
  // their real sizes: tests/emu/units_test.cpp).
  for (uint8_t unit : {kMainUnit, kLaserHead, kHsBoard0, kHsBoard1}) {
    const ReplyView reply = Parse(host->Exchange(Query(unit, 0x3100, 0)));
    EXPECT_EQ(reply.addressWord, (unit << 8) | 0x01);
    EXPECT_EQ(reply.command, kStateReply);
    EXPECT_EQ(reply.data, Bytes(4, 0));
    EXPECT_TRUE(reply.checksumOk);
    EXPECT_TRUE(reply.lengthMatches);
  }
}

TEST_F(EmulatorTest, SetRecordIsWhatTheQueryReturns) {
  const Bytes record = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  m_emu->Model().SetStateRecord(kLaserHead, 0x0100, 0x0002, record);
  EXPECT_EQ(m_emu->Model().StateRecord(kLaserHead, 0x0100, 0x0002), record);
  auto host = Host();
  const ReplyView reply = Parse(host->Exchange(Query(kLaserHead, 0x0100, 0x0002)));
  EXPECT_EQ(reply.addressWord, 0x4201);
  EXPECT_EQ(reply.lengthWord, 14);
  EXPECT_EQ(reply.command, kStateReply);
  EXPECT_EQ(reply.data, record);
  EXPECT_TRUE(reply.checksumOk);
  // The same selector of another unit is another record.
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit, 0x0100, 0x0002))).data, Bytes(4, 0));
}

TEST_F(EmulatorTest, AbsentBoardIsAnsweredByTheMainUnit) {
  EmulatorOptions options;
  options.hsBoard1 = false;
  Make(options);
  EXPECT_FALSE(m_emu->Model().BoardPresent(kHsBoard1));
  auto host = Host();
  const Bytes frame = host->Exchange(Query(kHsBoard1));
  const ReplyView reply = Parse(frame);
  EXPECT_EQ(reply.addressWord, 0x1001);
  EXPECT_EQ(reply.command, kReplyError);
  EXPECT_EQ(reply.data, (Bytes{static_cast<uint8_t>(kErrorNoSuchBoard), 0, 0, 0}));
  EXPECT_TRUE(reply.checksumOk);

  // Boards come and go at run time; the main unit stays.
  m_emu->Model().SetBoardPresent(kLaserHead, false);
  m_emu->Model().SetBoardPresent(kMainUnit, false);
  EXPECT_EQ(Parse(host->Exchange(Query(kLaserHead))).addressWord, 0x1001);
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  m_emu->Model().SetBoardPresent(kHsBoard1, true);
  EXPECT_EQ(Parse(host->Exchange(Query(kHsBoard1))).addressWord, 0x2101);
  // An address no board ever has.
  EXPECT_EQ(Parse(host->Exchange(Query(0x33))).errorValue(), kErrorNoSuchBoard);
}

TEST_F(EmulatorTest, FunctionCallIsAcknowledgedAndRecorded) {
  auto host = Host();
  Bytes request = Selector(0x0200, 0x0007);
  for (uint8_t i = 0; i < 12; ++i) request.push_back(static_cast<uint8_t>(0xA0 + i));
  const Bytes frame = host->Exchange(RequestFrame(kHsBoard1, kFunctionCall, request));
  // 4D 45 01 21 02 00 C0 01 + checksum 0x454D + 0x2101 + 0x0002 + 0x01C0.
  EXPECT_EQ(frame, (Bytes{0x4D, 0x45, 0x01, 0x21, 0x02, 0x00, 0xC0, 0x01, 0x10, 0x68}));
  const auto calls = m_emu->Model().FunctionCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].address, kHsBoard1);
  EXPECT_EQ(calls[0].group, 0x0200);
  EXPECT_EQ(calls[0].item, 0x0007);
  EXPECT_EQ(calls[0].params, Bytes(request.begin() + 4, request.end()));
}

TEST_F(EmulatorTest, SelectorlessQueryIsAnErrorOfTheUnit) {
  auto host = Host();
  const ReplyView reply = Parse(host->Exchange(RequestFrame(kLaserHead, kStateQuery, {1, 0})));
  EXPECT_EQ(reply.addressWord, 0x4201);
  EXPECT_EQ(reply.command, kReplyError);
  EXPECT_EQ(reply.errorValue(), kErrorNoSelector);
}

TEST_F(EmulatorTest, OtherCommandsAreAcknowledged) {
  auto host = Host();
  // A command word that the main unit gives no meaning.
  EXPECT_EQ(host->Exchange(RequestFrame(kMainUnit, 0x0830)),
            (Bytes{0x4D, 0x45, 0x01, 0x10, 0x02, 0x00, 0xC0, 0x01, 0x10, 0x57}));
}

TEST_F(EmulatorTest, CommandHandlersOfTheTestTakeOver) {
  DeviceModel* const model = m_emu->LocalModel();
  ASSERT_NE(model, nullptr);
  model->SetCommandHandler(kMainUnit, 0x0830, [](const Request& r) {
    Reply reply{0x0831, r.data};
    reply.data.push_back(r.address);
    reply.data.resize(8, 0xEE);
    return reply;
  });
  auto host = Host();
  ReplyView reply = Parse(host->Exchange(RequestFrame(kMainUnit, 0x0830, {9, 8})));
  EXPECT_EQ(reply.command, 0x0831);
  EXPECT_EQ(reply.data, (Bytes{9, 8, 0x10, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  // Only for that unit.
  EXPECT_EQ(Parse(host->Exchange(RequestFrame(kLaserHead, 0x0830, {9, 8}))).command, kReplyAck);
  // An empty handler restores the built-in one.
  model->SetCommandHandler(kMainUnit, 0x0830, nullptr);
  EXPECT_EQ(Parse(host->Exchange(RequestFrame(kMainUnit, 0x0830, {9, 8}))).command, kReplyAck);
  // Built-in commands can be taken over too.
  model->SetCommandHandler(kMainUnit, kStateQuery, [](const Request&) { return Reply::Error(0x0042); });
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).errorValue(), 0x0042);
  model->SetCommandHandler(kMainUnit, kStateQuery, nullptr);
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).data, (Bytes{1, 0, 0, 0}));
}

TEST_F(EmulatorTest, MalformedRequestsAreAnsweredByTheMainUnit) {
  Bytes badChecksum = Query(kLaserHead);
  badChecksum.back() ^= 0x01;
  Bytes badMagic = Query(kLaserHead);
  badMagic[0] = 0x4C;
  Bytes badLength = Query(kLaserHead);
  badLength[4] = 0x08;
  Bytes notFromHost = Query(kLaserHead);
  notFromHost[3] = 0x02;
  const Bytes odd = RequestFrame(kLaserHead, 0x0401, {1, 2, 3});
  const Bytes tooShort = {0x4D, 0x45, 0x42, 0x01};
  Bytes tooLong = RequestFrame(kLaserHead, 0x0401, Bytes(504, 0));

  auto host = Host();
  for (const Bytes& frame : {badChecksum, badMagic, badLength, notFromHost, odd, tooShort, tooLong}) {
    const ReplyView reply = Parse(host->Exchange(frame));
    EXPECT_EQ(reply.addressWord, 0x1001);
    EXPECT_EQ(reply.command, kReplyError);
    EXPECT_EQ(reply.data, (Bytes{static_cast<uint8_t>(kErrorBadFrame), 0, 0, 0}));
    EXPECT_TRUE(reply.checksumOk);
  }
  const auto frames = m_emu->Model().ReceivedFrames();
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[0], badChecksum);
  EXPECT_EQ(frames[5], tooShort);
}

TEST_F(EmulatorTest, AnotherControlCodeIsRefused) {
  auto host = Host();
  const uint32_t id = host->SendControl(Query(kMainUnit), 0x222006);
  auto done = host->Receive();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->type, wire::kControlDone);
  EXPECT_EQ(done->id, id);
  EXPECT_EQ(wire::LoadU32(done->payload.data()), kStatusInvalidFunction);
  EXPECT_TRUE(m_emu->Model().ReceivedFrames().empty());
}

TEST_F(EmulatorTest, ReceivedFramesAreRecordedInOrder) {
  auto host = Host();
  const Bytes a = Query(kMainUnit);
  const Bytes b = RequestFrame(kLaserHead, kFunctionCall, Selector(1, 2));
  const Bytes c = RequestFrame(kHsBoard0, 0x1005, {1, 2, 3, 4});
  host->Exchange(a);
  host->Exchange(b);
  host->Control(c);
  ASSERT_TRUE(m_emu->Model().WaitForFrames(3, milliseconds(1000)));
  EXPECT_EQ(m_emu->Model().ReceivedFrames(), (std::vector<Bytes>{a, b, c}));
  m_emu->Model().ClearReceived();
  EXPECT_TRUE(m_emu->Model().ReceivedFrames().empty());
  EXPECT_TRUE(m_emu->Model().FunctionCalls().empty());
  EXPECT_FALSE(m_emu->Model().WaitForFrames(1, milliseconds(10)));
}

// ---- READ, CANCEL, WRITE ----------------------------------------------------

TEST_F(EmulatorTest, ReadWaitsForAReply) {
  auto host = Host();
  const uint32_t read = host->SendRead();
  EXPECT_TRUE(host->Quiet(50));
  host->Control(Query(kMainUnit));
  EXPECT_EQ(Parse(host->ExpectReadDone(read)).data, (Bytes{1, 0, 0, 0}));
}

TEST_F(EmulatorTest, AReplyIsReadOnce) {
  auto host = Host();
  host->Exchange(Query(kMainUnit));
  const uint32_t again = host->SendRead();
  EXPECT_TRUE(host->Quiet(50));
  host->SendCancel(again);
  host->ExpectReadDone(again, kStatusCancelled);
}

TEST_F(EmulatorTest, NewControlDiscardsAnUnreadReply) {
  m_emu->Model().SetStateRecord(kLaserHead, 0, 0, {4, 3, 2, 1});
  auto host = Host();
  host->Control(Query(kMainUnit));
  host->Control(Query(kLaserHead));
  const ReplyView reply = Parse(host->ExpectReadDone(host->SendRead()));
  EXPECT_EQ(reply.sender, kLaserHead);
  EXPECT_EQ(reply.data, (Bytes{4, 3, 2, 1}));
  const uint32_t again = host->SendRead();
  EXPECT_TRUE(host->Quiet(50));
  host->SendCancel(again);
  host->ExpectReadDone(again, kStatusCancelled);
}

TEST_F(EmulatorTest, CancelCompletesAPendingReadWith995) {
  auto host = Host();
  const uint32_t read = host->SendRead();
  host->SendCancel(read);
  const Bytes data = host->ExpectReadDone(read, kStatusCancelled);
  EXPECT_TRUE(data.empty());
  // A CANCEL of a transfer that is not pending is ignored.
  host->SendCancel(read);
  host->SendCancel(77);
  EXPECT_TRUE(host->Quiet(30));
  // The connection goes on.
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
}

TEST_F(EmulatorTest, ReadWithTooSmallCapacityGetsTheStartAndMoreData) {
  auto host = Host();
  host->Control(Query(kMainUnit));
  const Bytes part = host->ExpectReadDone(host->SendRead(6), kStatusMoreData);
  EXPECT_EQ(part, (Bytes{0x4D, 0x45, 0x01, 0x10, 0x06, 0x00}));
}

TEST_F(EmulatorTest, WritesLandInPrintMemory) {
  auto host = Host();
  Bytes first(1000);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 7);
  const Bytes second(70000, 0x5A);
  const Bytes none;
  const uint32_t a = host->SendWrite(first, 333);
  host->ExpectWriteDone(a, kStatusOk, 1000);
  const uint32_t b = host->SendWrite(second);
  host->ExpectWriteDone(b, kStatusOk, 70000);
  const uint32_t c = host->SendWrite(none);
  host->ExpectWriteDone(c, kStatusOk, 0);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(m_emu->Model().PrintMemory(), expected);
  m_emu->Model().ClearPrintMemory();
  EXPECT_TRUE(m_emu->Model().PrintMemory().empty());
}

// A write longer than one message carries (2 MiB) is taken whole, with
// commands between its messages.
TEST_F(EmulatorTest, WriteAboveTwoMiBIsTakenWholeWithCommandsBetweenItsData) {
  auto host = Host();
  Bytes data(wire::kMaxBulk + 0x100004);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 4099);
  uint8_t total[4];
  wire::StoreU32(total, static_cast<uint32_t>(data.size()));
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWrite, 50, total, 4));
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 50, data.data(), wire::kMaxBulk));
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 50, data.data() + wire::kMaxBulk,
                                        data.size() - wire::kMaxBulk));
  host->ExpectWriteDone(50, kStatusOk, static_cast<uint32_t>(data.size()));
  EXPECT_EQ(m_emu->Model().PrintMemory(), data);
}

TEST_F(EmulatorTest, CancelWhileTheDataComesInStoresNothingAndLaterDataIsDropped) {
  auto host = Host();
  const Bytes data(5000, 0x33);
  uint8_t total[4];
  wire::StoreU32(total, 5000);
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWrite, 7, total, 4));
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 7, data.data(), 2000));
  host->SendCancel(7);
  host->ExpectWriteDone(7, kStatusCancelled, 0);
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 7, data.data(), 3000));  // dropped
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  EXPECT_TRUE(m_emu->Model().PrintMemory().empty());
}

TEST_F(EmulatorTest, MalformedWritesAreProtocolErrors) {
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant);
    auto host = Host();
    uint8_t total[4];
    wire::StoreU32(total, 10);
    if (variant == 0) {
      ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWrite, 1, total, 3));  // no whole length
    } else {
      const Bytes data(11, 0x44);  // more than announced
      ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWrite, 1, total, 4));
      ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kWriteData, 1, data.data(), data.size()));
    }
    EXPECT_TRUE(host->Closed());
    EXPECT_TRUE(m_emu->Model().WaitForHost(false, milliseconds(1000)));
  }
  EXPECT_TRUE(m_emu->Model().PrintMemory().empty());
}

// A stalled device takes nothing from the connection for a while: a command
// sent after the WRITE is answered only after the stall.
TEST_F(EmulatorTest, StallTakesNothingForAWhile) {
  m_emu->Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kStall, 150});
  auto host = Host();
  const Bytes data(3000, 0x21);
  const auto start = Clock::now();
  const uint32_t id = host->SendWrite(data);
  host->SendControl(Query(kMainUnit));
  host->ExpectWriteDone(id, kStatusOk, 3000);
  auto done = host->Receive();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->type, wire::kControlDone);
  // Not before the stall was over (a busy machine makes it later, never earlier).
  EXPECT_GE(Clock::now() - start, milliseconds(145));
  EXPECT_EQ(m_emu->Model().PrintMemory(), data);
}

TEST_F(EmulatorTest, ControlWithoutItsCodeIsRefused) {
  auto host = Host();
  const uint8_t two[2] = {0x02, 0x20};
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kControl, 3, two, sizeof(two)));
  auto done = host->Receive();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->type, wire::kControlDone);
  EXPECT_EQ(done->id, 3u);
  EXPECT_EQ(wire::LoadU32(done->payload.data()), kStatusInvalidParameter);
}

TEST_F(EmulatorTest, ProtocolErrorClosesTheConnection) {
  auto host = Host();
  ASSERT_TRUE(host->WriteRaw({0x4E, 0x57, 0x10, 0x00, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(host->Closed());
  EXPECT_TRUE(m_emu->Model().WaitForHost(false, milliseconds(1000)));
}

TEST_F(EmulatorTest, DeviceMessagesFromTheHostAreAProtocolError) {
  auto host = Host();
  uint8_t status[4] = {};
  ASSERT_TRUE(test_support::SendMessage(host->fd(), wire::kReadDone, 1, status, 4));
  EXPECT_TRUE(host->Closed());
}

TEST_F(EmulatorTest, MessagesSplitAcrossWritesAreReassembled) {
  auto host = Host();
  const Bytes frame = Query(kMainUnit);
  Bytes message(wire::kHeaderSize + 4 + frame.size());
  wire::EncodeHeader(message.data(), wire::kControl, 1, static_cast<uint32_t>(4 + frame.size()));
  wire::StoreU32(message.data() + wire::kHeaderSize, kFrameControlCode);
  std::copy(frame.begin(), frame.end(), message.begin() + wire::kHeaderSize + 4);
  for (size_t i = 0; i < message.size(); i += 5) {
    const size_t end = std::min(message.size(), i + 5);
    ASSERT_TRUE(host->WriteRaw(Bytes(message.begin() + static_cast<std::ptrdiff_t>(i),
                                     message.begin() + static_cast<std::ptrdiff_t>(end))));
    std::this_thread::sleep_for(milliseconds(1));
  }
  auto done = host->Receive();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->type, wire::kControlDone);
  EXPECT_EQ(done->id, 1u);
}

// ---- Faults -----------------------------------------------------------------

TEST_F(EmulatorTest, FaultErrorReply) {
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 0x0007, 1, std::nullopt, std::nullopt, 0});
  auto host = Host();
  const ReplyView reply = Parse(host->Exchange(Query(kLaserHead)));
  EXPECT_EQ(reply.addressWord, 0x4201);
  EXPECT_EQ(reply.lengthWord, 6);
  EXPECT_EQ(reply.command, kReplyError);
  EXPECT_EQ(reply.data, (Bytes{7, 0, 0, 0}));
  EXPECT_TRUE(reply.checksumOk);
  // One exchange only.
  EXPECT_EQ(Parse(host->Exchange(Query(kLaserHead))).command, kStateReply);
}

TEST_F(EmulatorTest, FaultBadChecksum) {
  m_emu->Model().InjectFault(Fault{FaultKind::kBadChecksum});
  auto host = Host();
  const Bytes frame = host->Exchange(Query(kMainUnit));
  const ReplyView reply = Parse(frame);
  EXPECT_FALSE(reply.checksumOk);
  EXPECT_TRUE(reply.lengthMatches);
  EXPECT_EQ(reply.command, kStateReply);
  EXPECT_EQ(frame,
            (Bytes{0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x27, 0x16}));
}

TEST_F(EmulatorTest, FaultWrongLength) {
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongLength});
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongLength, 0x0004});
  auto host = Host();
  ReplyView reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_FALSE(reply.lengthMatches);
  EXPECT_EQ(reply.lengthWord, 8);
  EXPECT_EQ(reply.data.size(), 4u);
  reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_EQ(reply.lengthWord, 4);
  EXPECT_FALSE(reply.lengthMatches);
}

TEST_F(EmulatorTest, FaultWrongReplySize) {
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongReplySize});
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongReplySize, 6});
  auto host = Host();
  ReplyView reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_EQ(reply.data, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(reply.lengthMatches);
  EXPECT_TRUE(reply.checksumOk);
  EXPECT_EQ(reply.command, kStateReply);
  reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_EQ(reply.data.size(), 6u);
  EXPECT_EQ(reply.lengthWord, 8);
  EXPECT_TRUE(reply.lengthMatches);
  EXPECT_TRUE(reply.checksumOk);
}

TEST_F(EmulatorTest, FaultWrongCommand) {
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongCommand});
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongCommand, 0x1234});
  auto host = Host();
  ReplyView reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_EQ(reply.command, 0xC1D1);
  EXPECT_TRUE(reply.checksumOk);
  EXPECT_EQ(reply.data, (Bytes{1, 0, 0, 0}));
  reply = Parse(host->Exchange(RequestFrame(kMainUnit, 0x0820)));
  EXPECT_EQ(reply.command, 0x1234);
  EXPECT_TRUE(reply.checksumOk);
}

TEST_F(EmulatorTest, FaultWrongUnit) {
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongUnit});
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongUnit});
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongUnit, kMainUnit});
  auto host = Host();
  ReplyView reply = Parse(host->Exchange(Query(kMainUnit)));
  EXPECT_EQ(reply.addressWord, 0x4201);
  EXPECT_TRUE(reply.checksumOk);
  EXPECT_EQ(reply.command, kStateReply);
  EXPECT_EQ(Parse(host->Exchange(Query(kLaserHead))).addressWord, 0x2001);
  reply = Parse(host->Exchange(Query(kHsBoard0)));
  EXPECT_EQ(reply.addressWord, 0x1001);
  EXPECT_EQ(reply.command, kStateReply);
  EXPECT_TRUE(reply.checksumOk);
}

TEST_F(EmulatorTest, FaultNoReplyLeavesTheReadPendingUntilCancel) {
  m_emu->Model().InjectFault(Fault{FaultKind::kNoReply});
  auto host = Host();
  host->Control(Query(kMainUnit));
  const uint32_t read = host->SendRead();
  EXPECT_TRUE(host->Quiet(60));
  host->SendCancel(read);
  EXPECT_TRUE(host->ExpectReadDone(read, kStatusCancelled).empty());
  // The next exchange is answered.
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
}

TEST_F(EmulatorTest, FaultLateReplyArrivesAfterTheCancelWithTheOldId) {
  m_emu->Model().InjectFault(Fault{FaultKind::kLateReply, 0, 1, std::nullopt, std::nullopt, 80});
  auto host = Host();
  host->Control(Query(kMainUnit));
  const uint32_t read = host->SendRead();
  EXPECT_TRUE(host->Quiet(40));
  const auto cancelled = Clock::now();
  host->SendCancel(read);
  // The CANCEL is ignored: no 995, but the reply with status 0, late.
  const Bytes late = host->ExpectReadDone(read, kStatusOk);
  EXPECT_GE(Clock::now() - cancelled, milliseconds(75));
  EXPECT_EQ(late,
            (Bytes{0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16}));
  // The connection lives on.
  EXPECT_TRUE(m_emu->Model().HostConnected());
  EXPECT_EQ(Parse(host->Exchange(Query(kLaserHead))).sender, kLaserHead);
}

TEST_F(EmulatorTest, FaultLateReplyDoesNotReachANewerRead) {
  m_emu->Model().InjectFault(Fault{FaultKind::kLateReply, 0, 1, std::nullopt, std::nullopt, 60});
  auto host = Host();
  host->Control(Query(kMainUnit));
  const uint32_t stale = host->SendRead();
  host->SendCancel(stale);
  // The host goes on at once with another exchange.
  host->Control(Query(kLaserHead));
  const uint32_t fresh = host->SendRead();
  EXPECT_EQ(Parse(host->ExpectReadDone(fresh)).sender, kLaserHead);
  EXPECT_EQ(Parse(host->ExpectReadDone(stale)).sender, kMainUnit);
}

TEST_F(EmulatorTest, FaultDisconnect) {
  m_emu->Model().InjectFault(Fault{FaultKind::kDisconnect, 0, 1, kFunctionCall});
  auto host = Host();
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  host->SendControl(RequestFrame(kMainUnit, kFunctionCall, Selector(1, 1)));
  EXPECT_TRUE(host->Closed());  // no CONTROL_DONE
  EXPECT_TRUE(m_emu->Model().WaitForHost(false, milliseconds(1000)));
  EXPECT_EQ(m_emu->Model().ReceivedFrames().size(), 2u);
  EXPECT_TRUE(m_emu->Model().FunctionCalls().empty());
  // The device stays plugged and takes the next host.
  auto next = Host();
  EXPECT_EQ(Parse(next->Exchange(RequestFrame(kMainUnit, kFunctionCall, Selector(1, 1)))).command, kReplyAck);
}

TEST_F(EmulatorTest, FaultDelay) {
  m_emu->Model().InjectFault(Fault{FaultKind::kDelay, 0, 1, std::nullopt, std::nullopt, 80});
  auto host = Host();
  const auto start = Clock::now();
  host->Control(Query(kMainUnit));
  const uint32_t read = host->SendRead();
  EXPECT_EQ(Parse(host->ExpectReadDone(read)).data, (Bytes{1, 0, 0, 0}));
  // Not before the delay (a busy machine makes it later, never earlier).
  EXPECT_GE(Clock::now() - start, milliseconds(75));
}

TEST_F(EmulatorTest, FaultDelayedReadCanBeCancelled) {
  m_emu->Model().InjectFault(Fault{FaultKind::kDelay, 0, 1, std::nullopt, std::nullopt, 60});
  auto host = Host();
  host->Control(Query(kMainUnit));
  const uint32_t read = host->SendRead();
  host->SendCancel(read);
  host->ExpectReadDone(read, kStatusCancelled);
  // The reply becomes ready later and goes to the next READ.
  EXPECT_EQ(Parse(host->ExpectReadDone(host->SendRead())).command, kStateReply);
}

TEST_F(EmulatorTest, DelayAppliesToOtherFaultKinds) {
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 3, 1, std::nullopt, std::nullopt, 60});
  auto host = Host();
  const auto start = Clock::now();
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).errorValue(), 3);
  EXPECT_GE(Clock::now() - start, milliseconds(55));
}

TEST_F(EmulatorTest, FaultFiltersAndCounts) {
  // Function calls only, twice.
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 9, 2, kFunctionCall, std::nullopt, 0});
  auto host = Host();
  const Bytes call = RequestFrame(kMainUnit, kFunctionCall, Selector(1, 2));
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  EXPECT_EQ(Parse(host->Exchange(call)).errorValue(), 9);
  EXPECT_EQ(Parse(host->Exchange(call)).errorValue(), 9);
  EXPECT_EQ(Parse(host->Exchange(call)).command, kReplyAck);

  // One board only.
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 4, 1, std::nullopt, kHsBoard0, 0});
  EXPECT_EQ(Parse(host->Exchange(Query(kHsBoard1))).command, kStateReply);
  const ReplyView reply = Parse(host->Exchange(Query(kHsBoard0)));
  EXPECT_EQ(reply.addressWord, 0x2001);
  EXPECT_EQ(reply.errorValue(), 4);

  // Both filters.
  m_emu->Model().InjectFault(Fault{FaultKind::kWrongCommand, 0, 1, kStateQuery, kLaserHead, 0});
  EXPECT_EQ(Parse(host->Exchange(RequestFrame(kLaserHead, 0x0401))).command, kReplyAck);
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
  EXPECT_EQ(Parse(host->Exchange(Query(kLaserHead))).command, 0xC1D1);

  // Until cleared; the first injected applies when several match.
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 1, Fault::kUntilCleared});
  m_emu->Model().InjectFault(Fault{FaultKind::kErrorReply, 2, Fault::kUntilCleared});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).errorValue(), 1);
  m_emu->Model().ClearFaults();
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
}

// ---- Presence ---------------------------------------------------------------

TEST_F(EmulatorTest, UnplugClosesTheConnectionAndRemovesTheEndpoint) {
  auto host = Host();
  host->SendRead();  // waits, since no reply is ready
  EXPECT_TRUE(host->Quiet(20));
  m_emu->Unplug();
  EXPECT_FALSE(m_emu->IsPlugged());
  EXPECT_FALSE(Exists(m_emu->EndpointPath()));
  EXPECT_TRUE(host->Closed());  // the pending READ vanishes with the connection
  EXPECT_FALSE(m_emu->Model().HostConnected());
  RawHost refused(m_emu->EndpointPath());
  EXPECT_FALSE(refused.connected());
  m_emu->Unplug();  // again: nothing
}

TEST_F(EmulatorTest, ReplugServesAgain) {
  auto host = Host();
  m_emu->Unplug();
  EXPECT_TRUE(host->Closed());
  ASSERT_TRUE(m_emu->Plug()) << m_emu->LastError();
  EXPECT_TRUE(m_emu->Plug());  // already plugged
  EXPECT_TRUE(Exists(m_emu->EndpointPath()));
  auto again = Host();
  EXPECT_EQ(Parse(again->Exchange(Query(kMainUnit))).data, (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 2u);
  // State survives the replug.
  EXPECT_EQ(m_emu->Model().ReceivedFrames().size(), 1u);
}

TEST_F(EmulatorTest, DropHostKeepsTheDevicePlugged) {
  auto host = Host();
  ASSERT_TRUE(m_emu->Model().WaitForHost(true, milliseconds(1000)));
  m_emu->DropHost();
  EXPECT_TRUE(host->Closed());
  EXPECT_TRUE(m_emu->Model().WaitForHost(false, milliseconds(1000)));
  EXPECT_TRUE(m_emu->IsPlugged());
  auto next = Host();
  EXPECT_EQ(m_emu->Model().ConnectionsAccepted(), 2u);
}

TEST_F(EmulatorTest, DestructorUnplugs) {
  EmulatorOptions options;
  options.folder = m_dir.path();
  options.name = "scoped";
  std::string path;
  std::unique_ptr<RawHost> host;
  {
    Emulator emulator(options);
    ASSERT_TRUE(emulator.Plug());
    path = emulator.EndpointPath();
    host = std::make_unique<RawHost>(path);
    EXPECT_EQ(host->OpenStatus(), 0);
    EXPECT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(host->Closed());
}

TEST_F(EmulatorTest, PlugFailsWhereAnotherDeviceServes) {
  EmulatorOptions options;
  options.folder = m_dir.path();
  Emulator twin(options);
  EXPECT_FALSE(twin.Plug());
  EXPECT_FALSE(twin.LastError().empty());
  EXPECT_FALSE(twin.IsPlugged());
  // The first one is untouched.
  EXPECT_TRUE(Exists(m_emu->EndpointPath()));
  auto host = Host();
  EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit))).command, kStateReply);
}

TEST_F(EmulatorTest, PlugReplacesAStaleEndpoint) {
  const std::string path = m_dir.path() + "/stale";
  {
    UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  }
  ASSERT_TRUE(Exists(path));
  EmulatorOptions options;
  options.folder = m_dir.path();
  options.name = "stale";
  Emulator emulator(options);
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  RawHost host(path);
  EXPECT_EQ(host.OpenStatus(), 0);
}

TEST_F(EmulatorTest, PlugRefusesAFileThatIsNotASocket) {
  const std::string path = m_dir.path() + "/plain";
  { UniqueFd file(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)); }
  EmulatorOptions options;
  options.folder = m_dir.path();
  options.name = "plain";
  Emulator emulator(options);
  EXPECT_FALSE(emulator.Plug());
  EXPECT_TRUE(Exists(path));
}

TEST_F(EmulatorTest, ApiCallsFromTestThreadsRaceWithTraffic) {
  auto host = Host();
  std::thread poker([this] {
    for (int i = 0; i < 200; ++i) {
      m_emu->Model().SetStateRecord(kMainUnit, 7, 7, {static_cast<uint8_t>(i), 0, 0, 0});
      (void)m_emu->Model().ReceivedFrames();
      (void)m_emu->Model().HostConnected();
      if (i % 50 == 0) m_emu->Model().ClearReceived();
    }
  });
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Parse(host->Exchange(Query(kMainUnit, 7, 7))).data.size(), 4u);
  poker.join();
}

}  // namespace
}  // namespace norvex::emu
