// endpoint_driver.h: the Driver operations on handles whose device is a
// device endpoint (a Unix socket or a TCP connection): the table of open
// connections and the transfers on them. The platform drivers (posix/,
// win32/) open the streams through their transports and hand the
// connections to it; on Windows the kernel driver's handles go past it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/device/endpoint_connection.h"
#include "platform/platform.h"

namespace norvex::platform::device {

// The opening of `stream` for use: the handshake within `deadline`, then a
// connection. Null with the reason in `error` (docs/device-protocol.md,
// "Opening").
std::shared_ptr<EndpointConnection> OpenConnection(std::unique_ptr<Stream> stream, std::string endpoint,
                                                   Clock::time_point deadline, uint32_t& error);

// Whether the device behind `stream` (null: none) answers a probe as free
// within `deadline`: it is there and would be granted. A probe never takes
// the device from another host.
bool ProbeFree(std::unique_ptr<Stream> stream, Clock::time_point deadline);

class EndpointHandles {
 public:
  EndpointHandles() = default;
  // Closes what is still open.
  ~EndpointHandles();
  EndpointHandles(const EndpointHandles&) = delete;
  EndpointHandles& operator=(const EndpointHandles&) = delete;

  void Add(Handle handle, std::shared_ptr<EndpointConnection> connection);
  std::shared_ptr<EndpointConnection> Find(Handle handle) const;
  bool Owns(Handle handle) const { return Find(handle) != nullptr; }
  bool OwnsWrite(Driver::PendingWrite write) const;

  // The Driver's operations, for handles of this table (kErrorInvalidHandle
  // for others).
  uint32_t Close(Handle handle);
  uint32_t ControlRequest(Handle handle, uint32_t ioctl, const void* data, uint32_t size, uint32_t timeoutMs);
  uint32_t Read(Handle handle, void* buffer, uint32_t capacity, uint32_t& bytesRead, uint32_t timeoutMs);
  Driver::PendingWrite StartWrite(Handle handle, const void* data, uint32_t size, uint32_t& error);
  uint32_t CompleteWrite(Driver::PendingWrite write, uint32_t timeoutMs, uint32_t& transferred);

  // Closes every open handle.
  void CloseAll();

 private:
  struct BulkWrite;

  mutable std::mutex m_mutex;
  std::map<Handle, std::shared_ptr<EndpointConnection>> m_open;
  std::set<Driver::PendingWrite> m_writes;
};

}  // namespace norvex::platform::device
