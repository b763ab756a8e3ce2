// endpoint_driver.cpp: the table of endpoint connections and their transfers.
#include "platform/device/endpoint_driver.h"

#include <utility>

namespace norvex::platform::device {

std::shared_ptr<EndpointConnection> OpenConnection(std::unique_ptr<Stream> stream, std::string endpoint,
                                                   Clock::time_point deadline, uint32_t& error) {
  uint32_t version = 0;
  wire::MessageParser after;
  error = OpenHandshake(*stream, wire::OpenPurpose::kUse, deadline, version, after);
  if (error != 0) return nullptr;
  return std::make_shared<EndpointConnection>(std::move(stream), std::move(endpoint), std::move(after));
}

bool ProbeFree(std::unique_ptr<Stream> stream, Clock::time_point deadline) {
  if (!stream) return false;
  uint32_t version = 0;
  wire::MessageParser after;
  const uint32_t status = OpenHandshake(*stream, wire::OpenPurpose::kProbe, deadline, version, after);
  stream->ShutdownSend();
  return status == 0;
}

struct EndpointHandles::BulkWrite {
  std::shared_ptr<EndpointConnection> connection;
  std::shared_ptr<EndpointConnection::WriteJob> job;
};

EndpointHandles::~EndpointHandles() { CloseAll(); }

void EndpointHandles::Add(Handle handle, std::shared_ptr<EndpointConnection> connection) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_open[handle] = std::move(connection);
}

std::shared_ptr<EndpointConnection> EndpointHandles::Find(Handle handle) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_open.find(handle);
  return found == m_open.end() ? nullptr : found->second;
}

bool EndpointHandles::OwnsWrite(Driver::PendingWrite write) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_writes.count(write) != 0;
}

uint32_t EndpointHandles::Close(Handle handle) {
  std::shared_ptr<EndpointConnection> connection;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_open.find(handle);
    if (found == m_open.end()) return kErrorInvalidHandle;
    connection = std::move(found->second);
    m_open.erase(found);
  }
  connection->Close();
  return 0;
}

uint32_t EndpointHandles::ControlRequest(Handle handle, uint32_t ioctl, const void* data, uint32_t size,
                                         uint32_t timeoutMs) {
  std::shared_ptr<EndpointConnection> connection = Find(handle);
  if (!connection) return kErrorInvalidHandle;
  if ((data == nullptr && size > 0) || size > wire::kMaxPayload - 4) return kErrorInvalidParameter;
  try {
    return connection->Control(ioctl, data, size, timeoutMs);
  } catch (...) {
    return kErrorNotEnoughMemory;
  }
}

uint32_t EndpointHandles::Read(Handle handle, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                               uint32_t timeoutMs) {
  bytesRead = 0;
  std::shared_ptr<EndpointConnection> connection = Find(handle);
  if (!connection) return kErrorInvalidHandle;
  if (buffer == nullptr && capacity > 0) return kErrorInvalidParameter;
  try {
    return connection->Read(buffer, capacity, bytesRead, timeoutMs);
  } catch (...) {
    return kErrorNotEnoughMemory;
  }
}

Driver::PendingWrite EndpointHandles::StartWrite(Handle handle, const void* data, uint32_t size,
                                                 uint32_t& error) {
  std::shared_ptr<EndpointConnection> connection = Find(handle);
  if (!connection) {
    error = kErrorInvalidHandle;
    return Driver::kNoWrite;
  }
  if (data == nullptr && size > 0) {
    error = kErrorInvalidParameter;
    return Driver::kNoWrite;
  }
  try {
    auto write = std::make_unique<BulkWrite>();
    write->job = connection->StartWrite(data, size, error);
    write->connection = std::move(connection);
    if (error != 0) return Driver::kNoWrite;
    const auto pending = reinterpret_cast<Driver::PendingWrite>(write.get());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writes.insert(pending);
    write.release();
    return pending;
  } catch (...) {
    error = kErrorNotEnoughMemory;
    return Driver::kNoWrite;
  }
}

uint32_t EndpointHandles::CompleteWrite(Driver::PendingWrite pending, uint32_t timeoutMs,
                                        uint32_t& transferred) {
  transferred = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_writes.erase(pending) == 0) return kErrorInvalidHandle;
  }
  std::unique_ptr<BulkWrite> write(reinterpret_cast<BulkWrite*>(pending));
  return write->connection->CompleteWrite(*write->job, timeoutMs, transferred);
}

void EndpointHandles::CloseAll() {
  std::map<Handle, std::shared_ptr<EndpointConnection>> all;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    all.swap(m_open);
  }
  for (auto& entry : all) entry.second->Close();
}

}  // namespace norvex::platform::device
