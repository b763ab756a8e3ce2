// posix_driver_test.cpp: the POSIX driver against scripted devices: listening
// Unix sockets in a temporary device folder, each served by a thread that
// plays one device's side of the protocol. Open, transfers byte for byte,
// time-outs and cancelling, late replies, disconnection, closing.
#include "platform/posix/posix_driver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/unix_transport.h"
#include "socket_messages.h"
#include "temp_folder.h"
#include "wire/device_wire.h"

namespace norvex::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr Guid kInterfaceClass = {
    0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The device's answer to the host's OPEN: status, then the version.
Bytes OpenAnswer(uint32_t status, uint32_t version = wire::kProtocolVersion) {
  Bytes payload(8);
  wire::StoreU32(payload.data(), status);
  wire::StoreU32(payload.data() + 4, version);
  return payload;
}

Bytes Status(uint32_t status, const Bytes& rest = {}) {
  Bytes payload(4 + rest.size());
  wire::StoreU32(payload.data(), status);
  std::copy(rest.begin(), rest.end(), payload.begin() + 4);
  return payload;
}

size_t CountEntries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

// The number of entries in `folder` once it is `expected`, or after 1 s: a
// joined thread may stay listed for a moment while the kernel lets it go.
size_t SettledCount(const char* folder, size_t expected) {
  const Clock::time_point start = Clock::now();
  size_t count = CountEntries(folder);
  while (count != expected && MillisecondsSince(start) < 1000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    count = CountEntries(folder);
  }
  return count;
}

// A one-shot signal between the test and a device thread.
class Signal {
 public:
  void Notify() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = true;
    m_changed.notify_all();
  }
  bool WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_set; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_set = false;
};

// A device's side of one connection.
class DeviceSide {
 public:
  explicit DeviceSide(int fd) : m_fd(fd) {}
  int fd() const { return m_fd; }

  // Whether something (a message or the end of the connection) arrives
  // within `milliseconds`.
  bool Readable(int milliseconds) {
    struct pollfd watch {};
    watch.fd = m_fd;
    watch.events = POLLIN;
    return ::poll(&watch, 1, milliseconds) == 1;
  }
  // The next message from the host; type 0 when none came within
  // `milliseconds` or the connection ended.
  wire::Message Next(int milliseconds = 3000) {
    wire::Message message;
    if (!Readable(milliseconds) || !test_support::ReceiveMessage(m_fd, message)) return wire::Message{};
    return message;
  }
  // The next message, which must be of `type`.
  wire::Message Expect(uint16_t type, int milliseconds = 3000) {
    wire::Message message = Next(milliseconds);
    EXPECT_EQ(message.type, type);
    return message;
  }
  void Send(uint16_t type, uint32_t id, const Bytes& payload) {
    EXPECT_TRUE(test_support::SendMessage(m_fd, type, id, payload.data(), payload.size()));
  }
  // Exactly `size` bytes from the host, or fewer when they do not come.
  Bytes Raw(size_t size) {
    Bytes bytes(size);
    size_t got = 0;
    while (got < size && Readable(3000)) {
      const ssize_t n = ::read(m_fd, bytes.data() + got, size - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
  void SendRaw(const Bytes& bytes) { EXPECT_TRUE(WriteAll(m_fd, bytes.data(), bytes.size())); }
  // Whether the host closes the connection within `milliseconds`.
  bool HostClosed(int milliseconds) {
    uint8_t byte = 0;
    return Readable(milliseconds) && ::read(m_fd, &byte, 1) == 0;
  }
  void Disconnect() { ::shutdown(m_fd, SHUT_RDWR); }

 private:
  int m_fd;
};

// A device endpoint: a listening socket in the device folder and a thread
// that serves one connection at a time with a script.
class ScriptedDevice {
 public:
  using Script = std::function<void(DeviceSide&)>;

  explicit ScriptedDevice(std::string path) : m_path(std::move(path)) {
    m_listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(m_listener.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof(address)),
              0);
    EXPECT_EQ(::listen(m_listener.get(), 4), 0);
  }
  ~ScriptedDevice() {
    Join();
    ::unlink(m_path.c_str());
  }
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // Serves the next connection: takes the host's OPEN, grants it and runs
  // `script`; the device closes the connection when the script ends.
  void Serve(Script script) {
    ServeRaw([script = std::move(script)](DeviceSide& device) {
      const wire::Message open = device.Expect(wire::kOpen);
      EXPECT_EQ(open.payload, Bytes({3, 0, 0, 0, 0, 0, 0, 0}));  // version 3, for use
      device.Send(wire::kOpen, 0, OpenAnswer(0));
      script(device);
    });
  }
  // Serves the next connection with `script` alone, from the first byte.
  void ServeRaw(Script script) {
    Join();
    m_server = std::thread([this, script = std::move(script)] {
      struct pollfd watch {};
      watch.fd = m_listener.get();
      watch.events = POLLIN;
      if (::poll(&watch, 1, 5000) != 1) {
        ADD_FAILURE() << "no host connected to " << m_path;
        return;
      }
      UniqueFd connection(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ASSERT_TRUE(connection);
      DeviceSide device(connection.get());
      script(device);
    });
  }
  // Waits for the current script to end.
  void Join() {
    if (m_server.joinable()) m_server.join();
  }
  // Stops listening, but leaves the socket in the folder: a stale endpoint.
  void StopListening() { m_listener.reset(); }

 private:
  std::string m_path;
  UniqueFd m_listener;
  std::thread m_server;
};

class PosixDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_temp.path().empty());
    ASSERT_EQ(::setenv("NORVEX_DEVICE_DIR", m_folder.c_str(), 1), 0);
  }
  void TearDown() override { ::unsetenv("NORVEX_DEVICE_DIR"); }

  std::string PathOf(const std::string& name) const { return m_folder + "/" + name; }

  // Opens interface `index`, which must succeed.
  Handle OpenGranted(uint32_t index = 0) {
    uint32_t error = 12345;
    const Handle handle = m_driver.OpenInterface(kInterfaceClass, index, error);
    EXPECT_NE(handle, kInvalidHandle);
    EXPECT_EQ(error, 0u);
    return handle;
  }
  // The error of opening interface `index`, which must fail.
  uint32_t OpenError(uint32_t index = 0) {
    uint32_t error = 0;
    EXPECT_EQ(m_driver.OpenInterface(kInterfaceClass, index, error), kInvalidHandle);
    return error;
  }

  const test_support::TempFolder m_temp{"norvex-dev"};
  const std::string m_folder = m_temp.path();
  Driver& m_driver = DeviceDriver();
};

// ---------------------------------------------------------------------------
// Open and close.

TEST_F(PosixDriverTest, OpenWithoutAnySocketFindsNoDevice) {
  ASSERT_EQ(::setenv("NORVEX_DEVICE_DIR", PathOf("missing").c_str(), 1), 0);
  EXPECT_EQ(OpenError(), kErrorNoMoreItems);

  ASSERT_EQ(::setenv("NORVEX_DEVICE_DIR", m_folder.c_str(), 1), 0);
  EXPECT_EQ(OpenError(), kErrorNoMoreItems);

  // Files, folders and pipes are not devices.
  std::FILE* file = std::fopen(PathOf("0-file").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  ASSERT_EQ(::mkdir(PathOf("1-folder").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(PathOf("2-fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenError(), kErrorNoMoreItems);

  // A hidden socket (a device still setting up) is none either.
  ScriptedDevice hidden(PathOf(".dev.tmp"));
  EXPECT_EQ(OpenError(), kErrorNoMoreItems);

  // One device: there is no interface number 1.
  ScriptedDevice device(PathOf("dev"));
  EXPECT_EQ(OpenError(1), kErrorNoMoreItems);
}

TEST_F(PosixDriverTest, OpenTakesTheSocketsInTheByteOrderOfTheirNames) {
  ScriptedDevice lowerA(PathOf("dev-a"));
  ScriptedDevice upperB(PathOf("dev-B"));
  ScriptedDevice upperDev(PathOf("Dev-c"));
  const std::vector<std::pair<ScriptedDevice*, std::string>> order = {
      {&upperDev, "Dev-c"}, {&upperB, "dev-B"}, {&lowerA, "dev-a"}};
  for (uint32_t index = 0; index < order.size(); ++index) {
    SCOPED_TRACE(index);
    order[index].first->Serve([](DeviceSide& device) { EXPECT_TRUE(device.HostClosed(3000)); });
    const Handle handle = OpenGranted(index);
    EXPECT_EQ(PosixDeviceEndpoint(handle), PathOf(order[index].second));
    EXPECT_EQ(m_driver.Close(handle), 0u);
    order[index].first->Join();
  }
  EXPECT_EQ(OpenError(3), kErrorNoMoreItems);
}

TEST_F(PosixDriverTest, BusyDeviceRefusesTheOpenWithAccessDenied) {
  ScriptedDevice device(PathOf("dev"));
  device.ServeRaw([](DeviceSide& side) {
    side.Expect(wire::kOpen);
    side.Send(wire::kOpen, 0, OpenAnswer(5));
  });
  EXPECT_EQ(OpenError(), kErrorAccessDenied);
}

// A device of another version, and one of the versions before the version
// field (it sends its 4-byte OPEN unasked and takes the host's for an
// error), are refused with ERROR_REVISION_MISMATCH, not taken for a
// dropped connection.
TEST_F(PosixDriverTest, DeviceOfAnotherProtocolVersionIsRefused) {
  ScriptedDevice device(PathOf("dev"));
  device.ServeRaw([](DeviceSide& side) {
    side.Expect(wire::kOpen);
    side.Send(wire::kOpen, 0, OpenAnswer(0, 4));
    EXPECT_TRUE(side.HostClosed(3000));
  });
  EXPECT_EQ(OpenError(), 1306u);
  device.ServeRaw([](DeviceSide& side) {
    side.Send(wire::kOpen, 0, Status(0));
    side.Expect(wire::kOpen);  // a protocol error to this device
    EXPECT_TRUE(side.HostClosed(3000));
  });
  EXPECT_EQ(OpenError(), 1306u);
  // A device that grants with its version is this version's.
  device.Serve([](DeviceSide& side) { EXPECT_TRUE(side.HostClosed(3000)); });
  EXPECT_EQ(m_driver.Close(OpenGranted()), 0u);
}

TEST_F(PosixDriverTest, DeviceThatDoesNotGrantTheOpenCannotBeOpened) {
  ScriptedDevice device(PathOf("dev"));
  // Closes without a word.
  device.ServeRaw([](DeviceSide&) {});
  EXPECT_EQ(OpenError(), kErrorDeviceNotConnected);
  // Answers with something other than OPEN.
  device.ServeRaw([](DeviceSide& side) { side.Send(wire::kControlDone, 0, Status(0)); });
  EXPECT_EQ(OpenError(), kErrorDeviceNotConnected);
  device.Join();
  // Nobody listens behind the socket any more.
  device.StopListening();
  EXPECT_EQ(OpenError(), kErrorDeviceNotConnected);
}

// A device folder or endpoint that another user owns, or that others may
// write, could be another user's fake platesetter: refused with
// ERROR_INVALID_OWNER before anything is sent to it.
TEST_F(PosixDriverTest, EndpointsThatAreNotTheUsersOwnAreRefused) {
  ScriptedDevice device(PathOf("dev"));
  ASSERT_EQ(::chmod(PathOf("dev").c_str(), 0666), 0);
  EXPECT_EQ(OpenError(), 1307u);
  ASSERT_EQ(::chmod(PathOf("dev").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(m_folder.c_str(), 0777), 0);
  EXPECT_EQ(OpenError(), 1307u);
  ASSERT_EQ(::chmod(m_folder.c_str(), 0700), 0);
  if (::geteuid() == 0) {
    // Root can give the socket to another user.
    ASSERT_EQ(::chown(PathOf("dev").c_str(), 65534, 65534), 0);
    EXPECT_EQ(OpenError(), 1307u);
    ASSERT_EQ(::chown(PathOf("dev").c_str(), 0, 0), 0);
  }
  device.Serve([](DeviceSide& side) { EXPECT_TRUE(side.HostClosed(3000)); });
  EXPECT_EQ(m_driver.Close(OpenGranted()), 0u);
}

// With no folder named, the device is looked for in the user's runtime
// folder ($XDG_RUNTIME_DIR/norvex), never in a folder of a name that any user
// could make first.
TEST_F(PosixDriverTest, TheDefaultFolderIsTheUsersRuntimeFolder) {
  ASSERT_EQ(::mkdir(PathOf("norvex").c_str(), 0700), 0);
  ScriptedDevice device(PathOf("norvex/dev"));
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = runtime != nullptr ? runtime : "";
  ::unsetenv("NORVEX_DEVICE_DIR");
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", m_folder.c_str(), 1), 0);
  device.Serve([](DeviceSide& side) { EXPECT_TRUE(side.HostClosed(3000)); });
  EXPECT_EQ(m_driver.Close(OpenGranted()), 0u);
  device.Join();
  // A runtime folder that is no absolute path is not taken.
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", "norvex-relative", 1), 0);
  const std::string fallback = "/tmp/norvex-" + std::to_string(::geteuid());
  EXPECT_NE(unix_transport::DefaultDeviceFolder(), PathOf("norvex"));
  EXPECT_EQ(unix_transport::DefaultDeviceFolder(), fallback);
  if (runtime != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST_F(PosixDriverTest, HandlesAreDistinctAndCloseLeavesNoDescriptorOrThread) {
  ScriptedDevice device(PathOf("dev"));
  const size_t descriptors = CountEntries("/proc/self/fd");
  const size_t threads = CountEntries("/proc/self/task");
  Handle previous = kInvalidHandle;
  for (int round = 0; round < 3; ++round) {
    device.Serve([](DeviceSide& side) { EXPECT_TRUE(side.HostClosed(3000)); });
    const Handle handle = OpenGranted();
    EXPECT_NE(handle, 0u);
    EXPECT_NE(handle, previous);
    previous = handle;
    EXPECT_EQ(m_driver.Close(handle), 0u);
    device.Join();
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(SettledCount("/proc/self/task", threads), threads);
  }
}

TEST_F(PosixDriverTest, UnknownAndClosedHandlesFailAtOnce) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) { EXPECT_TRUE(side.HostClosed(3000)); });
  const Handle closed = OpenGranted();
  ASSERT_EQ(m_driver.Close(closed), 0u);

  const uint8_t frame[4] = {1, 2, 3, 4};
  uint8_t buffer[16];
  for (Handle handle : {closed, kInvalidHandle, Handle{0}, Handle{12345}}) {
    SCOPED_TRACE(handle);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(m_driver.Close(handle), kErrorInvalidHandle);
    EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 5000),
              kErrorInvalidHandle);
    uint32_t bytesRead = 99;
    EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorInvalidHandle);
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_EQ(PosixDeviceEndpoint(handle), "");
    EXPECT_LT(MillisecondsSince(start), 100);
  }
}

// ---------------------------------------------------------------------------
// Transfers.

TEST_F(PosixDriverTest, ControlAndReadAreTheMessagesOfTheProtocolByteForByte) {
  // The session of the protocol's documentation: the main unit's general
  // state, answered with 4 bytes.
  const Bytes request = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07};
  const Bytes reply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
  ScriptedDevice device(PathOf("dev"));
  device.ServeRaw([&](DeviceSide& side) {
    // The opening of version 3: the host's OPEN (version 3, for use), the
    // device's answer (granted, version 3).
    EXPECT_EQ(side.Raw(20), Bytes({0x4E, 0x56, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                                   0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    side.SendRaw({0x4E, 0x56, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00});
    Bytes control = {0x4E, 0x56, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00,
                     0x12, 0x00, 0x00, 0x00, 0x02, 0x20, 0x22, 0x00};
    control.insert(control.end(), request.begin(), request.end());
    EXPECT_EQ(side.Raw(control.size()), control);
    side.SendRaw(
        {0x4E, 0x56, 0x11, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(side.Raw(16), Bytes({0x4E, 0x56, 0x20, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                                   0x00, 0x02, 0x00, 0x00}));
    Bytes readDone = {0x4E, 0x56, 0x21, 0x00, 0x02, 0x00, 0x00, 0x00,
                      0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    readDone.insert(readDone.end(), reply.begin(), reply.end());
    side.SendRaw(readDone);
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, request.data(),
                                    static_cast<uint32_t>(request.size()), 1000),
            0u);
  uint8_t buffer[512];
  std::memset(buffer, 0xAA, sizeof(buffer));
  uint32_t bytesRead = 0;
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 1000), 0u);
  ASSERT_EQ(bytesRead, reply.size());
  EXPECT_EQ(Bytes(buffer, buffer + bytesRead), reply);
  EXPECT_EQ(buffer[bytesRead], 0xAA);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(PosixDriverTest, ReadTakesAtMostItsCapacityAndAnErrorStatusIsReportedAsPending) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    const wire::Message control = side.Expect(wire::kControl);
    side.Send(wire::kControlDone, control.id, Status(31));
    // The device sends more than the host asked for: the host takes its part.
    wire::Message read = side.Expect(wire::kRead);
    EXPECT_EQ(wire::LoadU32(read.payload.data()), 4u);
    side.Send(wire::kReadDone, read.id, Status(0, {1, 2, 3, 4, 5, 6, 7, 8}));
    read = side.Expect(wire::kRead);
    side.Send(wire::kReadDone, read.id, Status(31, {9, 9, 9}));
    read = side.Expect(wire::kRead);
    EXPECT_EQ(wire::LoadU32(read.payload.data()), 0u);
    side.Send(wire::kReadDone, read.id, Status(0));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 1000), kErrorIoPending);

  uint8_t buffer[8];
  std::memset(buffer, 0xAA, sizeof(buffer));
  uint32_t bytesRead = 0;
  EXPECT_EQ(m_driver.Read(handle, buffer, 4, bytesRead, 1000), 0u);
  EXPECT_EQ(bytesRead, 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes({1, 2, 3, 4, 0xAA, 0xAA, 0xAA, 0xAA}));

  std::memset(buffer, 0xAA, sizeof(buffer));
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 1000), kErrorIoPending);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_EQ(buffer[0], 0xAA);

  // A read without room, answered with an empty frame.
  EXPECT_EQ(m_driver.Read(handle, nullptr, 0, bytesRead, 1000), 0u);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(PosixDriverTest, TransfersOnOneHandleCompleteByTheirIdsInAnyOrder) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    // Both transfers arrive before either is answered; the later one is
    // answered first.
    const wire::Message first = side.Next();
    const wire::Message second = side.Next();
    ASSERT_NE(first.type, 0);
    ASSERT_NE(second.type, 0);
    EXPECT_NE(first.id, second.id);
    for (const wire::Message* message : {&second, &first}) {
      if (message->type == wire::kRead) {
        side.Send(wire::kReadDone, message->id, Status(0, {0x55, 0x66}));
      } else {
        EXPECT_EQ(message->type, wire::kControl);
        side.Send(wire::kControlDone, message->id, Status(0));
      }
    }
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  uint32_t readResult = 99;
  uint32_t bytesRead = 0;
  uint8_t buffer[8] = {};
  std::thread reader([&] { readResult = m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 2000); });
  const uint8_t frame[3] = {7, 8, 9};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 2000), 0u);
  reader.join();
  EXPECT_EQ(readResult, 0u);
  EXPECT_EQ(Bytes(buffer, buffer + bytesRead), Bytes({0x55, 0x66}));
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

// ---------------------------------------------------------------------------
// Time-outs, cancelling, late replies.

TEST_F(PosixDriverTest, TimeOutSendsCancelAndReportsPendingInTime) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    // No reply is ready: the READ stays pending until the host cancels it.
    const wire::Message read = side.Expect(wire::kRead);
    const wire::Message cancel = side.Expect(wire::kCancel);
    EXPECT_EQ(cancel.id, read.id);
    EXPECT_TRUE(cancel.payload.empty());
    side.Send(wire::kReadDone, read.id, Status(kErrorOperationAborted));
    // The same with a CONTROL that the device never acknowledges.
    const wire::Message control = side.Expect(wire::kControl);
    EXPECT_EQ(side.Expect(wire::kCancel).id, control.id);
    side.Send(wire::kControlDone, control.id, Status(kErrorOperationAborted));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof(buffer));
  uint32_t bytesRead = 99;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 100), kErrorIoPending);
  int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 100);
  EXPECT_LT(elapsed, 600);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_EQ(buffer[0], 0xAA);

  const uint8_t frame[2] = {0x4D, 0x45};
  start = Clock::now();
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 50), kErrorIoPending);
  elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 50);
  EXPECT_LT(elapsed, 550);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(PosixDriverTest, ZeroTimeOutCancelsAtOnceAndReportsPendingWhateverTheAnswer) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    const wire::Message read = side.Expect(wire::kRead);
    EXPECT_EQ(side.Expect(wire::kCancel).id, read.id);
    side.Send(wire::kReadDone, read.id, Status(kErrorOperationAborted));
    // The device completes the CONTROL well just as the CANCEL arrives: the
    // host, which did not wait, reports it as pending all the same.
    const wire::Message control = side.Expect(wire::kControl);
    EXPECT_EQ(side.Expect(wire::kCancel).id, control.id);
    side.Send(wire::kControlDone, control.id, Status(0));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  uint8_t buffer[16];
  uint32_t bytesRead = 99;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 0), kErrorIoPending);
  EXPECT_LT(MillisecondsSince(start), 500);
  EXPECT_EQ(bytesRead, 0u);

  const uint8_t frame[2] = {0x4D, 0x45};
  start = Clock::now();
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 0), kErrorIoPending);
  EXPECT_LT(MillisecondsSince(start), 500);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(PosixDriverTest, LateReplyAfterAnIgnoredCancelIsDroppedAndTheNextReadGetsItsOwn) {
  Signal hostGaveUp;
  ScriptedDevice device(PathOf("dev"));
  device.Serve([&](DeviceSide& side) {
    const wire::Message stale = side.Expect(wire::kRead);
    EXPECT_EQ(side.Expect(wire::kCancel).id, stale.id);
    // The device ignores the CANCEL and answers only after the host has
    // forgotten the transfer.
    EXPECT_TRUE(hostGaveUp.WaitFor(5000));
    side.Send(wire::kReadDone, stale.id, Status(0, {0xDE, 0xAD}));
    const wire::Message fresh = side.Expect(wire::kRead);
    EXPECT_GT(fresh.id, stale.id);
    side.Send(wire::kReadDone, fresh.id, Status(0, {0x12, 0x34, 0x56}));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const uint64_t droppedBefore = DroppedLateCompletions();
  const Handle handle = OpenGranted();
  uint8_t abandoned[8];
  std::memset(abandoned, 0xAA, sizeof(abandoned));
  uint32_t bytesRead = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.Read(handle, abandoned, sizeof(abandoned), bytesRead, 50), kErrorIoPending);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 50 + 1000);  // the time-out, then the wait for the cancel
  EXPECT_LT(elapsed, 50 + 1000 + 500);
  hostGaveUp.Notify();

  uint8_t buffer[8] = {};
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 2000), 0u);
  EXPECT_EQ(Bytes(buffer, buffer + bytesRead), Bytes({0x12, 0x34, 0x56}));
  // The late reply came before the fresh one on the stream.
  EXPECT_EQ(DroppedLateCompletions(), droppedBefore + 1);
  EXPECT_EQ(abandoned[0], 0xAA);
  EXPECT_EQ(abandoned[1], 0xAA);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(PosixDriverTest, DoneForNoPendingTransferIsDropped) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    side.Send(wire::kReadDone, 77, Status(0, {0xBA, 0xD0}));  // an id never used
    const wire::Message control = side.Expect(wire::kControl);
    side.Send(wire::kControlDone, control.id, Status(0));
    side.Send(wire::kControlDone, control.id, Status(0));  // a duplicate
    const wire::Message read = side.Expect(wire::kRead);
    side.Send(wire::kReadDone, read.id, Status(0, {0x01}));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const uint64_t droppedBefore = DroppedLateCompletions();
  const Handle handle = OpenGranted();
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 1000), 0u);
  uint8_t buffer[8] = {};
  uint32_t bytesRead = 0;
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 1000), 0u);
  EXPECT_EQ(Bytes(buffer, buffer + bytesRead), Bytes({0x01}));
  EXPECT_EQ(DroppedLateCompletions(), droppedBefore + 2);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

// ---------------------------------------------------------------------------
// Disconnection and closing.

TEST_F(PosixDriverTest, DisconnectFailsThePendingTransferAndEveryLaterOne) {
  ScriptedDevice device(PathOf("dev"));
  device.Serve([](DeviceSide& side) {
    side.Expect(wire::kRead);
    side.Disconnect();  // unplugged in the middle of the transfer
  });

  const Handle handle = OpenGranted();
  uint8_t buffer[16];
  uint32_t bytesRead = 99;
  const Clock::time_point start = Clock::now();
  // It was pending when the connection dropped: done with an error after
  // pending.
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorIoPending);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(bytesRead, 0u);
  device.Join();

  // Later transfers cannot be started, until the handle is closed.
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 5000),
            kErrorDeviceNotConnected);
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorDeviceNotConnected);
  EXPECT_EQ(PosixDeviceEndpoint(handle), PathOf("dev"));
  EXPECT_EQ(m_driver.Close(handle), 0u);
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorInvalidHandle);
}

TEST_F(PosixDriverTest, ProtocolErrorFromTheDeviceEndsTheConnection) {
  const std::vector<std::pair<const char*, std::function<void(DeviceSide&, uint32_t)>>> faults = {
      {"wrong magic",
       [](DeviceSide& side, uint32_t) {
         side.SendRaw({0x4E, 0x57, 0x21, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
       }},
      {"DONE without its status",
       [](DeviceSide& side, uint32_t id) {
         side.Send(wire::kReadDone, id, {0x00, 0x00});
       }},
      {"DONE of another type",
       [](DeviceSide& side, uint32_t id) { side.Send(wire::kControlDone, id, Status(0)); }},
      {"a message of the host's", [](DeviceSide& side, uint32_t id) { side.Send(wire::kCancel, id, {}); }},
  };
  ScriptedDevice device(PathOf("dev"));
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.first);
    device.Serve([&fault](DeviceSide& side) {
      const wire::Message read = side.Expect(wire::kRead);
      fault.second(side, read.id);
      EXPECT_TRUE(side.HostClosed(3000));
    });
    const Handle handle = OpenGranted();
    uint8_t buffer[16];
    uint32_t bytesRead = 99;
    EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorIoPending);
    device.Join();
    EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorDeviceNotConnected);
    EXPECT_EQ(m_driver.Close(handle), 0u);
  }
}

TEST_F(PosixDriverTest, CloseWhileAnotherThreadWaitsInReadEndsThatRead) {
  Signal readArrived;
  ScriptedDevice device(PathOf("dev"));
  device.Serve([&](DeviceSide& side) {
    side.Expect(wire::kRead);
    readArrived.Notify();
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  uint32_t result = 99;
  uint32_t bytesRead = 99;
  int64_t elapsed = 0;
  std::vector<uint8_t> buffer(64, 0xAA);
  std::thread reader([&] {
    const Clock::time_point start = Clock::now();
    result = m_driver.Read(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), bytesRead, 10000);
    elapsed = MillisecondsSince(start);
  });
  ASSERT_TRUE(readArrived.WaitFor(3000));
  EXPECT_EQ(m_driver.Close(handle), 0u);
  reader.join();
  EXPECT_EQ(result, kErrorIoPending);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_LT(elapsed, 1000);
  EXPECT_EQ(buffer[0], 0xAA);
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 5000),
            kErrorInvalidHandle);
}

// ---------------------------------------------------------------------------
// Bulk writes: overlapped, a WRITE and its data in WRITE_DATA messages.

// The data of the WRITE_DATA messages of write `id` until `stop` says so;
// each is at most 64 KiB. `last` receives the first other message.
Bytes ReceiveWriteData(DeviceSide& side, uint32_t id, size_t bytes, wire::Message* last = nullptr) {
  Bytes data;
  while (data.size() < bytes) {
    wire::Message message = side.Next();
    if (message.type != wire::kWriteData) {
      if (last != nullptr) *last = std::move(message);
      return data;
    }
    EXPECT_EQ(message.id, id);
    EXPECT_GT(message.payload.size(), 0u);
    EXPECT_LE(message.payload.size(), 0x10000u);
    data.insert(data.end(), message.payload.begin(), message.payload.end());
  }
  return data;
}

Bytes Pattern(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 / 7);
  return data;
}

TEST_F(PosixDriverTest, BulkWriteStartsAtOnceAndSendsItsDataInPieces) {
  const Bytes data = Pattern(0x100003);  // more than the socket holds
  Signal started;
  ScriptedDevice device(PathOf("dev"));
  device.Serve([&](DeviceSide& side) {
    // The device takes nothing until the host's start has returned.
    EXPECT_TRUE(started.WaitFor(5000));
    const wire::Message write = side.Expect(wire::kWrite);
    ASSERT_EQ(write.payload.size(), 4u);
    EXPECT_EQ(wire::LoadU32(write.payload.data()), data.size());
    EXPECT_EQ(ReceiveWriteData(side, write.id, data.size()), data);
    side.Send(wire::kWriteDone, write.id, Status(0, {0x03, 0x00, 0x10, 0x00}));
    // A failing write's status is the completion's result.
    const wire::Message failing = side.Expect(wire::kWrite);
    EXPECT_EQ(ReceiveWriteData(side, failing.id, 10), Bytes(data.begin(), data.begin() + 10));
    side.Send(wire::kWriteDone, failing.id, Status(31, {0, 0, 0, 0}));
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  uint32_t error = 99;
  const Driver::PendingWrite write =
      m_driver.StartWrite(handle, data.data(), static_cast<uint32_t>(data.size()), error);
  ASSERT_NE(write, Driver::kNoWrite);
  EXPECT_EQ(error, 0u);
  started.Notify();
  uint32_t transferred = 0;
  EXPECT_EQ(m_driver.CompleteWrite(write, 10000, transferred), 0u);
  EXPECT_EQ(transferred, data.size());
  const Driver::PendingWrite failing = m_driver.StartWrite(handle, data.data(), 10, error);
  EXPECT_EQ(m_driver.CompleteWrite(failing, 10000, transferred), 31u);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

// Not done in time: the completion returns after its time-out with 996, and
// no longer reads the host's buffer (freed here: AddressSanitizer runs see
// any later read). The message in hand goes out whole from a copy, then the
// CANCEL; nothing more of the write follows, and the connection goes on.
TEST_F(PosixDriverTest, BulkWriteNotDoneInTimeIsCancelledAndLetsGoOfTheBuffer) {
  const Bytes data = Pattern(0x100000);
  Signal completed;
  Signal cancelSeen;
  ScriptedDevice device(PathOf("dev"));
  device.Serve([&](DeviceSide& side) {
    const wire::Message write = side.Expect(wire::kWrite);
    EXPECT_TRUE(completed.WaitFor(5000));  // a device that stalls
    wire::Message next;
    const Bytes got = ReceiveWriteData(side, write.id, data.size(), &next);
    EXPECT_LT(got.size(), data.size());
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(got.size())));
    // Then the CANCEL, and no more of the write; the command of the other
    // thread may come before the CANCEL.
    bool cancelled = false;
    bool commanded = false;
    while (!(cancelled && commanded)) {
      if (next.type == wire::kCancel && !cancelled) {
        EXPECT_EQ(next.id, write.id);
        cancelled = true;
        side.Send(wire::kWriteDone, write.id, Status(kErrorOperationAborted, {0, 0, 0, 0}));  // dropped
      } else if (next.type == wire::kControl && !commanded) {
        commanded = true;
        side.Send(wire::kControlDone, next.id, Status(0));
      } else {
        ADD_FAILURE() << "message of type " << next.type;
        break;
      }
      if (!(cancelled && commanded)) next = side.Next(10000);
    }
    cancelSeen.Notify();
    EXPECT_TRUE(side.HostClosed(3000));
  });

  const Handle handle = OpenGranted();
  auto buffer = std::make_unique<uint8_t[]>(data.size());
  std::memcpy(buffer.get(), data.data(), data.size());
  uint32_t error = 0;
  const Driver::PendingWrite write =
      m_driver.StartWrite(handle, buffer.get(), static_cast<uint32_t>(data.size()), error);
  ASSERT_NE(write, Driver::kNoWrite);
  uint32_t transferred = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.CompleteWrite(write, 100, transferred), kErrorIoIncomplete);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 100);
  // The device takes nothing until this returned: a completion that waited
  // for it would return only when its wait (5 s) gave up.
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(transferred, 0u);
  std::memset(buffer.get(), 0xEE, data.size());
  buffer.reset();
  completed.Notify();
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 10000), 0u);
  // The CANCEL goes out from the handle's sender, maybe after the command's
  // round trip: the handle stays open until the device has seen it.
  EXPECT_TRUE(cancelSeen.WaitFor(10000));
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

// A device that takes nothing of a message for 10 s is given up: the host
// ends the connection, and the write's completion reports it (1167).
TEST_F(PosixDriverTest, DeviceThatTakesNothingForTenSecondsIsGivenUp) {
  Signal gaveUp;
  ScriptedDevice device(PathOf("dev"));
  device.Serve([&](DeviceSide& side) {
    side.Expect(wire::kWrite);
    EXPECT_TRUE(gaveUp.WaitFor(20000));  // reads nothing more until then
    // What the socket held, then the end of the stream.
    while (side.Next(1000).type == wire::kWriteData) {
    }
    EXPECT_TRUE(side.HostClosed(1000));
  });
  const Handle handle = OpenGranted();
  const Bytes data = Pattern(0x200000);
  uint32_t error = 0;
  const Driver::PendingWrite write =
      m_driver.StartWrite(handle, data.data(), static_cast<uint32_t>(data.size()), error);
  uint32_t transferred = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.CompleteWrite(write, 20000, transferred), kErrorDeviceNotConnected);
  const int64_t elapsed = MillisecondsSince(start);
  gaveUp.Notify();
  EXPECT_GE(elapsed, 9000);
  EXPECT_LT(elapsed, 14000);
  const uint8_t frame[2] = {0x4D, 0x45};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 1000),
            kErrorDeviceNotConnected);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

}  // namespace
}  // namespace norvex::platform

namespace norvex::platform {
namespace {

// ---------------------------------------------------------------------------
// The TCP transport: a device at tcp:127.0.0.1:PORT, and the faults of a
// network peer. Each ends with its documented result within its time limit
// and leaves no descriptor and no thread behind.

class TcpDevice {
 public:
  TcpDevice() : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(m_listener.get(), 4), 0);
    ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~TcpDevice() { Join(); }
  std::string Address() const { return "tcp:127.0.0.1:" + std::to_string(m_port); }
  // Accepts one connection and runs `script` on it.
  void Serve(std::function<void(DeviceSide&)> script) {
    Join();
    m_server = std::thread([this, script = std::move(script)] {
      UniqueFd connection(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ASSERT_TRUE(connection);
      DeviceSide device(connection.get());
      script(device);
    });
  }
  void Join() {
    if (m_server.joinable()) m_server.join();
  }

 private:
  UniqueFd m_listener;
  uint16_t m_port = 0;
  std::thread m_server;
};

class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::setenv("NORVEX_DEVICE", m_device.Address().c_str(), 1), 0);
    m_descriptors = CountEntries("/proc/self/fd");
    m_threads = CountEntries("/proc/self/task");
  }
  void TearDown() override {
    m_device.Join();
    ::unsetenv("NORVEX_DEVICE");
    EXPECT_EQ(CountEntries("/proc/self/fd"), m_descriptors);
    EXPECT_EQ(SettledCount("/proc/self/task", m_threads), m_threads);
  }
  // Opens the device, which must grant it: the handshake of version 3.
  static void Grant(DeviceSide& side) {
    const wire::Message open = side.Expect(wire::kOpen);
    EXPECT_EQ(open.payload, Bytes({3, 0, 0, 0, 0, 0, 0, 0}));
    side.Send(wire::kOpen, 0, OpenAnswer(0));
  }

  TcpDevice m_device;
  Driver& m_driver = DeviceDriver();
  size_t m_descriptors = 0;
  size_t m_threads = 0;
};

TEST_F(TcpTransportTest, ExchangesAreTheProtocolsMessages) {
  const Bytes reply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
  m_device.Serve([&](DeviceSide& side) {
    Grant(side);
    const wire::Message control = side.Expect(wire::kControl);
    side.Send(wire::kControlDone, control.id, Status(0));
    const wire::Message read = side.Expect(wire::kRead);
    side.Send(wire::kReadDone, read.id, Status(0, reply));
    EXPECT_TRUE(side.HostClosed(3000));
  });
  uint32_t error = 99;
  const Handle handle = m_driver.OpenInterface(Guid{}, 0, error);
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(PosixDeviceEndpoint(handle), m_device.Address());
  const uint8_t frame[14] = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0, 0, 0, 0, 0x33, 0x07};
  EXPECT_EQ(m_driver.ControlRequest(handle, kIoctlSendFrame, frame, sizeof(frame), 2000), 0u);
  uint8_t buffer[512];
  uint32_t bytesRead = 0;
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 2000), 0u);
  EXPECT_EQ(Bytes(buffer, buffer + bytesRead), reply);
  // One device behind an address.
  uint32_t second = 0;
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 1, second), kInvalidHandle);
  EXPECT_EQ(second, kErrorNoMoreItems);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

TEST_F(TcpTransportTest, AnAddressNobodyServesIsNoDevice) {
  ASSERT_EQ(::setenv("NORVEX_DEVICE", "tcp:127.0.0.1:1", 1), 0);  // nobody listens on port 1
  uint32_t error = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 0, error), kInvalidHandle);
  EXPECT_EQ(error, kErrorNoMoreItems);
  EXPECT_LT(MillisecondsSince(start), 1000);
  ASSERT_EQ(::setenv("NORVEX_DEVICE", "tcp:no-such-host.invalid:5000", 1), 0);
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 0, error), kInvalidHandle);
  EXPECT_NE(error, 0u);
  ASSERT_EQ(::setenv("NORVEX_DEVICE", "tcp:127.0.0.1", 1), 0);
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 0, error), kInvalidHandle);
  EXPECT_EQ(error, 161u);  // not an address
}

TEST_F(TcpTransportTest, AListenerThatAcceptsAndNeverAnswersTimesOut) {
  Signal done;
  m_device.Serve([&](DeviceSide&) { EXPECT_TRUE(done.WaitFor(10000)); });
  uint32_t error = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 0, error), kInvalidHandle);
  EXPECT_EQ(error, 1460u);  // ERROR_TIMEOUT
  EXPECT_GE(MillisecondsSince(start), 2000);
  EXPECT_LT(MillisecondsSince(start), 4000);
  done.Notify();
  m_device.Join();  // before `done` goes
}

TEST_F(TcpTransportTest, GarbageIsAProtocolError) {
  m_device.Serve([](DeviceSide& side) {
    side.SendRaw(Bytes(40, 0x5A));
    side.Raw(20);
  });
  uint32_t error = 0;
  EXPECT_EQ(m_driver.OpenInterface(Guid{}, 0, error), kInvalidHandle);
  EXPECT_EQ(error, kErrorDeviceNotConnected);
  m_device.Serve([](DeviceSide& side) {
    Grant(side);
    side.Expect(wire::kRead);
    side.SendRaw(Bytes(40, 0x5A));
    EXPECT_TRUE(side.HostClosed(3000));
  });
  const Handle handle = m_driver.OpenInterface(Guid{}, 0, error);
  ASSERT_NE(handle, kInvalidHandle);
  uint8_t buffer[16];
  uint32_t bytesRead = 0;
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorIoPending);
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 5000), kErrorDeviceNotConnected);
  EXPECT_EQ(m_driver.Close(handle), 0u);
}

// A device that stops sending (half-open) and one that stops in the middle
// of a message: the transfer pending ends with 997 within its time limit and
// its cancel wait.
TEST_F(TcpTransportTest, HalfOpenAndStalledMidMessageEndInTime) {
  m_device.Serve([](DeviceSide& side) {
    Grant(side);
    side.Expect(wire::kRead);
    ::shutdown(side.fd(), SHUT_WR);
    side.Next(3000);
  });
  uint32_t error = 0;
  Handle handle = m_driver.OpenInterface(Guid{}, 0, error);
  ASSERT_NE(handle, kInvalidHandle);
  uint8_t buffer[16];
  uint32_t bytesRead = 0;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 300), kErrorIoPending);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 300), kErrorDeviceNotConnected);
  EXPECT_EQ(m_driver.Close(handle), 0u);
  m_device.Join();

  Signal finished;
  m_device.Serve([&](DeviceSide& side) {
    Grant(side);
    const wire::Message read = side.Expect(wire::kRead);
    Bytes done(wire::kHeaderSize);
    wire::EncodeHeader(done.data(), wire::kReadDone, read.id, 8);
    side.SendRaw(Bytes(done.begin(), done.begin() + 9));  // then nothing more
    EXPECT_TRUE(finished.WaitFor(10000));
  });
  handle = m_driver.OpenInterface(Guid{}, 0, error);
  ASSERT_NE(handle, kInvalidHandle);
  start = Clock::now();
  EXPECT_EQ(m_driver.Read(handle, buffer, sizeof(buffer), bytesRead, 300), kErrorIoPending);
  EXPECT_GE(MillisecondsSince(start), 300);
  EXPECT_LT(MillisecondsSince(start), 300 + 1000 + 1000);
  finished.Notify();
  EXPECT_EQ(m_driver.Close(handle), 0u);
  m_device.Join();  // before `finished` goes
}

}  // namespace
}  // namespace norvex::platform
