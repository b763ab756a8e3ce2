// win32_driver.cpp: the Driver of Windows: the platesetter's device interface
// found through SetupAPI, opened with CreateFileA for overlapped I/O, control
// requests, reply reads and bulk writes as overlapped transfers with a
// time-out; or, when the configured address names one (tcp:HOST:PORT), a
// device endpoint over Winsock that speaks the device protocol
// (platform/device/). Without an address nothing but the kernel driver is
// touched.
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "platform/device/device_address.h"
#include "platform/device/endpoint_driver.h"
#include "platform/platform.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_network.h"
#include "platform/win32/winsock_transport.h"

namespace norvex::platform {
namespace {

using win32::CreateTransferEvent;
using win32::FromNative;
using win32::ToNative;
using win32::UniqueEvent;

// The records whose size fields the platform checks. On the 32-bit platform
// the interface detail record is packed: its fixed part is 5 bytes.
#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface data record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "interface detail record");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface data record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "interface detail record");
#endif
static_assert(kErrorIoPending == ERROR_IO_PENDING && kErrorIoIncomplete == ERROR_IO_INCOMPLETE &&
                  kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER &&
                  kErrorNoMoreItems == ERROR_NO_MORE_ITEMS &&
                  kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY &&
                  kErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
                  kErrorInvalidHandle == ERROR_INVALID_HANDLE,
              "the interface's error numbers are the platform's");

// Releases a device-information set on every path.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : m_set(set) {}
  ~DeviceInfoSet() {
    if (m_set != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(m_set);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  HDEVINFO get() const { return m_set; }

 private:
  HDEVINFO m_set;
};

// Ends a transfer that did not complete in time: cancels it and waits until
// the platform no longer uses the OVERLAPPED record, the event or the buffer,
// so that all three may be released as soon as this returns. A transfer
// started on another thread is cancelled by its record, since CancelIo only
// reaches the calling thread's transfers.
void CancelAndWait(HANDLE device, OVERLAPPED& overlapped, DWORD startingThread) {
  if (startingThread == ::GetCurrentThreadId()) {
    ::CancelIo(device);
  } else {
    ::CancelIoEx(device, &overlapped);
  }
  DWORD ignored = 0;
  ::GetOverlappedResult(device, &overlapped, &ignored, TRUE);
}

// One overlapped attempt: `start` issues the operation with the record. The
// result is 0 when it completed (at once or within `timeoutMs`), the error
// with which it could not start, or ERROR_IO_PENDING when it was still
// pending after the wait or completed with an error after pending.
template <typename Start>
uint32_t OverlappedAttempt(HANDLE device, uint32_t timeoutMs, DWORD& transferred, Start start) {
  transferred = 0;
  UniqueEvent event = CreateTransferEvent();
  if (!event) return ::GetLastError();
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (start(overlapped)) {
    // Completed at once: the record holds the byte count.
    if (!::GetOverlappedResult(device, &overlapped, &transferred, FALSE)) transferred = 0;
    return 0;
  }
  const DWORD startError = ::GetLastError();
  if (startError != ERROR_IO_PENDING) return startError;
  ::WaitForSingleObject(event.get(), timeoutMs);  // its outcome is not needed
  const BOOL done = ::GetOverlappedResult(device, &overlapped, &transferred, FALSE);
  ::ResetEvent(event.get());
  if (done) return 0;
  transferred = 0;
  CancelAndWait(device, overlapped, ::GetCurrentThreadId());
  return ERROR_IO_PENDING;
}

// One bulk write between StartWrite and CompleteWrite.
struct BulkWrite {
  HANDLE device = nullptr;
  UniqueEvent event;
  OVERLAPPED overlapped{};
  DWORD startingThread = 0;
};

// How long a device endpoint may take to grant or refuse an open, at least.
constexpr uint32_t kOpenWaitMs = 2000;
// A configured address that is no address, or none this build serves
// (ERROR_BAD_PATHNAME).
constexpr uint32_t kErrorBadAddress = 161;

class Win32Driver final : public Driver {
 public:
  Handle OpenInterface(const Guid& interfaceClass, uint32_t index, uint32_t& error) override {
    const device::DeviceAddress address = device::ConfiguredDeviceAddress(Host());
    switch (address.kind) {
      case device::DeviceAddress::Kind::kDefault:
      case device::DeviceAddress::Kind::kUsb:
        return OpenKernelInterface(interfaceClass, index, error);
      case device::DeviceAddress::Kind::kTcp:
        return OpenNetworkDevice(address, index, error);
      default:
        error = kErrorBadAddress;
        return kInvalidHandle;
    }
  }

  bool IsNetwork(Handle device) const { return m_network.Owns(device); }
  bool NetworkAlive(Handle device) const {
    std::shared_ptr<device::EndpointConnection> connection = m_network.Find(device);
    return connection && connection->Service();
  }

 private:
  Handle OpenNetworkDevice(const device::DeviceAddress& address, uint32_t index, uint32_t& error) {
    // One device behind an address: interface number 0.
    if (index > 0) {
      error = ERROR_NO_MORE_ITEMS;
      return kInvalidHandle;
    }
    try {
      const device::Clock::time_point deadline =
          device::Clock::now() + std::chrono::milliseconds(m_openWaitMs.load());
      std::unique_ptr<device::Stream> stream =
          winsock_transport::Connect(address.host, address.port, deadline, error);
      if (!stream) return kInvalidHandle;
      std::shared_ptr<device::EndpointConnection> connection = device::OpenConnection(
          std::move(stream), wire::TcpAddressText(address.host, address.port), deadline, error);
      if (!connection) return kInvalidHandle;
      // The handle is a kernel handle of its own (an event), so that no
      // other handle of the process can have its value while it is open.
      HANDLE marker = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (marker == nullptr) {
        error = ::GetLastError();
        return kInvalidHandle;
      }
      try {
        m_network.Add(FromNative(marker), std::move(connection));
      } catch (...) {
        ::CloseHandle(marker);
        throw;
      }
      error = 0;
      return FromNative(marker);
    } catch (...) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return kInvalidHandle;
    }
  }

  Handle OpenKernelInterface(const Guid& interfaceClass, uint32_t index, uint32_t& error) {
    const GUID classGuid = ToNative(interfaceClass);
    error = ERROR_INVALID_PARAMETER;
    DeviceInfoSet set(
        ::SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.get() == INVALID_HANDLE_VALUE) {
      error = ::GetLastError();
      return kInvalidHandle;
    }
    error = 0;

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &classGuid, index, &interfaceData)) {
      error = ::GetLastError();  // ERROR_NO_MORE_ITEMS: no such device
      return kInvalidHandle;
    }

    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailA(set.get(), &interfaceData, nullptr, 0, &required, nullptr);
    error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      // A size query cannot succeed; should it claim to, report a bad call
      // rather than an open that failed without a reason.
      if (error == 0) error = ERROR_INVALID_PARAMETER;
      return kInvalidHandle;
    }

    // The buffer always holds at least the fixed part whose size field is
    // written below, whatever size the query gave.
    const size_t bytes = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                             ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                             : size_t{required};
    std::unique_ptr<DWORD[]> buffer(new (std::nothrow) DWORD[(bytes + sizeof(DWORD) - 1) / sizeof(DWORD)]);
    if (!buffer) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return kInvalidHandle;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!::SetupDiGetDeviceInterfaceDetailA(set.get(), &interfaceData, detail, static_cast<DWORD>(bytes),
                                            nullptr, nullptr)) {
      error = ::GetLastError();
      return kInvalidHandle;
    }
    error = 0;

    HANDLE device = ::CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) error = ::GetLastError();
    return FromNative(device);
  }

  device::EndpointHandles m_network;
  std::atomic<uint32_t> m_openWaitMs{kOpenWaitMs};

 public:
  void SetOpenWait(uint32_t timeoutMs) override {
    m_openWaitMs.store(timeoutMs > kOpenWaitMs ? timeoutMs : kOpenWaitMs);
  }

  uint32_t Close(Handle device) override {
    if (m_network.Owns(device)) {
      const uint32_t result = m_network.Close(device);
      ::CloseHandle(ToNative(device));
      return result;
    }
    return ::CloseHandle(ToNative(device)) ? 0 : ::GetLastError();
  }

  uint32_t ControlRequest(Handle device, uint32_t ioctl, const void* data, uint32_t size,
                          uint32_t timeoutMs) override {
    if (m_network.Owns(device)) return m_network.ControlRequest(device, ioctl, data, size, timeoutMs);
    HANDLE native = ToNative(device);
    DWORD reported = 0;  // what the request reports is not used
    // METHOD_OUT_DIRECT: the frame travels as the output buffer; no input.
    return OverlappedAttempt(native, timeoutMs, reported, [&](OVERLAPPED& overlapped) {
      return ::DeviceIoControl(native, ioctl, nullptr, 0, const_cast<void*>(data), size, nullptr,
                               &overlapped) != FALSE;
    });
  }

  uint32_t Read(Handle device, void* buffer, uint32_t capacity, uint32_t& bytesRead,
                uint32_t timeoutMs) override {
    if (m_network.Owns(device)) return m_network.Read(device, buffer, capacity, bytesRead, timeoutMs);
    HANDLE native = ToNative(device);
    DWORD read = 0;
    const uint32_t result = OverlappedAttempt(native, timeoutMs, read, [&](OVERLAPPED& overlapped) {
      return ::ReadFile(native, buffer, capacity, nullptr, &overlapped) != FALSE;
    });
    bytesRead = read;
    return result;
  }

  PendingWrite StartWrite(Handle device, const void* data, uint32_t size, uint32_t& error) override {
    if (m_network.Owns(device)) return m_network.StartWrite(device, data, size, error);
    // Any size goes to the driver as one write: the driver decides what it
    // takes, and its completion says so.
    std::unique_ptr<BulkWrite> write(new (std::nothrow) BulkWrite);
    if (!write) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return kNoWrite;
    }
    write->device = ToNative(device);
    write->event = CreateTransferEvent();
    if (!write->event) {
      error = ::GetLastError();
      return kNoWrite;
    }
    write->overlapped.hEvent = write->event.get();
    write->startingThread = ::GetCurrentThreadId();
    if (!::WriteFile(write->device, data, size, nullptr, &write->overlapped)) {
      const DWORD startError = ::GetLastError();
      if (startError != ERROR_IO_PENDING) {
        // Nothing was started, so there is nothing for a completion to find.
        error = startError;
        return kNoWrite;
      }
    }
    error = 0;
    return reinterpret_cast<PendingWrite>(write.release());
  }

  uint32_t CompleteWrite(PendingWrite pending, uint32_t timeoutMs, uint32_t& transferred) override {
    transferred = 0;
    if (pending == kNoWrite) return ERROR_INVALID_PARAMETER;
    if (m_network.OwnsWrite(pending)) return m_network.CompleteWrite(pending, timeoutMs, transferred);
    std::unique_ptr<BulkWrite> write(reinterpret_cast<BulkWrite*>(pending));
    ::WaitForSingleObject(write->event.get(), timeoutMs);  // its outcome is not needed
    DWORD moved = 0;
    const BOOL done = ::GetOverlappedResult(write->device, &write->overlapped, &moved, FALSE);
    const DWORD result = done ? 0 : ::GetLastError();
    ::ResetEvent(write->event.get());
    transferred = moved;
    if (result == ERROR_IO_INCOMPLETE) {
      // The write is cancelled and waited for, so the host's buffer is free
      // again when this returns; what it moved before the cancel is not
      // reported.
      CancelAndWait(write->device, write->overlapped, write->startingThread);
      transferred = 0;
    }
    return result;
  }
};

Win32Driver& TheDriver() {
  static Win32Driver driver;
  return driver;
}

}  // namespace

Driver& DeviceDriver() { return TheDriver(); }

namespace win32 {

bool IsNetworkDevice(Handle device) { return TheDriver().IsNetwork(device); }
bool NetworkDeviceAlive(Handle device) { return TheDriver().NetworkAlive(device); }

}  // namespace win32
}  // namespace norvex::platform
