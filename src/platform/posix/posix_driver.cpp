// posix_driver.cpp: the Driver of POSIX systems. It stands in for the
// platesetter's kernel driver: the device is an endpoint of the device
// protocol (docs/device-protocol.md), reached through the transport that
// the configured address names: a Unix socket of the device folder
// (local:FOLDER, and the default) or a TCP connection (tcp:HOST:PORT).
// Every transfer is a message exchange on the handle's connection
// (platform/device/endpoint_connection.h).
#include "platform/posix/posix_driver.h"

#include <atomic>
#include <mutex>
#include <set>
#include <utility>

#include "platform/device/device_address.h"
#include "platform/device/endpoint_driver.h"
#include "platform/posix/tcp_transport.h"
#include "platform/posix/unix_transport.h"

namespace norvex::platform {
namespace {

using device::Clock;
using device::DeviceAddress;

// How long a device may take to grant or refuse an open, at least.
constexpr uint32_t kOpenWaitMs = 2000;
// A configured address that is no address (ERROR_BAD_PATHNAME).
constexpr uint32_t kErrorBadAddress = 161;

// Handles count up from here in steps of 4, like the handles of Windows, and
// are never reused in a process. They are not addresses; being multiples of 4
// above null, they are never kInvalidHandle (all bits set) nor the library's
// pseudo handle (an odd value).
constexpr Handle kHandleBase = 0x4E560000;
constexpr Handle kHandleStep = 4;

class PosixDriver final : public Driver {
 public:
  Handle OpenInterface(const Guid& /*interfaceClass*/, uint32_t index, uint32_t& error) override {
    // Every endpoint is of the platesetter's interface class, the only class
    // this driver serves.
    try {
      return Open(index, error);
    } catch (...) {
      error = kErrorNotEnoughMemory;
      return kInvalidHandle;
    }
  }

  void SetOpenWait(uint32_t timeoutMs) override {
    m_openWaitMs.store(timeoutMs > kOpenWaitMs ? timeoutMs : kOpenWaitMs);
  }

  uint32_t Close(Handle device) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_network.erase(device);
    }
    return m_handles.Close(device);
  }
  uint32_t ControlRequest(Handle device, uint32_t ioctl, const void* data, uint32_t size,
                          uint32_t timeoutMs) override {
    return m_handles.ControlRequest(device, ioctl, data, size, timeoutMs);
  }
  uint32_t Read(Handle device, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                uint32_t timeoutMs) override {
    return m_handles.Read(device, buffer, capacity, bytesRead, timeoutMs);
  }
  PendingWrite StartWrite(Handle device, const void* data, uint32_t size, uint32_t& error) override {
    return m_handles.StartWrite(device, data, size, error);
  }
  uint32_t CompleteWrite(PendingWrite write, uint32_t timeoutMs, uint32_t& transferred) override {
    return m_handles.CompleteWrite(write, timeoutMs, transferred);
  }

  std::shared_ptr<device::EndpointConnection> Find(Handle device) const { return m_handles.Find(device); }
  bool IsNetwork(Handle device) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_network.count(device) != 0;
  }

 private:
  Handle Open(uint32_t index, uint32_t& error) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_openWaitMs.load());
    const DeviceAddress address = device::ConfiguredDeviceAddress(Host());
    std::unique_ptr<device::Stream> stream;
    std::string endpoint;
    switch (address.kind) {
      case DeviceAddress::Kind::kDefault:
      case DeviceAddress::Kind::kLocal:
        stream =
            OpenLocal(address.kind == DeviceAddress::Kind::kLocal ? address.folder
                                                                  : unix_transport::DefaultDeviceFolder(),
                      index, deadline, endpoint, error);
        break;
      case DeviceAddress::Kind::kTcp:
        // One device behind an address: interface number 0.
        if (index > 0) {
          error = kErrorNoMoreItems;
          return kInvalidHandle;
        }
        endpoint = wire::TcpAddressText(address.host, address.port);
        stream = tcp_transport::Connect(address.host, address.port, deadline, error);
        break;
      case DeviceAddress::Kind::kUsb:
        // No kernel driver of the platesetter here.
        error = kErrorNoMoreItems;
        return kInvalidHandle;
      case DeviceAddress::Kind::kInvalid:
        error = kErrorBadAddress;
        return kInvalidHandle;
    }
    if (!stream) return kInvalidHandle;
    std::shared_ptr<device::EndpointConnection> connection =
        device::OpenConnection(std::move(stream), endpoint, deadline, error);
    if (!connection) return kInvalidHandle;
    const Handle handle = kHandleBase + kHandleStep * m_opened.fetch_add(1, std::memory_order_relaxed);
    m_handles.Add(handle, std::move(connection));
    if (address.IsNetwork()) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_network.insert(handle);
    }
    error = 0;
    return handle;
  }

  std::unique_ptr<device::Stream> OpenLocal(std::string folder, uint32_t index, Clock::time_point deadline,
                                            std::string& endpoint, uint32_t& error) {
    const std::vector<std::string> names = unix_transport::ListEndpoints(folder);
    if (index >= names.size()) {
      error = kErrorNoMoreItems;
      return nullptr;
    }
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    endpoint = folder + "/" + names[index];
    // A folder or socket that another user could have made is not trusted
    // with the print data.
    error = unix_transport::CheckOwnership(folder);
    if (error == 0) error = unix_transport::CheckOwnership(endpoint);
    if (error != 0) return nullptr;
    return unix_transport::Connect(endpoint, deadline, error);
  }

  device::EndpointHandles m_handles;
  std::atomic<uint32_t> m_openWaitMs{kOpenWaitMs};
  std::atomic<Handle> m_opened{1};
  mutable std::mutex m_mutex;
  std::set<Handle> m_network;
};

PosixDriver& TheDriver() {
  // Made on first use, during the construction of the library's objects, so
  // destroyed after them: at the end of the process or when the shared
  // library is unloaded. Its handle table closes what is still open.
  static PosixDriver driver;
  return driver;
}

}  // namespace

Driver& DeviceDriver() { return TheDriver(); }

std::string PosixDeviceEndpoint(Handle device) {
  std::shared_ptr<device::EndpointConnection> connection = TheDriver().Find(device);
  return connection ? connection->Endpoint() : std::string();
}

bool PosixNetworkDeviceAlive(Handle device, int& pollFd) {
  pollFd = -1;
  if (!TheDriver().IsNetwork(device)) return false;
  std::shared_ptr<device::EndpointConnection> connection = TheDriver().Find(device);
  if (!connection) return false;
  pollFd = static_cast<int>(connection->PollHandle());
  return connection->Service();
}

uint64_t DroppedLateCompletions() { return device::DroppedLateCompletions(); }

}  // namespace norvex::platform
