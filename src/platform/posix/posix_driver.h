// posix_driver.h: what the POSIX driver stand-in tells the rest of the POSIX
// platform code (and its tests) beyond the Driver interface.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace norvex::platform {

// The path of the device endpoint (socket) behind an open handle of
// DeviceDriver(); "" for a handle that is not open. The window stand-in uses
// it to tell the removal of the open device's socket.
std::string PosixDeviceEndpoint(Handle device);

// How many DONE messages the driver has dropped since the process started
// because their transfer was no longer pending (late replies after a cancel,
// duplicates, ids that were never used).
uint64_t DroppedLateCompletions();

}  // namespace norvex::platform
