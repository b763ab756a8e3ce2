// driver_session.h: the driver as a whole (open, a control request, a read,
// a bulk write, close) against a fake device that answers with fuzzed bytes,
// for the fuzz targets of the transports (posix_driver_fuzz over a Unix
// socket, tcp_transport_fuzz over TCP). Whatever the device sends, the
// driver must end every transfer with a known code in bounded time, never
// write beyond the read's capacity, never report more bulk bytes than were
// sent, and close cleanly.
//
// Input: chunks of [2-byte length][bytes]. The device sends chunk 0 when the
// host connects (normally the answer to its OPEN), then one chunk for each
// message the host sends (OPEN, CONTROL, READ, WRITE, CANCEL); when the
// chunks are used up, or the host is silent for a few milliseconds, it
// closes the connection.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "socket_messages.h"
#include "wire/device_wire.h"

namespace {

namespace platform = norvex::platform;

constexpr uint32_t kTimeoutMs = 3;
constexpr int kDeviceIdleMs = 5;
constexpr uint32_t kReadCapacity = 512;
constexpr uint32_t kBulkBytes = 64;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool KnownTransferResult(uint32_t code) {
  return code == 0 || code == platform::kErrorIoPending || code == platform::kErrorDeviceNotConnected ||
         code == platform::kErrorInvalidHandle;
}

// Writes every byte, unless the host has gone.
void WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void ServeOneHost(int listener, const std::vector<std::vector<uint8_t>>& chunks) {
  struct pollfd watch {};
  watch.fd = listener;
  watch.events = POLLIN;
  if (::poll(&watch, 1, 2000) <= 0) return;
  const int fd = ::accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  size_t next = 0;
  if (next < chunks.size()) WriteAll(fd, chunks[next].data(), chunks[next].size());
  ++next;
  while (next < chunks.size()) {
    struct pollfd host {};
    host.fd = fd;
    host.events = POLLIN;
    if (::poll(&host, 1, kDeviceIdleMs) <= 0) break;
    norvex::wire::Message message;
    if (!norvex::test_support::ReceiveMessage(fd, message)) break;
    WriteAll(fd, chunks[next].data(), chunks[next].size());
    ++next;
  }
  ::close(fd);
}

// One session of the driver against the device listening at `listener`.
inline void RunDriverSession(int listener, const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> chunks;
  while (size >= 2 && chunks.size() < 8) {
    size_t length = static_cast<size_t>(data[0] | (data[1] << 8));
    data += 2;
    size -= 2;
    if (length > size) length = size;
    chunks.emplace_back(data, data + length);
    data += length;
    size -= length;
  }
  std::thread device(ServeOneHost, listener, std::cref(chunks));

  platform::Driver& driver = platform::DeviceDriver();
  uint32_t error = 0;
  const platform::Handle handle = driver.OpenInterface(platform::Guid{}, 0, error);
  if (handle == platform::kInvalidHandle) {
    Check(error != 0);
  } else {
    Check(error == 0);
    const uint8_t frame[14] = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0, 0, 0, 0, 0x33, 0x07};
    Check(KnownTransferResult(driver.ControlRequest(handle, 0x222002, frame, sizeof(frame), kTimeoutMs)));

    // The read's buffer is followed by a canary that no reply may reach.
    uint8_t reply[kReadCapacity + 64];
    std::memset(reply, 0xC5, sizeof(reply));
    uint32_t bytesRead = 0xFFFFFFFFu;
    const uint32_t read = driver.Read(handle, reply, kReadCapacity, bytesRead, kTimeoutMs);
    Check(KnownTransferResult(read));
    Check(bytesRead <= kReadCapacity);
    if (read != 0) Check(bytesRead == 0);
    for (uint32_t i = kReadCapacity; i < sizeof(reply); ++i) Check(reply[i] == 0xC5);

    const std::vector<uint8_t> bulk(kBulkBytes, 0x5A);
    uint32_t startError = 0;
    const platform::Driver::PendingWrite write =
        driver.StartWrite(handle, bulk.data(), kBulkBytes, startError);
    if (write != platform::Driver::kNoWrite) {
      uint32_t transferred = 0xFFFFFFFFu;
      const uint32_t completed = driver.CompleteWrite(write, kTimeoutMs, transferred);
      // The completion is 0, the driver's own code or the status the device
      // gave (any value but 0 is a failure); only a success moves bytes.
      (void)completed;
      Check(transferred <= kBulkBytes);
      if (completed != 0) Check(transferred == 0);
    } else {
      Check(startError != 0);
    }
    Check(driver.Close(handle) == 0);
    Check(driver.Close(handle) == platform::kErrorInvalidHandle);
  }
  device.join();
}

}  // namespace
