// control_port_test.cpp: a norvex-emu's control port (emu/control_server.h)
// and the platesetters made through it (emu/control_client.h), in one
// process: every control reaches the machine that serves the endpoint (seen
// from a raw host), the opening and a request byte for byte as
// docs/emulator-control.md gives them, a platesetter goes with its
// connection, bad requests change nothing, only the loopback interface.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emu/control_server.h"
#include "emu/emulator.h"
#include "request_frames.h"
#include "socket_messages.h"

namespace norvex::emu {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using testing::RequestFrame;
using testing::Selector;

// A device host on a raw connection: opens, exchanges frames, writes.
class Host {
 public:
  explicit Host(const std::string& address) : m_fd(test_support::ConnectEndpoint(address)) {}
  ~Host() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int64_t Open() { return test_support::OpenAndAnswer(m_fd); }
  // CONTROL then READ: the reply frame's data (after the command word).
  Bytes Exchange(const Bytes& frame, uint16_t* command = nullptr) {
    uint8_t code[4];
    wire::StoreU32(code, kFrameControlCode);
    wire::Message done;
    const uint8_t capacity[4] = {0, 2, 0, 0};
    if (!test_support::SendMessage(m_fd, wire::kControl, m_id++, code, 4, frame.data(), frame.size()) ||
        !test_support::ReceiveMessage(m_fd, done) ||
        !test_support::SendMessage(m_fd, wire::kRead, m_id++, capacity, 4) ||
        !test_support::ReceiveMessage(m_fd, done) || done.payload.size() < 14) {
      ADD_FAILURE() << "no reply";
      return {};
    }
    if (command != nullptr) *command = LoadWord(done.payload.data() + 4 + 6);
    return Bytes(done.payload.begin() + 4 + 8, done.payload.end() - 2);
  }
  // WRITE and its data: the bytes WRITE_DONE says were taken.
  uint32_t Write(const Bytes& data) {
    uint8_t total[4];
    wire::StoreU32(total, static_cast<uint32_t>(data.size()));
    wire::Message done;
    const uint32_t id = m_id++;
    if (!test_support::SendMessage(m_fd, wire::kWrite, id, total, 4) ||
        !test_support::SendMessage(m_fd, wire::kWriteData, id, data.data(), data.size()) ||
        !test_support::ReceiveMessage(m_fd, done) || done.payload.size() != 8) {
      ADD_FAILURE() << "no WRITE_DONE";
      return 0;
    }
    return wire::LoadU32(done.payload.data() + 4);
  }

 private:
  int m_fd;
  uint32_t m_id = 1;
};

// A control connection written by hand, byte by byte.
class RawControl {
 public:
  explicit RawControl(const std::string& address) : m_fd(test_support::ConnectEndpoint(address)) {}
  ~RawControl() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool Send(const Bytes& bytes) {
    return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The next `size` bytes, or fewer when the connection ends first.
  Bytes Receive(size_t size) {
    Bytes got(size);
    size_t have = 0;
    while (have < size) {
      const ssize_t n = ::recv(m_fd, got.data() + have, size - have, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    got.resize(have);
    return got;
  }
  // Stops sending and reads until the server closes: true when it did.
  bool EndsAfter() {
    ::shutdown(m_fd, SHUT_WR);
    return Receive(1).empty();
  }
  // A request: its whole size, the operation, the id, the arguments; the
  // answer's status and body.
  std::pair<uint32_t, Bytes> Ask(uint32_t op, uint32_t id, const Bytes& args = {}) {
    Bytes request;
    for (const uint32_t word : {static_cast<uint32_t>(12 + args.size()), op, id}) {
      for (int shift = 0; shift < 32; shift += 8) request.push_back(static_cast<uint8_t>(word >> shift));
    }
    for (uint8_t byte : args) request.push_back(byte);
    if (!Send(request)) return {0xFFFFFFFF, {}};
    const Bytes head = Receive(8);
    if (head.size() != 8 || wire::LoadU32(head.data() + 4) < 8) return {0xFFFFFFFF, {}};
    return {wire::LoadU32(head.data()), Receive(wire::LoadU32(head.data() + 4) - 8)};
  }

 private:
  int m_fd;
};

const Bytes kOpening = {0x4E, 0x56, 0x45, 0x43, 0x01, 0x00, 0x00, 0x00};
const Bytes kGranted = {0x4E, 0x56, 0x45, 0x43, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

// Appends a text as a request carries it: its 32-bit length, its bytes.
void PutText(Bytes& out, const std::string& text) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(text.size() >> shift));
  for (char c : text) out.push_back(static_cast<uint8_t>(c));
}

Bytes Text(const std::string& text) {
  Bytes bytes;
  PutText(bytes, text);
  return bytes;
}

// kCreate's arguments: name, the three boards, folder, listen.
Bytes CreateArguments(const std::string& name, const std::string& listen = "127.0.0.1:0") {
  Bytes args;
  PutText(args, name);
  for (int board = 0; board < 3; ++board) args.push_back(1);
  PutText(args, "");
  PutText(args, listen);
  return args;
}

class ControlPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_server.Start("127.0.0.1:0", m_address, m_error)) << m_error; }
  EmulatorOptions Remote(const std::string& listen = "127.0.0.1:0") {
    EmulatorOptions options;
    options.listen = listen;
    options.control = m_address;
    return options;
  }

  ControlServer m_server;
  std::string m_address;
  std::string m_error;
};

TEST_F(ControlPortTest, EveryControlReachesTheMachineBehindTheEndpoint) {
  Emulator emulator(Remote());
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  EXPECT_EQ(emulator.LocalModel(), nullptr);
  EXPECT_TRUE(emulator.IsPlugged());
  ASSERT_EQ(emulator.Address().rfind("tcp:127.0.0.1:", 0), 0u) << emulator.Address();
  EXPECT_EQ(emulator.EndpointPath(), emulator.Address());
  MachineControls& model = emulator.Model();

  Host host(emulator.Address());
  ASSERT_EQ(host.Open(), 0);
  ASSERT_TRUE(model.WaitForHost(true, milliseconds(2000)));
  EXPECT_TRUE(model.HostConnected());
  EXPECT_EQ(model.ConnectionsAccepted(), 1u);

  // Records, and what the host sent.
  const Bytes record = {9, 8, 7, 6, 5, 4};
  model.SetStateRecord(kLaserHead, 0x0102, 0x0304, record);
  EXPECT_EQ(model.StateRecord(kLaserHead, 0x0102, 0x0304), record);
  const Bytes query = RequestFrame(kLaserHead, kStateQuery, Selector(0x0102, 0x0304));
  EXPECT_EQ(host.Exchange(query), record);
  EXPECT_EQ(model.ReceivedFrames(), std::vector<Bytes>{query});
  EXPECT_TRUE(model.WaitForFrames(1, milliseconds(0)));
  EXPECT_FALSE(model.WaitForFrames(2, milliseconds(50)));
  host.Exchange(RequestFrame(kMainUnit, kFunctionCall, {5, 0, 6, 0, 0xAA, 0xBB}));
  ASSERT_EQ(model.FunctionCalls().size(), 1u);
  EXPECT_EQ(model.FunctionCalls()[0].group, 5);
  EXPECT_EQ(model.FunctionCalls()[0].item, 6);
  EXPECT_EQ(model.FunctionCalls()[0].params, (Bytes{0xAA, 0xBB}));
  model.ClearReceived();
  EXPECT_TRUE(model.ReceivedFrames().empty());

  // Boards and faults.
  model.SetBoardPresent(kHsBoard1, false);
  EXPECT_FALSE(model.BoardPresent(kHsBoard1));
  EXPECT_TRUE(model.BoardPresent(kHsBoard0));
  uint16_t command = 0;
  EXPECT_EQ(host.Exchange(RequestFrame(kHsBoard1, kStateQuery, Selector(0, 0)), &command),
            (Bytes{0xE2, 0, 0, 0}));
  EXPECT_EQ(command, kReplyError);
  model.InjectFault(Fault{FaultKind::kErrorReply, 0x1234, Fault::kUntilCleared, kStateQuery, kMainUnit});
  EXPECT_EQ(host.Exchange(RequestFrame(kMainUnit, kStateQuery, Selector(0, 0))), (Bytes{0x34, 0x12, 0, 0}));
  model.ClearFaults();
  EXPECT_EQ(host.Exchange(RequestFrame(kMainUnit, kStateQuery, Selector(0, 0))), (Bytes{1, 0, 0, 0}));

  // Print memory and bulk-write faults.
  model.InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 3, 1});
  EXPECT_EQ(host.Write({1, 2, 3, 4, 5, 6}), 3u);
  EXPECT_EQ(host.Write({7, 8}), 2u);
  EXPECT_EQ(model.PrintMemory(), (Bytes{1, 2, 3, 7, 8}));
  model.InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 1, Fault::kUntilCleared});
  model.ClearBulkWriteFaults();
  model.ClearPrintMemory();
  EXPECT_EQ(host.Write({9, 9}), 2u);
  EXPECT_EQ(model.PrintMemory(), (Bytes{9, 9}));

  // Parameter files: sections, header, saves and refusals.
  ParaFileControls& files = model.ParaFiles();
  files.SetSection(kLaserHead, 1, {1, 2, 3, 4});
  EXPECT_EQ(files.Section(kLaserHead, 1), (Bytes{1, 2, 3, 4}));
  files.SetSizes(kLaserHead, {4, 2, 8});
  EXPECT_EQ(files.Section(kLaserHead, 1), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(files.Section(kLaserHead, 2).size(), 16u);
  files.SetHeader(kLaserHead, ParaFileHeader{0x1234, 3, 100, 90});
  EXPECT_EQ(files.Header(kLaserHead).formatWord, 0x1234);
  EXPECT_EQ(files.Header(kLaserHead).writeChunkWords, 90);
  files.ClearEvents();
  host.Exchange(RequestFrame(kLaserHead, kParaSaveCommand, {0xFF, 0xFF, 0xFF, 0xFF}));
  const std::vector<ParaFileSave> saves = files.Saves();
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_EQ(saves[0].mask, 0xFFFFFFFFu);
  EXPECT_FALSE(saves[0].sections.empty());
  for (const auto& [number, bytes] : saves[0].sections) {
    EXPECT_EQ(files.SavedSection(kLaserHead, number), bytes) << number;
    EXPECT_EQ(files.Section(kLaserHead, number), bytes) << number;
  }
  files.Refuse(kLaserHead, kParaSaveCommand, 0x0055);
  EXPECT_EQ(host.Exchange(RequestFrame(kLaserHead, kParaSaveCommand, {2, 0, 0, 0})), (Bytes{0x55, 0, 0, 0}));
  ASSERT_EQ(files.Events().size(), 2u);
  EXPECT_EQ(files.Events()[1].kind, ParaFileEvent::Kind::kSave);
  EXPECT_EQ(files.Events()[1].refusal, 0x0055);

  // Another host is refused; dropping the host frees the device.
  {
    Host other(emulator.Address());
    EXPECT_EQ(other.Open(), 5);
  }
  EXPECT_EQ(model.BusyRefusals(), 1u);
  emulator.DropHost();
  EXPECT_TRUE(model.WaitForHost(false, milliseconds(2000)));
  EXPECT_TRUE(emulator.LastError().empty()) << emulator.LastError();

  // Unplugged, nobody answers at the address.
  const std::string address = emulator.Address();
  emulator.Unplug();
  EXPECT_FALSE(emulator.IsPlugged());
  EXPECT_LT(test_support::ConnectEndpoint(address), 0);
}

// NORVEX_EMU_CONTROL makes every Emulator of the process a control port's.
TEST_F(ControlPortTest, TheEnvironmentNamesTheControlPort) {
  ::setenv("NORVEX_EMU_CONTROL", m_address.c_str(), 1);
  EmulatorOptions options;
  options.listen = "127.0.0.1:0";
  Emulator emulator(options);
  ::unsetenv("NORVEX_EMU_CONTROL");
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  EXPECT_EQ(emulator.LocalModel(), nullptr);
  Host host(emulator.Address());
  EXPECT_EQ(host.Open(), 0);
  EXPECT_TRUE(emulator.Model().WaitForHost(true, milliseconds(2000)));
}

TEST_F(ControlPortTest, OpeningAndRequestsByteForByte) {
  RawControl owner(m_address);
  ASSERT_TRUE(owner.Send(kOpening));
  ASSERT_EQ(owner.Receive(12), kGranted);
  // kCreate (1) of a platesetter "x" at a loopback port the system picks,
  // as the page shows it: its id, 1.
  ASSERT_TRUE(
      owner.Send({0x27, 0, 0, 0, 1,  0, 0, 0, 0,   0,   0,   0,   1,   0,   0,   0,   'x', 1,   1,  1,
                  0,    0, 0, 0, 11, 0, 0, 0, '1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '0'}));
  EXPECT_EQ(owner.Receive(12), (Bytes{0, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0}));
  // kPlug (5): plugged, and an empty error text.
  EXPECT_EQ(owner.Ask(5, 1), std::make_pair(0u, Bytes{1, 0, 0, 0, 0}));
  // kSetStateRecord (12) and kStateRecord (13) of the main unit's (0, 7).
  EXPECT_EQ(owner.Ask(12, 1, {0x10, 0, 0, 7, 0, 2, 0, 0, 0, 0xAB, 0xCD}).first, 0u);
  EXPECT_EQ(owner.Ask(13, 1, {0x10, 0, 0, 7, 0}), std::make_pair(0u, Bytes{2, 0, 0, 0, 0xAB, 0xCD}));

  // Another connection finds it by name and controls it, but cannot destroy it.
  {
    RawControl other(m_address);
    ASSERT_TRUE(other.Send(kOpening));
    ASSERT_EQ(other.Receive(12), kGranted);
    EXPECT_EQ(other.Ask(4, 0, Text("x")), std::make_pair(0u, Bytes{1, 0, 0, 0}));
    EXPECT_EQ(other.Ask(7, 1), std::make_pair(0u, Bytes{1}));  // kIsPlugged
    EXPECT_EQ(other.Ask(3, 1).first, 4u);                      // kDestroy: failed
    EXPECT_EQ(other.Ask(7, 1), std::make_pair(0u, Bytes{1}));
  }
  // The platesetter goes with the connection that made it.
  ASSERT_TRUE(owner.EndsAfter());
  RawControl after(m_address);
  ASSERT_TRUE(after.Send(kOpening));
  ASSERT_EQ(after.Receive(12), kGranted);
  EXPECT_EQ(after.Ask(4, 0, Text("x")), std::make_pair(0u, Bytes{0, 0, 0, 0}));
  EXPECT_EQ(after.Ask(7, 1).first, 2u);  // no such platesetter
}

TEST_F(ControlPortTest, BadOpeningsAndRequestsChangeNothing) {
  {
    RawControl newer(m_address);
    ASSERT_TRUE(newer.Send({0x4E, 0x56, 0x45, 0x43, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(newer.Receive(12), (Bytes{0x4E, 0x56, 0x45, 0x43, 0x1A, 0x05, 0, 0, 0x01, 0, 0, 0}));  // 1306
    EXPECT_TRUE(newer.Receive(1).empty());
  }
  {
    RawControl stranger(m_address);
    ASSERT_TRUE(stranger.Send({0x4E, 0x56, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00}));  // a device's OPEN
    EXPECT_TRUE(stranger.Receive(1).empty());
  }
  RawControl client(m_address);
  ASSERT_TRUE(client.Send(kOpening));
  ASSERT_EQ(client.Receive(12), kGranted);
  ASSERT_EQ(client.Ask(1, 0, CreateArguments("bad-requests")).first, 0u);
  // A record cut short is not set; a fault of no known kind is not injected;
  // an unknown operation and an unknown platesetter are refused.
  EXPECT_EQ(client.Ask(12, 1, {0x10, 0, 0, 7, 0, 9, 0, 0, 0, 0xAB}).first, 3u);
  EXPECT_EQ(client.Ask(13, 1, {0x10, 0, 0, 7, 0}), std::make_pair(0u, Bytes{4, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(client.Ask(19, 1, {99, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).first, 3u);
  EXPECT_EQ(client.Ask(999, 1).first, 3u);
  EXPECT_EQ(client.Ask(7, 77).first, 2u);
  // Made through the port: TCP of the loopback interface only.
  EXPECT_EQ(client.Ask(1, 0, CreateArguments("elsewhere", "0.0.0.0:0")).first, 4u);
  // A request whose size is below its header ends the connection.
  ASSERT_TRUE(client.Send({11, 0, 0, 0}));
  EXPECT_TRUE(client.Receive(1).empty());
}

TEST_F(ControlPortTest, OnlyTheLoopbackInterface) {
  ControlServer open;
  std::string address;
  std::string error;
  EXPECT_FALSE(open.Start("0.0.0.0:0", address, error));
  EXPECT_NE(error.find("loopback"), std::string::npos) << error;
  Emulator emulator(Remote("0.0.0.0:0"));
  EXPECT_FALSE(emulator.Plug());
  EXPECT_NE(emulator.LastError().find("loopback"), std::string::npos) << emulator.LastError();
}

TEST_F(ControlPortTest, NoControlPortIsALoudFailure) {
  std::string address;
  {
    ControlServer gone;
    ASSERT_TRUE(gone.Start("127.0.0.1:0", address, m_error));
  }
  EmulatorOptions options = Remote();
  options.control = address;
  Emulator emulator(options);
  EXPECT_FALSE(emulator.Plug());
  EXPECT_NE(emulator.LastError().find("control port"), std::string::npos) << emulator.LastError();
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  EXPECT_FALSE(emulator.Model().WaitForHost(true, milliseconds(10)));
}

// A stop ends a wait in progress and the platesetters of the connections.
TEST_F(ControlPortTest, StopEndsAWaitAndThePlatesetters) {
  Emulator emulator(Remote());
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  const std::string address = emulator.Address();
  const auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { EXPECT_FALSE(emulator.Model().WaitForFrames(1, milliseconds(60000))); });
  m_server.Stop();
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_LT(test_support::ConnectEndpoint(address), 0);
  EXPECT_FALSE(emulator.LastError().empty());
}

}  // namespace
}  // namespace norvex::emu
