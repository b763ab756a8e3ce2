// sdram_readback.h: reading the main unit's print memory back by commands,
// and the highest usable print memory index by firmware version.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/device_link.h"

namespace norvex {

// The read-back command of the main unit and its reply.
inline constexpr uint16_t kCmdReadSdram = 0x0842;
inline constexpr uint16_t kReplyReadSdram = 0x0843;

// NV_ReadSDRAMData: exchanges read-back commands until at least
// `*byteCount` bytes arrived into `buffer` (which holds `*byteCount` + 500
// bytes: a reply carries up to 500), an exchange failed, or a successful
// reply carried no data (the device has no more to give). `*byteCount`
// becomes the bytes received. Returns 0 (at once for 0 bytes) or the failing
// exchange's code; NORVEX_ERR_INVALID_ARGUMENT for a null count, or a null
// buffer for bytes.
uint32_t ReadSDRAMData(CDeviceLink& link, void* buffer, uint32_t* byteCount);

// The firmware version after the last capital 'V' of a kernel name: up to
// three dot-separated numbers, each read as a leading decimal integer and
// kept as its low 8 bits; missing ones are 0.
struct KernelVersion {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t patch = 0;
};
// False when the name holds no capital 'V'.
bool ParseKernelVersion(std::string_view name, KernelVersion& version);

// NV_GetMaxSDRAMIndex: 63 for a kernel at version 1.3.0 or later, else 31
// (also when the query fails). `queryResult` receives the kernel-name
// query's result.
uint32_t MaxSDRAMIndex(CDeviceLink& link, uint32_t& queryResult);

}  // namespace norvex
